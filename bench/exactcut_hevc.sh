#!/bin/sh
# Frame-exact copy of HEVC against re-encoding: on a 10-minute 1080p HEVC file with sound
# (key frame every 10 s), a 60 s range starting and ending in the middle of a group of
# pictures is cut with trimora-cli cut --exact and re-encoded by the ffmpeg tool with libx265
# at its defaults (the same range, sound copied). The same again on the H.264 file of the
# engine benchmark with libx264. Prints the wall times and how many times faster the
# frame-exact copy is (target: at least 5).
#   bench/exactcut_hevc.sh [BUILD_DIR]
set -euf
BUILD=${1:-build}
CLI="$BUILD/cli/trimora-cli"
[ -x "$CLI" ] || { echo "no $CLI" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "no ffmpeg tool" >&2; exit 2; }
"$(dirname "$0")/engine.sh" "$BUILD" 0
WORK=${TRIMORA_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/trimora-engine-bench}
HEVC="$WORK/long1080-hevc.mp4"
if [ ! -s "$HEVC" ]; then
  echo "making $(basename "$HEVC") (1920x1080 HEVC, 600 s) ..." >&2
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1920x1080:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 600 \
    -c:v libx265 -preset ultrafast -crf 26 -x265-params keyint=250:min-keyint=250:scenecut=0:log-level=error \
    -pix_fmt yuv420p -c:a aac -b:a 128k -ac 2 "$HEVC.part.mp4"
  mv "$HEVC.part.mp4" "$HEVC"
fi
OUT=$(mktemp -d "${TMPDIR:-/tmp}/trimora-exact-hevc-bench.XXXXXX")
trap 'rm -rf "$OUT"' EXIT
START=305
END=365

now() { date +%s.%N; }

# exact INPUT: seconds the frame-exact copy takes
exact() {
  rm -rf "$OUT/cut" && mkdir -p "$OUT/cut"
  t0=$(now)
  "$CLI" cut "$1" --format 0 --start "$START" --end "$END" --exact --out-dir "$OUT/cut" >"$OUT/exact.log" 2>&1 || {
    echo "frame-exact copy failed:" >&2; cat "$OUT/exact.log" >&2; exit 1; }
  t1=$(now)
  grep -E '^(encode|copy)' "$OUT/exact.log" >&2 || true
  echo "$t1 - $t0" | bc -l
}

# encode INPUT ENCODER: seconds the ffmpeg tool takes to re-encode the range at its defaults
encode() {
  t0=$(now)
  ffmpeg -nostdin -v error -y -ss "$START" -i "$1" -t $((END - START)) -c:v "$2" -c:a copy "$OUT/re.mp4"
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

report() {  # name input encoder
  e=$(exact "$2")
  r=$(encode "$2" "$3")
  printf '%s: frame-exact copy %.2f s, %s re-encode %.2f s: %.1fx faster (target 5x)\n' \
    "$1" "$e" "$3" "$r" "$(echo "$r / $e" | bc -l)"
}

report HEVC "$HEVC" libx265
report H.264 "$WORK/long1080.mp4" libx264
