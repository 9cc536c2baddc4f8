"""Pictures from live cameras of the project's RTSP server: their layout, their colours,
and which of them a reader gets."""
import gc
import logging
import os
import subprocess
import time
from pathlib import Path

import numpy

import media

# The server's SMPTE bars, left to right, as BGR with each channel on or off; they scroll
# sideways, so a row of a picture shows a rotation of this order.
BARS = {(1, 1, 1): "white", (0, 1, 1): "yellow", (1, 1, 0): "cyan", (0, 1, 0): "green",
        (1, 0, 1): "magenta", (0, 0, 1): "red", (1, 0, 0): "blue"}
BAR_ORDER = list(BARS.values())
NARROWEST_PIECE = 8  # pixels: shorter runs are edges blurred by the encoder


def bars_in_row(row):
    """The bar colours along a row, one name for each run of at least NARROWEST_PIECE pixels."""
    names = []
    run_colour, run_length = None, 0
    for pixel in map(tuple, (row > 128).astype(int).tolist()):
        if pixel == run_colour:
            run_length += 1
            continue
        if run_length >= NARROWEST_PIECE and run_colour in BARS:
            names.append(BARS[run_colour])
        run_colour, run_length = pixel, 1
    if run_length >= NARROWEST_PIECE and run_colour in BARS:
        names.append(BARS[run_colour])
    collapsed = [name for i, name in enumerate(names) if i == 0 or name != names[i - 1]]
    # A bar split by the wrap-around shows at both ends.
    if len(collapsed) > 1 and collapsed[0] == collapsed[-1]:
        collapsed.pop()
    return collapsed


def shows_the_bars(image):
    """True when rows through the bars (the top two thirds) show all seven, in order."""
    doubled = BAR_ORDER * 2
    for y in (image.shape[0] // 6, image.shape[0] // 2):
        found = bars_in_row(image[y])
        if len(found) != len(BAR_ORDER):
            return False
        start = doubled.index(found[0])
        if doubled[start:start + len(BAR_ORDER)] != found:
            return False
    return True


def test_h264_camera_gives_read_only_bgr_pictures_of_its_size_and_colours(rtsp_server):
    with media.Capture(f"rtsp://127.0.0.1:{rtsp_server.port}/h264") as cap:
        assert cap.state == media.State.RUNNING
        ok, image = cap.read(timeout=5)
        assert ok
        frames, ages = [], []
        for frame in cap:
            ages.append(time.monotonic() - frame.arrival)
            frames.append(frame)
            if len(frames) == 10:
                cap.close()  # ends the loop
        assert cap.state == media.State.STOPPED
        assert cap.read(timeout=1) == (False, None)

    # The arrays keep their pictures after the capture is gone.
    del cap
    gc.collect()
    for picture in [image] + [frame.image for frame in frames]:
        assert picture.shape == (240, 320, 3)
        assert picture.dtype == numpy.uint8
        assert not picture.flags.writeable
        assert shows_the_bars(picture), bars_in_row(picture[40])
    sequences = [frame.sequence for frame in frames]
    assert sequences == sorted(set(sequences))
    times = [frame.pts for frame in frames]
    assert None not in times and times == sorted(set(times))
    # Arrival is on time.monotonic()'s clock.
    assert all(0 <= age < 1 for age in ages), ages


def test_hevc_camera_joined_between_keyframes_gives_no_grey_picture(rtsp_server, caplog):
    caplog.set_level(logging.INFO, logger="media")
    url = f"rtsp://127.0.0.1:{rtsp_server.port}/hevc_25fps_gop4"
    with media.Capture(url, name="first") as first:
        # Keyframes come every four seconds from the first client's start on.
        assert first.read(timeout=5)[0]
        time.sleep(1)
        with media.Capture(url, delivery=media.Delivery.EVERY_IMAGE, queue_capacity=100,
                           name="joined") as joined:
            frames = [joined.read_frame(timeout=6) for _ in range(25)]

    assert None not in frames
    assert any(record.getMessage().startswith("[joined] waiting for a keyframe")
               for record in caplog.records), "the join did not fall between keyframes"
    for frame in frames:
        assert shows_the_bars(frame.image), (frame.sequence, bars_in_row(frame.image[40]))


def test_newest_only_hands_a_slow_consumer_the_newest_picture_and_counts_the_rest(rtsp_server):
    with media.Capture(f"rtsp://127.0.0.1:{rtsp_server.port}/h264") as cap:
        frame = cap.read_frame(timeout=5)
        accounted = frame.sequence + 1  # what came before the first read is not counted
        for _ in range(5):
            time.sleep(0.2)  # a model at five pictures a second
            decoded_before = cap.stats().images
            frame = cap.read_frame(timeout=1)
            assert frame.sequence + 1 >= decoded_before, "an older picture than the newest"
            assert frame.dropped >= 2
            accounted += frame.dropped + 1
            assert accounted == frame.sequence + 1, "a picture neither read nor counted"


def decoder_order(path):
    """The pictures' times as FFmpeg's own decoder gives them."""
    out = subprocess.run(["timeout", "-k", "2", "30", "ffprobe", "-v", "error", "-select_streams", "v:0",
                          "-show_entries", "frame=pts_time", "-of", "csv=p=0", str(path)],
                         capture_output=True, text=True, check=True).stdout
    return [round(float(line.strip(",")), 3) for line in out.split()]


def test_file_is_read_to_its_last_picture_then_ends_and_realtime_keeps_its_pace(caplog):
    caplog.set_level(logging.INFO, logger="media")
    path = Path(os.environ["MEDIA_TEST_MEDIA"]) / "h264.mp4"  # 100 pictures, B-frames
    with media.Capture(path) as cap:
        times = [round(frame.pts, 3) for frame in cap]
        assert cap.state == media.State.ENDED
        assert cap.read(timeout=1) == (False, None)
    assert times == decoder_order(path) and len(times) == 100
    assert not [record for record in caplog.records if record.levelno >= logging.WARNING]

    started = time.monotonic()
    with media.Capture(path, realtime=True, delivery=media.Delivery.EVERY_IMAGE) as cap:
        assert len(list(cap)) == 100
    assert 3.9 < time.monotonic() - started < 8  # the file's 4 s, not as fast as it decodes
