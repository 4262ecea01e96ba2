"""Several worker processes of one score server: the listening sockets are
made once and every worker accepts from them on a loop of its own, so that
the server uses more than one core.

What the workers share:
  - the bounds: the connections of each service and the unfinished uploads,
    in all and per address, are counted in memory every worker sees
    (SharedTally), so that a bound holds for the server, not per worker;
  - the scores: every worker watches the score folder (FolderWatch), so that
    a score another worker published is in its very next listing and page.

The first process keeps only the workers running: it starts them, starts one
again when it ends unasked, and stops them all when it is told to stop.
"""

import ctypes
import ctypes.util
import logging
import mmap
import os
import signal
import struct
import time
import zlib

log = logging.getLogger("score-server")


# ---------------------------------------------------------------- shared counts

class SharedTally:
    """Counts by address that every worker adds to and every worker reads:
    one row per worker, written by its own worker only, so that no lock is
    needed. An address counts in one of SLOTS cells by a hash of it, so two
    addresses that share a cell count together: a bound may hold early for
    them, never late. Made before the workers start (the memory is shared
    with every process forked after)."""

    SLOTS = 1 << 14

    def __init__(self, workers):
        self.workers = workers
        self.row = 0
        self._width = self.SLOTS + 1  # the row's total, then its cells
        self._memory = mmap.mmap(-1, 4 * workers * self._width)
        self._cells = memoryview(self._memory).cast("i")

    def become(self, worker):
        """The row this process writes from now on."""
        self.row = worker

    def clear(self, worker):
        """Forgets what the worker counted: it has ended, and what it held
        ended with it."""
        base = worker * self._width
        self._cells[base:base + self._width] = memoryview(bytes(4 * self._width)).cast("i")

    def _cell(self, address):
        return 1 + zlib.crc32(str(address).encode("utf-8", "surrogateescape")) % self.SLOTS

    def add(self, address, delta):
        base = self.row * self._width
        self._cells[base] += delta
        self._cells[base + self._cell(address)] += delta

    def total(self):
        return sum(self._cells[w * self._width] for w in range(self.workers))

    def count(self, address):
        cell = self._cell(address)
        return sum(self._cells[w * self._width + cell] for w in range(self.workers))


class SharedAddressList(list):
    """pyftpdlib's list of the addresses of the FTP connections, each also
    counted in a SharedTally: its length and its counts are those of every
    worker together. The list itself holds this worker's only."""

    def __init__(self, tally):
        super().__init__()
        self.tally = tally

    def append(self, address):
        super().append(address)
        self.tally.add(address, 1)

    def remove(self, address):
        super().remove(address)
        self.tally.add(address, -1)

    def count(self, address):
        return self.tally.count(address)

    def __len__(self):
        return self.tally.total()


# ---------------------------------------------------------------- folder watch

IN_MOVED_FROM = 0x40
IN_MOVED_TO = 0x80
IN_CREATE = 0x100
IN_DELETE = 0x200
IN_DELETE_SELF = 0x400
IN_MOVE_SELF = 0x800
IN_Q_OVERFLOW = 0x4000
IN_IGNORED = 0x8000
IN_ONLYDIR = 0x01000000
IN_NONBLOCK = os.O_NONBLOCK
IN_CLOEXEC = os.O_CLOEXEC
WATCHED = IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF
LOST = IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF
EVENT = struct.Struct("iIII")

_libc = None


def _inotify():
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        _libc.inotify_init1.argtypes = [ctypes.c_int]
        _libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
    return _libc


class FolderWatch:
    """The names that came into or left one folder since the last look, as
    the system reports them (inotify). The system queues a change before the
    call that made it returns, so a change any process finished before
    changes() is called is in its answer."""

    def __init__(self, folder):
        self.folder = os.fsencode(folder)
        libc = _inotify()
        self.fd = libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "cannot watch the score folder: %s" % os.strerror(ctypes.get_errno()))
        self._watch()

    def _watch(self):
        wd = _inotify().inotify_add_watch(self.fd, self.folder, WATCHED | IN_ONLYDIR)
        self.watching = wd >= 0

    def changes(self):
        """[(name, came)] in the order they happened, came True for a name
        that came in; None when changes may have been missed (too many at
        once, or the folder itself moved or went): read it whole then."""
        found, whole = [], not self.watching
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                break
            except InterruptedError:
                continue
            if not data:
                break
            at = 0
            while at + EVENT.size <= len(data):
                _, mask, _, length = EVENT.unpack_from(data, at)
                name = data[at + EVENT.size:at + EVENT.size + length].rstrip(b"\0")
                at += EVENT.size + length
                if mask & LOST:
                    whole = True
                elif name:
                    found.append((os.fsdecode(name), bool(mask & (IN_MOVED_TO | IN_CREATE))))
        if whole:
            self._watch()  # the folder may be a new one by now
            return None
        return found

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


# ---------------------------------------------------------------- workers

PR_SET_PDEATHSIG = 1
RESTART_PAUSE = 1.0   # seconds before a worker that ended unasked is started again
STOP_GRACE = 5.0      # seconds the workers have to stop before they are killed


def end_with_parent():
    """This process is sent SIGTERM when the process that started it ends,
    however it ends."""
    try:
        _inotify().prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def run_workers(count, serve, stop, clear, started):
    """Runs `serve(worker)` in `count` forked processes until `stop` is set;
    returns 0, or 1 when no worker could be started. `started()` is called
    once they all run. A worker that ends while the server runs is started
    again after a pause (`clear(worker)` forgets what it held first).
    `serve` returns the worker's exit status; it stops when the worker's
    copy of `stop` is set (SIGTERM, through the handler it inherits)."""
    parent = os.getpid()
    running = {}  # pid -> worker

    def start(worker):
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                signal.signal(signal.SIGINT, signal.SIG_IGN)  # a terminal's Ctrl-C: the first process stops them
                end_with_parent()
                if os.getppid() != parent:  # the parent ended before the line above
                    os._exit(0)
                status = serve(worker)
            except BaseException:
                log.exception("worker %d failed", worker)
            finally:
                logging.shutdown()
                os._exit(status if isinstance(status, int) else 1)
        running[pid] = worker

    for worker in range(count):
        try:
            start(worker)
        except OSError as e:
            log.error("cannot start worker %d: %s", worker, os.strerror(e.errno) if e.errno else e)
    if not running:
        return 1
    started()

    while not stop.is_set():
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            pid, status = 0, 0
        if pid == 0:
            stop.wait(0.2)
            continue
        worker = running.pop(pid, None)
        if worker is None or stop.is_set():
            continue
        log.warning("worker %d ended unasked (%s): starting it again", worker, _exit_text(status))
        clear(worker)
        stop.wait(RESTART_PAUSE)
        if not stop.is_set():
            try:
                start(worker)
            except OSError as e:
                log.error("cannot start worker %d again: %s", worker, os.strerror(e.errno) if e.errno else e)

    for pid in running:
        _signal(pid, signal.SIGTERM)
    deadline = time.monotonic() + STOP_GRACE
    while running and time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid == 0:
            time.sleep(0.05)
        else:
            running.pop(pid, None)
    for pid in running:
        _signal(pid, signal.SIGKILL)
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass
    return 0


def _signal(pid, sig):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass


def _exit_text(status):
    if os.WIFSIGNALED(status):
        return "signal %d" % os.WTERMSIG(status)
    return "status %d" % os.WEXITSTATUS(status)
