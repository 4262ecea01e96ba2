#!/usr/bin/python3
"""Many players at once against the score server, and against vsftpd on the
same folder, side by side.

Each player plays ROUNDS rounds with the game's own command sequence over
TLS with PROT P, as the game's transfer channel (libcurl) sends it:

  upload   connect, AUTH TLS (offering the session of the channel's last
           connection, as libcurl does), USER, PASS, PBSZ 0, PROT P, PWD, EPSV, TYPE I,
           STOR korvala-upload-<16 hex>.part (the data connection under TLS,
           reusing the control connection's session), RNFR, RNTO
           Korvala/<score name>, QUIT
  listing  connect, AUTH TLS, USER, PASS, PBSZ 0, PROT P, PWD, CWD Korvala,
           EPSV, TYPE A, NLST, QUIT

all N players starting at the same instant, each from an address of its own
group of 127.0.0.x (PLAYERS_PER_ADDRESS a group), so that the server's cap
per address holds. Every score name is new, so every acknowledged rename
(250) must be in the listing taken after the run, with the bytes sent;
those missing are "lost".

Printed per run, one line:
  <server> players=N rounds=R uploads=done/asked listings=done/asked failures=F
  lost=K corrupt=C upload_p50/p95 listing_p50/p95 (seconds, from connect to
  the 250 of RNTO, and to the 226 of NLST) cpu (seconds of the server's
  processes, children included) rss_peak (the sum of the resident memory of
  the server's processes, sampled every SAMPLE s) procs_peak wall
  client client_cpu (seconds of the players' process)
and the failures by reason below it; then both servers side by side.

  bench/server/load_bench.py [--players 50,200,1000] [--server bundled,vsftpd,pg3] [--rounds 5]
                             [--cost N] [--p95 SECONDS]
                             [--client curl|python] [--client-binary PATH] [--client-threads T]
                             [--players-cafile FILE]

pg3: three score servers on one PostgreSQL database (--store) of a private
cluster made for the benchmark (tests/support/pg_cluster.py; as root its
programs run as postgres), each with a folder of its own and the same
certificate, the players spread over them in turn; their CPU is summed in
the line and given per server below it. --cost N then measures each server
alone, after the run: N uploads and N listings, the server's CPU (and for
pg3 the database's) per upload and per listing. At the end, for each set-up,
the most players it held: the largest N run with no failure, nothing lost
and both p95 within --p95 (run a ladder of N to read it).

bundled: scripts/score_server.py with its defaults (max-upload 4 MiB,
max-temporaries 4, max-connections 512, 64 per address, login-timeout 30 s),
TLS required. vsftpd: started here (as root) on a loopback port, TLS
required on logins and data (force_local_*_ssl), max_clients 512 and
max_per_ip 64 like the bundled server, on the same folder, the players
mapped to the folder's owner through a PAM service written for the run
(pam_permit: no password hashing, the cheapest login vsftpd can have) and
removed after it; require_ssl_reuse off (this client offers the session
anyway, as curl does).

The players (--client), on the same machine, their work competing with the
server's:
  curl    korvala_load_client (bench/server/load_client.cpp, built with the
          benchmarks): libcurl with the options of the game's transfer
          channel, the players spread over threads of one process, one per
          player unless --client-threads says fewer (libcurl waits for an FTP
          request's last replies without serving the other requests of its
          thread; fewer threads cost less CPU). The default when the
          program is given (--client-binary, as `make bench_scores_load`
          does) or found in a build*/ folder of the tree.
  python  this process (asyncio, TLS through memory BIOs).
Both send the same score names and files, so the lost and corrupt checks
hold for either. --players-cafile gives the players another certificate
file to trust than the server's: a broken run, every request failing on TLS.
"""
import argparse
import asyncio
import collections
import glob
import os
import pwd
import re
import resource
import secrets
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "..", "scripts", "score_server.py")
CLIENT = "korvala_load_client"
PYTHON = "/usr/bin/python3"
USER, PASSWORD = "korvala", "481526"
PLAYERS_PER_ADDRESS = 50
TIMEOUT = 50.0       # seconds, the game's request time-out
SAMPLE = 0.25        # seconds between memory samples
PAM_SERVICE = "korvala-load-bench"
IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)
# A score file as the game writes it: the score string as a one-paragraph RTF document.
SCORE_FILE = ("{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033{\\fonttbl{\\f0\\fnil\\fcharset0 MS Sans Serif;}}\r\n"
              "\\viewkind4\\uc1\\pard\\f0\\fs17 %s\\par\r\n}\r\n")


class Failure(Exception):
    """A step that did not go as the game expects; its text is the reason."""


class Connection:
    """A client connection over asyncio's sockets, plain until secure()
    and TLS after (an SSLObject over memory BIOs, so that a session can be
    offered again, as curl does for the data connections)."""

    def __init__(self, sock):
        self.sock = sock
        self.loop = asyncio.get_running_loop()
        self.tls = None
        self.buffer = b""

    @classmethod
    async def open(cls, host, port, source):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        sock.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
        sock.bind((source, 0))
        try:
            await cls._connect(sock, host, port)
        except BaseException:
            sock.close()
            raise
        return cls(sock)

    @staticmethod
    async def _connect(sock, host, port):
        await asyncio.get_running_loop().sock_connect(sock, (host, port))

    async def _fill(self):
        data = await self.loop.sock_recv(self.sock, 65536)
        if not data:
            if self.tls:
                self.incoming.write_eof()
            raise Failure("connection closed")
        if self.tls:
            self.incoming.write(data)
        return data

    async def _flush(self):
        data = self.outgoing.read()
        if data:
            await self.loop.sock_sendall(self.sock, data)

    async def secure(self, context, session=None):
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_hostname="127.0.0.1", session=session)
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                await self._flush()
                await self._fill()
        await self._flush()

    async def recv(self):
        if not self.tls:
            return await self._fill()
        while True:
            try:
                data = self.tls.read(65536)
                if not data:
                    raise Failure("connection closed")
                return data
            except ssl.SSLWantReadError:
                await self._flush()
                await self._fill()
            except ssl.SSLZeroReturnError:
                return b""

    async def read_all(self):
        chunks = []
        while True:
            try:
                data = await self.recv()
            except Failure:
                break
            if not data:
                break
            chunks.append(data)
        return b"".join(chunks)

    async def send(self, data):
        if self.tls:
            self.tls.write(data)
            await self._flush()
        else:
            await self.loop.sock_sendall(self.sock, data)

    async def goodbye(self):
        """close_notify and the end of what this side sends, then what the
        other side still sends (a session ticket, say) read to its end: a
        socket closed with unread data resets the connection, and the
        server may take that for a failed upload."""
        try:
            if self.tls:
                try:
                    self.tls.unwrap()
                except (ssl.SSLWantReadError, ssl.SSLError):
                    pass
                await self._flush()
            self.sock.shutdown(socket.SHUT_WR)
            while await asyncio.wait_for(self.loop.sock_recv(self.sock, 65536), TIMEOUT):
                pass
        except (OSError, asyncio.TimeoutError):
            pass
        self.close()

    def close(self):
        self.sock.close()

    async def reply(self):
        """The next reply: (code, text of its last line)."""
        while True:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                text = line.decode("utf-8", "replace").rstrip("\r")
                if len(text) >= 4 and text[:3].isdigit() and text[3] == " ":
                    return int(text[:3]), text
            self.buffer += await self.recv()

    async def command(self, line, expect):
        await self.send(line.encode("utf-8") + b"\r\n")
        code, text = await self.reply()
        if code // 100 != expect:
            raise Failure(text[:60])
        return text


class Player:
    def __init__(self, k, host, port, source, context, rounds):
        self.k, self.host, self.port, self.source, self.context, self.rounds = k, host, port, source, context, rounds
        # The TLS session each of the game's two channels offers again on
        # its next connection, as libcurl's session cache does.
        self.sessions = {"upload": None, "listing": None}

    async def logged_in(self, channel):
        ctrl = await Connection.open(self.host, self.port, self.source)
        try:
            code, text = await ctrl.reply()
            if code != 220:
                raise Failure(text[:60])
            await ctrl.command("AUTH TLS", 2)
            await ctrl.secure(self.context, self.sessions[channel])
            await ctrl.command("USER " + USER, 3)
            await ctrl.command("PASS " + PASSWORD, 2)
            await ctrl.command("PBSZ 0", 2)
            await ctrl.command("PROT P", 2)
            await ctrl.command("PWD", 2)
        except BaseException:
            ctrl.close()
            raise
        return ctrl

    async def data_connection(self, ctrl):
        text = await ctrl.command("EPSV", 2)
        port = int(re.search(r"\(\|\|\|(\d+)\|\)", text).group(1))
        return await Connection.open(self.host, port, self.source)

    async def upload(self, name, content):
        ctrl = await self.logged_in("upload")
        data = None
        try:
            data = await self.data_connection(ctrl)
            await ctrl.command("TYPE I", 2)
            tmp = "korvala-upload-%s.part" % secrets.token_hex(8)
            await ctrl.command("STOR " + tmp, 1)
            await data.secure(self.context, ctrl.tls.session)
            await data.send(content)
            await data.goodbye()
            data = None
            code, text = await ctrl.reply()
            if code != 226:
                raise Failure(text[:60])
            await ctrl.command("RNFR " + tmp, 3)
            await ctrl.command("RNTO Korvala/" + name, 2)
            acknowledged = time.monotonic()
            self.sessions["upload"] = ctrl.tls.session
            try:
                await ctrl.command("QUIT", 2)
            except (Failure, OSError):
                pass
            return acknowledged
        finally:
            if data is not None:
                data.close()
            ctrl.close()

    async def listing(self):
        ctrl = await self.logged_in("listing")
        data = None
        try:
            await ctrl.command("CWD Korvala", 2)
            data = await self.data_connection(ctrl)
            await ctrl.command("TYPE A", 2)
            await ctrl.command("NLST", 1)
            await data.secure(self.context, ctrl.tls.session)
            listed = await data.read_all()
            data.close()
            data = None
            code, text = await ctrl.reply()
            if code != 226:
                raise Failure(text[:60])
            done = time.monotonic()
            self.sessions["listing"] = ctrl.tls.session
            try:
                await ctrl.command("QUIT", 2)
            except (Failure, OSError):
                pass
            return done, listed.decode("utf-8", "replace").split("\r\n")[:-1]
        finally:
            if data is not None:
                data.close()
            ctrl.close()

    async def play(self, start, results):
        await asyncio.sleep(max(0.0, start - time.monotonic()))
        for r in range(self.rounds):
            name = "%d(Pemain %04d)(p%04d@sekolah.example)(Indonesia %d)" % ((self.k * 7919 + r) % 100000,
                                                                            self.k, self.k, r)
            content = score_file(name)
            for op in ("upload", "listing"):
                began = time.monotonic()
                try:
                    if op == "upload":
                        ended = await asyncio.wait_for(self.upload(name, content), TIMEOUT)
                        results.acknowledged[name] = content
                    else:
                        ended, _ = await asyncio.wait_for(self.listing(), TIMEOUT)
                    results.times[op].append(ended - began)
                except asyncio.TimeoutError:
                    results.failures[op + ": timed out"] += 1
                except (Failure, OSError, ssl.SSLError, ValueError, AttributeError) as e:
                    why = str(e) if isinstance(e, Failure) else type(e).__name__
                    results.failures["%s: %s" % (op, why)] += 1


class Results:
    def __init__(self):
        self.times = {"upload": [], "listing": []}
        self.failures = collections.Counter()
        self.acknowledged = {}


def client_context(cafile):
    context = ssl.create_default_context(cafile=cafile)
    return context


async def run_players(n, rounds, host, port, cafile, results=None):
    """N players, R rounds each; `port` may be a list of the ports of
    several servers, over which the players are spread in turn."""
    results = results if results is not None else Results()
    try:
        context = client_context(cafile)
    except (OSError, ssl.SSLError) as e:  # every request would fail on TLS
        for op in ("upload", "listing"):
            results.failures["%s: the certificates to trust cannot be read: %s" % (op, e)] += n * rounds
        return results, 0.0
    start = time.monotonic() + 0.5
    ports = port if isinstance(port, (list, tuple)) else [port]
    players = [Player(k, host, ports[k % len(ports)], "127.0.0.%d" % (2 + k // PLAYERS_PER_ADDRESS), context,
                      rounds) for k in range(n)]
    await asyncio.gather(*(p.play(start, results) for p in players))
    return results, time.monotonic() - start


async def final_listing(host, port, cafile):
    player = Player(0, host, port, "127.0.0.1", client_context(cafile), 1)
    _, names = await asyncio.wait_for(player.listing(), TIMEOUT)
    return names


# ---------------------------------------------------------------- the servers' processes

def process_tree(root):
    """The pids of `root` and all its descendants."""
    children = collections.defaultdict(list)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            children[int(fields[1])].append(int(entry))
        except (OSError, IndexError, ValueError):
            continue
    tree, todo = [], [root]
    while todo:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, ()))
    return tree


def cpu_of(pid):
    """Seconds of CPU of `pid` and of its children it has waited for."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:  # ended in between
        return 0.0
    return sum(int(x) for x in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def tree_cpu(root):
    """Seconds of CPU of the processes under `root` (a server's workers, or
    the processes it forks per connection) and of the children they have
    waited for."""
    total = 0.0
    for pid in process_tree(root):
        try:
            total += cpu_of(pid)
        except (OSError, IndexError, ValueError):
            pass  # ended meanwhile
    return total


def rss_of(pid):
    try:
        with open("/proc/%d/statm" % pid) as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, IndexError, ValueError):
        return 0


class Sampler(threading.Thread):
    """The peak of the summed resident memory and of the count of the
    processes under `roots` (a pid or a list), sampled every SAMPLE seconds."""

    def __init__(self, roots):
        super().__init__(daemon=True)
        self.roots = roots if isinstance(roots, list) else [roots]
        self.rss_peak = 0
        self.procs_peak = 0
        self.halt = threading.Event()

    def run(self):
        while not self.halt.wait(SAMPLE):
            tree = [p for root in self.roots for p in process_tree(root)]
            self.procs_peak = max(self.procs_peak, len(tree))
            self.rss_peak = max(self.rss_peak, sum(rss_of(p) for p in tree))


def start_bundled(folder, options=()):
    # Its log goes to a file: a pipe nobody reads would stop a server that
    # says much (refusals, a database that is away) once the pipe is full.
    os.makedirs(folder, exist_ok=True)
    log_path = os.path.join(folder, "server-%d.log" % len(os.listdir(folder)))
    with open(log_path, "w") as log:
        proc = subprocess.Popen([PYTHON, SERVER, "--folder", folder, "--host", "127.0.0.1", "--ftp-port", "0",
                                 "--http-port", "0", *options], stdout=subprocess.PIPE, stderr=log, text=True)
    m = re.match(r"score server ready ftp=(\d+) http=(\d+)", proc.stdout.readline())
    if not m:
        proc.kill()
        with open(log_path) as log:
            sys.exit("the score server did not start: %s" % log.read())
    return proc, int(m.group(1))


class PgServers:
    """A private PostgreSQL cluster (tests/support/pg_cluster.py) for the
    runs with three score servers on one database; a new database a run."""

    def __init__(self):
        sys.path[:0] = [os.path.join(HERE, "..", "..", "tests", "support"), os.path.join(HERE, "..", "..", "scripts")]
        import pg_cluster
        why = pg_cluster.missing()
        if why:
            sys.exit("pg3: " + why)
        self.cluster = pg_cluster.PgCluster().create({"max_connections": "200"}).start()
        self.runs = 0

    def database(self):
        self.runs += 1
        return self.cluster.make_database("bench%d" % self.runs, "bench%d" % self.runs), "bench%d" % self.runs

    def postmaster(self):
        with open(self.cluster.data / "postmaster.pid") as f:
            return int(f.readline())

    def contents(self, dbname, names):
        with self.cluster.connect(dbname) as c:
            return {bytes(n).decode("utf-8", "replace"): bytes(content) for n, content in c.execute(
                "SELECT name, content FROM scores WHERE name = ANY(%s)", ([n.encode() for n in names],))}

    def close(self):
        self.cluster.close()


async def cost_ops(op, count, host, port, cafile, concurrency=10):
    """`count` uploads (new names) or listings against one server, at most
    `concurrency` at once; how many succeeded."""
    context = client_context(cafile)
    done = 0
    todo = iter(range(count))

    async def worker(k):
        nonlocal done
        player = Player(90000 + k, host, port, "127.0.0.1", context, 1)
        for i in todo:
            try:
                if op == "upload":
                    name = "%d(Biaya %d)(biaya@sekolah.example)(Indonesia)" % (i, i)
                    await asyncio.wait_for(player.upload(name, (SCORE_FILE % name).encode()), TIMEOUT)
                else:
                    await asyncio.wait_for(player.listing(), TIMEOUT)
                done += 1
            except (Failure, OSError, ssl.SSLError, asyncio.TimeoutError):
                pass
    await asyncio.gather(*(worker(k) for k in range(concurrency)))
    return done


def cpu_per_op(pids, op, count, port, cafile):
    """Milliseconds of CPU of each of `pids` per successful `op` against
    the server on `port`."""
    before = [tree_cpu(p) for p in pids]
    done = asyncio.run(cost_ops(op, count, "127.0.0.1", port, cafile))
    time.sleep(0.5)
    return [(tree_cpu(p) - b) * 1000 / max(done, 1) for p, b in zip(pids, before)]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


VSFTPD_CONF = """listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
guest_enable=YES
guest_username={owner}
virtual_use_local_privs=YES
local_root={home}
chroot_local_user=YES
allow_writeable_chroot=YES
pam_service_name={pam}
ssl_enable=YES
rsa_cert_file={cert}
rsa_private_key_file={key}
force_local_logins_ssl=YES
force_local_data_ssl=YES
ssl_tlsv1=NO
ssl_sslv2=NO
ssl_sslv3=NO
ssl_ciphers=HIGH
require_ssl_reuse=NO
pasv_enable=YES
connect_from_port_20=NO
max_clients=512
max_per_ip=64
xferlog_enable=NO
syslog_enable=NO
vsftpd_log_file=/dev/null
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir={empty}
"""


def start_vsftpd(folder, work):
    """vsftpd on a free loopback port, serving `folder`/ftp; (process, port, clean-up)."""
    if os.geteuid() != 0:
        sys.exit("vsftpd: the benchmark starts it as root")
    vsftpd = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
    owner = "ftp" if "ftp" in {p.pw_name for p in pwd.getpwall()} else "nobody"
    entry = pwd.getpwnam(owner)
    home = os.path.join(folder, "ftp")
    for above in (work, folder):  # for the players' account to pass through
        os.chmod(above, 0o755)
    for here, dirs, files in os.walk(home):
        for name in [here] + [os.path.join(here, n) for n in dirs + files]:
            os.chown(name, entry.pw_uid, entry.pw_gid)
    empty = os.path.join(work, "empty")
    os.mkdir(empty, 0o755)
    pam = "/etc/pam.d/" + PAM_SERVICE
    with open(pam, "w") as f:
        f.write("# Written by bench/server/load_bench.py for one run, removed after it.\n"
                "auth required pam_permit.so\naccount required pam_permit.so\nsession required pam_permit.so\n")
    port = free_port()
    conf = os.path.join(work, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write(VSFTPD_CONF.format(port=port, owner=owner, home=home, pam=PAM_SERVICE,
                                   cert=os.path.join(folder, "cert.pem"), key=os.path.join(folder, "cert.key"),
                                   empty=empty))
    proc = subprocess.Popen([vsftpd, conf], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if proc.poll() is not None:
                os.unlink(pam)
                sys.exit("vsftpd did not start: %s" % proc.stderr.read())
            time.sleep(0.1)

    def clean_up():
        try:
            os.unlink(pam)
        except OSError:
            pass
    return proc, port, clean_up


# ---------------------------------------------------------------- the players on libcurl

def find_client():
    """The newest korvala_load_client built in a build*/ folder of the tree, or None."""
    root = os.path.normpath(os.path.join(HERE, "..", ".."))
    found = [path for path in glob.glob(os.path.join(root, "build*", "bench", "server", CLIENT))
             if os.access(path, os.X_OK)]
    return max(found, key=os.path.getmtime) if found else None


def score_file(name):
    return (SCORE_FILE % name).encode("cp1252", "replace")


def run_curl_client(binary, n, rounds, port, cafile, threads):
    """Runs korvala_load_client: (results, wall, its CPU seconds). A client
    that fails, or leaves operations without a line, counts as failures."""
    results = Results()
    ports = port if isinstance(port, (list, tuple)) else [port]
    command = [binary, "--host", "127.0.0.1", "--port", ",".join(map(str, ports)), "--cafile", cafile, "--players", str(n),
               "--rounds", str(rounds), "--players-per-address", str(PLAYERS_PER_ADDRESS),
               "--timeout", "%d" % TIMEOUT, "--threads", str(threads), "--user", USER, "--password", PASSWORD]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.monotonic()
    try:
        proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=rounds * 2 * (TIMEOUT + 10) + 60)
        out, err, status = proc.stdout, proc.stderr, proc.returncode
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode("utf-8", "replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        err, status = "timed out", None
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.monotonic() - began
    client_cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    reported = collections.Counter()
    for line in out.splitlines():
        fields = line.split("\t")
        if fields[0] == "cpu" and len(fields) >= 3:
            client_cpu, wall = float(fields[1]), float(fields[2])
        elif len(fields) == 8 and fields[0].isdigit():
            _, _, op, start, end, state, why, name = fields
            reported[op] += 1
            if state == "ok":
                results.times[op].append(float(end) - float(start))
                if op == "upload":
                    results.acknowledged[name] = score_file(name)
            else:
                results.failures["%s: %s" % (op, why)] += 1
    if status != 0:
        last = (err.strip().splitlines() or ["no message"])[-1]
        ended = ("timed out" if status is None else "killed by signal %d" % -status if status < 0
                 else "exit status %d" % status)
        results.failures["client: %s: %s" % (ended, last[:80])] += 1
    for op in ("upload", "listing"):
        if reported[op] < n * rounds:
            results.failures["%s: no line from the client" % op] += n * rounds - reported[op]
    return results, wall, client_cpu


def percentile(values, q):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def bench(kind, n, rounds, options=(), pg=None, cost=0, client="python", binary=None, threads=0,
          players_cafile=None):
    with tempfile.TemporaryDirectory(prefix="korvala-load-bench.") as work:
        folder = os.path.join(work, "data")
        # The bundled server makes the folder and the certificate; vsftpd
        # serves the same folder with the same certificate, and the three
        # database servers present the same certificate.
        maker, _ = start_bundled(folder)
        maker.terminate()
        maker.wait()
        clean_up = None
        cafile = os.path.join(folder, "cert.pem")
        dbname = None
        if kind == "bundled":
            proc, port = start_bundled(folder, options)
            procs, ports = [proc], [port]
        elif kind == "pg3":
            url, dbname = pg.database()
            procs, ports = [], []
            for k in range(3):
                proc, port = start_bundled(os.path.join(work, "pg%d" % k),
                                           ["--store", url, "--cert", cafile, *options])
                procs.append(proc)
                ports.append(port)
        else:
            proc, port, clean_up = start_vsftpd(folder, work)
            procs, ports = [proc], [port]
        measured = [p.pid for p in procs] + ([pg.postmaster()] if pg and kind == "pg3" else [])
        costs = None
        trusted = players_cafile or cafile
        try:
            sampler = Sampler([p.pid for p in procs])
            sampler.start()
            cpus = [tree_cpu(p.pid) for p in procs]
            if client == "curl":
                results, wall, client_cpu = run_curl_client(binary, n, rounds, ports, trusted, threads)
            else:
                before = resource.getrusage(resource.RUSAGE_SELF)
                results, wall = asyncio.run(run_players(n, rounds, "127.0.0.1", ports, trusted))
                after = resource.getrusage(resource.RUSAGE_SELF)
                client_cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
            time.sleep(1)  # the servers' processes of the last connections are gone and waited for
            cpus = [tree_cpu(p.pid) - c for p, c in zip(procs, cpus)]
            cpu = sum(cpus)
            sampler.halt.set()
            sampler.join()
            try:
                listed = set(asyncio.run(final_listing("127.0.0.1", ports[0], cafile)))
            except (Failure, OSError, asyncio.TimeoutError) as e:
                listed = set()
                results.failures["final listing: %s" % e] += 1
            if cost:
                # Each server alone: its CPU (and the database's) per upload
                # and per listing of the scores the run left.
                costs = [(cpu_per_op([pid, *measured[len(procs):]], "upload", cost, port, cafile),
                          cpu_per_op([pid, *measured[len(procs):]], "listing", cost, port, cafile))
                         for pid, port in zip(measured, ports)]
        finally:
            for proc in procs:
                if kind == "vsftpd":
                    os.killpg(proc.pid, signal.SIGTERM)
                else:
                    proc.terminate()
                proc.wait()
            if clean_up:
                clean_up()
        scores = os.path.join(folder, "ftp", "Korvala")
        lost = [name for name in results.acknowledged if name not in listed]
        corrupt = 0
        stored = pg.contents(dbname, list(results.acknowledged)) if dbname else None
        for name, content in results.acknowledged.items():
            if stored is not None:
                corrupt += stored.get(name) != content
                continue
            try:
                with open(os.path.join(scores, name), "rb") as f:
                    corrupt += f.read() != content
            except OSError:
                corrupt += 1
    up, ls = results.times["upload"], results.times["listing"]
    line = ("%-7s players=%d rounds=%d uploads=%d/%d listings=%d/%d failures=%d lost=%d corrupt=%d "
            "upload_p50=%.2fs upload_p95=%.2fs listing_p50=%.2fs listing_p95=%.2fs cpu=%.1fs rss_peak=%.0fMB "
            "procs_peak=%d wall=%.1fs client=%s client_cpu=%.1fs"
            % (kind, n, rounds, len(up), n * rounds, len(ls), n * rounds, sum(results.failures.values()),
               len(lost), corrupt, percentile(up, 0.5), percentile(up, 0.95), percentile(ls, 0.5),
               percentile(ls, 0.95), cpu, sampler.rss_peak / 2**20, sampler.procs_peak, wall, client,
               client_cpu))
    print(line, flush=True)
    for why, count in results.failures.most_common():
        print("        %5d x %s" % (count, why), flush=True)
    if len(procs) > 1:
        print("        cpu by server: %s" % " ".join("%.1fs" % c for c in cpus), flush=True)
    for k, (up_ms, ls_ms) in enumerate(costs or ()):
        db = " (the database: %.1f ms per upload, %.1f ms per listing)" % (up_ms[1], ls_ms[1]) if len(up_ms) > 1 else ""
        print("        server %d alone: cpu %.1f ms per upload, %.1f ms per listing of %d names%s"
              % (k + 1, up_ms[0], ls_ms[0], len(listed), db), flush=True)
    return {"kind": kind, "n": n, "up": up, "ls": ls, "failures": sum(results.failures.values()),
            "lost": len(lost), "cpu": cpu, "rss": sampler.rss_peak, "procs": sampler.procs_peak, "rounds": rounds,
            "client_cpu": client_cpu}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--players", default="50,200,1000", help="comma-separated player counts")
    parser.add_argument("--server", default="bundled,vsftpd",
                        help="comma-separated: bundled (one server on a score folder), vsftpd, pg3 (three "
                             "servers on one PostgreSQL database of a private cluster, players spread over them)")
    parser.add_argument("--cost", type=int, default=0, metavar="N",
                        help="after each run, N uploads and N listings against each server alone: its CPU "
                             "(and the database's) per upload and per listing")
    parser.add_argument("--p95", type=float, default=2.0, metavar="SECONDS",
                        help="the p95 that the players a set-up holds are counted at (default 2 s)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--bundled-options", default="", metavar="OPTIONS",
                        help="more options for the bundled server, e.g. \"--max-connections 2048\"")
    parser.add_argument("--client", choices=("curl", "python"), default=None,
                        help="the players: curl (korvala_load_client, the default when found) or python")
    parser.add_argument("--client-binary", default=None, metavar="PATH", help="the korvala_load_client to run")
    parser.add_argument("--client-threads", type=int, default=0, metavar="T",
                        help="threads of korvala_load_client (default 0: one per player)")
    parser.add_argument("--players-cafile", default=None, metavar="FILE",
                        help="the certificate file the players trust instead of the server's (a broken run)")
    args = parser.parse_args()
    binary = args.client_binary or find_client()
    client = args.client or ("curl" if binary else "python")
    if client == "curl" and not (binary and os.access(binary, os.X_OK)):
        parser.error("--client curl: no %s found; build it (cmake -DKORVALA_BUILD_BENCHMARKS=ON, target %s) "
                     "or give --client-binary" % (CLIENT, CLIENT))
    counts = [int(n) for n in args.players.split(",")]
    kinds = args.server.split(",")
    for kind in kinds:
        if kind not in ("bundled", "vsftpd", "pg3"):
            parser.error("--server takes bundled, vsftpd and pg3, not %r" % kind)
    # Each player holds up to two connections at once.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 4 * max(counts) + 256
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(wanted, hard), hard))
    print("load: %s; %d core(s), load average %s; client %s" % (
        time.strftime("%Y-%m-%d %H:%M"), os.cpu_count(), " ".join("%.2f" % x for x in os.getloadavg()),
        binary if client == "curl" else "python (this process)"), flush=True)
    rows = []
    pg = PgServers() if "pg3" in kinds else None
    try:
        for n in counts:
            for kind in kinds:
                rows.append(bench(kind, n, args.rounds, args.bundled_options.split(), pg, args.cost, client,
                                  binary, args.client_threads, args.players_cafile))
    finally:
        if pg:
            pg.close()
    print()
    print("%-8s %6s %9s %9s %8s %5s %10s %10s %10s %10s %8s %9s %6s %9s"
          % ("server", "N", "uploads", "listings", "failures", "lost", "up p50", "up p95", "ls p50", "ls p95",
             "cpu s", "rss MB", "procs", "client s"))
    for r in rows:
        print("%-8s %6d %9s %9s %8d %5d %10.2f %10.2f %10.2f %10.2f %8.1f %9.0f %6d %9.1f"
              % (r["kind"], r["n"], "%d/%d" % (len(r["up"]), r["n"] * r["rounds"]),
                 "%d/%d" % (len(r["ls"]), r["n"] * r["rounds"]), r["failures"], r["lost"],
                 percentile(r["up"], 0.5), percentile(r["up"], 0.95), percentile(r["ls"], 0.5),
                 percentile(r["ls"], 0.95), r["cpu"], r["rss"] / 2**20, r["procs"], r["client_cpu"]))
    # The players each set-up holds: the most of those run whose uploads
    # and listings all went through, none lost, with both p95 within --p95.
    print()
    for kind in kinds:
        held = [r["n"] for r in rows if r["kind"] == kind and not r["failures"] and not r["lost"]
                and max(percentile(r["up"], 0.95), percentile(r["ls"], 0.95)) <= args.p95]
        print("%-8s players held at p95 <= %.1f s: %s (of %s)" % (kind, args.p95, max(held) if held else "none",
                                                                 ",".join(map(str, counts))))


if __name__ == "__main__":
    main()
