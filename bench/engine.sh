#!/bin/sh
# Engine benchmark: trimora-cli encode against the ffmpeg tool with the same option text on the
# same generated files, runs alternating, median wall times and their ratio (ffmpeg / ours:
# above 1 means faster than the tool).
#   bench/engine.sh [BUILD_DIR] [RUNS]
set -eu
BUILD=${1:-build}
RUNS=${2:-5}
CLI="$BUILD/cli/trimora-cli"
[ -x "$CLI" ] || { echo "no $CLI" >&2; exit 2; }
WORK=${TRIMORA_BENCH_DIR:-${TMPDIR:-/tmp}/trimora-engine-bench}
mkdir -p "$WORK"

make_clip() {  # name size seconds gop
  [ -s "$WORK/$1" ] && return 0
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$2:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$3" \
    -c:v libx264 -preset veryfast -g "$4" -bf 2 -c:a aac -b:a 128k -ac 2 "$WORK/$1"
}
make_clip full1080.mp4 1920x1080 60 250
make_clip long.mp4 640x360 600 250
make_clip hd720.mp4 1280x720 60 250

now() { date +%s.%N; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# case name, input, extension, option text
bench() {
  name=$1 in=$2 ext=$3 opts=$4
  : > "$WORK/ours.t"; : > "$WORK/tool.t"
  i=0
  while [ $i -lt "$RUNS" ]; do
    rm -f "$WORK/o1.$ext" "$WORK/o2.$ext"
    t0=$(now); "$CLI" encode "$in" "$WORK/o1.$ext" "$opts" >/dev/null 2>&1 || echo "ours failed: $name" >&2
    t1=$(now); echo "$t1 - $t0" | bc >> "$WORK/ours.t"
    # shellcheck disable=SC2086
    t0=$(now); ffmpeg -nostdin -v error -y -i "$in" $opts "$WORK/o2.$ext" || echo "tool failed: $name" >&2
    t1=$(now); echo "$t1 - $t0" | bc >> "$WORK/tool.t"
    i=$((i + 1))
  done
  o=$(median < "$WORK/ours.t"); t=$(median < "$WORK/tool.t")
  printf '%-34s ours %8.3f s  ffmpeg %8.3f s  ratio %6.2fx\n' "$name" "$o" "$t" \
    "$(echo "$t / $o" | bc -l)"
}

bench "(a) copy 1080p whole file" "$WORK/full1080.mp4" mp4 "-c copy"
bench "(b) copy cut 10 s at 90%" "$WORK/long.mp4" mp4 "-ss 540 -t 10 -c copy"
bench "(c) PSP cut text, 720p" "$WORK/hd720.mp4" mp4 \
  "-ss 10 -t 15.5 -f psp -ar 24000 -r 15000/1001 -c:a aac -c:v mpeg4 -s 320x240 -ab 128000 -vb 1200000"
bench "(c) MKV cut text, 720p" "$WORK/hd720.mp4" mkv "-ss 10 -t 15.5 -c:v mpeg4 -c:a aac -vb 1200000"
bench "(d) transcode cut 10 s at 90%" "$WORK/long.mp4" mkv "-ss 540 -t 10 -c:v mpeg4 -c:a aac"
