"""The README's Python example runs on a take the recorder writes, as a
lab user would run it."""

import os
import re
import subprocess
import sys

import pytest

from conftest import FOUR_CAMERAS, run, tool

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def test_the_ball_example_finds_the_ball(tmp_path):
    with open(README, encoding="utf-8") as readme:
        text = readme.read()
    code = re.search(r"<!-- ball-example[^>]*-->\s*```python\n(.*?)```", text, re.S).group(1)
    params = tmp_path / "four.txt"
    params.write_bytes(FOUR_CAMERAS)
    take = tmp_path / "take"
    take.mkdir()
    done = run([tool("kestrova-record"), "--sensors", "sim", "--params", str(params), "--out", str(take),
                "--frames", "46"])
    assert done.returncode == 0, done.stderr
    script = tmp_path / "ball.py"
    script.write_text(code.replace('"/tmp/take"', repr(str(take))))
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(__file__), ".."))
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120, env=env)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 4  # frames 0, 15, 30, 45
    for line in lines:
        centre = re.search(r"centre \[\s*(\S+)\s+(\S+)\s+(\S+)\s*\]", line).groups()
        x, y, z = (float(v) for v in centre)
        radius = float(re.search(r"radius ([0-9.]+) cm", line).group(1))
        # The ball (radius 7) circles x = -2 + 10 cos a, z = 2 + 8 sin a,
        # bobbing 4 cm about y = -20.
        assert abs(radius - 7.0) < 0.5, line
        assert abs(((x + 2) / 10) ** 2 + ((z - 2) / 8) ** 2 - 1) < 0.15, line
        assert -24.5 < y < -15.5, line
