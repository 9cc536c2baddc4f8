#!/bin/bash
# Builds the current working tree on Debian 11 (FFmpeg 4.3, OpenCV 4.5, CMake 3.18,
# GCC 10) inside a chroot and runs the whole test suite there, servers included.
#
#   scripts/bullseye-check.sh [--fresh] [ctest arguments...]
#
# Needs root (mmdebstrap, chroot, mounts). Everything lands in build-bullseye/ at the top
# of the source tree:
#   root/             the chroot (kept and reused; --fresh or a changed package list
#                     makes it again)
#   root/src/media    a copy of the working tree: tracked and untracked files that git
#                     does not ignore, so build trees stay out
#   root/build        the build tree
# /proc, /sys and /dev are bound into the chroot only while it is in use and unmounted
# on every exit, failures included. JOBS sets the build parallelism (default 2).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
top=$repo/build-bullseye
root=$top/root
suite=bullseye
jobs=${JOBS:-2}
fresh=0
if [ "${1:-}" = "--fresh" ]; then
  fresh=1
  shift
fi
ctest_args=("$@")

if [ "$(id -u)" -ne 0 ]; then
  echo "$0 needs root (mmdebstrap, chroot, mount)" >&2
  exit 1
fi

packages=(
  build-essential cmake pkg-config ca-certificates procps python3
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libopencv-dev libjpeg-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
  gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  nginx libnginx-mod-rtmp
)

# shellcheck source=scripts/lib/phase.sh
. "$repo/scripts/lib/phase.sh"

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" || true
  done
  mounted=()
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

bind_system_dirs() {
  mkdir -p "$root/proc" "$root/sys" "$root/dev"
  mount -t proc proc "$root/proc"
  mounted+=("$root/proc")
  mount --bind /sys "$root/sys"
  mounted+=("$root/sys")
  mount --bind /dev "$root/dev"
  mounted+=("$root/dev")
  # Separate file systems under /dev that the tests rely on (pseudo terminals,
  # POSIX shared memory); a plain bind of /dev does not carry them.
  for sub in pts shm; do
    if mountpoint -q "/dev/$sub"; then
      mount --bind "/dev/$sub" "$root/dev/$sub"
      mounted+=("$root/dev/$sub")
    fi
  done
}

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive "$@"
}

command -v mmdebstrap >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends mmdebstrap

# --- root ---------------------------------------------------------------------
# The mirror this machine already uses, so a proxy in front of it serves here too.
mirror=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
  grep -v -- '-security' | head -n 1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
# The security archive is left out: through this machine's mirror part of its Debian 11
# pool is missing (404), and the point release's packages serve the check.
sources=("deb $mirror $suite main" "deb $mirror $suite-updates main")
want="$suite $mirror ${packages[*]}"
if [ "$fresh" -eq 1 ] || [ ! -f "$root/.media-root" ] || [ "$(cat "$root/.media-root")" != "$want" ]; then
  rm -rf "$root"
  mkdir -p "$top"
  mmdebstrap --variant=minbase "$suite" "$root" "${sources[@]}"
  phase "minbase root"

  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # No service manager runs here: keep nginx's postinst from starting a system nginx
  # on port 80; the tests start their own.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  bind_system_dirs
  in_root apt-get update -q
  in_root apt-get install -y -q --no-install-recommends "${packages[@]}"
  in_root apt-get clean
  unmount_all
  echo "$want" >"$root/.media-root"
  phase "build dependencies"
fi
# shellcheck disable=SC2016  # dpkg-query's own format fields
in_root dpkg-query -W -f '${Package} ${Version}\n' libavcodec-dev libopencv-dev cmake g++ |
  sed 's/^/   /'

# --- source -------------------------------------------------------------------
# The working tree as it is now, edits and new files included, without build trees.
rm -rf "$root/src/media" "$root/build"
mkdir -p "$root/src/media"
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' path; do
    [ -e "$path" ] && printf '%s\0' "$path"
  done | tar --null -T - -cf -) | tar -xf - -C "$root/src/media"
phase "source copy ($(find "$root/src/media" -type f | wc -l) files)"

# --- build and test -------------------------------------------------------------
bind_system_dirs
in_root cmake -S /src/media -B /build
in_root cmake --build /build -j"$jobs"
phase "build"
set +e
# ctest 3.18 has no --test-dir. The inner shell expands $0 and $@.
# shellcheck disable=SC2016
in_root /bin/sh -c 'cd /build && exec ctest --no-tests=error --output-on-failure -j"$0" "$@"' "$jobs" "${ctest_args[@]}"
status=$?
set -e
phase "tests"
echo "bullseye check: ctest exit status $status, $(($(date +%s) - start)) s in all"
exit "$status"
