#!/usr/bin/env bash
# Keying alone, per core: FFmpeg's chromakey on one thread against veskar's
# line kernels on one worker, on the same 3840x2160 frame size, in CPU time
# (user and system), so that a shared machine slows neither figure.
#   - FFmpeg: a raw yuva444p16 frame read N times from memory-backed storage,
#     keyed by chromakey, minus the same run through a null filter: the
#     filter's own time per frame, without decoding or conversion.
#   - veskar: bench_render's key/CASE/line-best/workers:1 (the keying of a
#     float RGBA frame, no file in or out), for the defaults and the heavy
#     settings.
#   bench/per_core.sh [BUILD_DIR]     Environment: FRAMES (20), REPS (5)
set -euo pipefail
build=${1:-build}
frames=${FRAMES:-20}
reps=${REPS:-5}
width=3840
height=2160
for tool in ffmpeg python3 /usr/bin/time "$build/bin/bench_render"; do
    command -v "$tool" >/dev/null || { echo "per_core.sh: $tool is missing" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A green gradient with grain, as end_to_end.sh keys.
ffmpeg -hide_banner -loglevel error -f lavfi \
    -i "gradients=s=${width}x${height}:c0=0x1a9933:c1=0x59bf26:n=2,noise=alls=8:allf=t" \
    -frames:v 1 -pix_fmt yuva444p16le -f rawvideo "$work/frame.raw"
input=(-hide_banner -loglevel error -threads 1 -f rawvideo -pix_fmt yuva444p16le
       -s "${width}x${height}" -stream_loop $((frames - 1)) -i "$work/frame.raw" -filter_threads 1)
results="$work/times"
for rep in $(seq 1 "$reps"); do
    for name in null chromakey; do
        filter=null
        [ "$name" = chromakey ] && filter="chromakey=color=0x33bb26:similarity=0.2:blend=0.1"
        /usr/bin/time -f "$name %U %S" -a -o "$results" \
            ffmpeg "${input[@]}" -vf "$filter" -f null - </dev/null
    done
done
json="$work/bench.json"
"$build/bin/bench_render" --benchmark_filter='key/(defaults|heavy)/line-best/workers:1' \
    --benchmark_repetitions="$reps" --benchmark_min_time=0.1 \
    --benchmark_out="$json" --benchmark_out_format=json >/dev/null 2>&1
python3 - "$results" "$json" "$frames" "$(cat /proc/loadavg)" <<'PY'
import json, sys
from collections import defaultdict
runs = defaultdict(list)
for line in open(sys.argv[1]):
    name, user, system = line.split()
    runs[name].append(float(user) + float(system))
def median(values):
    values = sorted(values)
    return values[len(values) // 2]
frames = int(sys.argv[3])
chromakey = (median(runs["chromakey"]) - median(runs["null"])) / frames * 1000
cases = defaultdict(list)
for b in json.load(open(sys.argv[2]))["benchmarks"]:
    if b.get("run_type") == "iteration":
        cases[b["run_name"].split("/")[1]].append(b["cpu_time"])
print(f"3840x2160, one core, CPU ms per frame (medians of {len(runs['null'])}); load {sys.argv[4]}")
print(f"  ffmpeg chromakey (yuva444p16, beyond a null filter) {chromakey:8.1f}")
for case in ("defaults", "heavy"):
    t = median(cases[case])
    print(f"  veskar {case:<10} (float RGBA, line kernels)      {t:8.1f}   {t / chromakey:5.2f}x chromakey")
PY
