#!/usr/bin/env python3
"""Runs the README's shell examples as a user pastes them: every ```sh block,
in order, in a fresh folder that stands for the top of a clone (build/ is the
build, python/ a copy of the reader's source), with /tmp/ paths kept inside
that folder and HOME there too. A block marked with a comment
"<!-- not run by the README test: why -->" just before it is left out.

usage: readme-examples.py README BUILD_DIR WORK_DIR

Each block runs under bash with -e and -o pipefail, so a command that fails
fails the test, naming the block and showing its output. The viewer needs a
display: without one the examples are run under xvfb-run.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time

NOT_RUN = re.compile(r"<!--\s*not run by the README test:[^>]*-->\s*$")
BLOCK = re.compile(r"^```sh\n(.*?)^```\s*$", re.S | re.M)


def blocks(text):
    """(line number, code, run) of every sh block."""
    for match in BLOCK.finditer(text):
        before = text[:match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        yield text.count("\n", 0, match.start()) + 1, match.group(1), not NOT_RUN.search(before)


def run_block(script, work, env, limit=240):
    """Runs one block: (exit status, or "did not end" after `limit` seconds; output)."""
    block = subprocess.Popen(["bash", "-e", "-o", "pipefail", "-c", script], cwd=work, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
    try:
        output, _ = block.communicate(timeout=limit)
        return block.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(block.pid, signal.SIGKILL)  # the block and every program it started
        output, _ = block.communicate()
        return f"did not end within {limit} s", output


def main():
    readme, build, work = (os.path.abspath(a) for a in sys.argv[1:4])
    if not os.environ.get("DISPLAY") and shutil.which("xvfb-run") and not os.environ.get("KESTROVA_UNDER_XVFB"):
        env = dict(os.environ, KESTROVA_UNDER_XVFB="1")
        os.execvpe("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", sys.executable]
                   + sys.argv, env)
    source = os.path.dirname(readme)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "home"))
    os.makedirs(os.path.join(work, "tmp"))
    os.symlink(build, os.path.join(work, "build"))
    shutil.copytree(os.path.join(source, "python"), os.path.join(work, "python"),
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    # The system's programs first (python3 is Debian's, as on a fresh
    # machine), and no package index: the examples must work offline.
    env = dict(os.environ, HOME=os.path.join(work, "home"), PIP_NO_INDEX="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1", PATH="/usr/bin:/bin:" + os.environ.get("PATH", ""))
    env.pop("PYTHONPATH", None)
    with open(readme, encoding="utf-8") as file:
        text = file.read()
    ran = skipped = 0
    for line, code, run in blocks(text):
        if not run:
            skipped += 1
            continue
        script = code.replace("/tmp/", os.path.join(work, "tmp") + "/")
        started = time.monotonic()
        status, output = run_block(script, work, env)
        seconds = time.monotonic() - started
        print(f"README.md:{line}: {seconds:5.1f} s, status {status}")
        if status != 0:
            print(f"--- the block at README.md:{line}\n{code}--- what it printed\n{output}")
            return 1
        ran += 1
    print(f"{ran} passed, 0 failed, {skipped} skipped: the README's shell blocks")
    return 0 if ran else 1


if __name__ == "__main__":
    sys.exit(main())
