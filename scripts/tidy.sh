#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over C++ files, with the
# build's compile_commands.json (made by configuring: BUILD_DIR, default build).
#
#   scripts/tidy.sh [--base REF]   the C++ files changed from REF to HEAD (REF...HEAD;
#                                  default HEAD~1)
#   scripts/tidy.sh --all          every C++ file of the build
#   scripts/tidy.sh FILE...        these files
#
# A changed header is checked through the source file of its name (keying/x.h
# through keying/x.cpp), and through every checked file that includes it.
# Exits 0 with no findings, 1 with any, 2 for a usage error. A shallow clone
# fetches one more commit when it lacks the base; without the base (a first
# commit, or a shallow clone that cannot fetch), every file is checked.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: scripts/tidy.sh [--base REF | --all | FILE...]" >&2
    [ $# -eq 0 ] || echo "tidy.sh: $*" >&2
    exit 2
}

base=HEAD~1 all=0 files=()
while [ $# -gt 0 ]; do
    case $1 in
        --all) all=1; shift ;;
        --base) [ $# -ge 2 ] || usage "--base needs a commit"; base=$2; shift 2 ;;
        --) shift; files+=("$@"); break ;;
        -*) usage "unknown option $1" ;;
        *) files+=("$1"); shift ;;
    esac
done

tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
    bash scripts/deps.sh clang-tidy-14
    tidy=$(command -v clang-tidy-14)
fi
# clang-tidy reports a .clang-tidy it cannot read and goes on with its
# defaults: stop at once instead.
if ! config=$("$tidy" --dump-config 2>&1 >/dev/null) || [ -n "$config" ]; then
    echo "tidy: .clang-tidy: $config" >&2
    exit 1
fi
build=${BUILD_DIR:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKAR_WERROR=ON >/dev/null
fi

# The build's commands without the GCC options that clang does not know
# (which it would stop at), in a folder of their own; and the sources they
# compile, relative to the repository.
db=$(mktemp -d /tmp/veskar-tidy.XXXXXX)
trap 'rm -rf -- "$db"' EXIT
mapfile -t built < <(python3 - "$build/compile_commands.json" "$PWD" "$db/compile_commands.json" <<'PY'
import json, os, sys
gcc_only = {"-fno-gnu-unique"}
entries = json.load(open(sys.argv[1]))
for entry in entries:
    if "arguments" in entry:
        entry["arguments"] = [a for a in entry["arguments"] if a not in gcc_only]
    else:
        entry["command"] = " ".join(a for a in entry["command"].split(" ") if a not in gcc_only)
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), sys.argv[2])
    if not path.startswith(".."):
        print(path)
json.dump(entries, open(sys.argv[3], "w"), indent=1)
PY
)

# A shallow clone may lack the base: one more commit of history is enough for
# the default HEAD~1.
if [ "$all" = 0 ] && [ ${#files[@]} -eq 0 ] && ! git rev-parse --verify --quiet "$base^{commit}" >/dev/null &&
    [ "$(git rev-parse --is-shallow-repository)" = true ]; then
    git fetch --quiet --deepen=1 2>/dev/null || true
fi
if [ "$all" = 0 ] && [ ${#files[@]} -eq 0 ]; then
    if git rev-parse --verify --quiet "$base^{commit}" >/dev/null; then
        mapfile -t files < <(git diff --name-only --diff-filter=d "$base...HEAD" -- '*.cpp' '*.h')
        if [ ${#files[@]} -eq 0 ]; then
            echo "tidy: no C++ files changed since $base"
            exit 0
        fi
    else
        # A first commit holds nothing but new files, and a shallow clone
        # that could not fetch its base cannot say what changed: both are
        # checked whole.
        echo "tidy: no commit $base here (a first commit, or a shallow clone): checking every file"
        all=1
    fi
fi

declare -A inBuild=()
for file in "${built[@]}"; do
    inBuild[$file]=1
done
selected=()
if [ "$all" = 1 ]; then
    selected=("${built[@]}")
else
    for file in "${files[@]}"; do
        file=${file#./}
        [[ $file != *.h ]] || file=${file%.h}.cpp
        if [ -n "${inBuild[$file]:-}" ]; then
            selected+=("$file")
        fi
    done
    if [ ${#selected[@]} -gt 0 ]; then
        mapfile -t selected < <(printf '%s\n' "${selected[@]}" | sort -u)
    fi
fi
if [ ${#selected[@]} -eq 0 ]; then
    echo "tidy: none of the files is compiled in $build: nothing to check"
    exit 0
fi

echo "tidy: $(basename "$tidy") on ${#selected[@]} file(s)"
# The build's -Werror would make clang's own warnings fatal compile errors;
# the checks' findings are errors by .clang-tidy's WarningsAsErrors instead.
set +e
printf '%s\0' "${selected[@]}" |
    xargs -0 -n 1 -P "$(nproc)" "$tidy" -p "$db" --quiet --extra-arg=-Wno-error \
        --extra-arg=-Wno-unknown-warning-option 2>&1 |
    grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$'
statuses=("${PIPESTATUS[@]}")
set -e
status=${statuses[1]}
if [ "$status" -ne 0 ]; then
    echo "tidy: findings (see above)" >&2
    exit 1
fi
echo "tidy: no findings"
