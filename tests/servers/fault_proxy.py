#!/usr/bin/python3
"""TCP proxy on 127.0.0.1 that breaks its open connections on a signal.

Usage: fault_proxy.py --upstream PORT [--port N] [--fault FAULT]
                      [--outage SECONDS] [--only PATH]
SIGUSR1 strikes the connections open at that moment with FAULT (with --only,
just those whose client asked for PATH: one stream of a camera stalls while
another, from the same host and port, goes on):
  freeze   stop relaying in both directions while keeping them open
  reset    abort both sides with a TCP RST
  outage   abort them and stop listening for --outage seconds (connections
           are refused), then listen on the same port again
  garbage  stop relaying to the client; send it one interleaved header that
           promises 65535 bytes, then bytes that never make an interleaved
           frame (no "$"), a little every 20 ms, for as long as it stays
  inject   from then on, before every RTP packet without the marker bit on
           channel 0, send the client two packets FFmpeg throws away, both
           with the marker bit: RTCP feedback (type 206) and an RTP packet of
           payload type 97
  drop     leave out the next RTP packet without the marker bit on channel 0
           (a slice or a piece of one): its sequence number is skipped
  rewind   from the next picture on, set the RTP timestamps on channel 0 back
           by --outage seconds, as a server that restarts a shared stream for
           a client joining it does to the others (each strike adds as much)
Connections made later are relayed untouched, so a client that reconnects
finds the stream again (inject and drop keep acting on them). A signal, not a byte count, picks the moment, so a
test can strike after it has seen a given amount of output.
Prints "READY <port>" once listening, "FAULT <fault>" when striking and
"BACK" when an outage ends; --port 0 picks a free port.
"""
import argparse
import os
import random
import re
import signal
import socket
import struct
import sys
import threading

FAULTS = ("freeze", "reset", "outage", "garbage", "inject", "drop", "rewind")
FRAME_FAULTS = ("inject", "drop", "rewind")

# Both with the marker bit, on the video channel: what FFmpeg reads and discards.
FEEDBACK = b"$\x00\x00\x0c" + bytes([0x81, 206, 0, 2]) + bytes(8)
OTHER_TYPE = (b"$\x00\x00\x10" + bytes([0x80, 0x80 | 97, 0x12, 0x34])
              + bytes(8) + b"\x65\x88\x80\x00")


def split_messages(buffer):
    """Takes whole interleaved frames and RTSP messages off the front of buffer."""
    messages = []
    while buffer:
        if buffer[0] == 0x24:  # "$"
            if len(buffer) < 4:
                break
            size = 4 + int.from_bytes(buffer[2:4], "big")
        else:
            end = buffer.find(b"\r\n\r\n")
            if end < 0:
                break
            length = re.search(rb"(?im)^content-length:\s*(\d+)", bytes(buffer[:end]))
            size = end + 4 + (int(length.group(1)) if length else 0)
        if len(buffer) < size:
            break
        messages.append(bytes(buffer[:size]))
        del buffer[:size]
    return messages


def mid_picture_rtp(message):
    """An RTP packet on channel 0 that does not end a picture."""
    return (len(message) >= 16 and message[0] == 0x24 and message[1] == 0
            and message[5] < 192 and not message[5] & 0x80)


def video_rtp(message):
    """An RTP packet on channel 0 (RTCP's types 200 to 204 read as 72 to 76 there)."""
    return (len(message) >= 16 and message[0] == 0x24 and message[1] == 0
            and not 72 <= message[5] & 0x7f <= 76)


def rewound(message, ticks):
    """The RTP packet with its timestamp set back by ticks of the 90 kHz clock."""
    timestamp = (int.from_bytes(message[8:12], "big") - ticks) % (1 << 32)
    return message[:8] + timestamp.to_bytes(4, "big") + message[12:]


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
    def __init__(self, port, upstream, fault, outage, only=None):
        self.only = only.encode() if only else None
        self.upstream = upstream
        self.fault = fault
        self.outage = outage
        self.lock = threading.Lock()
        self.strike_requested = False
        self.injecting = False
        self.drop_next = False
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

    def relay_frames(self, data, pending, pair):
        """What the client gets of the server's bytes under inject, drop or rewind."""
        pending.extend(data)
        out = bytearray()
        for message in split_messages(pending):
            if self.fault == "rewind" and video_rtp(message):
                # Set back only between pictures: a picture keeps one timestamp.
                if pair["picture_ended"]:
                    pair["rewind_ticks"] += pair["rewind_pending"]
                    pair["rewind_pending"] = 0
                pair["picture_ended"] = bool(message[5] & 0x80)
                message = rewound(message, pair["rewind_ticks"])
            if mid_picture_rtp(message):
                if self.fault == "drop" and self.drop_next:
                    self.drop_next = False
                    continue
                if self.fault == "inject" and self.injecting:
                    out += FEEDBACK + OTHER_TYPE + message
                    continue
            out += message
        return bytes(out)

    def pump(self, source, sink, pair, to_client):
        pending = bytearray()
        while not self.stopping.is_set():
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            # A frozen connection still drains both peers and drops what it
            # reads: a stalled reader must not stall the upstream server.
            if not to_client and len(pair["asked"]) < 4096:
                pair["asked"] += data
            if pair["frozen"] or (to_client and pair["garbage"]):
                continue
            if to_client and self.fault in FRAME_FAULTS:
                data = self.relay_frames(data, pending, pair)
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

    def struck(self, pair):
        if self.only is None:
            return True
        for line in pair["asked"].split(b"\r\n"):
            parts = line.split(b" ")
            if len(parts) == 3 and parts[1].split(b"?")[0].endswith(self.only):
                return True
        return False

    def strike(self):
        with self.lock:
            pairs = [pair for pair in self.pairs if self.struck(pair)]
            self.pairs = [pair for pair in self.pairs if not self.struck(pair)]
        if self.fault == "outage":
            self.listener.close()
        if self.fault in FRAME_FAULTS:
            self.injecting = True
            self.drop_next = True
            for pair in pairs:
                pair["rewind_pending"] += round(self.outage * 90000)
            with self.lock:
                self.pairs.extend(pairs)
            pairs = []
        for pair in pairs:
            if self.fault == "freeze":
                # Both sockets stay open: the client sees a live but mute peer.
                pair["frozen"] = True
            elif self.fault == "garbage":
                pair["garbage"] = True
                threading.Thread(target=self.send_garbage, daemon=True,
                                 args=(pair,)).start()
            else:
                abort(pair)
        print("FAULT %s" % self.fault, flush=True)
        if self.fault == "outage":
            if self.stopping.wait(self.outage):
                return
            self.listener = self.listen(self.port_number)
            print("BACK", flush=True)

    def send_garbage(self, pair):
        client = pair["socks"][0]
        rng = random.Random(4321)
        chunk = b"$\x00\xff\xff" + bytes(100)
        while not self.stopping.wait(0.02):
            try:
                client.sendall(chunk)
            except OSError:
                return
            chunk = bytes(rng.choice(range(0x25, 0x100)) for _ in range(200))

    def connect(self, client):
        try:
            server = socket.create_connection(("127.0.0.1", self.upstream))
        except OSError:
            abort({"socks": (client,)})
            return
        pair = {"socks": (client, server), "frozen": False, "garbage": False,
                "aborted": False, "asked": b"", "picture_ended": False,
                "rewind_ticks": 0, "rewind_pending": 0}
        with self.lock:
            self.pairs.append(pair)
        for source, sink, to_client in ((client, server, False), (server, client, True)):
            threading.Thread(target=self.pump, daemon=True,
                             args=(source, sink, pair, to_client)).start()

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
            except OSError:
                # The listener closed for an outage that a stop cut short.
                break
            self.connect(client)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--fault", choices=FAULTS, default="reset")
    parser.add_argument("--outage", type=float, default=10.0)
    parser.add_argument("--only")
    args = parser.parse_args()

    proxy = Proxy(args.port, args.upstream, args.fault, args.outage, args.only)

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
