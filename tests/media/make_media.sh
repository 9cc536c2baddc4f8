#!/bin/bash
# Generates the test media from ffmpeg's synthetic sources, so no sample file
# is ever downloaded. Existing files are kept unless --force is given.
# Usage: make_media.sh [--force] [--bench] <outdir>
set -euo pipefail

force=0
bench=0
outdir=""
for arg in "$@"; do
  case "$arg" in
    --force) force=1 ;;
    --bench) bench=1 ;;
    -*) echo "usage: $0 [--force] [--bench] <outdir>" >&2; exit 2 ;;
    *) outdir=$arg ;;
  esac
done
if [ -z "$outdir" ]; then
  echo "usage: $0 [--force] [--bench] <outdir>" >&2
  exit 2
fi
mkdir -p "$outdir"
cd "$outdir"

PY=/usr/bin/python3
# A stalled encoder must never hang a build.
FF=(timeout -k 5 300 ffmpeg -hide_banner -nostdin -loglevel error -y)
SRC_320="testsrc2=size=320x240:rate=25"
X264=(-c:v libx264 -preset veryfast -pix_fmt yuv420p)

# Writes through a temporary name so an interrupted run never leaves a partial
# file behind that a later run would then skip.
produce() {
  local name=$1
  shift
  if [ "$force" -eq 0 ] && [ -s "$name" ]; then return 0; fi
  local tmp=".tmp-$name"
  "$@" "$tmp"
  mv -f "$tmp" "$name"
  echo "made $name"
}

# testsrc2 has a frame counter and moving shapes, so every frame differs.
# -g 25 gives a keyframe every second so live RTMP readers can join quickly;
# faststart puts moov first so truncated.mp4 still opens.
produce h264.mp4 "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 100 "${X264[@]}" \
  -bf 3 -g 25 -movflags +faststart
# A camera at 5 fps with a keyframe every 4 s, the longest interval cameras commonly use,
# for RTMP behind a server that holds a new player back to the next keyframe.
produce h264_5fps_gop4.mp4 "${FF[@]}" -f lavfi -i "testsrc2=size=320x240:rate=5" -frames:v 100 \
  "${X264[@]}" -bf 0 -g 20 -keyint_min 20 -sc_threshold 0 -movflags +faststart
produce h264_nobframes.mp4 "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 100 \
  "${X264[@]}" -profile:v baseline -bf 0
produce h264_onekey.mp4 "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 100 \
  "${X264[@]}" -g 1000 -keyint_min 1000 -sc_threshold 0
produce hevc.mp4 "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 50 -c:v libx265 \
  -preset veryfast -pix_fmt yuv420p -tag:v hvc1 -x265-params log-level=error
# Keyframes every ten pictures, with leading pictures (open GOP): read from the middle of
# a group, the decoder invents the missing references.
produce hevc_gop10.mkv "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 40 -c:v libx265 \
  -preset veryfast -pix_fmt yuv420p -x265-params keyint=10:min-keyint=10:scenecut=0:log-level=error
# Periodic intra refresh: one IDR picture at the start, then recovery point messages.
# A raw stream, so the keyframe marks come from FFmpeg's parser as they do over RTSP.
produce h264_intra_refresh.h264 "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 40 \
  "${X264[@]}" -bf 0 -x264-params intra-refresh=1:keyint=10 -f h264
produce mjpeg.avi "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 50 -c:v mjpeg \
  -pix_fmt yuvj420p -q:v 5
produce mpeg4.mp4 "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 50 -c:v mpeg4 -q:v 5
produce h264_30fps.mp4 "${FF[@]}" -f lavfi -i "testsrc2=size=320x240:rate=30" \
  -frames:v 60 "${X264[@]}"
produce audio_first.mp4 "${FF[@]}" -f lavfi -i "$SRC_320" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100" \
  -map 1:a -map 0:v -t 4 -c:a aac -b:a 64k "${X264[@]}" -g 25
produce audio_only.m4a "${FF[@]}" -f lavfi -i "sine=frequency=440:sample_rate=44100" \
  -t 2 -c:a aac -b:a 64k
produce short.mp4 "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 20 "${X264[@]}" \
  -g 10 -keyint_min 10 -sc_threshold 0

# The second segment's timestamps continue where the first ends, and headers
# repeat at each keyframe so a decoder sees the new SPS when the size changes.
# Both segments get an offset: without one the muxer shifts B-frame timestamps
# by a different amount and the segments would overlap. Remuxing the joined
# bytes keeps the TS continuity counters intact across the seam.
make_res_change() {
  local out=$1
  "${FF[@]}" -f lavfi -i "$SRC_320" -frames:v 50 "${X264[@]}" -g 25 \
    -x264-params repeat-headers=1 -output_ts_offset 1 -f mpegts .seg1.ts
  "${FF[@]}" -f lavfi -i "testsrc2=size=480x272:rate=25" -frames:v 50 \
    "${X264[@]}" -g 25 -x264-params repeat-headers=1 -output_ts_offset 3 \
    -f mpegts .seg2.ts
  "${FF[@]}" -i "concat:.seg1.ts|.seg2.ts" -c copy -f mpegts "$out"
  rm -f .seg1.ts .seg2.ts
}
produce res_change.ts make_res_change

truncate_copy() {
  local size
  size=$(stat -c %s h264.mp4)
  head -c $((size * 40 / 100)) h264.mp4 >"$1"
}
produce truncated.mp4 truncate_copy

produce random.bin "$PY" -c '
import random, sys
with open(sys.argv[1], "wb") as f:
    f.write(random.Random(42).randbytes(64 * 1024))
'

# Garbage lands only inside mdat, well after the first keyframe, so the file
# still opens and the first frames still decode before the damage shows. Each
# damaged picture holds images back up to the next keyframe (a second here): two
# places leave more than the run's 52 images in the file's 100 pictures.
corrupt_copy() {
  "$PY" - h264.mp4 "$1" <<'EOF'
import random, struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pos = 0
while pos + 8 <= len(data):
    size, kind = struct.unpack(">I4s", data[pos:pos + 8])
    if kind == b"mdat":
        break
    pos += size
else:
    sys.exit("no mdat box")
rng = random.Random(7)
for fraction in (0.3, 0.6):
    at = pos + int(size * fraction)
    data[at:at + 512] = rng.randbytes(512)
open(sys.argv[2], "wb").write(data)
EOF
}
produce corrupt.mp4 corrupt_copy

if [ "$bench" -eq 1 ]; then
  for res in 360:640x360 720:1280x720 1080:1920x1080 2160:3840x2160; do
    produce "h264_${res%%:*}.mp4" "${FF[@]}" -f lavfi \
      -i "testsrc2=size=${res#*:}:rate=25" -frames:v 75 \
      -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25
  done
fi

types=$(timeout -k 2 30 ffprobe -v error -show_entries stream=codec_type -of csv=p=0 audio_first.mp4)
first=${types%%$'\n'*}
if [ "$first" != "audio" ]; then
  echo "audio_first.mp4: stream 0 is '$first', expected audio" >&2
  exit 1
fi
