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
exec "${VESKAR:-veskar}" render "$plate" -o "$output" --frames "$start-$end" --skip-existing \
    "${threads[@]}" "$@"
