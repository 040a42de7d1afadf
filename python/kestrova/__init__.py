"""Reading Kestrova takes with numpy.

>>> import kestrova
>>> take = kestrova.open_take("/data/take1")
>>> take.cameras, take.calibration
>>> take.points(1, take.frame_numbers(1)[0], units="cm")

Every take file is treated as untrusted input: a cut record, a huge point
count or a file that is not regular raises TakeFormatError naming the file
and the byte offset, with the text ``kestrova-take verify`` prints; nothing
is read whole into memory, and indexes are bounded by the take's
time-stamp lines, not by the size of a file.
"""

from .files import TakeFormatError, TakeWarning
from .lens import Intrinsics
from .settings import CameraSetting, Settings, parse_settings
from .take import Frame, Take, open_take

__all__ = ["open_take", "Take", "Frame", "TakeFormatError", "TakeWarning", "Settings",
           "CameraSetting", "parse_settings", "Intrinsics"]
