#!/usr/bin/env python3
"""Measures cycles of one moment on simulated cameras, as a user records them:
how far apart the frames of one cycle lie on the recorder's clock (from the
take's CLOCK.txt), how many frames the healthy cameras lost, how long frames
took from their arrival to the files, how many threads the recorder created
during the take, and its CPU time.

usage: bench/moment-measure.py BUILD_DIR [--seconds S] [--old OLD_BUILD_DIR] [--only NAME,...]

Cases (30 frames a second, four cameras):
  clean       a take of S seconds (default 60)
  stall       camera 2 stalls for three periods after 60 frames and comes back
  contention  a take of S/2 seconds while three busy processes share the cores
  killed      two stations of two cameras each; one is killed with SIGKILL
  align       kestrova-take align on a stall take recorded with the true poses
With --old, the clean case's CPU is measured for an older build too.
Needs strace for the thread count (skipped without it).
"""

import argparse
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PERIOD = 1000 / 30
FOUR = b"TIME: x\r\n \r\nCAL: 0.00125 \r\nCAM: 1 1 1 1 \r\n"


def stamps(take, camera):
    """Frame number -> stamp (ms) of camera's TSn.txt."""
    out = {}
    path = os.path.join(take, f"TS{camera}.txt")
    if not os.path.exists(path):
        return out
    with open(path, "rb") as f:
        for line in f.read().split(b"\r\n"):
            parts = line.split()
            if len(parts) == 3:
                out[int(parts[0])] = (int(parts[1]) << 32) + (int(parts[2]) & 0xFFFFFFFF)
    return out


def lost_frames(st):
    values = [st[k] for k in sorted(st)]
    return sum(max(0, round((b - a) / PERIOD) - 1) for a, b in zip(values, values[1:]))


def spreads(take, python_dir):
    """Per cycle the largest difference of its frames' times on the take's clock."""
    sys.path.insert(0, python_dir)
    import kestrova  # noqa: E402  (the project's reader)
    t = kestrova.open_take(take, strict=False)
    times = {}
    for camera in t.cameras:
        mapped = t.host_times(camera)
        if mapped is None:
            return None
        for frame, ms in zip(t.frame_numbers(camera), mapped):
            times.setdefault(int(frame), []).append(ms)
    return [max(v) - min(v) for v in times.values() if len(v) > 1]


def record(build, sensors, take, seconds, extra_env=None, strace=False):
    """Runs kestrova-record; returns (output, cpu seconds, threads created or None)."""
    params = os.path.join(take, "..", os.path.basename(take) + "-four.txt")
    with open(params, "wb") as f:
        f.write(FOUR)
    command = [os.path.join(build, "kestrova-record"), "--sensors", sensors, "--params", params,
               "--out", take, "--seconds", str(seconds)]
    env = dict(os.environ, **(extra_env or {}))
    start = os.times()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True)
    threads = None
    if strace and shutil.which("strace"):
        # Threads created in the middle of the take: after its start, before its end.
        time.sleep(min(3, seconds / 3))
        log = take + "-strace.txt"
        tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=clone,clone3", "-o", log, "-p",
                                   str(process.pid)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window = max(1.0, seconds / 3)
        time.sleep(window)
        tracer.send_signal(signal.SIGINT)
        tracer.wait()
        with open(log) as f:
            threads = sum(1 for line in f if re.search(r"\bclone3?\(", line)) / window
    output, _ = process.communicate()
    end = os.times()
    cpu = (end.children_user - start.children_user) + (end.children_system - start.children_system)
    return output, cpu, threads


def latency(output):
    match = re.search(r"median ([0-9.]+) ms, 99th percentile ([0-9.]+) ms", output)
    return (float(match.group(1)), float(match.group(2))) if match else (math.nan, math.nan)


def summary(name, take, output, healthy, python_dir, cpu=None, threads=None):
    cycle_spreads = spreads(take, python_dir) or []
    half = PERIOD / 2
    within = sum(1 for s in cycle_spreads if s <= half)
    lost = {c: lost_frames(stamps(take, c)) for c in healthy}
    median, p99 = latency(output)
    row = {
        "case": name,
        "cycles": len(cycle_spreads),
        "largest spread ms": max(cycle_spreads) if cycle_spreads else math.nan,
        "cycles within half a period": f"{100.0 * within / len(cycle_spreads):.1f} %" if cycle_spreads else "-",
        "frames lost by healthy cameras": sum(lost.values()),
        "latency median / p99 ms": f"{median:.1f} / {p99:.1f}",
    }
    if cpu is not None:
        row["CPU s"] = f"{cpu:.1f}"
    if threads is not None:
        row["threads created / s"] = f"{threads:.1f}"
    return row


def busy_processes(count):
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]


def station(build, name, sensors, domain):
    return subprocess.Popen([os.path.join(build, "kestrova-station"), "--sensors", sensors, "--name", name,
                             "--domain", str(domain)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--old")
    parser.add_argument("--only")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    python_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
    only = set(args.only.split(",")) if args.only else None
    rows = []
    work = tempfile.mkdtemp(prefix="moments-")

    def wanted(name):
        return only is None or name in only

    def take_dir(name):
        path = os.path.join(work, name)
        os.mkdir(path)
        return path

    if wanted("clean"):
        take = take_dir("clean")
        output, cpu, threads = record(build, "sim:4", take, args.seconds, strace=True)
        rows.append(summary(f"clean, {args.seconds:g} s", take, output, [1, 2, 3, 4], python_dir, cpu, threads))
        if args.old:
            old = take_dir("clean-old")
            output, cpu, threads = record(os.path.abspath(args.old), "sim:4", old, args.seconds, strace=True)
            rows.append({"case": f"clean, {args.seconds:g} s, older build", "CPU s": f"{cpu:.1f}",
                         "threads created / s": f"{threads:.1f}" if threads is not None else "-",
                         "frames lost by healthy cameras": sum(lost_frames(stamps(old, c)) for c in range(1, 5))})
    if wanted("stall"):
        take = take_dir("stall")
        output, cpu, _ = record(build, "sim:4,stall=2@60,resume=2@3", take, 10)
        rows.append(summary("camera 2 stalls 3 periods, 10 s", take, output, [1, 3, 4], python_dir, cpu))
    if wanted("contention"):
        take = take_dir("contention")
        busy = busy_processes(3)
        try:
            output, cpu, _ = record(build, "sim:4", take, args.seconds / 2)
        finally:
            for process in busy:
                process.kill()
        rows.append(summary(f"three busy processes, {args.seconds / 2:g} s", take, output, [1, 2, 3, 4],
                            python_dir, cpu))
    if wanted("killed"):
        take = take_dir("killed")
        domain = 200 + os.getpid() % 20
        kept = station(build, "kept", "sim:2", domain)
        doomed = station(build, "doomed", "sim:2,pose=1@-85.5/1/-9.5/14.5/90/0,pose=2@-5/0/65.5/15/179/1", domain)
        time.sleep(2)
        params = os.path.join(work, "killed-four.txt")
        with open(params, "wb") as f:
            f.write(FOUR)
        recorder = subprocess.Popen([os.path.join(build, "kestrova-record"), "--sensors",
                                     f"net:kept/1,kept/2,doomed/1,doomed/2,domain={domain}", "--params", params,
                                     "--out", take, "--seconds", "20"],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(8)
        doomed.kill()
        output, _ = recorder.communicate()
        kept.send_signal(signal.SIGINT)
        kept.wait()
        rows.append(summary("station killed (kill -9) at 8 s of 20", take, output, [1, 2], python_dir))
    if wanted("align"):
        take = take_dir("align")
        params = os.path.join(work, "align-four.txt")
        with open(params, "wb") as f:
            f.write(FOUR)
        subprocess.run([os.path.join(build, "kestrova-record"), "--sensors", "sim:4,stall=2@60,resume=2@3",
                        "--params", params, "--out", take, "--seconds", "10", "--keep-depth"],
                       capture_output=True)
        done = subprocess.run([os.path.join(build, "kestrova-take"), "align", take, "--write",
                               os.path.join(work, "aligned.txt")], capture_output=True, text=True)
        corrections = re.findall(r"^\d\s+(?:aligned|reference|NOT ALIGNED)\s+([0-9.]+) cm ([0-9.]+) deg",
                                 done.stdout, re.M)
        worst_cm = max(float(cm) for cm, _ in corrections) if corrections else math.nan
        worst_deg = max(float(deg) for _, deg in corrections) if corrections else math.nan
        rows.append({"case": "align a take whose camera 2 stalled, true poses",
                     "align status": done.returncode, "largest correction": f"{worst_cm:.1f} cm {worst_deg:.1f} deg"})

    columns = []
    for row in rows:
        for key in row:
            if key not in columns:
                columns.append(key)
    print("| " + " | ".join(columns) + " |")
    print("|" + "---|" * len(columns))
    for row in rows:
        cells = []
        for key in columns:
            value = row.get(key, "")
            cells.append(f"{value:.1f}" if isinstance(value, float) else str(value))
        print("| " + " | ".join(cells) + " |")
    print(f"(takes in {work})")


if __name__ == "__main__":
    main()
