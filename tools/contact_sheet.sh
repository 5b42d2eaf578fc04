#!/bin/sh
# Draws the first and the last frame of a cut side by side, small, so that
# one picture shows what the cut holds.
#   tools/contact_sheet.sh CUT.yuv OUTPUT.png [WIDTHxHEIGHT]
# Needs ffmpeg.
set -eu
cut=$1
picture=$2
size=${3:-1920x1080}
frame_bytes=$(( ${size%x*} * ${size#*x} * 3 / 2 ))
frames=$(( $(wc -c <"$cut") / frame_bytes ))
[ "$frames" -gt 0 ] || { echo "$cut holds no whole frame" >&2; exit 1; }
ffmpeg -v error -y -f rawvideo -pixel_format yuv420p -video_size "$size" \
  -i "$cut" \
  -vf "select='eq(n\,0)+eq(n\,$((frames - 1)))',scale=400:-2,tile=2x1:padding=8:color=white" \
  -frames:v 1 -update 1 "$picture"
