"""Takes for the reader's tests, recorded by the real kestrova-record.

KESTROVA_BIN names the build directory with kestrova-record and
kestrova-take; the tests that need them skip without it.
"""

import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

FOUR_CAMERAS = b"TIME: x\r\n \r\nCAL: 0.00125 \r\nCAM: 1 1 1 1 \r\n"


def tool(name):
    directory = os.environ.get("KESTROVA_BIN")
    path = os.path.join(directory, name) if directory else None
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{name} not built (set KESTROVA_BIN to the build directory)")
    return path


def run(args, timeout=120):
    """Runs a tool; returns its completed process (never hangs the suite)."""
    return subprocess.run(args, capture_output=True, timeout=timeout, text=True)


@pytest.fixture(scope="session")
def recorded_take(tmp_path_factory):
    """Four simulated cameras, 20 cycles at 30 frames per second, depth frames kept."""
    base = tmp_path_factory.mktemp("take")
    params = base / "four.txt"
    params.write_bytes(FOUR_CAMERAS)
    take = base / "take"
    take.mkdir()
    done = run([tool("kestrova-record"), "--sensors", "sim", "--fps", "30", "--params", str(params),
                "--out", str(take), "--frames", "20", "--keep-depth"])
    assert done.returncode == 0, done.stderr
    return str(take)
