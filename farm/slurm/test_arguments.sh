#!/usr/bin/env bash
# The farm scripts' argument handling without a cluster: submit.sh runs
# against a stand-in sbatch on the PATH that records its arguments and the
# VESKAR it would hand on, then the recorded task and verification command
# lines run here with the real veskar, as Slurm would run them on a node.
#
#   test_arguments.sh [VESKAR]     (default: build/bin/veskar)
#
# Exits 0 when every case passed, 1 when one failed.
set -euo pipefail

here=$(cd -- "$(dirname -- "$0")" && pwd)
repo=$(cd -- "$here/../.." && pwd)
veskar=${1:-$repo/build/bin/veskar}
[ -x "$veskar" ] || { echo "farm arguments test: no veskar at $veskar (build it first)" >&2; exit 1; }
veskar=$(cd -- "$(dirname -- "$veskar")" && pwd)/$(basename -- "$veskar")

tmp=$(mktemp -d /tmp/veskar-farm-args.XXXXXX)
trap 'rm -rf -- "$tmp"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# sbatch and scancel stand-ins: each sbatch call leaves its arguments, one
# per line, in calls/N.args and the VESKAR it saw in calls/N.veskar, and
# answers job id 100+N as sbatch --parsable does.
mkdir -p "$tmp/stubs" "$tmp/calls"
cat >"$tmp/stubs/sbatch" <<STUB
#!/usr/bin/env bash
n=\$(ls "$tmp/calls" | grep -c '\.args\$' || true)
printf '%s\n' "\$@" >"$tmp/calls/\$n.args"
printf '%s' "\${VESKAR-unset}" >"$tmp/calls/\$n.veskar"
echo "\$((100 + n));stubcluster"
STUB
printf '#!/usr/bin/env bash\nexit 0\n' >"$tmp/stubs/scancel"
chmod +x "$tmp/stubs/sbatch" "$tmp/stubs/scancel"
export PATH=$tmp/stubs:$PATH
unset SLURM_ARRAY_TASK_ID SLURM_CPUS_PER_TASK SBATCH_EXPORT

# A veskar in a folder whose name holds a comma, which sbatch --export
# would cut the path at.
mkdir -p "$tmp/bin,farm"
printf '#!/usr/bin/env bash\nexec "%s" "$@"\n' "$veskar" >"$tmp/bin,farm/veskar"
chmod +x "$tmp/bin,farm/veskar"

# Runs submit.sh in $tmp/work; its status in $status, its messages in $tmp/out.
submit() {
    rm -f "$tmp"/calls/*
    status=0
    (cd -- "$tmp/work" && VESKAR="$tmp/bin,farm/../bin,farm/veskar" bash "$here/submit.sh" "$@") >"$tmp/out" 2>&1 ||
        status=$?
}
calls() { ls "$tmp/calls" | grep -c '\.args$' || true; }

# --- a log folder named -x reaches mkdir as a folder ------------------------------
mkdir -p "$tmp/work"
submit plate.####.exr key.####.exr --frames 1-4 --chunk 2 --logs -x
[ "$status" = 0 ] || fail "--logs -x: exit $status: $(cat "$tmp/out")"
[ -d "$tmp/work/-x" ] || fail "--logs -x: no folder -x made"
grep -qx -- "--output=$tmp/work/-x/key-%A_%a.log" "$tmp/calls/0.args" 2>/dev/null ||
    fail "--logs -x: the tasks' log pattern: $(grep -- --output "$tmp/calls/0.args" 2>&1)"

# --- patterns that start with -, through the tasks and the verification ----------
# Relative patterns that start with -, as a shell glob or a careless script
# hands them over.
"$veskar" sample "$tmp/sample" >/dev/null
for frame in 1001 1002 1003; do
    cp -- "$tmp/sample/plate.exr" "$tmp/work/-plate.$frame.exr"
done
submit -plate.####.exr -key.####.exr --frames 1001-1003 --chunk 2 --logs logs -- \
    --settings "$tmp/sample/sample.setting" --type half
[ "$status" = 0 ] || fail "submit.sh with patterns that start with -: exit $status: $(cat "$tmp/out")"
[ "$(calls)" = 2 ] || fail "submit.sh made $(calls) sbatch calls, expected 2"

# --- the veskar path, comma and all, reaches the jobs whole -----------------------
# sbatch is given --export=ALL and no VESKAR=... (which it would split at the
# comma); the environment it sees holds veskar's absolute path.
for call in 0 1; do
    [ "$(cat "$tmp/calls/$call.veskar" 2>/dev/null)" = "$tmp/bin,farm/veskar" ] ||
        fail "sbatch call $call saw VESKAR='$(cat "$tmp/calls/$call.veskar" 2>/dev/null)'"
    grep -qx -- '--export=ALL' "$tmp/calls/$call.args" 2>/dev/null ||
        fail "sbatch call $call: no --export=ALL in: $(cat "$tmp/calls/$call.args" 2>&1)"
done

# The recorded command lines, run as Slurm runs them: the script and its
# arguments follow sbatch's options.
script_args() { sed -n '/\.sh$/,$p' "$tmp/calls/$1.args" 2>/dev/null; }
mapfile -t task <<<"$(script_args 0)"
mapfile -t check <<<"$(script_args 1)"
jobVeskar=$(cat "$tmp/calls/0.veskar" 2>/dev/null || true)
for id in 0 1; do
    (cd -- "$tmp/work" && SLURM_ARRAY_TASK_ID=$id VESKAR=$jobVeskar bash "${task[@]}") \
        >"$tmp/task$id.log" 2>&1 || fail "task $id: exit $?: $(cat "$tmp/task$id.log")"
done
for frame in 1001 1002 1003; do
    [ -f "$tmp/work/-key.$frame.exr" ] || fail "task output -key.$frame.exr was not written"
done
(cd -- "$tmp/work" && VESKAR=$jobVeskar bash "${check[@]}") >"$tmp/verify.log" 2>&1 ||
    fail "verification: exit $?: $(cat "$tmp/verify.log")"
expected="veskar check: 3 frames (1001-1003): 3 good, 0 missing, 0 bad"
[ "$(cat "$tmp/work/logs/summary.txt" 2>/dev/null)" = "$expected" ] ||
    fail "verification summary: '$(cat "$tmp/work/logs/summary.txt" 2>/dev/null)', expected '$expected'"
# The verification must see a missing frame under such a name too.
rm -f -- "$tmp/work/-key.1002.exr"
(cd -- "$tmp/work" && VESKAR=$jobVeskar bash "${check[@]}") >"$tmp/verify.log" 2>&1 &&
    fail "verification passed with -key.1002.exr missing"
grep -q '^frame 1002: .*missing' "$tmp/work/logs/bad-frames.txt" 2>/dev/null ||
    fail "bad-frames.txt: '$(cat "$tmp/work/logs/bad-frames.txt" 2>&1)'"

# --- a % in the log folder is a literal % for sbatch ------------------------------
submit plate.####.exr key.####.exr --frames 1-4 --chunk 2 --logs 'logs 100%'
[ "$status" = 0 ] || fail "--logs 'logs 100%': exit $status: $(cat "$tmp/out")"
grep -qx -- "--output=$tmp/work/logs 100%%/key-%A_%a.log" "$tmp/calls/0.args" ||
    fail "--logs 'logs 100%': $(grep -- --output "$tmp/calls/0.args")"

# --- numbers that bash arithmetic would wrap, and other bad values ---------------
# Each is refused with exit 2 and a message naming the option, before sbatch.
bad_cases=(
    "--frames 1-99999999999999999999 --chunk 1|frame numbers go up to 2147483647"
    "--frames 9223372036854775807-9223372036854775808 --chunk 1|frame numbers go up to 2147483647"
    "--frames 1-2147483648 --chunk 1|frame numbers go up to 2147483647"
    "--frames 0-2147483647 --chunk 1|a submission keys at most 1000000"
    "--frames 1-10 --chunk 99999999999999999999|--chunk 99999999999999999999: expected"
    "--frames 1-10 --chunk 0|--chunk 0: expected"
    "--frames 1-10 --chunk 1 --cpus 18446744073709551617|--cpus 18446744073709551617: expected"
    "--frames 1-10 --chunk 1 --cpus 1025|--cpus 1025: expected"
    "--frames 1-10 --chunk 1 --logs|--logs needs a folder"
    "--frames 1-10 --chunk 1 --logs a\\b|holds a backslash"
)
for case in "${bad_cases[@]}"; do
    read -ra options <<<"${case%%|*}"
    submit plate.####.exr key.####.exr "${options[@]}"
    [ "$status" = 2 ] || fail "${case%%|*}: exit $status, expected 2: $(cat "$tmp/out")"
    grep -qF -- "${case#*|}" "$tmp/out" || fail "${case%%|*}: message '$(cat "$tmp/out")'"
    [ "$(calls)" = 0 ] || fail "${case%%|*}: sbatch was called"
done
# Frame numbers up to veskar's own limit are taken.
submit plate.####.exr key.####.exr --frames 2147483000-2147483647 --chunk 100
[ "$status" = 0 ] || fail "--frames 2147483000-2147483647: exit $status: $(cat "$tmp/out")"
grep -q "tasks 0-6 of 7" "$tmp/out" || fail "--frames 2147483000-2147483647: $(cat "$tmp/out")"

# A task given numbers that would wrap refuses them rather than keying a
# wrapped range.
for numbers in "1 99999999999999999999 1" "1 10 99999999999999999999" "1 10 0" "-5 10 1"; do
    read -ra args <<<"$numbers"
    status=0
    (cd -- "$tmp/work" && SLURM_ARRAY_TASK_ID=0 VESKAR=/bin/false bash "$here/key_chunk.sh" "${args[@]}" \
        p.####.exr k.####.exr) >"$tmp/out" 2>&1 || status=$?
    [ "$status" = 2 ] || fail "key_chunk.sh $numbers: exit $status, expected 2: $(cat "$tmp/out")"
done
status=0
(SLURM_ARRAY_TASK_ID=99999999999999999999 VESKAR=/bin/false bash "$here/key_chunk.sh" 1 10 1 p k) \
    >"$tmp/out" 2>&1 || status=$?
[ "$status" = 2 ] || fail "key_chunk.sh with task 99999999999999999999: exit $status: $(cat "$tmp/out")"

if [ "$failures" -ne 0 ]; then
    echo "farm arguments test: $failures failed" >&2
    exit 1
fi
echo "farm arguments test: passed"
