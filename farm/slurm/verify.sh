#!/usr/bin/env bash
# The last job of a keying array: checks every frame of the range with
# veskar check and writes, in REPORT_DIR, summary.txt (one line) and
# bad-frames.txt (one line per missing or bad frame; empty when all are good).
# Exits non-zero when any frame is missing or bad.
#
#   verify.sh REPORT_DIR FRAMES OUTPUT_PATTERN PLATE_PATTERN [veskar check options]
#SBATCH --job-name=veskar-verify
set -uo pipefail

if [ $# -lt 4 ]; then
    echo "usage: $0 REPORT_DIR FRAMES OUTPUT_PATTERN PLATE_PATTERN [veskar check options]" >&2
    exit 2
fi
report=$1 frames=$2 output=$3 plate=$4
shift 4
mkdir -p -- "$report" || exit 1

# The patterns go as --like= and after --, so that one that starts with -
# is never read as an option.
"${VESKAR:-veskar}" check --frames="$frames" --like="$plate" "$@" -- "$output" >"$report/check.txt"
status=$?
summary=$(tail -n 1 "$report/check.txt")
case $summary in
    "veskar check: "*) ;;
    *) summary="veskar check: could not check $output (exit $status; see the job's log)" ;;
esac
grep '^frame ' "$report/check.txt" >"$report/bad-frames.txt"
echo "$summary" >"$report/summary.txt"
cat "$report/bad-frames.txt" "$report/summary.txt"
if [ "$status" -eq 0 ]; then
    exit 0
fi
exit 1
