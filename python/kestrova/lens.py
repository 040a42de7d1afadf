"""A take's ``LENS.txt``: each camera's frame size and lens (see the README,
"Take files").

Key-first lines, CR LF: ``#`` starts a comment; a ``camera`` line gives a
camera number (1 to 4) and then names and values, ``width W height H fx FX
fy FY cx CX cy CY`` (pixels). Lines of other keys, and names a reader does
not know on a camera line, are passed over, so later takes may add to the
file. A take without the file (recorded before it existed) has every camera
at the default 320 x 240 frame and its lens.
"""

import math
import os
import re
from dataclasses import dataclass
from typing import Dict, Optional, Tuple

import numpy as np

from .files import TakeFormatError, open_regular

LENS_FILE = "LENS.txt"
MAX_LENS_BYTES = 64 * 1024
MAX_LINE = 1024
MAX_WIDTH, MAX_HEIGHT = 640, 480
_REQUIRED = ("width", "height", "fx", "fy", "cx", "cy")
# A number as the recorder's reader takes it: no sign but a minus, no hex.
_NUMBER = re.compile(rb"-?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


@dataclass(frozen=True)
class Intrinsics:
    """A camera's frames: their size, and the pinhole lens that made them,
    in pixels. The pixel at column u and row v with depth z (PCL units, as
    the recorder converts it) is the point ((u - cx) / fx * z, (cy - v) / fy
    * z, z), y growing upwards; OpenCV and Open3D take the same numbers with
    y growing downwards."""

    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float

    @property
    def matrix(self) -> np.ndarray:
        """The 3 x 3 camera matrix [[fx, 0, cx], [0, fy, cy], [0, 0, 1]]."""
        return np.array([[self.fx, 0.0, self.cx], [0.0, self.fy, self.cy], [0.0, 0.0, 1.0]])


# The default frame: 320 x 240, the inverse focal length 0.003501 held as a float.
DEFAULT_INTRINSICS = Intrinsics(320, 240, 1.0 / float(np.float32(0.003501)),
                                1.0 / float(np.float32(0.003501)), 160.0, 120.0)


def _number(word: bytes) -> Optional[float]:
    if not _NUMBER.fullmatch(word):
        return None
    value = float(word)
    if not math.isfinite(value):
        return None
    if value == 0 and re.search(rb"[1-9]", word.split(b"e")[0].split(b"E")[0]):
        return None  # too small to hold: out of range, as for the recorder
    return value


def _camera_line(words) -> Tuple[Optional[str], int, Optional[Intrinsics]]:
    """(the fault's reason or None, the camera number, its intrinsics)."""
    number = _number(words[1]) if len(words) > 1 else None
    if number is None or not 1 <= number <= 4 or number != math.floor(number):
        return "a camera line must name a camera 1 to 4", 0, None
    if len(words) % 2 != 0:
        return "a name without its value", 0, None
    name_of = words[1].decode("latin-1")
    values: Dict[str, float] = {}
    for key, text in zip(words[2::2], words[3::2]):
        key = key.decode("latin-1")
        value = _number(text)
        if value is None:
            return f"{key} is not a number: '{text.decode('latin-1')}'", 0, None
        if key in values:
            return f"{key} is given twice", 0, None
        values[key] = value
    for key in _REQUIRED:
        if key not in values:
            return f"camera {name_of} has no {key}", 0, None
    width, height = values["width"], values["height"]
    if (width != math.floor(width) or height != math.floor(height) or width < 1 or height < 1
            or width > MAX_WIDTH or height > MAX_HEIGHT):
        texts = {k.decode("latin-1"): v.decode("latin-1") for k, v in zip(words[2::2], words[3::2])}
        return (f"camera {name_of}: frames of {texts['width']} x {texts['height']} pixels are not ones a "
                "sensor delivers"), 0, None
    if not (values["fx"] > 0 and values["fy"] > 0):
        return f"camera {name_of}: a lens without finite, positive focal lengths", 0, None
    return None, int(number), Intrinsics(int(width), int(height), values["fx"], values["fy"], values["cx"],
                                         values["cy"])


def parse_lens(data: bytes) -> Dict[int, Intrinsics]:
    """The cameras a lens file lists; raises TakeFormatError as the recorder's reader would."""
    cameras: Dict[int, Intrinsics] = {}
    start = 0
    index = 0
    while start < len(data):
        end = data.find(b"\n", start)

        def fault(reason):
            return TakeFormatError(LENS_FILE, start, reason, index, kind="line")

        if end < 0:
            raise fault("the last line is cut short (no line end)")
        line = data[start:end]
        if len(line) > MAX_LINE:
            raise fault("a line longer than a lens file has")
        words = line.split()
        if words and words[0] == b"camera":
            reason, number, intrinsics = _camera_line(words)
            if reason is not None:
                raise fault(reason)
            if number in cameras:
                raise fault(f"camera {number} is given twice")
            cameras[number] = intrinsics
        start, index = end + 1, index + 1
    return cameras


def read_lens(take_dir: str) -> Optional[Dict[int, Intrinsics]]:
    """The cameras of the take's LENS.txt; None when the take has none."""
    path = os.path.join(take_dir, LENS_FILE)
    if not os.path.lexists(path):
        return None
    with open_regular(path, LENS_FILE) as file:
        data = file.read(MAX_LENS_BYTES + 1)
    if len(data) > MAX_LENS_BYTES:
        raise TakeFormatError(LENS_FILE, 0, "larger than a lens file (64 KiB)")
    return parse_lens(data)
