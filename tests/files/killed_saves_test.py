#!/usr/bin/python3
"""Saves killed at random moments leave the score file whole and at most one
temporary file behind, and the next start removes that one.

A helper (document_save_loop) starts on a data folder, as the game does, and
saves a 900 KB text in a loop; this script kills it at a random moment, checks
the file, and starts it again. By hand, for the figure:

    /usr/bin/python3 tests/files/killed_saves_test.py \\
        --helper build-files/tests/files/document_save_loop --kills 400
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

TEMPORARY_PREFIX = ".korvala-save-"
SCORE_FILE = "7(Budi)(b@x.example)(Papua Nugini)"


def temporaries(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith(TEMPORARY_PREFIX))


def run(helper, folder, mode):
    return subprocess.run([helper, folder, mode], timeout=120).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", required=True)
    parser.add_argument("--kills", type=int, default=40)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else int(time.time())
    rng = random.Random(seed)
    print(f"seed {seed}")

    root = tempfile.mkdtemp(prefix="korvala-killed-saves-")
    folder = os.path.join(root, "data")
    target = os.path.join(folder, SCORE_FILE)
    failures = []
    try:
        # The two documents a save can leave: the file must always be one of
        # them, whole.
        if run(args.helper, root, "documents") != 0:
            print("FAIL: the helper could not write the expected documents")
            return 1
        documents = []
        for k in range(2):
            with open(os.path.join(root, f"document{k}"), "rb") as f:
                documents.append(f.read())

        # One whole save first; its duration sets how long to wait before a kill.
        started = time.monotonic()
        if run(args.helper, folder, "once") != 0:
            print("FAIL: the first save failed")
            return 1
        saveTime = time.monotonic() - started

        most = 0
        leftBehind = 0
        for kill in range(args.kills):
            helper = subprocess.Popen([args.helper, folder, "loop"], stdout=subprocess.PIPE)
            if helper.stdout.readline().strip() != b"ready":
                helper.kill()
                helper.wait()
                failures.append(f"kill {kill}: the helper did not start")
                break
            time.sleep(rng.uniform(0, 2 * saveTime))
            helper.kill()
            helper.wait()
            helper.stdout.close()
            if helper.returncode != -9:
                failures.append(f"kill {kill}: the helper ended by itself ({helper.returncode})")
            try:
                with open(target, "rb") as f:
                    whole = f.read() in documents
            except OSError:
                whole = False
            if not whole:
                failures.append(f"kill {kill}: the score file is torn or gone")
            left = len(temporaries(folder))
            most = max(most, left)
            if left:
                leftBehind += 1
            if left > 1:
                failures.append(f"kill {kill}: {left} temporary files for one document")

        leftovers = temporaries(folder)
        print(f"leftovers after {args.kills} killed saves: {len(leftovers)}")
        print(f"kills that left a temporary file: {leftBehind}; most at one time: {most}")

        if run(args.helper, folder, "start") != 0:
            failures.append("the next start failed")
        if temporaries(folder):
            failures.append(f"the next start left {temporaries(folder)}")
        if run(args.helper, folder, "check") != 0:
            failures.append("the score file does not load after the next start")
    finally:
        shutil.rmtree(root, ignore_errors=True)

    for failure in failures[:20]:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
