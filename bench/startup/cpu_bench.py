#!/usr/bin/python3
"""CPU cost of a running game in which no sound plays: the game with
KORVALA_DEMO=board under a private Xvfb, measured over 20 s from
/proc/<pid>/stat (user + system time), printed as the share of one core.

Two runs:
  - without a sound server: the game alone. Target: at most 0.5 %.
  - with a sound server (a private pulseaudio with a null output and the
    idle suspension a desktop's server has): the game and the server, each
    and together. Target: at most 0.3 % together, as a silent game should
    leave its output idle. The measurement starts after the server's idle
    timeout (5 s), so it shows the steady state of a silent game.

  bench/startup/cpu_bench.py [--build BUILD_DIR] [--seconds S] [--sound-only]

Without a built game (BUILD_DIR/korvala-test-game), or with --sound-only,
only the second run is made, on korvala_silent_sound (bench/sound): the
sound system and the five devices bound to the game's files, no window.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "support"))
from korvala_harness import SoundServer, XServer  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(cmd, env, pids, warm_up, seconds):
    """Starts `cmd`, waits `warm_up` s, then returns the CPU seconds that it
    and each of `pids` used over `seconds` s, and the span measured."""
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(warm_up)  # start-up is the other benchmark's business
        watched = [proc.pid, *pids]
        c0, t0 = [cpu_seconds(p) for p in watched], time.monotonic()
        time.sleep(seconds)
        c1, t1 = [cpu_seconds(p) for p in watched], time.monotonic()
        if proc.poll() is not None:
            sys.exit(f"{cmd[0]} ended during the measurement (exit {proc.returncode})")
    finally:
        proc.terminate()
        proc.wait()
    return [b - a for a, b in zip(c0, c1)], t1 - t0


def share(cpu, span):
    return 100.0 * cpu / span


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--warm-up", type=float, default=2.0)
    parser.add_argument("--sound-only", action="store_true",
                        help="measure korvala_silent_sound instead of the game")
    args = parser.parse_args()
    game = os.path.join(args.build, "korvala-test-game")
    silent = os.path.join(args.build, "bench", "sound", "korvala_silent_sound")
    use_game = os.access(game, os.X_OK) and not args.sound_only
    if not use_game and not os.access(silent, os.X_OK):
        sys.exit(f"missing {game} and {silent}: build one of them first")

    with tempfile.TemporaryDirectory() as home:
        # No server of any kind unless we start one: a socket that does not exist.
        no_server = os.path.join(home, "client.conf")
        with open(no_server, "w") as f:
            f.write("autospawn = no\n")
        base = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                    XDG_RUNTIME_DIR=home, PULSE_SERVER="unix:" + os.path.join(home, "no-server"),
                    PULSE_CLIENTCONFIG=no_server)
        base.pop("KORVALA_SHOT", None)

        if use_game:
            with XServer(connect=False) as x:
                env = dict(base, DISPLAY=x.name, QT_QPA_PLATFORM="xcb", KORVALA_DEMO="board")
                (cpu,), span = measure([game], env, [], args.warm_up, args.seconds)
                print(f"running game (board demo) under Xvfb, no sound server, {span:.1f} s: "
                      f"{cpu:.3f} s of CPU = {share(cpu, span):.2f} % of one core (target <= 0.5 %)")
                with SoundServer(suspend_on_idle=True) as server:
                    (cpu, server_cpu), span = measure(
                        [game], server.env(env), [server.pid], max(args.warm_up, 6.0), args.seconds)
                what = "silent game (board demo) under Xvfb"
        else:
            print(f"(no game at {game}" + (", or --sound-only" if args.sound_only else "") +
                  ": measuring korvala_silent_sound, the sound system with five bound devices)")
            folder = os.path.dirname(game) if os.path.exists(os.path.join(
                os.path.dirname(game), "gunshot2.wav")) else os.path.join(here, "..", "..", "assets", "sounds")
            env = dict(base, QT_QPA_PLATFORM="offscreen")
            with SoundServer(suspend_on_idle=True) as server:
                (cpu, server_cpu), span = measure(
                    [silent, folder], server.env(env), [server.pid], max(args.warm_up, 6.0), args.seconds)
            what = "five bound sound devices, no cue"
    print(f"{what} with a sound server (null output), {span:.1f} s: game {cpu:.3f} s = "
          f"{share(cpu, span):.2f} %, sound server {server_cpu:.3f} s = {share(server_cpu, span):.2f} %, "
          f"together {share(cpu + server_cpu, span):.2f} % of one core (target <= 0.3 %)")


if __name__ == "__main__":
    main()
