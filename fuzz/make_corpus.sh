#!/bin/bash
# Seed corpus for media_fuzzer: the small files of the generated test media plus tiny
# clips (a few frames, odd sizes) in the containers and pixel formats the decode path
# meets. Small seeds keep each fuzzing run fast; odd widths and packed or high-depth
# formats steer it to the scaler's edge cases.
# Usage: make_corpus.sh <test-media-dir> <corpus-dir>
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <test-media-dir> <corpus-dir>" >&2
  exit 2
fi
media=$1
corpus=$2
max_seed_bytes=20480
mkdir -p "$corpus"

find "$media" -maxdepth 1 -type f ! -name '.*' -size -$((max_seed_bytes / 1024))k \
  -exec cp -f {} "$corpus"/ \;

FF=(timeout -k 5 120 ffmpeg -hide_banner -nostdin -loglevel error -y)
# Encoders want even sizes (libx265 even breaks on very small ones); raw pictures get
# odd ones, which the scaler's chroma handling must survive.
ENCODED="70x38"
RAW="35x19"

clip() {
  local size=$1 name=$2
  shift 2
  "${FF[@]}" -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v 3 "$@" "$corpus/$name"
}

clip $ENCODED h264.mp4 -c:v libx264 -preset ultrafast -pix_fmt yuv420p
clip $ENCODED h264.ts -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f mpegts
clip $ENCODED h264.mkv -c:v libx264 -preset ultrafast -pix_fmt yuv444p
clip $ENCODED h264.flv -c:v libx264 -preset ultrafast -pix_fmt yuv420p
clip $ENCODED h264.h264 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f h264
clip $ENCODED hevc.mp4 -c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=error
clip $ENCODED mjpeg.avi -c:v mjpeg -pix_fmt yuvj422p
clip $ENCODED mpeg4.mp4 -c:v mpeg4
clip $RAW png.mov -c:v png -pix_fmt rgba
for format in rgb24 bgr0 gray nv12 yuyv422 yuv420p10le yuv440p; do
  clip $RAW "raw-$format.nut" -c:v rawvideo -pix_fmt "$format"
done
echo "corpus: $(find "$corpus" -type f | wc -l) seeds in $corpus"
