#!/bin/sh
# Engine benchmark: trimora-cli encode against the ffmpeg tool with the same option text on the
# same generated files. Runs alternate (ours, tool, ours, ...) after one warm-up run of each; it
# prints the median wall times, the median of the per-pair ratios (tool / ours: above 1
# means faster than the tool) and the ratio of the time each program spends beyond its own
# process start-up (measured first with --version / -version).
#   bench/engine.sh [BUILD_DIR] [RUNS]      RUNS=0 only makes the media
# The media are made once into $TRIMORA_BENCH_DIR (default: the user's cache folder):
#   full1080.mp4  60 s, 1920x1080 H.264 (B-frames, key frame every 10 s) + AAC stereo
#   long1080.mp4  10 min, the same kind, for the cuts near the end
#   hd720.mp4     60 s, 1280x720, the same kind
# Cases:
#   (a) stream copy of the whole 1080p file                  target: within 1.02x of the tool
#   (b) copy cut of 10 s at 10 %, 50 % and 90 % of the 10-minute file
#                                                            target: at least 5x faster at 90 %,
#       and its cost grows with the range, not with where it is: the three within 1.1x
#   (c) the PSP and MKV cut texts on the 720p file           target: within 1.02x
#   (d) transcode cuts of 10 s at 90 % of the 10-minute file target: at least 10x faster
# The cut texts are the ones trimora-cli cut --dry-run makes for the file, so they are exactly
# what the window would hand the engine.
set -euf
BUILD=${1:-build}
RUNS=${2:-5}
# Jobs well under a second get more pairs: their medians move with the machine's noise.
QUICK_RUNS=$((RUNS * 4))
CLI="$BUILD/cli/trimora-cli"
command -v ffmpeg >/dev/null || { echo "no ffmpeg tool" >&2; exit 2; }
WORK=${TRIMORA_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/trimora-engine-bench}
mkdir -p "$WORK"
OUT=$(mktemp -d "${TMPDIR:-/tmp}/trimora-engine-bench-out.XXXXXX")
trap 'rm -rf "$OUT"' EXIT

make_clip() {  # name size seconds
  [ -s "$WORK/$1" ] && return 0
  echo "making $1 ($2, $3 s) ..." >&2
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$2:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$3" \
    -c:v libx264 -preset veryfast -crf 23 -g 250 -bf 2 -pix_fmt yuv420p \
    -c:a aac -b:a 128k -ac 2 "$WORK/$1.part.mp4"
  mv "$WORK/$1.part.mp4" "$WORK/$1"
}
make_clip full1080.mp4 1920x1080 60
make_clip hd720.mp4 1280x720 60
make_clip long1080.mp4 1920x1080 600
[ "$RUNS" -gt 0 ] || exit 0
[ -x "$CLI" ] || { echo "no $CLI" >&2; exit 2; }

# The option text of a cut as the window makes it: cut_text INPUT FORMAT START END
cut_text() {
  "$CLI" cut "$1" --format "$2" --start "$3" --end "$4" --out-dir "$OUT" --dry-run 2>/dev/null |
    sed -n 's/^options: //p'
}

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

run_ours() {  # input output options
  rm -f "$2"
  "$CLI" encode "$1" "$2" "$3" >/dev/null 2>"$OUT/ours.err" || {
    echo "trimora-cli failed:" >&2; cat "$OUT/ours.err" >&2; exit 1; }
}
run_tool() {
  rm -f "$2"
  # The text is split into words as the engine splits it: at blanks.
  # shellcheck disable=SC2086
  ffmpeg -nostdin -v error -y -i "$1" $3 "$2" 2>"$OUT/tool.err" || {
    echo "ffmpeg failed:" >&2; cat "$OUT/tool.err" >&2; exit 1; }
}

# One timed run of a command line, in seconds.
timed() {
  t0=$(now); "$@" >/dev/null; t1=$(now)
  echo "$t1 - $t0" | bc -l
}

# Process start-up of each program alone: loading the FFmpeg libraries is most of a short
# job's time, the same for both.
startup() {
  : >"$OUT/ours.s"; : >"$OUT/tool.s"
  i=0
  while [ "$i" -lt "$QUICK_RUNS" ]; do
    timed "$CLI" --version >>"$OUT/ours.s"
    timed ffmpeg -nostdin -version >>"$OUT/tool.s"
    i=$((i + 1))
  done
  ours_start=$(median <"$OUT/ours.s"); tool_start=$(median <"$OUT/tool.s")
  printf '%-40s ours %8.3f s  ffmpeg %8.3f s\n' "process start-up" "$ours_start" "$tool_start"
}

# case name, input, output extension, option text, pairs of runs
bench() {
  name=$1 in=$2 ext=$3 opts=$4 runs=$5
  echo "$name: \"$opts\"" >&2
  : >"$OUT/ours.t"; : >"$OUT/tool.t"; : >"$OUT/ratio.t"
  run_ours "$in" "$OUT/o1.$ext" "$opts"
  run_tool "$in" "$OUT/o2.$ext" "$opts"
  i=0
  while [ "$i" -lt "$runs" ]; do
    # Every other pair starts with the tool, so neither always runs after the other's writes.
    if [ $((i % 2)) -eq 0 ]; then
      o=$(timed run_ours "$in" "$OUT/o1.$ext" "$opts")
      t=$(timed run_tool "$in" "$OUT/o2.$ext" "$opts")
    else
      t=$(timed run_tool "$in" "$OUT/o2.$ext" "$opts")
      o=$(timed run_ours "$in" "$OUT/o1.$ext" "$opts")
    fi
    echo "$o" >>"$OUT/ours.t"; echo "$t" >>"$OUT/tool.t"
    echo "$t / $o" | bc -l >>"$OUT/ratio.t"
    i=$((i + 1))
  done
  mo=$(median <"$OUT/ours.t"); mt=$(median <"$OUT/tool.t")
  # The work beyond each program's start-up, when ours leaves enough to divide by.
  beyond=$(echo "o = $mo - $ours_start; t = $mt - $tool_start; if (o > 0.005) t / o else -1" | bc -l)
  if [ "$(echo "$beyond < 0" | bc -l)" -eq 1 ]; then beyond_text="-"; else
    beyond_text=$(printf '%.2fx' "$beyond"); fi
  printf '%-40s ours %8.3f s  ffmpeg %8.3f s  ffmpeg/ours %6.2fx  beyond start-up %s\n' \
    "$name" "$mo" "$mt" "$(median <"$OUT/ratio.t")" "$beyond_text"
}

long_start=540
long_end=550
psp720=$(cut_text "$WORK/hd720.mp4" psp 10 25.5)
mkv720=$(cut_text "$WORK/hd720.mp4" mkv 10 25.5)
psp_long=$(cut_text "$WORK/long1080.mp4" psp $long_start $long_end)
mp4_long=$(cut_text "$WORK/long1080.mp4" mp4 $long_start $long_end)

startup
bench "(a) copy, whole 1080p file" "$WORK/full1080.mp4" mp4 "-c copy" "$QUICK_RUNS"
: >"$OUT/spread.t"
for percent in 10 50 90; do
  at=$((600 * percent / 100))
  copy_at=$(cut_text "$WORK/long1080.mp4" "copy - original" $at $((at + 10)))
  bench "(b) copy cut, 10 s at $percent % of 10 min" "$WORK/long1080.mp4" mp4 "$copy_at" "$QUICK_RUNS"
  echo "$mo" >>"$OUT/spread.t"
done
printf '%-40s slowest / fastest %.2fx (target at most 1.1x)\n' "(b) copy cut by position" \
  "$(sort -g "$OUT/spread.t" | awk 'NR == 1 {lo = $1} {hi = $1} END {print hi / lo}')"
bench "(c) PSP cut text, 720p" "$WORK/hd720.mp4" mp4 "$psp720" "$RUNS"
bench "(c) MKV cut text, 720p" "$WORK/hd720.mp4" mkv "$mkv720" "$RUNS"
bench "(d) PSP cut, 10 s at 90 % of 10 min" "$WORK/long1080.mp4" mp4 "$psp_long" "$RUNS"
bench "(d) MP4 cut, 10 s at 90 % of 10 min" "$WORK/long1080.mp4" mp4 "$mp4_long" "$RUNS"
# The floor of (d) MP4: the same ten seconds encoded from the file's start, where no program
# has anything to skip.
bench "(d) floor: the first 10 s, MP4 text" "$WORK/long1080.mp4" mp4 " -t 10 ${mp4_long#*-t 10}" "$RUNS"
