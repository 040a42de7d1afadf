"""A take's ``VERSION.txt``: which build of Kestrova wrote it (see the README,
"Take files").

``WRITTEN: V`` names the program version that wrote the take's files;
``RECORDED: V``, only in a take made by ``kestrova-take reprocess``, the
version that recorded the depth frames it was made from ("unknown" when that
take had no version file). Lines starting with ``#`` are comments, lines of
other labels are skipped. Takes made before the file existed have none.
"""

import os
from dataclasses import dataclass
from typing import Optional

from .files import TakeFormatError, open_regular

VERSION_FILE = "VERSION.txt"
MAX_VERSION_LINE = 256
_LABELS = {b"WRITTEN: ": "written", b"RECORDED: ": "recorded"}


@dataclass(frozen=True)
class TakeVersion:
    """The versions of a take: `written` wrote its files; `recorded`, for a
    reprocessed take, recorded its depth frames (None otherwise)."""

    written: str
    recorded: Optional[str] = None


def read_version(take_dir: str) -> Optional[TakeVersion]:
    """The take's versions; None when it has no version file. Raises
    TakeFormatError for a damaged one."""
    path = os.path.join(take_dir, VERSION_FILE)
    if not os.path.lexists(path):
        return None
    found = {}
    offset = 0
    with open_regular(path, VERSION_FILE) as file:
        for index, raw in enumerate(iter(lambda: file.readline(MAX_VERSION_LINE + 2), b"")):
            start, offset = offset, offset + len(raw)
            text = raw[:-1] if raw.endswith(b"\n") else raw
            if len(text) > MAX_VERSION_LINE:
                raise TakeFormatError(VERSION_FILE, start, "a line longer than a version", index, kind="line")
            if not raw.endswith(b"\n"):
                raise TakeFormatError(VERSION_FILE, start, "a line cut short", index, kind="line")
            if text.endswith(b"\r"):
                text = text[:-1]
            label = next((label for label in _LABELS if text.startswith(label)), None)
            if text.startswith(b"#") or label is None:
                continue
            value = text[len(label):]
            if not value or any(c < 0x20 or c > 0x7E for c in value):
                raise TakeFormatError(VERSION_FILE, start, "a version that is not printable text", index,
                                      kind="line")
            found[_LABELS[label]] = value.decode("ascii")
    if "written" not in found:
        raise TakeFormatError(VERSION_FILE, 0, "no WRITTEN: line")
    return TakeVersion(found["written"], found.get("recorded"))
