"""A private PostgreSQL cluster for the score store's tests and benchmarks.

PgCluster makes a cluster with initdb (trust authentication, UTF-8,
locale C.UTF-8) in a temporary folder, runs it on a free loopback port with
pg_ctl, and stops, kills, restarts and removes it. replica() adds a
streaming replica made with pg_basebackup -R, on a port of its own, whose
replay can be paused to make it lag.

PostgreSQL refuses to run as root: as root, every PostgreSQL program runs as
the package's account "postgres" (or, where there is none, a system account
"korvala-pg" made for it) and the folder is that account's; the caller stays
root. As any other user, the programs run as that user.

Nothing here touches the package's own cluster: no system service, no file
outside the temporary folder.
"""

import importlib.util
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

PG_BIN = Path("/usr/lib/postgresql/15/bin")
PROGRAMS = ("initdb", "pg_ctl", "pg_basebackup", "postgres")


def missing():
    """Why no cluster can be made here (None when one can): the programs
    of postgresql-15, and psycopg for the client."""
    absent = [p for p in PROGRAMS if not (PG_BIN / p).is_file()]
    if absent:
        return "PostgreSQL 15 is not installed (%s missing from %s; apt-get install postgresql-15)" % (
            ", ".join(absent), PG_BIN)
    if importlib.util.find_spec("psycopg") is None:
        return "psycopg is not installed (apt-get install python3-psycopg)"
    return None


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _cluster_account():
    """(uid, gid) the PostgreSQL programs run as; None: as this process."""
    if os.geteuid() != 0:
        return None
    for name in ("postgres", "korvala-pg"):
        try:
            entry = pwd.getpwnam(name)
            return entry.pw_uid, entry.pw_gid
        except KeyError:
            continue
    subprocess.run(["useradd", "--system", "--user-group", "--no-create-home",
                    "--shell", "/usr/sbin/nologin", "korvala-pg"], check=True)
    entry = pwd.getpwnam("korvala-pg")
    return entry.pw_uid, entry.pw_gid


class ClusterError(Exception):
    pass


class PgCluster:
    """One cluster in a folder of its own. The superuser is "postgres"; it
    connects without a password from loopback (trust)."""

    def __init__(self, folder=None, name="primary", account=None):
        self.account = account if account is not None else _cluster_account()
        self.owns_folder = folder is None
        self.folder = Path(folder or tempfile.mkdtemp(prefix="korvala-pg-"))
        self.name = name
        self.data = self.folder / name
        self.log = self.folder / (name + ".log")
        self.port = None
        self.running = False
        if self.account:
            os.chown(self.folder, *self.account)
        os.chmod(self.folder, 0o755)

    # -- programs -------------------------------------------------------

    def _run(self, program, *args, check=True, timeout=120):
        kwargs = {}
        if self.account:
            kwargs = dict(user=self.account[0], group=self.account[1], extra_groups=[])
        env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8", PGTZ="UTC")
        env.pop("PGDATA", None)
        done = subprocess.run([str(PG_BIN / program), *map(str, args)], cwd=self.folder, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout, **kwargs)
        if check and done.returncode != 0:
            raise ClusterError("%s %s failed (%d): %s%s" % (
                program, " ".join(map(str, args)), done.returncode, done.stdout, done.stderr))
        return done

    def log_tail(self, lines=30):
        try:
            return "\n".join(self.log.read_text(errors="replace").splitlines()[-lines:])
        except OSError:
            return ""

    # -- life -----------------------------------------------------------

    def create(self, settings=None):
        """initdb, with `settings` ({name: value}) added to postgresql.conf."""
        self._run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                  "--locale=C.UTF-8", "--no-sync")
        self._configure(settings)
        return self

    def _configure(self, settings):
        if not settings:
            return
        conf = self.data / "postgresql.auto.conf"
        with open(conf, "a", encoding="utf-8") as f:
            for key, value in settings.items():
                f.write("%s = '%s'\n" % (key, str(value).replace("'", "''")))

    def start(self, port=None):
        """Starts the cluster and waits until it takes connections; a port
        taken by someone else between picking and binding is picked again."""
        for attempt in range(5):
            self.port = port or self.port or free_port()
            options = "-p %d -h 127.0.0.1 -k %s" % (self.port, self.folder)
            done = self._run("pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60",
                             "-o", options, "start", check=False)
            if done.returncode == 0:
                self.running = True
                return self
            if port is None and "could not bind" in self.log_tail():
                self.port = None
                continue
            break
        raise ClusterError("pg_ctl start failed: %s%s\n%s" % (done.stdout, done.stderr, self.log_tail()))

    def stop(self, mode="fast"):
        """pg_ctl stop: "fast" ends the sessions and shuts down cleanly,
        "immediate" ends every process at once, as a crash would."""
        if self.running:
            self._run("pg_ctl", "-D", self.data, "-w", "-t", "60", "-m", mode, "stop", check=False)
            self.running = False

    def kill(self):
        self.stop("immediate")

    def restart(self):
        self.stop()
        return self.start(self.port)

    def close(self):
        """Stops the cluster and removes its folder."""
        try:
            self.stop()
        except Exception:
            self.stop("immediate")
        if self.owns_folder:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- clients --------------------------------------------------------

    def url(self, dbname="postgres", user="postgres"):
        return "postgresql://%s@127.0.0.1:%d/%s" % (user, self.port, dbname)

    def connect(self, dbname="postgres", **kwargs):
        import psycopg
        return psycopg.connect(self.url(dbname), autocommit=True, **kwargs)

    def make_database(self, name, owner):
        """A database `name` owned by a new login role `owner` (no
        superuser); its URL."""
        from psycopg import sql
        with self.connect() as c:
            c.execute(sql.SQL("CREATE ROLE {} LOGIN").format(sql.Identifier(owner)))
            c.execute(sql.SQL("CREATE DATABASE {} OWNER {}").format(sql.Identifier(name), sql.Identifier(owner)))
        return self.url(name, owner)

    # -- replicas -------------------------------------------------------

    def replica(self, name="replica"):
        """A streaming replica of this running cluster, in the same folder,
        started on a port of its own."""
        replica = PgCluster(self.folder, name=name, account=self.account)
        self._run("pg_basebackup", "-h", "127.0.0.1", "-p", self.port, "-U", "postgres",
                  "-D", replica.data, "-R", "-X", "stream", "--checkpoint=fast", "--no-sync", timeout=300)
        return replica.start()

    def pause_replay(self):
        """On a replica: WAL still arrives but is not applied, so readers
        see the data as it was."""
        with self.connect() as c:
            c.execute("SELECT pg_wal_replay_pause()")

    def resume_replay(self):
        with self.connect() as c:
            c.execute("SELECT pg_wal_replay_resume()")

    def wait_replayed(self, primary, timeout=30):
        """On a replica: waits until everything `primary` has written so far
        is applied here."""
        with primary.connect() as p:
            target = p.execute("SELECT pg_current_wal_lsn()").fetchone()[0]
        deadline = time.monotonic() + timeout
        with self.connect() as c:
            while True:
                done = c.execute("SELECT pg_last_wal_replay_lsn() >= %s::pg_lsn", (target,)).fetchone()[0]
                if done:
                    return
                if time.monotonic() > deadline:
                    raise ClusterError("the replica has not replayed %s within %s s" % (target, timeout))
                time.sleep(0.02)


_shared = None


def shared_cluster():
    """One cluster for a test run, made and started at the first need, with
    the role korvala the score stores log in as; the tests of the database
    are skipped (unittest.SkipTest) when it cannot be made here."""
    global _shared
    why = missing()
    if why:
        import unittest
        raise unittest.SkipTest(why)
    if _shared is None:
        _shared = PgCluster().create()
        _shared.start()
        with _shared.connect() as c:
            c.execute("CREATE ROLE korvala LOGIN")
    return _shared


def close_shared_cluster():
    """Stops and removes the run's cluster, when one was made."""
    global _shared
    if _shared is not None:
        _shared.close()
        _shared = None
