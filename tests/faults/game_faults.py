#!/usr/bin/python3
"""The game itself in its window under a private X server, with a fault in
place, driven with real X input; then the player quits, with Keluar or by
closing the window, in the middle of it. Each case prints what it measured:
how long from the click (or the close request) to the end of the process,
and the times of the fault's own steps.

    game_faults.py GAME CASE [--artefacts DIR]

GAME is the game with its test hooks (korvala-test-game: KORVALA_DEMO=board
starts a game at once, skipping the splash screens). Its score server is
tests/faults/fault_server.py on the game's own FTP port 2121, with the TLS
the game requires; the game trusts that server's certificate through its
--ca-file option. Cases:

  sound-absent       no sound server at all: the game starts, the credits
                     open (silently), Keluar ends it
  sound-killed       the sound server is killed while the credits tune plays
                     and started again: the game goes on, the next cue is
                     heard; closing the window during the credits ends it
  ftp-silent         the score server takes the connection and never
                     answers: after Ya the board shows, the menu works; the
                     window is closed while both requests hang
  ftp-stalled-upload the score server stops half-way through the upload of
                     the score: Keluar while it hangs; the score folder gets
                     no half file, the local score file stays whole
  data-full          the data folder is a full tmpfs: Ya is silent and shows
                     the board; OK! on the profile tells once per field and
                     goes on to the menu; the old profile stays; Keluar
  data-read-only     the same with the data folder mounted read-only, and
                     the window closed at the end

Exit status 0 when every check held, 1 when one failed, 77 when the case
cannot run here (no Xvfb, no sound server, not allowed to mount).
"""
import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import korvala_harness as harness  # noqa: E402
import korvala_player as kp  # noqa: E402
QUIT_LIMIT = 10.0  # seconds; the aim is about 1 s, a shared machine may be slow
HANG_LIMIT = 60.0


class Checks:
    """Checks that go on after a failure, so the quit is still measured."""

    def __init__(self):
        self.failed = []

    def expect(self, ok, what):
        print("%s %s" % ("ok  " if ok else "FAIL", what), flush=True)
        if not ok:
            self.failed.append(what)
        return ok


def step(text):
    print("-- " + text, flush=True)


# ------------------------------------------------------------------ helpers


def files_below(root):
    out = {}
    for base, _, names in os.walk(root):
        for n in names:
            p = os.path.join(base, n)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root)] = f.read()
    return out


def private_mounts():
    """A mount namespace of this process's own (its children share it): the
    tmpfs folders mounted here vanish with it, however the test ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    CLONE_NEWNS, MS_REC, MS_PRIVATE = 0x00020000, 16384, 1 << 18
    if libc.unshare(CLONE_NEWNS) != 0:
        return False
    return libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) == 0


def mount_tmpfs(where, size="64k"):
    os.makedirs(where, exist_ok=True)
    options = "size=%s,mode=0755" % size
    return subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", where],
                          stderr=subprocess.PIPE, text=True).returncode == 0


def fill(folder):
    """Fills the file system of `folder` up to the last byte."""
    with open(os.path.join(folder, "filler"), "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"x" * 512)
        except OSError:
            pass
        try:
            while True:
                f.write(b"x")
        except OSError:
            pass
    for k in range(64):
        try:
            with open(os.path.join(folder, "filler%d" % k), "wb", buffering=0) as f:
                f.write(b"x")
        except OSError:
            break


def credits_shown(menu):
    return lambda s: not kp.menu_shown(s) and kp.difference(menu, s) > 10


def report_quit(checks, how, seconds, status, during):
    print("QUIT by %s during %s: the process ended %.3f s after the %s (target about 1 s)"
          % (how, during, seconds, "click" if how == "keluar" else "close request"), flush=True)
    checks.expect(status is not None, "the game ended after %s (hang limit 60 s)" % how)
    checks.expect(status == 0, "the game ended normally (status %s)" % status)
    checks.expect(seconds < QUIT_LIMIT, "the game ended within %.0f s of %s" % (QUIT_LIMIT, how))


# ------------------------------------------------------------------ cases


def case_sound_absent(ctx, checks):
    # A server socket that is not there; nothing may start one instead.
    game = ctx.game()
    started = harness.now()
    game.find_window()
    print("window %.2f s after start" % (harness.now() - started))
    game.end_demo_game()
    game.to_menu_from_result()
    menu = game.step_menu(kp.RIGHT_ARROW, 4)  # Pembuat
    game.click(kp.MENU_ENTRY)
    game.keep(game.expect("the credits", credits_shown(menu), 15), "credits-silent", ctx.artefacts)
    checks.expect(game.running(), "the game plays on without a sound server")
    game.click(kp.CREDITS_EXIT)
    game.expect("the menu after the credits", kp.menu_shown, 15)
    seconds, status = game.quit_by("keluar", 1)
    report_quit(checks, "keluar", seconds, status, "a game without a sound server")


def case_sound_killed(ctx, checks):
    sound = harness.SoundServer(ctx.work).start()
    ctx.cleanups.append(sound.stop)
    game = ctx.game(sound=sound)
    game.find_window()
    game.end_demo_game()
    game.to_menu_from_result()
    game.step_menu(kp.RIGHT_ARROW, 3)
    # The arrow's beep, as a cue sounds while the sound server runs.
    beep = harness.Recording(sound, os.path.join(ctx.work, "beep.raw"))
    menu = game.step_menu(kp.RIGHT_ARROW)  # Pembuat
    time.sleep(0.3)
    beep.stop()
    heard, _ = beep.loud_seconds()
    print("an arrow's beep: %.2f s of sound heard" % heard)
    checks.expect(heard > 0, "an arrow's beep is heard while the sound server runs")

    step("the credits tune plays; the sound server is killed 2 s into it")
    tune = harness.Recording(sound, os.path.join(ctx.work, "tune.raw"))
    game.click(kp.MENU_ENTRY)
    game.expect("the credits", credits_shown(menu), 15)
    time.sleep(2.0)
    sound.kill()
    killed = harness.now()
    tune.stop()
    heard, _ = tune.loud_seconds()
    print("before the kill: %.2f s of sound heard" % heard)
    checks.expect(heard > 1.0, "the credits tune was playing when the sound server was killed")

    step("the game goes on")
    time.sleep(0.5)
    checks.expect(game.running(), "the game is still running after its sound server died")
    game.click(kp.CREDITS_EXIT)
    game.expect("the menu after the credits", kp.menu_shown, 15)
    game.step_menu(kp.LEFT_ARROW)
    game.step_menu(kp.RIGHT_ARROW)
    checks.expect(game.running(), "the menu works without a sound server")

    step("the sound server starts again; the player's next cues")
    sound.start()
    restarted = harness.now()
    print("sound server back %.2f s after the kill" % (restarted - killed))
    # An arrow's beep every 2.5 s for 12.5 s.
    heard_at = None
    on_pembuat = True
    for attempt in range(5):
        time.sleep(max(0.0, restarted + 2.5 * (attempt + 1) - harness.now()))
        rec = harness.Recording(sound, os.path.join(ctx.work, "cue%d.raw" % attempt))
        cued = harness.now()
        game.click(kp.LEFT_ARROW if on_pembuat else kp.RIGHT_ARROW)
        on_pembuat = not on_pembuat
        time.sleep(0.8)
        rec.stop()
        loud, _ = rec.loud_seconds()
        print("cue %.1f s after the restart: %.2f s of sound heard" % (cued - restarted, loud))
        if loud > 0:
            heard_at = cued - restarted
            break
    checks.expect(heard_at is not None,
                  "a cue after the sound server came back is heard (arrow beeps for %.0f s after its restart)"
                  % (harness.now() - restarted))
    inputs = sound.pactl("list", "sink-inputs", "short").stdout.strip()
    print("streams on the restarted sound server: %s" % (inputs or "none"))
    print("the game's own output:\n  " + "\n  ".join(game.log_tail(5).splitlines()))

    step("Pembuat again, and the window is closed during the credits")
    game.expect("the menu", kp.menu_shown, 15)
    if not on_pembuat:
        game.step_menu(kp.RIGHT_ARROW)
    rec = harness.Recording(sound, os.path.join(ctx.work, "tune2.raw"))
    game.click(kp.MENU_ENTRY)
    game.expect("the credits again", credits_shown(menu), 15)
    time.sleep(1.0)
    seconds, status = game.quit_by("close", 0)
    rec.stop()
    print("credits tune after the restart: %.2f s of sound heard" % rec.loud_seconds()[0])
    report_quit(checks, "close", seconds, status, "the credits after the sound server was killed and restarted")


def case_ftp_silent(ctx, checks):
    server = harness.FaultServer(ctx.server_folder(), "silent").start()
    ctx.cleanups.append(server.kill)
    game = ctx.game(server=server)
    game.find_window()
    game.end_demo_game()
    ya = game.click(kp.YES)
    game.keep(game.expect("the score board", kp.board_panel_shown, 15), "board-after-ya", ctx.artefacts)
    checks.expect(server.wait_line("connection held 2", HANG_LIMIT) is not None,
                  "the upload and the listing both connected to the silent server")
    step("the player goes on while both requests hang")
    game.click(kp.BOARD_BACK)
    game.expect("the menu", kp.menu_shown, 15)
    game.step_menu(kp.RIGHT_ARROW)
    checks.expect(not game.x.windows("Gagal Menyimpan!"), "no message box")
    print("quitting %.1f s after Ya (the requests give up after 15 s of silence)" % (harness.now() - ya))
    seconds, status = game.quit_by("close", 0)
    report_quit(checks, "close", seconds, status, "an upload and a listing the server never answers")
    check_local_score(ctx, checks)


def case_ftp_stalled_upload(ctx, checks):
    server = harness.FaultServer(ctx.server_folder(), "stall-upload").start()
    ctx.cleanups.append(server.kill)
    game = ctx.game(server=server)
    game.find_window()
    game.end_demo_game()
    ya = game.click(kp.YES)
    game.expect("the score board", kp.board_panel_shown, 15)
    stalled = server.wait_line("upload stalled", HANG_LIMIT)
    checks.expect(stalled is not None, "the upload reached the server and stalled half-way")
    print("%s, %.2f s after Ya" % (stalled, harness.now() - ya))
    game.click(kp.BOARD_BACK)
    game.expect("the menu", kp.menu_shown, 15)
    seconds, status = game.quit_by("keluar", 5)
    report_quit(checks, "keluar", seconds, status, "an upload stalled half-way")
    server.kill()
    remote = files_below(server.score_folder())
    checks.expect(remote == {}, "no half score file in the score folder (holds %s)" % sorted(remote))
    home = files_below(os.path.join(ctx.server_folder(), "ftp"))
    for name, data in sorted(home.items()):
        print("left in the account's home: %s (%d bytes)" % (name, len(data)))
    check_local_score(ctx, checks)


def check_local_score(ctx, checks):
    data = files_below(ctx.data_folder())
    scores = {n: b for n, b in data.items() if n.startswith(tuple("0123456789"))}
    checks.expect(len(scores) == 1, "one local score file (%s)" % sorted(data))
    for name, content in scores.items():
        checks.expect(name.encode() in content, "the local score file holds its score: %r" % name)


def data_case(ctx, checks, read_only, quit_how):
    if not ctx.mounts:
        raise harness.SkipTest("cannot make a private mount namespace (needs root)")
    folder = ctx.data_folder()
    if not mount_tmpfs(folder):
        raise harness.SkipTest("cannot mount a tmpfs (needs root)")
    ctx.cleanups.append(lambda: subprocess.run(["umount", "-l", folder], stderr=subprocess.DEVNULL))
    server = harness.FaultServer(ctx.server_folder(), "normal").start()
    ctx.cleanups.append(server.kill)
    for k in range(3):
        with open(os.path.join(server.score_folder(), "%d(Pemain%d)(p@x.example)(Fiji)" % (50 + k, k)), "w") as f:
            f.write("{\\rtf1 score}")

    step("first start: the player saves the name Budi, then Keluar")
    game = ctx.game(server=server)
    game.find_window()
    game.end_demo_game()
    game.to_menu_from_result()
    game.step_menu(kp.RIGHT_ARROW, 2)  # Konfigurasi
    game.click(kp.MENU_ENTRY)
    game.expect("the profile", kp.profile_shown, 15)
    game.click(kp.NAME_FIELD)
    game.x.press("a", "Control_L")
    game.x.type("Budi")
    time.sleep(0.2)
    game.click(kp.PROFILE_OK)
    game.expect("the menu after OK!", kp.menu_shown, 15)
    seconds, status = game.quit_by("keluar", 3)
    checks.expect(status == 0, "the first start ended with Keluar")
    old = files_below(folder)
    checks.expect("konfignama.tamzosystem" in old and b"Budi" in old["konfignama.tamzosystem"],
                  "the first start saved the name")

    if read_only:
        subprocess.run(["mount", "-o", "remount,ro", folder], check=True)
        kind = "a read-only data folder"
    else:
        fill(folder)
        kind = "a full data folder"
    before = files_below(folder)

    step("second start on %s: Ya, then the profile" % kind)
    game = ctx.game(server=server)
    game.find_window()
    game.end_demo_game()
    remote_before = files_below(server.score_folder())
    game.click(kp.YES)
    game.expect("the score board after Ya", kp.board_panel_shown, 15)
    try:
        game.expect("the scores on the server listed on the board", kp.board_lists, HANG_LIMIT)
        listed = True
    except AssertionError:
        listed = False
    game.keep(game.settled(), "board-after-ya", ctx.artefacts)
    checks.expect(listed, "the board lists the scores already on the server")
    checks.expect(not game.x.windows("Gagal Menyimpan!"), "Ya told the player nothing")
    checks.expect(kp.board_panel_shown(game.capture()), "Ya showed the score board")
    game.click(kp.BOARD_BACK)
    game.expect("the menu", kp.menu_shown, 15)
    game.step_menu(kp.RIGHT_ARROW, 2)  # Konfigurasi
    game.click(kp.MENU_ENTRY)
    profile = game.expect("the profile", kp.profile_shown, 15)
    game.keep(profile, "profile-loaded", ctx.artefacts)
    game.click(kp.NAME_FIELD)
    game.x.press("a", "Control_L")
    game.x.type("Sari")
    time.sleep(0.2)
    game.click(kp.PROFILE_OK)
    told = answer_message_boxes(game, "Gagal Menyimpan!")
    print("message boxes \"Gagal Menyimpan!\": %d" % told)
    checks.expect(told == 3, "the player was told once per field (3 fields), not %d times" % told)
    game.expect("the menu after OK!", kp.menu_shown, 15)
    seconds, status = game.quit_by(quit_how, 3)
    report_quit(checks, quit_how, seconds, status, kind + " after the profile failed to save")

    after = files_below(folder)
    checks.expect(after == before, "the data folder is as it was (old profile intact, nothing torn or added)")
    checks.expect(files_below(server.score_folder()) == remote_before, "the score folder is as it was")
    checks.expect(sorted(files_below(os.path.join(ctx.server_folder(), "ftp"))) ==
                  sorted("Korvala/" + n for n in remote_before), "nothing left in the account's home")


def answer_message_boxes(game, title):
    """Answers every message box with this title (Return on its OK) until the
    menu shows; how many there were."""
    seen = set()
    deadline = harness.now() + HANG_LIMIT
    while harness.now() < deadline:
        boxes = game.x.windows(title)
        for box in boxes:
            if box not in seen:
                seen.add(box)
                time.sleep(0.2)
                game.x.focus(box)
                game.x.press("Return")
        if not boxes:
            shot = game.capture()
            if shot is not None and kp.menu_shown(shot):
                time.sleep(0.5)  # one more box would be up by now
                if not game.x.windows(title):
                    break
        time.sleep(0.05)
    return len(seen)


CASES = {
    "sound-absent": case_sound_absent,
    "sound-killed": case_sound_killed,
    "ftp-silent": case_ftp_silent,
    "ftp-stalled-upload": case_ftp_stalled_upload,
    "data-full": lambda ctx, checks: data_case(ctx, checks, False, "keluar"),
    "data-read-only": lambda ctx, checks: data_case(ctx, checks, True, "close"),
}


class Context:
    def __init__(self, args, work, xserver, mounts):
        self.args = args
        self.work = work
        self.x = xserver
        self.mounts = mounts
        self.artefacts = args.artefacts
        self.cleanups = []
        self.games = []
        self.home = os.path.join(work, "home")
        os.makedirs(self.home, mode=0o700, exist_ok=True)

    def data_folder(self):
        return os.path.join(self.home, ".local", "share", "Korvala", "Korvala Deluxe")

    def server_folder(self):
        folder = os.path.join(self.work, "server")
        os.makedirs(folder, exist_ok=True)
        return folder

    def game(self, env=None, server=None, sound=None):
        """The game on this case's X server and home, silent unless the case
        brings a sound server (never the machine's own); with a fault server,
        trusting that server's certificate. A player at its window."""
        args = ["--ca-file", server.cert] if server and server.cert else []
        game = harness.Game(self.args.game, self.x, self.home, env, args=args, sound=sound)
        player = kp.Player(self.x, game, self.artefacts)
        self.games.append(player)
        return player


def main():
    p = argparse.ArgumentParser()
    p.add_argument("game")
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--artefacts", default="")
    args = p.parse_args()
    args.game = os.path.abspath(args.game)
    mounts = args.case.startswith("data-") and private_mounts()
    if args.artefacts:
        shutil.rmtree(args.artefacts, ignore_errors=True)
    work = tempfile.mkdtemp(prefix="korvala-faults-game-")
    checks = Checks()
    xserver = harness.XServer(work)
    ctx = None
    started = harness.now()
    status = 0
    try:
        xserver.start()
        ctx = Context(args, work, xserver, mounts)
        CASES[args.case](ctx, checks)
    except harness.SkipTest as e:
        print("SKIP: %s" % e)
        status = 77
    except AssertionError as e:
        checks.expect(False, str(e))
    finally:
        if ctx:
            for game in ctx.games:
                if game.running():
                    game.keep(game.capture(), "last-screen", args.artefacts)
                    game.kill()
            for cleanup in reversed(ctx.cleanups):
                cleanup()
        xserver.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("case %s took %.1f s" % (args.case, harness.now() - started))
    if status:
        return status
    if checks.failed:
        print("%d check(s) failed:\n  %s" % (len(checks.failed), "\n  ".join(checks.failed)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
