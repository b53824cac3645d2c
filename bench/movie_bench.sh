#!/usr/bin/env bash
# veskar keying movies against the ffmpeg command on the same clips, with
# frames per second and peak memory (maximum resident set) for each:
#   - ProRes 4444 (12-bit with alpha) and H.264 (8-bit 4:2:0) clips in;
#   - veskar keying each to ProRes 4444 with alpha (the .mov default);
#   - ffmpeg transcoding each to ProRes 4444 without keying (the floor of
#     decoding and encoding alone), and keying with its chromakey filter.
# Times are the median of REPS interleaved runs. Then the peak memory of
# keying a short and a long clip of small frames (640 x 360, 10 and LONG
# frames), which should not grow with the length.
#   bench/movie_bench.sh [BUILD_DIR]
# Environment: WIDTH x HEIGHT (1920 x 1080), FRAMES (100), REPS (3), LONG
# (1000), WORK (a temporary folder, removed afterwards).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
veskar="$build/bin/veskar"
width=${WIDTH:-1920}
height=${HEIGHT:-1080}
frames=${FRAMES:-100}
reps=${REPS:-3}
work=${WORK:-$(mktemp -d)}
[ -n "${WORK:-}" ] || trap 'rm -rf "$work"' EXIT
for tool in "$veskar" ffmpeg python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "movie_bench.sh: $tool is missing" >&2; exit 1; }
done
cd "$work"
echo "load at the start: $(cat /proc/loadavg)"
echo "clips: $frames frames of ${width}x${height} at 25 fps in $work"
# A green screen with a moving test pattern over it: partly keyed.
source="testsrc2=size=${width}x${height}:rate=25,format=yuv444p"
screen="color=c=0x30b040:size=${width}x${height}:rate=25"
graph="[1][0]overlay=x=W/4:y=H/4:shortest=1[v]"
ffmpeg -nostdin -loglevel error -y -f lavfi -i "$source" -f lavfi -i "$screen" -filter_complex "$graph" -map "[v]" \
    -frames:v "$frames" -c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le clip.mov
ffmpeg -nostdin -loglevel error -y -f lavfi -i "$source" -f lavfi -i "$screen" -filter_complex "$graph" -map "[v]" \
    -frames:v "$frames" -c:v libx264 -pix_fmt yuv420p -crf 16 clip.mp4

# Runs one command, appending "seconds peak_kib" to the file named first.
run() {
    local log=$1
    shift
    /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null 2>run.txt || { cat run.txt >&2; exit 1; }
    cat time.txt >>"$log"
}
prores=(-c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le)
names=()
for clip in clip.mov clip.mp4; do
    for rep in $(seq 1 "$reps"); do
        run "veskar.$clip" "$veskar" render "$clip" -o keyed.mov --key-color 0.19,0.69,0.25
        run "transcode.$clip" ffmpeg -nostdin -loglevel error -y -i "$clip" "${prores[@]}" plain.mov
        run "chromakey.$clip" ffmpeg -nostdin -loglevel error -y -i "$clip" \
            -vf "chromakey=0x30b040:0.1:0.05,format=yuva444p10le" "${prores[@]}" chroma.mov
    done
    names+=("veskar.$clip" "transcode.$clip" "chromakey.$clip")
done
python3 - "$frames" "${names[@]}" <<'PY'
import statistics, sys
frames = int(sys.argv[1])
for name in sys.argv[2:]:
    runs = [line.split() for line in open(name)]
    seconds = statistics.median(float(r[0]) for r in runs)
    peak = max(int(r[1]) for r in runs) / 1024
    print(f"{name:24s} {seconds:8.2f} s  {frames / seconds:7.1f} frames/s  peak {peak:7.0f} MiB")
PY

# Peak memory against the clip's length, keyed to ProRes as above.
long=${LONG:-1000}
for length in 10 "$long"; do
    ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc2=size=640x360:rate=25" -frames:v "$length" \
        -c:v libx264 -pix_fmt yuv420p -crf 16 "length$length.mp4"
    run "length.$length" "$veskar" render "length$length.mp4" -o keyed.mov --key-color 0.19,0.69,0.25
    echo "veskar, 640x360, $length frames: peak $(($(cut -d' ' -f2 "length.$length") / 1024)) MiB"
done
echo "load at the end: $(cat /proc/loadavg)"
