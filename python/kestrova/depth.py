"""DEPTHn.dat: a camera's raw depth frames, kept losslessly.

Layout (little-endian): a 16-byte header, ``KVADEPTH``, version (uint16, 1),
width and height (uint16), codec (uint16, 1); then per frame a record of the
take's frame number (int32), the sensor's time stamp (int64, ms), the size n
(uint32) and n bytes of one zstd frame holding width x height uint16 row
differences (per row the first pixel, then each pixel minus its left
neighbour, modulo 2^16).

Record i pairs with line i of the camera's TSn.txt: the same frame number
and time stamp. The index is bounded by the lines, not by the file: a file
of more records is read one record past them.

zstd is reached through the system's libzstd with ctypes, so numpy stays
the only package needed.
"""

import ctypes
import ctypes.util
from typing import Optional

import numpy as np

from .files import TakeFormatError, map_regular

MAGIC = b"KVADEPTH"
HEADER_BYTES = 16
RECORD_HEADER_BYTES = 16
MAX_WIDTH, MAX_HEIGHT = 640, 480

_zstd = None


def _library():
    global _zstd
    if _zstd is None:
        name = ctypes.util.find_library("zstd") or "libzstd.so.1"
        try:
            lib = ctypes.CDLL(name)
        except OSError as error:
            raise RuntimeError(f"reading depth frames needs libzstd ({error})") from None
        lib.ZSTD_getFrameContentSize.restype = ctypes.c_ulonglong
        lib.ZSTD_getFrameContentSize.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        lib.ZSTD_decompress.restype = ctypes.c_size_t
        lib.ZSTD_decompress.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                        ctypes.c_size_t]
        lib.ZSTD_isError.restype = ctypes.c_uint
        lib.ZSTD_isError.argtypes = [ctypes.c_size_t]
        lib.ZSTD_compressBound.restype = ctypes.c_size_t
        lib.ZSTD_compressBound.argtypes = [ctypes.c_size_t]
        lib.ZSTD_getErrorName.restype = ctypes.c_char_p
        lib.ZSTD_getErrorName.argtypes = [ctypes.c_size_t]
        _zstd = lib
    return _zstd


class DepthStream:
    """A DEPTHn.dat, memory-mapped and indexed once against the camera's
    lines: frame numbers, stamps and record offsets of the frames that pair
    with them; a frame's pixels are decoded when asked for, and, with
    `check_pixels`, once each at opening (as ``kestrova-take verify`` does).

    ``fault`` is the first fault found (None when sound); the frames before
    it are kept.
    """

    def __init__(self, path: str, name: str, frames: np.ndarray, stamps: np.ndarray,
                 lines_name: str, check_pixels: bool = True, size=None):
        self.name = name
        self.size, self._map = map_regular(path, name)
        self.fault: Optional[TakeFormatError] = None
        self.frames = np.zeros(0, dtype=np.int64)
        self.stamps = np.zeros(0, dtype=np.int64)
        self._offsets = np.zeros(0, dtype=np.int64)
        self._position = {}
        self.width, self.height = self._read_header()
        if size is not None and (self.width, self.height) != size[:2]:
            self.close()
            raise TakeFormatError(name, 10, f"frames of {self.width} x {self.height}, but {size[2]} "
                                  f"{size[0]} x {size[1]}")
        self._index(frames, stamps, lines_name)
        if check_pixels:
            self._check_pixels()

    def _read_header(self):
        data = self._map
        if self.size < HEADER_BYTES:
            raise TakeFormatError(self.name, 0, "no depth-frame header: the file is shorter than 16 bytes")
        if data[:8] != MAGIC:
            raise TakeFormatError(self.name, 0, "not a depth-frame file (no KVADEPTH at its start)")
        version, width, height, codec = (int(v) for v in np.frombuffer(data, dtype="<u2", count=4, offset=8))
        if version != 1:
            raise TakeFormatError(self.name, 0, f"depth-frame file version {version} (this program reads version 1)")
        if codec != 1:
            raise TakeFormatError(self.name, 0, f"unknown depth-frame codec {codec}")
        if width == 0 or height == 0 or width > MAX_WIDTH or height > MAX_HEIGHT:
            raise TakeFormatError(self.name, 0, f"frame size {width} x {height} is not one a sensor delivers")
        return width, height

    def _record(self, at: int, previous: int):
        """The record at `at`: (frame, stamp, size), or (reason, cut short)."""
        left = self.size - at
        if left < RECORD_HEADER_BYTES:
            return f"record cut short: {left} bytes after the last whole record", True
        head = self._map[at:at + RECORD_HEADER_BYTES]
        if not any(head):
            return ("zero bytes where a record should begin: the file's tail is zero-filled, "
                    "as a crash can leave it"), True
        frame = int.from_bytes(head[0:4], "little", signed=True)
        stamp = int.from_bytes(head[4:12], "little", signed=True)
        size = int.from_bytes(head[12:16], "little")
        if frame < 0:
            return f"negative frame number {frame}", False
        if frame <= previous:
            return f"frame number {frame} does not rise after {previous}", False
        if size == 0:
            return "an empty record: no compressed pixels", False
        if size > _library().ZSTD_compressBound(self.width * self.height * 2):
            return f"compressed size {size} is more than a frame can take", False
        if size > left - RECORD_HEADER_BYTES:
            return (f"record cut short: its pixels need {size} bytes, "
                    f"{left - RECORD_HEADER_BYTES} remain"), True
        return frame, stamp, size

    def _index(self, lines_frames: np.ndarray, lines_stamps: np.ndarray, lines_name: str):
        frames, stamps, offsets = [], [], []
        at, previous = HEADER_BYTES, -1
        lines = len(lines_frames)
        while len(frames) <= lines:
            index = len(frames)
            if at == self.size:
                if index < lines:
                    self.fault = TakeFormatError(
                        self.name, at, f"the file ends after {index} frames, but {lines_name} has "
                        f"{lines} lines", index, cut_short=True)
                break
            record = self._record(at, previous)
            if isinstance(record[0], str):
                self.fault = TakeFormatError(self.name, at, record[0], index, cut_short=record[1])
                break
            frame, stamp, size = record
            if index == lines:
                self.fault = TakeFormatError(self.name, at, f"frame {frame} has no line in {lines_name} "
                                             f"(it has {lines} lines)", index)
                break
            if frame != lines_frames[index] or stamp != lines_stamps[index]:
                self.fault = TakeFormatError(
                    self.name, at, f"frame {frame} stamp {stamp}, but line {index} of {lines_name} has "
                    f"frame {int(lines_frames[index])} stamp {int(lines_stamps[index])}", index)
                break
            frames.append(frame)
            stamps.append(stamp)
            offsets.append(at)
            previous = frame
            at += RECORD_HEADER_BYTES + size
        self._keep(len(frames), frames, stamps, offsets)

    def _keep(self, count, frames=None, stamps=None, offsets=None):
        if frames is not None:
            self.frames = np.array(frames, dtype=np.int64)
            self.stamps = np.array(stamps, dtype=np.int64)
            self._offsets = np.array(offsets, dtype=np.int64)
        self.frames, self.stamps, self._offsets = (self.frames[:count], self.stamps[:count],
                                                   self._offsets[:count])
        self._position = {int(f): i for i, f in enumerate(self.frames)}

    def _check_pixels(self):
        """Decodes every indexed frame once (zstd checks its checksum); the
        first damaged one is the fault, and the frames from it are dropped."""
        out = np.empty(self.width * self.height, dtype=np.uint16)
        for record in range(len(self._offsets)):
            fault = self._decode(record, out)
            if fault is not None:
                self.fault = fault
                self._keep(record)
                return

    def _decode(self, record: int, out: np.ndarray) -> Optional[TakeFormatError]:
        at = int(self._offsets[record])
        size = int.from_bytes(self._map[at + 12:at + 16], "little")
        payload = self._map[at + RECORD_HEADER_BYTES:at + RECORD_HEADER_BYTES + size]
        expected = self.width * self.height * 2
        lib = _library()
        if lib.ZSTD_getFrameContentSize(payload, len(payload)) != expected:
            return TakeFormatError(self.name, at, f"the compressed pixels do not hold one "
                                   f"{self.width} x {self.height} frame", record)
        got = lib.ZSTD_decompress(out.ctypes.data, expected, payload, len(payload))
        if lib.ZSTD_isError(got):
            return TakeFormatError(self.name, at, "the compressed pixels are damaged: "
                                   + lib.ZSTD_getErrorName(got).decode(), record)
        if got != expected:
            return TakeFormatError(self.name, at, "the compressed pixels are damaged: short frame", record)
        return None

    def has_frame(self, frame: int) -> bool:
        return frame in self._position

    def pixels(self, frame: int) -> np.ndarray:
        """The frame's pixels, (height, width) uint16, exactly as the sensor gave them."""
        if frame not in self._position:
            raise KeyError(f"{self.name} has no frame {frame}")
        out = np.empty((self.height, self.width), dtype=np.uint16)
        fault = self._decode(self._position[frame], out)
        if fault is not None:
            raise fault
        return np.cumsum(out, axis=1, dtype=np.uint16)  # row differences, modulo 2^16

    def close(self):
        if self._map is not None:
            self._map.close()
            self._map = None
