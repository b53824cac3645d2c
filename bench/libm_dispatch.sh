#!/usr/bin/env bash
# The C library picks its cos and pow builds by processor: with FMA where the
# processor has it, plain otherwise. This runs the probe both ways on this
# machine (the plain builds forced through the library's hwcaps tunable) and
# prints how many results differ.
#   bench/libm_dispatch.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! grep -qw fma /proc/cpuinfo; then
    echo "this processor has no FMA: the C library runs its plain builds only"
    exit 0
fi
"$build/bin/libm_probe" write "$work/fma"
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA,-AVX2_Usable,-FMA_Usable "$build/bin/libm_probe" write "$work/plain"
echo "C library $(ldd --version | head -1 | awk '{print $NF}'): FMA builds against plain builds"
"$build/bin/libm_probe" compare "$work/fma" "$work/plain"
