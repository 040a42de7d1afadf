"""Readers of a take's per-camera files, for untrusted input.

Every reader opens regular files only, reads by the format (a line of a few
dozen characters, a record of at most one frame's pixels), never loads a
file whole, and raises TakeFormatError naming the file, the line or record
and the byte offset of the first fault.
"""

import mmap
import os
import re
import stat
from typing import List, Optional, Tuple

import numpy as np

FRAME_WIDTH = 320
FRAME_HEIGHT = 240
MAX_POINTS = FRAME_WIDTH * FRAME_HEIGHT  # a camera frame has no more points than pixels
MAX_LINE = 64  # a time-stamp line is "frame high low " and CR LF: at most 38 characters


class TakeFormatError(ValueError):
    """A take file does not hold what the format says.

    ``file`` is the file's name within the take, ``item`` the line or record
    number (from 0, or None), ``offset`` the byte where it starts.
    """

    def __init__(self, file: str, offset: int, reason: str, item: Optional[int] = None,
                 kind: str = "record"):
        self.file, self.offset, self.reason, self.item = file, offset, reason, item
        where = f"{kind} {item} at byte {offset}" if item is not None else f"byte {offset}"
        super().__init__(f"{file}: {where}: {reason}")


def open_regular(path: str, name: str):
    """Opens `path` for binary reading; a FIFO, device or folder is refused."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise TakeFormatError(name, 0, f"cannot open: {error.strerror}") from None
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        os.close(fd)
        raise TakeFormatError(name, 0, "not a regular file")
    os.set_blocking(fd, True)
    return os.fdopen(fd, "rb")


def map_regular(path: str, name: str):
    """Memory-maps a regular file read-only: (its size, the map or None when empty)."""
    with open_regular(path, name) as file:
        size = os.fstat(file.fileno()).st_size
        return size, (mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if size > 0 else None)


# Three integers, each of at most 12 digits, blanks before and between them
# optional (the recorder's own reader takes digits greedily).
_NUMBER = rb"[ \t]*([+-]?[0-9]{1,12})(?![0-9])"
_LINE = re.compile(_NUMBER * 3 + rb"[ \t]*\r?\n\Z")
_INT32 = (-(2**31), 2**31 - 1)


def read_time_stamps(path: str, name: str
                     ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, Optional[TakeFormatError]]:
    """Reads a TSn.txt line by line.

    Returns the frame numbers, the time stamps (ms, 64-bit: the high word
    times 2**32 plus the low word read as unsigned), each line's byte offset,
    and the fault that ended reading (None when every line was whole).
    """
    frames, stamps, offsets = [], [], []
    fault = None
    offset = 0
    with open_regular(path, name) as file:
        while True:
            line = file.readline(MAX_LINE + 1)
            if not line:
                break
            reason = None
            match = _LINE.match(line)
            if not line.endswith(b"\n"):
                reason = ("line too long" if len(line) > MAX_LINE
                          else "the last line is cut short (no line end)")
            elif match is None:
                reason = "not a line of three whole numbers"
            else:
                frame, high, low = (int(v) for v in match.groups())
                if frame < 0 or not all(_INT32[0] <= v <= _INT32[1] for v in (frame, high, low)):
                    reason = "a number out of range"
            if reason is not None:
                fault = TakeFormatError(name, offset, reason, len(frames), kind="line")
                break
            frames.append(frame)
            stamps.append(high * 2**32 + (low & 0xFFFFFFFF))
            offsets.append(offset)
            offset += len(line)
    return (np.array(frames, dtype=np.int64), np.array(stamps, dtype=np.int64),
            np.array(offsets, dtype=np.int64), fault)


class PointStream:
    """A PCLn.dat, memory-mapped: records of an int32 point count and then
    x, y, z as float32 per point, little-endian, no header.

    Indexing walks the counts once, up to `limit` records; the points of a
    record are then a view of the mapped file.
    """

    def __init__(self, path: str, name: str):
        self.name = name
        self.size, self._map = map_regular(path, name)
        self.offsets = np.zeros(0, dtype=np.int64)
        self.counts = np.zeros(0, dtype=np.int32)
        self.end = 0  # where the indexed records end

    def index(self, limit: int) -> Optional[TakeFormatError]:
        """Indexes up to `limit` records; returns the fault that stopped it, if any."""
        offsets, counts = [], []
        at = 0
        fault = None
        data = self._map
        while at < self.size and len(offsets) < limit:
            left = self.size - at
            if left < 4:
                fault = f"record cut short: {left} bytes after the last whole record"
                break
            count = int.from_bytes(data[at:at + 4], "little", signed=True)
            if count < 0:
                fault = f"negative point count {count}"
                break
            if count > MAX_POINTS:
                fault = f"point count {count} is more than a frame has pixels ({MAX_POINTS})"
                break
            need = 12 * count
            if need > left - 4:
                fault = (f"record cut short: its {count} points need {need} bytes, "
                         f"{left - 4} remain")
                break
            offsets.append(at)
            counts.append(count)
            at += 4 + need
        self.offsets = np.array(offsets, dtype=np.int64)
        self.counts = np.array(counts, dtype=np.int32)
        self.end = at
        if fault is not None:
            return TakeFormatError(self.name, at, fault, len(offsets))
        return None

    def points(self, record: int) -> np.ndarray:
        """The (n, 3) float32 points of an indexed record (a copy)."""
        start = int(self.offsets[record]) + 4
        count = int(self.counts[record])
        return np.frombuffer(self._map, dtype="<f4", count=3 * count,
                             offset=start).reshape(count, 3).astype(np.float32)

    def close(self):
        if self._map is not None:
            self._map.close()
            self._map = None


def list_camera_files(directory: str, prefix: str, suffix: str) -> List[int]:
    """The camera numbers 1 to 4 that have a file prefix + n + suffix."""
    return [n for n in range(1, 5)
            if os.path.lexists(os.path.join(directory, f"{prefix}{n}{suffix}"))]
