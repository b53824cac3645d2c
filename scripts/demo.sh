#!/usr/bin/env bash
# Builds Veskar, generates the synthetic green-screen sample and keys it with
# its clean plate, writing the keyed EXR and a preview contact sheet.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVESKAR_BUILD_TESTS=OFF -DVESKAR_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)" --target veskar
veskar="$build/bin/veskar"
"$veskar" sample out/sample
"$veskar" render out/sample/plate.exr --key-image out/sample/clean_plate.exr \
    --settings out/sample/sample.setting -o out/sample_keyed.exr --preview out/sample_preview.png
echo
echo "Keyed sample:  $(pwd)/out/sample_keyed.exr"
echo "Preview:       $(pwd)/out/sample_preview.png"
