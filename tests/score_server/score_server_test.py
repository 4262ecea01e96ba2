#!/usr/bin/python3
"""The score server as the game and a browser meet it: uploads with Debian's
curl over plain FTP and over TLS, the scores page fetched with curl, restarts,
busy ports and stop signals. Every server runs in its own temporary folder on
ports the system picks (--ftp-port 0 --http-port 0).

usage: score_server_test.py <path of scripts/score_server.py> [unittest options]
"""

import html
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse

SERVER = None  # set from argv
PYTHON = "/usr/bin/python3"
CURL = shutil.which("curl") or "/usr/bin/curl"
USER, PASSWORD = "korvala", "481526"
HANG = 20  # seconds: far above any normal answer; only a hang trips it
STOP_LIMIT = 10  # seconds a stop signal may take; the server checks for one five times a second


class ScoreServer:
    """One running score server, stopped by the test's clean-up."""

    def __init__(self, folder, ftp_port=0, http_port=0, extra=(), env=None):
        self.folder = folder
        args = [PYTHON, SERVER, "--ftp-port", str(ftp_port), "--http-port", str(http_port)]
        if folder is not None:
            args += ["--folder", folder]
        args += list(extra)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env=env)
        self.ready_line = None
        self.ftp_port = self.http_port = None

    def wait_ready(self):
        line = self._read_line()
        m = re.fullmatch(r"score server ready ftp=(\d+) http=(\d+)\n", line or "")
        if not m:
            self.proc.kill()
            _, err = self.proc.communicate(timeout=HANG)
            raise AssertionError("no ready line, got %r; stderr:\n%s" % (line, err))
        self.ready_line = line
        self.ftp_port, self.http_port = int(m.group(1)), int(m.group(2))
        return self

    def _read_line(self):
        # The server flushes the line as soon as both services listen; a
        # watchdog kills a server that never gets there.
        timer = threading.Timer(HANG, self.proc.kill)
        timer.start()
        try:
            return self.proc.stdout.readline()
        finally:
            timer.cancel()

    def stop(self, sig=signal.SIGTERM):
        """Sends `sig` and returns the exit status, or None when the server
        had not ended STOP_LIMIT seconds later (it is then killed)."""
        if self.proc.poll() is not None:
            return self.proc.returncode
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=STOP_LIMIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()

    def ftp_url(self, path):
        return "ftp://%s:%s@127.0.0.1:%d/%s" % (USER, PASSWORD, self.ftp_port,
                                                 urllib.parse.quote(path, safe="/"))

    @property
    def cert(self):
        return os.path.join(self.folder, "cert.pem")

    def upload(self, local, remote, how="plain"):
        """Uploads `local` as `remote` (a path below the account's home)."""
        args = [CURL, "-sS", "--max-time", str(HANG), "-T", local]
        if how == "tls":            # TLS on the control and the data connection
            args += ["--ssl-reqd", "--cacert", self.cert]
        elif how == "tls-control":  # TLS on the control connection only
            args += ["--ftp-ssl-control", "--cacert", self.cert]
        elif how == "renamed":      # the game's way: a temporary name, then RNFR/RNTO
            tmp = ".up-%d" % os.getpid()
            args += ["-Q", "-RNFR " + tmp, "-Q", "-RNTO " + remote]
            remote = tmp
        run = subprocess.run(args + [self.ftp_url(remote)], capture_output=True, text=True, timeout=HANG * 2)
        if run.returncode != 0:
            raise AssertionError("curl %s upload of %r failed (%d): %s" % (how, remote, run.returncode, run.stderr))

    def fetch(self, path="/"):
        """(status, headers as a dict with lower-case keys, body text) of a GET."""
        run = subprocess.run([CURL, "-sS", "--max-time", str(HANG), "-i",
                              "http://127.0.0.1:%d%s" % (self.http_port, path)],
                             capture_output=True, timeout=HANG * 2)
        if run.returncode != 0:
            raise AssertionError("curl page fetch failed (%d): %s" % (run.returncode, run.stderr))
        head, _, body = run.stdout.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(":")
            headers[k.strip().lower()] = v.strip()
        return status, headers, body.decode("utf-8")


def table_rows(page):
    """The score table as (rank, score, player) text triples, unescaped."""
    rows = []
    for tr in re.findall(r"<tr>(.*?)</tr>", page, re.S):
        cells = re.findall(r"<td[^>]*>(.*?)</td>", tr, re.S)
        if cells:
            rows.append(tuple(html.unescape(c) for c in cells))
    return rows


class ServerCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="korvala-score-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.folder = os.path.join(self.tmp, "data")
        self.score_file = os.path.join(self.tmp, "score.rtf")
        with open(self.score_file, "w") as f:
            f.write("{\\rtf1 score}\n")

    def start(self, folder=None, **kw):
        server = ScoreServer(self.folder if folder is None else folder, **kw)
        self.addCleanup(server.close)
        return server.wait_ready()

    def scores_folder(self):
        return os.path.join(self.folder, "ftp", "Korvala")


class ScoresPage(ServerCase):
    # Uploads in every way the game or a player's tools may send them; the page
    # ranks by the leading number as a number (9 < 10 < 100), not as text.
    UPLOADS = [
        ("9(Ani)(ani@example.com)(Malaysia)", "plain"),
        ("100(Budi)(budi@example.com)(Indonesia)", "tls"),
        ("10(Zed)(z@example.com)(Brunei)", "tls-control"),
        ("10(<script>alert(1)<script>)(x@example.com)(Indonesia)", "renamed"),
        ("007(Bond)(b@example.com)(United Kingdom)", "plain"),
        ("25(Dewi Ayu)(dewi@example.com)(Indonésia)", "plain"),
        (" GOOD TIME", "plain"),
        ("GOOD TIME", "plain"),
    ]
    EXPECTED = [  # (score, rest of the name)
        ("100", "(Budi)(budi@example.com)(Indonesia)"),
        ("25", "(Dewi Ayu)(dewi@example.com)(Indonésia)"),
        ("10", "(<script>alert(1)<script>)(x@example.com)(Indonesia)"),  # ties by name: '<' before 'Z'
        ("10", "(Zed)(z@example.com)(Brunei)"),
        ("9", "(Ani)(ani@example.com)(Malaysia)"),
        ("007", "(Bond)(b@example.com)(United Kingdom)"),
        ("", " GOOD TIME"),  # names without a number come last, by name
        ("", "GOOD TIME"),
    ]

    def test_uploads_show_ranked_escaped_and_without_hidden_files(self):
        server = self.start()
        for name, how in self.UPLOADS:
            with self.subTest(upload=name, how=how):
                server.upload(self.score_file, "Korvala/" + name, how)
        server.upload(self.score_file, "Korvala/.half-written")  # a dot-file is no score
        os.mkdir(os.path.join(self.scores_folder(), "99(a folder)"))  # nor is a folder

        self.assertEqual(sorted(os.listdir(self.scores_folder())),
                         sorted([n for n, _ in self.UPLOADS] + [".half-written", "99(a folder)"]))

        status, headers, page = server.fetch()
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("cache-control"), "no-store")
        self.assertRegex(headers.get("content-type", ""), r"^text/html;\s*charset=utf-8$")
        self.assertIn("<title>Korvala Deluxe 1.0 - Nilai Online</title>", page)
        self.assertNotIn("Belum ada nilai.", page)

        rows = table_rows(page)
        self.assertEqual([(r[1], r[2]) for r in rows], self.EXPECTED)
        self.assertEqual([r[0] for r in rows], [str(i) for i in range(1, len(self.EXPECTED) + 1)])

        # Player text stays text: no tag of the player's reaches the page.
        self.assertNotIn("<script>", page)
        self.assertIn("&lt;script&gt;alert(1)&lt;script&gt;", page)
        self.assertNotIn("half-written", page)
        self.assertNotIn("a folder", page)

    def test_page_follows_the_folder_at_each_request(self):
        server = self.start()
        status, headers, page = server.fetch()
        self.assertEqual(status, 200)
        self.assertIn("Belum ada nilai.", page)
        self.assertEqual(table_rows(page), [])

        server.upload(self.score_file, "Korvala/12(Korvala)(email)(Indonesia)")
        _, _, page = server.fetch()
        self.assertEqual(table_rows(page), [("1", "12", "(Korvala)(email)(Indonesia)")])
        os.remove(os.path.join(self.scores_folder(), "12(Korvala)(email)(Indonesia)"))
        _, _, page = server.fetch()
        self.assertIn("Belum ada nilai.", page)

    def test_only_the_page_is_served(self):
        server = self.start()
        self.assertEqual(server.fetch("/index.html")[0], 200)
        self.assertEqual(server.fetch("/?refresh=1")[0], 200)
        for path in ("/ftp/Korvala/", "/cert.key", "/../cert.key", "/Korvala"):
            with self.subTest(path=path):
                self.assertEqual(server.fetch(path)[0], 404)


class Lifecycle(ServerCase):
    def test_restart_keeps_scores_and_certificate(self):
        first = self.start()
        first.upload(self.score_file, "Korvala/10(A)(a)(c)", "tls")
        with open(first.cert, "rb") as f:
            cert = f.read()
        self.assertEqual(first.stop(), 0)

        second = self.start()
        with open(second.cert, "rb") as f:
            self.assertEqual(f.read(), cert, "the certificate is made once, at the first start")
        second.upload(self.score_file, "Korvala/100(B)(b)(c)", "tls")  # still trusted with the old file
        _, _, page = second.fetch()
        self.assertEqual([r[1:] for r in table_rows(page)], [("100", "(B)(b)(c)"), ("10", "(A)(a)(c)")])

    def test_default_folder_is_below_xdg_data_home(self):
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.tmp, "xdg"))
        server = ScoreServer(None, env=env)
        self.addCleanup(server.close)
        server.wait_ready()
        server.folder = os.path.join(self.tmp, "xdg", "Korvala", "score-server")
        server.upload(self.score_file, "Korvala/5(X)(x)(y)", "tls")
        self.assertTrue(os.path.isfile(os.path.join(server.folder, "ftp", "Korvala", "5(X)(x)(y)")))
        self.assertTrue(os.path.isfile(os.path.join(server.folder, "cert.key")))

    def test_busy_port_refuses_to_start(self):
        running = self.start()
        for which, ports in (("FTP", {"ftp_port": running.ftp_port}),
                             ("HTTP", {"http_port": running.http_port})):
            with self.subTest(port=which):
                other = ScoreServer(os.path.join(self.tmp, "other-" + which), **ports)
                self.addCleanup(other.close)
                try:
                    out, err = other.proc.communicate(timeout=HANG)
                except subprocess.TimeoutExpired:
                    self.fail("a server on a busy %s port kept running" % which)
                self.assertEqual(other.proc.returncode, 1)
                self.assertNotIn("ready", out)
                self.assertIn(which, err)
                self.assertNotIn("Traceback", err)
        # The first server is untouched.
        running.upload(self.score_file, "Korvala/1(still)(here)(ok)")
        self.assertEqual(table_rows(running.fetch()[2]), [("1", "1", "(still)(here)(ok)")])

    def test_stop_signals_end_it_promptly_even_with_a_client_connected(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                server = self.start()
                # An idle FTP client and an idle HTTP client hold connections open.
                ftp = socket.create_connection(("127.0.0.1", server.ftp_port), timeout=HANG)
                self.addCleanup(ftp.close)
                self.assertTrue(ftp.recv(256).startswith(b"220"))
                web = socket.create_connection(("127.0.0.1", server.http_port), timeout=HANG)
                self.addCleanup(web.close)
                self.assertEqual(server.stop(sig), 0, "%s: the server did not end by itself" % sig.name)
                err = server.proc.stderr.read()
                self.assertNotIn("Traceback", err)
                # Both ports are free again at once.
                again = self.start(ftp_port=server.ftp_port, http_port=server.http_port)
                again.stop()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
