#!/usr/bin/python3
"""CPU cost of a running game: the game with KORVALA_DEMO=board under a
private Xvfb, measured over 20 s from its own /proc/<pid>/stat (user + system
time), printed as the share of one core. Target: at most 0.5 %.

  bench/startup/cpu_bench.py [--build BUILD_DIR] [--seconds S]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xserver import Xvfb  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--warm-up", type=float, default=2.0)
    args = parser.parse_args()
    game = os.path.join(args.build, "korvala")
    if not os.access(game, os.X_OK):
        sys.exit(f"missing {game}: build it first")
    with Xvfb() as x, tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, DISPLAY=x.display, QT_QPA_PLATFORM="xcb", KORVALA_DEMO="board", HOME=home,
                   XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=home)
        env.pop("KORVALA_SHOT", None)
        proc = subprocess.Popen([game], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(args.warm_up)  # start-up is the other benchmark's business
            c0, t0 = cpu_seconds(proc.pid), time.monotonic()
            time.sleep(args.seconds)
            c1, t1 = cpu_seconds(proc.pid), time.monotonic()
        finally:
            proc.terminate()
            proc.wait()
    share = 100.0 * (c1 - c0) / (t1 - t0)
    print(f"running game (board demo) under Xvfb for {t1 - t0:.1f} s: "
          f"{c1 - c0:.3f} s of CPU = {share:.2f} % of one core (target <= 0.5 %)")


if __name__ == "__main__":
    main()
