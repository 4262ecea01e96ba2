#!/usr/bin/python3
"""A holder of the game's password who means harm, all at once, against a
running score server, while a well-behaved client (curl, with the game's
own sequence) keeps uploading and listing: oversized uploads, too many
temporaries, too many connections from one address, an impossible score, a
name the game cannot make, a client that never finishes, idle connections
to the page past the server's open-file limit, protocol slips. Afterwards
Korvala/ holds exactly the well-behaved client's scores, byte for byte; its
listings were answered throughout; the server stayed small and said every
refusal.

usage: hostile_client_test.py <path of scripts/score_server.py> [unittest options]
"""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import score_server_test as base  # noqa: E402
from score_server_test import HANG, PYTHON, ServerCase  # noqa: E402

ATTACK_SECONDS = 20
LISTING_LIMIT = 1.0     # seconds a well-behaved listing may take, curl's start included
MEMORY_LIMIT = 100 << 20
OPEN_FILES = 1024       # the usual limit when nothing raises it

# The hostile client: threads, each trying one thing over and over from an
# address of its own until the time is up; prints what the server answered,
# as {attack: {reply code or "closed": count}}. argv: ftp port, http port,
# certificate, seconds.
ATTACKER = r'''
import collections, ftplib, json, os, resource, secrets, socket, ssl, sys, threading, time
ftp_port, http_port, cert, seconds = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
resource.setrlimit(resource.RLIMIT_NOFILE, (8192, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
end = time.monotonic() + seconds
seen = collections.defaultdict(collections.Counter)
lock = threading.Lock()

def note(attack, what):
    with lock:
        seen[attack][str(what)] += 1

def temporary():
    return "korvala-upload-%s.part" % secrets.token_hex(8)

def login(source):
    ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=cert), timeout=10)
    ftp.connect("127.0.0.1", ftp_port, source_address=(source, 0))
    ftp.login("korvala", "481526")
    ftp.prot_p()
    return ftp

def code(reply):
    return str(reply)[:3]

def store(ftp, name, data, pace=None):
    ftp.voidcmd("TYPE I")
    try:
        conn = ftp.transfercmd("STOR " + name)
    except ftplib.all_errors as e:
        return code(e)
    try:
        if pace:
            for k in range(len(data)):
                if time.monotonic() > end:
                    return "unfinished"
                conn.sendall(data[k:k + 1])
                time.sleep(pace)
        else:
            conn.sendall(data)
        conn.unwrap()
    except OSError:
        pass
    finally:
        conn.close()
    return code(ftp.getmultiline())

def forever(attack, source, once):
    while time.monotonic() < end:
        try:
            once(attack, source)
        except Exception as e:
            note(attack, type(e).__name__)
            time.sleep(0.2)

def oversized(attack, source):
    with login(source) as ftp:
        note(attack, store(ftp, temporary(), b"x" * (5 << 20)))

def temporaries(attack, source):
    with login(source) as ftp:
        for _ in range(5):
            note(attack, store(ftp, temporary(), b"{\\rtf1 x}"))

def renamed(name):
    def once(attack, source):
        with login(source) as ftp:
            tmp = temporary()
            store(ftp, tmp, b"{\\rtf1 x}")
            ftp.sendcmd("RNFR " + tmp)
            ftp.putcmd("RNTO Korvala/" + name)
            note(attack, code(ftp.getmultiline()))
        time.sleep(0.2)
    return once

def harm_scores(attack, source):
    with login(source) as ftp:
        for command in ("DELE Korvala/*", "RNFR Korvala/.", "STOR Korvala/1(x)(y)(z)"):
            ftp.putcmd(command)
            note(attack, code(ftp.getmultiline()))
        note(attack, store(ftp, "Korvala/2(x)(y)(z)", b"x"))
    time.sleep(0.2)

def slips(attack, source):
    with login(source) as ftp:
        for line in (b"RNTO Korvala/a\x00b", b"RNTO Korvala/" + b"x" * 5000, b"NOOP"):
            ftp.sock.sendall(line + b"\r\n")
            note(attack, code(ftp.getmultiline()))
    time.sleep(0.2)

def slow_upload(attack, source):
    with login(source) as ftp:
        note(attack, store(ftp, temporary(), b"x" * 1000, pace=0.5))

def slow_request(attack, source):
    sock = socket.create_connection(("127.0.0.1", http_port), timeout=10, source_address=(source, 0))
    try:
        for byte in b"GET / HTTP/1.0\r\n\r\n":
            sock.sendall(bytes([byte]))
            time.sleep(0.5)
        note(attack, sock.recv(12)[9:12].decode() or "closed")
    except OSError:
        note(attack, "closed")
    finally:
        sock.close()

def idle_flood(attack, port, sources, count):
    """Holds `count` idle connections to `port`, opened again as the server
    closes them."""
    held = []
    while time.monotonic() < end:
        alive = []
        for sock in held:
            sock.setblocking(False)
            try:
                data = sock.recv(256)
                if not data:
                    raise ConnectionResetError
                if b"421" in data or b"503" in data:
                    note(attack, data[:3].decode() if data[:3] != b"HTT" else data[9:12].decode())
                alive.append(sock)
            except BlockingIOError:
                alive.append(sock)
            except OSError:
                note(attack, "closed")
                sock.close()
        held = alive
        while len(held) < count and time.monotonic() < end:
            try:
                held.append(socket.create_connection(("127.0.0.1", port), timeout=5,
                                                     source_address=(sources[len(held) % len(sources)], 0)))
            except OSError as e:
                note(attack, type(e).__name__)
                break
        time.sleep(0.5)
    for sock in held:
        sock.close()

threads = [threading.Thread(target=forever, args=(name, source, once)) for name, source, once in [
    ("oversized", "127.0.0.41", oversized),
    ("temporaries", "127.0.0.42", temporaries),
    ("impossible score", "127.0.0.43", renamed("999999(Curang)(c@x)(ID)")),
    ("malformed name", "127.0.0.44", renamed("1(a)%G(b)(c)")),
    ("harm scores", "127.0.0.45", harm_scores),
    ("slips", "127.0.0.46", slips),
    ("slow upload", "127.0.0.47", slow_upload),
    ("slow request", "127.0.0.48", slow_request),
]]
threads.append(threading.Thread(target=idle_flood, args=(
    "page flood", http_port, ["127.0.0.%d" % k for k in range(10, 30)], 1100)))
threads.append(threading.Thread(target=idle_flood, args=("ftp flood", ftp_port, ["127.0.0.40"], 70)))
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps(seen))
'''


def peak_memory(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


class HostileClient(ServerCase):
    def test_a_hostile_client_harms_neither_the_scores_nor_the_other_players(self):
        def usual_files():
            resource.setrlimit(resource.RLIMIT_NOFILE, (OPEN_FILES, OPEN_FILES))

        log_path = os.path.join(self.tmp, "server.log")
        log = open(log_path, "w")
        self.addCleanup(log.close)
        server = self.start(extra=["--max-score", "100000", "--login-timeout", "2", "--temporary-age", "5"],
                            stderr=log, preexec_fn=usual_files)
        attacker_path = os.path.join(self.tmp, "attacker.py")
        with open(attacker_path, "w") as f:
            f.write(ATTACKER)
        attacker = subprocess.Popen([PYTHON, attacker_path, str(server.ftp_port), str(server.http_port),
                                     server.cert, str(ATTACK_SECONDS)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: attacker.poll() is None and attacker.kill())

        # The well-behaved client, the game's way, until the attack ends.
        sent = {}
        listings = []
        started = time.monotonic()
        while time.monotonic() - started < ATTACK_SECONDS - 1:
            k = len(sent)
            name = "%d(Baik %d)(baik@sekolah.example)(Indonesia)" % (1000 + k, k)
            content = ("{\\rtf1 %s %s}\n" % (name, os.urandom(8).hex())).encode()
            with tempfile.NamedTemporaryFile(dir=self.tmp, delete=False) as f:
                f.write(content)
            server.upload(f.name, "Korvala/" + name)
            sent[name] = content
            t = time.monotonic()
            listed = server.listing()
            listings.append(time.monotonic() - t)
            self.assertIn(name, listed)
        out, err = attacker.communicate(timeout=ATTACK_SECONDS + HANG)
        self.assertEqual(attacker.returncode, 0, err)
        seen = json.loads(out)
        memory = peak_memory(server.proc.pid)
        self.assertEqual(server.stop(), 0)
        print("\nwell-behaved: %d uploads, listings up to %.3f s; server peak %.1f MB; hostile replies: %s"
              % (len(sent), max(listings), memory / 2**20, json.dumps(seen, sort_keys=True)), file=sys.stderr)

        # Korvala/ holds exactly the well-behaved client's scores.
        folder = self.scores_folder()
        self.assertEqual(sorted(os.listdir(folder)), sorted(sent))
        for name, content in sent.items():
            with open(os.path.join(folder, name), "rb") as f:
                self.assertEqual(f.read(), content, name)
        self.assertGreater(len(sent), 10, "the well-behaved client hardly got through")
        self.assertLessEqual(max(listings), LISTING_LIMIT, "listings took %s s" % sorted(listings)[-5:])
        self.assertLess(memory, MEMORY_LIMIT)

        # Each attack met its bound (the reply codes the hostile client saw).
        # (attack, a reply it must have had)
        expected = [("oversized", "552"), ("temporaries", "552"), ("impossible score", "553"),
                    ("malformed name", "553"), ("harm scores", "550"), ("slips", "501"), ("slips", "500"),
                    ("slow request", "closed"), ("page flood", "503"), ("page flood", "closed"),
                    ("ftp flood", "421")]
        for attack, reply in expected:
            with self.subTest(attack=attack, reply=reply):
                self.assertIn(reply, seen.get(attack, {}), seen.get(attack))
        for attack, replies in seen.items():
            with self.subTest(attack=attack):
                self.assertNotIn("226", replies if attack in ("oversized", "harm scores") else {}, replies)
                self.assertNotIn("250", replies if attack != "slips" else {}, replies)

        with open(log_path) as f:
            said = f.read()
        self.assertNotIn("Traceback", said)
        for line in ("FTP upload from 127.0.0.41 cut off and removed: larger than 4194304 bytes (max-upload)",
                     "FTP upload from 127.0.0.42 refused: the connection holds 4 unfinished uploads already",
                     "FTP score from 127.0.0.43 refused: 999999 is above the ceiling 100000 (max-score)",
                     "FTP score from 127.0.0.44 refused: the name holds a % that starts no %HH: 1(a)%G(b)(c)",
                     "FTP command from 127.0.0.46 refused: it holds a NUL byte",
                     "FTP connection from 127.0.0.40 refused: 64 connections from this address already",
                     "FTP connection from 127.0.0.40 closed: no login within 2 s (login-timeout)",
                     "connections already (max-connections)",
                     "open files are limited to 1024 here"):
            with self.subTest(log=line):
                self.assertIn(line, said)
        self.assertNotIn("481526", said)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    base.SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
