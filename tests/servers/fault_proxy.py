#!/usr/bin/python3
"""TCP proxy on 127.0.0.1 that breaks its open connections on a signal.

Usage: fault_proxy.py --upstream PORT [--port N] [--fault FAULT]
                      [--outage SECONDS]
SIGUSR1 strikes the connections open at that moment with FAULT:
  freeze   stop relaying in both directions while keeping them open
  reset    abort both sides with a TCP RST
  outage   abort them and stop listening for --outage seconds (connections
           are refused), then listen on the same port again
Connections made later are relayed untouched, so a client that reconnects
finds the stream again. A signal, not a byte count, picks the moment, so a
test can strike after it has seen a given amount of output.
Prints "READY <port>" once listening, "FAULT <fault>" when striking and
"BACK" when an outage ends; --port 0 picks a free port.
"""
import argparse
import os
import signal
import socket
import struct
import sys
import threading

FAULTS = ("freeze", "reset", "outage")


def abort(pair):
    pair["aborted"] = True
    for sock in pair["socks"]:
        try:
            # Zero linger turns the last close into an RST instead of a FIN.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                            struct.pack("ii", 1, 0))
            # A pump thread blocked in recv() keeps the socket alive past
            # close(); SHUT_RD wakes it without sending anything.
            sock.shutdown(socket.SHUT_RD)
        except OSError:
            pass
        sock.close()


class Proxy:
    def __init__(self, port, upstream, fault, outage):
        self.upstream = upstream
        self.fault = fault
        self.outage = outage
        self.lock = threading.Lock()
        self.strike_requested = False
        self.pairs = []
        self.stopping = threading.Event()
        self.listener = self.listen(port)
        self.port_number = self.listener.getsockname()[1]

    @staticmethod
    def listen(port):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(64)
        listener.settimeout(0.2)
        return listener

    def port(self):
        return self.port_number

    def pump(self, source, sink, pair):
        while not self.stopping.is_set():
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            # A frozen connection still drains both peers and drops what it
            # reads: a stalled reader must not stall the upstream server.
            if pair["frozen"]:
                continue
            try:
                sink.sendall(data)
            except OSError:
                break
        for sock in pair["socks"]:
            if not pair["aborted"]:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            sock.close()

    def strike(self):
        with self.lock:
            pairs, self.pairs = self.pairs, []
        if self.fault == "outage":
            self.listener.close()
        for pair in pairs:
            if self.fault == "freeze":
                # Both sockets stay open: the client sees a live but mute peer.
                pair["frozen"] = True
            else:
                abort(pair)
        print("FAULT %s" % self.fault, flush=True)
        if self.fault == "outage":
            if self.stopping.wait(self.outage):
                return
            self.listener = self.listen(self.port_number)
            print("BACK", flush=True)

    def connect(self, client):
        try:
            server = socket.create_connection(("127.0.0.1", self.upstream))
        except OSError:
            abort({"socks": (client,)})
            return
        pair = {"socks": (client, server), "frozen": False, "aborted": False}
        with self.lock:
            self.pairs.append(pair)
        for source, sink in ((client, server), (server, client)):
            threading.Thread(target=self.pump, daemon=True,
                             args=(source, sink, pair)).start()

    def run(self):
        parent = os.getppid()
        while not self.stopping.is_set() and os.getppid() == parent:
            if self.strike_requested:
                self.strike_requested = False
                self.strike()
            try:
                client, _ = self.listener.accept()
            except (socket.timeout, InterruptedError):
                continue
            self.connect(client)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--fault", choices=FAULTS, default="reset")
    parser.add_argument("--outage", type=float, default=10.0)
    args = parser.parse_args()

    proxy = Proxy(args.port, args.upstream, args.fault, args.outage)

    def stop(*_):
        proxy.stopping.set()

    def request_strike(*_):
        # Handlers run between bytecodes of the main thread; the accept loop
        # notices within its 0.2 s timeout.
        proxy.strike_requested = True

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, stop)
    signal.signal(signal.SIGUSR1, request_strike)
    print("READY %d" % proxy.port(), flush=True)
    proxy.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
