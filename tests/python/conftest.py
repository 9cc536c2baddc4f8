"""The project's test servers (tests/servers) as pytest fixtures, on 127.0.0.1 only."""
import os
import select
import signal
import subprocess
import time
from pathlib import Path

import pytest

SERVERS = Path(__file__).resolve().parent.parent / "servers"
# The servers need Debian's GStreamer bindings, which only Debian's interpreter has.
PYTHON = "/usr/bin/python3"


class ServerProcess:
    """A server script that prints "READY <port>" once listening on a port of its choice."""

    def __init__(self, script, *args, ready_timeout=30.0):
        self.process = subprocess.Popen([PYTHON, str(SERVERS / script), "--port", "0", *args],
                                        stdout=subprocess.PIPE, start_new_session=True)
        self._pending = b""
        try:
            self.port = int(self.wait_line("READY", ready_timeout).split()[1])
        except BaseException:
            self.stop()
            raise

    @property
    def pid(self):
        return self.process.pid

    def wait_line(self, prefix, timeout):
        """The first line of the server's output beginning with prefix."""
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self._pending:
                line, self._pending = self._pending.split(b"\n", 1)
                if line.startswith(prefix.encode()):
                    return line.decode()
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no {prefix!r} line from server {self.pid} within {timeout} s")
            readable, _, _ = select.select([self.process.stdout], [], [], left)
            if readable:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    raise RuntimeError(f"server {self.pid} exited with {self.process.wait(5)} "
                                       f"before printing {prefix!r}")
                self._pending += chunk

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(3)
        self.process.stdout.close()


class FaultProxy(ServerProcess):
    def strike(self):
        """Breaks the connections the proxy relays now (see fault_proxy.py)."""
        os.kill(self.pid, signal.SIGUSR1)
        self.wait_line("FAULT", 5.0)


@pytest.fixture
def start_server():
    """start_server(script, *args) starts a server from tests/servers; all stop at teardown."""
    started = []

    def start(script, *args, kind=ServerProcess):
        server = kind(script, *args)
        started.append(server)
        return server

    yield start
    for server in reversed(started):
        server.stop()


@pytest.fixture
def rtsp_server(start_server):
    """tests/servers/rtsp_server.py: 320x240 SMPTE bars, H.264 and HEVC mounts."""
    return start_server("rtsp_server.py")


@pytest.fixture
def fault_proxy(start_server):
    """fault_proxy(upstream_port, *args) puts tests/servers/fault_proxy.py in front of a server."""
    def start(upstream_port, *args):
        return start_server("fault_proxy.py", "--upstream", str(upstream_port), *args, kind=FaultProxy)

    return start
