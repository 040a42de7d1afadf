"""The package installs as the README says, offline on Debian 12 (whose
system Python is externally managed): into a virtual environment that sees
the system's numpy, built with the system's setuptools. It then works away
from the source tree."""

import os
import shutil
import subprocess
import sys

import pytest

SOURCE = os.path.join(os.path.dirname(__file__), "..")


def test_pip_installs_the_package_into_a_venv_offline(tmp_path):
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    if subprocess.run([python, "-c", "import ensurepip"], capture_output=True).returncode:
        pytest.skip("python3-venv is not installed")
    source, venv = tmp_path / "python", tmp_path / "venv"
    shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("tests", "__pycache__"))
    made = subprocess.run([python, "-m", "venv", "--system-site-packages", str(venv)],
                          capture_output=True, text=True, timeout=300)
    assert made.returncode == 0, made.stderr
    # No package index is reachable: pip must need none.
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    installed = subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-build-isolation",
                                str(source)], capture_output=True, text=True, timeout=300, env=env,
                               cwd=tmp_path)
    assert installed.returncode == 0, installed.stderr
    used = subprocess.run([str(venv / "bin" / "python"), "-c",
                           "import kestrova, numpy; print(kestrova.__file__)"],
                          capture_output=True, text=True, timeout=60, cwd="/", env=env)
    assert used.returncode == 0, used.stderr
    assert used.stdout.startswith(str(venv))
