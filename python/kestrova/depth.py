"""DEPTHn.dat: a camera's raw depth frames, kept losslessly.

Layout (little-endian): a 16-byte header, ``KVADEPTH``, version (uint16, 1),
width and height (uint16), codec (uint16, 1); then per frame a record of the
take's frame number (int32), the sensor's time stamp (int64, ms), the size n
(uint32) and n bytes of one zstd frame holding width x height uint16 row
differences (per row the first pixel, then each pixel minus its left
neighbour, modulo 2^16).

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
MAX_PIXELS = 640 * 480

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
        _zstd = lib
    return _zstd


class DepthStream:
    """A DEPTHn.dat, memory-mapped and indexed once: frame numbers, stamps
    and record offsets; a frame's pixels are decoded when asked for."""

    def __init__(self, path: str, name: str):
        self.name = name
        self.size, self._map = map_regular(path, name)
        self.fault: Optional[TakeFormatError] = None
        self.frames = np.zeros(0, dtype=np.int64)
        self.stamps = np.zeros(0, dtype=np.int64)
        self._offsets = np.zeros(0, dtype=np.int64)
        self.width, self.height = self._read_header()
        self._index()

    def _read_header(self):
        data = self._map
        if self.size < HEADER_BYTES:
            raise TakeFormatError(self.name, 0, "no depth-frame header: the file is shorter than 16 bytes")
        if data[:8] != MAGIC:
            raise TakeFormatError(self.name, 0, "not a depth-frame file (no KVADEPTH at its start)")
        version, width, height, codec = (int(v) for v in np.frombuffer(data, dtype="<u2", count=4, offset=8))
        if version != 1:
            raise TakeFormatError(self.name, 0, f"depth-frame file version {version} (this reader reads version 1)")
        if codec != 1:
            raise TakeFormatError(self.name, 0, f"unknown depth-frame codec {codec}")
        if width * height == 0 or width * height > MAX_PIXELS:
            raise TakeFormatError(self.name, 0, f"frame size {width} x {height} is not one a sensor delivers")
        return width, height

    def _index(self):
        bound = _library().ZSTD_compressBound(self.width * self.height * 2)
        frames, stamps, offsets = [], [], []
        at = HEADER_BYTES
        data = self._map
        while at < self.size:
            left = self.size - at
            reason = None
            if left < RECORD_HEADER_BYTES:
                reason = f"record cut short: {left} bytes after the last whole record"
            else:
                frame = int.from_bytes(data[at:at + 4], "little", signed=True)
                stamp = int.from_bytes(data[at + 4:at + 12], "little", signed=True)
                size = int.from_bytes(data[at + 12:at + 16], "little")
                if frame < 0:
                    reason = f"negative frame number {frame}"
                elif size > bound:
                    reason = f"compressed size {size} is more than a frame can take"
                elif size > left - RECORD_HEADER_BYTES:
                    reason = (f"record cut short: its pixels need {size} bytes, "
                              f"{left - RECORD_HEADER_BYTES} remain")
            if reason is not None:
                self.fault = TakeFormatError(self.name, at, reason, len(frames))
                break
            frames.append(frame)
            stamps.append(stamp)
            offsets.append(at)
            at += RECORD_HEADER_BYTES + size
        self.frames = np.array(frames, dtype=np.int64)
        self.stamps = np.array(stamps, dtype=np.int64)
        self._offsets = np.array(offsets, dtype=np.int64)
        self._position = {int(f): i for i, f in enumerate(frames)}

    def has_frame(self, frame: int) -> bool:
        return frame in self._position

    def pixels(self, frame: int) -> np.ndarray:
        """The frame's pixels, (height, width) uint16, exactly as the sensor gave them."""
        if frame not in self._position:
            raise KeyError(f"{self.name} has no frame {frame}")
        record = self._position[frame]
        at = int(self._offsets[record])
        size = int.from_bytes(self._map[at + 12:at + 16], "little")
        payload = self._map[at + RECORD_HEADER_BYTES:at + RECORD_HEADER_BYTES + size]
        expected = self.width * self.height * 2
        lib = _library()
        if lib.ZSTD_getFrameContentSize(payload, len(payload)) != expected:
            raise TakeFormatError(self.name, at, f"the compressed pixels do not hold one "
                                  f"{self.width} x {self.height} frame", record)
        out = np.empty((self.height, self.width), dtype=np.uint16)
        got = lib.ZSTD_decompress(out.ctypes.data, expected, payload, len(payload))
        if lib.ZSTD_isError(got) or got != expected:
            raise TakeFormatError(self.name, at, "the compressed pixels are damaged", record)
        return np.cumsum(out, axis=1, dtype=np.uint16)  # row differences, modulo 2^16

    def close(self):
        if self._map is not None:
            self._map.close()
            self._map = None
