#!/usr/bin/env python3
"""Measures four-camera takes at 320 x 240 and 640 x 480 with their depth
frames kept, as a user records them: the recorder's CPU, the frames the
cameras lost (gaps in their stamps at 30 frames a second), and the bytes per
second of kept depth frames (DEPTHn.dat) and of points (PCLn.dat).

usage: bench/frame-size-measure.py BUILD_DIR [--seconds S]

Cases: simulated cameras at 320 x 240 and at 640 x 480, and four cameras of
the test suite's fake OpenNI2 driver at 640 x 480 (loaded from
BUILD_DIR/tests/openni2-fake, as the tests load it; skipped without it).
"""

import argparse
import importlib.util
import os
import re
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("moment_measure", os.path.join(HERE, "moment-measure.py"))
moment = importlib.util.module_from_spec(spec)
spec.loader.exec_module(moment)


def record(build, sensors, take, seconds, env):
    params = take + "-four.txt"
    with open(params, "wb") as f:
        f.write(moment.FOUR)
    os.mkdir(take)
    start = os.times()
    done = subprocess.run([os.path.join(build, "kestrova-record"), "--sensors", sensors, "--params", params,
                           "--out", take, "--seconds", str(seconds), "--keep-depth"],
                          capture_output=True, text=True, env=dict(os.environ, **env))
    end = os.times()
    if done.returncode not in (0, 3):  # 3: recorded, a camera lost for a while
        raise SystemExit(f"{sensors}: kestrova-record ended with {done.returncode}:\n{done.stdout}{done.stderr}")
    dropped = sum(int(n) for n in re.findall(r"camera \d: (\d+)", (re.findall(r"sensor frames dropped:.*", done.stdout + done.stderr) or [""])[0]))
    return (end.children_user - start.children_user) + (end.children_system - start.children_system), dropped


def size_of(take, pattern):
    return sum(os.path.getsize(os.path.join(take, pattern % n)) for n in range(1, 5)
               if os.path.exists(os.path.join(take, pattern % n)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    fake = os.path.join(build, "tests", "openni2-fake")
    cases = [("simulated, 320 x 240", "sim:4", {}),
             ("simulated, 640 x 480", "sim:4,size=640x480", {})]
    if os.path.exists(os.path.join(fake, "libOpenNI2.so.0")):
        cases.append(("fake OpenNI2, 640 x 480", "openni2",
                      {"LD_LIBRARY_PATH": fake, "KESTROVA_FAKE_ONI": "devices=4"}))
    print(f"load average before: {os.getloadavg()[0]:.1f}")
    print("| case | cycles | sensor frames dropped | frames lost (stamp gaps) | CPU s | CPU per second of take | depth MB/s | points MB/s |")
    print("|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as work:
        for i, (name, sensors, env) in enumerate(cases):
            take = os.path.join(work, f"take{i}")
            cpu, dropped = record(build, sensors, take, args.seconds, env)
            st = [moment.stamps(take, n) for n in range(1, 5)]
            cycles = len(st[0])
            lost = sum(moment.lost_frames(s) for s in st)
            depth = size_of(take, "DEPTH%d.dat") / args.seconds / 1e6
            points = size_of(take, "PCL%d.dat") / args.seconds / 1e6
            print(f"| {name}, {args.seconds:g} s | {cycles} | {dropped} | {lost} | {cpu:.1f} | {cpu / args.seconds:.2f} | "
                  f"{depth:.2f} | {points:.2f} |")


if __name__ == "__main__":
    main()
