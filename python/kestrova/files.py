"""Readers of a take's per-camera files, for untrusted input.

Every reader opens regular files only, reads by the format (a line of a few
dozen characters, a record of at most one frame's pixels), never loads a
file whole, and raises TakeFormatError naming the file, the line or record
and the byte offset of the first fault.
"""

import mmap
import os
import stat
from typing import Optional, Tuple

import numpy as np

MAX_POINTS = 640 * 480  # a camera frame has no more points than the largest frame has pixels
MAX_LINE = 64  # a time-stamp line is "frame high low " and CR LF: at most 38 characters


class TakeFormatError(ValueError):
    """A take file does not hold what the format says.

    ``file`` is the file's name within the take, ``item`` the line or record
    number (from 0, or None), ``offset`` the byte where it starts. The text
    is the one ``kestrova-take verify`` prints for the same fault.
    """

    def __init__(self, file: str, offset: int, reason: str, item: Optional[int] = None,
                 kind: str = "record", cut_short: bool = False):
        self.file, self.offset, self.reason, self.item = file, offset, reason, item
        #: The file's whole lines or records end here and nothing sound
        #: follows: its tail was cut short or zero-filled, as a crash leaves it.
        self.cut_short = cut_short
        where = f"{kind} {item} at byte {offset}" if item is not None else f"byte {offset}"
        super().__init__(f"{file}: {where}: {reason}")


class TakeWarning(UserWarning):
    """A fault that ``open_take(..., strict=False)`` went past: the text of
    the TakeFormatError that strict opening raises."""


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


_INT32 = (-(2**31), 2**31 - 1)


def _integer(line: bytes, at: int):
    """One decimal integer at `at` after blanks, as the recorder's reader
    takes it (a sign, 1 to 12 digits): (value, next position) or None."""
    while at < len(line) and line[at] in b" \t":
        at += 1
    start = at
    if at < len(line) and line[at] in b"+-":
        at += 1
    digits = at
    while at < len(line) and 48 <= line[at] <= 57:
        at += 1
        if at - digits > 12:
            return None
    if at == digits:
        return None
    return int(line[start:at]), at


def parse_time_stamp_line(line: bytes):
    """The three numbers of one line (without its LF), or the reason it is none."""
    if line.endswith(b"\r"):
        line = line[:-1]
    at, numbers = 0, []
    for _ in range(3):
        taken = _integer(line, at)
        if taken is None:
            return "not a line of three whole numbers"
        value, at = taken
        numbers.append(value)
    while at < len(line) and line[at] in b" \t":
        at += 1
    if at != len(line):
        return "more than three numbers on the line"
    frame, high, low = numbers
    if frame < 0 or frame > _INT32[1] or not all(_INT32[0] <= v <= _INT32[1] for v in (high, low)):
        return "a number out of range"
    return numbers


def read_time_stamps(path: str, name: str
                     ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, Optional[TakeFormatError]]:
    """Reads a TSn.txt line by line: three integers, CR LF or LF, frame
    numbers rising.

    Returns the frame numbers, the time stamps (ms, 64-bit: the high word
    times 2**32 plus the low word read as unsigned), each line's byte offset,
    and the fault that ended reading (None when every line was whole).
    """
    frames, stamps, offsets = [], [], []
    fault = None
    offset = 0
    previous = -1
    with open_regular(path, name) as file:
        while True:
            line = file.readline(MAX_LINE + 1)
            if not line:
                break
            cut = False
            if not line.endswith(b"\n"):
                if len(line) > MAX_LINE:
                    reason = f"a line longer than {MAX_LINE} bytes: not a line of three whole numbers"
                else:
                    reason, cut = "the last line is cut short (no line end)", True
            else:
                reason = parse_time_stamp_line(line[:-1])
                if not isinstance(reason, str):
                    frame, high, low = reason
                    reason = (None if frame > previous
                              else f"frame number {frame} does not rise after {previous}")
            if reason is not None:
                fault = TakeFormatError(name, offset, reason, len(frames), kind="line", cut_short=cut)
                break
            previous = frame
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
        cut = False
        while at < self.size and len(offsets) < limit:
            left = self.size - at
            if left < 4:
                fault, cut = f"record cut short: {left} bytes after the last whole record", True
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
                cut = True
                break
            offsets.append(at)
            counts.append(count)
            at += 4 + need
        self.offsets = np.array(offsets, dtype=np.int64)
        self.counts = np.array(counts, dtype=np.int32)
        self.end = at
        if fault is not None:
            return TakeFormatError(self.name, at, fault, len(offsets), cut_short=cut)
        return None

    def first_not_finite(self) -> Optional[TakeFormatError]:
        """The first coordinate of the indexed records that is not a number
        or infinite, as a fault; read in slices, never the file at once."""
        starts = self.offsets + 4
        ends = starts + 12 * self.counts.astype(np.int64)
        for first in range(0, len(starts), 4096):
            last = min(first + 4096, len(starts))
            begin, end = int(starts[first]), int(ends[last - 1])
            if end <= begin:
                continue
            # The slice holds point counts too; as floats they are small and finite.
            values = np.frombuffer(self._map, dtype="<f4", count=(end - begin) // 4, offset=begin)
            bad = np.flatnonzero(~np.isfinite(values))
            if len(bad) == 0:
                continue
            at = begin + 4 * int(bad[0])
            record = first + int(np.searchsorted(ends[first:last], at, side="right"))
            point = (at - int(starts[record])) // 4
            return TakeFormatError(self.name, at, f"coordinate {'xyz'[point % 3]} of point {point // 3} "
                                   "is not finite", record)
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
