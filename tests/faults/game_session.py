"""The game in its window under a private X server, as the fault tests drive
it: the X server (Xvfb), real pointer and key events (XTest), screen
captures, closing the window as a window manager does, a private sound
server with a null output and its recordings, and the game process itself.

Everything here talks to libX11 and libXtst through ctypes, so nothing but
Debian's own packages is needed (xvfb, libx11-6, libxtst6, python3-pil).
"""
import ctypes
import ctypes.util
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from PIL import Image, ImageChops

WINDOW_TITLE = "Korvala Deluxe 1.0"
WINDOW_SIZE = (687, 470)

# Places in the game window, in client pixels: (x, y, width, height).
LEFT_ARROW = (208, 288, 48, 52)
RIGHT_ARROW = (464, 288, 48, 52)
MENU_ENTRY = (256, 296, 209, 41)
HOLES = {1: (160, 120, 119, 105), 2: (416, 120, 111, 97), 3: (272, 192, 135, 113),
         4: (112, 256, 151, 129), 5: (424, 248, 151, 129)}
YES = (400, 320, 49, 25)
NO = (464, 320, 49, 25)
NAME_FIELD = (256, 208, 233, 25)
PROFILE_OK = (368, 368, 57, 17)
BOARD_BACK = (328, 432, 97, 25)      # "Kembali Ke Menu" on the score board
BOARD_REFRESH = (432, 432, 105, 25)  # "Perbaharui"
FIRST_ROW_ENTRY = (168, 88, 300, 25)  # the score board's first row, after its number


def center(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


def now():
    return time.monotonic()


_prctl = ctypes.CDLL(None).prctl  # looked up here, never in a forked child


def _die_with_parent():
    """Run in a child before it starts: it is killed when the test ends,
    however the test ends (a time-out kills only the test itself)."""
    _prctl(1, int(signal.SIGKILL))  # PR_SET_PDEATHSIG


def spawn(args, **kwargs):
    return subprocess.Popen(args, preexec_fn=_die_with_parent, **kwargs)


# ------------------------------------------------------------------ X


class _XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
                ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
                ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
                ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
                ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


class _XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int),
                ("red_mask", ctypes.c_ulong), ("green_mask", ctypes.c_ulong), ("blue_mask", ctypes.c_ulong)]


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _libs():
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    xtst = ctypes.CDLL(ctypes.util.find_library("Xtst") or "libXtst.so.6")
    vp, ul, i = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int
    x11.XOpenDisplay.restype = vp
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XCloseDisplay.argtypes = [vp]
    x11.XDefaultRootWindow.restype = ul
    x11.XDefaultRootWindow.argtypes = [vp]
    x11.XInternAtom.restype = ul
    x11.XInternAtom.argtypes = [vp, ctypes.c_char_p, i]
    x11.XQueryTree.argtypes = [vp, ul, ctypes.POINTER(ul), ctypes.POINTER(ul),
                               ctypes.POINTER(ctypes.POINTER(ul)), ctypes.POINTER(ctypes.c_uint)]
    x11.XGetWindowProperty.argtypes = [vp, ul, ul, ctypes.c_long, ctypes.c_long, i, ul, ctypes.POINTER(ul),
                                       ctypes.POINTER(i), ctypes.POINTER(ul), ctypes.POINTER(ul),
                                       ctypes.POINTER(ctypes.c_void_p)]
    x11.XGetWindowAttributes.argtypes = [vp, ul, ctypes.POINTER(_XWindowAttributes)]
    x11.XTranslateCoordinates.argtypes = [vp, ul, ul, i, i, ctypes.POINTER(i), ctypes.POINTER(i),
                                          ctypes.POINTER(ul)]
    x11.XGetImage.restype = ctypes.POINTER(_XImage)
    x11.XGetImage.argtypes = [vp, ul, i, i, ctypes.c_uint, ctypes.c_uint, ul, i]
    x11.XDestroyImage.argtypes = [ctypes.POINTER(_XImage)]
    x11.XSendEvent.argtypes = [vp, ul, i, ctypes.c_long, ctypes.POINTER(_XEvent)]
    x11.XSync.argtypes = [vp, i]
    x11.XFlush.argtypes = [vp]
    x11.XFree.argtypes = [vp]
    x11.XSetInputFocus.argtypes = [vp, ul, i, ul]
    x11.XStringToKeysym.restype = ul
    x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
    x11.XKeysymToKeycode.restype = ctypes.c_ubyte
    x11.XKeysymToKeycode.argtypes = [vp, ul]
    x11.XSetErrorHandler.restype = vp
    xtst.XTestFakeMotionEvent.argtypes = [vp, i, i, i, ul]
    xtst.XTestFakeButtonEvent.argtypes = [vp, ctypes.c_uint, i, ul]
    xtst.XTestFakeKeyEvent.argtypes = [vp, ctypes.c_uint, i, ul]
    return x11, xtst


# An X error (a window that went away between two calls) is not fatal here.
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)


class XServer:
    """A private Xvfb and one client connection to it."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.proc = None
        self.display = None
        self.name = None

    def start(self):
        if not os.access("/usr/bin/Xvfb", os.X_OK):
            raise SkipTest("no Xvfb")
        read_fd, write_fd = os.pipe()
        self.proc = spawn(
            ["/usr/bin/Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.workdir, "xvfb.log"), "w"))
        os.close(write_fd)
        number = b""
        deadline = now() + 30
        while now() < deadline:
            ready, _, _ = select.select([read_fd], [], [], max(0.0, deadline - now()))
            if not ready:
                break
            c = os.read(read_fd, 1)
            if not c or c == b"\n":
                break
            number += c
        os.close(read_fd)
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode()
        try:
            self.x11, self.xtst = _libs()
        except OSError as e:
            raise SkipTest("no X client libraries: %s" % e)
        self.x11.XSetErrorHandler(_ERROR_HANDLER)
        self.display = self.x11.XOpenDisplay(self.name.encode())
        if not self.display:
            raise RuntimeError("cannot open display " + self.name)
        self.root = self.x11.XDefaultRootWindow(self.display)
        return self

    def stop(self):
        if self.display:
            self.x11.XCloseDisplay(self.display)
            self.display = None
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    # -- windows

    def _children(self):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        n = ctypes.c_uint()
        if not self.x11.XQueryTree(self.display, self.root, ctypes.byref(root), ctypes.byref(parent),
                                   ctypes.byref(children), ctypes.byref(n)):
            return []
        out = [children[k] for k in range(n.value)]
        if children:
            self.x11.XFree(children)
        return out

    def title(self, window):
        for prop in (b"_NET_WM_NAME", b"WM_NAME"):
            atom = self.x11.XInternAtom(self.display, prop, 0)
            kind, fmt = ctypes.c_ulong(), ctypes.c_int()
            count, after = ctypes.c_ulong(), ctypes.c_ulong()
            data = ctypes.c_void_p()
            status = self.x11.XGetWindowProperty(self.display, window, atom, 0, 256, 0, 0, ctypes.byref(kind),
                                                 ctypes.byref(fmt), ctypes.byref(count), ctypes.byref(after),
                                                 ctypes.byref(data))
            if status == 0 and data.value:
                text = ctypes.string_at(data.value, count.value).decode("utf-8", "replace")
                self.x11.XFree(data)
                if text:
                    return text
        return ""

    def viewable(self, window):
        attrs = _XWindowAttributes()
        if not self.x11.XGetWindowAttributes(self.display, window, ctypes.byref(attrs)):
            return False
        return attrs.map_state == 2  # IsViewable

    def windows(self, title):
        """The viewable top-level windows with this title."""
        return [w for w in self._children() if self.viewable(w) and self.title(w) == title]

    def wait_window(self, title, limit):
        deadline = now() + limit
        while now() < deadline:
            found = self.windows(title)
            if found:
                return found[0]
            time.sleep(0.05)
        return None

    def origin(self, window):
        x, y = ctypes.c_int(), ctypes.c_int()
        child = ctypes.c_ulong()
        self.x11.XTranslateCoordinates(self.display, window, self.root, 0, 0, ctypes.byref(x), ctypes.byref(y),
                                       ctypes.byref(child))
        return x.value, y.value

    # -- screen

    def capture(self, x, y, width, height):
        image = self.x11.XGetImage(self.display, self.root, x, y, width, height, ctypes.c_ulong(-1).value, 2)
        if not image:
            return None
        img = image.contents
        data = ctypes.string_at(img.data, img.bytes_per_line * img.height)
        shot = Image.frombuffer("RGB", (img.width, img.height), data, "raw", "BGRX", img.bytes_per_line, 1)
        shot = shot.copy()
        self.x11.XDestroyImage(image)
        return shot

    # -- input

    def click(self, x, y):
        """Moves the pointer to (x, y) on the screen and clicks; returns when
        the button went down."""
        self.xtst.XTestFakeMotionEvent(self.display, -1, x, y, 0)
        self.x11.XSync(self.display, 0)
        time.sleep(0.03)
        self.xtst.XTestFakeButtonEvent(self.display, 1, 1, 0)
        self.x11.XSync(self.display, 0)
        pressed = now()
        time.sleep(0.03)
        self.xtst.XTestFakeButtonEvent(self.display, 1, 0, 0)
        self.x11.XSync(self.display, 0)
        return pressed

    def key(self, name, down):
        code = self.x11.XKeysymToKeycode(self.display, self.x11.XStringToKeysym(name.encode()))
        self.xtst.XTestFakeKeyEvent(self.display, code, 1 if down else 0, 0)
        self.x11.XSync(self.display, 0)

    def press(self, name, modifier=None):
        if modifier:
            self.key(modifier, True)
        self.key(name, True)
        self.key(name, False)
        if modifier:
            self.key(modifier, False)
        time.sleep(0.03)

    def type(self, text):
        for c in text:
            if c.isupper():
                self.press(c.lower(), "Shift_L")
            elif c == "@":
                self.press("2", "Shift_L")
            elif c == ".":
                self.press("period")
            else:
                self.press(c)

    def focus(self, window):
        self.x11.XSetInputFocus(self.display, window, 2, 0)  # RevertToParent, CurrentTime
        self.x11.XSync(self.display, 0)

    def close(self, window):
        """Asks the window to close, as a window manager's close control does
        (WM_DELETE_WINDOW); returns the moment it was sent."""
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = self.x11.XInternAtom(self.display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = self.x11.XInternAtom(self.display, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0
        self.x11.XSendEvent(self.display, window, 0, 0, ctypes.byref(event))
        self.x11.XFlush(self.display)
        return now()


class SkipTest(Exception):
    pass


# ------------------------------------------------------------------ screens


def _count(shot, rect, kind):
    x, y, w, h = rect
    return sum(1 for p in shot.crop((x, y, x + w, y + h)).getdata() if kind(p))


def green(p):
    r, g, b = p
    return g > 120 and g > r + 40 and g > b + 40


def red(p):
    r, g, b = p
    return r > 150 and r > g + 60 and r > b + 60


def white(p):
    return min(p) > 225


def light(p):
    return min(p) > 200


def yellow(p):
    r, g, b = p
    return r > 200 and g > 200 and b < 120


def menu_shown(shot):
    return _count(shot, LEFT_ARROW, green) > 300 and _count(shot, RIGHT_ARROW, green) > 300


def result_shown(shot):
    return _count(shot, YES, green) > 400 and _count(shot, NO, red) > 400


def profile_shown(shot):
    return _count(shot, NAME_FIELD, white) > 3000


def score_board_shown(shot):
    """The score board: its light buttons along the bottom."""
    return _count(shot, BOARD_BACK, light) > 1200 and _count(shot, BOARD_REFRESH, light) > 1200


def score_board_lists(shot):
    """The score board with an entry in its first row (yellow letters after
    the row's number): a listing reached it."""
    return score_board_shown(shot) and _count(shot, FIRST_ROW_ENTRY, yellow) > 150


def _outline(shot):
    x, y, w, h = MENU_ENTRY
    return shot.crop((x, y, x + w, y + h)).convert("L").point(lambda v: 255 if v < 70 else 0)


def entry_change(a, b):
    """Per cent of the menu entry's pixels where one screen has the label's
    dark outline and the other not: the same entry stays near 0 (its fill
    lightens under the pointer), another entry is several per cent."""
    diff = ImageChops.difference(_outline(a), _outline(b))
    changed = diff.histogram()[255]
    return 100.0 * changed / (MENU_ENTRY[2] * MENU_ENTRY[3])


def difference(a, b, rect=None):
    """Mean difference of the colour channels in rect: 0 the same, 255 opposite."""
    if rect:
        x, y, w, h = rect
        a = a.crop((x, y, x + w, y + h))
        b = b.crop((x, y, x + w, y + h))
    hist = ImageChops.difference(a, b).convert("L").histogram()
    total = sum(hist)
    return sum(v * n for v, n in enumerate(hist)) / total if total else 0.0


# ------------------------------------------------------------------ sound


class SoundServer:
    """A pulseaudio of our own with a null output (k_null, 48000 Hz stereo),
    reachable only through its own socket; it can be killed and started again
    on the same socket, as a player's sound server crashes and comes back."""

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "pulse")
        self.run = os.path.join(self.dir, "run")
        self.socket = os.path.join(self.run, "pulse", "native")
        os.makedirs(os.path.join(self.run, "pulse"), mode=0o700, exist_ok=True)
        os.chmod(self.run, 0o700)
        os.makedirs(os.path.join(self.dir, "home"), exist_ok=True)
        with open(os.path.join(self.dir, "client.conf"), "w") as f:
            f.write("autospawn = no\n")
        with open(os.path.join(self.dir, "server.pa"), "w") as f:
            f.write("load-module module-native-protocol-unix auth-anonymous=1 socket=%s\n" % self.socket)
            f.write("load-module module-null-sink sink_name=k_null rate=48000 channels=2\n")
            f.write("set-default-sink k_null\n")
        self.proc = None
        self.starts = 0

    def client_env(self):
        return {"PULSE_SERVER": "unix:" + self.socket,
                "PULSE_CLIENTCONFIG": os.path.join(self.dir, "client.conf")}

    def start(self):
        if not shutil.which("pulseaudio") or not shutil.which("pactl") or not shutil.which("parec"):
            raise SkipTest("needs pulseaudio, pactl and parec (packages pulseaudio, pulseaudio-utils)")
        if os.path.exists(self.socket):
            os.unlink(self.socket)  # left by a killed server
        env = dict(os.environ, **self.client_env())
        env.update(HOME=os.path.join(self.dir, "home"), XDG_RUNTIME_DIR=self.run,
                   PULSE_RUNTIME_PATH=os.path.join(self.run, "pulse"),
                   PULSE_STATE_PATH=os.path.join(self.run, "pulse"))
        self.starts += 1
        log = open(os.path.join(self.dir, "pulse-%d.log" % self.starts), "w")
        self.proc = spawn(
            ["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "--log-target=stderr", "-F", os.path.join(self.dir, "server.pa")],
            env=env, stdout=subprocess.DEVNULL, stderr=log)
        for _ in range(200):
            if self.pactl("info").returncode == 0:
                return self
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("the private sound server did not start")

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=dict(os.environ, **self.client_env()),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def kill(self):
        """Killed at once (SIGKILL), as a crash ends it."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Recording:
    """What the null output plays, recorded from its monitor."""

    RATE = 48000

    def __init__(self, server, path):
        self.path = path
        self.out = open(path, "wb")
        self.proc = spawn(
            ["parec", "--latency-msec=20", "-d", "k_null.monitor", "--format=s16le", "--rate=48000",
             "--channels=2", "--raw"], env=dict(os.environ, **server.client_env()), stdout=self.out,
            stderr=subprocess.DEVNULL)
        deadline = now() + 10
        while now() < deadline and os.path.getsize(path) == 0 and self.proc.poll() is None:
            time.sleep(0.02)
        self.started = now()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()

    def loud_seconds(self):
        """Seconds of the recording (in 10 ms steps) whose peak is above 1%
        of full scale, and the first such moment (seconds into it, or None)."""
        import array
        data = open(self.path, "rb").read()
        samples = array.array("h")
        samples.frombytes(data[:len(data) // 4 * 4])
        step = self.RATE // 100 * 2
        loud, first = 0, None
        for k in range(0, len(samples), step):
            block = samples[k:k + step]
            if block and max(abs(min(block)), abs(max(block))) > 328:
                loud += 1
                if first is None:
                    first = k / 2 / self.RATE
        return loud / 100.0, first


# ------------------------------------------------------------------ the game


def wait_end(proc, deadline):
    """Waits for the process to end (a pidfd: the moment it ends, not the
    next poll); its exit status, or None at the deadline."""
    try:
        fd = os.pidfd_open(proc.pid)
    except (AttributeError, OSError):
        fd = None
    while now() < deadline:
        if proc.poll() is not None:
            break
        if fd is not None:
            select.select([fd], [], [], max(0.0, min(0.5, deadline - now())))
        else:
            time.sleep(0.01)
    if fd is not None:
        os.close(fd)
    return proc.poll()


class Game:
    """The game executable in its window on `xserver`, with its own home;
    `args` are the game's own options."""

    def __init__(self, executable, xserver, home, extra_env=None, demo=True, args=()):
        self.x = xserver
        self.home = home
        os.makedirs(home, exist_ok=True)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PULSE_", "QT_", "XDG_"))}
        env.update(DISPLAY=xserver.name, QT_QPA_PLATFORM="xcb", HOME=home,
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                   XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_RUNTIME_DIR=home,
                   QTWEBENGINE_DISABLE_SANDBOX="1")
        if demo:
            env["KORVALA_DEMO"] = "board"
        env.update(extra_env or {})
        self.log_path = os.path.join(home, "game.log")
        self.started = now()
        self.proc = spawn([executable, *args], env=env, stdout=open(self.log_path, "w"),
                                     stderr=subprocess.STDOUT, cwd=home)
        self.window = None
        self.origin = (0, 0)
        self.shots = 0

    def log_tail(self, lines=20):
        try:
            return "".join(open(self.log_path, errors="replace").readlines()[-lines:])
        except OSError:
            return ""

    def find_window(self, limit=60):
        self.window = self.x.wait_window(WINDOW_TITLE, limit)
        if not self.window:
            raise AssertionError("no window captioned %r; the game says:\n%s" % (WINDOW_TITLE, self.log_tail()))
        self.origin = self.x.origin(self.window)
        return self.window

    def running(self):
        return self.proc.poll() is None

    def capture(self):
        return self.x.capture(self.origin[0], self.origin[1], *WINDOW_SIZE)

    def keep(self, shot, name, folder):
        """Keeps a screen among the test's artefacts."""
        if shot is None or not folder:
            return
        os.makedirs(folder, exist_ok=True)
        self.shots += 1
        shot.save(os.path.join(folder, "%02d-%s.png" % (self.shots, name)))

    def click(self, rect_or_point):
        px, py = center(rect_or_point) if len(rect_or_point) == 4 else rect_or_point
        return self.x.click(self.origin[0] + px, self.origin[1] + py)

    def wait_for(self, what, ready, limit):
        deadline = now() + limit
        shot = None
        while now() < deadline:
            if not self.running():
                raise AssertionError("the game ended while waiting for %s; it says:\n%s" % (what, self.log_tail()))
            shot = self.capture()
            if shot is not None and ready(shot):
                return shot
            time.sleep(0.05)
        raise AssertionError("never saw %s" % what)

    def settled(self, limit=3.0):
        """The screen once two captures in a row are alike."""
        deadline = now() + limit
        last = self.capture()
        while now() < deadline:
            time.sleep(0.08)
            shot = self.capture()
            if difference(last, shot) < 0.1:
                return shot
            last = shot
        return last

    # -- the player's steps

    def end_demo_game(self, limit=90):
        """The demo's game ended by the bomb carrier of the first turn in hole
        4 (clicked until the result panel shows; the game also ends by itself
        after 30 s)."""
        deadline = now() + limit
        while now() < deadline:
            if not self.running():
                raise AssertionError("the game ended during the demo; it says:\n" + self.log_tail())
            shot = self.capture()
            if shot is not None and result_shown(shot):
                return self.settled()
            self.click(HOLES[4])
            time.sleep(0.4)
        raise AssertionError("the result panel never showed")

    def step_menu(self, arrow, times=1):
        for _ in range(times):
            before = self.settled(1.0)
            self.click(arrow)
            self.wait_for("the next menu entry", lambda s: menu_shown(s) and entry_change(before, s) > 4.0, 15)
        return self.settled(1.0)

    def to_menu_from_result(self):
        self.click(NO)
        return self.wait_for("the menu", menu_shown, 20)

    def quit_by(self, how, keluar_steps):
        """Quits with the menu's Keluar (`keluar_steps` right of the current
        entry) or by closing the window; the seconds from the click to the end
        of the process, and the exit status."""
        if how == "keluar":
            self.step_menu(RIGHT_ARROW, keluar_steps)
            clicked = self.click(MENU_ENTRY)
        else:
            clicked = self.x.close(self.window)
        status = wait_end(self.proc, clicked + 60)
        seconds = now() - clicked
        return seconds, status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
