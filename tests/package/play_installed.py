#!/usr/bin/python3
"""A player's round trip with the installed game, run as that player (an
ordinary account): starts the desktop entry's Exec line in a private X server
with a window manager and a private sound server (the tests' support layer),
with the web engine's sandbox as it comes (nothing turns it off); plays a
game to its time-out; "Ya"; the score on the board after "Perbaharui"; Info
Online shows it on the scores page; Keluar. Then no process the game started
may be left. Screens are kept in ARTEFACTS.

  play_installed.py DESKTOP_FILE ARTEFACTS

Exit status: 0 when every step held, 1 with the step that did not, 77 when
something the check needs is not installed.
"""
import os
import pwd
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import korvala_harness as harness  # noqa: E402
import korvala_player as player  # noqa: E402


def exec_line(desktop_file):
    """The Exec line's words, without field codes (%U and the like)."""
    with open(desktop_file) as f:
        for line in f:
            if line.startswith("Exec="):
                return [w for w in shlex.split(line[len("Exec="):].strip()) if not w.startswith("%")]
    raise AssertionError("no Exec line in %s" % desktop_file)


class InstalledGame:
    """The game as the desktop starts it: the player's own environment, the
    private X and sound servers, nothing else."""

    def __init__(self, command, xserver, sound, home, log):
        user = pwd.getpwuid(os.getuid())
        runtime = os.environ["XDG_RUNTIME_DIR"]
        env = {"HOME": home, "USER": user.pw_name, "LOGNAME": user.pw_name, "SHELL": user.pw_shell,
               "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games", "LANG": "C.UTF-8",
               "DISPLAY": xserver.name, "XDG_RUNTIME_DIR": runtime}
        env.update(sound.client_env())
        self.log_path = log
        self.proc = harness.spawn(command, env=env, stdout=open(log, "w"), stderr=subprocess.STDOUT, cwd=home)
        self.pid = self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def log_tail(self, lines=20):
        try:
            return "".join(open(self.log_path, errors="replace").readlines()[-lines:])
        except OSError:
            return ""

    def kill(self):
        harness.kill_process(self.proc)


def descendants_of(pid):
    """Every process below `pid` now."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = open("/proc/%s/stat" % entry).read()
            except OSError:
                continue
            ppid = int(stat[stat.rindex(")") + 2:].split()[1])
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def main():
    desktop_file, artefacts = sys.argv[1], sys.argv[2]
    os.makedirs(artefacts, exist_ok=True)
    home = os.path.expanduser("~")
    command = exec_line(desktop_file)
    print("the desktop entry runs: %s" % " ".join(command), flush=True)
    if "QTWEBENGINE_DISABLE_SANDBOX" in os.environ or "--no-sandbox" in command:
        raise AssertionError("the web engine's sandbox is turned off for the player")

    for folder in ("x", "s"):
        os.makedirs(os.path.join(artefacts, folder), exist_ok=True)
    with harness.XServer(os.path.join(artefacts, "x"), wm=True) as x, \
            harness.SoundServer(os.path.join(artefacts, "s")) as sound:
        if x.wm_proc is None:
            raise harness.SkipTest("no window manager is installed")
        game = InstalledGame(command, x, sound, home, os.path.join(artefacts, "game.log"))
        p = player.Player(x, game, artefacts=artefacts)
        seen_below = set()
        try:
            p.find_window(60)
            if p.menu_up("the menu", 60) is None:
                raise AssertionError("no menu")
            p.keep(p.capture(), "menu")
            mulai = p.click(player.MENU_ENTRY)
            p.expect("the empty board", player.empty_board_shown, 20)
            empty = p.settled(player.BOARD_HOLES)
            turn = p.expect("the first turn",
                            lambda s: player.difference(empty, s, player.HOLES[2]) > 10.0, 15)
            turn_seen = harness.now()
            turn = p.settled(player.BOARD_HOLES, 1.0)
            played = p.play(mulai, empty, turn, turn_seen)
            if played["result"] is None:
                raise AssertionError("the game never showed its result panel")
            print("game over after %.1f s: %d targets hit, %s" % (
                played["seconds"], played["targetHits"],
                "ended on a bomb carrier" if played["bombClicked"] else "ended by time"), flush=True)
            p.keep(played["result"], "result")
            score = played["targetHits"]
            read = p.wait_text(player.HITS, "hits", 5, "brightest", 7, lambda t: t == str(score))
            if read and read.isdigit() and played["unsure"]:
                score = int(read)
            score_string = "%d(Korvala)(email)(indonesia)" % score

            p.click(player.YES)
            p.expect("the board panel", player.board_panel_shown, 20)
            listed = False
            deadline = harness.now() + 120
            while not listed and harness.now() < deadline:
                listed = p.poll(player.board_lists, 5) is not None
                if not listed:
                    p.click(player.BOARD_REFRESH)
            if not listed:
                p.keep(p.capture(), "never-board-entry")
                raise AssertionError("the score never showed on the board after Perbaharui")
            entry = "1. " + score_string
            row = p.wait_text(player.row_text(0), "board-row", 10, "against-line", 7,
                              lambda t: player.squeezed(t) == player.squeezed(entry))
            p.keep(p.capture(), "board")
            if row is not None and player.squeezed(row) != player.squeezed(entry):
                raise AssertionError("row 1 of the board reads %r, not %r" % (row, entry))
            seen_below.update(descendants_of(game.pid))

            p.click(player.BOARD_BACK)
            if p.menu_up("the menu after the board", 20) is None:
                raise AssertionError("Kembali Ke Menu did not lead back to the menu")
            p.step_menu(player.RIGHT_ARROW, 3, "the next menu entry")
            p.click(player.MENU_ENTRY)
            p.expect("the information panel", player.info_shown, 20)
            p.expect("the scores page", player.page_shown, 120)
            page_row = "1%d%s%s" % (score, "Korvala", "indonesia")
            shown = p.wait_text(player.SCORES_TABLE, "scores-page", 20, "grey", 6,
                                lambda t: page_row in player.squeezed(t))
            p.keep(p.capture(), "scores-page")
            if shown is not None and page_row not in player.squeezed(shown):
                raise AssertionError("the scores page does not rank the score first; it reads %r" % shown)
            seen_below.update(descendants_of(game.pid))
            print("the game's processes: %s" % sorted(seen_below), flush=True)

            p.click(player.INFO_BACK)
            if p.menu_up("the menu after Info Online", 20) is None:
                raise AssertionError("Kembali Ke Menu did not lead back from the information panel")
            p.step_menu(player.RIGHT_ARROW, 2, "the next menu entry")
            clicked = p.click(player.MENU_ENTRY)
            status = harness.wait_end(game.proc, clicked + 30)
            if status is None:
                raise AssertionError("the game kept running after Keluar")
            print("Keluar: the game ended %.2f s after the click, status %s" % (harness.now() - clicked, status),
                  flush=True)
        except Exception:
            print("the game says:\n" + game.log_tail(40), flush=True)
            game.kill()
            raise
        # Nothing the game started outlives it (its score server, the web
        # engine's helpers): give them a moment, then look.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            left = [pid for pid in seen_below if os.path.exists("/proc/%d" % pid)
                    and open("/proc/%d/stat" % pid).read().split()[2] != "Z"]
            if not left:
                break
            time.sleep(0.2)
        if left:
            raise AssertionError("processes the game started are still running: %s" % left)
    print("the player's round trip held", flush=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except harness.SkipTest as e:
        print("skip: %s" % e, flush=True)
        sys.exit(harness.SKIP_STATUS)
    except AssertionError as e:
        print("FAIL: %s" % e, flush=True)
        sys.exit(1)
