#!/usr/bin/env bash
# Builds Veskar with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# ffmpeg makes the movie files the movie tests key and refuse (skipped without it);
# MPFR gives the correctly rounded values the keyer's cos and pow are checked against;
# ccache keeps what was compiled for the next build of these sources.
bash scripts/deps.sh ffmpeg libmpfr-dev ccache
source scripts/ccache.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKAR_WERROR=ON "${launcher[@]}"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The threaded tests again under ThreadSanitizer: renders while controls change.
tsan=${TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKAR_SANITIZE=thread -DVESKAR_BUILD_BENCH=OFF "${launcher[@]}"
cmake --build "$tsan" -j"$(nproc)" --target test_tool test_host
ctest --test-dir "$tsan" -L tsan --output-on-failure -j"$(nproc)"
