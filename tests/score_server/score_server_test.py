#!/usr/bin/python3
"""The score server as the game, a browser and a hostile client meet it:
the game's uploads, listings and clean-ups with Debian's curl over TLS and
over plain FTP (--no-tls), every command the account must refuse, the TLS the
server requires, the scores page fetched with curl, restarts, busy ports,
stop signals and the end of standard input, and a pyftpdlib that lacks what
the server builds on. Every server runs in its own temporary folder on ports
the system picks (--ftp-port 0 --http-port 0).

usage: score_server_test.py <path of scripts/score_server.py> [unittest options]
"""

import ftplib
import html
import io
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import ssl
import sys
import tempfile
import threading
import time
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

    def __init__(self, folder, ftp_port=0, http_port=0, extra=(), env=None, stdin=None, launcher=(), command=None,
                 stderr=subprocess.PIPE, preexec_fn=None):
        self.folder = folder
        # `launcher`: a script and its arguments that Python runs first and
        # that runs the server in turn. `command`: the whole command instead
        # (its folder and ports then come from what it says).
        args = [PYTHON, *launcher, SERVER, "--ftp-port", str(ftp_port), "--http-port", str(http_port)]
        if folder is not None:
            args += ["--folder", folder]
        args += list(extra)
        if command is not None:
            args = list(command)
        self.tls = "--no-tls" not in args
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=stderr,
                                     text=True, env=env, stdin=stdin, preexec_fn=preexec_fn)
        self.ready_line = None
        self.ftp_port = self.http_port = None

    def wait_ready(self, limit=HANG):
        line = self._read_line(limit)
        m = re.fullmatch(r"score server ready ftp=(\d+) http=(\d+)\n", line or "")
        if not m:
            self.proc.kill()
            _, err = self.proc.communicate(timeout=HANG)
            if self.proc.stderr is None:
                err = "(in a file)"
            raise AssertionError("no ready line, got %r; stderr:\n%s" % (line, err))
        self.ready_line = line
        self.ftp_port, self.http_port = int(m.group(1)), int(m.group(2))
        return self

    def _read_line(self, limit=HANG):
        # The server flushes the line as soon as both services listen; a
        # watchdog kills a server that never gets there.
        timer = threading.Timer(limit, self.proc.kill)
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
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()

    def ftp_url(self, path):
        return "ftp://%s:%s@127.0.0.1:%d/%s" % (USER, PASSWORD, self.ftp_port,
                                                 urllib.parse.quote(path, safe="/"))

    @property
    def cert(self):
        return os.path.join(self.folder, "cert.pem")

    def curl(self, path, *args, security=None):
        """Runs curl on the FTP URL of `path` (below the account's home) and
        returns the finished process. `security` is the TLS the client asks
        for: "tls" (control and data, as the game does), "control" (the
        control connection only) or "plain"; by default the server's own."""
        security = security or ("tls" if self.tls else "plain")
        options = {"tls": ["--ssl-reqd", "--cacert", self.cert],
                   "control": ["--ftp-ssl-control", "--cacert", self.cert],
                   "plain": []}[security]
        return subprocess.run([CURL, "-sS", "--max-time", str(HANG)] + options + list(args) + [self.ftp_url(path)],
                              capture_output=True, text=True, timeout=HANG * 2)

    def upload(self, local, remote, security=None):
        """Uploads `local` as `remote` (a path below the account's home) the
        game's way: under a temporary name in the home folder, then moved in
        place with RNFR/RNTO."""
        tmp = temporary_name()
        run = self.curl(tmp, "-T", local, "-Q", "-RNFR " + tmp, "-Q", "-RNTO " + remote, security=security)
        if run.returncode != 0:
            raise AssertionError("curl upload of %r failed (%d): %s" % (remote, run.returncode, run.stderr))

    def listing(self, security=None):
        """The names in Korvala/, listed the game's way (NLST)."""
        run = self.curl("Korvala/", "--list-only", security=security)
        if run.returncode != 0:
            raise AssertionError("curl listing failed (%d): %s" % (run.returncode, run.stderr))
        return sorted(run.stdout.splitlines())

    def ftp_client(self):
        """A logged-in ftplib client: TLS on both connections when the
        server has TLS, plain otherwise."""
        if self.tls:
            ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=self.cert), timeout=HANG)
        else:
            ftp = ftplib.FTP(timeout=HANG)
        ftp.connect("127.0.0.1", self.ftp_port)
        ftp.login(USER, PASSWORD)
        if self.tls:
            ftp.prot_p()
        return ftp

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


def temporary_name():
    """A name as the game gives an upload in progress."""
    return "korvala-upload-%s.part" % secrets.token_hex(8)


def folder_state(top):
    """Everything below `top`, to compare before and after: {relative path:
    file bytes, ("link", target) or "folder"}; links are not followed."""
    state = {}
    for here, folders, files in os.walk(top):
        for name in folders + files:
            path = os.path.join(here, name)
            rel = os.path.relpath(path, top)
            if os.path.islink(path):
                state[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                state[rel] = "folder"
            else:
                with open(path, "rb") as f:
                    state[rel] = f.read()
    return state


def load_server_module():
    """The score server's code, imported, for the tests of its parts."""
    import importlib.util
    found = importlib.util.spec_from_file_location("score_server_under_test", SERVER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def table_rows(page):
    """The score table as (rank, score, name, country) text tuples, unescaped."""
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
    # Uploads as the game sends them; the page ranks by the leading number as
    # a number (9 < 10 < 100), not as text.
    UPLOADS = [
        "9(Ani)(ani@example.com)(Malaysia)",
        "100(Budi)(budi@example.com)(Indonesia)",
        "10(Zed)(z@example.com)(Brunei)",
        "10(<script>alert(1)<script>)(x@example.com)(Indonesia)",
        "007(Bond)(b@example.com)(United Kingdom)",
        "25(Dewi Ayu)(dewi@example.com)(Indonésia)",
        " GOOD TIME",
        "GOOD TIME",
        ".Titik",  # on the board too: the page shows every score it does
    ]
    EXPECTED = [  # (score, name, country)
        ("100", "Budi", "Indonesia"),
        ("25", "Dewi Ayu", "Indonésia"),
        ("10", "<script>alert(1)<script>", "Indonesia"),  # ties by file name: '<' before 'Z'
        ("10", "Zed", "Brunei"),
        ("9", "Ani", "Malaysia"),
        ("007", "Bond", "United Kingdom"),
        ("", " GOOD TIME", ""),  # names without a number come last, by name
        ("", ".Titik", ""),
        ("", "GOOD TIME", ""),
    ]

    def test_uploads_show_ranked_and_escaped_with_dot_names_but_no_folders(self):
        server = self.start()
        for name in self.UPLOADS:
            with self.subTest(upload=name):
                server.upload(self.score_file, "Korvala/" + name)
        os.mkdir(os.path.join(self.scores_folder(), "99(a folder)"))  # a folder is no score

        self.assertEqual(sorted(os.listdir(self.scores_folder())), sorted(self.UPLOADS + ["99(a folder)"]))

        status, headers, page = server.fetch()
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("cache-control"), "no-store")
        self.assertRegex(headers.get("content-type", ""), r"^text/html;\s*charset=utf-8$")
        self.assertIn("<title>Korvala Deluxe 1.0 - Nilai Online</title>", page)
        self.assertNotIn("Belum ada nilai.", page)

        self.assertIn("<th>Nama</th><th>Negara</th>", page)
        rows = table_rows(page)
        self.assertEqual([r[1:] for r in rows], self.EXPECTED)
        self.assertEqual([r[0] for r in rows], [str(i) for i in range(1, len(self.EXPECTED) + 1)])

        # Player text stays text: no tag of the player's reaches the page.
        self.assertNotIn("<script>", page)
        self.assertIn("&lt;script&gt;alert(1)&lt;script&gt;", page)
        self.assertNotIn("a folder", page)
        self.assertNotIn("example.com", page)  # no player's e-mail address

    # Score names as they lie in the folder -> (score, name, country) on the
    # page. The e-mail field holds "secret" in every case; it never shows.
    PARSED = [
        ("1250(Korvala)(secret@mail.example)(indonesia)", ("1250", "Korvala", "indonesia")),
        ("900(<b>Ana & Co)(secret@mail.example)(Timor & Leste)", ("900", "<b>Ana & Co", "Timor & Leste")),
        ("800(Si (Kecil))(secret@mail.example)(Papua (Barat))", ("800", "Si (Kecil)", "Papua (Barat)")),
        ("700(A)(B)(secret@mail.example)(Brunei)", ("700", "A)(B", "Brunei")),  # ")(" inside the name
        ("600(A)(B)(C)(secret@mail.example)()", ("600", "A)(B)(C", "")),
        ("500()(secret@mail.example)()", ("500", "", "")),
        ("400(Dua)(secret@mail.example)", ("400", "(Dua)", "")),  # two fields: the second is never shown
        ("300(Satu)", ("300", "(Satu)", "")),
        ("200 tanpa kurung", ("200", " tanpa kurung", "")),
        ("100(", ("100", "(", "")),
        (" GOOD TIME", ("", " GOOD TIME", "")),  # ' ' sorts before '('
        ("(Tanpa)(secret@mail.example)(Nilai)", ("", "Tanpa", "Nilai")),
    ]

    def test_page_shows_name_and_country_but_never_the_e_mail(self):
        server = self.start()
        os.makedirs(self.scores_folder(), exist_ok=True)
        for name, _ in self.PARSED:
            with open(os.path.join(self.scores_folder(), name), "w") as f:
                f.write("{\\rtf1 score}\n")
        _, _, page = server.fetch()
        self.assertEqual([r[1:] for r in table_rows(page)], [fields for _, fields in self.PARSED])
        self.assertNotIn("secret", page)
        # The player's markup arrives as text.
        self.assertIn("&lt;b&gt;Ana &amp; Co", page)
        self.assertIn("Timor &amp; Leste", page)
        self.assertNotIn("<b>", page)

    def test_page_follows_the_folder_at_each_request(self):
        server = self.start()
        status, headers, page = server.fetch()
        self.assertEqual(status, 200)
        self.assertIn("Belum ada nilai.", page)
        self.assertEqual(table_rows(page), [])

        server.upload(self.score_file, "Korvala/12(Korvala)(email)(Indonesia)")
        _, _, page = server.fetch()
        self.assertEqual(table_rows(page), [("1", "12", "Korvala", "Indonesia")])
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


class ScoresPaging(ServerCase):
    """A page of at most 100 rows, links to the pages around it, a search
    by name; every request value escaped; the ranking read again once the
    folder changes."""

    def plant(self, names):
        os.makedirs(self.scores_folder(), exist_ok=True)
        for name in names:
            with open(os.path.join(self.scores_folder(), name), "w") as f:
                f.write("x")

    @staticmethod
    def links(page):
        return {cls: html.unescape(href) for cls, href in re.findall(r'<a class="(prev|next)" href="([^"]*)"', page)}

    def test_pages_of_a_hundred_rows_with_links_and_clamped_numbers(self):
        self.plant("%d(Pemain%03d)(e)(Negara)" % (1000 + k, k) for k in range(250))
        server = self.start()
        # (query, first rank shown, rows, prev link, next link)
        cases = [
            ("/", 1, 100, None, "/?page=2"),
            ("/?page=2", 101, 100, "/?page=1", "/?page=3"),
            ("/?page=3", 201, 50, "/?page=2", None),
            ("/?page=99", 201, 50, "/?page=2", None),
            ("/?page=0", 1, 100, None, "/?page=2"),
            ("/?page=-4", 1, 100, None, "/?page=2"),
            ("/?page=abc", 1, 100, None, "/?page=2"),
            ("/?page=", 1, 100, None, "/?page=2"),
            ("/?page=1e9", 1, 100, None, "/?page=2"),
        ]
        for query, first, count, prev, nxt in cases:
            with self.subTest(query=query):
                status, _, page = server.fetch(query)
                self.assertEqual(status, 200)
                rows = table_rows(page)
                self.assertEqual(len(rows), count)
                self.assertEqual(rows[0][0], str(first))
                # Ranked as a whole: rank r holds the r-th best score.
                self.assertEqual(rows[0][1], str(1000 + 250 - first))
                self.assertEqual(self.links(page).get("prev"), prev)
                self.assertEqual(self.links(page).get("next"), nxt)
                self.assertIn("<footer>250 nilai</footer>", page)

    def test_search_folds_case_keeps_ranks_and_escapes_everything(self):
        names = ["900(Ädam)(e)(A)", "800(ÄDAM Jr)(e)(B)", "700(Budi)(e)(C)", "600(ädam)(e)(D)",
                 "500(<b>Ädam<b>)(e)(E)"] + ["%d(Siti%03d)(e)(F)" % (100 + k, k) for k in range(150)]
        self.plant(names)
        server = self.start()
        # (search as typed, ranks found)
        cases = [
            ("ädam", ["1", "2", "4", "5"]),
            ("ÄDAM", ["1", "2", "4", "5"]),
            ("  budi ", ["3"]),
            ("nobody", []),
        ]
        for query, ranks in cases:
            with self.subTest(query=query):
                _, _, page = server.fetch("/?q=" + urllib.parse.quote(query))
                self.assertEqual([r[0] for r in table_rows(page)], ranks)
                if not ranks:
                    self.assertIn("Tidak ada nama yang cocok.", page)
        # A search pages like the table: 150 Siti rows make two pages.
        _, _, page = server.fetch("/?q=siti&page=2")
        rows = table_rows(page)
        self.assertEqual((len(rows), rows[0][0]), (50, "106"))
        self.assertEqual(self.links(page), {"prev": "/?page=1&q=siti"})
        self.assertIn("150 dari 155 nilai", page)
        # What the player typed comes back as text, in the box and the links.
        hostile = '"><script>alert(1)</script>&page=7'
        _, _, page = server.fetch("/?q=" + urllib.parse.quote(hostile))
        self.assertNotIn("<script>", page)
        self.assertIn('value="&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;page=7"', page)
        self.assertNotIn("<b>", page)

    def test_a_new_upload_shows_at_the_next_request(self):
        self.plant(["300(Lama)(e)(A)"])
        server = self.start()
        self.assertEqual([r[2] for r in table_rows(server.fetch()[2])], ["Lama"])
        server.upload(self.score_file, "Korvala/400(Baru)(e)(B)")
        self.assertEqual([r[2] for r in table_rows(server.fetch()[2])], ["Baru", "Lama"])

    def test_the_search_reads_names_as_the_page_shows_them(self):
        module = load_server_module()
        for name in ["12(A)(e)(C)", "(x)(y)", "12(A(B))(e)(C)", "12", "abc", "12()()()", "007(Ä)(e)(ID)",
                     "5(a)(b)", "5(a)(b)(c)(d)", "9(x", "3(ß)(e)(c)"]:
            with self.subTest(name=name):
                self.assertEqual(module._player_folded(name), module.score_fields(name)[1].casefold())

    def counted_store(self, module, later):
        """A store of the score folder whose clock stands `later` ns after
        the folder's last change, and the list its folder readings land in."""
        reads = []
        real = module.read_folder
        module.read_folder = lambda folder: reads.append(folder) or real(folder)
        self.addCleanup(setattr, module, "read_folder", real)
        st = os.stat(self.scores_folder())
        store = module.FolderScores(self.scores_folder(), clock=lambda: max(st.st_mtime_ns, st.st_ctime_ns) + later)
        return store, reads

    @staticmethod
    def ranked(store, query=""):
        ranking = store.ranking(query)
        return [name for _, name in ranking.rows(0, ranking.matched)]

    def test_the_ranking_is_kept_until_the_folder_changes(self):
        module = load_server_module()
        self.plant(["300(Lama)(e)(A)"])
        # (a clock this far after the folder's last change, whether the
        # upkeep looks at the names again: a change made within the same
        # tick of the folder's clock as a reading leaves the folder's times
        # as they were, which the store stands in for here)
        for later, looked_again in ((10 * 10**9, False), (10**8, True)):
            with self.subTest(later=later):
                store, reads = self.counted_store(module, later)
                self.assertEqual(self.ranked(store), ["300(Lama)(e)(A)"])
                self.assertEqual(self.ranked(store, "lama"), ["300(Lama)(e)(A)"])
                self.assertEqual(len(reads), 1)
                store.notice_changes()  # nothing changed: nothing read
                self.assertEqual(len(reads), 1)
                held = store._folder_stamp()
                self.plant(["350(Sekejap)(e)(S)"])
                store._folder_stamp = lambda: held
                self.assertEqual(self.ranked(store), ["300(Lama)(e)(A)"])
                store.notice_changes()
                self.assertEqual(self.ranked(store)[0] == "350(Sekejap)(e)(S)", looked_again)
                os.remove(os.path.join(self.scores_folder(), "350(Sekejap)(e)(S)"))
        # A file gone and the folder's time set back as it was: the change
        # time still tells.
        store = module.FolderScores(self.scores_folder(), clock=lambda: time.time_ns() + 10 * 10**9)
        self.ranked(store)
        stamp = os.stat(self.scores_folder()).st_mtime_ns
        self.plant(["400(Baru)(e)(B)"])
        os.utime(self.scores_folder(), ns=(stamp, stamp))
        self.assertEqual(self.ranked(store), ["400(Baru)(e)(B)", "300(Lama)(e)(A)"])

    def upload_file(self, text="x"):
        path = os.path.join(self.folder, "ftp", temporary_name())
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_a_published_score_takes_its_place_without_a_reading(self):
        module = load_server_module()
        self.plant(["500(Ana)(e)(A)", "100(Cici)(e)(C)", "(Tanpa)(e)(D)"])
        os.mkdir(os.path.join(self.scores_folder(), "99(a folder)"))  # listed, never ranked
        store, reads = self.counted_store(module, 10 * 10**9)
        self.assertEqual(self.ranked(store, "a"), ["500(Ana)(e)(A)", "(Tanpa)(e)(D)"])  # folds the names
        # (published name, the ranking after it): a new score lands in its
        # place (ties by name), the same name again replaces the file only.
        cases = [
            ("300(Budi)(e)(B)", ["500(Ana)(e)(A)", "300(Budi)(e)(B)", "100(Cici)(e)(C)", "(Tanpa)(e)(D)"]),
            ("100(Abi)(e)(B)", ["500(Ana)(e)(A)", "300(Budi)(e)(B)", "100(Abi)(e)(B)", "100(Cici)(e)(C)",
                                "(Tanpa)(e)(D)"]),
            ("300(Budi)(e)(B)", ["500(Ana)(e)(A)", "300(Budi)(e)(B)", "100(Abi)(e)(B)", "100(Cici)(e)(C)",
                                 "(Tanpa)(e)(D)"]),
            (".Titik", ["500(Ana)(e)(A)", "300(Budi)(e)(B)", "100(Abi)(e)(B)", "100(Cici)(e)(C)",
                        "(Tanpa)(e)(D)", ".Titik"]),
        ]
        for name, ranking in cases:
            with self.subTest(name=name):
                store.publish(self.upload_file(name), name)
                self.assertEqual(self.ranked(store), ranking)
                with open(os.path.join(self.scores_folder(), name)) as f:
                    self.assertEqual(f.read(), name)
        self.assertEqual(len(reads), 1, "the folder was read again for the store's own publications")
        self.assertEqual(store.names(), sorted(os.listdir(self.scores_folder())))  # the FTP listing
        # The search's folded names follow the publications.
        self.assertEqual(self.ranked(store, "BUDI"), ["300(Budi)(e)(B)"])
        self.assertEqual([r for r, _ in store.ranking("abi").rows(0, 10)], [3])
        # Its own publications leave the store in doubt of a change made
        # within the same tick: the upkeep finds the names as it holds them.
        store.notice_changes()
        self.assertEqual(len(reads), 1)
        # A change behind the server's back, then a publication: the next
        # request reads the folder whole.
        os.remove(os.path.join(self.scores_folder(), "500(Ana)(e)(A)"))
        store.publish(self.upload_file(), "50(Eko)(e)(E)")
        self.assertEqual(self.ranked(store), ["300(Budi)(e)(B)", "100(Abi)(e)(B)", "100(Cici)(e)(C)",
                                              "50(Eko)(e)(E)", "(Tanpa)(e)(D)", ".Titik"])
        self.assertEqual(len(reads), 2)


UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                    "korvala-score-server.service")
INSTALLED_SERVER = "/usr/lib/korvala/score_server.py"
INSTALLED_CONFIG = "/etc/korvala/score-server.conf"


def unit_command():
    """The ExecStart line of the system service, as words."""
    with open(UNIT) as f:
        for line in f:
            if line.startswith("ExecStart="):
                return line[len("ExecStart="):].split()
    raise AssertionError("no ExecStart in %s" % UNIT)


class SchoolServer(ServerCase):
    """The score server as the system service runs it for many players: its
    command from the unit, one configuration file, a passive port range."""

    def config(self, text):
        path = os.path.join(self.tmp, "score-server.conf")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_the_unit_s_command_serves_an_upload_and_a_listing_through_its_passive_ports(self):
        command = unit_command()
        self.assertEqual(command, [INSTALLED_SERVER, "--config", INSTALLED_CONFIG])
        with socket.socket() as probe:  # a free range: a port the system gives and the ones after it
            probe.bind(("127.0.0.1", 0))
            low = max(1024, probe.getsockname()[1] - 5)
        conf = self.config("[server]\nlisten = 127.0.0.1\nftp-port = 0\nhttp-port = 0\n"
                           "passive-ports = %d-%d\nfolder = %s\ncertificate = %s\nnames = scores.example, 192.0.2.7\n"
                           % (low, low + 9, self.folder, os.path.join(self.folder, "cert.pem")))
        run = [SERVER if w == INSTALLED_SERVER else conf if w == INSTALLED_CONFIG else w for w in command]
        server = ScoreServer(self.folder, command=[PYTHON] + run)
        self.addCleanup(server.close)
        server.wait_ready()
        server.upload(self.score_file, "Korvala/77(Sekolah)(e)(indonesia)")
        self.assertEqual(server.listing(), ["77(Sekolah)(e)(indonesia)"])
        # The data connections used the range: ftplib says where it was sent.
        ftp = server.ftp_client()
        try:
            host, port = ftp.makepasv()
            self.assertIn(port, range(low, low + 10))
        finally:
            ftp.close()
        # The certificate names what the players connect to.
        from cryptography import x509
        with open(server.cert, "rb") as f:
            alt = x509.load_pem_x509_certificate(f.read()).extensions.get_extension_for_class(
                x509.SubjectAlternativeName).value
        self.assertIn("scores.example", alt.get_values_for_type(x509.DNSName))
        self.assertIn("192.0.2.7", [str(a) for a in alt.get_values_for_type(x509.IPAddress)])

    def test_a_bad_configuration_stops_it_with_one_line(self):
        # (configuration text or None for a missing file, what the line must say)
        cases = [
            (None, "cannot read"),
            ("listen = 1.2.3.4\n", "not a configuration file"),
            ("[other]\nlisten = 127.0.0.1\n", "no [server] section"),
            ("[server]\nlisten = 127.0.0.1\nport = 21\n", "unknown setting 'port'"),
            ("[server]\nftp-port = 70000\n", "ftp-port must be a number"),
            ("[server]\nhttp-port = web\n", "http-port must be a number"),
            ("[server]\npassive-ports = 60010-60000\n", "passive-ports must be LO-HI"),
            ("[server]\npassive-ports = 80-90\n", "passive-ports must be LO-HI"),
            ("[server]\nlisten = 999.1.1.1\n", "listen must be an address"),
            ("[server]\nlisten = school server\n", "listen must be an address"),
            ("[server]\nnames = scores.example, bad name!\n", "not 'bad name!'"),
            ("[server]\nnames = -scores.example\n", "names must be host names"),
        ]
        for text, says in cases:
            with self.subTest(text=text):
                path = os.path.join(self.tmp, "missing.conf") if text is None else self.config(text)
                run = subprocess.run([PYTHON, SERVER, "--config", path, "--folder", self.folder],
                                     capture_output=True, text=True, timeout=HANG)
                self.assertEqual(run.returncode, 2)
                self.assertEqual(run.stdout, "")
                self.assertEqual(len(run.stderr.splitlines()), 1, run.stderr)
                self.assertIn(says, run.stderr)
                self.assertNotIn("Traceback", run.stderr)

    def test_an_ipv6_listen_address_serves_the_page_and_ftp(self):
        try:
            with socket.socket(socket.AF_INET6) as probe:
                probe.bind(("::1", 0))
        except OSError:
            self.skipTest("no IPv6 loopback here")
        server = self.start(extra=["--host", "::1"])
        page = subprocess.run([CURL, "-sS", "--max-time", str(HANG), "http://[::1]:%d/" % server.http_port],
                              capture_output=True, text=True, timeout=HANG * 2)
        self.assertEqual(page.returncode, 0, page.stderr)
        self.assertIn("Nilai Online", page.stdout)
        # The certificate it made names the listen address, so TLS verifies.
        listing = subprocess.run([CURL, "-sS", "--max-time", str(HANG), "--ssl-reqd", "--cacert", server.cert,
                                  "--list-only", "ftp://%s:%s@[::1]:%d/Korvala/" % (USER, PASSWORD, server.ftp_port)],
                                 capture_output=True, text=True, timeout=HANG * 2)
        self.assertEqual(listing.returncode, 0, listing.stderr)

    def test_a_kept_certificate_that_lacks_a_name_now_configured_is_said(self):
        first = self.start(extra=["--names", "scores.example"])
        self.assertEqual(first.stop(), 0)
        made = open(first.cert, "rb").read()
        again = self.start(extra=["--names", "scores.example, 192.0.2.9"])
        self.assertEqual(again.stop(), 0)
        err = again.proc.stderr.read()
        self.assertEqual(open(again.cert, "rb").read(), made, "the certificate the players trust was replaced")
        self.assertIn("is not made for 192.0.2.9", err)
        self.assertNotIn("not made for scores.example", err)

    def test_options_win_over_the_file(self):
        conf = self.config("[server]\nlisten = 127.0.0.1\nftp-port = 1\nhttp-port = 1\nfolder = /nonexistent\n")
        server = ScoreServer(self.folder, extra=["--config", conf])
        self.addCleanup(server.close)
        server.wait_ready()
        self.assertTrue(os.path.isdir(self.scores_folder()))


SCORE = "1250(Korvala)(email)(indonesia)"
TEMP = "korvala-upload-00000000000000aa.part"         # an upload left in the home folder
TEMP_TO_SCORE = "korvala-upload-00000000000000bb.part"  # a link planted to a score
TEMP_TO_OUTSIDE = "korvala-upload-00000000000000cc.part"  # a link planted out of the home
TEMP_FOLDER = "korvala-upload-00000000000000dd.part"  # a folder under a temporary's name


class Account(ServerCase):
    """What a client holding the game's password may do: nothing that
    removes or rewrites a score already there."""

    def setUp(self):
        super().setUp()
        self.server = self.start()
        self.home = os.path.join(self.folder, "ftp")
        self.outside = os.path.join(self.tmp, "outside")
        self.plant()

    def plant(self):
        """Korvala/ with a few scores and a folder, the home folder with a
        left-over upload and planted links, and a folder out of the home:
        made afresh, so that one case that gets through spoils no other."""
        for top in (self.scores_folder(), self.outside):
            shutil.rmtree(top, ignore_errors=True)
            os.makedirs(top)
        for name in os.listdir(self.home):
            path = os.path.join(self.home, name)
            if name == "Korvala":
                continue
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
        with open(os.path.join(self.outside, "keep.txt"), "wb") as f:
            f.write(b"not the account's\n")
        scores = {SCORE: b"{\\rtf1 1250}\n", "900(Ani)(ani@example.com)(Malaysia)": b"{\\rtf1 900}\n",
                  " GOOD TIME": b"{\\rtf1 good}\n"}
        for name, data in scores.items():
            with open(os.path.join(self.scores_folder(), name), "wb") as f:
                f.write(data)
        os.mkdir(os.path.join(self.scores_folder(), "99(a folder)"))
        with open(os.path.join(self.home, TEMP), "wb") as f:
            f.write(b"{\\rtf1 left over}\n")
        os.mkdir(os.path.join(self.home, TEMP_FOLDER))
        os.symlink(os.path.join("Korvala", SCORE), os.path.join(self.home, TEMP_TO_SCORE))
        os.symlink(os.path.join(self.outside, "keep.txt"), os.path.join(self.home, TEMP_TO_OUTSIDE))
        os.symlink(self.outside, os.path.join(self.home, "outside"))

    def state(self):
        return folder_state(self.home), folder_state(self.outside)

    def login(self):
        ftp = self.server.ftp_client()
        self.addCleanup(ftp.close)
        return ftp

    @staticmethod
    def send(ftp, command):
        """Sends one command, with a data connection for those that need one."""
        verb = command.split()[0]
        if verb in ("STOR", "APPE", "STOU"):
            return ftp.storbinary(command, io.BytesIO(b"written by a hostile client\n"))
        if verb in ("RETR", "NLST", "LIST"):
            received = []
            ftp.retrbinary(command, received.append)
            return b"".join(received)
        return ftp.sendcmd(command)

    # (what is tried, commands): every command but the last is one the game
    # needs and must pass; the last must get a permanent error.
    REFUSED = [
        ("delete a score", ["DELE Korvala/" + SCORE]),
        ("delete a score from inside Korvala/", ["CWD Korvala", "DELE " + SCORE]),
        ("rename a score", ["RNFR Korvala/" + SCORE]),
        ("rename a score from inside Korvala/", ["CWD Korvala", "RNFR " + SCORE]),
        ("append to a score", ["APPE Korvala/" + SCORE]),
        ("overwrite a score in place", ["STOR Korvala/" + SCORE]),
        ("store a new file straight into Korvala/", ["STOR Korvala/5(new)(n@example.com)(Brunei)"]),
        ("store a temporary's name in Korvala/", ["CWD Korvala", "STOR " + TEMP]),
        ("store under another name in the home", ["STOR notes.txt"]),
        ("store a temporary named in capitals", ["STOR korvala-upload-00000000000000AA.part"]),
        ("store a temporary with a short number", ["STOR korvala-upload-00aa.part"]),
        ("append to a temporary", ["APPE " + TEMP]),
        ("store under a name the server makes", ["CWD Korvala", "STOU"]),
        ("store under a name the server makes from a temporary's", ["STOU " + TEMP]),
        ("read a score", ["RETR Korvala/" + SCORE]),
        ("read a temporary", ["RETR " + TEMP]),
        ("ask a score's size", ["SIZE Korvala/" + SCORE]),
        ("list the home folder", ["NLST /"]),
        ("make a folder in Korvala/", ["MKD Korvala/new"]),
        ("make a folder in the home", ["MKD new"]),
        ("remove a folder in Korvala/", ["RMD Korvala/99(a folder)"]),
        ("remove Korvala/", ["RMD Korvala"]),
        ("remove a folder by its old name", ["XRMD Korvala"]),
        ("remove a folder named like a temporary", ["RMD " + TEMP_FOLDER]),
        ("change a score's mode", ["SITE CHMOD 000 Korvala/" + SCORE]),
        ("change a score's time", ["MFMT 20000101000000 Korvala/" + SCORE]),
        ("move a temporary to another name in the home", ["RNFR " + TEMP, "RNTO " + temporary_name()]),
        ("move a temporary below a folder in Korvala/", ["RNFR " + TEMP, "RNTO Korvala/99(a folder)/x"]),
        ("move a temporary over Korvala/ itself", ["RNFR " + TEMP, "RNTO Korvala"]),
        ("move a temporary over the home", ["RNFR " + TEMP, "RNTO /"]),
        ("move a temporary out of the home", ["RNFR " + TEMP, "RNTO outside/x"]),
        ("delete a score through a linked temporary", ["DELE " + TEMP_TO_SCORE]),
        ("overwrite a score through a linked temporary", ["STOR " + TEMP_TO_SCORE]),
        ("move a score through a linked temporary", ["RNFR " + TEMP_TO_SCORE]),
        ("write out of the home through a linked temporary", ["STOR " + TEMP_TO_OUTSIDE]),
        ("change into a folder out of the home", ["CWD outside"]),
        ("list a folder out of the home", ["NLST outside"]),
    ]

    def test_every_other_command_is_refused_and_changes_nothing(self):
        before = self.state()
        for what, commands in self.REFUSED:
            with self.subTest(what):
                self.plant()
                ftp = self.login()
                for command in commands[:-1]:
                    self.send(ftp, command)
                with self.assertRaises(ftplib.error_perm) as refused:
                    self.send(ftp, commands[-1])
                self.assertRegex(str(refused.exception), r"^5\d\d ")
                ftp.close()
                self.assertEqual(self.state(), before, "%s: the folders changed" % what)

    def test_paths_are_resolved_as_the_system_resolves_them(self):
        # The account's rules rest on where a path really leads.
        module = load_server_module()
        home = os.path.realpath(self.home)
        for rel in ["", "Korvala", "Korvala/" + SCORE, "Korvala/missing", TEMP, TEMP_TO_SCORE, TEMP_TO_OUTSIDE,
                    "outside", "outside/keep.txt", "outside/../Korvala", "..", "../..", "Korvala/../..",
                    TEMP_TO_SCORE + "/..", "./Korvala/./" + SCORE, "Korvala//x", "missing/../" + TEMP]:
            path = os.path.normpath(os.path.join(home, rel)) if rel.startswith("..") else home + "/" + rel
            with self.subTest(path=rel):
                self.assertEqual(module.real_path(path, home), os.path.realpath(path))

    def test_the_game_s_own_commands_pass_with_the_same_client(self):
        # The refusals above come from the commands themselves, not from a
        # client that cannot transfer at all.
        ftp = self.login()
        self.assertEqual(self.send(ftp, "PWD"), '257 "/" is the current directory.')
        tmp = temporary_name()
        self.send(ftp, "STOR " + tmp)
        self.send(ftp, "STOR " + tmp)  # a retried upload overwrites its temporary
        self.send(ftp, "RNFR " + tmp)
        self.send(ftp, "RNTO Korvala/" + SCORE)  # a new submission replaces the score
        self.send(ftp, "DELE " + TEMP)
        self.send(ftp, "CWD Korvala")
        self.assertEqual(sorted(self.send(ftp, "NLST").decode().split("\r\n")[:-1]),
                         sorted([SCORE, "900(Ani)(ani@example.com)(Malaysia)", " GOOD TIME", "99(a folder)"]))
        self.send(ftp, "CWD /")
        ftp.quit()
        with open(os.path.join(self.scores_folder(), SCORE), "rb") as f:
            self.assertEqual(f.read(), b"written by a hostile client\n")
        self.assertFalse(os.path.lexists(os.path.join(self.home, TEMP)))
        self.assertFalse(os.path.lexists(os.path.join(self.home, tmp)))


class GameFlows(ServerCase):
    """The game's submissions, listings and clean-ups with curl, over TLS
    and, on a server started with --no-tls, over plain FTP."""

    def test_upload_replace_list_and_remove_a_left_over(self):
        for security, extra in (("tls", ()), ("plain", ("--no-tls",))):
            with self.subTest(security=security):
                self.folder = os.path.join(self.tmp, security)
                server = self.start(extra=extra)
                server.upload(self.score_file, "Korvala/" + SCORE)
                server.upload(self.score_file, "Korvala/90(Ani)(ani@example.com)(Malaysia)")
                second = os.path.join(self.tmp, "second.rtf")
                with open(second, "w") as f:
                    f.write("{\\rtf1 a better game}\n")
                server.upload(second, "Korvala/" + SCORE)  # the same name again: replaced
                with open(os.path.join(self.scores_folder(), SCORE)) as f:
                    self.assertEqual(f.read(), "{\\rtf1 a better game}\n")
                self.assertEqual(server.listing(), sorted([SCORE, "90(Ani)(ani@example.com)(Malaysia)"]))
                self.assertEqual(os.listdir(os.path.join(self.folder, "ftp")), ["Korvala"],
                                 "no temporary stays in the home folder")

                # An upload that fails after STOR leaves its temporary; the
                # game deletes it with a bare command (no transfer).
                tmp = temporary_name()
                run = server.curl(tmp, "-T", self.score_file)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertTrue(os.path.isfile(os.path.join(self.folder, "ftp", tmp)))
                run = server.curl("", "-I", "-Q", "DELE " + tmp)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(os.listdir(os.path.join(self.folder, "ftp")), ["Korvala"])
                self.assertEqual(server.listing(), sorted([SCORE, "90(Ani)(ani@example.com)(Malaysia)"]))


    def test_a_long_listing_arrives_whole_and_follows_every_change(self):
        server = self.start()
        names = ["%d(Pemain Nomor %05d)(p%05d@sekolah.example)(Indonesia)" % (k * 7, k, k) for k in range(3000)]
        os.makedirs(self.scores_folder(), exist_ok=True)
        for name in names:
            open(os.path.join(self.scores_folder(), name), "w").close()
        self.assertEqual(server.listing(), sorted(names))  # some 200 KB
        os.remove(os.path.join(self.scores_folder(), names[0]))  # one by hand, then an upload
        server.upload(self.score_file, "Korvala/" + SCORE)
        self.assertEqual(server.listing(), sorted(names[1:] + [SCORE]))
        server.upload(self.score_file, "Korvala/" + "1" + SCORE)
        self.assertEqual(server.listing(), sorted(names[1:] + [SCORE, "1" + SCORE]))


class Transport(ServerCase):
    def test_a_listing_asked_for_as_the_data_handshake_ends_arrives(self):
        # The client's last handshake record lands on the data connection
        # while the server builds the listing it was just asked for (a long
        # one, changed by an upload just before): writing the listing then
        # finishes the handshake, and the listing must still be sent.
        folder = self.scores_folder()
        os.makedirs(folder)
        for k in range(20000):
            open(os.path.join(folder, "%d(Pemain %05d)(p@example.com)(Indonesia)" % (k, k)), "w").close()
        server = self.start()
        context = ssl.create_default_context(cafile=server.cert)
        for attempt in range(10):
            with self.subTest(attempt=attempt):
                server.upload(self.score_file, "Korvala/%d(Baru)(b@example.com)(Brunei)" % (50000 + attempt))
                ftp = ftplib.FTP_TLS(context=context, timeout=HANG)
                self.addCleanup(ftp.close)
                ftp.connect("127.0.0.1", server.ftp_port)
                ftp.login(USER, PASSWORD)
                ftp.prot_p()
                ftp.cwd("Korvala")
                ftp.voidcmd("TYPE A")
                port = int(re.search(r"\(\|\|\|(\d+)\|\)", ftp.sendcmd("EPSV")).group(1))
                data = socket.create_connection(("127.0.0.1", port), timeout=HANG)
                self.addCleanup(data.close)
                # The handshake up to the client's last record, held back.
                incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
                tls = context.wrap_bio(incoming, outgoing, server_hostname="127.0.0.1", session=ftp.sock.session)
                while True:
                    try:
                        tls.do_handshake()
                        break
                    except ssl.SSLWantReadError:
                        data.sendall(outgoing.read())
                        chunk = data.recv(65536)
                        self.assertTrue(chunk, "the server closed the data connection in the handshake")
                        incoming.write(chunk)
                ftp.putcmd("NLST")
                time.sleep(0.001)
                data.sendall(outgoing.read())
                data.settimeout(3)
                listed = b""
                try:
                    while True:
                        chunk = data.recv(65536)
                        if not chunk:
                            break
                        incoming.write(chunk)
                        try:
                            piece = tls.read(1 << 20)
                            while piece:
                                listed += piece
                                piece = tls.read(1 << 20)
                            break  # the server's close_notify
                        except ssl.SSLWantReadError:
                            continue
                        except ssl.SSLZeroReturnError:
                            break
                except socket.timeout:
                    self.fail("the listing never came")
                self.assertEqual(len(listed.split(b"\r\n")) - 1, 20001 + attempt)
                self.assertEqual(ftp.getresp()[:3], "125")
                self.assertTrue(ftp.voidresp().startswith("226"))

    def test_tls_is_required_on_both_connections(self):
        server = self.start()
        plain = ftplib.FTP(timeout=HANG)
        self.addCleanup(plain.close)
        plain.connect("127.0.0.1", server.ftp_port)
        with self.assertRaisesRegex(ftplib.error_perm, r"^5\d\d "):
            plain.login(USER, PASSWORD)

        clear_data = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=server.cert), timeout=HANG)
        self.addCleanup(clear_data.close)
        clear_data.connect("127.0.0.1", server.ftp_port)
        clear_data.login(USER, PASSWORD)  # AUTH TLS first
        clear_data.voidcmd("PBSZ 0")
        clear_data.prot_c()
        for command in ("NLST Korvala", "STOR " + temporary_name()):
            with self.subTest(command=command):
                with self.assertRaisesRegex(ftplib.error_perm, r"^5\d\d "):
                    Account.send(clear_data, command)

        # curl without TLS, or with TLS on the control connection only, gets
        # nothing through; with PROT P it does.
        for security in ("plain", "control"):
            with self.subTest(curl=security):
                run = server.curl(temporary_name(), "-T", self.score_file, security=security)
                self.assertNotEqual(run.returncode, 0)
                self.assertNotEqual(server.curl("Korvala/", "--list-only", security=security).returncode, 0)
        self.assertEqual(os.listdir(os.path.join(self.folder, "ftp")), ["Korvala"])
        server.upload(self.score_file, "Korvala/" + SCORE, security="tls")
        self.assertEqual(server.listing(security="tls"), [SCORE])

    def test_refusals_reach_the_log_with_their_reason_but_never_the_password(self):
        # Without --verbose: whoever runs a shared server must see why a
        # player's game cannot get in.
        server = self.start()
        trusted = ssl.create_default_context(cafile=server.cert)

        def tls_login(user, password):
            ftp = ftplib.FTP_TLS(context=trusted, timeout=HANG)
            self.addCleanup(ftp.close)
            ftp.connect("127.0.0.1", server.ftp_port)
            with self.assertRaisesRegex(ftplib.error_perm, r"^530 "):
                ftp.login(user, password)

        tls_login(USER, "not-the-password")
        tls_login("nobody\x1b[2J", "guess")
        plain = ftplib.FTP(timeout=HANG)
        self.addCleanup(plain.close)
        plain.connect("127.0.0.1", server.ftp_port)
        with self.assertRaisesRegex(ftplib.error_perm, r"^550 "):
            plain.login(USER, PASSWORD)
        # A client that trusts another server's certificate only gives up on
        # the handshake.
        other = self.start(folder=os.path.join(self.tmp, "other"))
        self.assertEqual(server.curl("Korvala/", "--list-only", "--cacert", other.cert).returncode, 60)
        self.assertEqual(server.stop(), 0)
        err = server.proc.stderr.read()
        for says in ("FTP login refused for korvala from 127.0.0.1: wrong password",
                     "FTP login refused for nobody\\x1b[2J from 127.0.0.1: no such account",
                     "FTP login refused from 127.0.0.1: TLS is required on the control connection",
                     "FTP connection from 127.0.0.1 closed: TLS handshake failed: "):
            with self.subTest(says=says):
                self.assertIn(says, err)
        self.assertRegex(err, r"TLS handshake failed: .*does not trust this server's certificate")
        for secret in ("not-the-password", "guess", PASSWORD):
            self.assertNotIn(secret, err)
        self.assertNotIn("\x1b", err, "a control character the client sent reached the log")

    def assert_plain_only(self, server):
        secured = ftplib.FTP_TLS(timeout=HANG)
        self.addCleanup(secured.close)
        secured.connect("127.0.0.1", server.ftp_port)
        with self.assertRaisesRegex(ftplib.error_perm, r"^5\d\d "):
            secured.auth()
        # The game asks for TLS first and carries on in plain FTP only after
        # this answer (curl: "requested FTP SSL level failed").
        self.assertEqual(server.curl("Korvala/", "--list-only", security="tls").returncode, 64)
        ftp = server.ftp_client()
        self.addCleanup(ftp.close)
        with self.assertRaisesRegex(ftplib.error_perm, r"^5\d\d "):
            Account.send(ftp, "DELE Korvala/" + SCORE)  # the same account rules without TLS
        server.upload(self.score_file, "Korvala/" + SCORE)
        self.assertEqual(server.listing(), [SCORE])

    def test_no_tls_refuses_auth_and_serves_plain_ftp(self):
        self.assert_plain_only(self.start(extra=["--no-tls"]))

    def test_without_python3_openssl_it_runs_as_no_tls_and_says_so(self):
        # A module that fails to import hides python3-openssl from pyftpdlib.
        hide = os.path.join(self.tmp, "hide")
        os.makedirs(os.path.join(hide, "OpenSSL"))
        with open(os.path.join(hide, "OpenSSL", "__init__.py"), "w") as f:
            f.write("raise ImportError('hidden by the test')\n")
        env = dict(os.environ, PYTHONPATH=hide)
        server = ScoreServer(self.folder, env=env)
        self.addCleanup(server.close)
        server.wait_ready()
        server.tls = False
        self.assert_plain_only(server)
        self.assertEqual(server.stop(), 0)
        err = server.proc.stderr.read()
        self.assertIn("python3-openssl is missing", err)
        self.assertNotIn("Traceback", err)


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
        self.assertEqual([r[1:] for r in table_rows(page)], [("100", "B", "c"), ("10", "A", "c")])

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
        self.assertEqual(table_rows(running.fetch()[2]), [("1", "1", "still", "ok")])

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

    def test_watch_stdin_stops_when_the_game_s_pipe_closes(self):
        server = ScoreServer(self.folder, extra=["--watch-stdin"], stdin=subprocess.PIPE)
        self.addCleanup(server.close)
        server.wait_ready()
        server.proc.stdin.write("anything the game writes is ignored\n")
        server.proc.stdin.flush()
        started = time.monotonic()
        server.proc.stdin.close()
        try:
            status = server.proc.wait(timeout=2)
        except subprocess.TimeoutExpired:
            self.fail("the server still ran 2 s after its standard input closed")
        self.assertEqual(status, 0)
        self.assertLess(time.monotonic() - started, 2)
        self.assertNotIn("Traceback", server.proc.stderr.read())

    def test_without_watch_stdin_the_end_of_stdin_is_ignored(self):
        server = ScoreServer(self.folder, stdin=subprocess.DEVNULL)
        self.addCleanup(server.close)
        server.wait_ready()
        time.sleep(0.5)  # more than the two passes of the loop a stop request takes
        self.assertIsNone(server.proc.poll())
        self.assertEqual(server.fetch()[0], 200)

    def test_missing_pyftpdlib_exits_3_without_a_ready_line(self):
        # Without site-packages (-S) Debian's Python has no pyftpdlib.
        run = subprocess.run([PYTHON, "-S", SERVER, "--folder", self.folder, "--ftp-port", "0", "--http-port", "0"],
                             capture_output=True, text=True, timeout=HANG)
        self.assertEqual(run.returncode, 3)
        self.assertEqual(run.stdout, "")
        self.assertIn("pyftpdlib is missing", run.stderr)
        self.assertNotIn("Traceback", run.stderr)


# Runs the server with one thing taken away from Debian's pyftpdlib, as a
# pyftpdlib that no longer offers it would be: argv is <class of
# pyftpdlib.handlers> <name> <server> <server options...>.
WITHOUT = """\
import runpy, sys
import pyftpdlib.handlers as handlers
owner, name = sys.argv[1:3]
for cls in getattr(handlers, owner).__mro__:
    if name in vars(cls):
        delattr(cls, name)
sys.argv = sys.argv[3:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


class PyftpdlibFeatures(ServerCase):
    """The server starts only with everything it builds on in pyftpdlib:
    one missing piece ends it at once, loudly, rather than leaving it to
    reset encrypted data connections or to ignore a setting."""

    # (the class of pyftpdlib.handlers, what it loses, whether only TLS needs it)
    NEEDED = [
        ("TLS_DTPHandler", "secure_connection", True),       # the data channel's early handshake
        ("TLS_DTPHandler", "handle_ssl_established", True),
        ("TLS_FTPHandler", "tls_data_required", True),       # encrypted data required
        ("TLS_FTPHandler", "tls_control_required", True),
        ("FTPHandler", "permit_foreign_addresses", False),
        ("FTPHandler", "ftp_STOU", False),
    ]

    def without(self, owner, name, extra=()):
        runner = os.path.join(self.tmp, "without.py")
        with open(runner, "w") as f:
            f.write(WITHOUT)
        server = ScoreServer(self.folder, extra=extra, launcher=[runner, owner, name])
        self.addCleanup(server.close)
        return server

    def test_a_missing_piece_stops_it_at_start_with_status_3(self):
        for owner, name, _ in self.NEEDED:
            with self.subTest(missing="%s.%s" % (owner, name)):
                proc = self.without(owner, name).proc
                try:
                    out, err = proc.communicate(timeout=HANG)
                except subprocess.TimeoutExpired:
                    self.fail("the server ran without %s.%s" % (owner, name))
                self.assertEqual(proc.returncode, 3, err)
                self.assertEqual(out, "")
                self.assertIn("lacks what the server needs", err)
                self.assertIn("%s.%s" % (owner, name), err)
                self.assertNotIn("Traceback", err)
                self.assertFalse(os.path.exists(self.folder), "nothing is made before the check")

    def test_without_tls_what_only_tls_needs_may_be_missing(self):
        for owner, name, tls_only in self.NEEDED:
            if not tls_only:
                continue
            with self.subTest(missing="%s.%s" % (owner, name)):
                server = self.without(owner, name, extra=["--no-tls"]).wait_ready()
                server.upload(self.score_file, "Korvala/7(Tanpa)(t@example.com)(Brunei)")
                self.assertEqual(server.listing(), ["7(Tanpa)(t@example.com)(Brunei)"])
                self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
