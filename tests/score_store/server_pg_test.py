#!/usr/bin/python3
"""Score servers on a PostgreSQL database (score_server.py --store) on a
private cluster made for the run: the game's uploads, listings and the page
through real FTP over TLS with the server's bounds; three servers on one
database under a crowd of players while one server is killed and while the
database stops and starts; a replica that lags behind the page; and a score
folder moved into the database with --import-folder.

usage: server_pg_test.py [unittest options]

Skipped, with the reason, without PostgreSQL 15 or psycopg.
"""

import asyncio
import atexit
import ftplib
import importlib.util
import io
import os
import re
import secrets
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
SERVER = ROOT / "scripts" / "score_server.py"
PYTHON = "/usr/bin/python3"
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "tests" / "support")]

import pg_cluster  # noqa: E402

_bench = importlib.util.spec_from_file_location("load_bench", ROOT / "bench" / "server" / "load_bench.py")
load_bench = importlib.util.module_from_spec(_bench)
_bench.loader.exec_module(load_bench)

USER, PASSWORD = "korvala", "481526"
HANG = 30  # seconds: far above any normal answer; only a hang trips it


# -- the cluster ---------------------------------------------------------------

_databases = iter(range(1, 10**6))
cluster = pg_cluster.shared_cluster
tearDownModule = pg_cluster.close_shared_cluster


def new_database():
    """A new database owned by korvala: (its URL, its name)."""
    name = "servers%d" % next(_databases)
    with cluster().connect() as c:
        c.execute("CREATE DATABASE %s OWNER korvala" % name)
    return cluster().url(name, "korvala"), name


def rows(dbname):
    """{name: content} of every score in the database."""
    with cluster().connect(dbname) as c:
        return {bytes(n): bytes(content) for n, content in c.execute("SELECT name, content FROM scores")}


# -- a score server ------------------------------------------------------------

class Server:
    """One score server process on ports the system picks; its log in a file."""

    def __init__(self, folder, *options):
        self.folder = folder
        options = list(map(str, options))
        self.cert = options[options.index("--cert") + 1] if "--cert" in options else folder + "/cert.pem"
        os.makedirs(folder, exist_ok=True)
        self.log_path = os.path.join(folder, "server.log")
        self.log_file = open(self.log_path, "w")
        self.proc = subprocess.Popen([PYTHON, str(SERVER), "--folder", folder, "--ftp-port", "0", "--http-port", "0",
                                      *options], stdout=subprocess.PIPE, stderr=self.log_file, text=True)
        timer = threading.Timer(HANG, self.proc.kill)
        timer.start()
        try:
            line = self.proc.stdout.readline()
        finally:
            timer.cancel()
        m = re.fullmatch(r"score server ready ftp=(\d+) http=(\d+)\n", line)
        if not m:
            self.close()
            raise AssertionError("no ready line, got %r; log:\n%s" % (line, self.log()))
        self.ftp_port, self.http_port = int(m.group(1)), int(m.group(2))

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.log_file.close()

    def client(self):
        ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=self.cert),
                             timeout=HANG)
        ftp.connect("127.0.0.1", self.ftp_port)
        ftp.login(USER, PASSWORD)
        ftp.prot_p()
        return ftp

    def upload(self, ftp, name, content):
        """The game's sequence: STOR a temporary, RNFR it, RNTO Korvala/name;
        the reply to RNTO (or the error reply that ended the sequence)."""
        tmp = "korvala-upload-%s.part" % secrets.token_hex(8)
        try:
            ftp.storbinary("STOR " + tmp, io.BytesIO(content))
            ftp.sendcmd("RNFR " + tmp)
            return ftp.sendcmd("RNTO Korvala/" + name)
        except ftplib.Error as e:
            return str(e)

    def listing(self, ftp=None):
        own = ftp is None
        ftp = ftp or self.client()
        try:
            lines = []
            ftp.retrlines("NLST Korvala", lines.append)
            return lines
        finally:
            if own:
                ftp.quit()

    def page(self, path="/"):
        """(status, body) of the scores page."""
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.http_port, path), timeout=HANG) as r:
                return r.status, r.read().decode("utf-8")
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode("utf-8", "replace")


def page_rows(body):
    """[(rank, score, player, country)] of a page."""
    return re.findall(r'<td class="rank">(\d+)</td><td class="score">([^<]*)</td><td class="player">([^<]*)</td>'
                      r'<td class="country">([^<]*)</td>', body)


def free_range(size=50):
    """A run of `size` ports, free now, for one server's passive range."""
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            lo = s.getsockname()[1]
        if lo + size < 65535 and lo >= 1024:
            return "%d-%d" % (lo, lo + size - 1)


class ServerCase(unittest.TestCase):
    def setUp(self):
        cluster()
        self.work = tempfile.mkdtemp(prefix="korvala-server-pg-")
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.close()
        subprocess.run(["rm", "-rf", self.work])

    def server(self, name, *options):
        s = Server(os.path.join(self.work, name), *options)
        self.servers.append(s)
        return s


# -- one server ----------------------------------------------------------------

class OneServer(ServerCase):
    def test_the_games_uploads_listings_and_page_with_the_bounds(self):
        url, db = new_database()
        url = url.replace("korvala@", "korvala:hunter2@")  # the cluster trusts loopback: any password will do
        server = self.server("one", "--store", url, "--max-score", "100000", "--passive-address", "192.0.2.7",
                             "--passive-ports", free_range())
        self.assertIn("made the score schema, version 1", server.log())
        self.assertIn("korvala:***@", server.log())
        self.assertNotIn("hunter2", server.log())
        # (name, content, the reply's code): each upload in turn on one
        # connection, as a player's game sends them.
        cases = [
            ("500(Budi)(budi@x.example)(Indonesia)", b"first", "250"),
            ("90(Siti)(siti@x.example)(Malaysia)", b"siti", "250"),
            ("700(Budi)(budi@x.example)(Indonesia)", b"later", "250"),
            ("500(Budi)(budi@x.example)(Indonesia)", b"replaced", "250"),
            ("7(Zo%C3%AB %2F %25)(z@x.example)(Fran%C3%A7e)", b"escaped", "250"),
            ("7(\u00c9mile \U0001F600)(e@x.example)(Belgique)", b"emoji", "250"),
            ("100001(Over)(o@x.example)(Indonesia)", b"above the ceiling", "553"),
            ("1(a)%G(b)(c)", b"a name the game cannot make", "553"),
            ("9(tab\there)(t@x)(C)", b"a control character", "553"),
        ]
        ftp = server.client()
        for name, content, code in cases:
            self.assertEqual(server.upload(ftp, name, content)[:3], code, name)
        # A rename out of Korvala/ is refused as with the folder.
        ftp.storbinary("STOR korvala-upload-0123456789abcdef.part", io.BytesIO(b"x"))
        ftp.sendcmd("RNFR korvala-upload-0123456789abcdef.part")
        with self.assertRaisesRegex(ftplib.error_perm, "^550"):
            ftp.sendcmd("RNTO elsewhere")
        # PASV gives the public address; the data connection still works
        # (ftplib takes the control connection's address).
        self.assertIn("(192,0,2,7,", ftp.sendcmd("PASV"))
        stored = {n: c for n, c, code in cases if code == "250"}  # the last content of each name
        self.assertEqual(sorted(server.listing(ftp)), sorted(stored))
        ftp.quit()
        self.assertEqual(rows(db), {n.encode(): c for n, c in stored.items()})
        # Each temporary renamed is gone; those of refused renames stay for
        # the game or the age bound to remove, as with the folder.
        home = os.listdir(os.path.join(server.folder, "ftp"))
        self.assertEqual(len([n for n in home if n.endswith(".part")]), 4)

        status, body = server.page()
        self.assertEqual(status, 200)
        self.assertEqual(page_rows(body)[:3], [("1", "700", "Budi", "Indonesia"), ("2", "500", "Budi", "Indonesia"),
                                               ("3", "90", "Siti", "Malaysia")])
        self.assertIn("<footer>5 nilai</footer>", body)
        status, body = server.page("/?q=" + urllib.request.quote("ÉMILE"))
        self.assertEqual(page_rows(body), [("5", "7", "\u00c9mile \U0001F600", "Belgique")])
        self.assertIn("<footer>1 dari 5 nilai</footer>", body)
        self.assertEqual(server.page("/elsewhere")[0], 404)

    def test_commands_sent_behind_a_rename_are_answered_after_it(self):
        # A client may send its next commands before the rename's answer;
        # the answers must come in the order of the commands.
        url, _ = new_database()
        server = self.server("order", "--store", url)
        ftp = server.client()
        ftp.storbinary("STOR korvala-upload-00000000000000aa.part", io.BytesIO(b"x"))
        ftp.sendcmd("RNFR korvala-upload-00000000000000aa.part")
        ftp.sock.sendall(b"RNTO Korvala/5(Ani)(a@x)(ID)\r\nPWD\r\nNOOP\r\n")
        self.assertEqual([ftp.getresp()[:3], ftp.getresp()[:3], ftp.getresp()[:3]], ["250", "257", "200"])
        self.assertEqual(server.listing(ftp), ["5(Ani)(a@x)(ID)"])
        ftp.quit()


# -- three servers -------------------------------------------------------------

class Crowd:
    """Players (load_bench's, with the game's own sequence over TLS) spread
    over several servers, playing in a thread of their own until stopped;
    what each server acknowledged, when, and why anything failed."""

    def __init__(self, servers, players, cafile):
        self.ports = [s.ftp_port for s in servers]
        self.results = load_bench.Results()
        self.acks = []  # (port, time, name)
        self.stopped = threading.Event()
        context = load_bench.client_context(cafile)
        crowd = self

        class Tracked(load_bench.Player):
            async def upload(self, name, content):
                at = await super().upload(name, content)
                crowd.acks.append((self.port, at, name))
                return at

        self.players = [Tracked(k, "127.0.0.1", self.ports[k % len(self.ports)], "127.0.0.%d" % (2 + k // 50),
                                context, 1) for k in range(players)]
        self.thread = threading.Thread(target=lambda: asyncio.run(self._play()), daemon=True)
        self.thread.start()

    async def _play(self):
        async def player(p):
            while not self.stopped.is_set():
                failed = sum(self.results.failures.values())
                await p.play(time.monotonic(), self.results)
                p.k += 1000  # a new score name each round
                if sum(self.results.failures.values()) > failed:
                    await asyncio.sleep(0.2)  # a server that is gone refuses at once: no spinning
        await asyncio.gather(*(player(p) for p in self.players))

    def wait_for(self, acks, limit=HANG):
        deadline = time.monotonic() + limit
        while len(self.acks) < acks and time.monotonic() < deadline:
            time.sleep(0.05)

    def stop(self):
        self.stopped.set()
        self.thread.join(load_bench.TIMEOUT * 2 + 10)


def content_of(name):
    return (load_bench.SCORE_FILE % name).encode("cp1252", "replace")


class ThreeServers(ServerCase):
    def setUp(self):
        super().setUp()
        self.url, self.db = new_database()
        first = self.server("s0", "--store", self.url, "--passive-ports", free_range())
        self.cert = os.path.join(first.folder, "cert.pem")
        # One certificate for every server, as the players trust one.
        for k in (1, 2):
            self.server("s%d" % k, "--store", self.url, "--cert", self.cert, "--passive-ports", free_range())

    def check_whole(self, crowd, stored):
        """Every acknowledged score stored with its bytes, and no score
        stored but whole."""
        acknowledged = {name.encode() for _, _, name in crowd.acks}
        self.assertEqual(sorted(acknowledged - set(stored)), [])
        self.assertEqual([n for n, c in stored.items() if c != content_of(n.decode())], [])

    def test_a_server_killed_in_the_middle_loses_no_acknowledged_score(self):
        crowd = Crowd(self.servers, 24, self.cert)
        try:
            crowd.wait_for(30)
            victim = self.servers[1]
            victim.proc.kill()
            killed_at = time.monotonic()
            crowd.wait_for(len(crowd.acks) + 60)
        finally:
            crowd.stop()
        self.assertGreaterEqual(len(crowd.acks), 90, crowd.results.failures)
        survivors = [s for s in self.servers if s is not victim]
        # The others kept serving. (A reply the killed server sent just
        # before it died may be read a moment after: its port may be here.)
        after = {port for port, at, _ in crowd.acks if at > killed_at + 0.5}
        self.assertLessEqual({s.ftp_port for s in survivors}, after)
        stored = rows(self.db)
        self.check_whole(crowd, stored)
        for s in survivors:
            self.assertEqual(sorted(s.listing()), sorted(n.decode() for n in stored))

    def test_a_database_stopped_and_started_is_ridden_out(self):
        crowd = Crowd(self.servers, 24, self.cert)
        try:
            crowd.wait_for(30)
            cluster().stop()
            try:
                page_while_down = self.servers[0].page()
                time.sleep(1.5)
                down = len(crowd.acks)
            finally:
                cluster().start()
            crowd.wait_for(down + 60)
        finally:
            crowd.stop()
        self.assertEqual(page_while_down, (503, "Scores unavailable\n"))
        failures = crowd.results.failures
        self.assertTrue(failures, "no player met the stopped database")
        # While it was down: 451 from the store, or a connection the
        # stopping database cut; never anything acknowledged.
        self.assertEqual([why for why in failures if "451" not in why], [], failures)
        self.assertGreaterEqual(len(crowd.acks), down + 60, "the servers did not serve again")
        stored = rows(self.db)
        self.check_whole(crowd, stored)
        for s in self.servers:  # every server again, none restarted
            ftp = s.client()
            name = "1(after %d)(e)(C)" % s.ftp_port
            self.assertEqual(s.upload(ftp, name, b"x")[:3], "250")
            self.assertIn(name, s.listing(ftp))
            ftp.quit()
            self.assertIn("reachable again", s.log())


class LaggingReplica(ServerCase):
    def test_the_page_shows_older_scores_then_the_new_one(self):
        url, db = new_database()
        writer = self.server("writer", "--store", url)
        ftp = writer.client()
        self.assertEqual(writer.upload(ftp, "10(Old)(o@x)(ID)", b"old")[:3], "250")
        replica = cluster().replica()
        try:
            # The reader's databases from its configuration file, as a
            # shared server has them.
            config = os.path.join(self.work, "reader.conf")
            with open(config, "w") as f:
                f.write("[server]\nstore = %s\npage-store = %s\n" % (url, replica.url(db, "korvala")))
            reader = self.server("reader", "--config", config, "--cert", writer.folder + "/cert.pem")
            self.assertIn("the page reads postgresql://korvala@127.0.0.1:%d/" % replica.port, reader.log())
            replica.wait_replayed(cluster())
            self.assertEqual([r[2] for r in page_rows(reader.page()[1])], ["Old"])
            replica.pause_replay()
            self.assertEqual(writer.upload(ftp, "20(New)(n@x)(ID)", b"new")[:3], "250")
            status, body = reader.page()
            self.assertEqual((status, [r[2] for r in page_rows(body)]), (200, ["Old"]))
            self.assertIn("20(New)(n@x)(ID)", reader.listing())  # the listing reads the database itself
            replica.resume_replay()
            resumed = time.monotonic()
            while [r[2] for r in page_rows(reader.page()[1])] != ["New", "Old"]:
                self.assertLess(time.monotonic() - resumed, HANG, "the replica's page never caught up")
                time.sleep(0.05)
            print("the page showed the new score %.2f s after replay resumed" % (time.monotonic() - resumed),
                  file=sys.stderr)
        finally:
            ftp.quit()
            replica.close()


# -- moving a folder in --------------------------------------------------------

class ImportFolder(ServerCase):
    def run_server(self, *options):
        return subprocess.run([PYTHON, str(SERVER), "--folder", os.path.join(self.work, "import"), *options],
                              capture_output=True, text=True, timeout=HANG * 2)

    def test_a_folder_servers_scores_move_in_once(self):
        folder_server = self.server("folder")
        ftp = folder_server.client()
        names = ["100(Budi)(b@x)(Indonesia)", "100(Budi)(b@x)(Indonesia)", "5(Zo%C3%AB%2F%25)(z@x)(Fran%C3%A7e)",
                 "8(\u00c9mile \U0001F600)(e@x)(Belgique)", "%", ".hidden", "3(%00%7F%C2%85)(c@x)(C)"]
        for k, name in enumerate(names):
            self.assertEqual(folder_server.upload(ftp, name, b"content %d" % k)[:3], "250", name)
        listed = folder_server.listing(ftp)
        ftp.quit()
        scores = os.path.join(folder_server.folder, "ftp", "Korvala")

        url, db = new_database()
        first = self.run_server("--store", url, "--import-folder", scores)
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertIn("6 scores added, 0 already there, 0 skipped", first.stdout)
        again = self.run_server("--store", url, "--import-folder", scores)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("0 scores added, 6 already there", again.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.work, "import")))  # nothing served, nothing made
        self.assertEqual(rows(db)[b"100(Budi)(b@x)(Indonesia)"], b"content 1")  # the replaced score's last bytes

        database_server = self.server("database", "--store", url)
        self.assertEqual(len(listed), 6)
        self.assertEqual(sorted(database_server.listing()), sorted(listed))

    def test_what_cannot_be_imported_is_said(self):
        cases = [
            # (options, exit status, what standard error says)
            (["--import-folder", self.work], 2, "--import-folder needs --store"),
            (["--store", "postgresql://korvala@127.0.0.1:%d/none" % pg_cluster.free_port(),
              "--import-folder", self.work], 1, "cannot be reached"),
            (["--store", "mysql://korvala@db.example/korvala"], 2, "must be folder or a postgresql:// URL"),
            (["--page-store", "postgresql://korvala@db.example/korvala"], 2, "page-store needs store"),
            (["--passive-address", "scores.example"], 2, "passive-address must be an IPv4 address"),
        ]
        url, _ = new_database()
        cases.append((["--store", url, "--import-folder", os.path.join(self.work, "missing")], 1, "cannot read"))
        secret = url.replace("korvala@", "korvala:hunter2@")
        cases.append((["--store", secret.rsplit("/", 1)[0] + "/absent", "--import-folder", self.work], 1,
                      "korvala:***@"))
        for options, status, said in cases:
            done = self.run_server(*options)
            self.assertEqual(done.returncode, status, (options, done.stderr))
            self.assertIn(said, done.stderr, options)
            self.assertNotIn("hunter2", done.stderr + done.stdout)


if __name__ == "__main__":
    # A run stopped from outside (a time-out) still stops its cluster.
    atexit.register(tearDownModule)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    unittest.main(verbosity=2)
