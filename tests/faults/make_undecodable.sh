#!/bin/bash
# Writes an MP4 whose video stream is valid in every header but whose picture data is
# all zero bytes: it opens, decodes to nothing and ends after two packets. media_demo
# reads it to the end, fails its reads, rebuilds the chain, and does so again forever
# without ever writing an image, so one process can go through any number of
# reconnections (scripts/soak.sh, scripts/valgrind.sh).
# Usage: make_undecodable.sh <out.mp4>
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <out.mp4>" >&2
  exit 2
fi
out=$1
tmp="$out.source.mp4"
trap 'rm -f "$tmp"' EXIT

timeout -k 5 120 ffmpeg -hide_banner -nostdin -loglevel error -y \
  -f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 2 \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f mp4 "$tmp"

/usr/bin/python3 - "$tmp" "$out" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pos = 0
while pos + 8 <= len(data):
    size, kind = struct.unpack(">I4s", data[pos:pos + 8])
    if kind == b"mdat":
        data[pos + 8:pos + size] = bytes(size - 8)
        break
    if size < 8:
        sys.exit("malformed box at %d" % pos)
    pos += size
else:
    sys.exit("no mdat box")
open(sys.argv[2], "wb").write(data)
PY
