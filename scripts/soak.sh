#!/bin/bash
# Soak test: one media_demo process goes through many reconnections, and its resident
# memory (VmRSS) and open file descriptors must stay flat: from the 10th reconnection to
# the last, memory may grow by less than 5 MiB and descriptors not at all.
#
# The input is a file whose video stream never decodes (tests/faults/make_undecodable.sh):
# every pass ends in failed reads and a rebuild of the whole chain, about once a second,
# and no image is ever written, so the run never reaches its 52nd image and exit.
# The program is stopped with SIGINT at the end and must exit with status 0.
#
# Usage: scripts/soak.sh [--reconnections N] [--build DIR]
#   N defaults to 100 (about two minutes); the long form is e.g. --reconnections 3600.
#   DIR is a build directory (default: build); media_demo is built there if needed.
set -euo pipefail
cd "$(dirname "$0")/.."

reconnections=100
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --reconnections) reconnections=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--reconnections N] [--build DIR]" >&2; exit 2 ;;
  esac
done
baseline_at=10
if ! [ "$reconnections" -gt "$baseline_at" ] 2>/dev/null; then
  echo "soak: --reconnections must be a number above $baseline_at" >&2
  exit 2
fi
max_growth_kib=$((5 * 1024))

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target media_demo >/dev/null
demo=$(cd "$build/demo" && pwd)/media_demo

work=$(mktemp -d "${TMPDIR:-/tmp}/media-soak.XXXXXX")
demo_pid=""
runner_pid=""
cleanup() {
  if [ -n "$demo_pid" ]; then kill -KILL "$demo_pid" 2>/dev/null || true; fi
  if [ -n "$runner_pid" ]; then wait "$runner_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

tests/faults/make_undecodable.sh "$work/undecodable.mp4"
mkfifo "$work/lines"
mkdir "$work/out"

# A stalled run still ends: three seconds a reconnection is three times the normal pace.
limit=$((reconnections * 3 + 60))
(cd "$work/out" && exec timeout -k 10 "$limit" "$demo" "$work/undecodable.mp4" \
  >"$work/lines" 2>"$work/stderr.txt") &
runner_pid=$!
exec 3<"$work/lines"
# The subshell became timeout (exec); media_demo is its child.
for _ in $(seq 100); do
  demo_pid=$(ps -o pid= --ppid "$runner_pid" 2>/dev/null | tr -d ' ' || true)
  if [ -n "$demo_pid" ] && [ "$(cat "/proc/$demo_pid/comm" 2>/dev/null)" = media_demo ]; then break; fi
  demo_pid=""
  sleep 0.05
done
if [ -z "$demo_pid" ]; then
  echo "soak: media_demo did not start" >&2
  exit 1
fi

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$demo_pid/status"; }
fd_count() { find "/proc/$demo_pid/fd" -mindepth 1 -maxdepth 1 | wc -l; }

count=0
started=$(date +%s)
printf '%14s %12s %12s\n' reconnection "VmRSS KiB" descriptors
while IFS= read -r line <&3; do
  case "$line" in
    *"[Decoder] reconnect url successful"*) ;;
    *) continue ;;
  esac
  count=$((count + 1))
  rss=$(rss_kib)
  fds=$(fd_count)
  if [ "$count" -eq 1 ]; then first_rss=$rss; first_fds=$fds; fi
  if [ "$count" -eq "$baseline_at" ]; then base_rss=$rss; base_fds=$fds; fi
  if [ "$count" -le 3 ] || [ $((count % 10)) -eq 0 ] || [ "$count" -eq "$reconnections" ]; then
    printf '%14d %12d %12d\n' "$count" "$rss" "$fds"
  fi
  if [ "$count" -ge "$reconnections" ]; then break; fi
done
elapsed=$(($(date +%s) - started))
last_rss=${rss:-0}
last_fds=${fds:-0}

kill -INT "$demo_pid" 2>/dev/null || true
# Drain the rest of the output so the program never blocks on a full pipe while exiting.
cat <&3 >/dev/null &
drain_pid=$!
status=0
wait "$runner_pid" || status=$?
runner_pid=""
demo_pid=""
wait "$drain_pid" 2>/dev/null || true
exec 3<&-

failed=0
if [ "$count" -lt "$reconnections" ]; then
  echo "soak: FAIL: only $count of $reconnections reconnections before media_demo stopped" >&2
  tail -n 20 "$work/stderr.txt" >&2 || true
  exit 1
fi
growth=$((last_rss - base_rss))
fd_growth=$((last_fds - base_fds))
images=$(find "$work/out" -name '*.jpg' | wc -l)
echo "soak: $count reconnections in ${elapsed} s, one process"
echo "soak: VmRSS at reconnection 1: ${first_rss} KiB, ${baseline_at}: ${base_rss} KiB, $count: ${last_rss} KiB" \
  "(growth ${growth} KiB, limit below ${max_growth_kib} KiB)"
echo "soak: descriptors at reconnection 1: ${first_fds}, ${baseline_at}: ${base_fds}, $count: ${last_fds}" \
  "(growth ${fd_growth}, limit 0)"
if [ "$growth" -ge "$max_growth_kib" ]; then
  echo "soak: FAIL: resident memory grew by ${growth} KiB" >&2
  failed=1
fi
if [ "$fd_growth" -ne 0 ]; then
  echo "soak: FAIL: open descriptors changed by ${fd_growth}" >&2
  failed=1
fi
if [ "$status" -ne 0 ]; then
  echo "soak: FAIL: media_demo exited with status $status after SIGINT" >&2
  failed=1
fi
if [ "$images" -ne 0 ]; then
  echo "soak: FAIL: the undecodable input gave $images images" >&2
  failed=1
fi
if [ "$failed" -ne 0 ]; then exit 1; fi
echo "soak: passed"
