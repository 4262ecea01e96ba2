#!/usr/bin/python3
"""Delay from a cue to its first sample at the output, under a private sound
server with a null output: once for cues that fall in a silence, once for
cues over a tune that keeps the output running. Target: under 30 ms.

  bench/sound/cue_latency_bench.py [--build BUILD_DIR] [--cues N]
"""
import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from korvala_harness import SoundServer  # noqa: E402


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "..", "build"))
    parser.add_argument("--cues", type=int, default=20)
    args = parser.parse_args()
    program = os.path.join(args.build, "bench", "sound", "korvala_cue_latency")
    if not os.access(program, os.X_OK):
        sys.exit(f"missing {program}: build the target korvala_cue_latency first")
    with SoundServer(suspend_on_idle=False) as server:
        env = server.env(os.environ)
        env["QT_QPA_PLATFORM"] = "offscreen"
        for extra in ([], ["--under-tune"]):
            run = subprocess.run([program, "--cues", str(args.cues), *extra], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            print(run.stdout.strip() or run.stderr.strip())
    print("target: under 30 ms")


if __name__ == "__main__":
    main()
