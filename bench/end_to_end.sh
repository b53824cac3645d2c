#!/usr/bin/env bash
# veskar render against the tools a pipeline would otherwise run on the same
# files, printing medians of interleaved repetitions and ratios:
#   - 10-frame zip sequences, float RGBA: veskar with default and with heavy
#     settings against oiiotool reading and writing the same frames;
#   - half RGB: veskar (which writes an alpha) against oiiotool adding alpha 1;
#   - one frame: FFmpeg's chromakey (yuva444p16) and colorkey (rgba64) on one
#     thread, against veskar keying the frame on one worker; FFmpeg's decoding
#     and format conversion are timed alone and taken off its figures.
#   - one large frame (BIG, 7680x4320 float RGBA), once: veskar's peak memory
#     against oiiotool's on the frame that shows it best.
# Peak memory (maximum resident set) is printed beside each time.
#   bench/end_to_end.sh [BUILD_DIR]
# Environment: WIDTH, HEIGHT (3840 x 2160), FRAMES (10), REPS (3), BIG
# (7680x4320; empty leaves the large frame out), WORK (a temporary folder,
# removed afterwards), TIME=cpu (CPU time, user and system, in place of wall
# time: on a machine that others share, the one-thread figures are then those
# of an idle one), ONE=1 (only the one-frame, one-thread comparison).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
veskar="$build/bin/veskar"
width=${WIDTH:-3840}
height=${HEIGHT:-2160}
frames=${FRAMES:-10}
reps=${REPS:-3}
big=${BIG-7680x4320}
work=${WORK:-$(mktemp -d)}
[ -n "${WORK:-}" ] || trap 'rm -rf "$work"' EXIT
for tool in "$veskar" oiiotool ffmpeg python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "end_to_end.sh: $tool is missing" >&2; exit 1; }
done
cd "$work"
echo "load at the start: $(cat /proc/loadavg)"

echo "plates: $frames frames of ${width}x${height} in $work"
for f in $(seq 1 "$frames"); do
    n=$(printf %04d "$f")
    # A green-screen gradient with grain: keys partly, compresses like a plate.
    oiiotool --pattern fill:top=0.1,0.6,0.2,1:bottom=0.35,0.75,0.15,1 "${width}x${height}" 4 \
        --pattern "noise:type=gaussian:mean=0:stddev=0.03:seed=$f" "${width}x${height}" 4 --add \
        -d float --compression zip -o "float.$n.exr"
    oiiotool "float.$n.exr" --ch R,G,B -d half --compression zip -o "half.$n.exr"
done

heavy=(--set Colorspace=HSV --set keyfall=Cosine --set keyalgo=DIST --set GammaAlpha=2.2
       --set ColCor=Average --set CCAmount=0.5 --set DesaturateAlpha=1 --set BGAlphaBlend=Multiply
       --set MaxRed=0.2 --set MaxGreen=0.5 --set MaxBlue=0.5)
green=(--set ValueRed=0.2 --set ValueGreen=0.7 --set ValueBlue=0.15 --set MaxRed=0.3
       --set MaxGreen=0.3 --set MaxBlue=0.3)

declare -A command
command[oiio_float]="oiiotool --frames 1-$frames float.#.exr --compression zip -o oiio.#.exr"
command[veskar_float]="$veskar render float.####.exr --frames 1-$frames -o vk.####.exr"
command[veskar_heavy]="$veskar render float.####.exr --frames 1-$frames -o vh.####.exr ${heavy[*]}"
command[oiio_half]="oiiotool --frames 1-$frames half.#.exr --ch R,G,B,A=1.0 --compression zip -o oiioh.#.exr"
command[veskar_half]="$veskar render half.####.exr --frames 1-$frames -o vkh.####.exr"
ff="ffmpeg -hide_banner -loglevel error -threads 1 -i float.0001.exr -filter_threads 1"
command[ff_yuva]="$ff -vf format=yuva444p16le -f null -"
command[ff_chromakey]="$ff -vf format=yuva444p16le,chromakey=color=0x33bb26:similarity=0.2:blend=0.1 -f null -"
command[ff_rgba]="$ff -vf format=rgba64le -f null -"
command[ff_colorkey]="$ff -vf format=rgba64le,colorkey=color=0x33bb26:similarity=0.2:blend=0.1 -f null -"
command[veskar_one_copy]="oiiotool float.0001.exr --compression zip -o one_oiio.exr"
command[veskar_one]="$veskar render float.0001.exr --threads 1 -o one_vk.exr ${green[*]}"
command[veskar_one_heavy]="$veskar render float.0001.exr --threads 1 -o one_vh.exr ${heavy[*]}"
order=(oiio_float veskar_float veskar_heavy oiio_half veskar_half ff_yuva ff_chromakey ff_rgba
       ff_colorkey veskar_one_copy veskar_one veskar_one_heavy)
if [ -n "${ONE:-}" ]; then
    order=(ff_yuva ff_chromakey ff_rgba ff_colorkey veskar_one_copy veskar_one veskar_one_heavy)
    big=
fi

results=$(mktemp)
if [ -n "$big" ]; then
    echo "large frame: $big"
    oiiotool --pattern fill:top=0.1,0.6,0.2,1:bottom=0.35,0.75,0.15,1 "$big" 4 \
        --pattern "noise:type=gaussian:mean=0:stddev=0.03:seed=1" "$big" 4 --add \
        -d float --compression zip -o big.exr
    for name in oiio_big veskar_big; do
        [ "$name" = oiio_big ] && run="oiiotool big.exr --compression zip -o big_oiio.exr" ||
            run="$veskar render big.exr -o big_vk.exr"
        /usr/bin/time -f "$name %e %M %U %S" -a -o "$results" bash -c "$run" >/dev/null 2>"$work/log" ||
            { echo "end_to_end.sh: $name failed:" >&2; cat "$work/log" >&2; exit 1; }
        rm -f big_oiio.exr big_vk.exr
    done
    rm -f big.exr
fi
for rep in $(seq 1 "$reps"); do
    for name in "${order[@]}"; do
        rm -f oiio.*.exr vk.*.exr vh.*.exr oiioh.*.exr vkh.*.exr one_*.exr
        if ! /usr/bin/time -f "$name %e %M %U %S" -a -o "$results" bash -c "${command[$name]}" \
            >/dev/null 2>"$work/log"; then
            echo "end_to_end.sh: $name failed:" >&2
            cat "$work/log" >&2
            exit 1
        fi
    done
    echo "repetition $rep of $reps done"
done

TIME=${TIME:-real} python3 - "$results" "$frames" "$width" "$height" "$(cat /proc/loadavg)" <<'PY'
import os, sys
from collections import defaultdict
cpu = os.environ["TIME"] == "cpu"
runs = defaultdict(list)
for line in open(sys.argv[1]):
    parts = line.split()
    if len(parts) == 5:
        seconds = float(parts[3]) + float(parts[4]) if cpu else float(parts[1])
        runs[parts[0]].append((seconds, int(parts[2])))
def med(name):
    t = sorted(r[0] for r in runs[name]); m = sorted(r[1] for r in runs[name])
    return t[len(t) // 2], m[len(m) // 2] / 1024.0
frames, w, h, load = sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
print(f"\n{frames} frames {w}x{h}, medians of {len(runs['ff_yuva'])} interleaved runs of "
      f"{'CPU' if cpu else 'wall'} time; load at the end {load}")
def row(label, name, base=None):
    if not runs[name]:
        return
    t, m = med(name)
    text = f"  {label:<44}{t:8.2f} s {m:8.0f} MiB"
    if base:
        bt, bm = med(base)
        text += f"   {t / bt:5.2f}x time {m / bm:5.2f}x memory"
    print(text)
row("oiiotool read+write, float RGBA", "oiio_float")
row("veskar render defaults, float RGBA", "veskar_float", "oiio_float")
row("veskar render heavy, float RGBA", "veskar_heavy", "oiio_float")
row("oiiotool adding alpha, half RGB", "oiio_half")
row("veskar render defaults, half RGB", "veskar_half", "oiio_half")
if runs["oiio_big"]:
    print("\n  one large frame, float RGBA, run once:")
    row("oiiotool read+write", "oiio_big")
    row("veskar render defaults", "veskar_big", "oiio_big")
print("\n  one frame, one thread:")
decode_yuva, _ = med("ff_yuva"); chroma, _ = med("ff_chromakey")
decode_rgba, _ = med("ff_rgba"); colour, _ = med("ff_colorkey")
copy, _ = med("veskar_one_copy"); one, _ = med("veskar_one"); one_heavy, _ = med("veskar_one_heavy")
print(f"  ffmpeg chromakey alone (yuva444p16)      {1000 * (chroma - decode_yuva):8.0f} ms")
print(f"  ffmpeg colorkey alone (rgba64)           {1000 * (colour - decode_rgba):8.0f} ms")
print(f"  veskar keying beyond oiiotool's copy, defaults {1000 * (one - copy):8.0f} ms"
      f"   {(one - copy) / max(chroma - decode_yuva, 1e-3):5.2f}x chromakey"
      f"   {(one - copy) / max(colour - decode_rgba, 1e-3):5.2f}x colorkey")
print(f"  veskar keying beyond oiiotool's copy, heavy    {1000 * (one_heavy - copy):8.0f} ms"
      f"   {(one_heavy - copy) / max(chroma - decode_yuva, 1e-3):5.2f}x chromakey")
PY
rm -f "$results"
