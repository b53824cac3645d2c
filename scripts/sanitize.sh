#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${ASAN_BUILD_DIR:-build-asan}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Warnings are held to zero by the plain build; the sanitizers' code may make
# the compiler see more.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKAR_SANITIZE=address -DVESKAR_BUILD_BENCH=OFF \
      "${launcher[@]}"
cmake --build "$build" -j"$(nproc)"
# The plug-in is loaded and unloaded many times; leaks of the libraries it
# pulls in at load time are theirs.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
