#!/bin/bash
# Cross-builds the library, its unit tests and media_demo for aarch64 and runs them
# on this machine under qemu user-mode emulation.
#
#   scripts/cross-aarch64.sh [--fresh]
#
# Needs root the first time (apt-get for the cross compiler, mmdebstrap, qemu).
# Everything else lands in build-aarch64/ at the top of the source tree:
#   sysroot/   Debian arm64 libraries and headers, unpacked by mmdebstrap (kept and
#              reused; --fresh or a changed package list makes it again)
#   build/     the CMake build tree (cmake/aarch64-linux-gnu.cmake), started afresh
#              along with the sysroot
#   demo-run/  media_demo's output on a generated MP4
# MEDIA_SUITE=bookworm picks Debian 12 instead of Debian 11 (FFmpeg 4.3, OpenCV 4.5),
# MEDIA_CROSS_DIR another directory than build-aarch64/, JOBS the build parallelism
# (default 2).
#
# The arm64 architecture is never added to this machine's dpkg: the packages go into
# the sysroot only. (On Debian 12 arm64 OpenCV conflicts with the amd64 one through
# libgdal, and apt would remove the amd64 OpenCV development packages.)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
top=${MEDIA_CROSS_DIR:-$repo/build-aarch64}
sysroot=$top/sysroot
build=$top/build
run_dir=$top/demo-run
suite=${MEDIA_SUITE:-bullseye}
jobs=${JOBS:-2}
triplet=aarch64-linux-gnu
fresh=0
for arg in "$@"; do
  case "$arg" in
    --fresh) fresh=1 ;;
    *) echo "usage: $0 [--fresh]" >&2; exit 2 ;;
  esac
done

case "$suite" in
  bullseye) cxx_runtime=libstdc++-10-dev ;;
  bookworm) cxx_runtime=libstdc++-12-dev ;;
  *) echo "MEDIA_SUITE must be bullseye or bookworm" >&2; exit 2 ;;
esac
packages="libavformat-dev,libavcodec-dev,libavutil-dev,libswscale-dev,libopencv-dev,libjpeg-dev,libgtest-dev,libgmock-dev,$cxx_runtime"

# shellcheck source=scripts/lib/phase.sh
. "$repo/scripts/lib/phase.sh"

# --- host tools ---------------------------------------------------------------
need=""
command -v ${triplet}-g++ >/dev/null || need="$need crossbuild-essential-arm64"
command -v mmdebstrap >/dev/null || need="$need mmdebstrap"
command -v qemu-aarch64-static >/dev/null || need="$need qemu-user-static"
for tool in cmake pkg-config ffmpeg; do
  command -v $tool >/dev/null || need="$need $tool"
done
if [ -n "$need" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing:$need (run as root to install them)" >&2
    exit 1
  fi
  echo "== installing:$need"
  # shellcheck disable=SC2086  # the list is meant to split
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need ||
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need; }
fi
phase "host tools"

# --- sysroot ------------------------------------------------------------------
# The mirror this machine already uses; a proxy in front of it is then used as well.
mirror=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
  grep -v -- '-security' | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
# The security archive is left out: through this machine's mirror it serves no arm64
# packages for Debian 11 (404), and the point release's packages serve the build.
sources=("deb $mirror $suite main" "deb $mirror $suite-updates main")
want="$suite $mirror $packages"
if [ "$fresh" -eq 1 ] || [ ! -f "$sysroot/.media-sysroot" ] ||
   [ "$(cat "$sysroot/.media-sysroot")" != "$want" ]; then
  # Objects built against another sysroot would look up to date: their headers' time
  # stamps come from the packages, not from the unpacking.
  rm -rf "$sysroot" "$sysroot.tmp" "$build"
  mkdir -p "$top"
  # extract: unpack only, since no arm64 maintainer script could run here (no binfmt).
  mmdebstrap --variant=extract --architectures=arm64 --include="$packages" \
    "$suite" "$sysroot.tmp" "${sources[@]}"

  # Debian's -dev symlinks may be absolute (libz.so -> /lib/...), which the linker and
  # qemu would follow out of the sysroot into this machine's own /lib.
  (cd "$sysroot.tmp" &&
    find usr lib -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
      target=$(readlink "$link")
      ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$PWD$target")" "$link"
    done)

  # Libraries chosen through update-alternatives (libblas.so.3, liblapack.so.3) only get
  # their generic name from a maintainer script; link each still missing name to its
  # provider in a subdirectory.
  libdirs=("lib/$triplet" "usr/lib/$triplet" "lib" "usr/lib")
  (cd "$sysroot.tmp" &&
    find "${libdirs[@]}" -maxdepth 1 -name '*.so*' -type f -print0 2>/dev/null |
      { xargs -0 -r readelf -d 2>/dev/null || true; } |
      sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
      sort -u | while read -r needed; do
        found=0
        for dir in "${libdirs[@]}"; do
          if [ -e "$dir/$needed" ]; then found=1; break; fi
        done
        [ "$found" -eq 1 ] && continue
        provider=$(find "usr/lib/$triplet" -mindepth 2 -name "$needed" -print -quit)
        if [ -z "$provider" ]; then
          echo "warning: no $needed in the sysroot" >&2
          continue
        fi
        ln -sfn "${provider#"usr/lib/$triplet/"}" "usr/lib/$triplet/$needed"
      done)

  # The toolchain file puts the sysroot's GCC directory ahead in the program search
  # path too; an arm64 cc1plus or collect2 there could not run.
  for program in cc1 cc1plus collect2 lto-wrapper lto1; do
    if find "$sysroot.tmp/usr/lib/gcc/$triplet" -name "$program" | grep -q .; then
      echo "the sysroot holds the arm64 compiler program $program; leave g++ out of it" >&2
      exit 1
    fi
  done
  echo "$want" >"$sysroot.tmp/.media-sysroot"
  mv "$sysroot.tmp" "$sysroot"
fi
phase "sysroot ($suite, $(du -sh "$sysroot" | cut -f1))"

# --- build --------------------------------------------------------------------
cmake -S "$repo" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake" \
  -DMEDIA_AARCH64_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$jobs"
phase "cross build"

# --- unit tests under qemu ----------------------------------------------------
# Only the in-process suites (labels unit and fuzz) run here. The end-to-end and fault
# suites start media_demo as a child process, which without binfmt support this machine
# cannot exec as an arm64 program (media_demo is run directly below instead); tests
# against live RTSP/RTMP servers and the install checks stay on the native build.
# A failing test does not stop the media_demo run; both decide the exit status.
tests_status=0
if [ -f "$build/CTestTestfile.cmake" ]; then
  ctest --test-dir "$build" --no-tests=error --output-on-failure -j"$jobs" \
    -L '^(unit|fuzz)$' -LE 'network|servers' -E 'Network|Rtsp|Rtmp' || tests_status=$?
else
  echo "no tests configured (BUILD_TESTING=OFF?)" >&2
  tests_status=1
fi
phase "unit tests (qemu)"

# --- media_demo under qemu ----------------------------------------------------
rm -rf "$run_dir"
mkdir -p "$run_dir"
cd "$run_dir"
timeout -k 5 120 ffmpeg -hide_banner -nostdin -loglevel error -y \
  -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 100 \
  -c:v libx264 -pix_fmt yuv420p -g 25 input.mp4
set +e
timeout -k 10 300 qemu-aarch64-static -L "$sysroot" "$build/demo/media_demo" input.mp4 \
  >media_demo.log 2>&1
status=$?
set -e
count=$(find . -maxdepth 1 -name '*.jpg' | wc -l)
missing=""
for i in $(seq 0 51); do
  # A JPEG file starts with the SOI marker FF D8.
  if [ "$(head -c 2 "$i.jpg" 2>/dev/null | od -An -tx1 | tr -d ' ')" != "ffd8" ]; then
    missing="$missing $i.jpg"
  fi
done
phase "media_demo (qemu)"
echo "media_demo (aarch64, qemu): exit status $status, $count JPEG files"
failed=0
if [ "$status" -ne 0 ] || [ "$count" -ne 52 ] || [ -n "$missing" ]; then
  tail -n 20 media_demo.log >&2
  echo "FAIL: media_demo: expected exit status 0 and 0.jpg..51.jpg;${missing:+ bad or missing:$missing}" >&2
  failed=1
fi
if [ "$tests_status" -ne 0 ]; then
  echo "FAIL: unit tests under qemu (ctest exit status $tests_status)" >&2
  failed=1
fi
echo "aarch64 build and checks took $(($(date +%s) - start)) s"
[ "$failed" -eq 0 ] && echo "PASS"
exit "$failed"
