#!/usr/bin/python3
"""TCP server on 127.0.0.1 that misbehaves in a chosen way.

Usage: misbehaving_server.py [--port N] [--mode MODE]
  silent       accept and never send a byte, keeping connections open
  garbage      answer anything received with random bytes
  rtsp-error   answer every RTSP request with 404 Not Found and its CSeq
  reset        accept, then abort the connection with a TCP RST
  close        accept, then close at once (an RST if data already arrived)
  trickle      answer the first request with the start of a reply whose header
               line never ends: one more byte every 0.2 s, for as long as the
               connection stays
Prints "READY <port>" once listening; --port 0 picks a free port.
"""
import argparse
import os
import random
import re
import selectors
import signal
import socket
import struct
import sys

MODES = ("silent", "garbage", "rtsp-error", "reset", "close", "trickle")


def rtsp_replies(buffer):
    """Consumes whole requests from buffer and returns the replies owed."""
    replies = []
    while True:
        end = buffer.find(b"\r\n\r\n")
        if end < 0:
            return replies
        head = bytes(buffer[:end])
        length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
        total = end + 4 + (int(length.group(1)) if length else 0)
        if len(buffer) < total:
            return replies
        del buffer[:total]
        cseq = re.search(rb"(?im)^cseq:\s*(\S+)", head)
        reply = b"RTSP/1.0 404 Not Found\r\n"
        if cseq:
            reply += b"CSeq: " + cseq.group(1) + b"\r\n"
        replies.append(reply + b"\r\n")


class Server:
    def __init__(self, port, mode):
        self.mode = mode
        self.rng = random.Random(1234)
        self.buffers = {}
        self.trickling = set()
        self.selector = selectors.DefaultSelector()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(64)
        self.selector.register(self.listener, selectors.EVENT_READ)

    def port(self):
        return self.listener.getsockname()[1]

    def accept(self):
        conn, _ = self.listener.accept()
        if self.mode == "reset":
            # Zero linger turns close() into an RST instead of a FIN.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                            struct.pack("ii", 1, 0))
            conn.close()
            return
        if self.mode == "close":
            conn.close()
            return
        self.buffers[conn] = bytearray()
        self.selector.register(conn, selectors.EVENT_READ)

    def drop(self, conn):
        self.selector.unregister(conn)
        del self.buffers[conn]
        self.trickling.discard(conn)
        conn.close()

    def receive(self, conn):
        try:
            data = conn.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.drop(conn)
            return
        # Silent mode still reads, so peers never block on a full window.
        if self.mode == "garbage":
            reply = self.rng.randbytes(4096)
        elif self.mode == "rtsp-error":
            self.buffers[conn] += data
            reply = b"".join(rtsp_replies(self.buffers[conn]))
        elif self.mode == "trickle" and conn not in self.trickling:
            self.trickling.add(conn)
            reply = b"RTSP/1.0 200 OK\r\nCSeq: 1\r\nX-Padding: "
        else:
            return
        try:
            conn.sendall(reply)
        except OSError:
            self.drop(conn)

    def run(self):
        parent = os.getppid()
        while os.getppid() == parent:
            for key, _ in self.selector.select(timeout=0.2 if self.trickling else 0.5):
                if key.fileobj is self.listener:
                    self.accept()
                else:
                    self.receive(key.fileobj)
            for conn in list(self.trickling):
                try:
                    conn.sendall(b"a")
                except OSError:
                    self.drop(conn)


def main(default_mode="silent"):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--mode", choices=MODES, default=default_mode)
    args = parser.parse_args()

    server = Server(args.port, args.mode)

    # Raising ends the wait in select() at once; a flag would only be seen
    # at the next timeout.
    def stop(*_):
        raise SystemExit(0)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, stop)
    print("READY %d" % server.port(), flush=True)
    server.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
