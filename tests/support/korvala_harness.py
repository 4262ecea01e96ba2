#!/usr/bin/python3
"""The one place where the tests and benchmarks start, wait for and stop what
the game runs among: a private X server (Xvfb, and a window manager when asked
for and one is installed), a private sound server (pulseaudio with a null
output), the score server (scripts/score_server.py, or the fault tests' copy
of it) and the game itself with a home of its own.

From Python:

    with XServer(workdir) as x, SoundServer(workdir) as sound:
        game = Game(executable, x, home, sound=sound)

From a shell script or a C++ fixture, through the command line:

    korvala_harness.py xserver [--wm] -- CMD...      CMD with DISPLAY set; the server stops after it
    korvala_harness.py sound-server [--suspend-on-idle] -- CMD...
                                                      CMD with PULSE_SERVER set (and the rest a client needs)
    korvala_harness.py run --xserver --sound-server -- CMD...
    korvala_harness.py serve score-server|fault-server [their options]
        starts the server, prints "ready ..." once it answers (or "skip ..." /
        "failed ..." and exits), passes on every later line the server says,
        and stops it when standard input ends; a line "kill" on standard input
        kills it at once (SIGKILL, as a crash) and ends.
    korvala_harness.py session [--artefacts DIR]
        a private X server and the game in it, driven line by line (one JSON
        request, one JSON answer; see korvala_player.Session)
    korvala_harness.py drive [--title T] STEP...      one step of the player on $DISPLAY (see korvala_player)

Exit status 77 when something needed is not installed here (the tests' "skipped").

Only Debian's packages are used: xvfb, pulseaudio, pulseaudio-utils, libx11-6,
libxtst6, python3-pil; the score server needs python3-pyftpdlib.
"""
import argparse
import ctypes
import ctypes.util
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SCORE_SERVER = os.path.join(SOURCE, "scripts", "score_server.py")
FAULT_SERVER = os.path.join(SOURCE, "tests", "faults", "fault_server.py")
PYTHON = "/usr/bin/python3"
SKIP_STATUS = 77


class SkipTest(Exception):
    """Something the test needs is not installed or not allowed here."""


def now():
    return time.monotonic()


_prctl = ctypes.CDLL(None).prctl  # looked up here, never in a forked child


def _die_with_parent():
    """Run in a child before it starts: it is killed when its parent ends,
    however that ends (a time-out kills only the test itself)."""
    _prctl(1, int(signal.SIGKILL))  # PR_SET_PDEATHSIG


def spawn(args, **kwargs):
    """A child process that never outlives the one that started it."""
    return subprocess.Popen(args, preexec_fn=_die_with_parent, **kwargs)


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


def stop_process(proc, limit=10):
    """SIGTERM, then SIGKILL after `limit` seconds; reaped either way."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(limit)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def kill_process(proc):
    """Killed at once (SIGKILL), as a crash ends it."""
    if proc is not None and proc.poll() is None:
        proc.kill()
        proc.wait()


class _Service:
    """start()/stop() as a context manager."""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# ------------------------------------------------------------------ X server

WINDOW_MANAGERS = ("openbox", "xfwm4", "metacity", "icewm", "fluxbox", "twm")
SUBSTRUCTURE_REDIRECT_MASK = 1 << 20


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


class _XSizeHints(ctypes.Structure):
    _fields_ = [("flags", ctypes.c_long), ("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("min_width", ctypes.c_int), ("min_height", ctypes.c_int),
                ("max_width", ctypes.c_int), ("max_height", ctypes.c_int), ("width_inc", ctypes.c_int),
                ("height_inc", ctypes.c_int), ("min_aspect", ctypes.c_int * 2), ("max_aspect", ctypes.c_int * 2),
                ("base_width", ctypes.c_int), ("base_height", ctypes.c_int), ("win_gravity", ctypes.c_int)]


P_MIN_SIZE, P_MAX_SIZE = 1 << 4, 1 << 5


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
    x11.XGetWMNormalHints.argtypes = [vp, ul, ctypes.POINTER(_XSizeHints), ctypes.POINTER(ctypes.c_long)]
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
    x11.XCreateSimpleWindow.restype = ul
    x11.XCreateSimpleWindow.argtypes = [vp, ul, i, i, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint, ul, ul]
    x11.XStoreName.argtypes = [vp, ul, ctypes.c_char_p]
    x11.XMapWindow.argtypes = [vp, ul]
    x11.XDestroyWindow.argtypes = [vp, ul]
    xtst.XTestQueryExtension.argtypes = [vp, ctypes.POINTER(i), ctypes.POINTER(i), ctypes.POINTER(i),
                                         ctypes.POINTER(i)]
    xtst.XTestFakeMotionEvent.argtypes = [vp, i, i, i, ul]
    xtst.XTestFakeButtonEvent.argtypes = [vp, ctypes.c_uint, i, ul]
    xtst.XTestFakeKeyEvent.argtypes = [vp, ctypes.c_uint, i, ul]
    return x11, xtst


# An X error (a window that went away between two calls) is not fatal here.
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)


class XServer(_Service):
    """A private Xvfb on a display it picks itself (-displayfd), optionally a
    window manager on it (handed out only once the manager has taken the
    screen), and one client connection for screen captures and real input
    (XTest). `name` is the display, e.g. ":3"."""

    def __init__(self, workdir=None, wm=False, connect=True):
        self.workdir = workdir
        self.wm = wm
        self.connect = connect
        self.proc = None
        self.wm_proc = None
        self.display = None
        self.name = None

    def start(self):
        if not os.access("/usr/bin/Xvfb", os.X_OK):
            raise SkipTest("no Xvfb (package xvfb)")
        log = open(os.path.join(self.workdir, "xvfb.log"), "w") if self.workdir else subprocess.DEVNULL
        read_fd, write_fd = os.pipe()
        self.proc = spawn(
            ["/usr/bin/Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=log)
        os.close(write_fd)
        if log is not subprocess.DEVNULL:
            log.close()  # the server writes to its own copy
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
            stop_process(self.proc)
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode()
        manager = None
        if self.wm:
            manager = next((shutil.which(w) for w in WINDOW_MANAGERS if shutil.which(w)), None)
            if manager:
                self.wm_proc = spawn([manager], env=dict(os.environ, DISPLAY=self.name),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.connect or self.wm_proc:
            try:
                self.x11, self.xtst = _libs()
            except OSError as e:
                self.stop()
                raise SkipTest("no X client libraries: %s" % e)
            self.x11.XSetErrorHandler(_ERROR_HANDLER)
            self.display = self.x11.XOpenDisplay(self.name.encode())
            if not self.display:
                self.stop()
                raise RuntimeError("cannot open display " + self.name)
            self.root = self.x11.XDefaultRootWindow(self.display)
        if self.wm_proc:
            self._wait_for_manager(os.path.basename(manager), now() + 30)
        if not self.connect and self.display:
            self.x11.XCloseDisplay(self.display)
            self.display = None
        return self

    def _wait_for_manager(self, manager, deadline):
        # A manager that has just selected the root window's map requests
        # and named itself on it may still drop a window mapped then: that
        # window stays unmapped for good. The server is handed out once the
        # manager has shown a window of the harness's own, mapped again
        # until it is shown.
        probe = None
        while now() < deadline and self.wm_proc.poll() is None:
            attrs = self.attributes(self.root)
            if attrs is not None and attrs.all_event_masks & SUBSTRUCTURE_REDIRECT_MASK:
                if probe is None:
                    probe = self.map_window("korvala-harness probe")
                    mapped = now()
                elif self.viewable(probe):
                    # Gone again, frame and all, before anything else comes.
                    frame = self.parent(probe)
                    self.destroy_window(probe)
                    while now() < deadline and frame != self.root and self.viewable(frame):
                        time.sleep(0.01)
                    return
                elif now() - mapped > 0.2:
                    self.x11.XMapWindow(self.display, probe)
                    self.x11.XSync(self.display, 0)
                    mapped = now()
            time.sleep(0.01)
        status = self.wm_proc.poll()
        self.stop()
        raise RuntimeError("the window manager %s did not take the screen (%s)" % (
            manager, "it ended with status %s" % status if status is not None else "time-out"))

    def map_window(self, title, x=0, y=0, width=64, height=64):
        """A plain top-level window of this connection, titled and mapped
        (with a window manager, the manager maps it when it takes it)."""
        window = self.x11.XCreateSimpleWindow(self.display, self.root, x, y, width, height, 0, 0, 0)
        self.x11.XStoreName(self.display, window, title.encode())
        self.x11.XMapWindow(self.display, window)
        self.x11.XSync(self.display, 0)
        return window

    def destroy_window(self, window):
        self.x11.XDestroyWindow(self.display, window)
        self.x11.XSync(self.display, 0)

    def stop(self):
        if self.display:
            self.x11.XCloseDisplay(self.display)
            self.display = None
        stop_process(self.wm_proc)
        stop_process(self.proc)

    def env(self, base=None):
        """`base` (the process's own environment) with DISPLAY set to this server."""
        return dict(os.environ if base is None else base, DISPLAY=self.name)

    def has_xtest(self):
        i = ctypes.c_int
        a, b, c, d = i(), i(), i(), i()
        return bool(self.xtst.XTestQueryExtension(self.display, ctypes.byref(a), ctypes.byref(b),
                                                  ctypes.byref(c), ctypes.byref(d)))

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

    def parent(self, window):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        n = ctypes.c_uint()
        if not self.x11.XQueryTree(self.display, window, ctypes.byref(root), ctypes.byref(parent),
                                   ctypes.byref(children), ctypes.byref(n)):
            return None
        if children:
            self.x11.XFree(children)
        return parent.value

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

    def attributes(self, window):
        attrs = _XWindowAttributes()
        if not self.x11.XGetWindowAttributes(self.display, window, ctypes.byref(attrs)):
            return None
        return attrs

    def viewable(self, window):
        attrs = self.attributes(window)
        return attrs is not None and attrs.map_state == 2  # IsViewable

    def size_hints(self, window):
        """The window's minimum and maximum size as it tells a window manager:
        ((min_w, min_h) or None, (max_w, max_h) or None)."""
        hints = _XSizeHints()
        supplied = ctypes.c_long()
        if not self.x11.XGetWMNormalHints(self.display, window, ctypes.byref(hints), ctypes.byref(supplied)):
            return None, None
        least = (hints.min_width, hints.min_height) if hints.flags & P_MIN_SIZE else None
        most = (hints.max_width, hints.max_height) if hints.flags & P_MAX_SIZE else None
        return least, most

    def windows(self, title):
        """The viewable top-level windows with this title (a window manager's
        frames searched one level down)."""
        found = []
        for w in self._children():
            if not self.viewable(w):
                continue
            if self.title(w) == title:
                found.append(w)
            elif self.wm_proc:
                root, parent = ctypes.c_ulong(), ctypes.c_ulong()
                kids = ctypes.POINTER(ctypes.c_ulong)()
                n = ctypes.c_uint()
                if self.x11.XQueryTree(self.display, w, ctypes.byref(root), ctypes.byref(parent),
                                       ctypes.byref(kids), ctypes.byref(n)):
                    found += [kids[k] for k in range(n.value) if self.title(kids[k]) == title]
                    if kids:
                        self.x11.XFree(kids)
        return found

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
        """What the screen shows in that rectangle (any window on top
        included), as an RGB picture; None when it cannot be read."""
        from PIL import Image
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
        """Letters, digits, "@" and "." as typed on the keyboard."""
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


def attach_display(name):
    """A client connection to an X server that runs already (`name`, e.g.
    $DISPLAY), with the same captures and input as XServer's."""
    x = XServer(connect=True)
    x.name = name
    try:
        x.x11, x.xtst = _libs()
    except OSError as e:
        raise SkipTest("no X client libraries: %s" % e)
    x.x11.XSetErrorHandler(_ERROR_HANDLER)
    x.display = x.x11.XOpenDisplay(name.encode())
    if not x.display:
        raise RuntimeError("cannot open display %s" % name)
    x.root = x.x11.XDefaultRootWindow(x.display)
    return x


# ------------------------------------------------------------------ sound server

NULL_SINK = "k_null"


class SoundServer(_Service):
    """A pulseaudio of our own with a null output (k_null, 48000 Hz stereo) as
    its default sink, reachable only through its own socket, so that nothing
    here uses or disturbs another sound server on the machine. It can be
    killed and started again on the same socket, as a player's sound server
    crashes and comes back. `suspend_on_idle` loads the module a desktop's
    server runs, which suspends an output a few seconds after its last stream
    stopped or went quiet. A client finds it through client_env()."""

    def __init__(self, workdir=None, suspend_on_idle=False):
        self.own_dir = workdir is None
        self.dir = tempfile.mkdtemp(prefix="korvala-pulse.") if workdir is None else os.path.join(workdir, "pulse")
        self.run = os.path.join(self.dir, "run")
        self.socket = os.path.join(self.run, "pulse", "native")
        os.makedirs(os.path.join(self.run, "pulse"), mode=0o700, exist_ok=True)
        os.chmod(self.run, 0o700)
        os.chmod(os.path.join(self.run, "pulse"), 0o700)
        os.makedirs(os.path.join(self.dir, "home"), exist_ok=True)
        with open(os.path.join(self.dir, "client.conf"), "w") as f:
            f.write("autospawn = no\n")
        script = ["load-module module-native-protocol-unix auth-anonymous=1 socket=%s" % self.socket,
                  "load-module module-null-sink sink_name=%s rate=48000 channels=2" % NULL_SINK,
                  "set-default-sink %s" % NULL_SINK]
        if suspend_on_idle:
            script.append("load-module module-suspend-on-idle")
        with open(os.path.join(self.dir, "server.pa"), "w") as f:
            f.write("\n".join(script) + "\n")
        self.proc = None
        self.pid = None
        self.starts = 0

    def client_env(self):
        """The variables that lead a client to this server (and keep it from
        starting a server of its own)."""
        return {"PULSE_SERVER": "unix:" + self.socket,
                "PULSE_CLIENTCONFIG": os.path.join(self.dir, "client.conf")}

    def env(self, base=None):
        """`base` (the process's own environment) with client_env()."""
        return dict(os.environ if base is None else base, **self.client_env())

    def start(self):
        for tool in ("pulseaudio", "pactl", "parec"):
            if not shutil.which(tool):
                raise SkipTest("needs pulseaudio, pactl and parec (packages pulseaudio, pulseaudio-utils)")
        if os.path.exists(self.socket):
            os.unlink(self.socket)  # left by a killed server
        env = self.env()
        env.update(HOME=os.path.join(self.dir, "home"), XDG_RUNTIME_DIR=self.run,
                   PULSE_RUNTIME_PATH=os.path.join(self.run, "pulse"),
                   PULSE_STATE_PATH=os.path.join(self.run, "pulse"))
        self.starts += 1
        self.log_path = os.path.join(self.dir, "pulse-%d.log" % self.starts)
        with open(self.log_path, "w") as log:
            self.proc = spawn(
                ["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                 "--disallow-exit", "--use-pid-file=no", "--log-target=stderr",
                 "-F", os.path.join(self.dir, "server.pa")],
                env=env, stdout=subprocess.DEVNULL, stderr=log)
        self.pid = self.proc.pid
        for _ in range(200):
            if self.pactl("info").returncode == 0:
                return self
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        tail = self.log_tail()
        self.stop()
        raise SkipTest("the private sound server did not start: " + tail)

    def log_tail(self, lines=5):
        try:
            return "".join(open(self.log_path, errors="replace").readlines()[-lines:])
        except (OSError, AttributeError):
            return ""

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env(), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)

    def kill(self):
        """Killed at once (SIGKILL), as a crash ends it."""
        kill_process(self.proc)

    def stop(self):
        stop_process(self.proc)
        if self.own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def silent_env(folder):
    """The variables that leave a client without any sound server (a socket
    that is not there), never the machine's own."""
    conf = os.path.join(folder, "no-sound-server.conf")
    with open(conf, "w") as f:
        f.write("autospawn = no\n")
    return {"PULSE_SERVER": "unix:" + os.path.join(folder, "no-sound-server"), "PULSE_CLIENTCONFIG": conf}


class Recording:
    """What the null output plays, recorded from its monitor as raw 16-bit
    stereo at 48000 Hz."""

    RATE = 48000

    def __init__(self, server, path):
        self.path = path
        self.out = open(path, "wb")
        self.proc = spawn(
            ["parec", "--latency-msec=20", "-d", NULL_SINK + ".monitor", "--format=s16le", "--rate=48000",
             "--channels=2", "--raw"], env=server.env(), stdout=self.out, stderr=subprocess.DEVNULL)
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


# ------------------------------------------------------------------ score server


class ServerProcess(_Service):
    """A server program that says one line when it is ready and one line for
    each thing it does after: started, waited for (its ready line), its lines
    kept for wait_line(), killed or stopped. Its standard error goes to
    `log`."""

    def __init__(self, args, ready, log=None, name="the server"):
        self.args = args
        self.ready_prefix = ready
        self.log = log
        self.name = name
        self.lines = []
        self.cond = threading.Condition()
        self.proc = None
        self.ready = None

    def start(self, limit=30):
        if not os.access(PYTHON, os.X_OK):
            raise SkipTest("no %s" % PYTHON)
        err = open(self.log, "w") if self.log else subprocess.DEVNULL
        self.proc = spawn(self.args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        self.ready = self.wait_line(self.ready_prefix, limit)
        if not self.ready:
            status = self.proc.poll()
            self.kill()
            said = self.log_tail()
            if status == 3:
                raise SkipTest("%s cannot run with this Python: %s" % (self.name, said))
            raise RuntimeError("%s did not come up (are its ports taken?): %s" % (self.name, said))
        return self

    def log_tail(self, chars=800):
        try:
            return open(self.log, errors="replace").read()[-chars:] if self.log else ""
        except OSError:
            return ""

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_line(self, prefix, limit, after=0):
        """The first line from number `after` on that starts with `prefix`;
        None at the limit or once the server has ended."""
        deadline = now() + limit
        with self.cond:
            while True:
                for line in self.lines[after:]:
                    if line.startswith(prefix):
                        return line
                left = deadline - now()
                if left <= 0 or self.proc.poll() is not None:
                    return None
                self.cond.wait(min(left, 0.2))

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self):
        kill_process(self.proc)

    def stop(self):
        if self.proc and self.proc.stdin:
            try:
                self.proc.stdin.close()  # a server that watches its input stops now
            except OSError:
                pass
        stop_process(self.proc)

    @staticmethod
    def ports(line):
        """{"ftp": 2121, "http": 2180} from a ready line."""
        out = {}
        for word in (line or "").split():
            key, _, value = word.partition("=")
            if value.isdigit():
                out[key] = int(value)
        return out


class ScoreServer(ServerProcess):
    """scripts/score_server.py in `folder` (its scores under ftp/Korvala/ and
    its certificate cert.pem), on the game's ports unless told otherwise;
    ready once it says "score server ready". It stops with the process that
    started it (it watches its standard input)."""

    def __init__(self, folder, tls=True, ftp_port=None, http_port=None, log=None, script=SCORE_SERVER):
        args = [PYTHON, script, "--folder", folder, "--watch-stdin"]
        if not tls:
            args.append("--no-tls")
        if ftp_port is not None:
            args += ["--ftp-port", str(ftp_port)]
        if http_port is not None:
            args += ["--http-port", str(http_port)]
        super().__init__(args, "score server ready", log or os.path.join(folder, "server.log"), "the score server")
        self.folder = folder
        os.makedirs(folder, exist_ok=True)

    def score_folder(self):
        return os.path.join(self.folder, "ftp", "Korvala")

    def cert(self):
        return os.path.join(self.folder, "cert.pem")


class FaultServer(ServerProcess):
    """tests/faults/fault_server.py (the score server with a fault switched
    on) on the game's FTP port; ready once it says "fault server ready"."""

    def __init__(self, folder, mode, ftp_port=2121, log=None):
        os.makedirs(folder, exist_ok=True)
        args = [PYTHON, FAULT_SERVER, "--mode", mode, "--folder", folder, "--ftp-port", str(ftp_port)]
        super().__init__(args, "fault server ready", log or os.path.join(folder, "server.log"),
                         "the fault server")
        self.folder = folder
        self.cert = None

    def start(self, limit=30):
        super().start(limit)
        # The certificate it made in its folder, for the game to trust; a
        # silent server never gets as far as TLS.
        self.cert = os.path.join(self.folder, "cert.pem") if self.ready.endswith(" tls") else None
        return self

    def score_folder(self):
        return os.path.join(self.folder, "ftp", "Korvala")


# ------------------------------------------------------------------ the game


def game_env(xserver, home, sound=None, demo=False, extra=None, base=None):
    """The environment the game runs with: the private X server, a home of
    its own (its data and settings under it, as on a player's machine), the
    sound server given or none at all, and nothing of the caller's Qt, sound
    or XDG settings."""
    base = os.environ if base is None else base
    env = {k: v for k, v in base.items() if not k.startswith(("PULSE_", "QT_", "XDG_"))}
    env.update(DISPLAY=xserver.name if hasattr(xserver, "name") else xserver, QT_QPA_PLATFORM="xcb", HOME=home,
               XDG_DATA_HOME=os.path.join(home, ".local", "share"),
               XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_RUNTIME_DIR=home,
               QTWEBENGINE_DISABLE_SANDBOX="1")
    env.update(sound.client_env() if sound is not None else silent_env(home))
    if demo:
        env["KORVALA_DEMO"] = "board"
    env.update(extra or {})
    return env


def data_folder(home):
    """The game's own data folder (profile and score files) for a home."""
    return os.path.join(home, ".local", "share", "Korvala", "Korvala Deluxe")


def loopback_server_folder(home):
    """The folder of the score server the game starts for itself."""
    return os.path.join(home, ".local", "share", "Korvala", "score-server")


class Game:
    """The game executable in its window on `xserver`, with its own `home`;
    `args` are the game's own options, `sound` a SoundServer (none: silent).
    Its output goes to `log` (default: game.log in its home); with
    KORVALA_E2E_VERBOSE set it comes through to ours instead."""

    def __init__(self, executable, xserver, home, extra_env=None, demo=True, args=(), sound=None, log=None):
        self.x = xserver
        self.home = home
        os.makedirs(home, mode=0o700, exist_ok=True)
        env = game_env(xserver, home, sound, demo, extra_env)
        self.log_path = log or os.path.join(home, "game.log")
        out = None if os.environ.get("KORVALA_E2E_VERBOSE") else open(self.log_path, "w")
        self.started = now()
        self.proc = spawn([executable, *args], env=env, stdout=out,
                          stderr=subprocess.STDOUT if out else None, cwd=home)
        self.pid = self.proc.pid

    def log_tail(self, lines=20):
        try:
            return "".join(open(self.log_path, errors="replace").readlines()[-lines:])
        except OSError:
            return ""

    def running(self):
        return self.proc.poll() is None

    def wait_end(self, limit):
        return wait_end(self.proc, now() + limit)

    def kill(self):
        kill_process(self.proc)


# ------------------------------------------------------------------ command line


def _run_with(services, command):
    """Runs `command` with the services' variables set; its exit status."""
    env = dict(os.environ)
    for service in services:
        env = service.env(env)
    proc = spawn(command, env=env)
    while True:
        try:
            return proc.wait()
        except KeyboardInterrupt:
            continue


def _cmd_run(args):
    if not args.command:
        sys.exit("no command after --")
    work = tempfile.mkdtemp(prefix="korvala-harness.")
    services = []
    try:
        if args.xserver:
            services.append(XServer(work, wm=args.wm, connect=False).start())
        if args.sound_server:
            services.append(SoundServer(work, suspend_on_idle=args.suspend_on_idle).start())
        return _run_with(services, args.command)
    except SkipTest as e:
        print("SKIP: %s" % e, flush=True)
        return SKIP_STATUS
    finally:
        for service in reversed(services):
            service.stop()
        shutil.rmtree(work, ignore_errors=True)


def _say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def _cmd_serve(args):
    """A server as a co-process of a C++ fixture (see the module's text)."""
    if args.kind == "score-server":
        server = ScoreServer(args.folder, tls=not args.no_tls, ftp_port=args.ftp_port, http_port=args.http_port)
    else:
        server = FaultServer(args.folder, args.mode, ftp_port=args.ftp_port or 2121)
    try:
        server.start()
    except SkipTest as e:
        _say("skip %s" % e)
        return SKIP_STATUS
    except RuntimeError as e:
        _say("failed %s" % str(e).replace("\n", " "))
        return 1
    ports = ServerProcess.ports(server.ready)
    _say("ready %s folder=%s %s" % (args.kind, args.folder, " ".join("%s=%d" % kv for kv in sorted(ports.items()))))
    _say(server.ready)
    done = threading.Event()

    def forward():
        with server.cond:
            seen = server.lines.index(server.ready) + 1
        while not done.is_set():
            with server.cond:
                while len(server.lines) <= seen and server.running() and not done.is_set():
                    server.cond.wait(0.2)
                fresh = server.lines[seen:]
                seen = len(server.lines)
            for line in fresh:
                _say(line)
            if not server.running() and not fresh:
                return

    threading.Thread(target=forward, daemon=True).start()
    for line in sys.stdin:
        if line.strip() == "kill":
            server.kill()
            break
    done.set()
    server.stop()
    _say("stopped")
    return 0


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="what", required=True)
    for name in ("run", "xserver", "sound-server"):
        r = sub.add_parser(name)
        if name == "run":
            r.add_argument("--xserver", action="store_true")
            r.add_argument("--sound-server", action="store_true")
        r.add_argument("--wm", action="store_true", help="a window manager too, when one is installed")
        r.add_argument("--suspend-on-idle", action="store_true")
        r.add_argument("command", nargs=argparse.REMAINDER)
    s = sub.add_parser("serve")
    s.add_argument("kind", choices=("score-server", "fault-server"))
    s.add_argument("--folder", required=True)
    s.add_argument("--no-tls", action="store_true")
    s.add_argument("--mode", default="normal")
    s.add_argument("--ftp-port", type=int, default=None)
    s.add_argument("--http-port", type=int, default=None)
    ses = sub.add_parser("session")
    ses.add_argument("--artefacts", default="")
    d = sub.add_parser("drive")
    d.add_argument("--title", default=None)
    d.add_argument("steps", nargs=argparse.REMAINDER)
    args = p.parse_args(argv)

    if args.what in ("run", "xserver", "sound-server"):
        if args.what == "xserver":
            args.xserver, args.sound_server = True, False
        elif args.what == "sound-server":
            args.xserver, args.sound_server = False, True
        if args.command and args.command[0] == "--":
            args.command = args.command[1:]
        return _cmd_run(args)
    if args.what == "serve":
        return _cmd_serve(args)
    sys.path.insert(0, HERE)
    import korvala_player
    if args.what == "session":
        return korvala_player.serve_session(args.artefacts)
    if args.steps and args.steps[0] == "--":
        args.steps = args.steps[1:]
    return korvala_player.drive(args.steps, args.title)


if __name__ == "__main__":
    sys.exit(main())
