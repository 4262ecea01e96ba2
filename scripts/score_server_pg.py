"""The score server's side of the scores in PostgreSQL (score_store_pg):
the store the FTP account and the page use when score_server.py runs with
--store URL, and --import-folder.

Every database call runs on a small pool of threads, never on the server's
one loop; its result comes back to the loop through a socket pair the loop
watches (LoopWaker), and only there is a client answered (pyftpdlib's loop
is not thread-safe). While a connection's rename or listing is with the
database, the connection takes no further command: what it sends meanwhile
waits, unread or held, so that its replies stay in order.

  rename   the upload's bytes are stored in one committed transaction before
           the reply: "250 Renaming ok." and the temporary removed, or a 4xx
           (never a 2xx) and the temporary left for the game to remove on
           its next connection, or for the age bound.
  listing  the board's share of the scores in the board's order
           (listing_text()); listings asked for while one is being read wait
           for the next reading, so each holds every score acknowledged
           before it was asked for, and a crowd of players costs one reading
           at a time.
  page     the same page as with the folder, read from the page's database;
           503 while it cannot be read.
"""

import collections
import logging
import os
import queue
import socket
import sys
import threading

import score_store_pg

log = logging.getLogger("score-server")

WORKERS = 8
# Lines a connection may send while one of its commands is with the
# database; the game sends at most one (QUIT).
MAX_HELD_LINES = 32


class LoopWaker:
    """Runs callables on the server's loop on behalf of other threads:
    call_soon() queues one and writes a byte to a socket pair whose other
    end the loop watches."""

    def __init__(self, ioloop):
        self.ioloop = ioloop
        self.pending = collections.deque()
        self._reader, self._writer = socket.socketpair()
        self._reader.setblocking(False)
        self._writer.setblocking(False)
        self._fileno = self._reader.fileno()
        self._closed = False
        ioloop.register(self._fileno, self, ioloop.READ)

    def call_soon(self, fn, *args):
        self.pending.append((fn, args))
        try:
            self._writer.send(b"\0")
        except (BlockingIOError, OSError):
            pass  # the loop has a byte to read already (or is gone)

    # The loop's side of a dispatcher.
    def readable(self):
        return True

    def writable(self):
        return False

    def handle_read_event(self):
        try:
            while self._reader.recv(4096):
                pass
        except (BlockingIOError, InterruptedError):
            pass
        while self.pending:
            fn, args = self.pending.popleft()
            try:
                fn(*args)
            except Exception as e:  # one delivery never ends the loop
                log.warning("a database result could not be delivered: %s", score_store_pg._reason(e))

    def handle_write_event(self):
        pass

    def handle_error(self):
        log.warning("the database results' waker failed: %s", sys.exc_info()[1])

    def handle_close(self):
        self.close()

    def close(self):
        if not self._closed:
            self._closed = True
            try:
                self.ioloop.unregister(self._fileno)
            except Exception:
                pass
            self._reader.close()
            self._writer.close()


class Workers:
    """A few daemon threads that run database calls: run(call, done) runs
    call() on one of them and done(result, error) on the loop."""

    def __init__(self, count=WORKERS):
        self.count = count
        self.jobs = queue.Queue()
        self.waker = None
        self.threads = []

    def start(self, ioloop):
        if self.waker is None:
            self.waker = LoopWaker(ioloop)
            for k in range(self.count):
                t = threading.Thread(target=self._work, name="score-database-%d" % k, daemon=True)
                t.start()
                self.threads.append(t)

    def run(self, call, done):
        self.jobs.put((call, done))

    def _work(self):
        while True:
            call, done = self.jobs.get()
            try:
                result, error = call(), None
            except Exception as e:  # handed to the loop, which answers the client
                result, error = None, e
            self.waker.call_soon(done, result, error)


class HeldCommands:
    """Mixed in before the score account's commands: while hold() is in
    force (a rename or listing with the database), the connection's next
    command lines wait, its socket unwatched for reading; release() replays
    them in order."""

    _held = None  # [(line pieces, length, discarding)] while held; None otherwise

    def hold(self):
        self._held = []
        self._watch_reading(False)

    def _watch_reading(self, on):
        if self._closed:
            return
        events = self.ioloop.WRITE if self.producer_fifo else 0
        if on:
            events |= self.ioloop.READ
        # Both of pyftpdlib's records of the events watched are kept true,
        # so that its next change is made whatever it was.
        self.ioloop.modify(self._fileno, events)
        self._wanted_io_events = self._current_io_events = events

    def found_terminator(self):
        if self._held is None:
            return super().found_terminator()
        self._held.append((self._in_buffer, self._in_buffer_len, self._discarding))
        self._in_buffer, self._in_buffer_len, self._discarding = [], 0, False
        if len(self._held) > MAX_HELD_LINES:
            self.refusals.say("held-lines", self.remote_ip, "FTP connection from %s closed: more than %d command "
                              "lines sent while one was with the score database" % (self.remote_ip, MAX_HELD_LINES))
            self.close()

    def release(self):
        held, self._held = self._held or [], None
        for k, line in enumerate(held):
            if self._closed:
                return
            if self._held is not None:  # a replayed command holds the connection again
                self._held[:0] = held[k:]
                return
            partial = (self._in_buffer, self._in_buffer_len, self._discarding)
            self._in_buffer, self._in_buffer_len, self._discarding = line
            super().found_terminator()
            self._in_buffer, self._in_buffer_len, self._discarding = partial
        if self._held is None:
            self._watch_reading(True)


class DatabaseScores:
    """The store behind the FTP account and the page when the scores are in
    PostgreSQL: the same hooks FolderScores answers, off the loop
    (off_loop), with the score server's own readings of a name."""

    off_loop = True
    command_mixins = (HeldCommands,)

    def __init__(self, store, server, refusals, workers=None):
        self.store = store
        self.server = server
        self.refusals = refusals
        self.workers = workers or Workers()
        self.where = "the database %s" % score_store_pg.safe_url(store.url)
        if store.replica is not None:
            self.where += " (pages from %s)" % score_store_pg.safe_url(store.replica.url)
        self._listing_waiters = []  # connections waiting for the next reading of the listing
        self._listing_read = False   # a reading is under way

    def _run(self, handler, call, done):
        self.workers.start(handler.ioloop)
        self.workers.run(call, done)

    # -- what FolderScores offers the loop -------------------------------

    def names(self):
        # LIST, MLSD and STAT of Korvala/ (which the game never sends) would
        # need every row on the loop: they show no score.
        return []

    def notice_changes(self):
        pass

    def watch(self, watch):
        # Several workers of one server: each reads the database itself,
        # so none needs to hear of the others' scores.
        pass

    # -- the rename ---------------------------------------------------------

    def publish_upload(self, handler, source, name):
        """Stores the finished upload at `source` as the score `name` (text
        from the command line), then answers the rename."""
        handler.hold()
        raw = name.encode("utf-8", "surrogateescape")

        def store():
            with open(source, "rb") as f:
                content = f.read()
            return self.store.publish(raw, content)

        def done(_, error):
            if error is None:
                handler.forget_temporary(source, remove=True)
                reply = "250 Renaming ok."
            elif isinstance(error, score_store_pg.BadScoreName):
                reply = "553 File name not allowed: %s." % error
            elif isinstance(error, score_store_pg.StoreError):
                self.refusals.say("score-database", None, "FTP score from %s not stored: %s: %s"
                                  % (self.server.remote(handler), error, self.server.one_line(name)))
                reply = "451 The score cannot be stored now; try again later."
            else:  # the temporary cannot be read
                reply = "550 %s." % self.server.failure(error)
            self._answer(handler, reply)

        self._run(handler, store, done)

    def _answer(self, handler, reply):
        if handler._closed:
            return
        handler.respond(reply)
        handler.release()

    # -- the listing --------------------------------------------------------

    def send_listing(self, handler):
        handler.hold()
        self._listing_waiters.append(handler)
        if not self._listing_read:
            self._read_listing(handler)

    def _read_listing(self, handler):
        waiting, self._listing_waiters = self._listing_waiters, []
        self._listing_read = True

        def done(listing, error):
            self._listing_read = False
            if error is not None:
                self.refusals.say("listing-database", None, "FTP listing not sent: %s" % error)
            for h in waiting:
                if h._closed:
                    continue
                if error is None:
                    h.push_dtp_data(self.server.Chunks(listing), isproducer=True, cmd="NLST")
                    h.release()
                else:
                    self._answer(h, "451 The scores cannot be listed now; try again later.")
            if self._listing_waiters:
                self._read_listing(self._listing_waiters[0])

        self._run(handler, lambda: listing_as_sent(self.store.listing_text()), done)

    # -- the page -----------------------------------------------------------

    def answer_page(self, conn, target, request, with_body=True):
        path, _, query_string = target.split("#", 1)[0].partition("?")
        if path not in ("/", "/index.html"):
            conn.answer(404, "Not Found", "text/plain; charset=utf-8", b"Not found\n", request, with_body)
            return
        number, query = self.server.page_request(query_string)
        conn.answered = True  # one request a connection: what follows is not read
        server = self.server

        def read():
            page = self.store.page(number, query, server.PAGE_ROWS)
            rows = [(rank, name.decode("utf-8", "surrogateescape")) for rank, name in page.rows]
            rows = server.PageRows(page.number, page.pages, page.count, page.total, rows)
            return server.render_rows(rows, query).encode("utf-8")

        def done(body, error):
            if conn._closed:
                return
            if error is None:
                conn.answer(200, "OK", "text/html; charset=utf-8", body, request, with_body)
            else:
                self.refusals.say("page-database", None, "page not shown: %s" % error)
                conn.answer(503, "Service Unavailable", "text/plain; charset=utf-8", b"Scores unavailable\n",
                            request, with_body)

        self.workers.start(conn.ioloop)
        self.workers.run(read, done)


def listing_as_sent(text):
    """The listing's bytes as the folder's listing sends them: a name that
    is not UTF-8 gets "?" for each byte that cannot be written."""
    try:
        text.decode("utf-8")
        return text
    except UnicodeDecodeError:
        return text.decode("utf-8", "surrogateescape").encode("utf-8", "replace")


def import_folder(args, store):
    """--import-folder: copies the folder's score files into the database
    and says what was done; the exit status."""
    folder = args.import_folder
    try:
        report = store.import_folder(folder)
    except OSError as e:
        print("score server: cannot read %s: %s" % (folder, os.strerror(e.errno) if e.errno else e),
              file=sys.stderr)
        return 1
    except score_store_pg.StoreError as e:
        print("score server: the import from %s stopped: %s (what was added before stays; run it again)"
              % (folder, e), file=sys.stderr)
        return 1
    print("imported %s into %s: %d scores added, %d already there, %d skipped"
          % (folder, score_store_pg.safe_url(store.url), report.added, report.present, len(report.skipped)),
          flush=True)
    for name, why in report.skipped:
        print("  skipped %s: %s" % (ascii(name)[2:-1], why), flush=True)
    return 0


def open_store(args, server, refusals):
    """The opened score database for the server (`server`: the score
    server's module), its schema made or checked and said in the log; with
    --import-folder, runs the import and exits. Exits 1 when the database
    cannot be reached, 2 when it cannot hold the scores."""
    try:
        store = score_store_pg.PgScoreStore(args.store, read_url=args.page_store, pool_size=WORKERS)
        said = store.open()
    except score_store_pg.StoreUnavailable as e:
        print("score server: %s" % e, file=sys.stderr)
        sys.exit(1)
    except score_store_pg.StoreError as e:
        print("score server: the score database %s cannot hold the scores: %s"
              % (score_store_pg.safe_url(args.store), e), file=sys.stderr)
        sys.exit(2)
    log.info("scores in PostgreSQL, %s: %s", score_store_pg.safe_url(args.store), said)
    if args.page_store:
        log.info("the page reads %s", score_store_pg.safe_url(args.page_store))
    if args.import_folder is not None:
        try:
            status = import_folder(args, store)
        finally:
            store.close()
        sys.exit(status)
    # No connection is kept from here: worker processes forked later must
    # not share one; each process connects when it first needs to.
    store.main.close()
    if store.replica is not None:
        store.replica.close()
    return DatabaseScores(store, server, refusals)
