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
# Bounded before any arithmetic: veskar's frame numbers are 32-bit, and a
# range is checked whole by one veskar check, which takes at most a million
# frames. Digits are counted first so that bash never sees a number that
# would wrap around.
max_frame=2147483647 max_frames=1000000
[[ $frames =~ ^([0-9]+)-([0-9]+)$ ]] || usage "--frames $frames: expected a range A-B"
first=${BASH_REMATCH[1]} last=${BASH_REMATCH[2]}
for number in "$first" "$last"; do
    number=${number#"${number%%[!0]*}"}
    if [ "${#number}" -gt 10 ] || [ "${number:-0}" -gt "$max_frame" ]; then
        usage "--frames $frames: frame numbers go up to $max_frame"
    fi
done
first=$((10#$first)) last=$((10#$last))
[ "$last" -ge "$first" ] || usage "--frames $frames: ends before it starts"
[ "$((last - first + 1))" -le "$max_frames" ] ||
    usage "--frames $frames: $((last - first + 1)) frames; a submission keys at most $max_frames"
[[ $chunk =~ ^[1-9][0-9]{0,9}$ ]] && [ "$chunk" -le "$max_frames" ] ||
    usage "--chunk $chunk: expected a number of frames from 1 to $max_frames"
# veskar takes up to 1024 threads.
[[ $cpus =~ ^[1-9][0-9]{0,3}$ ]] && [ "$cpus" -le 1024 ] ||
    usage "--cpus $cpus: expected a number of cores from 1 to 1024"
count=$(((last - first) / chunk + 1))
if [ -z "$tasks" ]; then
    tasks="0-$((count - 1))"
fi
[[ $tasks =~ ^[0-9,-]+$ ]] || usage "--tasks $tasks: expected task numbers such as 2 or 0,3-4"
[ -n "$logs" ] || usage "--logs needs a folder"
# Absolute, so that no later command takes a folder named -x for an option
# (or '-' for the previous folder), and the tasks find it from any folder.
[[ $logs == /* ]] || logs=$PWD/$logs
# sbatch reads --output as a pattern: % starts a field (%% is a %), and a
# backslash turns the fields off, which would send every task to one log.
[[ $logs != *\\* ]] || usage "--logs $logs: a folder whose path holds a backslash cannot name Slurm logs"

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

veskar=$(command -v -- "${VESKAR:-veskar}") || { echo "submit.sh: no veskar at '${VESKAR:-veskar}'; set VESKAR" >&2; exit 1; }
[[ $veskar == /* ]] || veskar=$PWD/$veskar
veskar=$(cd -- "$(dirname -- "$veskar")" && pwd)/$(basename -- "$veskar")
here=$(cd -- "$(dirname -- "$0")" && pwd)
mkdir -p -- "$logs" || { echo "submit.sh: cannot make the log folder $logs" >&2; exit 1; }
logs=$(cd -- "$logs" && pwd)
log_pattern=${logs//%/%%}

# The veskar to run reaches the jobs through the environment, which
# --export=ALL hands on whole: --export=ALL,VESKAR=PATH would split a path
# at its commas, and sbatch has no way to quote one. The patterns and the
# options are the scripts' arguments, which sbatch passes on unchanged.
export VESKAR=$veskar
array=$(sbatch --parsable --job-name=veskar-key --array="$tasks" --cpus-per-task="$cpus" \
            --output="$log_pattern/key-%A_%a.log" --export=ALL \
            "$here/key_chunk.sh" "$first" "$last" "$chunk" "$plate" "$output" "$@")
array=${array%%;*}
verify=$(sbatch --parsable --job-name=veskar-verify --dependency="afterany:$array" \
             --output="$log_pattern/verify-%j.log" --export=ALL \
             "$here/verify.sh" "$logs" "$first-$last" "$output" "$plate" "${check_options[@]}") || {
    # An array nobody checks is worse than none: take it back.
    scancel "$array" || true
    echo "submit.sh: the verification job was refused; array job $array cancelled" >&2
    exit 1
}
verify=${verify%%;*}
echo "array job $array: tasks $tasks of $count, $chunk frames each, frames $first-$last"
echo "verification job $verify: after the array; report in $logs/summary.txt and $logs/bad-frames.txt"
