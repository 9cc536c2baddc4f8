#!/bin/bash
# media_demo under valgrind memcheck: whole runs, with and without reconnections, must
# show no memory error and no definitely or indirectly lost byte. Suppressions
# (tests/sanitizers/valgrind.supp) cover only one-time allocations inside FFmpeg,
# OpenCV or glib, each with its reason.
#
# Runs, each checked for valgrind's verdict, media_demo's exit status and its images:
#   live        52 images from the RTSP test server's /h264
#   file-loop   short.mp4 (20 pictures): 52 images through two rebuilds at end of file
#   outage      /h264 through tests/servers/fault_proxy.py, gone for 3 s mid-run:
#               failed network opens, then a rebuild and 52 images
#   reconnect   an undecodable file: 5 rebuilds without images, then SIGINT
#   cameras     media_cameras: two readers of /h264 in one process, then SIGINT
#
# Usage: scripts/valgrind.sh [--build DIR]   (default build; a build without sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR]" >&2; exit 2 ;;
  esac
done

# The generated media come from the test_media target, which exists only with the tests.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
elif ! grep -q '^BUILD_TESTING:BOOL=ON$' "$build/CMakeCache.txt"; then
  cmake -S . -B "$build" -DBUILD_TESTING=ON >/dev/null
fi
if grep -Eq '^MEDIA_(SANITIZE|TSAN):BOOL=ON' "$build/CMakeCache.txt"; then
  echo "valgrind: $build is a sanitizer build; valgrind needs a plain one" >&2
  exit 2
fi
cmake --build "$build" -j2 --target media_demo media_cameras test_media >/dev/null
build=$(cd "$build" && pwd)
demo=$build/demo/media_demo
cameras=$build/examples/media_cameras
media=$build/test-media

work=$(mktemp -d "${TMPDIR:-/tmp}/media-valgrind.XXXXXX")
servers=()
cleanup() {
  for pid in "${servers[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${servers[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck disable=SC2054  # the commas belong to the option values
VALGRIND=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect
  --show-leak-kinds=definite,indirect --error-exitcode=99 --num-callers=40
  --suppressions="$root/tests/sanitizers/valgrind.supp")

# Valgrind's virtual CPU announces RDTSCP whether or not the real one has it, but can
# run the instruction only where the real one does. libhwy (loaded by FFmpeg through
# libjxl) calibrates its timer with it while loading, which then dies of SIGILL. On such
# a CPU a one-function stand-in for that calibration is preloaded; nothing else changes.
preload=()
if ! grep -qw rdtscp /proc/cpuinfo; then
  g++ -shared -fPIC -O2 -o "$work/hwy_timer.so" "$root/tests/sanitizers/hwy_timer_stand_in.cpp"
  preload=(env "LD_PRELOAD=$work/hwy_timer.so")
fi

# The pid of the only child of $1, once there is one.
child_of() {
  local pid=""
  for _ in $(seq 200); do
    pid=$(ps -o pid= --ppid "$1" 2>/dev/null | tr -d ' ' || true)
    if [ -n "$pid" ]; then echo "$pid"; return 0; fi
    sleep 0.05
  done
  return 1
}

# Starts a test server bounded in time; sets server_pid (the server itself, not
# timeout) and server_port from its "READY <port>" line.
start_server() {
  local name=$1
  shift
  timeout -k 5 600 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  servers+=("$!")
  local waiter=$!
  for _ in $(seq 600); do
    if grep -q '^READY ' "$work/$name.out"; then
      server_port=$(awk '/^READY /{ print $2; exit }' "$work/$name.out")
      server_pid=$(child_of "$waiter")
      return 0
    fi
    if ! kill -0 "$waiter" 2>/dev/null; then break; fi
    sleep 0.1
  done
  echo "valgrind: $name did not start" >&2
  cat "$work/$name.err" >&2
  exit 1
}

images_in() { find "$1" -maxdepth 1 -name '*.jpg' | wc -l; }

# Runs media_demo (or the program and arguments after the name) under valgrind in
# $work/<name>; sets run_pid (the program's own pid, valgrind runs it in place) and
# run_waiter (timeout's pid, whose status is the result).
start_run() {
  local name=$1
  shift
  local command=("$@")
  if [ "${#command[@]}" -eq 1 ]; then command=("$demo" "$1"); fi
  mkdir -p "$work/$name"
  (cd "$work/$name" && exec timeout -k 10 300 "${preload[@]}" "${VALGRIND[@]}" \
    --log-file="$work/$name.valgrind.txt" "${command[@]}" >"$work/$name.stdout" 2>"$work/$name.stderr") &
  run_waiter=$!
  run_pid=$(child_of "$run_waiter")
}

failures=0
# Waits for the run and judges it: status 0 (99 means valgrind found errors) and the
# expected number of images.
finish_run() {
  local name=$1 images=$2 status=0
  wait "$run_waiter" || status=$?
  local got
  got=$(images_in "$work/$name")
  local summary
  summary=$(grep -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$work/$name.valgrind.txt" |
    sed 's/^==[0-9]*== *//' | paste -sd ';' - | sed 's/;/; /g' || true)
  if [ "$status" -eq 0 ] && [ "$got" -eq "$images" ]; then
    echo "valgrind: $name: passed ($got images; $summary)"
    return 0
  fi
  failures=$((failures + 1))
  echo "valgrind: $name: FAILED (exit status $status, $got of $images images)" >&2
  grep -v '^==[0-9]*== *$' "$work/$name.valgrind.txt" | tail -n 60 >&2 || true
  tail -n 20 "$work/$name.stdout" >&2 || true
}


wait_for() {
  local what=$1 limit=$2
  shift 2
  for _ in $(seq $((limit * 10))); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  echo "valgrind: timed out waiting for $what" >&2
  return 1
}

start_server rtsp /usr/bin/python3 tests/servers/rtsp_server.py --port 0
rtsp_port=$server_port
# The server builds its shared pipeline for the first client, which can take longer than
# the two-second watchdog gives a program slowed down by valgrind. A client kept reading
# all along makes it a camera that is already streaming when media_demo joins.
timeout -k 5 600 ffmpeg -hide_banner -nostdin -loglevel error -rtsp_transport tcp \
  -i "rtsp://127.0.0.1:$rtsp_port/h264" -progress "$work/keeper.progress" -f null - >/dev/null 2>&1 &
servers+=("$!")
streaming() { grep -q '^frame=[1-9]' "$work/keeper.progress" 2>/dev/null; }
wait_for "the stream to flow" 60 streaming

start_run live "rtsp://127.0.0.1:$rtsp_port/h264"
finish_run live 52

start_run file-loop "$media/short.mp4"
finish_run file-loop 52

start_server proxy /usr/bin/python3 tests/servers/fault_proxy.py --upstream "$rtsp_port" --fault outage --outage 3
start_run outage "rtsp://127.0.0.1:$server_port/h264"
if wait_for "images before the outage" 120 test -e "$work/outage/5.jpg"; then
  kill -USR1 "$server_pid"
fi
finish_run outage 52
for line in "reconnect url failed" "reconnect url successful"; do
  if ! grep -q "$line" "$work/outage.stdout"; then
    echo "valgrind: outage: no \"$line\" line: the outage did not happen" >&2
    failures=$((failures + 1))
  fi
done

tests/faults/make_undecodable.sh "$work/undecodable.mp4"
start_run reconnect "$work/undecodable.mp4"
rebuilds() { [ "$(grep -c 'reconnect url successful' "$work/reconnect.stdout" || true)" -ge 5 ]; }
if ! wait_for "five reconnections" 240 rebuilds; then failures=$((failures + 1)); fi
kill -INT "$run_pid" 2>/dev/null || true
finish_run reconnect 0

start_run cameras "$cameras" "rtsp://127.0.0.1:$rtsp_port/h264" "rtsp://127.0.0.1:$rtsp_port/h264"
delivering() { [ "$(grep -Ec '^camera [01] .*: [1-9][0-9]* images/s' "$work/cameras.stdout" || true)" -ge 4 ]; }
if ! wait_for "images from both cameras" 120 delivering; then failures=$((failures + 1)); fi
kill -INT "$run_pid" 2>/dev/null || true
finish_run cameras 0

if [ "$failures" -ne 0 ]; then
  echo "valgrind: $failures run(s) failed" >&2
  exit 1
fi
echo "valgrind: all runs clean"
