#!/usr/bin/env bash
# The farm recipe on a real Slurm: starts a one-node cluster of its own
# (munged, slurmctld and slurmd on the loopback host, every file in a
# temporary folder), keys a 24-frame sequence as a 6-task array through
# submit.sh, cancels one task mid-run, checks that the verification job
# names exactly the frames that task left, submits that task again, and
# checks that the verification then passes and that every frame is
# bit-identical to a local run of the same range. The daemons are stopped
# by their process ids at the end, whatever happened.
#
#   test_farm.sh [VESKAR]     (default: build/bin/veskar)
#
# Exits 0 when the test passed, 1 when it failed, 77 when it was skipped
# (the daemons need root); a skip says so.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
veskar=${1:-$repo/build/bin/veskar}
started=$SECONDS

skip() {
    echo "farm test SKIPPED: $*" >&2
    exit 77
}

if [ "$(id -u)" -ne 0 ]; then
    skip "munged, slurmctld and slurmd run as root here, and this is uid $(id -u)"
fi
[ -x "$veskar" ] || { echo "farm test: no veskar at $veskar (build it first)" >&2; exit 1; }
veskar=$(cd "$(dirname "$veskar")" && pwd)/$(basename "$veskar")
bash "$repo/scripts/deps.sh" slurm-wlm munge openimageio-tools

tmp=$(mktemp -d /tmp/veskar-farm.XXXXXX)
chmod 755 "$tmp"
export SLURM_CONF=$tmp/slurm.conf
unset SLURM_JOB_ID SLURM_ARRAY_JOB_ID SLURM_ARRAY_TASK_ID SBATCH_HOLD
daemon_pids=()
passed=0

log() { echo "farm test [$((SECONDS - started))s]: $*"; }

diagnostics() {
    local file
    for file in "$tmp"/slurmctld.log "$tmp"/slurmd.log "$tmp"/munge/munged.log "$tmp"/logs/*.log; do
        [ -f "$file" ] || continue
        echo "----- ${file#"$tmp"/} (last 40 lines)"
        tail -n 40 "$file"
    done
    if [ -n "${daemon_pids[*]}" ]; then
        echo "----- squeue"
        squeue 2>&1 || true
        echo "----- sinfo"
        sinfo -N -l 2>&1 || true
    fi
}

fail() {
    echo "farm test FAILED: $*" >&2
    diagnostics >&2
    exit 1
}

# Stops what this script started, newest first, by process id: TERM, then
# KILL after 10 seconds.
stop() {
    local status=$? i pid
    trap - EXIT
    if [ -n "${daemon_pids[*]}" ] && [ -f "$tmp/slurmctld.pid" ]; then
        # Job steps outlive slurmd: end them while it still runs.
        scancel --quiet --user=root 2>/dev/null || true
        wait_for 20 no_jobs || echo "farm test: jobs still listed after 20 s: $(squeue -h 2>&1)" >&2
    fi
    for ((i = ${#daemon_pids[@]} - 1; i >= 0; i--)); do
        pid=${daemon_pids[i]}
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "farm test: pid $pid did not stop on TERM; killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
    done
    if [ "$passed" = 1 ] || [ -z "${KEEP_FARM_TEST:-}" ]; then
        rm -rf "$tmp"
    else
        echo "farm test: files kept in $tmp" >&2
    fi
    exit "$status"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.5
    done
}

no_jobs() { [ -z "$(squeue -h -o %i 2>/dev/null)" ]; }

free_port() {
    local port
    for _ in $(seq 50); do
        port=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# --- munge, with a key of its own ---------------------------------------------
mkdir -m 700 "$tmp/munge"
dd if=/dev/urandom of="$tmp/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$tmp/munge/munge.key"
socket=$tmp/munge/munge.socket
munged --foreground --force --key-file="$tmp/munge/munge.key" --socket="$socket" \
    --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/munge/munged.log" \
    --seed-file="$tmp/munge/munged.seed" >"$tmp/munge/munged.out" 2>&1 &
daemon_pids+=($!)
if ! wait_for 15 test -S "$socket"; then
    cat "$tmp/munge/munged.out" >&2
    kill -0 "${daemon_pids[0]}" 2>/dev/null || skip "munged could not start (see above)"
    fail "munged started but made no socket in 15 s"
fi
munge -n -S "$socket" | unmunge -S "$socket" >/dev/null || fail "munge credentials do not round-trip"

# --- slurm.conf: one node, the loopback host ------------------------------------
# The node is named localhost whatever the machine's name, which need not
# resolve; slurmctld takes localhost as its own name.
host=localhost
# The node as slurmd finds it, so that it does not drain for a mismatch;
# memory is not scheduled.
hardware=$(slurmd -C | head -n 1 | sed -e 's/^NodeName=[^ ]*//' -e 's/RealMemory=[0-9]*//')
ctld_port=$(free_port) || fail "no free port"
slurmd_port=$ctld_port
while [ "$slurmd_port" = "$ctld_port" ]; do
    slurmd_port=$(free_port) || fail "no free port"
done
mkdir -p "$tmp/state" "$tmp/spool" "$tmp/logs"
cat >"$SLURM_CONF" <<CONF
ClusterName=veskartest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SwitchType=switch/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SchedulerParameters=sched_interval=2,bf_interval=2
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MinJobAge=600
KillWait=2
InactiveLimit=0
SlurmctldTimeout=30
SlurmdTimeout=30
NodeName=$host NodeAddr=127.0.0.1 $hardware State=UNKNOWN
PartitionName=farmtest Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF

slurmctld -D -c -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
daemon_pids+=($!)
slurmd -D -N "$host" -f "$SLURM_CONF" >"$tmp/slurmd.out" 2>&1 &
daemon_pids+=($!)
node_idle() { [ "$(sinfo -h -N -o %t 2>/dev/null)" = idle ]; }
if ! wait_for 45 node_idle; then
    cat "$tmp/slurmctld.out" "$tmp/slurmd.out" >&2
    for pid in "${daemon_pids[@]:1}"; do
        if ! kill -0 "$pid" 2>/dev/null; then
            diagnostics >&2
            skip "a Slurm daemon (pid $pid) could not start (see its log above)"
        fi
    done
    fail "the node did not become idle in 45 s"
fi
log "one-node Slurm up on $host (ports $ctld_port, $slurmd_port)"

# --- a 24-frame synthetic sequence -----------------------------------------------
"$veskar" sample "$tmp/sample" >/dev/null
mkdir -p "$tmp/plates" "$tmp/farm" "$tmp/local"
oiiotool "$tmp/sample/plate.exr" --resize 320x180 -o "$tmp/sample/small.exr"
# Grain seeded by the frame number: every frame differs. The plate's colour is
# also a layer fg (fg.R, fg.G, fg.B) beside the plain R, G, B, and the layer is
# what is keyed: the verification must be told so to expect its channels.
oiiotool --frames 1001-1024 "$tmp/sample/small.exr" \
    --pattern "noise:type=gaussian:mean=0:stddev=0.02:seed={FRAME_NUMBER}" 320x180 3 --add \
    --dup --chappend --chnames R,G,B,fg.R,fg.G,fg.B -d half -o "$tmp/plates/plate.#.exr"
[ "$(ls "$tmp/plates" | wc -l)" = 24 ] || fail "the synthetic plates were not made: $(ls "$tmp/plates")"
# The tasks run one thread each (submit.sh's default), the local run one per
# core: the frames must not care.
render_options=(--settings "$tmp/sample/sample.setting" --layer fg)

# A veskar that stalls the first attempt at task 2 (frames 1009-1012) after
# two frames, as a job on a hung file server would, so that it can be
# cancelled mid-run; every other run is the real one. Its folder's name holds
# a comma, which sbatch --export would take for the end of the path.
wrapper=$tmp/bin,farm/veskar
mkdir -p "$(dirname "$wrapper")"
cat >"$wrapper" <<WRAP
#!/usr/bin/env bash
if [ "\${SLURM_ARRAY_TASK_ID:-}" = 2 ] && mkdir "$tmp/stalled" 2>/dev/null; then
    args=()
    for arg in "\$@"; do
        [ "\$arg" != --frames=1009-1012 ] || arg=--frames=1009-1010
        args+=("\$arg")
    done
    "$veskar" "\${args[@]}"
    touch "$tmp/stalling"
    exec sleep 600
fi
exec "$veskar" "\$@"
WRAP
chmod +x "$wrapper"

# Waits for Slurm to forget the jobs given as running or pending.
jobs_done() { [ -z "$(squeue -h -j "$1" -o %i 2>/dev/null)" ]; }
job_state() { scontrol -o show job "$1" | grep -o 'JobState=[A-Z_]*' | cut -d= -f2; }
# The job ids printed by submit.sh.
submit() {
    local output
    output=$(VESKAR=$wrapper bash "$repo/farm/slurm/submit.sh" "$tmp/plates/plate.####.exr" \
        "$tmp/farm/key.####.exr" --frames 1001-1024 --chunk 4 --logs "$tmp/logs" "$@" \
        -- "${render_options[@]}") || fail "submit.sh failed: $output"
    echo "$output" >&2
    array=$(echo "$output" | sed -n 's/^array job \([0-9]*\):.*/\1/p')
    verify=$(echo "$output" | sed -n 's/^verification job \([0-9]*\):.*/\1/p')
    [ -n "$array" ] && [ -n "$verify" ] || fail "no job ids in submit.sh's output: $output"
}

# --- the array, one task cancelled mid-run --------------------------------------------
submit
log "submitted array $array and verification $verify"
wait_for 90 test -e "$tmp/stalling" || fail "task 2 never got going"
[ "$(job_state "${array}_2")" = RUNNING ] || fail "task 2 is $(job_state "${array}_2"), not running"
scancel "${array}_2"
log "cancelled task ${array}_2 after frames 1009-1010"
wait_for 180 jobs_done "$array,$verify" || fail "the array and its verification did not end in 180 s"
[ "$(job_state "${array}_2")" = CANCELLED ] || fail "task 2 ended $(job_state "${array}_2"), not cancelled"
[ "$(job_state "$verify")" = FAILED ] || fail "the verification ended $(job_state "$verify") with frames missing"
summary=$(cat "$tmp/logs/summary.txt")
expected="veskar check: 24 frames (1001-1024): 22 good, 2 missing, 0 bad; redo --frames 1011-1012"
[ "$summary" = "$expected" ] || fail "verification summary: '$summary', expected '$expected'"
expected=$(printf 'frame %s: %s: missing\n' 1011 "$tmp/farm/key.1011.exr" 1012 "$tmp/farm/key.1012.exr")
[ "$(cat "$tmp/logs/bad-frames.txt")" = "$expected" ] ||
    fail "bad-frames.txt: '$(cat "$tmp/logs/bad-frames.txt")', expected '$expected'"
log "first verification failed as it should: $summary"

# --- the cancelled task again ---------------------------------------------------
submit --tasks 2
log "resubmitted task 2 as array $array, verification $verify"
wait_for 120 jobs_done "$array,$verify" || fail "the resubmitted task and its verification did not end in 120 s"
[ "$(job_state "${array}_2")" = COMPLETED ] || fail "the resubmitted task ended $(job_state "${array}_2")"
grep -q "2 frames keyed, 2 skipped (already written)" "$tmp/logs/key-${array}_2.log" ||
    fail "the resubmitted task did not resume: $(cat "$tmp/logs/key-${array}_2.log")"
[ "$(job_state "$verify")" = COMPLETED ] || fail "the second verification ended $(job_state "$verify")"
summary=$(cat "$tmp/logs/summary.txt")
expected="veskar check: 24 frames (1001-1024): 24 good, 0 missing, 0 bad"
[ "$summary" = "$expected" ] || fail "verification summary: '$summary', expected '$expected'"
[ ! -s "$tmp/logs/bad-frames.txt" ] || fail "bad-frames.txt lists: $(cat "$tmp/logs/bad-frames.txt")"
log "second verification passed: $summary"

# --- bit for bit as a local run ----------------------------------------------------
"$veskar" render "$tmp/plates/plate.####.exr" -o "$tmp/local/key.####.exr" --frames 1001-1024 \
    "${render_options[@]}" 2>/dev/null || fail "the local run failed"
# Pixels and channels, every part, exactly; the files' history tags name the
# command lines, which differ.
for frame in $(seq 1001 1024); do
    idiff -q -a -fail 0 -failpercent 0 -hardfail 0 -warn 0 \
        "$tmp/local/key.$frame.exr" "$tmp/farm/key.$frame.exr" >/dev/null 2>&1 ||
        fail "frame $frame keyed on the farm differs from the local run"
done
leftovers=$(find "$tmp/farm" -name '.*' -type f)
[ -z "$leftovers" ] || fail "temporary files left in the output folder: $leftovers"
passed=1
log "passed: 24 frames keyed on Slurm, one task cancelled and resubmitted, all bit-identical to a local run in pixels and channels"
