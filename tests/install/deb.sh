#!/bin/bash
# Makes the Debian packages from a built tree with cpack, installs them on this machine
# with dpkg, runs the installed /usr/bin/media_demo on a generated MP4, looks up its
# manual page and imports the Python module (when the tree built one), then removes the
# packages again.
# It changes the machine, so it needs root, and CTest runs it only when the tree was
# configured with MEDIA_DEB_TEST=1 in the environment.
# Usage: deb.sh <build-dir>
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1/CPackConfig.cmake" ]; then
  echo "usage: $0 <configured and built build-dir>" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "$0 installs packages and needs root" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/media-deb.XXXXXX")
packages=(media-demo libmedia-dev)
python_module=0
if find "$build/python" -maxdepth 1 -name 'media.cpython-*.so' 2>/dev/null | grep -q .; then
  python_module=1
  packages+=(python3-media)
fi
installed=0

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# dpkg refuses to work while apt or another dpkg holds its lock; wait for it a while
# rather than fail on someone else's install.
dpkg_locked() {
  local output status=0
  for _ in $(seq 1 60); do
    output=$("$@" 2>&1) && { echo "$output"; return 0; } || status=$?
    case "$output" in
      *"lock"*) sleep 2 ;;
      *) echo "$output" >&2; return "$status" ;;
    esac
  done
  echo "$output" >&2
  return "$status"
}

cleanup() {
  if [ "$installed" -eq 1 ]; then
    dpkg_locked dpkg -r "${packages[@]}" >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

for package in "${packages[@]}"; do
  if dpkg-query -W -f '${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii'; then
    fail "$package is already installed; this test would replace and then remove it"
  fi
done

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  { tail -n 30 "$work/cpack.log" >&2; fail "cpack could not make the packages"; }
runtime_deb=$(find "$work/packages" -maxdepth 1 -name 'media-demo_*.deb' -print -quit)
dev_deb=$(find "$work/packages" -maxdepth 1 -name 'libmedia-dev_*.deb' -print -quit)
if [ -z "$runtime_deb" ] || [ -z "$dev_deb" ]; then
  fail "cpack made no media-demo and libmedia-dev packages"
fi

# dpkg-shlibdeps must have found the FFmpeg, OpenCV and JPEG libraries media_demo links.
depends=$(dpkg-deb -f "$runtime_deb" Depends)
for library in libavcodec libavformat libopencv-imgproc libjpeg62-turbo; do
  case "$depends" in
    *"$library"*) ;;
    *) fail "media-demo does not depend on $library: Depends: $depends" ;;
  esac
done
contents=$(dpkg-deb -c "$runtime_deb")
for path in ./usr/bin/media_demo ./usr/share/man/man1/media_demo.1; do
  echo "$contents" | grep -q " $path" || fail "media-demo lacks $path"
done

debs=("$runtime_deb" "$dev_deb")
if [ "$python_module" -eq 1 ]; then
  python_deb=$(find "$work/packages" -maxdepth 1 -name 'python3-media_*.deb' -print -quit)
  [ -n "$python_deb" ] || fail "cpack made no python3-media package"
  python_depends=$(dpkg-deb -f "$python_deb" Depends)
  for dependency in python3-numpy libavcodec libopencv-imgproc; do
    case "$python_depends" in
      *"$dependency"*) ;;
      *) fail "python3-media does not depend on $dependency: Depends: $python_depends" ;;
    esac
  done
  debs+=("$python_deb")
fi

installed=1
dpkg_locked dpkg -i "${debs[@]}" >"$work/dpkg.log" ||
  fail "dpkg -i failed (see above)"
[ -x /usr/bin/media_demo ] || fail "/usr/bin/media_demo not installed"
version=$(PKG_CONFIG_PATH='' pkg-config --modversion media) || fail "pkg-config finds no installed media.pc"
[ "$version" = "$(dpkg-deb -f "$dev_deb" Version)" ] ||
  fail "media.pc says version $version, the package $(dpkg-deb -f "$dev_deb" Version)"

mkdir "$work/run"
cd "$work/run"
timeout -k 5 120 ffmpeg -hide_banner -nostdin -loglevel error -y \
  -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 100 \
  -c:v libx264 -pix_fmt yuv420p -g 25 ../input.mp4
status=0
timeout -k 10 120 /usr/bin/media_demo ../input.mp4 >../media_demo.log 2>&1 || status=$?
count=$(find . -maxdepth 1 -name '*.jpg' | wc -l)
for i in $(seq 0 51); do
  [ -s "$i.jpg" ] || fail "installed media_demo did not write $i.jpg (exit status $status)"
done
if [ "$status" -ne 0 ] || [ "$count" -ne 52 ]; then
  tail -n 20 ../media_demo.log >&2
  fail "installed media_demo: exit status $status, $count files"
fi
echo "installed media_demo: exit status 0, 52 JPEG files"

if command -v man >/dev/null; then
  if dpkg-query -L media-demo | grep -q '^/usr/share/man/man1/media_demo'; then
    page=$(man -w media_demo) || fail "man -w media_demo finds no page"
    case "$page" in
      /usr/share/man/man1/media_demo.1*) echo "manual page: $page" ;;
      *) fail "man -w media_demo gave $page" ;;
    esac
  else
    # dpkg's path-exclude settings (minimal container images) drop manual pages.
    echo "manual page not unpacked by this machine's dpkg configuration; man -w skipped"
  fi
fi

if [ "$python_module" -eq 1 ]; then
  # From a directory of its own, so only the installed module can answer.
  module=$(cd "$work" && /usr/bin/python3 -c 'import media; print(media.__file__)') ||
    fail "python3 cannot import media from python3-media"
  case "$module" in
    /usr/lib/python3/dist-packages/media.cpython-*.so) echo "python module: $module" ;;
    *) fail "python3 imported media from $module" ;;
  esac
fi

dpkg_locked dpkg -r "${packages[@]}" >/dev/null || fail "dpkg -r failed"
installed=0
[ ! -e /usr/bin/media_demo ] || fail "/usr/bin/media_demo still there after dpkg -r"
echo "PASS: Debian packages install, run and remove cleanly"
