#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for SECONDS
# (default 600) on a copy of its seed corpus in fuzz/corpus/, so the
# repository's seeds stay as they are. New findings are left in
# $FUZZ_BUILD_DIR/findings; each should become a seed and a regression test.
# The mutations follow FUZZ_SEED (default 1), so that a run goes the way the
# same seed went before and CI finds what a longer run here would have found
# first; another seed explores elsewhere.
#   [FUZZ_SEED=N] bash scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
seed=${FUZZ_SEED:-1}
build=${FUZZ_BUILD_DIR:-build-fuzz}

bash scripts/deps.sh clang libclang-rt-14-dev

source scripts/ccache.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DVESKAR_SANITIZE=address -DVESKAR_FUZZ=ON -DVESKAR_BUILD_TESTS=OFF -DVESKAR_BUILD_BENCH=OFF "${launcher[@]}"
cmake --build "$build" -j"$(nproc)" --target settings_fuzzer image_fuzzer movie_fuzzer tune_fuzzer

# Leaks in the fuzzed code are findings too; the libraries' own start-up
# allocations are not.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/findings"
status=0
for target in settings image movie tune; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    cp -n fuzz/corpus/"$target"/* "$corpus"/
    # The settings reader and the tuning server's request handling are ours
    # alone: any finding fails. The image codecs and FFmpeg's demuxers and
    # decoders are libraries that set aside what a header declares (a DPX
    # user data block, an EXR attribute) before they find the file short; such
    # out-of-memory and slow inputs are kept in findings and reported, and
    # the run goes on, while a crash or a sanitizer's report still fails.
    tolerate=()
    { [ "$target" = image ] || [ "$target" = movie ]; } && tolerate=(-fork=1 -ignore_ooms=1 -ignore_timeouts=1)
    echo "fuzzing $target for $seconds s (seed $seed)"
    rc=0
    "$build/bin/${target}_fuzzer" "$corpus" -seed="$seed" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
        "${tolerate[@]}" -artifact_prefix="$build/findings/$target-" -print_final_stats=1 \
        2>"$build/$target.log" || rc=$?
    # In fork mode the fuzzer exits with the status of its last job, so a run
    # whose last job ran out of memory (71) or time (70) ends non-zero though
    # it found nothing it was told to stop for; its own count of crashes says.
    if [ ${#tolerate[@]} -gt 0 ] && { [ "$rc" -eq 70 ] || [ "$rc" -eq 71 ]; }; then
        counts=$(grep -oE "oom/timeout/crash: [0-9]+/[0-9]+/[0-9]+" "$build/$target.log" | tail -n 1)
        [ -n "$counts" ] && [ "${counts##*/}" = 0 ] && ! compgen -G "$build/findings/$target-crash-*" >/dev/null && rc=0
    fi
    if [ "$rc" -ne 0 ]; then
        tail -n 60 "$build/$target.log"
        echo "fuzz target $target found a problem; the input is in $build/findings" >&2
        status=1
    else
        grep -E "stat::number_of_executed_units|cov:" "$build/$target.log" | tail -n 2
        if grep -qE "out-of-memory|timeout" "$build/$target.log"; then
            echo "fuzz target $target: inputs that ran out of memory or time inside a codec are in $build/findings"
        fi
    fi
done
exit $status
