#!/usr/bin/python3
"""The scores page at 10,000 and 100,000 scores, against reading the folder.

For each size, a fresh score folder of that many score files (named as the
game names them) and a fresh score server on it; then, side by side, RUNS
times each:
  anchor      a fresh Python process that reads the folder with os.scandir
              and sorts the names once, timed inside that process;
  first page  the first request after the folder changed (the server reads
              and ranks the folder);
  later page  a request with the folder unchanged (the ranking is kept);
  search      a request with ?q= (the first search of a ranking folds the
              names once; later ones reuse them).
Printed: min / median / max in ms, the page's size in bytes, and the ratio
of the first page's median to the anchor's. Targets: first page at most 2x
the anchor, later pages at most 50 ms.

Then, at the largest size, scores keep arriving: a client uploads one score
a second the game's way (TLS, a temporary, RNFR, RNTO) while another asks
for the page (and a search) REQUESTS_PER_SECOND times a second, each on a
new connection, for --seconds (past the server's once-a-minute upkeep, which
reads a folder again when its own renames came too close to a check).
Printed: p50 / p95 / max in ms of the page and of the search, as the client
sees them. Target: p95 at most 5 ms.

  bench/server/page_bench.py [--runs N] [--sizes 10000,100000] [--seconds 75] [--server PATH]

--server runs another copy of score_server.py (an older one, to compare).
"""
import argparse
import ftplib
import http.client
import io
import os
import re
import secrets
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "..", "scripts", "score_server.py")
PYTHON = "/usr/bin/python3"

ANCHOR = r"""
import os, sys, time
t = time.perf_counter()
with os.scandir(os.fsencode(sys.argv[1])) as it:
    names = [e.name for e in it]
names.sort()
print((time.perf_counter() - t) * 1000)
"""


def fill(folder, count):
    os.makedirs(folder)
    for k in range(count):
        # "<score>(<name>)(<e-mail>)(<country>)", as the game sends them.
        name = "%d(Pemain %06d)(p%06d@example.org)(indonesia)" % ((k * 7919) % 100000, k, k)
        open(os.path.join(folder, name), "wb").close()


def get(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    t = time.perf_counter()
    conn.request("GET", path)
    body = conn.getresponse().read()
    ms = (time.perf_counter() - t) * 1000
    conn.close()
    return ms, len(body)


def touch(folder):
    """A change of the folder, as an upload makes: a file in and out again."""
    path = os.path.join(folder, "99999(Sentuh)(s@example.org)(indonesia)")
    open(path, "wb").close()
    os.remove(path)


def spread(values):
    return "%8.1f / %8.1f / %8.1f" % (min(values), statistics.median(values), max(values))


def bench(size, runs, script=SERVER):
    with tempfile.TemporaryDirectory(prefix="korvala-page-bench.") as tmp:
        scores = os.path.join(tmp, "ftp", "Korvala")
        fill(scores, size)
        server = subprocess.Popen([PYTHON, script, "--folder", tmp, "--ftp-port", "0", "--http-port", "0",
                                   "--no-tls"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            m = re.match(r"score server ready ftp=(\d+) http=(\d+)", server.stdout.readline())
            if not m:
                sys.exit("the score server did not start")
            port = int(m.group(2))
            anchor, first, later, search = [], [], [], []
            size_bytes = 0
            for _ in range(runs):
                run = subprocess.run([PYTHON, "-c", ANCHOR, scores], capture_output=True, text=True, check=True)
                anchor.append(float(run.stdout))
                touch(scores)
                time.sleep(2.1)  # past the window in which a change may still be under way
                ms, size_bytes = get(port, "/")
                first.append(ms)
                later.append(get(port, "/?page=2")[0])
                search.append(get(port, "/?q=pemain%2000012")[0])
                later.append(get(port, "/")[0])
            print("%d scores, %d runs; min / median / max ms" % (size, runs))
            print("  anchor (scandir + sort) %s" % spread(anchor))
            print("  first page              %s   %d bytes" % (spread(first), size_bytes))
            print("  later page              %s" % spread(later))
            print("  search                  %s" % spread(search))
            print("  first page / anchor     %.2fx (target <= 2x); later page median %.1f ms (target <= 50 ms)"
                  % (statistics.median(first) / statistics.median(anchor), statistics.median(later)))
        finally:
            server.terminate()
            server.wait()


REQUESTS_PER_SECOND = 20


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def bench_arriving(size, seconds, script=SERVER):
    """The page while one score a second arrives over FTP."""
    with tempfile.TemporaryDirectory(prefix="korvala-page-bench.") as tmp:
        fill(os.path.join(tmp, "ftp", "Korvala"), size)
        server = subprocess.Popen([PYTHON, script, "--folder", tmp, "--ftp-port", "0", "--http-port", "0"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            m = re.match(r"score server ready ftp=(\d+) http=(\d+)", server.stdout.readline())
            if not m:
                sys.exit("the score server did not start")
            ftp_port, http_port = int(m.group(1)), int(m.group(2))
            get(http_port, "/")  # the first reading of the folder, before the clock starts
            stop = threading.Event()
            uploaded = []

            def uploader():
                context = ssl.create_default_context(cafile=os.path.join(tmp, "cert.pem"))
                k = 0
                while not stop.wait(1.0):
                    name = "%d(Baru %06d)(b%06d@example.org)(indonesia)" % ((k * 104729) % 100000, k, k)
                    tmp_name = "korvala-upload-%s.part" % secrets.token_hex(8)
                    with ftplib.FTP_TLS(context=context, timeout=30) as ftp:
                        ftp.connect("127.0.0.1", ftp_port)
                        ftp.login("korvala", "481526")
                        ftp.prot_p()
                        ftp.storbinary("STOR " + tmp_name, io.BytesIO(b"{\\rtf1 %s}" % name.encode()))
                        ftp.sendcmd("RNFR " + tmp_name)
                        ftp.sendcmd("RNTO Korvala/" + name)
                    uploaded.append(name)
                    k += 1

            thread = threading.Thread(target=uploader)
            thread.start()
            page, search = [], []
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                page.append(get(http_port, "/")[0])
                search.append(get(http_port, "/?q=pemain%20000012")[0])
                time.sleep(2.0 / REQUESTS_PER_SECOND)
            stop.set()
            thread.join()
            print("%d scores, one upload a second (%d in %d s), %d pages and %d searches; p50 / p95 / max ms"
                  % (size, len(uploaded), seconds, len(page), len(search)))
            for what, values in (("page", page), ("search", search)):
                print("  %-6s %8.1f / %8.1f / %8.1f" % (what, percentile(values, 0.5), percentile(values, 0.95),
                                                     max(values)))
            print("  page p95 %.1f ms (target <= 5 ms)" % percentile(page, 0.95))
        finally:
            server.terminate()
            server.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--seconds", type=int, default=75)
    parser.add_argument("--server", default=SERVER)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    for size in sizes:
        bench(size, args.runs, args.server)
    if args.seconds > 0:
        bench_arriving(max(sizes), args.seconds, args.server)


if __name__ == "__main__":
    main()
