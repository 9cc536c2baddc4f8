"""Live video sources (RTSP, RTMP, MP4 files) read on threads of their own and handed to
Python as 8-bit BGR numpy images: the newest picture or every picture, never a grey one,
with reconnection after a stall and a close() that returns within 100 ms.

    with media.Capture("rtsp://camera/stream") as cap:
        for frame in cap:
            model(frame.image)

The library's log lines go to logging.getLogger("media").
"""
from types import TracebackType
from os import PathLike
from typing import ClassVar, Iterator, Optional, Tuple, Type, Union

import numpy
import numpy.typing

Image = numpy.typing.NDArray[numpy.uint8]

class OpenError(OSError):
    """The source could not be opened: "cannot open <address>: <FFmpeg's words>", the
    password as ***; or wait_opened() found the capture closed."""

    code: int
    """FFmpeg's (negative) error code for a failed open; 0 otherwise."""

class State:
    """Where a capture stands."""

    OPENING: ClassVar[State]
    """The first open is under way."""
    RUNNING: ClassVar[State]
    """Open; pictures come in."""
    RECONNECTING: ClassVar[State]
    """The source stalled or went away; the reader tries again every second, for ever."""
    FAILED: ClassVar[State]
    """The first open failed; nothing more comes."""
    STOPPED: ClassVar[State]
    """Closed."""
    ENDED: ClassVar[State]
    """A file was read to its end; every picture was handed out."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Delivery:
    """Which pictures read() hands out."""

    NEWEST_ONLY: ClassVar[Delivery]
    """The newest picture; older ones not read are dropped and counted in Frame.dropped."""
    EVERY_IMAGE: ClassVar[Delivery]
    """Every picture in order, through a queue of queue_capacity; when it is full the
    reader waits, and a live source falls behind."""
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Frame:
    """A picture and what is known of it."""

    @property
    def image(self) -> Image:
        """numpy.ndarray (height, width, 3), uint8, BGR; read-only: the array shares the
        reader's image, without a copy. image.copy() gives one to draw on."""
    @property
    def pts(self) -> Optional[float]:
        """Presentation time in seconds; None when the source gave none. Within one
        connection it only goes forward: a picture that would step back is dropped."""
    @property
    def arrival(self) -> float:
        """When the picture's last packet came in, in seconds on time.monotonic()'s clock:
        time.monotonic() - frame.arrival is the picture's age."""
    @property
    def sequence(self) -> int:
        """0, 1, 2 ... over the capture's life, reconnections included."""
    @property
    def keyframe(self) -> bool:
        """True for a keyframe."""
    @property
    def reconnections(self) -> int:
        """Successful reconnections before this picture."""
    @property
    def dropped(self) -> int:
        """NEWEST_ONLY: pictures replaced unseen since the previous read."""

class Stats:
    """Counts over a capture's life."""

    @property
    def images(self) -> int:
        """Pictures decoded into images."""
    @property
    def dropped(self) -> int:
        """NEWEST_ONLY: images no one read before a newer one came."""
    @property
    def failed_reads(self) -> int:
        """Reads that failed."""
    @property
    def reconnections(self) -> int:
        """Successful reconnections."""
    @property
    def time_went_back(self) -> int:
        """Pictures dropped because their time was not after the last frame's."""
    @property
    def frame_rate(self) -> float:
        """The rate the stream declares; 25 when it declares none."""

class Capture:
    """One live source, read on a thread of its own from construction to close().

    Decoding and every wait run without the GIL, so captures in several threads and the
    model in another go on in parallel.
    """

    def __init__(
        self,
        url: Union[str, PathLike[str]],
        *,
        delivery: Delivery = ...,
        queue_capacity: int = 8,
        name: Optional[str] = None,
        open_timeout: Optional[float] = 10.0,
        wait: bool = True,
        realtime: bool = False,
        loop: bool = False,
        retry: bool = False,
    ) -> None:
        """Starts reading url: rtsp://[user:password@]host/path (over TCP), rtmp://..., or a file.

        delivery: Delivery.NEWEST_ONLY (default) or Delivery.EVERY_IMAGE.
        queue_capacity: EVERY_IMAGE: pictures waiting to be read, at most (>= 1).
        name: shown in log lines; by default the url with its password as ***.
        wait: wait for the first open; raises OpenError when it fails (about 2 s for an
        address that does not answer) or has not ended within open_timeout seconds.
        With wait=False the constructor returns at once; see wait_opened().
        retry: a first open that fails does not raise; the capture tries again every
        second, as after a lost connection, and read() waits as for any picture.
        Files are read as files: every picture in order, as fast as they are read, then
        the end (read() gives (False, None), a for loop ends, state is ENDED).
        realtime: a file's pictures come at its own timestamps, and delivery applies.
        loop: a file starts over at its end.
        An empty url, or one that is not a string or path, raises ValueError.
        """
    def wait_opened(self, timeout: Optional[float] = None) -> bool:
        """Waits until the first open has ended: True when it succeeded, False when it is
        still under way after timeout seconds (None: no limit). Raises OpenError when it
        failed or the capture is closed."""
    def read(self, timeout: Optional[float] = None) -> Tuple[bool, Optional[Image]]:
        """(True, image) with the next picture, as cv2.VideoCapture.read gives it, or
        (False, None) when none came within timeout seconds (None: no limit) or the
        capture is closed or failed."""
    def read_frame(self, timeout: Optional[float] = None) -> Optional[Frame]:
        """The next picture as a Frame, with its metadata; None as read() gives (False, None)."""
    def close(self) -> None:
        """Stops reading within about 100 ms, whatever the reader is doing; reads waiting in
        other threads return at once. Safe to call again."""
    @property
    def state(self) -> State:
        """The capture's State now."""
    @property
    def reconnections(self) -> int:
        """Successful reconnections so far."""
    @property
    def closed(self) -> bool:
        """True after close()."""
    @property
    def failure(self) -> str:
        """Why the first open failed, the password as ***; empty otherwise."""
    @property
    def name(self) -> str:
        """The name in the capture's log lines."""
    def stats(self) -> Stats:
        """Counts over the capture's life, as Stats."""
    def __enter__(self) -> Capture: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    def __iter__(self) -> Iterator[Frame]: ...
    def __next__(self) -> Frame:
        """The next picture, waiting as long as it takes; the loop ends when the capture is
        closed or failed."""
