#!/bin/sh
# Timeline benchmark: the thumbnail and waveform producers on a 2-hour 1080p H.264 file with
# sound and 10 s groups of pictures, beside the ffmpeg tool decoding the same key frames
# (-skip_frame nokey) and the same audio track, in one run.
#   bench/timeline.sh [BUILD_DIR]
# The file is made once into $TRIMORA_BENCH_DIR (default: the user's cache folder): a 2-minute
# piece (testsrc2 at 25 fps, small bit rate, AAC) copied 60 times after itself.
# Printed: time to the first screen of thumbnails (10 over the whole file), to all of them
# (one per key frame, 720), and to the whole waveform; the tool's times; the ratios
# (ours / tool: below 1 means faster than the tool).
# Then the same file in the real window (offscreen): from the end of its opening to the first
# thumbnail, every key frame's thumbnail and the waveform on the timeline, and the longest delay
# of a 10 ms timer meanwhile (how long a click waits at worst).
# Targets: first screen within 1 s, all thumbnails within 1.2x the tool's key-frame decode,
# the waveform within 1.2x the tool's audio decode, the window answering within 50 ms.
set -euf
BUILD=${1:-build}
BENCH="$BUILD/bench/bench_timeline"
command -v ffmpeg >/dev/null || { echo "no ffmpeg tool" >&2; exit 2; }
[ -x "$BENCH" ] || { echo "no $BENCH" >&2; exit 2; }
WORK=${TRIMORA_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/trimora-timeline-bench}
mkdir -p "$WORK"
FILE="$WORK/long2h1080.mp4"

if [ ! -s "$FILE" ]; then
  echo "making $FILE ..." >&2
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1920x1080:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 120 \
    -c:v libx264 -preset veryfast -b:v 300k -g 250 -keyint_min 250 -sc_threshold 0 -bf 2 \
    -pix_fmt yuv420p -c:a aac -b:a 96k -ac 2 "$WORK/piece.mp4"
  : > "$WORK/list.txt"
  i=0
  while [ $i -lt 60 ]; do echo "file 'piece.mp4'" >> "$WORK/list.txt"; i=$((i + 1)); done
  ffmpeg -nostdin -v error -y -f concat -safe 0 -i "$WORK/list.txt" -c copy "$WORK/part.mp4"
  mv "$WORK/part.mp4" "$FILE"
  rm -f "$WORK/piece.mp4" "$WORK/list.txt"
fi

now() { date +%s.%N; }
# Everything read once, so no run pays for the disk.
cat "$FILE" > /dev/null

t0=$(now)
ffmpeg -nostdin -v error -skip_frame nokey -i "$FILE" -an -f null -
t1=$(now)
ffmpeg -nostdin -v error -i "$FILE" -vn -f null -
t2=$(now)
tool_keys=$(echo "$t1 - $t0" | bc -l)
tool_audio=$(echo "$t2 - $t1" | bc -l)

# first=S all=S waveform=S thumbnails=N decoded=N
ours=$("$BENCH" "$FILE")
get() { echo "$ours" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
first=$(get first)
all=$(get all)
wave=$(get waveform)

printf 'file: %s\n' "$FILE"
printf 'thumbnails: %s made, %s pictures decoded\n' "$(get thumbnails)" "$(get decoded)"
printf 'first screen (10 thumbnails): %.3f s (target 1 s)\n' "$first"
printf 'all thumbnails:  %.3f s, tool key frames %.3f s, ratio %.2f (target 1.2)\n' \
  "$all" "$tool_keys" "$(echo "$all / $tool_keys" | bc -l)"
printf 'whole waveform:  %.3f s, tool audio %.3f s, ratio %.2f (target 1.2)\n' \
  "$wave" "$tool_audio" "$(echo "$wave / $tool_audio" | bc -l)"
printf 'main thread: longest wait between two rounds of its queue %s ms\n' "$(get latency_ms)"

WINDOW="$BUILD/bench/bench_timeline_window"
if [ -x "$WINDOW" ]; then
  ours=$("$WINDOW" "$FILE" || true)
  printf 'window: opening %.3f s; then first thumbnail %.3f s, all %s in %.3f s, waveform %.3f s\n' \
    "$(get open)" "$(get first)" "$(get thumbnails)" "$(get all)" "$(get waveform)"
  printf 'window: longest delay of a 10 ms timer meanwhile %s ms, at %s s (target 50 ms)\n' \
    "$(get latency_ms)" "$(get latency_at)"
else
  echo "window: no $WINDOW (built with Qt only)"
fi
