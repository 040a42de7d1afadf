"""The package installs with pip and works away from the source tree."""

import os
import shutil
import subprocess
import sys

import pytest

SOURCE = os.path.join(os.path.dirname(__file__), "..")


def test_pip_installs_the_package(tmp_path):
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode:
        pytest.skip("pip is not installed (python3-pip)")
    source, target = tmp_path / "src", tmp_path / "site"
    shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("tests", "__pycache__"))
    # Offline here: build with the installed setuptools instead of fetching
    # one, and take numpy from the system.
    installed = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                                "--no-index", "--no-deps", "--target", str(target), str(source)],
                               capture_output=True, text=True, timeout=300)
    assert installed.returncode == 0, installed.stderr
    env = dict(os.environ, PYTHONPATH=str(target))
    used = subprocess.run([sys.executable, "-c", "import kestrova; print(kestrova.__file__)"],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path, env=env)
    assert used.returncode == 0, used.stderr
    assert used.stdout.startswith(str(target))
