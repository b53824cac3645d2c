#!/usr/bin/env bash
# Keys a frame range on a Slurm cluster: a job array, one task per chunk of
# frames, then a verification job that runs when every task has ended,
# however it ended, and checks every frame of the range.
#
#   submit.sh PLATE_PATTERN OUTPUT_PATTERN --frames A-B --chunk N [--cpus C] [--tasks LIST]
#             [--logs DIR] [--] [veskar render options]
#
#   --frames A-B   the frame range to key
#   --chunk N      frames per array task
#   --cpus C       cores per task, and veskar's threads (default 1: the scheduler packs tasks)
#   --tasks LIST   submit only these tasks (sbatch --array syntax, e.g. 2 or 0,3-4), to key
#                  again the chunks of tasks that failed; the verification still covers A-B
#   --logs DIR     where the task logs and the verification report go (default: veskar-logs)
#
# The verification job is given the render options that decide what a frame
# holds (--type, --drop-alpha, --drop-channels, --part, --view, --layer), so
# that it expects what the tasks write.
#
# Other sbatch settings come from Slurm's own environment variables
# (SBATCH_PARTITION, SBATCH_TIMELIMIT, SBATCH_ACCOUNT, ...). The veskar that
# runs is $VESKAR, or the one on the PATH here; its path must be the same on
# the compute nodes, as must the plates' and the outputs'.
set -euo pipefail

usage() {
    echo "usage: $0 PLATE_PATTERN OUTPUT_PATTERN --frames A-B --chunk N [--cpus C] [--tasks LIST] [--logs DIR]" \
         "[--] [veskar render options]" >&2
    [ $# -eq 0 ] || echo "submit.sh: $*" >&2
    exit 2
}

[ $# -ge 2 ] || usage
plate=$1 output=$2
shift 2
frames="" chunk="" cpus=1 tasks="" logs=veskar-logs
while [ $# -gt 0 ]; do
    case $1 in
        --frames) [ $# -ge 2 ] || usage "--frames needs A-B"; frames=$2; shift 2 ;;
        --chunk) [ $# -ge 2 ] || usage "--chunk needs a number"; chunk=$2; shift 2 ;;
        --cpus) [ $# -ge 2 ] || usage "--cpus needs a number"; cpus=$2; shift 2 ;;
        --tasks) [ $# -ge 2 ] || usage "--tasks needs a list"; tasks=$2; shift 2 ;;
        --logs) [ $# -ge 2 ] || usage "--logs needs a folder"; logs=$2; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[[ $frames =~ ^([0-9]+)-([0-9]+)$ ]] || usage "--frames $frames: expected a range A-B"
first=$((10#${BASH_REMATCH[1]})) last=$((10#${BASH_REMATCH[2]}))
[ "$last" -ge "$first" ] || usage "--frames $frames: ends before it starts"
[[ $chunk =~ ^[1-9][0-9]*$ ]] || usage "--chunk $chunk: expected a number of frames, 1 or more"
[[ $cpus =~ ^[1-9][0-9]*$ ]] || usage "--cpus $cpus: expected a number of cores, 1 or more"
count=$(((last - first) / chunk + 1))
if [ -z "$tasks" ]; then
    tasks="0-$((count - 1))"
fi
[[ $tasks =~ ^[0-9,-]+$ ]] || usage "--tasks $tasks: expected task numbers such as 2 or 0,3-4"

# The check expects what the render writes: the render options that decide
# the data type, the part keyed and the channels written go to it as well.
check_options=()
takes=""
for option in "$@"; do
    if [ -n "$takes" ]; then
        check_options+=("$takes" "$option")
        takes=""
        continue
    fi
    case $option in
        --type | --part | --view | --layer) takes=$option ;;
        --type=* | --part=* | --view=* | --layer=* | --drop-alpha | --drop-alpha=* | --drop-channels | \
            --drop-channels=*) check_options+=("$option") ;;
    esac
done

veskar=$(command -v "${VESKAR:-veskar}") || { echo "submit.sh: no veskar at '${VESKAR:-veskar}'; set VESKAR" >&2; exit 1; }
veskar=$(cd "$(dirname "$veskar")" && pwd)/$(basename "$veskar")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$logs"
logs=$(cd "$logs" && pwd)

array=$(sbatch --parsable --job-name=veskar-key --array="$tasks" --cpus-per-task="$cpus" --output="$logs/key-%A_%a.log" \
            --export=ALL,VESKAR="$veskar" \
            "$here/key_chunk.sh" "$first" "$last" "$chunk" "$plate" "$output" "$@")
array=${array%%;*}
verify=$(sbatch --parsable --job-name=veskar-verify --dependency="afterany:$array" \
             --output="$logs/verify-%j.log" --export=ALL,VESKAR="$veskar" \
             "$here/verify.sh" "$logs" "$first-$last" "$output" "$plate" "${check_options[@]}") || {
    # An array nobody checks is worse than none: take it back.
    scancel "$array" || true
    echo "submit.sh: the verification job was refused; array job $array cancelled" >&2
    exit 1
}
verify=${verify%%;*}
echo "array job $array: tasks $tasks of $count, $chunk frames each, frames $first-$last"
echo "verification job $verify: after the array; report in $logs/summary.txt and $logs/bad-frames.txt"
