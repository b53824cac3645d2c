#!/usr/bin/env bash
# One task of a keying job array: keys the task's chunk of a frame range.
#
#   sbatch --array=0-5 key_chunk.sh FIRST LAST CHUNK PLATE_PATTERN OUTPUT_PATTERN [veskar render options]
#
# Task i keys frames FIRST+i*CHUNK to FIRST+(i+1)*CHUNK-1 (no further than
# LAST) with --skip-existing, so a task that is requeued or submitted again
# keys only the frames its earlier attempt did not finish. The veskar to run
# is $VESKAR, or the one on the PATH; threads follow --cpus-per-task unless
# the options give --threads.
#SBATCH --job-name=veskar-key
set -euo pipefail

if [ $# -lt 5 ]; then
    echo "usage: sbatch --array=0-N $0 FIRST LAST CHUNK PLATE_PATTERN OUTPUT_PATTERN [veskar render options]" >&2
    exit 2
fi
first=$1 last=$2 chunk=$3 plate=$4 output=$5
shift 5
task=${SLURM_ARRAY_TASK_ID:?run this script as a job array task: sbatch --array=0-N ...}

# Plain numbers of at most 10 digits (no leading zeros to read as octal):
# the arithmetic below then stays far inside bash's 64 bits.
for number in "$first" "$last" "$chunk" "$task"; do
    if ! [[ $number =~ ^(0|[1-9][0-9]{0,9})$ ]]; then
        echo "veskar-key: '$number' is not a frame, chunk or task number (FIRST=$first LAST=$last CHUNK=$chunk task $task)" >&2
        exit 2
    fi
done
if [ "$chunk" -eq 0 ]; then
    echo "veskar-key: a chunk holds at least one frame (CHUNK=0)" >&2
    exit 2
fi

start=$((first + task * chunk))
end=$((start + chunk - 1))
if [ "$end" -gt "$last" ]; then
    end=$last
fi
if [ "$start" -gt "$last" ]; then
    echo "veskar-key: task $task: no frames left in $first-$last"
    exit 0
fi

threads=()
if [ -n "${SLURM_CPUS_PER_TASK:-}" ]; then
    threads=(--threads "$SLURM_CPUS_PER_TASK")
    for option in "$@"; do
        case $option in --threads | --threads=*) threads=() ;; esac
    done
fi

echo "veskar-key: task $task of job ${SLURM_ARRAY_JOB_ID:-?} on $(hostname): frames $start-$end"
# The patterns go after --, and the output as --output=, so that one that
# starts with - is never read as an option.
exec "${VESKAR:-veskar}" render --output="$output" --frames="$start-$end" --skip-existing \
    "${threads[@]}" "$@" -- "$plate"
