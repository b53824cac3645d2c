#!/usr/bin/env bash
# Builds the Windows plug-in (Veskar.dll), the host library and the test
# programs with the mingw-w64 cross compiler, checks the plug-in's PE
# structure and runs the tests under Wine. Installs what it needs with apt-get
# when missing. The build goes to build-windows/ (or WINDOWS_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

# Cross compiler (posix threads), its binutils and resource compiler, Wine's
# 64-bit loader, GoogleTest's sources (built for the target) and the PE reader.
bash scripts/deps.sh cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 \
    wine64 wine googletest python3-pefile

build=${WINDOWS_BUILD_DIR:-build-windows}
source scripts/ccache.sh
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVESKAR_WERROR=ON "${launcher[@]}"
cmake --build "$build" -j"$(nproc)"

# Wine keeps its state in a prefix inside the build folder. One server and
# Wine's own background programs are started here, once, away from the test
# programs' output: started by a test, they would hold its output open after
# it ends, and every test would pay Wine's start-up again.
export WINEPREFIX
WINEPREFIX="$(cd "$build" && pwd)/wine-prefix"
export WINEDEBUG=-all
# No .NET or HTML engine: the tests need neither, and creating the prefix
# would otherwise offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=/usr/lib/wine/wineserver
mkdir -p "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
/usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure
