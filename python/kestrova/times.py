"""One time table for all cameras of a take.

The cameras' clocks are independent (each counts from its own start): what
ties their frames together is the cycle, the take's frame number. While
recording, the recorder put every camera's stamps on the host's clock and
gave each cycle the frames of one moment on it; a take that keeps that
mapping (``CLOCK.txt``, see :mod:`kestrova.clock`) is read on it.

Takes without a clock file (older ones, replays) are read on the clock of
the take's reference camera, the one with the most frames (the lowest
number among equals). Every other camera's clock is mapped onto it by a
constant offset: the median of the differences of the stamps over the
cycles both have among the first 4096 frames of each (taken in camera
order, against every camera mapped before; a camera that shares no such
cycle is placed by its first frame number at 30 frames per second).

The take time of a cycle (ms since the take's first cycle) is the reference
camera's time of its frame; a cycle the reference missed takes the median
of the other cameras' times. A camera's missed frame stays missing (NaN),
never made up. This is the table ``kestrova-take times`` gives.
"""

from typing import Dict, List, Optional, Sequence

import numpy as np

from .clock import map_frames

NOMINAL_PERIOD_MS = 1000.0 / 30  # only for a camera that shares no cycle with any other
CLOCK_SAMPLE_FRAMES = 4096       # frames of each camera that set its clock's offset


def reference_camera(frames: Dict[int, np.ndarray]) -> int:
    return max(sorted(frames), key=lambda n: (len(frames[n]), -n))


def clock_offsets(frames: Dict[int, np.ndarray], stamps: Dict[int, np.ndarray]) -> Dict[int, float]:
    """Per camera the offset (ms) that maps its clock onto the reference's."""
    reference = reference_camera(frames)
    frames = {n: f[:CLOCK_SAMPLE_FRAMES] for n, f in frames.items()}
    stamps = {n: s[:CLOCK_SAMPLE_FRAMES] for n, s in stamps.items()}
    offsets = {reference: 0.0}
    pending = [n for n in sorted(frames) if n != reference]
    while pending:
        progressed = False
        for n in list(pending):
            differences = []
            for m, offset in offsets.items():
                _, mine, theirs = np.intersect1d(frames[n], frames[m], assume_unique=True,
                                                 return_indices=True)
                differences.extend(stamps[m][theirs] + offset - stamps[n][mine])
            if differences:
                offsets[n] = float(np.median(differences))
                pending.remove(n)
                progressed = True
        if not progressed:
            # Shares no cycle with a mapped camera: place its first frame by the
            # frame numbers at the nominal rate.
            n = pending.pop(0)
            offsets[n] = float(stamps[reference][0] - stamps[n][0]
                               + (frames[n][0] - frames[reference][0]) * NOMINAL_PERIOD_MS)
    return offsets


def time_table_columns(cameras: Sequence[int]) -> List[str]:
    columns = ["frame", "take_time_ms"]
    for n in cameras:
        columns += [f"cam{n}_stamp_ms", f"cam{n}_since_first_ms"]
    return columns


def time_table(frames: Dict[int, np.ndarray], stamps: Dict[int, np.ndarray],
               clock: Optional[Dict[int, np.ndarray]] = None) -> np.ndarray:
    """The table as a float64 array, one row per frame number any camera has,
    with the columns of :func:`time_table_columns`; NaN where a camera has no
    frame. `clock`: the take's clock knots (:func:`kestrova.clock.read_clock`),
    used when it has every camera."""
    cameras = sorted(n for n in frames if len(frames[n]))
    if not cameras:
        return np.zeros((0, len(time_table_columns([]))))
    numbers = np.unique(np.concatenate([frames[n] for n in cameras]))
    on_clock = clock is not None and all(n in clock for n in cameras)
    offsets = clock_offsets({n: frames[n] for n in cameras}, {n: stamps[n] for n in cameras})
    reference = reference_camera({n: frames[n] for n in cameras})
    table = np.full((len(numbers), 2 + 2 * len(cameras)), np.nan)
    table[:, 0] = numbers
    mapped = np.full((len(numbers), len(cameras)), np.nan)
    for k, n in enumerate(cameras):
        rows = np.searchsorted(numbers, frames[n])
        table[rows, 2 + 2 * k] = stamps[n]
        table[rows, 3 + 2 * k] = stamps[n] - stamps[n][0]
        mapped[rows, k] = (map_frames(clock[n], frames[n], stamps[n]) if on_clock
                           else stamps[n] + offsets[n])
    own = mapped[:, cameras.index(reference)]
    cycle = np.where(np.isnan(own), _nan_median(mapped), own)
    table[:, 1] = cycle - cycle[0]
    return table


def _nan_median(values: np.ndarray) -> np.ndarray:
    out = np.full(values.shape[0], np.nan)
    for i, row in enumerate(values):
        row = row[~np.isnan(row)]
        if len(row):
            out[i] = np.median(row)
    return out
