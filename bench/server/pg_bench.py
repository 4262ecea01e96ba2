#!/usr/bin/python3
"""The scores in PostgreSQL at scale: a private cluster (as the tests make
one), a score folder of --scores files moved in with the store's import in
two steps (--first, then the rest), and after each step the figures a
server's calls cost as the store's caller sees them:

  import      files a second, and a second import of the same folder (adds nothing)
  listing     the board's listing: names, bytes sent, time (against a full listing's bytes)
  page        the first page, later pages (random, and the last), searches
  publish     one new score, committed

Prints one line per figure. Not a test: it asserts nothing.

usage: pg_bench.py [--scores N] [--first N] [--keep FOLDER]
"""

import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "tests" / "support")]

import pg_cluster  # noqa: E402
import score_store_pg as sp  # noqa: E402

FIRST = ["Budi", "Siti", "Agus", "Dewi", "Rina", "Andi", "Putri", "Eko", "Wati", "Joko", "Ayu", "Bayu",
         "Sari", "Dian", "Rudi", "Tono", "Lina", "Yusuf", "Maya", "Hadi", "Émile", "Zoë", "Ярослав", "Σοφία"]
COUNTRIES = ["Indonesia", "Malaysia", "Singapura", "Brunei", "Filipina", "Thailand", "Papua Nugini"]


def score_name(rng, i):
    score = int(rng.paretovariate(1.2) * 900) if rng.random() > 0.02 else 0
    player = "%s %s%d" % (rng.choice(FIRST), rng.choice(FIRST)[:3].lower(), i % 9973)
    name = "%d(%s)(%s%d@sekolah.example)(%s)" % (score, player, player.split()[0].lower(), i, rng.choice(COUNTRIES))
    return name.encode()


def write_folder(folder, start, count, rng):
    base = os.fsencode(folder) + b"/"
    names = []
    for i in range(start, start + count):
        name = score_name(rng, i)
        fd = os.open(base + name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.write(fd, name)
        os.close(fd)
        names.append(name)
    return names


def timed(call, repeat):
    times = []
    result = None
    for _ in range(repeat):
        t = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t)
    return result, times


def ms(times):
    times = sorted(times)
    p95 = times[min(len(times) - 1, int(len(times) * 0.95))]
    return "median %.1f ms, p95 %.1f ms (%d runs)" % (statistics.median(times) * 1e3, p95 * 1e3, len(times))


def figures(store, at, all_names, rng):
    print("-- at %d scores" % at, flush=True)
    listed, times = timed(store.listing, 5)
    sent = sum(len(n) + 2 for n in listed)
    full = sum(len(n) + 2 for n in all_names)
    print("listing: %d names, %.2f MB sent (a full listing: %.2f MB), %s"
          % (len(listed), sent / 1e6, full / 1e6, ms(times)), flush=True)
    page, times = timed(lambda: store.page(1), 20)
    print("page 1: %s" % ms(times), flush=True)
    last = page.pages
    _, times = timed(lambda: store.page(last), 20)
    print("page %d (the last): %s" % (last, ms(times)), flush=True)
    _, times = timed(lambda: store.page(rng.randint(2, last)), 50)
    print("a later page (random of 2..%d): %s" % (last, ms(times)), flush=True)
    for query, what in (("budi bud", "a player's name"), ("budi", "a common name"), ("ярослав", "non-ASCII"),
                        ("zq", "two letters, none"), ("a", "one letter")):
        found, times = timed(lambda: store.page(1, query), 5)
        print("search %r (%s, %d found), first page: %s" % (query, what, found.count, ms(times)), flush=True)
        if found.pages > 2:
            _, times = timed(lambda: store.page(found.pages // 2, query), 5)
            print("search %r, page %d: %s" % (query, found.pages // 2, ms(times)), flush=True)
    names = [b"%d(bench new %d)(n@x)(ID)" % (rng.randint(0, 5000), k) for k in range(200)]
    it = iter(names)
    _, times = timed(lambda: store.publish(next(it), b"x"), len(names))
    print("publish (a new score, committed): %s" % ms(times), flush=True)
    _, times = timed(store.count, 20)
    print("count: %s" % ms(times), flush=True)
    problems = store.check()
    print("rank blocks: %s" % ("right" if not problems else "%d wrong" % len(problems)), flush=True)
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scores", type=int, default=1_000_000)
    parser.add_argument("--first", type=int, default=200_000)
    parser.add_argument("--keep", help="make the cluster and score folders here and leave them")
    args = parser.parse_args()
    why = pg_cluster.missing()
    if why:
        sys.exit("pg_bench: " + why)

    work = Path(args.keep or tempfile.mkdtemp(prefix="korvala-pg-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    rng = random.Random(1)
    if args.keep:
        (work / "cluster").mkdir(exist_ok=True)
    cluster = pg_cluster.PgCluster(work / "cluster" if args.keep else None)
    try:
        cluster.create({"shared_buffers": "512MB", "max_wal_size": "4GB"}).start()
        url = cluster.make_database("korvala", "korvala")
        store = sp.PgScoreStore(url)
        print("cluster: PostgreSQL 15 on port %d, shared_buffers 512MB; %s" % (cluster.port, store.open()))

        published = []
        steps = [(0, args.first), (args.first, args.scores - args.first)]
        all_names = []
        for start, count in steps:
            if count <= 0:
                continue
            folder = work / ("folder-%d" % start)
            folder.mkdir()
            t = time.perf_counter()
            all_names += write_folder(folder, start, count, rng)
            print("-- %d score files written in %.1f s" % (count, time.perf_counter() - t), flush=True)
            t = time.perf_counter()
            report = store.import_folder(folder)
            took = time.perf_counter() - t
            print("import: %d added in %.1f s (%.0f files/s), %d skipped"
                  % (report.added, took, report.added / took, len(report.skipped)), flush=True)
            t = time.perf_counter()
            again = store.import_folder(folder)
            print("import again: %d added, %d present, %.1f s" % (again.added, again.present, time.perf_counter() - t),
                  flush=True)
            if not args.keep:
                shutil.rmtree(folder)
            published += figures(store, store.count(), all_names + published, rng)
        with cluster.connect("korvala") as c:
            size = c.execute("SELECT pg_size_pretty(pg_database_size('korvala'))").fetchone()[0]
        print("database size: %s" % size)
        store.close()
    finally:
        if args.keep:
            cluster.stop()
        else:
            cluster.close()
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
