"""The scores in PostgreSQL: one table that any number of score servers share.

A score is a name (the score file's name, byte for byte, as the folder store
keeps it) and the uploaded file's content. Beside them each row holds what
the board and the page order and search by, made here when the row is
written, so that every listing, page and search is an index scan:

  board_key  the board's order: the game's case folding (score_case_fold,
             generated from the same runs as the game's table), each
             character as its folded code point in three bytes big-endian, a
             byte that begins no well-formed UTF-8 character as 0x110000 plus
             its value. Byte order of the keys is the game's comparison of
             the names, prefixes first; names the game holds equal (letter
             case only) are listed by their bytes.
  rank_key   the page's order: the leading number, highest first, names
             without one after every numbered name, equal ranks by name (the
             name as text, bytes that are not UTF-8 standing as U+DC80 to
             U+DCFF). Unique; the name is read back from it.
  player     the player's name as the page shows it, case-folded: what a
             search of the page looks in. Its pieces of one, two and three
             characters are indexed (score_grams): a search for up to three
             characters is one lookup there, a longer one reads only the
             rows that hold all its pieces of three.

Ranks come from rank blocks: score_blocks splits the page's order into runs
of about BLOCK_ROWS rows (each from its `lo` key to the next block's) and
counts the rows of each, kept right by triggers in the same transaction as
the rows. A rank is the rows of the blocks before plus a count inside one
block, never a walk over the rows before it.

Every call takes a connection of its own from a small pool and gives it back;
a call made while the database cannot be reached, or whose connection breaks,
raises StoreUnavailable and the next call connects anew, so a server rides
out a database restart without being restarted itself.
"""

import bisect
import collections
import logging
import os
import re
import threading
import time
import urllib.parse

try:
    import psycopg
    import psycopg.errors
except ImportError:  # said by PgScoreStore; the keys below need no database
    psycopg = None

import score_case_fold
from score_names import score_fields

SCHEMA_VERSION = 1
# The name of a score is a file name in the folder store: at most this many
# bytes, as common file systems allow.
MAX_NAME_BYTES = 255
# The board shows list entries 0 to 32,759 (pages 0 to 3275 of ten): a
# listing needs no more names than make that many entries.
BOARD_ENTRIES = 32760
PAGE_ROWS = 100
# Rank blocks: rebuilt at BLOCK_ROWS rows each, a block split in two when it
# reaches SPLIT_ROWS.
BLOCK_ROWS = 1024
SPLIT_ROWS = 2048
# An import that adds this many rows vacuums the table afterwards.
VACUUM_AFTER_ROWS = 10000
# Advisory locks of the score store: the schema's making, and the rank
# blocks (shared by every writer of rows, taken alone to split a block).
SCHEMA_LOCK = 0x4B6F7276616C6101
BLOCKS_LOCK = 0x4B6F7276616C6102

log = logging.getLogger("score-server")


class StoreError(Exception):
    """The score database did not do what was asked; nothing was changed."""


class StoreUnavailable(StoreError):
    """The score database cannot be reached now, or the connection broke
    during the call: try again later (a new connection is made then)."""


class BadScoreName(StoreError, ValueError):
    """A name that cannot be a score: empty, "." or "..", longer than
    MAX_NAME_BYTES, or holding "/", NUL, CR or LF (no folder holds the
    first, and a listing could not carry the others as one name)."""


class SchemaProblem(StoreError):
    """The database cannot hold the scores as this server keeps them (a
    newer schema, an encoding other than UTF-8, a missing privilege)."""


# -- the board's order ------------------------------------------------------

_RUN_FIRSTS = [run[0] for run in score_case_fold.CASE_FOLD_RUNS]
# What a stray byte compares as: past the last code point, in byte order.
_STRAY_BYTE_BASE = 0x110000


def _fold_table():
    table = {}
    for first, last, stride, delta in score_case_fold.CASE_FOLD_RUNS:
        for cp in range(first, last + 1, stride):
            table[cp] = cp + delta
    return table


_FOLD = _fold_table()


def simple_case_fold(cp):
    """The folded form of code point `cp` (the game's simpleCaseFold)."""
    i = bisect.bisect_right(_RUN_FIRSTS, cp)
    if i == 0:
        return cp
    first, last, stride, delta = score_case_fold.CASE_FOLD_RUNS[i - 1]
    if cp > last or (cp - first) % stride:
        return cp
    return cp + delta


def _folded_values(name):
    """The values the game compares `name` by, character by character: a
    well-formed UTF-8 character as its folded code point, any other byte as
    _STRAY_BYTE_BASE plus its value (a lead byte takes only the continuation
    bytes it announces, and only when they make a character)."""
    i, n = 0, len(name)
    while i < n:
        lead = name[i]
        if lead < 0x80:
            yield lead + 32 if 0x41 <= lead <= 0x5A else lead
            i += 1
            continue
        announced = 1 if 0xC2 <= lead <= 0xDF else 2 if 0xE0 <= lead <= 0xEF else 3 if 0xF0 <= lead <= 0xF4 else 0
        end = i + 1
        while end - i - 1 < announced and end < n and name[end] & 0xC0 == 0x80:
            end += 1
        expected = 4 if lead >= 0xF0 else 3 if lead >= 0xE0 else 2
        if end - i == expected:
            cp = lead & (0x1F if expected == 2 else 0x0F if expected == 3 else 0x07)
            for k in range(i + 1, end):
                cp = (cp << 6) | (name[k] & 0x3F)
            if expected == 2:
                well_formed = True
            elif expected == 3:
                well_formed = cp >= 0x800 and not 0xD800 <= cp <= 0xDFFF
            else:
                well_formed = 0x10000 <= cp <= 0x10FFFF
            if well_formed:
                i = end
                yield simple_case_fold(cp)
                continue
        i += 1
        yield _STRAY_BYTE_BASE + lead


def board_key(name):
    """The key whose byte order is the board's order of score names: equal
    keys for names the game holds equal, a shorter key first when it is a
    prefix of the other, as the game's comparison does."""
    try:
        text = name.decode("utf-8")  # strict: exactly the game's well-formed characters
    except UnicodeDecodeError:
        return b"".join(v.to_bytes(3, "big") for v in _folded_values(name))
    wide = bytearray(text.translate(_FOLD).encode("utf-32-be"))
    del wide[::4]  # the high byte of every value is zero
    return bytes(wide)


# -- the page's order and search --------------------------------------------

_LEADING_DIGITS = re.compile(rb"[0-9]*")
_UNNUMBERED = b"\x01"
_NUMBERED = b"\x00"


def rank_key(name):
    """The key whose byte order is the page's order: by the leading number,
    highest first (any length); names without one after every numbered
    name; equal ranks by the name as text, bytes that are not UTF-8 standing
    as the surrogates U+DC80 to U+DCFF (in code point order, which UTF-8 with
    surrogates kept keeps in byte order)."""
    digits = _LEADING_DIGITS.match(name).group(0)
    text = name.decode("utf-8", "surrogateescape").encode("utf-8", "surrogatepass")
    if not digits:
        return _UNNUMBERED + text
    value = digits.lstrip(b"0")
    # More digits first, then digit by digit, each complemented (9 - d).
    complemented = value.translate(_COMPLEMENT)
    return _NUMBERED + (0xFFFF - len(value)).to_bytes(2, "big") + complemented + text


_COMPLEMENT = bytes.maketrans(b"0123456789", b"9876543210")


def name_of_rank_key(key):
    """The name a rank_key was made from."""
    if key[:1] == _NUMBERED:
        length = 0xFFFF - int.from_bytes(key[1:3], "big")
        text = key[3 + length:]
    else:
        text = key[1:]
    return text.decode("utf-8", "surrogatepass").encode("utf-8", "surrogateescape")


def shown_text(name):
    """A name as text for the page: bytes that are not UTF-8 become U+FFFD."""
    return name.decode("utf-8", "replace")


def player_folded(name):
    """The player name the page shows for `name`, case-folded: a search
    matches a row when the folded query is part of it."""
    return score_fields(shown_text(name))[1].casefold()


def search_condition(query):
    """The SQL condition and its parameters that find the rows whose player
    name holds `query`, case-folded (as the page's search does)."""
    folded = query.casefold()
    if len(folded) <= 3:
        return "score_grams(player) @> %s::text[]", ([folded],)
    pattern = "%" + folded.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
    pieces = sorted({folded[i:i + 3] for i in range(len(folded) - 2)})
    return "score_grams(player) @> %s::text[] AND player LIKE %s", (pieces, pattern)


def check_name(name):
    if not isinstance(name, (bytes, bytearray)):
        raise BadScoreName("a score name is bytes, not %s" % type(name).__name__)
    if not name or name in (b".", b".."):
        raise BadScoreName("a score name cannot be %r" % bytes(name))
    if len(name) > MAX_NAME_BYTES:
        raise BadScoreName("a score name has at most %d bytes, not %d" % (MAX_NAME_BYTES, len(name)))
    for byte, what in ((b"/", "a slash"), (b"\0", "a NUL byte"), (b"\r", "a CR"), (b"\n", "an LF")):
        if byte in name:
            raise BadScoreName("a score name cannot hold %s" % what)


def listing_entry_count(names):
    """How many board entries a listing of `names` makes: a name of blanks
    only makes none (the board puts its blanks before the next line)."""
    return sum(1 for n in names if n.strip(b" "))


def safe_url(url):
    """`url` without its password, for messages."""
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:
        return "(an unreadable database URL)"
    if parts.password is None:
        return url
    netloc = parts.netloc.rsplit("@", 1)
    return urllib.parse.urlunsplit(parts._replace(netloc=parts.username + ":***@" + netloc[-1]))


# -- the schema -------------------------------------------------------------

SCHEMA = """
CREATE TABLE score_store (
    key text PRIMARY KEY,
    value text NOT NULL
);

CREATE TABLE scores (
    name bytea PRIMARY KEY,           -- the score file's name, byte for byte
    shown text NOT NULL,              -- the name as text (bytes that are not UTF-8 as U+FFFD)
    content bytea NOT NULL,           -- the score file as uploaded
    board_key bytea NOT NULL,         -- the board's order (the game's case folding)
    rank_key bytea NOT NULL,          -- the page's order
    player text NOT NULL,             -- the player name, case-folded, for the page's search
    published timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX scores_board ON scores (board_key, name);
CREATE UNIQUE INDEX scores_rank ON scores (rank_key);
-- The distinct pieces of one, two and three characters of a text.
CREATE FUNCTION score_grams(t text) RETURNS text[]
LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE AS $$
    SELECT coalesce(array_agg(DISTINCT substr(t, i, k)), '{}')
    FROM generate_series(1, 3) AS k, generate_series(1, char_length(t) - k + 1) AS i
$$;
-- New rows wait in a short list of pending entries, which every search
-- also reads: kept short.
CREATE INDEX scores_player ON scores USING gin (score_grams(player))
    WITH (fastupdate = on, gin_pending_list_limit = 256);

-- The page's order cut into blocks: a block holds the rows from its lo to
-- the next block's lo (the first block's lo is empty), and n counts them.
CREATE TABLE score_blocks (
    lo bytea PRIMARY KEY,
    n bigint NOT NULL
);
INSERT INTO score_blocks VALUES ('', 0);

-- Adds `sign` to the count of the block of each key. Every writer of rows
-- holds the blocks' lock shared; a split holds it alone.
CREATE FUNCTION score_blocks_change(keys bytea[], sign bigint) RETURNS void
LANGUAGE plpgsql AS $$
DECLARE
    los bytea[];
    ds bigint[];
BEGIN
    IF cardinality(keys) = 0 THEN
        RETURN;
    END IF;
    PERFORM pg_advisory_xact_lock_shared(%(blocks_lock)s);
    SELECT array_agg(c.lo ORDER BY c.lo), array_agg(c.d ORDER BY c.lo) INTO los, ds
    FROM (SELECT b.lo, count(*) * sign AS d
          FROM unnest(keys) AS k(key)
          CROSS JOIN LATERAL (SELECT lo FROM score_blocks WHERE lo <= k.key ORDER BY lo DESC LIMIT 1) b
          GROUP BY b.lo) c;
    PERFORM 1 FROM score_blocks WHERE lo = ANY(los) ORDER BY lo FOR UPDATE;
    UPDATE score_blocks s SET n = s.n + c.d FROM unnest(los, ds) AS c(lo, d) WHERE s.lo = c.lo;
END $$;

CREATE FUNCTION scores_added() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM score_blocks_change(array(SELECT rank_key FROM added), 1);
    RETURN NULL;
END $$;

CREATE FUNCTION scores_removed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM score_blocks_change(array(SELECT rank_key FROM removed), -1);
    RETURN NULL;
END $$;

CREATE FUNCTION scores_changed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM score_blocks_change(array(SELECT rank_key FROM removed EXCEPT ALL SELECT rank_key FROM added), -1);
    PERFORM score_blocks_change(array(SELECT rank_key FROM added EXCEPT ALL SELECT rank_key FROM removed), 1);
    RETURN NULL;
END $$;

CREATE FUNCTION scores_emptied() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_advisory_xact_lock(%(blocks_lock)s);
    DELETE FROM score_blocks;
    INSERT INTO score_blocks VALUES ('', 0);
    RETURN NULL;
END $$;

CREATE TRIGGER scores_added AFTER INSERT ON scores
    REFERENCING NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION scores_added();
CREATE TRIGGER scores_removed AFTER DELETE ON scores
    REFERENCING OLD TABLE AS removed FOR EACH STATEMENT EXECUTE FUNCTION scores_removed();
CREATE TRIGGER scores_changed AFTER UPDATE ON scores
    REFERENCING OLD TABLE AS removed NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION scores_changed();
CREATE TRIGGER scores_emptied AFTER TRUNCATE ON scores
    FOR EACH STATEMENT EXECUTE FUNCTION scores_emptied();
""" % {"blocks_lock": BLOCKS_LOCK}


# What a page of the scores holds: the page number shown (1-based, within
# 1..pages), the number of pages, the rows counted (those matching the
# search, or all), all rows, and the page's rows as (rank in the whole
# table, name).
Page = collections.namedtuple("Page", "number pages count total rows")
ImportReport = collections.namedtuple("ImportReport", "added present skipped")


def _version_tuple(text):
    try:
        return tuple(int(p) for p in text.split("."))
    except (AttributeError, ValueError):
        return ()


class _Pool:
    """Connections to one database, each used by one caller at a time. A
    connection that broke is dropped; the next caller connects anew."""

    CONNECT = dict(connect_timeout=5, keepalives=1, keepalives_idle=10, keepalives_interval=5,
                   keepalives_count=3, tcp_user_timeout=10000, application_name="korvala-score-server")

    def __init__(self, url, what, size=8, read_only=False):
        self.url = url
        self.what = what
        self.size = size
        self.read_only = read_only
        self.idle = []
        self.lock = threading.Lock()
        self.down = False   # the last attempt could not reach the database

    def _connect(self):
        conn = psycopg.connect(self.url, autocommit=True, **self.CONNECT)
        conn.execute("SET statement_timeout = '15s'")
        if self.read_only:
            conn.isolation_level = psycopg.IsolationLevel.REPEATABLE_READ
            conn.read_only = True
        return conn

    def _reachable(self):
        with self.lock:
            was_down, self.down = self.down, False
        if was_down:
            log.info("the %s is reachable again", self.what)

    def _unreachable(self, error):
        with self.lock:
            was_down, self.down = self.down, True
        if not was_down:
            log.warning("the %s (%s) cannot be reached: %s", self.what, safe_url(self.url), _reason(error))

    def run(self, work, retries=3):
        """work(connection) with a connection of the pool. A connection that
        was idle in the pool may have been cut while it waited (a restarted
        database): its failure is tried once more on a new connection. A
        transaction that lost a deadlock or a recovery conflict is tried
        again up to `retries` times."""
        stale_retry = True
        attempt = 0
        while True:
            attempt += 1
            with self.lock:
                conn = self.idle.pop() if self.idle else None
            reused = conn is not None
            try:
                if conn is None:
                    conn = self._connect()
                result = work(conn)
            except psycopg.errors.TransactionRollback as e:
                self._give_back(conn)
                if attempt <= retries:
                    time.sleep(0.01 * attempt)
                    continue
                raise StoreUnavailable("the %s kept refusing the transaction: %s" % (self.what, _reason(e))) from e
            except psycopg.OperationalError as e:
                if conn is not None and not (conn.closed or conn.broken):
                    # The connection lives (a statement that ran out of time,
                    # say): this call failed, the database is there.
                    self._give_back(conn)
                    raise StoreError("the %s failed: %s" % (self.what, _reason(e))) from e
                self._drop(conn)
                if reused and stale_retry:
                    stale_retry = False
                    continue
                self._unreachable(e)
                raise StoreUnavailable("the %s cannot be reached: %s" % (self.what, _reason(e))) from e
            except psycopg.Error as e:
                self._give_back(conn)
                raise StoreError("the %s failed: %s" % (self.what, _reason(e))) from e
            except BaseException:
                self._drop(conn)
                raise
            self._give_back(conn)
            self._reachable()
            return result

    def _give_back(self, conn):
        if conn is None:
            return
        if conn.closed or conn.broken or conn.info.transaction_status != psycopg.pq.TransactionStatus.IDLE:
            self._drop(conn)
            return
        with self.lock:
            if len(self.idle) < self.size:
                self.idle.append(conn)
                return
        conn.close()

    @staticmethod
    def _drop(conn):
        if conn is not None:
            try:
                conn.close()
            except Exception:
                pass

    def close(self):
        with self.lock:
            idle, self.idle = self.idle, []
        for conn in idle:
            self._drop(conn)


def _reason(error):
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


class PgScoreStore:
    """The scores of one PostgreSQL database. `url` names the database every
    score is written to and the board's listings are read from (a listing
    shows every score acknowledged before it); `read_url`, when given, a
    replica of it that the page reads (it may lag; when it cannot be
    reached, the page is read from `url`).

    open() must be called first; every other method may be called from any
    thread."""

    def __init__(self, url, read_url=None, pool_size=8):
        if psycopg is None:
            raise SchemaProblem("psycopg is missing (Debian package python3-psycopg; run with /usr/bin/python3)")
        self.url = url
        self.main = _Pool(url, "score database", pool_size)
        self.replica = _Pool(read_url, "score database's replica", pool_size, read_only=True) if read_url else None

    def close(self):
        self.main.close()
        if self.replica:
            self.replica.close()

    # -- the schema -------------------------------------------------------

    def open(self):
        """Makes the schema at the first start, checks it at every other;
        returns what was found, for the server's log ("made the score
        schema, version 1" or "found the score schema, version 1"). Raises
        SchemaProblem when this server cannot use the database, and
        StoreUnavailable when it cannot be reached."""

        def prepare(conn):
            encoding = conn.execute("SHOW server_encoding").fetchone()[0]
            if isinstance(encoding, bytes):  # what psycopg gives in a database without an encoding
                encoding = encoding.decode("ascii", "replace")
            if encoding.upper() not in ("UTF8", "UTF-8"):
                raise SchemaProblem("the database's encoding is %s; the scores need UTF8 "
                                    "(createdb -E UTF8 -T template0)" % encoding)
            with conn.transaction():
                conn.execute("SELECT pg_advisory_xact_lock(%s)", (SCHEMA_LOCK,))
                if conn.execute("SELECT to_regclass('score_store')").fetchone()[0] is None:
                    conn.execute(SCHEMA)
                    conn.execute("INSERT INTO score_store VALUES ('schema', %s), ('board-fold', %s), "
                                 "('search-fold', %s)",
                                 (str(SCHEMA_VERSION), score_case_fold.UNICODE_VERSION, _search_fold_version()))
                    return "made the score schema, version %d" % SCHEMA_VERSION, False
                found = dict(conn.execute("SELECT key, value FROM score_store").fetchall())
            version = int(found.get("schema", "0"))
            if version > SCHEMA_VERSION:
                raise SchemaProblem("the database holds score schema version %d, newer than this server's %d: "
                                    "update the score server" % (version, SCHEMA_VERSION))
            if version < 1:
                raise SchemaProblem("the database's score schema has no version")
            stale = (_version_tuple(found.get("board-fold")) < _version_tuple(score_case_fold.UNICODE_VERSION)
                     or _version_tuple(found.get("search-fold")) < _version_tuple(_search_fold_version()))
            return "found the score schema, version %d" % version, stale

        try:
            said, stale = self.main.run(prepare)
        except StoreError as e:
            if isinstance(e.__cause__, psycopg.errors.InsufficientPrivilege):
                raise SchemaProblem("the database refuses to make the score schema: %s "
                                    "(the score server's role must own the database)" % _reason(e.__cause__)) from e
            raise
        if stale:
            self._refold()
            said += "; the names' folded keys were made anew for Unicode %s" % score_case_fold.UNICODE_VERSION
        return said

    def _refold(self):
        """Makes board_key and player anew for every row, after a newer
        case folding table or Python: in batches, each its own transaction."""
        after = b""
        while True:
            def batch(conn):
                with conn.transaction():
                    names = [r[0] for r in conn.execute(
                        "SELECT name FROM scores WHERE name > %s ORDER BY name LIMIT 5000", (after,))]
                    if names:
                        conn.execute(
                            "UPDATE scores s SET board_key = u.b, player = u.p "
                            "FROM unnest(%s::bytea[], %s::bytea[], %s::text[]) AS u(n, b, p) WHERE s.name = u.n",
                            (names, [board_key(n) for n in names], [player_folded(n) for n in names]))
                return names
            names = self.main.run(batch)
            if not names:
                break
            after = names[-1]

        def settle(conn):
            with conn.transaction():
                conn.execute("UPDATE score_store SET value = %s WHERE key = 'board-fold' AND value <> %s",
                             (score_case_fold.UNICODE_VERSION,) * 2)
                conn.execute("UPDATE score_store SET value = %s WHERE key = 'search-fold' AND value <> %s",
                             (_search_fold_version(),) * 2)
        self.main.run(settle)

    # -- writing ----------------------------------------------------------

    def publish(self, name, content):
        """Stores the score `name` (bytes) with `content` (bytes) in one
        committed transaction: when this returns, every server's next listing
        and page holds it. A score of the same name is replaced, as a rename
        replaces a file. Returns True for a new name, False for a replaced
        one. Raises BadScoreName for a name that cannot be a score, and
        StoreUnavailable or StoreError when the score may not be stored
        (never acknowledge it then)."""
        check_name(name)
        name = bytes(name)
        rkey = rank_key(name)
        row = (name, shown_text(name), bytes(content), board_key(name), rkey, player_folded(name))

        def write(conn):
            with conn.transaction():
                added = conn.execute(
                    "INSERT INTO scores (name, shown, content, board_key, rank_key, player) "
                    "VALUES (%s, %s, %s, %s, %s, %s) "
                    "ON CONFLICT (name) DO UPDATE SET content = EXCLUDED.content, published = now() "
                    "RETURNING xmax = 0", row).fetchone()[0]
                block = conn.execute("SELECT lo, n FROM score_blocks WHERE lo <= %s ORDER BY lo DESC LIMIT 1",
                                     (rkey,)).fetchone()
            return added, block

        added, block = self.main.run(write)
        if block and block[1] >= SPLIT_ROWS:
            try:
                self.main.run(lambda conn: self._split(conn, block[0]))
            except StoreError as e:  # the score is stored; the next write into the block splits it
                log.warning("a rank block was not split: %s", e)
        return added

    def _split(self, conn, lo):
        """Splits the block at `lo` in two halves, counted anew, if it has
        grown to SPLIT_ROWS rows."""
        with conn.transaction():
            conn.execute("SELECT pg_advisory_xact_lock(%s)", (BLOCKS_LOCK,))
            row = conn.execute("SELECT (SELECT lo FROM score_blocks WHERE lo > b.lo ORDER BY lo LIMIT 1) FROM score_blocks b "
                               "WHERE lo = %s", (lo,)).fetchone()
            if row is None:
                return
            hi = row[0] if row[0] is not None else b"\x02"  # every rank_key starts with 0 or 1
            n = conn.execute("SELECT count(*) FROM scores WHERE rank_key >= %s AND rank_key < %s",
                             (lo, hi)).fetchone()[0]
            if n < SPLIT_ROWS:
                conn.execute("UPDATE score_blocks SET n = %s WHERE lo = %s", (n, lo))
                return
            mid = conn.execute("SELECT rank_key FROM scores WHERE rank_key >= %s ORDER BY rank_key "
                               "OFFSET %s LIMIT 1", (lo, n // 2)).fetchone()[0]
            conn.execute("UPDATE score_blocks SET n = %s WHERE lo = %s", (n // 2, lo))
            conn.execute("INSERT INTO score_blocks VALUES (%s, %s)", (mid, n - n // 2))

    def rebuild_blocks(self):
        """Cuts the page's order into blocks of BLOCK_ROWS rows anew, in one
        pass over the rank index (after a large import; writers wait)."""
        def rebuild(conn):
            with conn.transaction():
                conn.execute("SELECT pg_advisory_xact_lock(%s)", (BLOCKS_LOCK,))
                keys = [r[0] for r in conn.execute(
                    "SELECT rank_key FROM (SELECT rank_key, row_number() OVER (ORDER BY rank_key) - 1 AS i "
                    "FROM scores) s WHERE i %% %s = 0", (BLOCK_ROWS,))]
                total = conn.execute("SELECT count(*) FROM scores").fetchone()[0]
                counts = [min(BLOCK_ROWS, total - k * BLOCK_ROWS) for k in range(len(keys))] or [0]
                los = [b""] + keys[1:]
                conn.execute("DELETE FROM score_blocks")
                conn.execute("INSERT INTO score_blocks SELECT * FROM unnest(%s::bytea[], %s::bigint[])",
                             (los, counts))
        self.main.run(rebuild)

    def import_folder(self, folder, batch=2000):
        """Copies the score files of `folder` (the folder that holds them)
        into the database: every regular file (or link to one), under its
        name byte for byte, each batch of `batch` files one transaction. A
        name already in the database is left as it is there (run twice,
        nothing is added twice; a score uploaded since is never put back to
        the folder's). Returns ImportReport(added, present, skipped), skipped
        a list of (name, reason) for what could not be copied. Raises
        OSError when the folder cannot be read, StoreUnavailable or
        StoreError when the database fails (the batches before are kept)."""
        report = {"added": 0, "present": 0, "since_rebuild": 0}
        skipped = []
        base = self.count()

        def flush(pending):
            names = [n for n, _ in pending]
            known = set(self.main.run(lambda conn: [r[0] for r in conn.execute(
                "SELECT name FROM scores WHERE name = ANY(%s)", (names,))]))
            rows = []
            for name, path in pending:
                if name in known:
                    continue
                try:
                    with open(path, "rb") as f:
                        rows.append((name, f.read()))
                except OSError as e:
                    skipped.append((name, str(e)))
            added = self._import_batch(rows) if rows else 0
            report["added"] += added
            report["present"] += len(known) + len(rows) - added
            report["since_rebuild"] += added
            # Blocks cut anew whenever the rows have grown by half: page
            # ranks stay cheap during a long import, and the import's whole
            # work stays in proportion to its rows.
            if report["since_rebuild"] >= max(SPLIT_ROWS * 8, (base + report["added"]) // 2):
                self.rebuild_blocks()
                report["since_rebuild"] = 0

        pending = []
        with os.scandir(os.fsencode(folder)) as entries:
            for entry in entries:
                name = entry.name
                try:
                    if not entry.is_file():
                        skipped.append((name, "not a file"))
                        continue
                    check_name(name)
                except (OSError, BadScoreName) as e:
                    skipped.append((name, str(e)))
                    continue
                pending.append((name, entry.path))
                if len(pending) >= batch:
                    flush(pending)
                    pending = []
        if pending:
            flush(pending)
        if report["since_rebuild"] >= SPLIT_ROWS:
            self.rebuild_blocks()
        elif report["since_rebuild"]:
            self._split_full_blocks()
        if report["added"]:
            # The planner's figures for the new rows at once, and after many
            # rows the visibility map too, so that the board's listing reads
            # its index alone: both would come later from autovacuum.
            self.main.run(lambda conn: conn.execute(
                "VACUUM (ANALYZE) scores" if report["added"] >= VACUUM_AFTER_ROWS else "ANALYZE scores"))
        return ImportReport(report["added"], report["present"], skipped)

    def _import_batch(self, rows):
        names = [n for n, _ in rows]
        columns = (names, [shown_text(n) for n in names], [c for _, c in rows], [board_key(n) for n in names],
                   [rank_key(n) for n in names], [player_folded(n) for n in names])

        def write(conn):
            with conn.transaction():
                cur = conn.execute(
                    "INSERT INTO scores (name, shown, content, board_key, rank_key, player) "
                    "SELECT * FROM unnest(%s::bytea[], %s::text[], %s::bytea[], %s::bytea[], %s::bytea[], "
                    "%s::text[]) ON CONFLICT (name) DO NOTHING", columns)
                return cur.rowcount
        return self.main.run(write)

    def _split_full_blocks(self):
        while True:
            full = self.main.run(lambda conn: [r[0] for r in conn.execute(
                "SELECT lo FROM score_blocks WHERE n >= %s", (SPLIT_ROWS,))])
            if not full:
                return
            for lo in full:
                self.main.run(lambda conn: self._split(conn, lo))

    # -- reading ----------------------------------------------------------

    def count(self):
        """The number of scores (from the rank blocks: no row is read)."""
        return self.main.run(lambda conn: conn.execute(
            "SELECT coalesce(sum(n), 0)::bigint FROM score_blocks").fetchone()[0])

    def listing_text(self):
        """The body of a name-only listing of the score folder for the
        board: each name followed by CR LF, in the board's order, as many
        names as make the entries the board can show (BOARD_ENTRIES; a name
        of blanks only makes none, its blanks going to the next name's
        entry, so such names are sent in their place and not counted). The
        board sorts its entries itself, and whatever a full listing holds
        after these names could never reach its pages. Read from the main
        database in one snapshot, so it holds every score acknowledged
        before it. Raises StoreUnavailable or StoreError."""

        def read(conn):
            parts = []
            entries = 0
            after = None
            with conn.transaction():
                conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                # The board index in its order, never a sort of the table.
                conn.execute("SET LOCAL enable_sort = off")
                cur = conn.cursor(binary=True)
                while entries < BOARD_ENTRIES:
                    need = BOARD_ENTRIES - entries
                    # One value for the lot: the names come in the order of
                    # the limited scan below them (a LIMIT keeps the scan a
                    # subquery of its own, read in order).
                    where = "" if after is None else "WHERE (board_key, name) > (%s, %s)"
                    text = cur.execute(
                        "SELECT coalesce(string_agg(name || '\\x0d0a'::bytea, ''::bytea), ''::bytea) "
                        "FROM (SELECT name FROM scores %s ORDER BY board_key, name LIMIT %%s) s" % where,
                        (*(after or ()), need)).fetchone()[0]
                    parts.append(text)
                    names = text.split(b"\r\n")[:-1]
                    entries += listing_entry_count(names)
                    if len(names) < need:
                        break
                    last = names[-1]
                    after = (cur.execute("SELECT board_key FROM scores WHERE name = %s", (last,)).fetchone()[0], last)
            return b"".join(parts)

        return self.main.run(read)

    def listing(self):
        """listing_text() as a list of names."""
        return self.listing_text().split(b"\r\n")[:-1]

    def page(self, number=1, query="", rows=PAGE_ROWS):
        """One page of the scores as the page shows it: `rows` rows of the
        ranking (best first) or, with `query`, of the rows whose player name
        holds it (case-folded), each with its rank in the whole ranking. A
        number past the last page gives the last, one before the first the
        first. Read from the replica when there is one, in one snapshot.
        Raises StoreUnavailable or StoreError."""
        found = search_condition(query) if query else None

        def read(conn):
            with conn.transaction():
                if not conn.read_only:
                    conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                total = conn.execute("SELECT coalesce(sum(n), 0)::bigint FROM score_blocks").fetchone()[0]
                count = total if found is None else conn.execute(
                    "SELECT count(*) FROM scores WHERE " + found[0], found[1]).fetchone()[0]
                pages = max(1, (count + rows - 1) // rows)
                shown = min(max(number, 1), pages)
                first = (shown - 1) * rows
                if found is None:
                    keys = [r[0] for r in conn.execute(
                        "WITH c AS (SELECT lo, sum(n) OVER (ORDER BY lo) - n AS before FROM score_blocks), "
                        "b AS (SELECT lo, before FROM c WHERE before <= %(first)s ORDER BY lo DESC LIMIT 1) "
                        "SELECT s.rank_key FROM b CROSS JOIN LATERAL ("
                        "  SELECT rank_key FROM scores WHERE rank_key >= b.lo ORDER BY rank_key "
                        "  OFFSET %(first)s - b.before LIMIT %(rows)s) s",
                        {"first": first, "rows": rows})]
                    ranked = [(first + k + 1, key) for k, key in enumerate(keys)]
                else:
                    keys = [r[0] for r in conn.execute(
                        "SELECT rank_key FROM scores WHERE " + found[0] + " ORDER BY rank_key OFFSET %s LIMIT %s",
                        (*found[1], first, rows))]
                    # Each row's rank: the rows of the blocks before its
                    # block (one pass over the blocks) and those before it in
                    # its block.
                    ranked = conn.execute(
                        "WITH k AS (SELECT key, i, (SELECT lo FROM score_blocks WHERE lo <= key "
                        "                          ORDER BY lo DESC LIMIT 1) AS lo "
                        "           FROM unnest(%s::bytea[]) WITH ORDINALITY AS u(key, i)), "
                        "c AS (SELECT lo, sum(n) OVER (ORDER BY lo) - n AS before FROM score_blocks) "
                        "SELECT (c.before + (SELECT count(*) FROM scores s "
                        "                    WHERE s.rank_key >= k.lo AND s.rank_key < k.key))::bigint + 1, k.key "
                        "FROM k JOIN c USING (lo) ORDER BY k.i", (keys,)).fetchall() if keys else []
            return Page(shown, pages, count, total, [(rank, name_of_rank_key(key)) for rank, key in ranked])

        if self.replica is not None:
            try:
                return self.replica.run(read)
            except StoreUnavailable:
                pass  # said once by the replica's pool; the page is read from the main database
        return self.main.run(read)

    def check(self):
        """What is wrong with the rank blocks ([] when nothing): each block's
        count against its rows. Reads every row; for tests and an operator."""

        def read(conn):
            with conn.transaction():
                conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                rows = conn.execute(
                    "SELECT lo, n, (SELECT count(*) FROM scores WHERE rank_key >= b.lo AND rank_key < "
                    "coalesce((SELECT lo FROM score_blocks WHERE lo > b.lo ORDER BY lo LIMIT 1), '\\x02'::bytea)) "
                    "FROM score_blocks b ORDER BY lo").fetchall()
            problems = ["block %s counts %d rows but holds %d" % (lo.hex() or "(first)", n, real)
                        for lo, n, real in rows if n != real]
            if not rows or rows[0][0] != b"":
                problems.append("no first block")
            return problems

        return self.main.run(read)


def _search_fold_version():
    import unicodedata
    return unicodedata.unidata_version
