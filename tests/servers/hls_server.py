#!/usr/bin/python3
"""HLS over HTTP on 127.0.0.1: <input.mp4> cut into one-second segments.

Usage: hls_server.py [--port N] <input.mp4>
Serves /list.m3u8 and its segments /list0.ts, /list1.ts, ... from a temporary
directory removed on exit. Any user information in a request's address is
ignored, so a client may put a password there. Prints "READY <port>" once
listening; --port 0 picks a free port.
"""
import argparse
import functools
import http.server
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *_):
        pass


def segment(source, directory):
    # Bounded like every ffmpeg run in the tests: a stalled encoder must end.
    subprocess.run(
        ["timeout", "-k", "5", "120", "ffmpeg", "-hide_banner", "-nostdin",
         "-loglevel", "error", "-y", "-i", source, "-c", "copy", "-f", "hls",
         "-hls_time", "1", "-hls_list_size", "0",
         os.path.join(directory, "list.m3u8")],
        check=True, stdin=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("input")
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="hls_server.")
    try:
        segment(args.input, directory)
        handler = functools.partial(QuietHandler, directory=directory)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port),
                                                 handler)
        stopping = threading.Event()

        def stop(*_):
            stopping.set()

        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, stop)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        print("READY %d" % server.server_address[1], flush=True)

        # A crashed test cannot stop us, so leave once reparented.
        parent = os.getppid()
        while not stopping.wait(0.5) and os.getppid() == parent:
            pass
        server.shutdown()
        return 0
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
