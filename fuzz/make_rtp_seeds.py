#!/usr/bin/python3
"""Writes the seed corpora of the network-parser fuzzers into fuzz/seeds/.

Usage: make_rtp_seeds.py <seeds-dir>
pictures/: tiny H.264 and HEVC streams (several slices a picture, parameter sets on
keyframes) cut as FFmpeg's RTP depacketizer hands them out: whole small NAL units with a
start code, large ones in pieces of at most 600 bytes, the first with its start code,
the rest bare; the marker bit on each picture's last piece, one seed with a loss.
interleaved/: what a peek at an RTSP connection sees: RTP and RTCP frames, feedback,
another payload type, an RTSP reply, a header cut short. The seeds are committed; run
this again only to change them.
"""
import os
import struct
import subprocess
import sys
import tempfile


def raw_stream(codec):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "s." + codec)
        encoder = (["-c:v", "libx264", "-x264-params", "slices=2:keyint=4"] if codec == "h264"
                   else ["-c:v", "libx265", "-x265-params", "keyint=4:slices=2:log-level=error"])
        subprocess.run(["timeout", "-k", "5", "60", "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error",
                        "-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-frames:v", "6",
                        "-pix_fmt", "yuv420p", *encoder, "-f", codec, out], check=True)
        with open(out, "rb") as f:
            return f.read()


def nal_units(stream):
    starts = []
    i = stream.find(b"\x00\x00\x01")
    while i >= 0:
        starts.append(i + 3)
        i = stream.find(b"\x00\x00\x01", i + 3)
    for n, start in enumerate(starts):
        end = starts[n + 1] - 3 if n + 1 < len(starts) else len(stream)
        yield stream[start:end].rstrip(b"\x00")


def first_slice(codec, nal):
    if codec == "h264":
        return (nal[0] & 0x1f) in (1, 5) and nal[1] & 0x80
    return ((nal[0] >> 1) & 0x3f) <= 31 and nal[2] & 0x80


def record(flags, data):
    return bytes([flags]) + struct.pack(">H", len(data)) + data


def depacketized(codec, lose_one=False):
    nals = list(nal_units(raw_stream(codec)))
    pieces = []  # (new picture, data)
    for nal in nals:
        data = b"\x00\x00\x00\x01" + nal
        for at in range(0, len(data), 600):
            pieces.append((at == 0 and first_slice(codec, nal), data[at:at + 600]))
    out = bytearray([1 if codec == "hevc" else 0])
    lose_at = len(pieces) // 2 if lose_one else -1
    while 0 <= lose_at < len(pieces) and pieces[lose_at][0]:
        lose_at += 1
    for n, (begins, data) in enumerate(pieces):
        if n == lose_at:
            continue
        ends = n + 1 == len(pieces) or pieces[n + 1][0]
        flags = (1 if ends else 0) | (4 if begins else 0) | (2 if n == lose_at + 1 else 0)
        out += record(flags, data)
    return bytes(out)


def frame(channel, type_byte, sequence, payload, marker=False):
    rtp = bytes([0x80, (0x80 if marker else 0) | type_byte]) + struct.pack(">HII", sequence, 9, 0x1234) + payload
    return b"$" + bytes([channel]) + struct.pack(">H", len(rtp)) + rtp


def interleaved_seeds():
    video = frame(0, 96, 10, b"\x65\x88" + bytes(40), marker=True)
    report = frame(1, 200, 0, bytes(16))
    feedback = frame(0, 206, 0, bytes(8))
    other = frame(0, 97, 3, b"\x41\x9a" + bytes(8), marker=True)
    reply = b"RTSP/1.0 200 OK\r\nCSeq: 5\r\n\r\n"
    return {
        "video.bin": bytes([0, 96]) + video,
        "unknown-channel.bin": bytes([0x80, 0]) + video,
        "control-first.bin": bytes([0, 96]) + report + feedback + other + video,
        "reply.bin": bytes([0, 96]) + reply + video,
        "short.bin": bytes([0, 96]) + video[:10],
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    for name in ("pictures", "interleaved"):
        os.makedirs(os.path.join(root, name), exist_ok=True)
    seeds = {"pictures/h264.bin": depacketized("h264"), "pictures/hevc.bin": depacketized("hevc"),
             "pictures/h264-loss.bin": depacketized("h264", lose_one=True)}
    seeds.update({"interleaved/" + k: v for k, v in interleaved_seeds().items()})
    for name, data in seeds.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)
        print("%s: %d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
