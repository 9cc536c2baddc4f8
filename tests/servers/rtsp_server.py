#!/usr/bin/python3
"""Live RTSP test server on 127.0.0.1.

Usage: /usr/bin/python3 rtsp_server.py [--port N] [--size WxH]
                                       [--user U --password P]
Prints "READY <port>" once listening; --port 0 picks a free port.
"""
import argparse
import os
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gst, GstRtsp, GstRtspServer  # noqa: E402

import rtsp_serving  # noqa: E402

# Scrolling bars with a noise patch: every frame differs and none is uniform,
# so a client can tell live pictures from a frozen or blank stream.
def video(width, height, fps=25):
    return (f"videotestsrc is-live=true pattern=smpte horizontal-speed=2 ! "
            f"video/x-raw,width={width},height={height},framerate={fps}/1 ! "
            "videoconvert ! video/x-raw,format=I420")


# Parameter sets go out again at least once a second, with the next keyframe, which a
# client joining a shared stream mid-way needs before it can decode. Not
# config-interval=-1: that repeats them before every IDR slice, and x264 cuts its
# pictures into several slices, so they would land in the middle of a picture and split
# it into two access units, each decoded with half its slices missing.
def h264(name, gop=25, extra=""):
    return (f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={gop} {extra} ! "
            f"rtph264pay config-interval=1 pt=96 name={name}")


def hevc(gop=25, extra=""):
    return (f"x265enc tune=zerolatency speed-preset=ultrafast key-int-max={gop} {extra} ! "
            "rtph265pay config-interval=-1 pt=96 name=pay0")


MJPEG = "jpegenc ! rtpjpegpay name=pay0"

# Cameras at other rates and keyframe intervals: /<codec>_<fps>fps_gop<seconds>,
# for example /h264_5fps_gop2 or /hevc_25fps_gop4 (Motion JPEG has no GOP: /mjpeg_5fps).
RATES = (1, 2, 5, 10, 15, 25, 30)
GOP_SECONDS = (1, 2, 3, 4)


def camera_mounts(width, height):
    found = {}
    for fps in RATES:
        source = video(width, height, fps)
        found[f"/mjpeg_{fps}fps"] = f"( {source} ! {MJPEG} )"
        for seconds in GOP_SECONDS:
            gop = fps * seconds
            found[f"/h264_{fps}fps_gop{seconds}"] = f"( {source} ! {h264('pay0', gop)} )"
            found[f"/hevc_{fps}fps_gop{seconds}"] = f"( {source} ! {hevc(gop)} )"
    return found


def ignore_keyframe_requests(_factory, media):
    """Makes the mount behave like a camera that keeps its own keyframe rhythm.

    The server seeks a seekable stream for every client that joins it, which
    restarts the encoder on a keyframe; many cameras do not, and a client
    joining them starts in the middle of a group of pictures. Here the stream
    says it cannot seek, and keyframe requests stop at the payloader.
    """
    payloader = media.get_element().get_by_name("pay0")
    if payloader is None:
        return

    # Answered unchanged, a seeking query says "not seekable".
    def unseekable(_pad, info):
        if info.get_query().type == Gst.QueryType.SEEKING:
            return Gst.PadProbeReturn.HANDLED
        return Gst.PadProbeReturn.OK

    def absorb(_pad, info):
        structure = info.get_event().get_structure()
        if structure is not None and structure.get_name() == "GstForceKeyUnit":
            return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK

    pad = payloader.get_static_pad("sink")
    pad.add_probe(Gst.PadProbeType.QUERY_UPSTREAM, unseekable)
    pad.add_probe(Gst.PadProbeType.EVENT_UPSTREAM, absorb)


def mounts(width, height):
    found = {
        "/h264": f"( {video(width, height)} ! {h264('pay0')} )",
        "/hevc": f"( {video(width, height)} ! {hevc()} )",
        "/mjpeg": f"( {video(width, height)} ! {MJPEG} )",
        # Audio is pay0 so that clients see it as the first stream.
        "/av": ("( audiotestsrc is-live=true wave=sine ! audioconvert ! "
                "audioresample ! opusenc ! rtpopuspay pt=97 name=pay0 "
                f"{video(width, height)} ! {h264('pay1')} )"),
        "/h264_1080": f"( {video(1920, 1080)} ! {h264('pay0')} )",
        # Four slices a picture, as cameras commonly send.
        "/h264_slices4": f"( {video(width, height)} ! {h264('pay0', 25, 'option-string=slices=4')} )",
        "/hevc_slices4": f"( {video(width, height)} ! {hevc(25, 'option-string=slices=4')} )",
        # Periodic intra refresh: recovery point messages, and no IDR picture
        # after the first, so a client joining later never sees one.
        "/h264_intra_refresh": (f"( {video(width, height)} ! "
                                f"{h264('pay0', 25, 'intra-refresh=true')} )"),
    }
    found.update(camera_mounts(width, height))
    return found


def loopback_pool():
    # Without a pool the RTP/RTCP UDP sockets would bind every interface.
    pool = GstRtspServer.RTSPAddressPool()
    base = 20000 + (os.getpid() % 400) * 100
    pool.add_range("127.0.0.1", "127.0.0.1", base, base + 99, 0)
    return pool


def add_auth(server, user, password):
    auth = GstRtspServer.RTSPAuth()
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "tester")
    auth.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
    server.set_auth(auth)
    return Gst.Structure.new_from_string(
        "tester, media.factory.access=(boolean)true, "
        "media.factory.construct=(boolean)true")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--size", default="320x240")
    parser.add_argument("--user")
    parser.add_argument("--password")
    args = parser.parse_args()
    if (args.user is None) != (args.password is None):
        parser.error("--user and --password go together")
    return args


def main():
    args = parse_args()
    width, height = (int(v) for v in args.size.lower().split("x"))
    Gst.init(None)

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    role = None
    if args.user is not None:
        role = add_auth(server, args.user, args.password)

    mount_points = server.get_mount_points()
    pool = loopback_pool()
    cameras = camera_mounts(width, height).keys() | {"/h264_intra_refresh"}
    for path, launch in mounts(width, height).items():
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(True)
        factory.set_address_pool(pool)
        factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP
                              | GstRtsp.RTSPLowerTrans.UDP)
        if role is not None:
            permissions = GstRtspServer.RTSPPermissions()
            permissions.add_role_from_structure(role)
            factory.set_permissions(permissions)
        if path in cameras:
            factory.connect("media-configure", ignore_keyframe_requests)
        mount_points.add_factory(path, factory)

    return rtsp_serving.serve(server, "rtsp_server")


if __name__ == "__main__":
    sys.exit(main())
