#!/usr/bin/python3
"""Start-up of the game against a bare Qt window, side by side.

Runs each program several times, alternating, each in a fresh process under a
private Xvfb, and reports the median time from launch to the first painted
frame and the median peak memory (resident set), with the game's ratios to
the bare window. Targets: at most 1.25x the time and 1.5x the memory.

  bench/startup/startup_bench.py [--build BUILD_DIR] [--runs N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from korvala_harness import XServer  # noqa: E402


def one_run(program, env):
    start = time.monotonic()
    proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    first_frame = None
    for line in proc.stderr:
        if line.startswith(b"first-frame"):
            first_frame = (time.monotonic() - start) * 1000.0
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = status
    if first_frame is None:
        raise RuntimeError(f"{program} painted no frame (status {status})")
    return first_frame, usage.ru_maxrss / 1024.0  # ms, MiB


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    programs = {
        "game": os.path.join(args.build, "korvala-test-game"),
        "bare window": os.path.join(args.build, "bench", "startup", "korvala_bare_window"),
    }
    for path in programs.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"missing {path}: build it first")

    results = {name: ([], []) for name in programs}
    with XServer(connect=False) as x, tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, DISPLAY=x.name, QT_QPA_PLATFORM="xcb", KORVALA_BENCH="1", HOME=home,
                   XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=home)
        for name, path in programs.items():  # one warm-up each: the file cache, not the figures
            one_run(path, env)
        for _ in range(args.runs):
            for name, path in programs.items():
                t, m = one_run(path, env)
                results[name][0].append(t)
                results[name][1].append(m)

    medians = {name: (statistics.median(t), statistics.median(m)) for name, (t, m) in results.items()}
    print(f"start-up, median of {args.runs} runs each, under Xvfb")
    for name, (t, m) in medians.items():
        print(f"  {name:12s} first frame {t:7.1f} ms   peak RSS {m:6.1f} MiB")
    (gt, gm), (bt, bm) = medians["game"], medians["bare window"]
    print(f"  ratio        time {gt / bt:5.2f}x (target <= 1.25x)   memory {gm / bm:5.2f}x (target <= 1.50x)")


if __name__ == "__main__":
    main()
