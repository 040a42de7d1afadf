"""A take directory: its settings, and per camera its frames."""

import math
import os
import sys
import warnings
from dataclasses import dataclass
from typing import Dict, Iterator, List, Optional

import numpy as np

from .clock import map_frames, read_clock
from .depth import DepthStream
from .files import PointStream, TakeFormatError, TakeWarning, open_regular, read_time_stamps
from .lens import DEFAULT_INTRINSICS, LENS_FILE, Intrinsics, read_lens
from .settings import Settings, parse_settings, settings_fault, settings_lines
from .times import time_table, time_table_columns
from .version import TakeVersion, read_version

SETTINGS_FILE = "RECPARAM.txt"
_PACKAGE = os.path.dirname(os.path.abspath(__file__))


@dataclass
class CameraFrames:
    """One camera's frames: line i of TSn.txt pairs with record i of PCLn.dat."""

    number: int
    frames: np.ndarray      # the take's frame numbers, rising
    stamps: np.ndarray      # the sensor's time stamps, ms
    stream: PointStream
    position: Dict[int, int]  # frame number -> line and record index
    depth: Optional[DepthStream] = None  # DEPTHn.dat, where the take kept depth frames


@dataclass
class Frame:
    """One frame number of the take, across the cameras that recorded it."""

    number: int
    stamps: Dict[int, int]         # camera -> sensor time stamp, ms
    points: Dict[int, np.ndarray]  # camera -> (n, 3) float32


class Take:
    """A take recorded by Kestrova. Open it with :func:`open_take`.

    Points are in PCL units unless asked for in centimetres (a coordinate
    divided by the take's calibration). Frames are addressed by the take's
    frame number, the first column of ``TSn.txt``.

    Opening reads every file once and checks what ``kestrova-take verify``
    checks, with the same texts: each camera's lines and records, paired;
    finite coordinates; its depth frames paired with its lines by frame
    number and time stamp and, with `check_pixels`, each decompressed once.
    """

    def __init__(self, path: str, strict: bool = True, check_pixels: bool = True):
        self.path = os.fspath(path)
        if not os.path.isdir(self.path):
            raise FileNotFoundError(f"{self.path}: not a directory")
        self._strict = strict
        #: Faults found while opening; with strict=True the first one is raised.
        self.faults: List[TakeFormatError] = []
        self.settings, has_settings = self._read_settings()
        self._lens, self._lens_sound = self._read_lens()
        self._cameras: Dict[int, CameraFrames] = {}
        numbers = self._take_cameras(has_settings)
        for number in numbers:
            self._open_camera(number, check_pixels)
        if has_settings and not numbers:
            self._check_something_was_recorded()
        self._clock = self._read_clock()
        #: Which build wrote the take (:class:`TakeVersion`, the take's
        #: ``VERSION.txt``); None for a take without one (made before takes
        #: recorded their version) or, with strict=False, a damaged one.
        self.version: Optional[TakeVersion] = self._read_version()

    # --- the take as a whole

    @property
    def calibration(self) -> float:
        """PCL units per centimetre (the ``CAL:`` value)."""
        return self.settings.calibration

    @property
    def cameras(self) -> List[int]:
        """The numbers (1 to 4) of the cameras this take holds."""
        return sorted(self._cameras)

    @property
    def poses(self) -> Dict[int, tuple]:
        """Per camera (x, y, z) in cm and (rx, ry, rz) in degrees, as typed."""
        return {n: ((c.x, c.y, c.z), (c.rx, c.ry, c.rz))
                for n, c in enumerate(self.settings.cameras, start=1)}

    def pose_matrix(self, camera: int, units: str = "pcl") -> np.ndarray:
        """The 4 x 4 transform from camera coordinates into the common frame:
        T(x, y, z) . Rz(rz) . Ry(ry) . Rx(rx). The translation is in `units`:
        "pcl" (the default) gives PCL units, those of :meth:`points`, so the
        matrix applies to camera coordinates in PCL units; "cm" gives cm."""
        c = self.settings.cameras[camera - 1]
        scale = self._scale(units, inverse=True)
        rx, ry, rz = (math.radians(a) for a in (c.rx, c.ry, c.rz))

        def rot(axis, angle):
            m = np.eye(3)
            i, j = [(1, 2), (0, 2), (0, 1)][axis]
            cos, sin = math.cos(angle), math.sin(angle)
            m[i, i] = m[j, j] = cos
            m[i, j], m[j, i] = (-sin, sin) if axis != 1 else (sin, -sin)
            return m

        m = np.eye(4)
        m[:3, :3] = rot(2, rz) @ rot(1, ry) @ rot(0, rx)
        m[:3, 3] = np.array([c.x, c.y, c.z]) * scale
        return m

    def frame_range(self) -> np.ndarray:
        """Every frame number any camera has, rising."""
        if not self._cameras:
            return np.zeros(0, dtype=np.int64)
        return np.unique(np.concatenate([c.frames for c in self._cameras.values()]))

    def time_table(self) -> np.ndarray:
        """The take's time table (see :mod:`kestrova.times`): one row per frame
        number, columns ``time_table_columns()``, NaN where a camera has no
        frame. The same table as ``kestrova-take times``."""
        return time_table({n: c.frames for n, c in self._cameras.items()},
                          {n: c.stamps for n, c in self._cameras.items()}, self._clock)

    def time_table_columns(self) -> List[str]:
        return time_table_columns(self.cameras)

    # --- per camera

    def frame_numbers(self, camera: int) -> np.ndarray:
        """The camera's frame numbers (int64), rising; a missed frame is absent."""
        return self._camera(camera).frames.copy()

    def time_stamps(self, camera: int) -> np.ndarray:
        """The sensor's time stamps (int64, ms) of the camera's frames, in order."""
        return self._camera(camera).stamps.copy()

    def host_times(self, camera: int) -> Optional[np.ndarray]:
        """When the camera took each of its frames, on the recorder's clock
        (float64, ms since the take's first cycle), from the take's
        ``CLOCK.txt``; None for a take without one (older takes, replays)."""
        frames = self._camera(camera)
        if self._clock is None or camera not in self._clock:
            return None
        return map_frames(self._clock[camera], frames.frames, frames.stamps)

    def point_counts(self, camera: int) -> np.ndarray:
        """Points per frame of the camera, in frame order."""
        return self._camera(camera).stream.counts.astype(np.int64)

    def has_frame(self, camera: int, frame: int) -> bool:
        return frame in self._camera(camera).position

    def points(self, camera: int, frame: int, units: str = "pcl") -> np.ndarray:
        """The (n, 3) float32 points of the camera's frame, by frame number.

        `units` is "pcl" (as stored) or "cm" (divided by the calibration).
        KeyError when the camera has no such frame.
        """
        c = self._camera(camera)
        if frame not in c.position:
            raise KeyError(f"camera {camera} has no frame {frame}")
        self._scale(units)  # refuses unknown units
        xyz = c.stream.points(c.position[frame])
        if units == "pcl":
            return xyz
        return xyz / np.float32(self.calibration)

    def intrinsics(self, camera: int) -> Intrinsics:
        """The camera's frame size and lens (pixels), from the take's
        ``LENS.txt``; a take recorded before it existed has the default
        320 x 240 frame and its lens."""
        self._camera(camera)
        if self._lens is not None and camera in self._lens:
            return self._lens[camera]
        return DEFAULT_INTRINSICS

    def depth(self, camera: int, frame: int) -> Optional[np.ndarray]:
        """The camera's raw depth frame as a (height, width) uint16 array
        (the sensor's 16 bits: depth in mm in bits 3 to 15; the size is the
        camera's, :meth:`intrinsics`), by frame number; None when the take
        kept no depth frames. KeyError when it has no such frame."""
        stream = self._camera(camera).depth
        return None if stream is None else stream.pixels(frame)

    def depth_frame_numbers(self, camera: int) -> Optional[np.ndarray]:
        """The frame numbers of the camera's kept depth frames, or None."""
        stream = self._camera(camera).depth
        return None if stream is None else stream.frames.copy()

    # --- across cameras

    def frames(self, units: str = "pcl", cameras: Optional[List[int]] = None) -> Iterator[Frame]:
        """Iterates the take's frame numbers in order, each with the points and
        time stamps of the cameras that recorded it."""
        chosen = self.cameras if cameras is None else [self._camera(n).number for n in cameras]
        for number in self.frame_range():
            number = int(number)
            present = [n for n in chosen if number in self._cameras[n].position]
            if not present:
                continue
            yield Frame(number,
                        {n: int(self._cameras[n].stamps[self._cameras[n].position[number]])
                         for n in present},
                        {n: self.points(n, number, units) for n in present})

    def to_open3d(self, camera: int, frame: int, units: str = "pcl", colour: bool = True):
        """The frame as an ``open3d.geometry.PointCloud``, in the camera's
        preview colour unless `colour` is false (needs Open3D)."""
        import open3d  # optional: only this call needs it

        cloud = open3d.geometry.PointCloud()
        cloud.points = open3d.utility.Vector3dVector(self.points(camera, frame, units).astype(np.float64))
        if colour:
            rgb = np.array(self.settings.cameras[camera - 1].colour, dtype=np.float64) / 255.0
            cloud.paint_uniform_color(rgb)
        return cloud

    def close(self):
        for c in self._cameras.values():
            c.stream.close()
            if c.depth is not None:
                c.depth.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return (f"<kestrova.Take {self.path!r}: cameras {self.cameras}, "
                f"calibration {self.calibration:g}>")

    # --- opening

    def _fault(self, fault: TakeFormatError):
        if self._strict:
            raise fault
        self.faults.append(fault)
        # Shown where the user's code opened the take.
        level, frame = 2, sys._getframe(1)
        while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE:
            frame, level = frame.f_back, level + 1
        warnings.warn(str(fault), TakeWarning, stacklevel=level)

    def _read_settings(self):
        """The take's settings and whether RECPARAM.txt held them."""
        path = os.path.join(self.path, SETTINGS_FILE)
        if not os.path.lexists(path):
            self._fault(TakeFormatError(SETTINGS_FILE, 0, "missing"))
            return Settings(), False
        try:
            with open_regular(path, SETTINGS_FILE) as file:
                lines, end = settings_lines(file)
        except TakeFormatError as fault:
            self._fault(fault)
            return Settings(), False
        problem = settings_fault(lines, end)
        if problem is not None:
            self._fault(TakeFormatError(SETTINGS_FILE, *problem))
            return Settings(), False
        return parse_settings(b"\n".join(line for line, _ in lines) + b"\n"), True

    def _read_lens(self):
        """The cameras of LENS.txt (None without one), and whether it read soundly."""
        try:
            return read_lens(self.path), True
        except TakeFormatError as fault:
            self._fault(fault)
            return None, False

    def _read_clock(self):
        try:
            return read_clock(self.path)
        except TakeFormatError as fault:
            self._fault(fault)
            return None

    def _read_version(self) -> Optional[TakeVersion]:
        try:
            return read_version(self.path)
        except TakeFormatError as fault:
            self._fault(fault)
            return None

    def _take_cameras(self, has_settings: bool) -> List[int]:
        """The cameras the settings enable (every one when they are unknown)
        that left files. Files of cameras the settings do not enable belong
        to an older take; an enabled camera without files had no sensor."""
        numbers = []
        for n in range(1, 5):
            files = [os.path.lexists(os.path.join(self.path, f"{kind}{n}{end}"))
                     for kind, end in (("PCL", ".dat"), ("TS", ".txt"))]
            in_take = self.settings.camera_enabled[n - 1] != 0 if has_settings else True
            if in_take and any(files):
                numbers.append(n)
        return numbers

    def _check_something_was_recorded(self):
        enabled = [str(n) for n in range(1, 5) if self.settings.camera_enabled[n - 1] != 0]
        if enabled:
            self._fault(TakeFormatError(SETTINGS_FILE, 0, f"enables camera {', '.join(enabled)}, but no "
                                        "camera of the take has files: nothing was recorded"))

    def _open_camera(self, number: int, check_pixels: bool):
        ts_name, pcl_name = f"TS{number}.txt", f"PCL{number}.dat"
        faults_before = len(self.faults)
        missing = False
        for name in (ts_name, pcl_name):
            if not os.path.lexists(os.path.join(self.path, name)):
                self._fault(TakeFormatError(name, 0, "missing"))
                missing = True
        if self._lens is not None and number not in self._lens:
            self._fault(TakeFormatError(LENS_FILE, 0, f"no line for camera {number}, which has files"))
        if missing:
            return  # a camera needs both to be read
        try:
            frames, stamps, line_offsets, fault = read_time_stamps(os.path.join(self.path, ts_name), ts_name)
            stream = PointStream(os.path.join(self.path, pcl_name), pcl_name)
        except TakeFormatError as fault:
            self._fault(fault)
            return
        if fault is not None:
            self._fault(fault)
        # Bounded by the lines: one record past them is enough to tell.
        fault = stream.index(len(frames) + 1)
        if fault is not None:
            self._fault(fault)
        fault = stream.first_not_finite()
        if fault is not None:
            self._fault(fault)
        lines, records = len(frames), len(stream.offsets)
        if len(self.faults) == faults_before and lines != records:
            counts = f"{pcl_name} has {records} whole records, {ts_name} {lines} lines"
            if lines > records:
                self._fault(TakeFormatError(ts_name, int(line_offsets[records]),
                                            f"no record for this line ({counts})", records, kind="line"))
            else:
                self._fault(TakeFormatError(pcl_name, int(stream.offsets[lines]),
                                            f"no line for this record ({counts})", lines))
        paired = min(lines, records)
        frames, stamps = frames[:paired], stamps[:paired]
        stream.offsets, stream.counts = stream.offsets[:paired], stream.counts[:paired]
        position = {int(f): i for i, f in enumerate(frames)}
        self._cameras[number] = CameraFrames(number, frames, stamps, stream, position,
                                             self._open_depth(number, frames, stamps, check_pixels))

    def _open_depth(self, number: int, frames: np.ndarray, stamps: np.ndarray,
                    check_pixels: bool) -> Optional[DepthStream]:
        name = f"DEPTH{number}.dat"
        path = os.path.join(self.path, name)
        if not os.path.lexists(path):
            return None
        # Its frames are of the camera's size (unknown when LENS.txt is damaged).
        size = None
        if self._lens_sound:
            lens = (self._lens or {}).get(number, DEFAULT_INTRINSICS)
            size = (lens.width, lens.height,
                    f"{LENS_FILE} gives camera {number}" if self._lens is not None
                    else f"without {LENS_FILE} camera {number} has")
        try:
            depth = DepthStream(path, name, frames, stamps, f"TS{number}.txt", check_pixels, size)
        except TakeFormatError as fault:
            self._fault(fault)
            return None
        if depth.fault is not None:
            self._fault(depth.fault)
        return depth

    def _camera(self, camera: int) -> CameraFrames:
        if camera not in self._cameras:
            raise KeyError(f"camera {camera} is not in this take (cameras: {self.cameras})")
        return self._cameras[camera]

    def _scale(self, units: str, inverse: bool = False) -> float:
        if units == "pcl":
            return self.calibration if inverse else 1.0
        if units == "cm":
            return 1.0 if inverse else 1.0 / self.calibration
        raise ValueError(f'units must be "pcl" or "cm", not {units!r}')


def open_take(path, strict: bool = True, check_pixels: bool = True) -> Take:
    """Opens the take in directory `path`.

    With `strict` (the default) the first fault raises TakeFormatError
    naming the file, the line or record and the byte offset: a take opens
    exactly when ``kestrova-take verify`` calls it sound. With strict=False
    every fault is a TakeWarning and listed in ``take.faults``, and each
    camera keeps its whole frames before its first fault (a take cut short
    by a crash keeps every whole frame).

    `check_pixels` (the default) decompresses every kept depth frame once
    while opening, as verify does (about 0.1 ms a frame); without it a
    damaged frame raises TakeFormatError only when it is read.
    """
    return Take(path, strict, check_pixels)
