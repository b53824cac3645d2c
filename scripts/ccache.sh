# Sourced by the build scripts: `launcher` holds the CMake option that puts
# ccache in front of the compiler when it is installed, with paths taken
# relative to this checkout and the build folder's own path left out of the
# cache's key (debug builds otherwise hash it), so that another clone of the
# same sources (CI builds a fresh one) finds what an earlier build compiled.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    CCACHE_BASEDIR="$(pwd -P)"
    CCACHE_NOHASHDIR=1
    export CCACHE_BASEDIR CCACHE_NOHASHDIR
fi
