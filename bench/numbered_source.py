#!/usr/bin/python3
"""Live RTSP source on 127.0.0.1 whose pictures carry their own frame number.

Usage: /usr/bin/python3 numbered_source.py --log FILE [--port N] [--size WxH]
                                           [--codec h264|hevc|mjpeg]

Mount /numbered: 25 fps, 1920x1080 by default, H.264 by default (x264enc
tune=zerolatency); HEVC (x265enc tune=zerolatency) or Motion JPEG (jpegenc).
Every picture shows its number as a row of black and white squares, most
significant bit first, with the inverted row below it so a reader can tell a
good read from a damaged picture (bench/frame_code_reader.cpp reads it back;
bench/frame_code.h holds the reading side of the layout). FILE gets one line per frame handed
to the RTP payloader: "<number> <sent_ns> <captured_ns>", wall-clock
nanoseconds, sent = encoded and given to the payloader, captured = pushed into
the encoder. Each client gets its own pipeline, so its stream begins with a
keyframe, as with tests/servers/rtsp_server.py. Prints "READY <port>".
"""
import argparse
import os
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gst, GstRtsp, GstRtspServer  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "servers"))
import rtsp_serving  # noqa: E402

# Layout shared with bench/frame_code.h.
BITS = 20
SQUARE = 48
LEFT = 96
TOP = 96
GAP = SQUARE  # between the number row and its inverted row
WHITE, BLACK = 235, 16

FPS = 25
# Encoder and payloader per codec. x264 with one thread makes one slice per picture: with
# its default of one slice per thread, the FFmpeg-based readers decoded these nearly still
# pictures as grey.
ENCODERS = {
    "h264": "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 threads=1 ! "
            "rtph264pay config-interval=-1 pt=96 name=pay0",
    "hevc": "x265enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "
            "rtph265pay config-interval=-1 pt=96 name=pay0",
    "mjpeg": "jpegenc ! rtpjpegpay name=pay0",
}
NUMBER_CAPS = None  # made once Gst is initialised


class FrameMaker:
    """Builds I420 pictures: a fixed gradient with the number's squares drawn in."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        luma = bytearray(width * height)
        for y in range(height):
            value = 40 + (y * 150) // height
            luma[y * width:(y + 1) * width] = bytes([value]) * width
        chroma = bytes([128]) * ((width // 2) * (height // 2) * 2)
        self.base = bytes(luma) + chroma
        self.white = bytes([WHITE]) * SQUARE
        self.black = bytes([BLACK]) * SQUARE

    def make(self, number):
        frame = bytearray(self.base)
        width = self.width
        for bit in range(BITS):
            on = (number >> (BITS - 1 - bit)) & 1
            left = LEFT + bit * SQUARE
            for top, value in ((TOP, on), (TOP + SQUARE + GAP, 1 - on)):
                square = self.white if value else self.black
                for y in range(top, top + SQUARE):
                    frame[y * width + left:y * width + left + SQUARE] = square
        return bytes(frame)


class Source:
    def __init__(self, log_path, width, height, codec):
        self.codec = codec
        self.log = open(log_path, "a", buffering=1)
        self.maker = FrameMaker(width, height)
        self.width, self.height = width, height
        self.next_number = 0
        self.captured = {}
        self.lock = threading.Lock()

    def launch(self):
        return (f"( appsrc name=src is-live=true format=time do-timestamp=true "
                f"max-buffers=2 leaky-type=downstream "
                f"caps=video/x-raw,format=I420,width={self.width},"
                f"height={self.height},framerate={FPS}/1 ! {ENCODERS[self.codec]} )")

    def configure(self, _factory, media):
        pipeline = media.get_element()
        appsrc = pipeline.get_by_name("src")
        pay = pipeline.get_by_name("pay0")
        pay.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, self.sent)
        stop = threading.Event()
        media.connect("unprepared", lambda _m: stop.set())
        threading.Thread(target=self.pump, args=(appsrc, stop), daemon=True).start()

    def pump(self, appsrc, stop):
        # Paced by the wall clock, like a camera: a slow consumer does not slow the source.
        period = 1.0 / FPS
        deadline = time.monotonic()
        while not stop.is_set():
            with self.lock:
                number = self.next_number
                self.next_number += 1
            buffer = Gst.Buffer.new_wrapped(self.maker.make(number))
            buffer.add_reference_timestamp_meta(NUMBER_CAPS, number, Gst.CLOCK_TIME_NONE)
            with self.lock:
                self.captured[number] = time.time_ns()
            if appsrc.emit("push-buffer", buffer) == Gst.FlowReturn.FLUSHING:
                break
            deadline += period
            delay = deadline - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                deadline = time.monotonic()

    def sent(self, _pad, info):
        now = time.time_ns()
        meta = info.get_buffer().get_reference_timestamp_meta(NUMBER_CAPS)
        if meta is not None:
            number = meta.timestamp
            with self.lock:
                captured = self.captured.pop(number, 0)
            self.log.write(f"{number} {now} {captured}\n")
        return Gst.PadProbeReturn.OK


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--codec", choices=sorted(ENCODERS), default="h264")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.lower().split("x"))
    Gst.init(None)
    global NUMBER_CAPS
    NUMBER_CAPS = Gst.Caps.from_string("timestamp/x-frame-number")

    source = Source(args.log, width, height, args.codec)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(source.launch())
    factory.set_shared(False)
    factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
    factory.connect("media-configure", source.configure)
    server.get_mount_points().add_factory("/numbered", factory)
    return rtsp_serving.serve(server, "numbered_source")


if __name__ == "__main__":
    sys.exit(main())
