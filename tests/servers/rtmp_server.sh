#!/bin/bash
# Live RTMP test server on 127.0.0.1: a private nginx with the rtmp module plus
# an ffmpeg publisher looping <input.mp4> to rtmp://127.0.0.1:<port>/live/test.
# Usage: rtmp_server.sh <port> <workdir> <input.mp4> [limit_seconds]
#   port 0 picks a free port; workdir "" or "-" uses a temporary directory
#   that is removed on exit. Prints "READY <port>" once the stream plays.
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 <port> <workdir> <input.mp4> [limit_seconds]" >&2
  exit 2
fi
port=$1
workdir=$2
input=$3
limit=${4:-900}
module=/usr/lib/nginx/modules/ngx_rtmp_module.so

if [ ! -r "$input" ]; then
  echo "rtmp_server: cannot read $input" >&2
  exit 2
fi
own_workdir=0
if [ -z "$workdir" ] || [ "$workdir" = "-" ]; then
  workdir=$(mktemp -d "${TMPDIR:-/tmp}/rtmp_server.XXXXXX")
  own_workdir=1
fi
mkdir -p "$workdir"
workdir=$(cd "$workdir" && pwd)

if [ "$port" = 0 ]; then
  port=$(/usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
fi

nginx_pid=""
publisher_pid=""
helper_pid=""
# shellcheck disable=SC2317  # only ever reached through the traps
cleanup() {
  trap - EXIT INT TERM HUP
  local pids="$nginx_pid $publisher_pid $helper_pid"
  # shellcheck disable=SC2086  # empty pids must vanish from the list
  kill -TERM $pids 2>/dev/null || true
  for _ in $(seq 30); do
    # shellcheck disable=SC2086
    kill -0 $pids 2>/dev/null || break
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "$own_workdir" -eq 1 ]; then rm -rf "$workdir"; fi
}
trap cleanup EXIT
trap 'exit 143' INT TERM HUP

# Bash defers traps until a foreground command returns; running each wait in
# the background keeps SIGTERM handling immediate.
run_interruptible() {
  "$@" &
  helper_pid=$!
  local rc=0
  wait "$helper_pid" || rc=$?
  helper_pid=""
  return "$rc"
}

# A crashed harness cannot stop us, so leave once reparented.
parent=$PPID
# Builtins only: a forked helper caught by the harness's group kill would
# linger as a zombie after we exit.
check_parent() {
  local key value
  while read -r key value; do
    if [ "$key" = "PPid:" ]; then
      [ "$value" = "$parent" ] || exit 0
      return 0
    fi
  done </proc/$$/status
}

# master_process off keeps nginx a single foreground process, so it never
# switches user and dies with the pid we hold; everything it writes stays in
# the workdir so neither root nor an unprivileged user touches /var.
cat >"$workdir/nginx.conf" <<EOF
load_module $module;
daemon off;
master_process off;
worker_processes 1;
pid $workdir/nginx.pid;
error_log $workdir/error.log warn;
events { worker_connections 128; }
rtmp {
  access_log off;
  server {
    listen 127.0.0.1:$port;
    chunk_size 4096;
    application live {
      live on;
      record off;
      wait_key on;
      wait_video on;
    }
  }
}
EOF

# -e (nginx 1.19.5 on) keeps nginx from touching /var/log before it reads the
# config; older ones (Debian 11) rely on the config's error_log line alone.
error_log_option=""
if printf '%s\n' 1.19.5 "$(nginx -v 2>&1 | sed -n 's|.*nginx/\([0-9.]*\).*|\1|p')" | sort -V -C; then
  error_log_option="-e $workdir/error.log"
fi
# --foreground keeps each child in our process group, so a group kill from
# the test harness reaches them even if this script is killed outright.
# shellcheck disable=SC2086  # the option is empty or two words
timeout --foreground -k 2 "$limit" \
  nginx -p "$workdir" -c "$workdir/nginx.conf" $error_log_option \
  >&2 </dev/null &
nginx_pid=$!

url="rtmp://127.0.0.1:$port/live/test"
start_publisher() {
  timeout --foreground -k 2 "$limit" \
    ffmpeg -hide_banner -nostdin -loglevel error -re -stream_loop -1 \
    -i "$input" -c copy -f flv "$url" >&2 </dev/null &
  publisher_pid=$!
}
start_publisher

# The publisher may start before nginx listens and then exits: restart it.
# A short analyzeduration keeps the probe quick when the input has no audio.
ready=0
for _ in $(seq 40); do
  check_parent
  if ! kill -0 "$nginx_pid" 2>/dev/null; then
    echo "rtmp_server: nginx exited; its log follows" >&2
    cat "$workdir/error.log" >&2 || true
    exit 1
  fi
  if ! kill -0 "$publisher_pid" 2>/dev/null; then
    start_publisher
  fi
  if run_interruptible timeout --foreground -k 1 5 \
    ffprobe -v quiet -analyzeduration 500000 "$url" </dev/null; then
    ready=1
    break
  fi
  run_interruptible sleep 0.25
done
if [ "$ready" -ne 1 ]; then
  echo "rtmp_server: stream never became playable" >&2
  exit 1
fi

echo "READY $port"

while kill -0 "$nginx_pid" 2>/dev/null && kill -0 "$publisher_pid" 2>/dev/null; do
  check_parent
  run_interruptible sleep 0.5
done
echo "rtmp_server: nginx or the publisher exited" >&2
exit 1
