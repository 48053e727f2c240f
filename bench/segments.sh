#!/bin/sh
# Segment export benchmark: on a 10-minute 1080p H.264 file with sound and 10 s key-frame
# intervals, five 60 s ranges that start and end inside groups of pictures, cut three ways in
# one run, alternating: one merged frame-exact copy of all five, five single-range frame-exact
# cuts one after the other, and a full re-encode of the five ranges by the ffmpeg tool (libx264
# and its defaults). Prints the median wall times and the ratios (targets: merged at most 1.1x
# the five single cuts, at least 5x faster than the re-encode).
#   bench/segments.sh [BUILD_DIR] [RUNS]
# The media are the engine benchmark's (bench/engine.sh makes them once).
set -euf
BUILD=${1:-build}
RUNS=${2:-1}
CLI="$BUILD/cli/trimora-cli"
[ -x "$CLI" ] || { echo "no $CLI" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "no ffmpeg tool" >&2; exit 2; }
"$(dirname "$0")/engine.sh" "$BUILD" 0
WORK=${TRIMORA_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/trimora-engine-bench}
IN="$WORK/long1080.mp4"
OUT=$(mktemp -d "${TMPDIR:-/tmp}/trimora-segments-bench.XXXXXX")
trap 'rm -rf "$OUT"' EXIT
RANGES="25.32-85.32 125.52-185.52 245.72-305.72 365.12-425.12 485.92-545.92"
LIST=$(echo "$RANGES" | tr ' ' ',')

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

timed() {  # name, then the command; its wall time is added to OUT/name.t
  name=$1
  shift
  t0=$(now)
  "$@" >>"$OUT/$name.log" 2>&1 || { echo "$name failed:" >&2; cat "$OUT/$name.log" >&2; exit 1; }
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

merged() {
  rm -rf "$OUT/cut" && mkdir -p "$OUT/cut"
  timed merged "$CLI" cut "$IN" --format 0 --segments "$LIST" --merge --out-dir "$OUT/cut" >>"$OUT/merged.t"
}

singles() {
  rm -rf "$OUT/cut" && mkdir -p "$OUT/cut"
  sum=0
  for r in $RANGES; do
    t=$(timed singles "$CLI" cut "$IN" --format 0 --exact --start "${r%-*}" --end "${r#*-}" --out-dir "$OUT/cut")
    sum=$(echo "$sum + $t" | bc -l)
  done
  echo "$sum" >>"$OUT/singles.t"
}

reencode() {
  rm -rf "$OUT/cut" && mkdir -p "$OUT/cut"
  sum=0
  k=0
  for r in $RANGES; do
    k=$((k + 1))
    s=${r%-*}
    d=$(echo "${r#*-} - $s" | bc -l)
    t=$(timed reencode ffmpeg -nostdin -v error -y -ss "$s" -t "$d" -i "$IN" -c:v libx264 -c:a aac "$OUT/cut/$k.mp4")
    sum=$(echo "$sum + $t" | bc -l)
  done
  echo "$sum" >>"$OUT/reencode.t"
}

: >"$OUT/merged.t"; : >"$OUT/singles.t"; : >"$OUT/reencode.t"
i=0
while [ "$i" -lt "$RUNS" ]; do
  merged
  singles
  reencode
  i=$((i + 1))
done
grep -E '^segment' "$OUT/merged.log" | head -5 >&2 || true
m=$(median <"$OUT/merged.t"); s=$(median <"$OUT/singles.t"); r=$(median <"$OUT/reencode.t")
printf 'merged frame-exact copy %.2f s, five single cuts %.2f s, ffmpeg libx264 re-encode %.2f s (median of %d)\n' \
  "$m" "$s" "$r" "$RUNS"
printf 'merged is %.2fx the five single cuts (target at most 1.1x), %.1fx faster than the re-encode (target 5x)\n' \
  "$(echo "$m / $s" | bc -l)" "$(echo "$r / $m" | bc -l)"
