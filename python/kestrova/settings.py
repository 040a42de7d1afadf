"""The settings file layout (KVA_Params.txt, a take's RECPARAM.txt).

Ten text lines, read by position alone, as the recorder reads them:

1. ``TIME: <24-character time text>``; 2. one space (both ignored);
3. ``CAL: <calibration>``; 4. ``CAM: <enabled 1> <2> <3> <4>``;
5. ``ROI: <xMin> <xMax> <yMin> <yMax> <zMin> <zMax>``;
6. ``RESOLUTION: <points per m>``;
7 to 10. ``CAMn: <x> <y> <z> <rx> <ry> <rz> <r> <g> <b> <maxDepth>``.

The first word of each value line is skipped unread; values are then taken
in turn until one does not parse, and the rest of that line keeps its
defaults. A missing line yields nothing. Lines are cut at 1023 characters.
"""

import math
import re
from dataclasses import dataclass, field
from typing import List

import numpy as np

LINE_COUNT = 10
LINE_LIMIT = 1023

# What C's strtof and strtol accept after leading white space.
_FLOAT = re.compile(
    rb"[ \t\n\v\f\r]*([+-]?(?:"
    rb"0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)(?:[pP][+-]?[0-9]+)?"
    rb"|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
    rb"|[iI][nN][fF](?:[iI][nN][iI][tT][yY])?"
    rb"|[nN][aA][nN](?:\([0-9A-Za-z_]*\))?))"
)
_INT = re.compile(rb"[ \t\n\v\f\r]*([+-]?[0-9]+)")
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


def _to_float32(token: bytes) -> float:
    text = token.decode("ascii")
    sign = -1.0 if text.startswith("-") else 1.0
    body = text.lstrip("+-")
    low = body.lower()
    if low.startswith("inf"):
        value = sign * math.inf
    elif low.startswith("nan"):
        value = math.nan
    elif low.startswith("0x"):
        mantissa = body[2:]
        if "p" not in mantissa.lower():
            mantissa += "p0"
        value = sign * float.fromhex("0x" + mantissa)
    else:
        value = sign * float(body)
    with np.errstate(over="ignore"):
        return float(np.float32(value))


class _LineValues:
    """Takes the values of one line as "%*s %f %d ..." would."""

    def __init__(self, line: bytes):
        self._line = line
        words = re.match(rb"[ \t\n\v\f\r]*[^ \t\n\v\f\r]+", line)
        self._at = words.end() if words else 0
        self.failed = words is None

    def _take(self, pattern):
        if self.failed:
            return None
        match = pattern.match(self._line, self._at)
        if match is None:
            self.failed = True
            return None
        self._at = match.end()
        return match.group(1)

    def float(self, default: float) -> float:
        token = self._take(_FLOAT)
        return default if token is None else _to_float32(token)

    def int(self, default: int) -> int:
        token = self._take(_INT)
        return default if token is None else max(_INT_MIN, min(_INT_MAX, int(token)))


@dataclass
class CameraSetting:
    """One camera's pose (cm, degrees), preview colour and depth limit (%)."""

    x: float
    y: float
    z: float
    rx: float
    ry: float
    rz: float
    r: int
    g: int
    b: int
    max_depth: float

    @property
    def colour(self):
        """The colour the preview draws: the low 8 bits of each part."""
        return (self.r & 0xFF, self.g & 0xFF, self.b & 0xFF)


def default_cameras() -> List[CameraSetting]:
    return [
        CameraSetting(3, 0, -70, 17, -2, -2, 255, 255, 0, 15),
        CameraSetting(78.5, 1, -4.5, 16, -90, 0, 0, 255, 0, 15),
        CameraSetting(-85.5, 1, -9.5, 14.5, 90, 0, 0, 255, 255, 15),
        CameraSetting(-5, 0, 65.5, 15, 179, 1, 0, 0, 255, 15),
    ]


@dataclass
class Settings:
    """Every value of a settings file; missing values keep the defaults."""

    time: str = ""
    calibration: float = float(np.float32(0.0012))
    camera_enabled: List[int] = field(default_factory=lambda: [1, 0, 0, 0])
    x_min: float = -29.0
    x_max: float = 26.0
    y_min: float = -41.0
    y_max: float = -4.0
    z_min: float = -22.0
    z_max: float = 13.0
    resolution: float = 100.0
    cameras: List[CameraSetting] = field(default_factory=default_cameras)
    lines_read: int = 0

    @property
    def roi(self):
        """The region of interest in cm: (xMin, xMax, yMin, yMax, zMin, zMax)."""
        return (self.x_min, self.x_max, self.y_min, self.y_max, self.z_min, self.z_max)


def split_lines(data: bytes) -> List[bytes]:
    """The first ten lines, each cut at 1023 characters (LF or CR LF)."""
    lines = []
    start = 0
    while start < len(data) and len(lines) < LINE_COUNT:
        end = data.find(b"\n", start)
        if end < 0:
            end = len(data)
        lines.append(data[start:min(end, start + LINE_LIMIT)])
        start = end + 1
    return lines


def parse_settings(data: bytes) -> Settings:
    """Parses the text of a settings file as the recorder does."""
    lines = split_lines(data)
    s = Settings()
    s.lines_read = len(lines)

    def line(index: int) -> bytes:
        return lines[index] if index < len(lines) else b""

    first = line(0).rstrip(b"\r")
    if first.startswith(b"TIME: "):
        s.time = first[6:].decode("utf-8", "replace")
    s.calibration = _LineValues(line(2)).float(s.calibration)
    values = _LineValues(line(3))
    s.camera_enabled = [values.int(v) for v in s.camera_enabled]
    values = _LineValues(line(4))
    (s.x_min, s.x_max, s.y_min, s.y_max, s.z_min, s.z_max) = [
        values.float(v) for v in s.roi
    ]
    s.resolution = _LineValues(line(5)).float(s.resolution)
    for n, c in enumerate(s.cameras):
        values = _LineValues(line(6 + n))
        c.x, c.y, c.z, c.rx, c.ry, c.rz = [values.float(v) for v in (c.x, c.y, c.z, c.rx, c.ry, c.rz)]
        c.r, c.g, c.b = [values.int(v) for v in (c.r, c.g, c.b)]
        c.max_depth = values.float(c.max_depth)
    return s


_NUMBERS_AFTER_LABEL = [None, None, 1, 4, 6, 1, 10, 10, 10, 10]


def numbers_after_label(line: bytes) -> int:
    """The count of numbers after the line's first word, or -1 when anything
    else follows it (or no word is there), as the take checker counts them."""
    line = line.split(b"\0", 1)[0]  # the checker reads the line as a C string
    at = 0
    while at < len(line) and line[at] in b" \t":
        at += 1
    if at == len(line) or line[at:at + 1] == b"\r":
        return -1
    while at < len(line) and line[at] not in b" \t\r":
        at += 1
    count = 0
    while True:
        while at < len(line) and line[at] in b" \t\r":
            at += 1
        if at == len(line):
            return count
        match = _FLOAT.match(line, at)
        if match is None:
            return -1
        at = match.end()
        count += 1


def settings_lines(file) -> List[tuple]:
    """The first ten lines of an open settings file with their byte offsets,
    each cut at 1023 characters (the rest of a longer line is read past),
    and the offset where reading stopped."""
    lines, line, start, offset = [], bytearray(), 0, 0
    while len(lines) < LINE_COUNT:
        chunk = file.read(65536)
        if not chunk:
            break
        at = 0
        while at < len(chunk) and len(lines) < LINE_COUNT:
            newline = chunk.find(b"\n", at)
            stop = len(chunk) if newline < 0 else newline
            room = LINE_LIMIT - len(line)
            if room > 0:
                line += chunk[at:min(stop, at + room)]
            if newline < 0:
                offset += len(chunk) - at
                at = len(chunk)
            else:
                offset += newline + 1 - at
                at = newline + 1
                lines.append((bytes(line), start))
                line, start = bytearray(), offset
    if line and len(lines) < LINE_COUNT:
        lines.append((bytes(line), start))
    return lines, offset


def settings_fault(lines: List[tuple], end: int):
    """Why the lines are not a take's settings snapshot, as (offset, reason),
    or None: each value line must be a label and its count of numbers."""
    if not lines:
        return 0, "empty: the take's settings are unknown"
    for i in range(2, LINE_COUNT):
        present = i < len(lines)
        count = _NUMBERS_AFTER_LABEL[i]
        if present and numbers_after_label(lines[i][0]) == count:
            continue
        return (lines[i][1] if present else end,
                f"line {i + 1} is not a label and {count} number{'' if count == 1 else 's'}: "
                "the take's settings are unknown")
    return None
