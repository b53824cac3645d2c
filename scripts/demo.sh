#!/usr/bin/env bash
# Builds Veskar and keys the bundled green-screen sample.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVESKAR_BUILD_TESTS=OFF -DVESKAR_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)" --target veskar
mkdir -p out
"$build/bin/veskar" render samples/greenscreen.exr -o out/greenscreen_keyed.exr \
    --save-settings out/greenscreen.setting
echo "Keyed sample: out/greenscreen_keyed.exr (settings: out/greenscreen.setting)"
