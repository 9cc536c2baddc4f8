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
def video(width, height):
    return (f"videotestsrc is-live=true pattern=smpte horizontal-speed=2 ! "
            f"video/x-raw,width={width},height={height},framerate=25/1 ! "
            "videoconvert ! video/x-raw,format=I420")


# config-interval=-1 resends parameter sets with every keyframe, which a
# client joining a shared stream mid-way needs before it can decode.
def h264(name):
    return ("x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "
            f"rtph264pay config-interval=-1 pt=96 name={name}")


def mounts(width, height):
    return {
        "/h264": f"( {video(width, height)} ! {h264('pay0')} )",
        "/hevc": (f"( {video(width, height)} ! x265enc tune=zerolatency "
                  "speed-preset=ultrafast key-int-max=25 ! "
                  "rtph265pay config-interval=-1 pt=96 name=pay0 )"),
        "/mjpeg": f"( {video(width, height)} ! jpegenc ! rtpjpegpay name=pay0 )",
        # Audio is pay0 so that clients see it as the first stream.
        "/av": ("( audiotestsrc is-live=true wave=sine ! audioconvert ! "
                "audioresample ! opusenc ! rtpopuspay pt=97 name=pay0 "
                f"{video(width, height)} ! {h264('pay1')} )"),
        "/h264_1080": f"( {video(1920, 1080)} ! {h264('pay0')} )",
    }


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
        mount_points.add_factory(path, factory)

    return rtsp_serving.serve(server, "rtsp_server")


if __name__ == "__main__":
    sys.exit(main())
