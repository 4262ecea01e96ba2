#!/usr/bin/python3
"""The score server run as several worker processes: a score any worker
published is in the very next listing and page of every other, a change
made by hand too; the bounds hold for the server, not per worker; a worker
that dies is started again, and a stop ends them all. Which worker serves a
connection is read from /proc.

usage: workers_test.py <path of scripts/score_server.py> [unittest options]
"""

import os
import re
import signal
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import score_server_test as base  # noqa: E402
from bounds_test import first_line, login, raw_connection, store  # noqa: E402
from score_server_test import HANG, STOP_LIMIT, ServerCase, temporary_name  # noqa: E402


def workers_of(pid):
    """The pids of the worker processes of the server `pid`."""
    found = set()
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                found.update(int(p) for p in f.read().split())
        except OSError:
            pass
    return found


def socket_inode(local_port, remote_port):
    """The inode of the server's end of the loopback TCP connection from
    `remote_port` to `local_port`, or None."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if (int(fields[1].rsplit(":", 1)[1], 16) == local_port
                            and int(fields[2].rsplit(":", 1)[1], 16) == remote_port):
                        return fields[9]
        except OSError:
            continue
    return None


def serving_worker(server_pid, server_port, client):
    """Which worker holds the server's end of the connection `client` (a
    socket), or None when none does (yet)."""
    inode = socket_inode(server_port, client.getsockname()[1])
    if inode is None:
        return None
    target = "socket:[%s]" % inode
    for pid in workers_of(server_pid):
        try:
            for fd in os.listdir("/proc/%d/fd" % pid):
                try:
                    if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == target:
                        return pid
                except OSError:
                    continue
        except OSError:
            continue
    return None


def alive(pid):
    """Whether `pid` runs (a zombie waiting for its parent does not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_for(condition, limit=HANG):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return condition()


class Workers(ServerCase):
    def start_workers(self, count=2, extra=()):
        server = self.start(extra=["--workers", str(count), *extra])
        self.assertTrue(wait_for(lambda: len(workers_of(server.proc.pid)) == count), "the workers did not start")
        return server

    def nlst(self, server):
        ftp = login(server)
        try:
            worker = serving_worker(server.proc.pid, server.ftp_port, ftp.sock)
            ftp.cwd("Korvala")
            return worker, ftp.nlst()
        finally:
            ftp.quit()

    def publish(self, server, name):
        ftp = login(server)
        try:
            worker = serving_worker(server.proc.pid, server.ftp_port, ftp.sock)
            tmp = temporary_name()
            self.assertTrue(store(ftp, tmp, b"{\\rtf1 score}").startswith("226"))
            ftp.rename(tmp, "Korvala/" + name)
            return worker
        finally:
            ftp.quit()

    def test_every_worker_lists_and_shows_what_any_worker_published(self):
        server = self.start_workers()
        published, across = [], 0
        for k in range(200):
            name = "%d(Pemain %d)(p%d@example.com)(Indonesia)" % (1000 - k, k, k)
            by = self.publish(server, name)
            published.append(name)
            listed_by, listed = self.nlst(server)
            self.assertEqual(sorted(listed), sorted(published), "listed by %s after %s published" % (listed_by, by))
            _, _, page = server.fetch("/")
            self.assertIn("<footer>%d nilai</footer>" % len(published), page)
            if by and listed_by and by != listed_by:
                across += 1
            if across >= 5 and k >= 20:
                break
        self.assertGreater(across, 0, "no listing was served by another worker than its upload")

    def test_a_change_by_hand_is_seen_by_every_worker(self):
        server = self.start_workers()
        self.publish(server, "5(A)(a@example.com)(Malaysia)")
        by_hand = os.path.join(self.scores_folder(), "9(Tangan)(t@example.com)(Brunei)")
        with open(by_hand, "w") as f:
            f.write("{\\rtf1 9}")
        seen = {}
        for _ in range(20):
            worker, listed = self.nlst(server)
            seen.setdefault(worker, []).append("9(Tangan)(t@example.com)(Brunei)" in listed)
        os.remove(by_hand)
        for _ in range(20):
            worker, listed = self.nlst(server)
            seen.setdefault(worker, []).append("9(Tangan)(t@example.com)(Brunei)" not in listed)
        self.assertTrue(all(all(v) for v in seen.values()), seen)

    def test_the_bounds_hold_for_the_server_not_for_each_worker(self):
        server = self.start_workers(extra=["--max-connections", "5", "--max-connections-per-address", "3"])
        held = []
        for source in ("127.0.0.2",) * 3 + ("127.0.0.3",) * 2:
            sock = raw_connection(server.ftp_port, source)
            held.append(sock)
            self.assertTrue(first_line(sock).startswith("220"))
        self.addCleanup(lambda: [s.close() for s in held])
        spread = {serving_worker(server.proc.pid, server.ftp_port, s) for s in held}
        for source, why in (("127.0.0.2", "per address"), ("127.0.0.4", "in all")):
            sock = raw_connection(server.ftp_port, source)
            self.addCleanup(sock.close)
            self.assertTrue(first_line(sock).startswith("421"), "a connection past the bound %s was served "
                            "(the held ones on workers %s)" % (why, spread))
        # Page connections from one address count together as well.
        pages = [raw_connection(server.http_port, "127.0.0.5") for _ in range(3)]
        self.addCleanup(lambda: [s.close() for s in pages])
        time.sleep(0.3)  # each is accepted before the next is tried
        busy = raw_connection(server.http_port, "127.0.0.5")
        self.addCleanup(busy.close)
        self.assertTrue(first_line(busy).startswith("HTTP/1.0 503"))

    def test_a_worker_that_dies_is_started_again_and_a_stop_ends_them_all(self):
        server = self.start_workers()
        first = workers_of(server.proc.pid)
        victim = min(first)
        os.kill(victim, signal.SIGKILL)
        self.assertTrue(wait_for(lambda: len(workers_of(server.proc.pid) - {victim}) == 2),
                        "the worker was not started again")
        for k in range(6):
            self.publish(server, "%d(B)(b@example.com)(Singapura)" % k)
            self.assertEqual(len(self.nlst(server)[1]), k + 1)
        workers = workers_of(server.proc.pid)
        self.assertEqual(server.stop(), 0)
        self.assertTrue(wait_for(lambda: not any(alive(p) for p in workers), STOP_LIMIT),
                        "a worker outlived the server")
        err = server.proc.stderr.read()
        self.assertRegex(err, r"worker \d ended unasked \(signal 9\): starting it again")
        self.assertNotIn("Traceback", err)

    def test_workers_end_with_a_server_that_was_killed(self):
        server = self.start_workers()
        workers = workers_of(server.proc.pid)
        server.proc.kill()
        server.proc.wait()
        self.assertTrue(wait_for(lambda: not any(alive(p) for p in workers), STOP_LIMIT),
                        "a worker outlived a killed server")
        # Nobody answers on the port any more.
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", server.ftp_port), timeout=1).close()


class WatchedFolder(ServerCase):
    """A worker's store follows what other processes do in the folder from
    the system's reports, reading the folder whole only when they may have
    missed something."""

    def test_changes_made_elsewhere_take_their_place_without_a_reading(self):
        module = base.load_server_module()
        folder = self.scores_folder()
        os.makedirs(folder)
        path = lambda name: os.path.join(folder, name)  # noqa: E731
        for name in ("500(Ana)(e)(A)", "100(Cici)(e)(C)"):
            with open(path(name), "w") as f:
                f.write(name)
        reads = []
        real = module.read_folder
        module.read_folder = lambda where: reads.append(where) or real(where)
        self.addCleanup(setattr, module, "read_folder", real)
        store = module.FolderScores(folder)
        watch = module.FolderWatch(folder)
        self.addCleanup(watch.close)
        store.watch(watch)

        def ranked():
            ranking = store.ranking()
            return [name for _, name in ranking.rows(0, ranking.matched)]

        self.assertEqual(ranked(), ["500(Ana)(e)(A)", "100(Cici)(e)(C)"])
        self.assertEqual(store.ranking("cici").matched, 1)  # the folded names are kept from here on
        upload = os.path.join(self.tmp, "upload")
        # (what another process does, the ranking after it, the listing after it)
        steps = [
            (lambda: open(upload, "w").close() or os.replace(upload, path("300(Budi)(e)(B)")),
             ["500(Ana)(e)(A)", "300(Budi)(e)(B)", "100(Cici)(e)(C)"], None),
            (lambda: os.remove(path("500(Ana)(e)(A)")), ["300(Budi)(e)(B)", "100(Cici)(e)(C)"], None),
            (lambda: os.mkdir(path("99(folder)")), ["300(Budi)(e)(B)", "100(Cici)(e)(C)"],
             ["100(Cici)(e)(C)", "300(Budi)(e)(B)", "99(folder)"]),
            (lambda: os.symlink(path("100(Cici)(e)(C)"), path("700(Tautan)(e)(T)")),
             ["700(Tautan)(e)(T)", "300(Budi)(e)(B)", "100(Cici)(e)(C)"], None),
            # Gone and back within one look: the order of the reports holds.
            (lambda: (os.remove(path("300(Budi)(e)(B)")), open(path("300(Budi)(e)(B)"), "w").close()),
             ["700(Tautan)(e)(T)", "300(Budi)(e)(B)", "100(Cici)(e)(C)"], None),
            (lambda: (open(path("1(Sekejap)(e)(S)"), "w").close(), os.remove(path("1(Sekejap)(e)(S)"))),
             ["700(Tautan)(e)(T)", "300(Budi)(e)(B)", "100(Cici)(e)(C)"], None),
        ]
        for k, (change, ranking, listing) in enumerate(steps):
            with self.subTest(step=k):
                change()
                self.assertEqual(ranked(), ranking)
                self.assertEqual(store.names(), listing or sorted(os.listdir(folder)))
                self.assertEqual(store.ranking("cici").matched, 1)
        self.assertEqual(len(reads), 1, "the folder was read again for changes the system reported")
        # The folder itself moved away and a new one made: read whole.
        os.rename(folder, folder + ".old")
        os.makedirs(folder)
        with open(path("42(Baru)(e)(N)"), "w") as f:
            f.write("n")
        self.assertEqual(ranked(), ["42(Baru)(e)(N)"])
        self.assertEqual(len(reads), 2)
        with open(path("43(Lagi)(e)(N)"), "w") as f:
            f.write("n")
        self.assertEqual(ranked(), ["43(Lagi)(e)(N)", "42(Baru)(e)(N)"], "the new folder is watched")
        self.assertEqual(len(reads), 2)


class Settings(ServerCase):
    def test_workers_setting(self):
        for value, accepted in (("1", True), ("auto", True), ("3", True), ("0", False), ("65", False),
                                ("dua", False)):
            with self.subTest(workers=value):
                server = base.ScoreServer(self.folder, extra=["--workers", value])
                self.addCleanup(server.close)
                if accepted:
                    server.wait_ready()
                    self.assertEqual(server.stop(), 0)
                else:
                    _, err = server.proc.communicate(timeout=HANG)
                    self.assertEqual(server.proc.returncode, 2)
                    self.assertTrue(re.search(r"workers", err), err)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    base.SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
