#!/bin/bash
# Many cameras in one process through the library's reader, against one process per
# camera: 1, 4 and 8 cameras of 640x360 H.264 at 25 fps from the test RTSP server (CPU
# per image, peak resident memory per camera, the reader's part of the age) and from the
# numbered source (true age: taken minus sent); then one reader's heap under valgrind.
# About 5 minutes a round, more when a busy machine makes cases run again; --quick (8 s
# a case) about 2. Prints the tables of docs/performance.md's "Many cameras in one
# process" and keeps them, with the raw figures, in <build>/results/reader_scale.{md,json}.
#
# Usage: bench/reader_scale.sh [--quick] [--rounds N]
# Environment: BENCH_BUILD (build directory, default build-bench), BENCH_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
rounds=1
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) seconds=8 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    *) echo "usage: $0 [--quick] [--rounds N]" >&2; exit 2 ;;
  esac
  shift
done
build=${BENCH_BUILD:-build-bench}

./scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${BENCH_JOBS:-2}" --target reader_scale

# Each case bounds its own children; this bounds the whole run, reruns of noisy cases
# included.
timeout -k 10 $((rounds * 30 * (seconds + 15) + 120)) \
  /usr/bin/python3 bench/reader_scale.py --build "$build" --out "$build/results" \
  --seconds "$seconds" --rounds "$rounds" --heap
