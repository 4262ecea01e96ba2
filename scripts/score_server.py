#!/usr/bin/python3
"""The game's score server on loopback: one process, two services.

  FTP   the account the game uploads its score files to; every file in the
        folder "Korvala/" below the account's home is one score. Plain FTP
        and AUTH TLS on the control connection both work.
  HTTP  the scores page shown on the information panel, built afresh from
        the names in "Korvala/" at every request.

Run with Debian's Python (/usr/bin/python3), which has python3-pyftpdlib and
python3-openssl. Prints "score server ready ftp=<port> http=<port>" once both
services listen (a port given as 0 is picked by the system and the line
names the one picked), and stops on SIGTERM or SIGINT. The folder keeps the
scores and the certificate between runs.
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
import sys
import threading
from pathlib import Path

try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError:
    sys.exit("score server: pyftpdlib is missing (Debian package python3-pyftpdlib; "
             "run this with /usr/bin/python3)")

try:
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
except ImportError:  # pyftpdlib offers TLS only with python3-openssl
    TLS_DTPHandler = TLS_FTPHandler = None

FTP_USER = "korvala"
FTP_PASSWORD = "481526"
SCORE_FOLDER = "Korvala"
PAGE_TITLE = "Korvala Deluxe 1.0 - Nilai Online"

log = logging.getLogger("score-server")


def default_folder():
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "Korvala", "score-server")


def parse_args(argv):
    p = argparse.ArgumentParser(description="Korvala score server: FTP uploads and the HTTP scores page, on loopback.")
    p.add_argument("--folder", default=None,
                   help="data folder: ftp/ (the account's home, with Korvala/) and the certificate "
                        "(default: $XDG_DATA_HOME or ~/.local/share, then Korvala/score-server)")
    p.add_argument("--host", default="127.0.0.1", help="address both services listen on (default 127.0.0.1)")
    p.add_argument("--ftp-port", type=int, default=2121, help="FTP port (default 2121; 0 picks a free one)")
    p.add_argument("--http-port", type=int, default=2180, help="HTTP port (default 2180; 0 picks a free one)")
    p.add_argument("--cert", default=None,
                   help="TLS certificate (PEM), made at first start if missing; its key lies beside it "
                        "with the suffix .key (default: <folder>/cert.pem)")
    p.add_argument("--verbose", action="store_true", help="log every FTP command and HTTP request to stderr")
    args = p.parse_args(argv)
    for name in ("ftp_port", "http_port"):
        if not 0 <= getattr(args, name) <= 65535:
            p.error("--%s must be between 0 and 65535" % name.replace("_", "-"))
    args.folder = Path(args.folder or default_folder()).expanduser().resolve()
    args.cert = Path(args.cert).expanduser().resolve() if args.cert else args.folder / "cert.pem"
    return args


# ---------------------------------------------------------------- certificate

def key_path_for(cert):
    key = cert.with_suffix(".key")
    return key if key != cert else cert.with_name(cert.name + ".key")


def make_certificate(cert, key, host):
    """Writes a self-signed certificate for `host` (and 127.0.0.1) and its key."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    names = {"127.0.0.1"}
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


def ensure_certificate(cert, host):
    key = key_path_for(cert)
    if cert.is_file() and key.is_file():
        return cert, key
    make_certificate(cert, key, host)
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


def ranked_entries(folder):
    """The visible file names of the score folder, best first: by the leading
    number, highest first; names without one after every numbered name;
    equal ranks by name."""
    try:
        raw = os.listdir(os.fsencode(folder))
    except OSError:
        return []
    entries = []
    for b in raw:
        if b.startswith(b"."):
            continue
        try:
            if not os.path.isfile(os.path.join(os.fsencode(folder), b)):
                continue
        except OSError:
            continue
        name = b.decode("utf-8", "replace")
        digits, rest = split_score(name)
        entries.append((digits, rest, name))

    def key(entry):
        digits, _, name = entry
        if digits is None:
            return (1, 0, name)
        return (0, -int(digits), name)

    entries.sort(key=key)
    return entries


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
  td.player { word-break: break-all; white-space: pre-wrap; }
  tr:nth-child(even) td { background: #faf8f2; }
  tbody tr:first-child td.score { color: #b8860b; }
  p.empty { font-size: 16px; color: #555; }
  footer { padding: 0 20px 16px; font-size: 11px; color: #888; }
"""


def render_page(folder):
    entries = ranked_entries(folder)
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
        "<header><h1>%s</h1></header>" % esc(PAGE_TITLE),
        "<main>",
    ]
    if not entries:
        out.append('<p class="empty">Belum ada nilai.</p>')
    else:
        out.append("<table>")
        out.append("<thead><tr><th>No.</th><th>Nilai</th><th>Pemain</th></tr></thead>")
        out.append("<tbody>")
        for rank, (digits, rest, _) in enumerate(entries, 1):
            out.append('<tr><td class="rank">%d</td><td class="score">%s</td><td class="player">%s</td></tr>'
                       % (rank, esc(digits or ""), esc(rest)))
        out.append("</tbody>")
        out.append("</table>")
    out.append("</main>")
    out.append("<footer>%d nilai</footer>" % len(entries))
    out.append("</body>")
    out.append("</html>")
    return "\n".join(out) + "\n"


def make_http_handler(score_folder, verbose):
    class ScoresPage(http.server.BaseHTTPRequestHandler):
        server_version = "KorvalaScores/1.0"

        def _send_page(self, with_body):
            path = self.path.split("?", 1)[0].split("#", 1)[0]
            if path not in ("/", "/index.html"):
                body = b"Not found\n"
                self.send_response(404)
                self.send_header("Content-Type", "text/plain; charset=utf-8")
            else:
                body = render_page(score_folder).encode("utf-8")
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


# ---------------------------------------------------------------- FTP

if TLS_DTPHandler is not None:
    class PrivateDataChannel(TLS_DTPHandler):
        """A data connection under PROT P. A client starts its TLS handshake
        as soon as the data connection is open, often before it has sent the
        STOR or LIST that gives the connection its direction; pyftpdlib's own
        handler takes that early data for a dropped connection and closes it.
        Here the handshake is always read."""

        def readable(self):
            if self._ssl_accepting or self._ssl_want_read:
                return True
            return super().readable()


def make_ftp_handler(home, cert, key):
    authorizer = DummyAuthorizer()
    # e l r a d f m w: change folder, list, read, append, delete, rename, make folder, write.
    authorizer.add_user(FTP_USER, FTP_PASSWORD, str(home), perm="elradfmw")
    if TLS_FTPHandler is None:
        log.warning("python3-openssl is missing: FTP runs without AUTH TLS")
        base = FTPHandler
        attrs = {}
    else:
        base = TLS_FTPHandler
        attrs = {"certfile": str(cert), "keyfile": str(key), "dtp_handler": PrivateDataChannel,
                 "tls_control_required": False, "tls_data_required": False,
                 "ssl_context": None}
    attrs.update({"authorizer": authorizer, "banner": "Korvala score server ready.",
                  "permit_foreign_addresses": False})
    handler = type("KorvalaFTPHandler", (base,), attrs)
    if TLS_FTPHandler is not None:
        handler.get_ssl_context()  # a bad certificate fails here, at start, not at the first AUTH
    return handler


# ---------------------------------------------------------------- main

def why(error):
    if error.errno == errno.EADDRINUSE:
        return "the port is taken (another score server?)"
    return os.strerror(error.errno) if error.errno else str(error)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="score server: %(message)s")
    logging.getLogger("pyftpdlib").setLevel(logging.INFO if args.verbose else logging.WARNING)

    home = args.folder / "ftp"
    score_folder = home / SCORE_FOLDER
    try:
        score_folder.mkdir(parents=True, exist_ok=True)
        cert, key = ensure_certificate(args.cert, args.host)
        handler = make_ftp_handler(home, cert, key)
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
        httpd = ScoresHTTPServer((args.host, args.http_port), make_http_handler(score_folder, args.verbose))
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
