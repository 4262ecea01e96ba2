#!/usr/bin/python3
"""Start-up and memory at the menu: the game against a bare Qt window, side by side.

Each program runs in a fresh process under one private Xvfb, alternating
game / bare window, with a private sound server as a player's desktop has
(--no-sound: none). The game (korvala-test-game with KORVALA_BENCH=menu)
reports its first painted frame, then stays through both splash screens
until its menu shows, and quits a second later. The bare window (a Qt window
of the game's size with one label) reports its first frame and then stays
open as long as that game run did, so that both peak memories cover the same
span. Printed: min / median / max of the launch-to-first-frame time and of
the peak resident memory (the process's own, ru_maxrss) of each, and the
ratios of the medians. Targets: time at most 1.15x, memory at most 1.3x.

  bench/startup/startup_bench.py [--build BUILD_DIR] [--runs N] [--no-sound]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from korvala_harness import SoundServer, XServer  # noqa: E402


def one_run(args, env):
    """Launch to first frame (ms), launch to menu (ms, the game only), peak RSS (MiB), run time (ms)."""
    start = time.monotonic()
    proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    first_frame = menu = None
    for line in proc.stderr:
        if line.startswith(b"first-frame"):
            first_frame = (time.monotonic() - start) * 1000.0
        elif line.startswith(b"menu "):
            menu = (time.monotonic() - start) * 1000.0
    _, status, usage = os.wait4(proc.pid, 0)
    lasted = (time.monotonic() - start) * 1000.0
    if first_frame is None or status != 0:
        raise RuntimeError(f"{args[0]} painted no frame or failed (status {status})")
    return first_frame, menu, usage.ru_maxrss / 1024.0, lasted


def spread(values):
    return f"{min(values):7.1f} / {statistics.median(values):7.1f} / {max(values):7.1f}"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--no-sound", action="store_true", help="no sound server (the game plays silently)")
    args = parser.parse_args()
    game = os.path.join(args.build, "korvala-test-game")
    bare = os.path.join(args.build, "bench", "startup", "korvala_bare_window")
    for path in (game, bare):
        if not os.access(path, os.X_OK):
            sys.exit(f"missing {path}: build it first (-DKORVALA_BUILD_BENCHMARKS=ON)")

    times = {"game": [], "bare window": []}
    memory = {"game": [], "bare window": []}
    menus = []
    with XServer(connect=False) as x, tempfile.TemporaryDirectory() as home:
        sound = None if args.no_sound else SoundServer().__enter__()
        try:
            env = dict(os.environ, DISPLAY=x.name, QT_QPA_PLATFORM="xcb", KORVALA_BENCH="menu", HOME=home,
                       XDG_DATA_HOME=os.path.join(home, "data"), XDG_CONFIG_HOME=os.path.join(home, "config"),
                       XDG_RUNTIME_DIR=home)
            if sound:
                env.update(sound.client_env())
            # One warm-up each: the file cache, not the figures.
            lasted = one_run([game], env)[3]
            one_run([bare, str(int(lasted))], env)
            for _ in range(args.runs):
                t, menu, m, lasted = one_run([game], env)
                times["game"].append(t)
                memory["game"].append(m)
                menus.append(menu)
                t, _, m, _ = one_run([bare, str(int(lasted))], env)
                times["bare window"].append(t)
                memory["bare window"].append(m)
        finally:
            if sound:
                sound.__exit__(None, None, None)

    print(f"start-up and memory at the menu, {args.runs} runs each, alternating, under Xvfb"
          f"{'' if args.no_sound else ' with a sound server'}; min / median / max")
    for name in times:
        print(f"  {name:12s} first frame {spread(times[name])} ms   peak RSS {spread(memory[name])} MiB")
    print(f"  the game reached its menu at {spread(menus)} ms; the bare window stayed open as long")
    t = statistics.median(times["game"]) / statistics.median(times["bare window"])
    m = statistics.median(memory["game"]) / statistics.median(memory["bare window"])
    print(f"  ratio        time {t:5.2f}x (target <= 1.15x)   memory at the menu {m:5.2f}x (target <= 1.30x)")


if __name__ == "__main__":
    main()
