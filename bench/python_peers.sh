#!/bin/bash
# The media Python module against cv2.VideoCapture and PyAV on the numbered 1080p25 H.264
# source, with a consumer that spends 0 ms and one that spends 100 ms per frame: age of
# the frame the consumer gets, CPU per frame, peak RSS. About 4 minutes; --quick (6 s a
# case, no reruns) about 1.5. Prints the table of docs/performance.md's "From Python"
# section and keeps it, with the raw figures, in <build>/results/python_peers.{md,json}.
#
# Usage: bench/python_peers.sh [--quick] [more options of bench/python_peers.py]
# Environment: BENCH_BUILD (build directory, default build-pybench), BENCH_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD:-build-pybench}

./scripts/install-deps.sh
# The peers, which only this comparison needs.
extra=""
for package in python3-opencv python3-av; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' || extra="$extra $package"
done
if [ -n "$extra" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  # shellcheck disable=SC2086  # word splitting of the package list is wanted
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $extra
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"${BENCH_JOBS:-2}" --target media_python

# Each case bounds its own child; this bounds the whole run, reruns of noisy cases included.
timeout -k 10 1800 /usr/bin/python3 bench/python_peers.py --module "$build/python" \
  --out "$build/results" "$@"
