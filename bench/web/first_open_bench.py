#!/usr/bin/python3
"""The first opening of the information panel's browser against a minimal
program, side by side under one private Xvfb.

The anchor (korvala_web_anchor) is the least a program can do to show the
scores page on a click: it links Qt WebEngine and makes a QWebEngineView of
the browser's size in a game-sized window. The game's browser
(korvala_web_game_browser) is the real QtWebView in a game-sized window, the
engine module loaded the way the game loads it. Both load the same scores
page from the game's score server on loopback (50 scores). The game's
browser is measured twice: clicked at once ("game"), and as a player reaches
it ("game, hinted"): a key press stands for the menu's selection arriving at
Info Online, which starts the engine's libraries loading in the game, and the
click follows HINT_MS later (a player sees the entry, then clicks it). The
runs alternate, each program in a fresh process, N runs each (plus one
warm-up each, not counted: the file cache).

Figures, min/median/max each, and the ratios of the medians (game / anchor):
  block     the longest time the window's thread was held up, from the click
            (from the hint, when there is one) until a second after the page
            loaded (a timer ticking every 2 ms inside the program)
  shown     from the click (a real X click) to the page on screen: the first
            capture of the browser's place showing the page's text (the
            screen is read every few ms)
  loaded    from the click to the page's loadFinished inside the program
  pss       memory after the page: proportional set size (PSS) of the
            program and every helper process of the engine, a second after
            the page loaded
  peak      the program's own peak resident set (VmHWM) plus its helpers'
  menu      the program's PSS before the click (what a game at its menu has)
and, for each run, whether the window's native id changed (the program's own
winId before and after, and the top-level windows on the X server) and how
many captures during the opening showed the browser's place black or the
window missing.

  bench/web/first_open_bench.py --game BIN --anchor BIN [--runs N] [--hint-ms MS]
"""
import argparse
import ctypes
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from korvala_harness import ScoreServer, SkipTest, XServer, spawn, stop_process  # noqa: E402

TITLE = "Korvala Deluxe 1.0"
PLACE = (24, 216, 641, 233)  # the browser's place in the window
CLICK = (300, 60)            # where the click lands: above the browser's place
STRUCTURE_NOTIFY = 1 << 19   # SubstructureNotifyMask
DESTROY_NOTIFY, UNMAP_NOTIFY = 17, 18


def read_line(proc, prefix, deadline):
    """The next line of the program that starts with `prefix`, as a dict of
    its key=value words (the raw line under "line")."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise RuntimeError("no %r line in time" % prefix)
        ready, _, _ = select.select([proc.stdout], [], [], left)
        if not ready:
            continue
        line = proc.stdout.readline().decode(errors="replace").strip()
        if not line:
            if proc.poll() is not None:
                raise RuntimeError("the program ended (status %s) before %r" % (proc.returncode, prefix))
            continue
        if line.startswith(prefix):
            words = dict(w.split("=", 1) for w in line.split()[1:] if "=" in w)
            words["line"] = line
            return words


def text_shown(shot):
    """True when the picture of the browser's place shows a page: dark text
    on a light ground."""
    grey = shot.convert("L")
    hist = grey.histogram()
    total = sum(hist)
    dark = sum(hist[:100]) / total
    light = sum(hist[200:]) / total
    return light > 0.5 and dark > 0.003


def black(shot):
    """True when most of the browser's place is black (a window being made
    anew, or a view with nothing drawn yet)."""
    hist = shot.convert("L").histogram()
    return sum(hist[:24]) / sum(hist) > 0.5


class Watch:
    """A second connection to the X server that hears of top-level windows
    unmapped or destroyed."""

    def __init__(self, x):
        self.x = x
        vp = ctypes.c_void_p
        x.x11.XSelectInput.argtypes = [vp, ctypes.c_ulong, ctypes.c_long]
        x.x11.XPending.argtypes = [vp]
        x.x11.XNextEvent.argtypes = [vp, vp]
        self.display = x.x11.XOpenDisplay(x.name.encode())
        root = x.x11.XDefaultRootWindow(self.display)
        x.x11.XSelectInput(self.display, root, STRUCTURE_NOTIFY)
        x.x11.XSync(self.display, 0)

    def drain(self, window):
        """How many times `window` was unmapped or destroyed since the last call."""
        count = 0
        event = (ctypes.c_long * 24)()
        while self.x.x11.XPending(self.display):
            self.x.x11.XNextEvent(self.display, ctypes.byref(event))
            kind = ctypes.cast(event, ctypes.POINTER(ctypes.c_int))[0]
            if kind in (DESTROY_NOTIFY, UNMAP_NOTIFY) and event[5] == window:  # the window field
                count += 1
        return count

    def close(self):
        self.x.x11.XCloseDisplay(self.display)


def one_run(x, watch, program, url, env, hint_ms=None):
    proc = spawn([program, url], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        ready = read_line(proc, "ready", time.monotonic() + 60)
        window = x.wait_window(TITLE, 10)
        if window is None:
            raise RuntimeError("%s: no window" % program)
        ox, oy = x.origin(window)
        watch.drain(window)
        if hint_ms is not None:
            x.focus(window)
            x.press("Right")
            time.sleep(hint_ms / 1000.0)
        clicked = x.click(ox + CLICK[0], oy + CLICK[1])
        shown = None
        black_frames = missing = 0
        deadline = time.monotonic() + 120
        report = None
        marks = {}
        while time.monotonic() < deadline:
            ready_out, _, _ = select.select([proc.stdout], [], [], 0)
            if ready_out:
                line = proc.stdout.readline().decode(errors="replace").strip()
                if line.startswith(("click", "loaded")):
                    marks[line.split()[0]] = float(line.rsplit("t=", 1)[1])
                if line.startswith("report"):
                    report = dict(w.split("=", 1) for w in line.split()[1:] if "=" in w)
                    break
                if not line and proc.poll() is not None:
                    raise RuntimeError("%s ended (status %s) before its report" % (program, proc.returncode))
                continue
            if not x.windows(TITLE):
                missing += 1
            shot = x.capture(ox + PLACE[0], oy + PLACE[1], PLACE[2], PLACE[3])
            taken = time.monotonic()
            if shot is None:
                missing += 1
            elif black(shot):
                black_frames += 1
            elif shown is None and text_shown(shot):
                shown = taken
            time.sleep(0.004)
        if report is None:
            raise RuntimeError("%s: no report within 120 s" % program)
        destroyed = watch.drain(window)
        after = x.windows(TITLE)
        return {
            "block": float(report["block_ms"]),
            "shown": (shown - clicked) * 1000.0 if shown else float("nan"),
            "loaded": marks.get("loaded", float("nan")) - clicked * 1000.0,
            "pss": (int(report["self_pss_kib"]) + int(report["helpers_pss_kib"])) / 1024.0,
            "peak": (int(report["self_peak_kib"]) + int(report["helpers_peak_kib"])) / 1024.0,
            "menu": int(ready["pss_kib"]) / 1024.0,
            "winid_changed": report["winid"] != ready["winid"] or after != [window],
            "destroyed": destroyed,
            "black": black_frames,
            "missing": missing,
        }
    finally:
        stop_process(proc)


def spread(values):
    values = sorted(values)
    return "%8.1f %8.1f %8.1f" % (values[0], statistics.median(values), values[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--game", required=True, help="korvala_web_game_browser")
    parser.add_argument("--anchor", required=True, help="korvala_web_anchor")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--hint-ms", type=int, default=500,
                        help="from the selection reaching Info Online to the click (default 500)")
    args = parser.parse_args()
    programs = {"anchor": (args.anchor, None), "game": (args.game, None), "game, hinted": (args.game, args.hint_ms)}
    for path, _ in programs.values():
        if not os.access(path, os.X_OK):
            sys.exit("missing %s: build it first" % path)

    results = {name: [] for name in programs}
    with tempfile.TemporaryDirectory() as work:
        try:
            x = XServer(work).start()
        except SkipTest as e:
            print("skipped: %s" % e)
            return 0
        try:
            server = ScoreServer(os.path.join(work, "server"), tls=False, ftp_port=0, http_port=0)
            os.makedirs(server.score_folder(), exist_ok=True)
            for i in range(50):
                with open(os.path.join(server.score_folder(), "%d(Pemain %d)(p%d@example.com)(Indonesia)"
                                       % (5000 - 97 * i, i + 1, i + 1)), "w") as f:
                    f.write("{\\rtf1 score}\n")
            with server:
                url = "http://127.0.0.1:%d/" % ScoreServer.ports(server.ready)["http"]
                env = dict(os.environ, DISPLAY=x.name, QT_QPA_PLATFORM="xcb", HOME=work,
                           XDG_RUNTIME_DIR=work, QTWEBENGINE_DISABLE_SANDBOX="1")
                env.pop("QT_LOGGING_RULES", None)
                watch = Watch(x)
                for name, (path, hint) in programs.items():  # warm-up
                    one_run(x, watch, path, url, env, hint)
                for run in range(args.runs):
                    for name, (path, hint) in programs.items():
                        r = one_run(x, watch, path, url, env, hint)
                        results[name].append(r)
                        print("run %d %-12s block %6.1f ms  shown %7.1f ms  loaded %7.1f ms  pss %6.1f MiB  window %s  "
                              "black %d  missing %d" % (run + 1, name, r["block"], r["shown"], r["loaded"], r["pss"],
                                              "re-created" if r["winid_changed"] or r["destroyed"] else "kept",
                                              r["black"], r["missing"]), flush=True)
                watch.close()
        finally:
            x.stop()

    print()
    print("%-32s %-12s %8s %8s %8s %8s" % ("", "", "min", "median", "max", "ratio"))
    rows = [("block", "window thread blocked (ms)"), ("shown", "click to page shown (ms)"),
            ("loaded", "click to page loaded (ms)"),
            ("pss", "after page, PSS + helpers (MiB)"), ("peak", "peak, VmHWM + helpers (MiB)"),
            ("menu", "before the click, PSS (MiB)")]
    for key, label in rows:
        anchor = statistics.median(r[key] for r in results["anchor"])
        for name in programs:
            values = [r[key] for r in results[name]]
            ratio = "" if name == "anchor" else "%7.2fx" % (statistics.median(values) / anchor)
            print("%-32s %-12s %s %8s" % (label if name == "anchor" else "", name, spread(values), ratio))
    for name in programs:
        rs = results[name]
        print("%-12s: window re-created in %d of %d runs; black captures %d, window missing %d" % (
            name, sum(1 for r in rs if r["winid_changed"] or r["destroyed"]), len(rs),
            sum(r["black"] for r in rs), sum(r["missing"] for r in rs)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
