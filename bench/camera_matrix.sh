#!/bin/bash
# Runs media_demo against every camera mount of the test RTSP server: each rate, codec
# and keyframe interval, on a fresh session and joined while another client streams.
# Prints one markdown row per run: exit status, time from start to the first image,
# images written, failed reads, and images without colour (the mounts show colour bars,
# so a grey picture is one decoded without its references).
# Usage: bench/camera_matrix.sh [media_demo] [parallel runs]   (from the repository root)
set -euo pipefail
demo=$(realpath "${1:-build/demo/media_demo}")
parallel=${2:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/camera-matrix.XXXXXX)

timeout -k 5 7200 /usr/bin/python3 "$root/tests/servers/rtsp_server.py" >"$work/server.out" 2>"$work/server.err" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q READY "$work/server.out" && break; sleep 0.1; done
port=$(awk '/READY/ {print $2}' "$work/server.out")

one_run() {  # mount mode
  local url="rtsp://127.0.0.1:$port/$1" mode=$2 dir keeper="" start first="" pid rc n grey sat
  dir=$(mktemp -d "$work/run.XXXXXX")
  cd "$dir"
  if [ "$mode" = joined ]; then
    timeout -k 2 200 ffmpeg -nostdin -loglevel quiet -rtsp_transport tcp -i "$url" -f null - &
    keeper=$!
    sleep "2.$((RANDOM % 10))"
  fi
  start=$(date +%s%N)
  timeout -k 2 150 "$demo" "$url" >out.log 2>err.log &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    if [ -z "$first" ] && [ -e 0.jpg ]; then first=$((($(date +%s%N) - start) / 1000000)); fi
    sleep 0.01
  done
  rc=0; wait "$pid" || rc=$?
  if [ -n "$keeper" ]; then kill "$keeper" 2>/dev/null || true; fi
  n=$(find . -maxdepth 1 -name '[0-9]*.jpg' | wc -l)
  grey=0
  for f in [0-9]*.jpg; do
    [ -e "$f" ] || continue
    sat=$(timeout -k 2 20 ffprobe -v error -f lavfi -i "movie=$f,signalstats" \
      -show_entries frame_tags=lavfi.signalstats.SATAVG -of csv=p=0 | head -1)
    if awk -v s="$sat" 'BEGIN { exit !(s < 5) }'; then grey=$((grey + 1)); fi
  done
  failed=$(grep -c "read av_packet failed" out.log || true)
  echo "| $1 | $mode | $rc | ${first:--} | $n | $failed | $grey |"
}
export -f one_run
export port work demo

{
  for fps in 1 2 5 10 15 25 30; do
    for mode in fresh joined; do
      echo "mjpeg_${fps}fps $mode"
      for gop in 1 2 3 4; do
        echo "h264_${fps}fps_gop$gop $mode"
        echo "hevc_${fps}fps_gop$gop $mode"
      done
    done
  done
  echo "h264_intra_refresh fresh"
  echo "h264_intra_refresh joined"
} >"$work/runs"

echo "| mount | session | exit | first image ms | images | failed reads | without colour |"
echo "|---|---|---|---|---|---|---|"
xargs -P "$parallel" -L 1 bash -c 'one_run "$0" "$1"' <"$work/runs" | sort -V
