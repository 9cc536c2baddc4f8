#!/bin/sh
# Installs everything needed to build, test and run the demo on Debian 12.
# Safe to run repeatedly: returns at once when every package is present.
set -eu

PACKAGES="
  build-essential cmake pkg-config git ca-certificates procps python3
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libopencv-dev libjpeg-dev libgtest-dev libbenchmark-dev
  valgrind clang libclang-rt-14-dev
  python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
  gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  nginx libnginx-mod-rtmp
  python3-dev pybind11-dev python3-numpy python3-pytest
  python3-venv python3-setuptools python3-wheel
"

missing_packages() {
  # One dpkg-query for the whole list keeps the already-installed case fast.
  # shellcheck disable=SC2086  # word splitting of the package list is wanted
  installed=" $(dpkg-query -W -f='${Package}=${db:Status-Abbrev}\n' $PACKAGES 2>/dev/null |
    sed -n 's/=ii.*$//p' | tr '\n' ' ') "
  for pkg in $PACKAGES; do
    case "$installed" in
      *" $pkg "*) ;;
      *) printf '%s ' "$pkg" ;;
    esac
  done
}

missing=$(missing_packages)
if [ -z "$missing" ]; then
  echo "install-deps: all packages already installed"
  exit 0
fi
echo "install-deps: installing: $missing"

if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
elif command -v sudo >/dev/null 2>&1; then
  SUDO="sudo"
else
  echo "install-deps: need root or sudo to install packages" >&2
  exit 1
fi

# Without a service manager (container, chroot) nginx's postinst would launch a
# system nginx on port 80; the tests start their own, so keep it from starting.
POLICY=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -d /run/systemd/system ] && [ ! -e "$POLICY" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$POLICY" >/dev/null
  $SUDO chmod 755 "$POLICY"
  own_policy=1
fi
cleanup() {
  if [ "$own_policy" -eq 1 ]; then $SUDO rm -f "$POLICY"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

apt_get() {
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@"
}

# Package lists are often absent in fresh images, and stale ones make installs
# fail with 404s; refresh only in those two cases to keep reruns quick.
if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
  apt_get update
fi
# shellcheck disable=SC2086  # word splitting of the package list is wanted
if ! apt_get install --no-install-recommends $missing; then
  apt_get update
  apt_get install --no-install-recommends $missing
fi

still_missing=$(missing_packages)
if [ -n "$still_missing" ]; then
  echo "install-deps: still missing after install: $still_missing" >&2
  exit 1
fi
echo "install-deps: done"
