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
    radii = [float(re.search(r"radius ([0-9.]+) cm", line).group(1)) for line in lines]
    assert all(abs(r - 7.0) < 0.5 for r in radii), out.stdout
    # The ball starts its circle at (8, -20, 2) cm.
    assert re.match(r"\s+0\.0 ms  centre \[\s*8\.\d*\s+-20\.\d*\s+2\.\d*\]", lines[0]), lines[0]
