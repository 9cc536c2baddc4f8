#!/bin/bash
# Measures media_demo against the tools a user would pick instead (the ffmpeg tool,
# OpenCV, GStreamer) on a live 1080p RTSP stream, a live numbered stream in H.264, HEVC
# and Motion JPEG (picture age) and H.264 MP4 files from 640x360 to 3840x2160, with
# media_demo's own account of its CPU time; media_demo's time to its first image step by
# step (fresh session, joined mid-GOP, 5 fps camera); then the stages alone. Writes the
# tables of docs/performance.md and docs/performance.png. 10-15 minutes; --quick
# (two runs, two sizes) about 5.
#
# Usage: bench/run.sh [--quick]
# Environment: BENCH_BUILD (build directory, default build-bench), BENCH_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
sizes=360,720,1080,2160
for arg in "$@"; do
  case "$arg" in
    --quick) runs=2; sizes=360,1080 ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
  esac
done
build=${BENCH_BUILD:-build-bench}
out="$build/results"

# The project's own packages (x265enc of the HEVC numbered stream among them, in
# gstreamer1.0-plugins-bad), then what only the comparison needs.
./scripts/install-deps.sh
extra=""
command -v gnuplot >/dev/null || extra="$extra gnuplot-nox"
command -v gst-launch-1.0 >/dev/null || extra="$extra gstreamer1.0-tools"
if [ -n "$extra" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  # shellcheck disable=SC2086  # word splitting of the package list is wanted
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $extra
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
targets="media_demo opencv_peer file_watcher frame_code_reader stage_bench first_image_breakdown"
if grep -q '^convert_bench:' "$build/Makefile" 2>/dev/null || [ -f "$build/build.ninja" ]; then
  targets="$targets convert_bench"
fi
# shellcheck disable=SC2086
cmake --build "$build" -j"${BENCH_JOBS:-2}" --target $targets
./tests/media/make_media.sh --bench "$build/media" >/dev/null

mkdir -p "$out"
/usr/bin/python3 bench/compare.py --build "$build" --media "$build/media" --out "$out" \
  --runs "$runs" --sizes "$sizes"
if [ -x "$build/bench/convert_bench" ]; then
  min_time=0.5
  [ "$runs" -ge 5 ] || min_time=0.1
  timeout -k 5 900 "$build/bench/convert_bench" --benchmark_min_time="$min_time" \
    --benchmark_format=json >"$out/convert.json"
fi
/usr/bin/python3 bench/report.py "$out/results.json" docs/performance.md docs/performance.png
echo "wrote docs/performance.md and docs/performance.png (raw figures in $out)"
