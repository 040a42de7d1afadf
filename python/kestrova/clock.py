"""A take's clock file, ``CLOCK.txt``: where the recorder put each camera's
frames on one host clock while recording (see the README, "Take files").

Knots ``camera frame stamp_ms host_ms`` (host ms since the take's first
cycle); a camera's frame maps linearly from the knot at or before its frame
number at the rate of that knot and the next (before the first knot and
after the last, the nearest pair's rate); with one knot alone, or a rate
outside 0.5 to 2 (a clock that was reset), stamps count as host
milliseconds. The same mapping ``kestrova-take times`` uses.
"""

import os
from typing import Dict, Optional

import numpy as np

from .files import TakeFormatError, open_regular

CLOCK_FILE = "CLOCK.txt"
MAX_CLOCK_LINE = 96
MAX_CLOCK_KNOTS = 1 << 20
_SLOWEST_RATE, _FASTEST_RATE = 0.5, 2.0


def read_clock(take_dir: str) -> Optional[Dict[int, np.ndarray]]:
    """Per camera number its knots as an (n, 3) float64 array of frame,
    stamp and host ms; None when the take has no clock file. Raises
    TakeFormatError for a damaged one."""
    path = os.path.join(take_dir, CLOCK_FILE)
    if not os.path.lexists(path):
        return None
    knots: Dict[int, list] = {}
    total = 0
    offset = 0
    with open_regular(path, CLOCK_FILE) as file:
        for index, raw in enumerate(iter(lambda: file.readline(MAX_CLOCK_LINE + 1), b"")):
            start, offset = offset, offset + len(raw)
            if len(raw) > MAX_CLOCK_LINE or not raw.endswith(b"\n"):
                raise TakeFormatError(CLOCK_FILE, start, "a line cut short or longer than a knot", index,
                                      kind="line")
            line = raw.rstrip(b"\r\n")
            if line.startswith(b"#"):
                continue
            parts = line.split(b" ")
            try:
                if len(parts) != 4:
                    raise ValueError
                camera, frame, stamp = int(parts[0]), int(parts[1]), int(parts[2])
                host = float(parts[3])
                if not 1 <= camera <= 4 or not 0 <= frame <= 0x7FFFFFFF or not np.isfinite(host):
                    raise ValueError
            except ValueError:
                raise TakeFormatError(CLOCK_FILE, start, "not a knot (camera frame stamp host_ms)", index,
                                      kind="line") from None
            mine = knots.setdefault(camera, [])
            if mine and frame <= mine[-1][0]:
                raise TakeFormatError(CLOCK_FILE, start, f"camera {camera}'s frame numbers do not rise",
                                      index, kind="line")
            total += 1
            if total > MAX_CLOCK_KNOTS:
                raise TakeFormatError(CLOCK_FILE, start, "more knots than any take has", index, kind="line")
            mine.append((frame, stamp, host))
    return {n: np.array(k, dtype=np.float64) for n, k in knots.items()}


def map_frames(knots: np.ndarray, frames: np.ndarray, stamps: np.ndarray) -> np.ndarray:
    """The host times (ms since the take's first cycle) of a camera's frames."""
    frames = np.asarray(frames, dtype=np.float64)
    stamps = np.asarray(stamps, dtype=np.float64)
    count = len(knots)
    start = np.searchsorted(knots[:, 0], frames, side="right") - 1
    start = np.clip(start, 0, max(count - 2, 0))
    a = knots[start]
    rate = np.ones(len(frames))
    if count > 1:
        b = knots[start + 1]
        span = b[:, 1] - a[:, 1]
        with np.errstate(divide="ignore", invalid="ignore"):
            pair = (b[:, 2] - a[:, 2]) / span
        usable = (span > 0) & (pair >= _SLOWEST_RATE) & (pair <= _FASTEST_RATE)
        rate = np.where(usable, pair, 1.0)
    return a[:, 2] + (stamps - a[:, 1]) * rate
