#!/bin/sh
# Frame-exact copy benchmark: on a 10-minute 1080p H.264 file with sound and 10 s key-frame
# intervals, a 60 s range starting and ending in the middle of a group of pictures, cut four
# ways in one run, alternating: the frame-exact copy (its two encoded parts at the same time),
# the same job with the parts one after the other (TRIMORA_EXACT_COPY_SEQUENTIAL), the plain
# copy cut, and a full re-encode with the MKV format. Prints the median wall times, how many
# times faster the frame-exact copy is than the re-encode (target: at least 5) and than the
# parts one after the other (target: at least 1.6), whose output must be the same bytes.
#   bench/exactcut.sh [BUILD_DIR] [RUNS]
# The media are the engine benchmark's (bench/engine.sh makes them once).
set -euf
BUILD=${1:-build}
RUNS=${2:-3}
CLI="$BUILD/cli/trimora-cli"
[ -x "$CLI" ] || { echo "no $CLI" >&2; exit 2; }
"$(dirname "$0")/engine.sh" "$BUILD" 0
WORK=${TRIMORA_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/trimora-engine-bench}
IN="$WORK/long1080.mp4"
OUT=$(mktemp -d "${TMPDIR:-/tmp}/trimora-exact-bench.XXXXXX")
trap 'rm -rf "$OUT"' EXIT
START=305
END=365

SEQUENTIAL=  # the environment of the next run
now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

run() {  # name, then the cut arguments
  name=$1
  shift
  rm -rf "$OUT/$name.cut"
  mkdir -p "$OUT/$name.cut"
  t0=$(now)
  # shellcheck disable=SC2086
  env $SEQUENTIAL "$CLI" cut "$IN" --start "$START" --end "$END" --out-dir "$OUT/$name.cut" "$@" >"$OUT/$name.log" 2>&1 || {
    echo "$name failed:" >&2; cat "$OUT/$name.log" >&2; exit 1; }
  t1=$(now)
  echo "$t1 - $t0" | bc -l >>"$OUT/$name.t"
}

: >"$OUT/exact.t"; : >"$OUT/alone.t"; : >"$OUT/copy.t"; : >"$OUT/mkv.t"
i=0
while [ "$i" -lt "$RUNS" ]; do
  run exact --format 0 --exact
  SEQUENTIAL=TRIMORA_EXACT_COPY_SEQUENTIAL=1
  run alone --format 0 --exact
  SEQUENTIAL=
  # One output each (no globbing here: set -f).
  cmp -s "$OUT/exact.cut/$(ls "$OUT/exact.cut")" "$OUT/alone.cut/$(ls "$OUT/alone.cut")" || {
    echo "the two frame-exact copies differ" >&2; exit 1; }
  run copy --format 0 --no-exact
  run mkv --format MKV
  i=$((i + 1))
done
grep -E '^(encode|copy)' "$OUT/exact.log" >&2 || true
e=$(median <"$OUT/exact.t"); a=$(median <"$OUT/alone.t"); c=$(median <"$OUT/copy.t"); m=$(median <"$OUT/mkv.t")
printf 'frame-exact copy %.2f s, its parts one after the other %.2f s, plain copy %.2f s, MKV re-encode %.2f s (median of %d)\n' \
  "$e" "$a" "$c" "$m" "$RUNS"
printf 'both parts at once are %.2fx faster than one after the other (target 1.6x), the same bytes\n' \
  "$(echo "$a / $e" | bc -l)"
printf 'frame-exact copy is %.1fx faster than the re-encode (target 5x), %.1fx the plain copy'"'"'s time\n' \
  "$(echo "$m / $e" | bc -l)" "$(echo "$e / $c" | bc -l)"
