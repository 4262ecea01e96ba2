#!/usr/bin/python3
"""The score server's bounds, as a holder of the game's password who means
harm meets them one at a time: the size of an upload, the temporaries a
connection and an address hold, connections per address and in all, the
time to log in, old temporaries, a score ceiling, names the game cannot
make, protocol slips, running out of open files; and the certificate made
once when servers start together, and its copy for every account. Each
server runs with small bounds in its own temporary folder on ports the
system picks.

usage: bounds_test.py <path of scripts/score_server.py> [unittest options]
"""

import ftplib
import hashlib
import os
import random
import resource
import socket
import ssl
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import score_server_test as base  # noqa: E402
from score_server_test import HANG, PASSWORD, PYTHON, USER, ScoreServer, ServerCase, temporary_name  # noqa: E402


def login(server, source="127.0.0.1"):
    """A logged-in ftplib client over TLS (PROT P) from the address `source`."""
    ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=server.cert), timeout=HANG)
    ftp.connect("127.0.0.1", server.ftp_port, source_address=(source, 0))
    ftp.login(USER, PASSWORD)
    ftp.prot_p()
    return ftp


def store(ftp, name, data, rest=None):
    """Sends `data` with STOR `name` (after REST `rest`) and returns the
    transfer's final reply, whatever its code."""
    ftp.voidcmd("TYPE I")
    try:
        conn = ftp.transfercmd("STOR " + name, rest)
    except ftplib.error_perm as refused:
        return str(refused)
    try:
        conn.sendall(data)
        conn.unwrap()
    except OSError:
        pass  # cut off by the server: its reply says why
    finally:
        conn.close()
    return ftp.getmultiline()


def reply(ftp, command):
    """The reply to one command line, whatever its code."""
    ftp.putcmd(command)
    return ftp.getmultiline()


def raw_connection(port, source="127.0.0.1"):
    return socket.create_connection(("127.0.0.1", port), timeout=HANG, source_address=(source, 0))


def first_line(sock):
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(1)
        if not chunk:
            break
        data += chunk
    return data.decode("latin-1").strip()


def closed_within(sock, seconds):
    """Whether the other end closes `sock` within `seconds`; what it said before."""
    sock.settimeout(seconds)
    said = b""
    try:
        while True:
            chunk = sock.recv(4096)
            if not chunk:
                return True, said.decode("latin-1")
            said += chunk
    except (socket.timeout, ConnectionResetError):
        return False, said.decode("latin-1")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def log_of(server):
    """The server's standard error up to its stop."""
    server.stop()
    return server.proc.stderr.read()


def safe_name(data):
    """The file name the game's renaming (safeFileName) gives the score
    string `data` (bytes), as its documentation states it: C0, DEL and C1
    controls, '/', '\\', '%' and every byte of an invalid UTF-8 sequence as
    "%HH"; "", "." and ".." written out; a result above 255 bytes cut to 120
    bytes (between characters, never in an escape) and followed by "%%" and
    the SHA-256 of `data`."""
    if data in (b"", b".", b".."):
        return {b"": "%", b".": "%2E", b"..": "%2E%2E"}[data]
    out = []
    for c in data.decode("utf-8", "surrogateescape"):
        if "\udc80" <= c <= "\udcff":
            out.append("%%%02X" % (ord(c) - 0xDC00))
        elif c < " " or "\x7f" <= c <= "\x9f" or c in "/\\%":
            out.extend("%%%02X" % b for b in c.encode("utf-8"))
        else:
            out.append(c)
    name = "".join(out)
    encoded = name.encode("utf-8")
    if len(encoded) <= 255:
        return name
    cut = 120
    while cut > 0 and encoded[cut] & 0xC0 == 0x80:
        cut -= 1
    if encoded[cut - 1:cut] == b"%":
        cut -= 1
    elif encoded[cut - 2:cut - 1] == b"%":
        cut -= 2
    return encoded[:cut].decode("utf-8") + "%%" + hashlib.sha256(data).hexdigest()


class Uploads(ServerCase):
    def test_an_upload_past_max_upload_is_cut_off_and_its_temporary_removed(self):
        server = self.start(extra=["--max-upload", "64K"])
        home = os.path.join(self.folder, "ftp")
        ftp = login(server)
        self.addCleanup(ftp.close)
        # (bytes sent, sent after REST at, the transfer's reply, whether the temporary stays)
        cases = [
            (65536, None, "226", True),
            (65537, None, "552", False),
            (1 << 20, None, "552", False),
            (60000, None, "226", True),
            (10000, 60000, "552", False),  # a resumed upload counts from where it starts
        ]
        name = None
        for size, rest, code, stays in cases:
            with self.subTest(size=size, rest=rest):
                name = name if rest else temporary_name()
                said = store(ftp, name, b"x" * size, rest)
                self.assertTrue(said.startswith(code), said)
                self.assertEqual(os.path.exists(os.path.join(home, name)), stays)
                self.assertTrue(reply(ftp, "NOOP").startswith("200"), "the conversation is out of step")
        ftp.quit()
        server.upload(self.score_file, "Korvala/5(Ana)(e)(ID)")  # the game's own upload still passes
        self.assertEqual(server.listing(), ["5(Ana)(e)(ID)"])
        err = log_of(server)
        self.assertEqual(err.count("FTP upload from 127.0.0.1 cut off and removed: larger than 65536 bytes "
                                   "(max-upload)"), 1, err)

    def test_a_connection_and_an_address_hold_few_temporaries(self):
        server = self.start(extra=["--max-temporaries", "2", "--max-connections-per-address", "3"])
        first = login(server)
        names = [temporary_name() for _ in range(3)]
        # (command, what is stored, the reply)
        steps = [
            ("STOR", names[0], "226"),
            ("STOR", names[1], "226"),
            ("STOR", names[2], "552 Too many unfinished uploads on this connection"),
            ("STOR", names[0], "226"),  # a retried upload writes its temporary again
            ("DELE", names[1], "250"),
            ("STOR", names[2], "226"),
        ]
        for command, name, says in steps:
            with self.subTest(command=command, name=name):
                said = store(first, name, b"x") if command == "STOR" else reply(first, "DELE " + name)
                self.assertTrue(said.startswith(says), said)
        first.quit()
        # The address holds 2 x 3 at most, across its connections: what a
        # failed upload leaves stays for the game to delete.
        for _ in range(2):
            ftp = login(server)
            for _ in range(2):
                self.assertTrue(store(ftp, temporary_name(), b"x").startswith("226"))
            ftp.quit()
        ftp = login(server)
        self.addCleanup(ftp.close)
        said = store(ftp, temporary_name(), b"x")
        self.assertTrue(said.startswith("552 Too many unfinished uploads from this address"), said)
        other = login(server, "127.0.0.2")  # another address has its own share
        self.assertTrue(store(other, temporary_name(), b"x").startswith("226"))
        other.quit()
        self.assertTrue(reply(ftp, "DELE " + names[0]).startswith("250"))  # the game's clean-up
        self.assertTrue(store(ftp, temporary_name(), b"x").startswith("226"))
        ftp.quit()
        err = log_of(server)
        self.assertIn("FTP upload from 127.0.0.1 refused: the connection holds 2 unfinished uploads already "
                      "(max-temporaries)", err)
        self.assertIn("FTP upload from 127.0.0.1 refused: the address holds 6 unfinished uploads already "
                      "(max-temporaries times max-connections-per-address)", err)

    def test_old_temporaries_are_removed_at_start_and_while_running(self):
        home = os.path.join(self.folder, "ftp")
        os.makedirs(os.path.join(home, "Korvala"))
        long_ago = time.time() - 60
        planted = {"korvala-upload-0000000000000001.part": "file", "notes.txt": "file",
                   "korvala-upload-0000000000000002.part": "folder",
                   os.path.join("Korvala", "korvala-upload-0000000000000003.part"): "file"}
        for name, kind in planted.items():
            path = os.path.join(home, name)
            if kind == "folder":
                os.mkdir(path)
            else:
                with open(path, "w") as f:
                    f.write("x")
            os.utime(path, (long_ago, long_ago))
        server = self.start(extra=["--temporary-age", "2"])
        self.assertFalse(os.path.exists(os.path.join(home, "korvala-upload-0000000000000001.part")))
        for name in planted:
            if name != "korvala-upload-0000000000000001.part":
                self.assertTrue(os.path.exists(os.path.join(home, name)), name)
        # One left while the server runs goes once it is older than 2 s.
        ftp = login(server)
        left = temporary_name()
        self.assertTrue(store(ftp, left, b"x").startswith("226"))
        ftp.quit()
        started = time.monotonic()
        while os.path.exists(os.path.join(home, left)) and time.monotonic() - started < HANG:
            time.sleep(0.2)
        self.assertFalse(os.path.exists(os.path.join(home, left)))
        self.assertGreaterEqual(time.monotonic() - started, 1)
        self.assertIn("removed 1 unfinished uploads older than 2 s", log_of(server))


class Connections(ServerCase):
    def test_connections_past_the_bounds_are_refused_with_the_reply_for_it(self):
        server = self.start(extra=["--max-connections", "5", "--max-connections-per-address", "2"])
        # (service, its port, what a refused client reads first)
        services = [("FTP", server.ftp_port, ("421 Too many connections from the same IP address.",
                                              "421 Too many connections. Service temporarily unavailable.")),
                    ("page", server.http_port, ("HTTP/1.0 503 Service Unavailable",) * 2)]
        for what, port, (per_address, in_all) in services:
            with self.subTest(service=what):
                held = []

                def connect(source):
                    sock = raw_connection(port, source)
                    held.append(sock)
                    self.addCleanup(sock.close)
                    return sock

                def welcomed(sock):
                    if what == "FTP":
                        return first_line(sock).startswith("220")
                    return closed_within(sock, 0.3) == (False, "")  # held open, waiting for a request

                for source in ("127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.2"):
                    self.assertTrue(welcomed(connect(source)))
                for _ in range(3):  # refused each time, said once
                    self.assertEqual(first_line(connect("127.0.0.1")), per_address)
                self.assertTrue(welcomed(connect("127.0.0.3")))
                self.assertEqual(first_line(connect("127.0.0.4")), in_all)
                held[0].close()
                time.sleep(0.3)
                self.assertTrue(welcomed(connect("127.0.0.4")))
                for sock in held:
                    sock.close()
                time.sleep(0.3)
        err = log_of(server)
        for says in ("FTP connection from 127.0.0.1 refused: 2 connections from this address already "
                     "(max-connections-per-address)",
                     "FTP connection from 127.0.0.4 refused: 5 connections already (max-connections)",
                     "page connection from 127.0.0.1 refused: 2 connections from this address already "
                     "(max-connections-per-address)",
                     "page connection from 127.0.0.4 refused: 5 connections already (max-connections)"):
            with self.subTest(says=says):
                self.assertEqual(err.count(says), 1, err)

    def test_a_connection_that_does_not_log_in_or_ask_in_time_is_closed(self):
        server = self.start(extra=["--login-timeout", "1"])

        def ftp_idle():
            sock = raw_connection(server.ftp_port)
            self.assertTrue(first_line(sock).startswith("220"))
            return sock

        def ftp_noops():
            sock = ftp_idle()
            for _ in range(3):
                sock.sendall(b"NOOP\r\n")
                time.sleep(0.3)
            return sock

        def ftp_in_tls_handshake():
            sock = ftp_idle()
            sock.sendall(b"AUTH TLS\r\n")
            self.assertTrue(first_line(sock).startswith("234"))
            return sock

        def page_idle():
            return raw_connection(server.http_port)

        def page_half_request():
            sock = raw_connection(server.http_port)
            sock.sendall(b"GET / HTTP/1.0\r\n")
            return sock

        # (what the client does, what it reads before the server closes)
        cases = [(ftp_idle, "421 Login time-out."), (ftp_noops, "421 Login time-out."),
                 (ftp_in_tls_handshake, ""), (page_idle, ""), (page_half_request, "")]
        for make, said in cases:
            with self.subTest(client=make.__name__):
                sock = make()
                self.addCleanup(sock.close)
                closed, text = closed_within(sock, 4)
                self.assertTrue(closed, "still open after 4 s")
                self.assertEqual(text.strip().splitlines()[-1:] if text.strip() else [], [said] if said else [])
        ftp = login(server)  # a logged-in connection is not held to it
        time.sleep(1.5)
        self.assertTrue(reply(ftp, "NOOP").startswith("200"))
        ftp.quit()
        err = log_of(server)
        self.assertIn("FTP connection from 127.0.0.1 closed: no login within 1 s (login-timeout)", err)
        self.assertIn("page connection from 127.0.0.1 closed: no request within 1 s (login-timeout)", err)

    def test_out_of_open_files_it_keeps_listening_and_serves_again_when_they_are_back(self):
        def few_files():
            resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))

        # A max-connections given is kept whatever the limit (the default
        # would be lowered to fit, below): the files run out.
        server = self.start(extra=["--max-connections", "512"], preexec_fn=few_files)
        attack = []
        for k in range(80):  # idle connections to the page and FTP, far past the limit
            try:
                sock = raw_connection(server.http_port if k % 2 else server.ftp_port, "127.0.0.%d" % (2 + k % 5))
            except OSError:
                continue
            attack.append(sock)
            self.addCleanup(sock.close)
        time.sleep(0.5)
        spent = cpu_seconds(server.proc.pid)
        time.sleep(1)
        self.assertLess(cpu_seconds(server.proc.pid) - spent, 0.3, "the server spins while out of files")
        self.assertIsNone(server.proc.poll())
        for sock in attack:
            sock.close()
        # Serves again within seconds, both services.
        started = time.monotonic()
        while server.curl("Korvala/", "--list-only", "--max-time", "2").returncode != 0:
            self.assertLess(time.monotonic() - started, 5, "FTP did not come back")
            time.sleep(0.2)
        server.upload(self.score_file, "Korvala/7(Kembali)(e)(ID)")
        self.assertEqual(server.listing(), ["7(Kembali)(e)(ID)"])
        self.assertEqual(server.fetch()[0], 200)
        spent = cpu_seconds(server.proc.pid)
        time.sleep(1)
        self.assertLess(cpu_seconds(server.proc.pid) - spent, 0.1, "not back to idle")
        err = log_of(server)
        self.assertIn("open files are limited to 48 here", err)
        self.assertRegex(err, r"(page|FTP) connections refused: out of open files \(Too many open files; the "
                              r"limit is 48\); a waiting connection was closed unanswered")
        self.assertNotIn("Traceback", err)

    def test_a_low_open_file_limit_lowers_the_default_max_connections_to_fit(self):
        def some_files():
            resource.setrlimit(resource.RLIMIT_NOFILE, (200, 200))

        server = self.start(preexec_fn=some_files)  # (200 - 64) / 4 connections to each service
        held = []
        for k in range(34):
            sock = raw_connection(server.http_port, "127.0.0.%d" % (2 + k % 4))
            held.append(sock)
            self.addCleanup(sock.close)
        self.assertEqual(closed_within(held[-1], 0.3), (False, ""))
        refused = raw_connection(server.http_port, "127.0.0.9")
        self.addCleanup(refused.close)
        self.assertEqual(first_line(refused), "HTTP/1.0 503 Service Unavailable")
        err = log_of(server)
        self.assertIn("open files are limited to 200 here: max-connections lowered from 1024 to 34", err)

    def test_a_client_that_drops_in_the_middle_is_one_line_at_most(self):
        server = self.start()
        base.ScoresPaging.plant(self, ["%d(Pemain%03d)(e)(Negara)" % (k, k) for k in range(300)])

        def drop(sock):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            sock.close()  # a reset, not a goodbye

        for _ in range(20):
            sock = raw_connection(server.http_port)
            sock.sendall(b"GET /?q=pemain HTTP/1.0\r\n\r\n")
            drop(sock)
        for _ in range(5):
            ftp = login(server)
            ftp.voidcmd("TYPE I")
            data = ftp.transfercmd("STOR " + temporary_name())
            data.sendall(b"x" * 1000)
            drop(data)
            drop(ftp.sock)
        time.sleep(0.5)
        self.assertEqual(server.fetch()[0], 200)
        err = log_of(server)
        self.assertNotIn("Traceback", err)
        self.assertLessEqual(err.count("page connection from 127.0.0.1 dropped"), 1, err)
        self.assertLessEqual(err.count("FTP connection from 127.0.0.1 dropped"), 1, err)


class Scores(ServerCase):
    def rename(self, ftp, name):
        """The game's submission of `name` on `ftp`: STOR, RNFR, RNTO; the
        last reply."""
        tmp = temporary_name()
        self.assertTrue(store(ftp, tmp, name.encode("utf-8", "surrogateescape")).startswith("226"))
        self.assertTrue(reply(ftp, "RNFR " + tmp).startswith("350"))
        return reply(ftp, "RNTO Korvala/" + name)

    def test_a_score_above_max_score_is_refused_at_the_rename(self):
        server = self.start(extra=["--max-score", "100000"])
        # (score name, taken)
        cases = [("100000(Pas)(e)(ID)", True), ("999999(Curang)(e)(ID)", False),
                 ("0000999999(Nol)(e)(ID)", False), ("100001", False), (" GOOD TIME", True), ("0(Nol)(e)(ID)", True)]
        for name, taken in cases:
            with self.subTest(name=name):
                tmp = temporary_name()
                run = server.curl(tmp, "-T", self.score_file, "-Q", "-RNFR " + tmp, "-Q", "-RNTO Korvala/" + name)
                self.assertEqual(run.returncode, 0 if taken else 21, run.stderr)  # 21: curl's failed quote
        self.assertEqual(server.listing(), sorted(n for n, taken in cases if taken))
        ftp = login(server)
        self.assertEqual(self.rename(ftp, "999999(Curang)(e)(ID)"), "553 Score above this server's ceiling.")
        ftp.quit()
        err = log_of(server)
        self.assertIn("FTP score from 127.0.0.1 refused: 999999 is above the ceiling 100000 (max-score): "
                      "999999(Curang)(e)(ID)", err)

    # Score strings as a player may type them, and texts any bytes make.
    TEXTS = [b"1250(Korvala)(email)(indonesia)", b" GOOD TIME", b"", b".", b"..", b"...", b"%", b"%%", b"%2E",
             b"7(Budi)(b@x.example)(Papua Nugini)", "9(Ädam 名前)(ä@e)(Indonésia)".encode(),
             b"5(a/b\\c)(d%e)(f)", b"1(\x01\x1f\x7f)(x)(y)", "3(\u0085\u009f)(x)(y)".encode(),
             b"2(\xff\xfe\xc0\xaf\xed\xa0\x80)(x)(y)", b"x" * 255, b"x" * 256, b"%" * 100,
             ("(" + "é" * 200 + ")").encode(), "🙂".encode() * 80, b"1(a)%G(b)(c)"]

    def test_names_the_game_makes_pass_and_names_it_cannot_make_are_refused(self):
        module = base.load_server_module()
        rng = random.Random(22)
        texts = list(self.TEXTS)
        for _ in range(500):
            pool = [bytes([rng.randrange(256)]) for _ in range(8)] + [c.encode() for c in "(%)/.é名🙂 \\"]
            texts.append(b"".join(rng.choice(pool) for _ in range(rng.randrange(0, 200))))
        for text in texts:
            name = safe_name(text)
            with self.subTest(text=text[:40]):
                self.assertIsNone(module.name_problem(name), name)
        # (a name the game could never make, why)
        refused = [("1(a)%G(b)(c)", "a % that starts no %HH"), ("1(a)%2e(b)(c)", "a % that starts no %HH"),
                   ("a%", "a % that starts no %HH"), ("%%", "a % that starts no %HH"),
                   ("a%%" + "0" * 63, "a % that starts no %HH"), ("a%%" + "A" * 64, "a % that starts no %HH"),
                   ("a%%" + "0" * 64 + "x", "a % that starts no %HH"),
                   ("a%%" + "0" * 64 + "%%" + "0" * 64, "a % that starts no %HH"),
                   ("1(a\x01)(b)(c)", "a control character"), ("x\x7f", "a control character"),
                   ("x\u0085", "a control character"), ("a\\b", "a slash"),
                   ("y" * 256, "more than 255 bytes"), ("é" * 128, "more than 255 bytes")]
        for name, why in refused:
            with self.subTest(name=name[:40]):
                self.assertEqual(module.name_problem(name), why)

        # On the wire: what the game makes arrives, the rest is refused with
        # a reply that says why, and nothing reaches Korvala/.
        server = self.start()
        ftp = login(server)
        self.addCleanup(ftp.close)
        sent = [safe_name(t) for t in (b"", b".", "9(Ädam/Eve)(ä@e)(ID)".encode(), b"x" * 300, b"7(a%b)(c)(d)")]
        for name in sent:
            with self.subTest(sent=name):
                self.assertTrue(self.rename(ftp, name).startswith("250"))
        for name, why in refused[:2] + [("1(a\x01)(b)(c)", "a control character")]:
            with self.subTest(refused=name):
                self.assertEqual(self.rename(ftp, name), "553 File name not allowed: it holds %s." % why)
        # Bytes that are not UTF-8 in the command itself.
        tmp = temporary_name()
        self.assertTrue(store(ftp, tmp, b"x").startswith("226"))
        self.assertTrue(reply(ftp, "RNFR " + tmp).startswith("350"))
        ftp.sock.sendall(b"RNTO Korvala/1(\xff)(b)(c)\r\n")
        self.assertEqual(ftp.getmultiline(), "553 File name not allowed: it holds bytes that are not UTF-8.")
        ftp.quit()
        self.assertEqual(sorted(os.listdir(self.scores_folder())), sorted(sent))
        err = log_of(server)
        self.assertIn("FTP score from 127.0.0.1 refused: the name holds a % that starts no %HH: 1(a)%G(b)(c)", err)
        self.assertIn("FTP score from 127.0.0.1 refused: the name holds a control character: 1(a\\x01)(b)(c)", err)


class Conversation(ServerCase):
    """Every command line gets one reply, so that the client's next reply
    is its own."""

    def test_slips_get_one_reply_each_and_leave_the_conversation_in_step(self):
        server = self.start()
        ftp = login(server)
        self.addCleanup(ftp.close)

        def nul():
            return [reply(ftp, "RNTO Korvala/a\x00b")]

        def over_long():
            return [reply(ftp, "RNTO Korvala/" + "x" * 4096)]

        def over_long_bytes():
            ftp.sock.sendall(b"NOOP " + b"\xff" * 70000 + b"\r\n")
            return [ftp.getmultiline()]

        def refused_retr_then_data_dropped(secured):
            def run():
                host, port = ftp.makepasv()
                data = socket.create_connection((host, port), timeout=HANG)
                if secured:
                    data = ftp.context.wrap_socket(data, server_hostname="127.0.0.1")
                said = reply(ftp, "RETR Korvala/x")
                data.close()
                time.sleep(0.3)
                return [said]
            run.__name__ = "refused_retr_then_%s_data_dropped" % ("tls" if secured else "plain")
            return run

        def listing_without_data_connection():
            return [reply(ftp, "NLST Korvala")]

        def listing_after_refused_clear_data():
            ftp.voidcmd("PROT C")
            said = [reply(ftp, "PASV"), reply(ftp, "NLST Korvala")]
            ftp.voidcmd("PROT P")
            return said

        # (what the client does, the replies it gets)
        cases = [(nul, ["501 Syntax error: the command holds a NUL byte."]),
                 (over_long, ["500 Command too long."]),
                 (over_long_bytes, ["500 Command too long."]),
                 (refused_retr_then_data_dropped(False), ["550 Not enough privileges."]),
                 (refused_retr_then_data_dropped(True), ["550 Not enough privileges."]),
                 (listing_without_data_connection, ["425 Use PASV or EPSV first."]),
                 (listing_after_refused_clear_data, ["550 SSL/TLS required on the data channel.",
                                                     "425 Use PASV or EPSV first."])]
        for run, replies in cases:
            with self.subTest(run.__name__):
                self.assertEqual(run(), replies)
                self.assertEqual(reply(ftp, "NOOP"), "200 I successfully did nothing'.")
        self.assertEqual(ftp.nlst("Korvala"), [])
        err = log_of(server)
        self.assertNotIn("Traceback", err)
        self.assertIn("FTP command from 127.0.0.1 refused: it holds a NUL byte", err)
        self.assertIn("FTP command from 127.0.0.1 refused: longer than 2048 bytes", err)


class Certificate(ServerCase):
    def start_together(self, folders):
        """Servers on `folders`, each held until the same instant, a moment
        after the last has been started; returns them once ready."""
        instant = time.time() + 5
        hold = ["-c", "import os, sys, time; time.sleep(max(0, %r - time.time())); "
                      "os.execv(sys.executable, [sys.executable] + sys.argv[1:])" % instant]
        servers = []
        for folder in folders:
            server = ScoreServer(folder, launcher=hold)
            self.addCleanup(server.close)
            servers.append(server)
        self.assertLess(time.time(), instant, "starting the servers took too long for a common instant")
        # Twenty servers making keys at once on a busy machine take a while.
        return [s.wait_ready(limit=6 * HANG) for s in servers]

    def test_servers_starting_together_make_one_matching_pair(self):
        module = base.load_server_module()
        folders = [os.path.join(self.tmp, "pair%d" % (k // 2)) for k in range(20)]
        servers = self.start_together(folders)
        for k in range(10):
            folder = os.path.join(self.tmp, "pair%d" % k)
            with self.subTest(pair=k):
                cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "cert.key")
                self.assertIsNone(module.pair_problem(module.Path(cert), module.Path(key)))
                self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
                self.assertEqual([n for n in os.listdir(folder) if n.startswith(".")], [], "a temporary stayed")
        for server in servers:  # each serves with the certificate its folder holds
            server.upload(self.score_file, "Korvala/1(Pasangan)(e)(ID)")
        made = [log_of(server).count("made a self-signed certificate") for server in servers]
        self.assertEqual([made[k] + made[k + 1] for k in range(0, 20, 2)], [1] * 10, "a pair was made twice")

    def test_a_certificate_that_does_not_match_its_key_stops_the_service_and_is_replaced_for_the_game(self):
        first = self.start()
        self.assertEqual(first.stop(), 0)
        other = self.start(folder=os.path.join(self.tmp, "other"))
        self.assertEqual(other.stop(), 0)
        cert = os.path.join(self.folder, "cert.pem")
        with open(os.path.join(self.tmp, "other", "cert.pem"), "rb") as f:
            foreign = f.read()
        # (the certificate's text, what the service says)
        cases = [(foreign, "do not match"), (b"not a certificate\n", "cannot be read")]
        for text, says in cases:
            with self.subTest(says=says):
                with open(cert, "wb") as f:
                    f.write(text)
                run = subprocess.run([PYTHON, base.SERVER, "--folder", self.folder, "--ftp-port", "0",
                                      "--http-port", "0"], capture_output=True, text=True, timeout=HANG)
                self.assertEqual(run.returncode, 2)
                self.assertEqual(run.stdout, "")
                self.assertEqual(len(run.stderr.splitlines()), 1, run.stderr)
                self.assertIn(says, run.stderr)
                self.assertIn("move both away", run.stderr)
                with open(cert, "rb") as f:
                    self.assertEqual(f.read(), text, "the service changed what it was given")
        # The game's own server (--watch-stdin) says so and makes a new pair.
        game = ScoreServer(self.folder, extra=["--watch-stdin"], stdin=subprocess.PIPE)
        self.addCleanup(game.close)
        game.wait_ready()
        game.upload(self.score_file, "Korvala/3(Baru)(e)(ID)")
        game.proc.stdin.close()
        self.assertEqual(game.proc.wait(timeout=HANG), 0)
        err = game.proc.stderr.read()
        self.assertIn("cannot be read", err)
        self.assertIn("making a new pair", err)

    def test_the_public_copy_is_readable_by_every_account_and_holds_no_key(self):
        public = os.path.join(self.tmp, "run", "korvala-score-server", "cert.pem")
        server = self.start(extra=["--public-certificate", public], preexec_fn=lambda: os.umask(0o077))
        with open(server.cert, "rb") as f, open(public, "rb") as g:
            self.assertEqual(g.read(), f.read())
        self.assertEqual(stat.S_IMODE(os.stat(public).st_mode), 0o644)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(public)).st_mode), 0o755)
        self.assertEqual(server.stop(), 0)
        # A certificate file that also holds its key (an operator's own):
        # only the certificate is copied.
        with open(server.cert, "rb") as f, open(os.path.join(self.folder, "cert.key"), "rb") as g:
            cert, key = f.read(), g.read()
        with open(server.cert, "wb") as f:
            f.write(key + cert)
        again = self.start(extra=["--public-certificate", public])
        with open(public, "rb") as f:
            self.assertEqual(f.read(), cert)
        self.assertEqual(again.stop(), 0)
        # A place it cannot write is said, and the server serves on.
        blocked = os.path.join(self.tmp, "file")
        open(blocked, "w").close()
        third = self.start(extra=["--public-certificate", os.path.join(blocked, "cert.pem")])
        third.upload(self.score_file, "Korvala/4(Tetap)(e)(ID)")
        self.assertIn("cannot put the certificate for every account at", log_of(third))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    base.SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
