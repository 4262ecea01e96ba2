#!/usr/bin/python3
"""The game's score server on loopback: one process, two services.

  FTP   the account the game uploads its score files to; every file in the
        folder "Korvala/" below the account's home is one score. The account
        can only add or replace scores, never destroy one: it may list
        Korvala/, write a temporary "korvala-upload-<16 hex digits>.part" in
        its home, move such a temporary into Korvala/ under a plain file
        name (replacing a score of the same name), and delete such a
        temporary. Every other command that reads, changes or removes files
        gets a permanent error (550).
        With python3-openssl the server requires TLS on the control and the
        data connections (AUTH TLS, then PROT P); --no-tls turns TLS off and
        refuses AUTH, so that a client carries on in plain FTP.
  HTTP  the scores page shown on the information panel, built afresh from
        the names in "Korvala/" at every request: rank, score, player name
        and country. The e-mail address a score name carries is never shown.

Run with Debian's Python (/usr/bin/python3), which has python3-pyftpdlib and
python3-openssl. Prints "score server ready ftp=<port> http=<port>" once both
services listen (a port given as 0 is picked by the system and the line
names the one picked), and stops on SIGTERM or SIGINT, or, with
--watch-stdin, when its standard input reaches end of file (the game keeps a
pipe open while it runs). The folder keeps the scores and the certificate
between runs.

Exit status: 0 after a stop request, 1 when the server cannot start here and
now (a busy port, an unusable folder), 3 when pyftpdlib is missing or lacks
something the server builds on (see check_pyftpdlib), so that it can never
run with this Python.
"""

import argparse
import datetime
import errno
import html
import http.server
import ipaddress
import logging
import os
import re
import signal
import socket
import sys
import threading
import time
import urllib.parse
from pathlib import Path

try:
    import pyftpdlib
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError:
    print("score server: pyftpdlib is missing (Debian package python3-pyftpdlib; "
          "run this with /usr/bin/python3)", file=sys.stderr)
    sys.exit(3)

try:
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
except ImportError:  # pyftpdlib offers TLS only with python3-openssl
    TLS_DTPHandler = TLS_FTPHandler = None

FTP_USER = "korvala"
FTP_PASSWORD = "481526"
SCORE_FOLDER = "Korvala"
# The name the game gives a score file while it is being uploaded into the
# account's home, before it is moved into SCORE_FOLDER in one step.
UPLOAD_TEMPORARY = re.compile(r"korvala-upload-[0-9a-f]{16}\.part")
PAGE_TITLE = "Korvala Deluxe 1.0 - Nilai Online"

log = logging.getLogger("score-server")


def default_folder():
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "Korvala", "score-server")


# What the configuration file may set: its key, the option it stands for.
CONFIG_KEYS = {
    "listen": "host",
    "ftp-port": "ftp_port",
    "http-port": "http_port",
    "passive-ports": "passive_ports",
    "folder": "folder",
    "certificate": "cert",
    "names": "names",
}
DEFAULTS = {"host": "127.0.0.1", "ftp_port": "2121", "http_port": "2180", "passive_ports": None,
            "folder": None, "cert": None, "names": ""}


class ConfigProblem(Exception):
    pass


def read_config(path):
    """{option: text} from the [server] section of the file at `path`."""
    import configparser
    parser = configparser.ConfigParser(interpolation=None)
    try:
        with open(path, encoding="utf-8") as f:
            parser.read_file(f)
    except OSError as e:
        raise ConfigProblem("cannot read %s: %s" % (path, why(e)))
    except (configparser.Error, UnicodeDecodeError) as e:
        raise ConfigProblem("%s is not a configuration file: %s" % (path, str(e).splitlines()[0]))
    if not parser.has_section("server"):
        raise ConfigProblem("%s has no [server] section" % path)
    values = {}
    for key, value in parser.items("server"):
        if key not in CONFIG_KEYS:
            raise ConfigProblem("%s: unknown setting %r (known: %s)" % (path, key, ", ".join(CONFIG_KEYS)))
        values[CONFIG_KEYS[key]] = value.strip()
    extra = [s for s in parser.sections() if s != "server"]
    if extra:
        raise ConfigProblem("%s: unknown section [%s]" % (path, extra[0]))
    return values


def port_number(text, what):
    try:
        port = int(text)
    except ValueError:
        raise ConfigProblem("%s must be a number from 0 to 65535, not %r" % (what, text))
    if not 0 <= port <= 65535:
        raise ConfigProblem("%s must be a number from 0 to 65535, not %r" % (what, text))
    return port


def port_range(text):
    """range of the passive ports from "LO-HI" (1024 to 65535, LO <= HI)."""
    lo, sep, hi = text.partition("-")
    try:
        lo, hi = int(lo), int(hi)
    except ValueError:
        lo = hi = -1
    if not sep or not 1024 <= lo <= hi <= 65535:
        raise ConfigProblem("passive-ports must be LO-HI, two ports from 1024 to 65535 with LO <= HI, not %r"
                            % text)
    return range(lo, hi + 1)


# A host name as a certificate or a resolver takes it: dot-separated labels
# of letters, digits and inner hyphens; a certificate name may start with "*.".
HOST_NAME = re.compile(r"(\*\.)?(?!-)[A-Za-z0-9-]{1,63}(?<!-)(\.(?!-)[A-Za-z0-9-]{1,63}(?<!-))*\.?")


def is_host_name(text):
    # A last label of digits only would be an address written wrong
    # (999.1.1.1), never a name.
    return (len(text) <= 253 and HOST_NAME.fullmatch(text) is not None
            and not text.rstrip(".").rsplit(".", 1)[-1].isdigit())


def listen_address(text):
    """The address both services listen on: an IP address, or a name for one."""
    try:
        return str(ipaddress.ip_address(text))
    except ValueError:
        pass
    if not is_host_name(text) or text.startswith("*"):
        raise ConfigProblem("listen must be an address of this machine (such as 0.0.0.0 or 192.0.2.7), "
                            "not %r" % text)
    return text


def certificate_names(text):
    """The comma-separated names and addresses for the certificate."""
    names = [n.strip() for n in text.split(",") if n.strip()]
    for name in names:
        try:
            ipaddress.ip_address(name)
        except ValueError:
            if not is_host_name(name):
                raise ConfigProblem("names must be host names or addresses separated by commas, not %r" % name)
    return names


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Korvala score server: FTP uploads and the HTTP scores page. The game starts one on "
                    "loopback by itself; a school or club runs one for many players with --config.")
    p.add_argument("--config", default=None,
                   help="configuration file: a [server] section with listen, ftp-port, http-port, "
                        "passive-ports, folder, certificate and names; options given here win over it")
    p.add_argument("--folder", default=None,
                   help="data folder: ftp/ (the account's home, with Korvala/) and the certificate "
                        "(default: $XDG_DATA_HOME or ~/.local/share, then Korvala/score-server)")
    p.add_argument("--host", default=None, help="address both services listen on (default 127.0.0.1)")
    p.add_argument("--ftp-port", default=None, help="FTP port (default 2121; 0 picks a free one)")
    p.add_argument("--http-port", default=None, help="HTTP port (default 2180; 0 picks a free one)")
    p.add_argument("--passive-ports", default=None, metavar="LO-HI",
                   help="ports for FTP data connections, for a firewall (default: any the system gives)")
    p.add_argument("--cert", default=None,
                   help="TLS certificate (PEM), made at first start if missing; its key lies beside it "
                        "with the suffix .key (default: <folder>/cert.pem)")
    p.add_argument("--names", default=None,
                   help="comma-separated host names and addresses the players connect to, written into a "
                        "certificate made at first start (127.0.0.1, localhost and the listen address "
                        "are always in it)")
    p.add_argument("--no-tls", action="store_true",
                   help="plain FTP only: AUTH is refused, so that clients carry on without TLS "
                        "(the default requires TLS on the control and the data connections)")
    p.add_argument("--watch-stdin", action="store_true",
                   help="stop when standard input reaches end of file (the game that started the "
                        "server holds the other end of a pipe while it runs)")
    p.add_argument("--verbose", action="store_true", help="log every FTP command and HTTP request to stderr")
    args = p.parse_args(argv)
    try:
        settings = dict(DEFAULTS)
        if args.config:
            settings.update(read_config(args.config))
        for option in DEFAULTS:
            if getattr(args, option) is not None:
                settings[option] = getattr(args, option)
        args.host = listen_address(settings["host"])
        args.ftp_port = port_number(settings["ftp_port"], "ftp-port")
        args.http_port = port_number(settings["http_port"], "http-port")
        args.passive_ports = port_range(settings["passive_ports"]) if settings["passive_ports"] else None
        args.names = certificate_names(settings["names"])
    except ConfigProblem as e:
        p.exit(2, "score server: %s\n" % e)
    args.folder = Path(settings["folder"] or default_folder()).expanduser().resolve()
    args.cert = Path(settings["cert"]).expanduser().resolve() if settings["cert"] else args.folder / "cert.pem"
    return args


# ---------------------------------------------------------------- certificate

def key_path_for(cert):
    key = cert.with_suffix(".key")
    return key if key != cert else cert.with_name(cert.name + ".key")


def make_certificate(cert, key, host, extra_names=()):
    """Writes a self-signed certificate for `host`, `extra_names`, 127.0.0.1
    and localhost, and its key."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    names = {"127.0.0.1"} | set(extra_names)
    if host not in ("", "0.0.0.0", "::"):
        names.add(host)
    alt = []
    for n in sorted(names):
        try:
            alt.append(x509.IPAddress(ipaddress.ip_address(n)))
        except ValueError:
            alt.append(x509.DNSName(n))
    alt.append(x509.DNSName("localhost"))

    private_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    subject = x509.Name([
        x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Korvala score server"),
    ])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(subject)
        .public_key(private_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=3650))
        .add_extension(x509.SubjectAlternativeName(alt), critical=False)
        # Self-signed: the certificate is its own trust anchor for a client's
        # CA file (curl --cacert), so it is marked as a CA.
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .sign(private_key, hashes.SHA256())
    )
    cert.parent.mkdir(parents=True, exist_ok=True)
    key_bytes = private_key.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.TraditionalOpenSSL,
                                          serialization.NoEncryption())
    # The key is written first and readable by its owner only; the
    # certificate appears last, so a run stopped half-way makes a new pair.
    fd = os.open(key, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(key_bytes)
    tmp = cert.with_name(cert.name + ".tmp")
    tmp.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    os.replace(tmp, cert)


def names_not_covered(cert, host, extra_names=()):
    """Which of the names and addresses a certificate made now would carry
    the certificate at `cert` lacks; None when it cannot be read here (one
    from elsewhere, say)."""
    try:
        from cryptography import x509
        loaded = x509.load_pem_x509_certificate(cert.read_bytes())
        try:
            alt = loaded.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
        except x509.ExtensionNotFound:
            alt = x509.SubjectAlternativeName([])
        dns = {n.lower().rstrip(".") for n in alt.get_values_for_type(x509.DNSName)}
        ips = {str(a) for a in alt.get_values_for_type(x509.IPAddress)}
    except Exception:
        return None
    wanted = list(extra_names) + ([host] if host not in ("", "0.0.0.0", "::") else [])
    missing = []
    for name in wanted:
        try:
            covered = str(ipaddress.ip_address(name)) in ips
        except ValueError:
            covered = name.lower().rstrip(".") in dns
        if not covered and name not in missing:
            missing.append(name)
    return missing


def ensure_certificate(cert, host, extra_names=()):
    key = key_path_for(cert)
    if cert.is_file() and key.is_file():
        # Kept as it is even when the names have changed since it was made:
        # the players trust this very certificate. Whoever runs the server
        # is told which names it lacks, and how to have a new one made.
        for name in names_not_covered(cert, host, extra_names) or ():
            log.warning("the certificate %s is not made for %s: players connecting by that name are refused; "
                        "move it and its key away to have a new one made at the next start (and give the "
                        "players the new one)", cert, name)
        return cert, key
    make_certificate(cert, key, host, extra_names)
    log.info("made a self-signed certificate: %s (key %s)", cert, key)
    return cert, key


# ---------------------------------------------------------------- scores page

_LEADING_NUMBER = re.compile(r"[0-9]+")


def split_score(name):
    """(score digits or None, the rest of the name)."""
    m = _LEADING_NUMBER.match(name)
    if not m:
        return None, name
    return m.group(0), name[m.end():]


def score_fields(name):
    """(score digits or None, player name, country) of a score file's name.

    The game names a score "<score>(<name>)(<e-mail>)(<country>)", and the
    player's fields may hold parentheses themselves, so the part after the
    score is split on ")(" and read from the end: the last field is the
    country, the one before it the e-mail address, which is dropped, and the
    rest is the name. A name with two fields keeps only the first (the
    second stands where the e-mail address goes); any other name (no
    parentheses, one field, a hand-edited string) is shown as it is, with no
    country."""
    digits, rest = split_score(name)
    if len(rest) >= 2 and rest.startswith("(") and rest.endswith(")"):
        fields = rest[1:-1].split(")(")
        if len(fields) >= 3:
            return digits, ")(".join(fields[:-2]), fields[-1]
        if len(fields) == 2:
            return digits, "(%s)" % fields[0], ""
    return digits, rest, ""


_DIGITS = "0123456789"


def _score_value(name):
    """The leading number of a score file's name, -1 without one."""
    digits = name[:len(name) - len(name.lstrip(_DIGITS))]
    return int(digits) if digits else -1


def ranked_names(folder):
    """The visible files of the score folder, best first: by the leading
    number, highest first; names without one after every numbered name;
    equal ranks by file name. The folder is read with one scandir, and no
    file is looked at on its own but a link (to tell whether it leads to a
    file). Names are as the folder holds them (bytes that are not UTF-8
    stand as surrogates; see shown_text)."""
    names = []
    try:
        with os.scandir(folder) as it:
            for e in it:
                if e.name.startswith("."):
                    continue
                try:
                    if e.is_file():
                        names.append(e.name)
                except OSError:
                    continue
    except OSError:
        return []
    # By name, then (stable) by score, highest first: ties stay by name.
    names.sort()
    names.sort(key=_score_value, reverse=True)
    return names


def _player_folded(name):
    """score_fields' player name of a file name, case-folded: the same
    reading, made for speed (a search folds every name of the folder)."""
    rest = name.lstrip(_DIGITS)
    if len(rest) >= 2 and rest[0] == "(" and rest[-1] == ")":
        fields = rest[1:-1].split(")(")
        if len(fields) >= 3:
            return ")(".join(fields[:-2]).casefold()
        if len(fields) == 2:
            return ("(%s)" % fields[0]).casefold()
    return rest.casefold()


def shown_text(name):
    """A name from the folder as text for the page: bytes that are not
    UTF-8 become U+FFFD."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


class ScoreTable:
    """The ranked scores of one folder, read again only when the folder has
    changed: an upload lands in it by a rename, which changes the folder's
    modification time. A folder changed within the last two seconds of a
    read may change again within the same tick of its clock, so such a read
    is not trusted for the next request. Only the rows shown are taken
    apart into their fields; a search folds the player names once per
    reading."""

    RACY_NS = 2_000_000_000

    def __init__(self, folder, clock=time.time_ns):
        self.folder = folder
        self.clock = clock
        self.lock = threading.Lock()
        self.stamp = None   # (mtime_ns, ctime_ns, inode) of the folder when read; None: read again
        self.names = []
        # The player names case-folded, made with the first search of a
        # reading, and the reading (the names list) they were made from.
        self.folded = None
        self.folded_from = None

    def _stamp(self):
        try:
            st = os.stat(self.folder)
        except OSError:
            return None
        return (st.st_mtime_ns, st.st_ctime_ns, st.st_ino)

    def snapshot(self):
        """The ranked file names; the same list until the folder changes."""
        with self.lock:
            stamp = self._stamp()
            if stamp is None or stamp != self.stamp:
                now = self.clock()
                self.names = ranked_names(self.folder)
                racy = stamp is None or now - max(stamp[0], stamp[1]) < self.RACY_NS
                self.stamp = None if racy else stamp
            return self.names

    @staticmethod
    def entry(name):
        """(score digits or None, player name, country) of one file name."""
        return score_fields(shown_text(name))

    def search(self, query, names=None):
        """The ranks (1-based, in the whole table) and names of the entries
        whose player name holds `query`, case-folded: [(rank, name)]. In
        the reading `names` (from snapshot()), so that a page's rows and
        counts come from one reading; a fresh one when none is given."""
        if names is None:
            names = self.snapshot()
        with self.lock:
            if self.folded_from is not names:
                self.folded = [_player_folded(n) for n in names]
                self.folded_from = names
            folded = self.folded
        q = query.casefold()
        return [(i + 1, names[i]) for i, player in enumerate(folded) if q in player]


PAGE_STYLE = """
  body { margin: 0; font-family: "DejaVu Sans", Tahoma, Verdana, sans-serif; background: #f4f1e8; color: #222; }
  header { background: #20424f; color: #fff; padding: 14px 20px; }
  header h1 { margin: 0; font-size: 20px; font-weight: bold; letter-spacing: 0.5px; }
  main { padding: 16px 20px; }
  table { border-collapse: collapse; width: 100%; background: #fff; box-shadow: 0 1px 3px rgba(0,0,0,0.15); }
  th, td { padding: 6px 10px; text-align: left; border-bottom: 1px solid #e2ddd0; vertical-align: top; }
  th { background: #e9e3d3; font-size: 13px; text-transform: uppercase; letter-spacing: 0.5px; }
  td.rank { width: 3em; text-align: right; color: #777; }
  td.score { width: 6em; text-align: right; font-weight: bold; color: #20424f; }
  td.player, td.country { word-break: break-all; white-space: pre-wrap; }
  tr:nth-child(even) td { background: #faf8f2; }
  tbody tr:first-child td.score { color: #b8860b; }
  p.empty { font-size: 16px; color: #555; }
  footer { padding: 0 20px 16px; font-size: 11px; color: #888; }
  form.search { float: right; margin: -3px 0 0 12px; }
  form.search input { font-size: 12px; padding: 2px 4px; width: 10em; }
  form.search button { font-size: 12px; padding: 2px 8px; }
  nav { margin: 12px 0 0; font-size: 14px; }
  nav a { color: #20424f; margin: 0 8px; }
"""


PAGE_ROWS = 100


def page_request(query_string):
    """(page number, search text) from a request's query: ?page=N (1-based;
    anything else is the first page) and ?q=TEXT (blanks around it dropped)."""
    fields = urllib.parse.parse_qs(query_string, keep_blank_values=True)
    try:
        page = int(fields.get("page", ["1"])[0])
    except ValueError:
        page = 1
    query = fields.get("q", [""])[0].strip()
    return page, query


def page_link(page, query):
    params = {"page": page}
    if query:
        params["q"] = query
    return "/?" + urllib.parse.urlencode(params)


def render_page(table, page=1, query=""):
    """One page of at most PAGE_ROWS rows of the ranked table (or of the
    rows whose player name holds `query`), with links to the pages before and
    after it and a search box. A page past the last shows the last, one
    before the first the first. Everything from the folder and the request is
    escaped."""
    names = table.snapshot()
    total = len(names)
    rows = table.search(query, names) if query else None
    count = len(rows) if rows is not None else total
    pages = max(1, (count + PAGE_ROWS - 1) // PAGE_ROWS)
    page = min(max(page, 1), pages)
    first = (page - 1) * PAGE_ROWS
    if rows is not None:
        shown = rows[first:first + PAGE_ROWS]
    else:
        shown = [(first + k + 1, n) for k, n in enumerate(names[first:first + PAGE_ROWS])]
    shown = [(rank, table.entry(n)) for rank, n in shown]
    esc = html.escape
    out = [
        "<!DOCTYPE html>",
        '<html lang="id">',
        "<head>",
        '<meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        "<title>%s</title>" % esc(PAGE_TITLE),
        "<style>%s</style>" % PAGE_STYLE,
        "</head>",
        "<body>",
        # The search sits in the header, beside the title, so that the
        # table starts right below it as before.
        '<header><form class="search" method="get" action="/">'
        '<input type="search" name="q" value="%s" placeholder="Nama pemain">'
        '<button type="submit">Cari</button></form><h1>%s</h1></header>' % (esc(query), esc(PAGE_TITLE)),
        "<main>",
    ]
    if not shown:
        out.append('<p class="empty">%s</p>' % ("Tidak ada nama yang cocok." if query else "Belum ada nilai."))
    else:
        out.append("<table>")
        out.append("<thead><tr><th>No.</th><th>Nilai</th><th>Nama</th><th>Negara</th></tr></thead>")
        out.append("<tbody>")
        for rank, (digits, player, country) in shown:
            out.append('<tr><td class="rank">%d</td><td class="score">%s</td>'
                       '<td class="player">%s</td><td class="country">%s</td></tr>'
                       % (rank, esc(digits or ""), esc(player), esc(country)))
        out.append("</tbody>")
        out.append("</table>")
    nav = []
    if page > 1:
        nav.append('<a class="prev" href="%s">&laquo; Sebelumnya</a>' % esc(page_link(page - 1, query)))
    nav.append('<span class="page">Halaman %d dari %d</span>' % (page, pages))
    if page < pages:
        nav.append('<a class="next" href="%s">Berikutnya &raquo;</a>' % esc(page_link(page + 1, query)))
    out.append('<nav>%s</nav>' % " ".join(nav))
    out.append("</main>")
    if query:
        out.append("<footer>%d dari %d nilai</footer>" % (count, total))
    else:
        out.append("<footer>%d nilai</footer>" % total)
    out.append("</body>")
    out.append("</html>")
    return "\n".join(out) + "\n"


def make_http_handler(score_folder, verbose):
    table = ScoreTable(score_folder)

    class ScoresPage(http.server.BaseHTTPRequestHandler):
        server_version = "KorvalaScores/1.0"

        def _send_page(self, with_body):
            target = self.path.split("#", 1)[0]
            path, _, query_string = target.partition("?")
            if path not in ("/", "/index.html"):
                body = b"Not found\n"
                self.send_response(404)
                self.send_header("Content-Type", "text/plain; charset=utf-8")
            else:
                page, query = page_request(query_string)
                body = render_page(table, page, query).encode("utf-8")
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            if with_body:
                self.wfile.write(body)

        def do_GET(self):
            self._send_page(True)

        def do_HEAD(self):
            self._send_page(False)

        def log_message(self, fmt, *args):
            if verbose:
                log.info("http %s - %s", self.address_string(), fmt % args)

    return ScoresPage


class ScoresHTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True  # a restart may follow a stop at once (TIME_WAIT)


def http_server(host, port, handler):
    """The page's server on `host`, in the address family the host resolves
    to first, as FTP's listener does: an IPv6 listen address ("::" takes
    IPv4 too) serves the page as well as the FTP."""
    family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0][0]
    server = type("ScoresHTTPServer", (ScoresHTTPServer,), {"address_family": family})
    return server((host, port), handler)


# ---------------------------------------------------------------- FTP

def remote(handler):
    return getattr(handler, "remote_ip", None) or "?"


def one_line(text, limit=80):
    """What a client sent, fit for one line of the log: control characters
    escaped (a name cannot start a line of its own), at most `limit`
    characters."""
    shown = "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(text))
    return shown if len(shown) <= limit else shown[:limit] + "..."


def tls_failure():
    """Why the TLS handshake being handled failed, from OpenSSL's reasons,
    with a word for whoever runs the server when the player's game does not
    trust its certificate. Called while pyftpdlib handles the handshake's
    error (inside its except clause)."""
    error = sys.exc_info()[1]
    reasons = []
    if error is not None and error.args and isinstance(error.args[0], list):
        reasons = [str(r[-1]) for r in error.args[0] if isinstance(r, tuple) and r]
    why = "; ".join(reasons) or (str(error) if error is not None else "") or "no reason given"
    if any(r in why for r in ("unknown ca", "bad certificate", "certificate unknown")):
        why += " (the client does not trust this server's certificate: give the player a copy of it)"
    return why


if TLS_DTPHandler is not None:
    class PrivateDataChannel(TLS_DTPHandler):
        """A data connection under PROT P. A client starts its TLS handshake
        as soon as the data connection is open, often before it has sent the
        STOR or LIST that gives the connection its direction; pyftpdlib's own
        handler takes that early data for a dropped connection and closes it.
        Here the handshake is always read: from the moment pyftpdlib secures
        the connection until it reports the handshake done, the channel asks
        for what the client sends. Only pyftpdlib's public methods and hooks
        are used (DATA_CHANNEL_HOOKS); check_pyftpdlib() makes sure at start
        that they are there."""

        handshake_in_progress = False

        def secure_connection(self, ssl_context):
            super().secure_connection(ssl_context)
            self.handshake_in_progress = True

        def handle_ssl_established(self):
            self.handshake_in_progress = False
            super().handle_ssl_established()

        def readable(self):
            if self.handshake_in_progress:
                return True
            return super().readable()

        def handle_failed_ssl_handshake(self):
            self.handshake_in_progress = False
            log.warning("FTP data connection from %s refused: TLS handshake failed: %s",
                        remote(self.cmd_channel), tls_failure())
            super().handle_failed_ssl_handshake()

    class ControlChannelReport:
        """Says why a TLS handshake on the control connection failed
        (pyftpdlib only closes it, and says so only in its debug output);
        mixed in before its TLS handler."""

        def handle_failed_ssl_handshake(self):
            log.warning("FTP connection from %s closed: TLS handshake failed: %s", remote(self), tls_failure())
            super().handle_failed_ssl_handshake()


class ScoreAccount(DummyAuthorizer):
    """The one FTP account, allowed what the game's submissions and listings
    need and nothing else, so that no client holding the password can remove
    or rewrite a score in place.

    pyftpdlib asks has_perm() before every file command, with a permission
    letter and the absolute path the command names:
      e  CWD, CDUP          the home folder and Korvala/
      l  NLST, LIST, MLSD,  Korvala/ itself (not the home folder, not one
         STAT, MLST, ...    file: no SIZE or MDTM either)
      w  STOR               an upload temporary in the home folder
      d  DELE, RMD          an upload temporary in the home folder (RMD is
                            refused by ScoreCommands)
      f  RNFR, RNTO         an upload temporary or a name in Korvala/;
                            ScoreCommands tells the source from the target
    Every other letter (r RETR, a APPE, m MKD, M SITE CHMOD, T MFMT) is
    refused. Paths are compared after following links, so a link planted
    under a temporary's name cannot lead a command into Korvala/.
    """

    def __init__(self, home):
        super().__init__()
        self.home = os.path.realpath(home)
        self.scores = os.path.join(self.home, SCORE_FOLDER)
        # The letters here only show up in MLSD's "perm" facts; has_perm()
        # below decides.
        self.add_user(FTP_USER, FTP_PASSWORD, self.home, perm="elwdf")

    def is_upload_temporary(self, path):
        """Whether `path` is an upload temporary directly in the home folder."""
        real = os.path.realpath(path)
        return (os.path.dirname(real) == self.home
                and UPLOAD_TEMPORARY.fullmatch(os.path.basename(real)) is not None)

    def is_score_name(self, path):
        """Whether `path` is a file name directly inside Korvala/."""
        real = os.path.realpath(path)
        return os.path.dirname(real) == self.scores and os.path.basename(real) not in ("", ".", "..")

    def has_perm(self, username, perm, path=None):
        if not self.has_user(username) or path is None:
            return False
        if perm == "e":
            return os.path.realpath(path) in (self.home, self.scores)
        if perm == "l":
            return os.path.realpath(path) == self.scores
        if perm in ("w", "d"):
            return self.is_upload_temporary(path)
        if perm == "f":
            return self.is_upload_temporary(path) or self.is_score_name(path)
        return False


class ScoreCommands:
    """Command overrides for the score account, mixed in before pyftpdlib's
    FTP handler (see ScoreAccount for the permissions)."""

    REFUSED = "550 Not enough privileges."

    def ftp_RNFR(self, path):
        # Only a finished upload may be moved: never a score, so no score
        # can be moved away or out of Korvala/.
        if not self.authorizer.is_upload_temporary(path):
            self.respond(self.REFUSED)
            return None
        return super().ftp_RNFR(path)

    def ftp_RNTO(self, path):
        # An upload goes straight into Korvala/, under a plain file name; any
        # other target is refused whether or not a source was named.
        if not self.authorizer.is_score_name(path):
            self.respond(self.REFUSED)
            return None
        return super().ftp_RNTO(path)

    def ftp_RMD(self, path):
        # The account never removes folders; DELE's permission also covers
        # RMD (and XRMD, which calls this).
        self.respond(self.REFUSED)

    def ftp_STOU(self, line):
        # pyftpdlib creates the file before it asks for permission; the game
        # names its uploads itself, so STOU is refused outright.
        self.respond(self.REFUSED)

    # What is refused to a whole connection is said on standard error (the
    # system's journal for a shared server) whether or not --verbose is
    # given: a player whose game cannot get in sees only that the scores do
    # not arrive. Never with the password.

    def on_login_failed(self, username, password):
        why = "wrong password" if username == FTP_USER else "no such account"
        log.warning("FTP login refused for %s from %s: %s", one_line(username), remote(self), why)
        super().on_login_failed(username, password)

    def log_cmd(self, cmd, arg, respcode, respstr):
        # pyftpdlib's TLS handler answers these so when TLS is required and
        # the client has not asked for it.
        if respcode == 550 and respstr.startswith("SSL/TLS required"):
            if cmd in ("USER", "PASS"):
                log.warning("FTP login refused from %s: TLS is required on the control connection "
                            "and the client did not ask for it (AUTH TLS)", remote(self))
            else:
                log.warning("FTP data connection refused to %s: TLS is required on the data connections "
                            "and the client did not ask for it (PROT P)", remote(self))
        super().log_cmd(cmd, arg, respcode, respstr)


# What the server builds on beyond pyftpdlib's plain use. A setting given to
# a handler class that pyftpdlib no longer knows would be ignored without a
# word (the one that requires encrypted data, say), and a data channel hook
# that is no longer called would let pyftpdlib reset every encrypted data
# connection again; so each must be there before the server starts.
HANDLER_SETTINGS = ("authorizer", "banner", "permit_foreign_addresses")
TLS_HANDLER_SETTINGS = ("certfile", "keyfile", "dtp_handler", "tls_control_required", "tls_data_required",
                        "ssl_context", "get_ssl_context", "handle_failed_ssl_handshake")
COMMANDS = ("ftp_RNFR", "ftp_RNTO", "ftp_RMD", "ftp_STOU", "respond", "on_login_failed", "log_cmd")
# Called by pyftpdlib as it secures a data connection, when the handshake is
# done or has failed, and to ask whether the channel reads (see
# PrivateDataChannel).
DATA_CHANNEL_HOOKS = ("secure_connection", "handle_ssl_established", "readable", "handle_failed_ssl_handshake")


class PyftpdlibLacks(Exception):
    """pyftpdlib lacks something the server builds on."""


def check_pyftpdlib(tls):
    """Raises PyftpdlibLacks naming everything the server needs from
    pyftpdlib that it does not offer (with `tls`, also for TLS)."""
    wanted = [(FTPHandler, HANDLER_SETTINGS + COMMANDS)]
    if tls:
        wanted += [(TLS_FTPHandler, TLS_HANDLER_SETTINGS), (TLS_DTPHandler, DATA_CHANNEL_HOOKS)]
    missing = ["%s.%s" % (cls.__name__, name) for cls, names in wanted for name in names
               if not hasattr(cls, name)]
    if missing:
        raise PyftpdlibLacks(", ".join(missing))


def make_ftp_handler(home, tls, cert=None, key=None):
    """The FTP handler class for the score account; with `tls` it requires
    AUTH TLS before login and PROT P before any data connection. Raises
    PyftpdlibLacks when pyftpdlib does not know a setting it is given."""
    if tls:
        base = TLS_FTPHandler
        attrs = {"certfile": str(cert), "keyfile": str(key), "dtp_handler": PrivateDataChannel,
                 "tls_control_required": True, "tls_data_required": True,
                 "ssl_context": None}
    else:
        # The plain handler does not know AUTH and answers it with 500, as a
        # server without TLS does; clients then carry on in plain FTP.
        base = FTPHandler
        attrs = {}
    attrs.update({"authorizer": ScoreAccount(home), "banner": "Korvala score server ready.",
                  "permit_foreign_addresses": False})
    unknown = sorted(name for name in attrs if not hasattr(base, name))
    if unknown:  # only settings check_pyftpdlib() has seen may be given
        raise PyftpdlibLacks(", ".join("%s.%s" % (base.__name__, name) for name in unknown))
    bases = (ScoreCommands, ControlChannelReport, base) if tls else (ScoreCommands, base)
    handler = type("KorvalaFTPHandler", bases, attrs)
    if tls:
        handler.get_ssl_context()  # a bad certificate fails here, at start, not at the first AUTH
    return handler


# ---------------------------------------------------------------- main

def why(error):
    if error.errno == errno.EADDRINUSE:
        return "the port is taken (another score server?)"
    if isinstance(error, socket.gaierror):  # a listen name that does not resolve
        return error.strerror
    return os.strerror(error.errno) if error.errno else str(error)


def watch_stdin(stop):
    """Sets `stop` when standard input reaches end of file: the game that
    started the server holds the write end of a pipe, and the system closes
    it when the game ends, even when it is killed."""
    try:
        fd = sys.stdin.fileno()
        while os.read(fd, 65536):
            pass  # anything written on the pipe means nothing; only its end counts
    except (OSError, ValueError, AttributeError):
        pass  # no usable standard input: as good as closed
    log.info("standard input closed: stopping")
    stop.set()


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="score server: %(message)s")
    logging.getLogger("pyftpdlib").setLevel(logging.INFO if args.verbose else logging.WARNING)

    home = args.folder / "ftp"
    score_folder = home / SCORE_FOLDER
    tls = not args.no_tls
    if tls and TLS_FTPHandler is None:
        log.warning("python3-openssl is missing: FTP runs without TLS")
        tls = False
    try:
        check_pyftpdlib(tls)  # before anything is made in the folder
        score_folder.mkdir(parents=True, exist_ok=True)
        if tls:
            cert, key = ensure_certificate(args.cert, args.host, args.names)
            handler = make_ftp_handler(home, True, cert, key)
        else:
            handler = make_ftp_handler(home, False)
        if args.passive_ports:
            handler.passive_ports = args.passive_ports
    except PyftpdlibLacks as e:
        print("score server: this pyftpdlib (%s, in %s) lacks what the server needs: %s"
              % (getattr(pyftpdlib, "__ver__", "version unknown"), os.path.dirname(pyftpdlib.__file__), e),
              file=sys.stderr)
        return 3
    except Exception as e:  # a folder or certificate we cannot use: say so and stop
        print("score server: cannot prepare %s: %s" % (args.folder, e), file=sys.stderr)
        return 1

    try:
        ftpd = FTPServer((args.host, args.ftp_port), handler)
    except OSError as e:
        print("score server: cannot listen for FTP on %s:%d: %s" % (args.host, args.ftp_port, why(e)),
              file=sys.stderr)
        return 1
    try:
        httpd = http_server(args.host, args.http_port, make_http_handler(score_folder, args.verbose))
    except OSError as e:
        ftpd.close_all()
        print("score server: cannot listen for HTTP on %s:%d: %s" % (args.host, args.http_port, why(e)),
              file=sys.stderr)
        return 1

    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.watch_stdin:
        threading.Thread(target=watch_stdin, args=(stop,), name="stdin-watch", daemon=True).start()

    web = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.2},
                           name="scores-page", daemon=True)
    web.start()

    print("score server ready ftp=%d http=%d" % (ftpd.address[1], httpd.server_address[1]), flush=True)
    log.info("folder %s, scores in %s", args.folder, score_folder)

    try:
        while not stop.is_set():
            # One pass of the FTP loop at a time, so that a stop request is
            # seen within the poll timeout.
            ftpd.ioloop.loop(timeout=0.2, blocking=False)
    finally:
        httpd.shutdown()
        httpd.server_close()
        ftpd.close_all()
    log.info("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
