#!/usr/bin/env bash
# Runs bench_render with interleaved repetitions (so that a busy machine
# slows every case alike) and prints the medians side by side with ratios:
# against the host copy, the speed-up of the line kernels over the per-pixel
# route, each case over the defaults, and the plate's cases over the plate.
#   bench/run_render.sh [BUILD_DIR] [REPETITIONS] [FILTER]
# With TIME=cpu it reports CPU time in place of wall time: on a machine that
# others share, the 1-worker figures are then those of an idle machine.
set -euo pipefail
build=${1:-build}
repetitions=${2:-5}
filter=${3:-.}
out=$(mktemp --suffix=.json)
trap 'rm -f "$out"' EXIT
"$build/bin/bench_render" --benchmark_filter="$filter" --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.1 \
    --benchmark_out="$out" --benchmark_out_format=json >/dev/null
TIME=${TIME:-real} python3 - "$out" <<'PY'
import json, os, sys
from collections import defaultdict

data = json.load(open(sys.argv[1]))
times = defaultdict(list)
for b in data["benchmarks"]:
    if b.get("run_type") == "iteration" and not b.get("error_occurred"):
        times[b["run_name"].replace("/real_time", "")].append(b[os.environ["TIME"] + "_time"])
median = {}
for name, values in times.items():
    values.sort()
    median[name] = values[len(values) // 2]

ctx = data["context"]
print(f"{ctx.get('num_cpus')} cpus, load average {ctx.get('load_avg')}, "
      f"{len(next(iter(times.values())))} interleaved repetitions, medians of "
      f"{os.environ['TIME']} time in ms")
for workers in ("1", "2"):
    w = f"/workers:{workers}"
    host = median.get("copy/host" + w)
    print(f"\n{workers} worker(s)")
    for copy in ("memcpy", "host", "per-pixel"):
        t = median.get(f"copy/{copy}{w}")
        if t is not None:
            print(f"  copy {copy:<12} {t:9.1f}" + (f"   {t / host:5.2f}x host copy" if host else ""))
    cases = sorted({n.split("/")[1] for n in median if n.startswith("key/")},
                   key=lambda c: (c not in ("defaults", "heavy"), c != "defaults", c))
    print(f"  {'case':<13}{'per-pixel':>10}{'line-best':>10}{'line-avx2':>10}{'line-sse2':>10}"
          f"{'best/host':>11}{'sse2/host':>11}{'speed-up':>10}{'sse2 up':>9}")
    for case in cases:
        p = median.get(f"key/{case}/per-pixel{w}")
        b = median.get(f"key/{case}/line-best{w}")
        s = median.get(f"key/{case}/line-sse2{w}", b)
        a = median.get(f"key/{case}/line-avx2{w}")
        def cell(v, width=10, fmt="{:.1f}"):
            return (fmt.format(v) if v is not None else "-").rjust(width)
        print(f"  {case:<13}{cell(p)}{cell(b)}{cell(a)}{cell(s)}"
              f"{cell(b / host if b and host else None, 11, '{:.2f}x')}"
              f"{cell(s / host if s and host else None, 11, '{:.2f}x')}"
              f"{cell(p / b if p and b else None, 10, '{:.2f}x')}"
              f"{cell(p / s if p and s else None, 9, '{:.2f}x')}")

    # Each case's time over a reference case's on the same route: every case
    # over the defaults, the plate's cases over the plate keyed without them.
    def ratios(title, rows, reference):
        print(f"  {title:<15}{'per-pixel':>10}{'line-best':>10}{'line-avx2':>10}{'line-sse2':>10}")
        for case in rows:
            row = f"  {case:<15}"
            for route in ("per-pixel", "line-best", "line-avx2", "line-sse2"):
                t = median.get(f"key/{case}/{route}{w}")
                d = median.get(f"key/{reference}/{route}{w}")
                row += (f"{t / d:.2f}x" if t and d else "-").rjust(10)
            print(row)

    ratios("over defaults", cases, "defaults")
    plate = [c for c in cases if c.startswith("plate-")]
    if plate:
        ratios("over plate", plate, "plate")
PY
