"""Runs an attached GStreamer RTSP server until it is told to stop.

Shared by the test RTSP server and the benchmark's numbered source: both print
"READY <port>" once listening and leave on SIGTERM, SIGINT or SIGHUP, or once their
parent is gone (a crashed test or benchmark cannot stop them otherwise).
"""
import os
import signal
import sys

from gi.repository import GLib


def serve(server, name):
    """Attaches `server` and runs the main loop; returns the process exit status."""
    if server.attach(None) == 0:
        print("%s: cannot listen on port %s" % (name, server.get_service()), file=sys.stderr)
        return 1

    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)

    parent = os.getppid()

    def check_parent():
        if os.getppid() != parent:
            loop.quit()
            return False
        return True

    GLib.timeout_add(500, check_parent)

    print("READY %d" % server.get_bound_port(), flush=True)
    loop.run()
    return 0
