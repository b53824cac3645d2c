#!/usr/bin/env bash
# The test programs of the layers that handle untrusted input and memory
# under AddressSanitizer and UndefinedBehaviorSanitizer: the host, the keying
# engine, the plug-in, the files, the settings reader, staged outputs, frame
# lists, the command line and its hardening, the tuning server and its
# session, and the finishing stages (their fills and buffers) with the
# command line that runs them. SANITIZE_ALL=1 builds and runs the whole suite
# instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${ASAN_BUILD_DIR:-build-asan}
source scripts/ccache.sh
# Warnings are held to zero by the plain build; the sanitizers' code may make
# the compiler see more.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKAR_SANITIZE=address -DVESKAR_BUILD_BENCH=OFF \
      "${launcher[@]}"
# The plug-in is loaded and unloaded many times; leaks of the libraries it
# pulls in at load time are theirs.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [ "${SANITIZE_ALL:-0}" = 1 ]; then
    cmake --build "$build" -j"$(nproc)"
    ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
    exit 0
fi

programs=(test_host test_keying test_plugin test_tool test_settings test_frames test_staged_file test_files
          test_check test_cli test_hardening test_tune test_finishing test_finish_cli)
cmake --build "$build" -j"$(nproc)" --target veskar Veskar "${programs[@]}"
logs=$build/sanitize-logs
rm -rf "$logs"
mkdir -p "$logs"
# Each program whole, two at a time, from the folder ctest runs it in.
printf '%s\n' "${programs[@]}" |
    xargs -P "$(nproc)" -I{} bash -c 'cd "$1/tests" && if "$1/bin/$2" >"$3/$2.log" 2>&1; then echo "passed: $2"; else echo "FAILED: $2"; fi' \
        _ "$PWD/$build" {} "$PWD/$logs" | tee "$logs/summary"
if grep -q '^FAILED' "$logs/summary"; then
    for failed in $(sed -n 's/^FAILED: //p' "$logs/summary"); do
        echo "----- $failed"
        grep -E -B2 -A30 'ERROR: AddressSanitizer|runtime error|\[  FAILED  \]|Failure' "$logs/$failed.log" | head -n 120
    done
    exit 1
fi
