"""Private, throw-away database engines for the load tests.

Each engine loads a script with its own command-line client, the way users run morvel's output,
and reads rows back through its Python driver. The servers run from a temporary directory, listen
on a Unix socket there and nowhere else, and are started as an unprivileged system user when the
tests run as root (neither server agrees to run as root).
"""

import contextlib
import os
import pathlib
import pwd
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time

import psycopg2
import pymysql

PG_BIN = pathlib.Path("/usr/lib/postgresql/15/bin")
START_TIMEOUT = 60.0
STOP_TIMEOUT = 30.0
DATABASE = "morvel"

# Filled by the fixtures and tests, printed by conftest at the end of the session.
VERSIONS = {}
LOAD_TIMINGS = []


class ServerError(Exception):
    """A server could not be set up or started; the message carries the end of its log."""


class LoadError(Exception):
    """The engine's client refused a script; the message is the client's error output."""


def _log_tail(path, lines=40):
    try:
        return "\n".join(pathlib.Path(path).read_text(errors="replace").splitlines()[-lines:])
    except OSError as error:
        return f"(no log: {error})"


def _run(command, log, what, **kwargs):
    """Runs a set-up command in a process group of its own, so that an interrupted or stuck
    set-up leaves none of its helpers running (mariadb-install-db starts a server of its own)."""
    with open(log, "ab") as out:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                   start_new_session=True, **kwargs)
    try:
        status = process.wait(START_TIMEOUT)
    except BaseException as error:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        if isinstance(error, subprocess.TimeoutExpired):
            raise ServerError(f"{what} took longer than {START_TIMEOUT:.0f} s:\n{_log_tail(log)}")
        raise
    if status != 0:
        raise ServerError(f"{what} exited with status {status}:\n{_log_tail(log)}")


class _Server:
    """One server process in a private directory; subclasses know how to set up and connect."""

    name = ""
    system_user = ""
    # Sent by the kernel if the test process dies without tearing down, so no server outlives it.
    death_signal = "TERM"

    def __init__(self):
        self.dir = None
        self.process = None
        self.connection = None
        self.version = ""

    @property
    def log(self):
        return self.dir / "server.log"

    def _prefix(self):
        """Runs a command as the server's system user when we are root, else as ourselves."""
        prefix = ["setpriv", f"--pdeathsig={self.death_signal}"]
        if os.geteuid() != 0:
            return prefix + ["--"]
        try:
            pwd.getpwnam(self.system_user)
        except KeyError:
            raise ServerError(f"{self.name}: system user '{self.system_user}' does not exist "
                              "(scripts/setup engines installs the server package that creates it)")
        return prefix + [f"--reuid={self.system_user}", f"--regid={self.system_user}",
                         "--init-groups", "--"]

    def start(self):
        # A short path under /tmp: Unix socket paths are limited to about 100 bytes.
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix=f"morvel-{self.name}-", dir="/tmp"))
        if os.geteuid() == 0:
            shutil.chown(self.dir, self.system_user, self.system_user)
        self._initialise()
        self._launch()
        self._prepare()

    def _launch(self):
        with open(self.log, "ab") as out:
            self.process = subprocess.Popen(
                self._prefix() + self._server_command(), stdin=subprocess.DEVNULL, stdout=out,
                stderr=out, start_new_session=True, cwd=self.dir)
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.process.poll() is not None:
                raise ServerError(f"{self.name} exited with status {self.process.returncode} "
                                  f"while starting:\n{_log_tail(self.log)}")
            try:
                self.connection = self._connect()
                break
            except (psycopg2.OperationalError, pymysql.err.OperationalError):
                if time.monotonic() > deadline:
                    raise ServerError(f"{self.name} did not accept connections within "
                                      f"{START_TIMEOUT:.0f} s:\n{_log_tail(self.log)}")
                time.sleep(0.05)

    def kill(self):
        """Ends the server and all its processes at once, as a crash would."""
        with contextlib.suppress(Exception):
            self.connection.close()
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()

    def restart(self):
        """Starts the server again on its data, after kill()."""
        self._launch()
        self._reopen()

    def stop(self):
        """Stops the server and removes its directory; safe after a failed or partial start."""
        if self.connection is not None:
            with contextlib.suppress(Exception):
                self.connection.close()
            self.connection = None
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(self.stop_signal)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def load(self, script, *, single_transaction=False):
        """Runs `script` (text) through the engine's client; raises LoadError when it fails."""
        command, stdin = self.client(single_transaction)
        data = script.encode() if isinstance(script, str) else script
        done = subprocess.run(command, input=stdin(data), capture_output=True, cwd=self.dir)
        if done.returncode != 0:
            raise LoadError(done.stderr.decode(errors="replace").strip())
        return done

    def query(self, sql, parameters=None):
        with self.connection.cursor() as cursor:
            cursor.execute(sql, parameters)
            return list(cursor.fetchall()) if cursor.description else []

    def select_all(self, table):
        """The column names and all rows of `table`, in no particular order."""
        with self.connection.cursor() as cursor:
            cursor.execute(f"SELECT * FROM {self.quote(table)}")
            return [column[0] for column in cursor.description], list(cursor.fetchall())


class PostgresServer(_Server):
    name = "postgres"
    system_user = "postgres"
    # Immediate shutdown: the data is thrown away anyway.
    death_signal = "QUIT"
    stop_signal = signal.SIGINT

    def _initialise(self):
        # -N skips the fsyncs of initdb only; the running server keeps its durable defaults, so
        # the load timings are those of a stock server.
        _run(self._prefix() + [str(PG_BIN / "initdb"), "-D", str(self.dir / "data"),
                               "-U", "postgres", "-A", "trust", "-E", "UTF8", "--locale=C", "-N"],
             self.log, "initdb", cwd=self.dir)

    def _server_command(self):
        # No TCP at all; TimeZone is pinned so that timestamps without an offset read back the
        # same on every machine.
        return [str(PG_BIN / "postgres"), "-D", str(self.dir / "data"),
                "-c", "listen_addresses=", "-c", f"unix_socket_directories={self.dir}",
                "-c", "TimeZone=UTC"]

    def _connect(self, database="postgres"):
        connection = psycopg2.connect(host=str(self.dir), user="postgres", dbname=database)
        connection.autocommit = True
        return connection

    def _prepare(self):
        self.query(f"CREATE DATABASE {DATABASE}")
        self.connection.close()
        self.connection = self._connect(DATABASE)
        self.version = self.query("SHOW server_version")[0][0]

    def _reopen(self):
        self.connection.close()
        self.connection = self._connect(DATABASE)

    def reset(self):
        self.query("DROP SCHEMA public CASCADE; CREATE SCHEMA public")

    @property
    def url(self):
        """The database as morvel's --to names it."""
        return f"postgresql:///{DATABASE}?host={self.dir}&user=postgres"

    def client(self, single_transaction):
        command = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", str(self.dir),
                   "-U", "postgres", "-d", DATABASE]
        if single_transaction:
            command.append("--single-transaction")
        return command + ["-f", "-"], lambda data: data

    def tables(self):
        return {name for (name,) in self.query(
            "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'")}

    def column_types(self, table):
        return self.query(
            "SELECT column_name, data_type FROM information_schema.columns"
            " WHERE table_schema = 'public' AND table_name = %s ORDER BY ordinal_position",
            (table,))

    def primary_key(self, table):
        return [name for (name,) in self.query(
            "SELECT a.attname FROM pg_index i JOIN pg_attribute a"
            " ON a.attrelid = i.indrelid AND a.attnum = ANY (i.indkey)"
            " WHERE i.indrelid = %s::regclass AND i.indisprimary"
            " ORDER BY array_position(i.indkey::int[], a.attnum::int)", (self.quote(table),))]

    @staticmethod
    def quote(name):
        return '"' + name.replace('"', '""') + '"'


class MariadbServer(_Server):
    name = "mysql"
    system_user = "mysql"
    stop_signal = signal.SIGTERM

    def _initialise(self):
        # --no-defaults everywhere: the machine's my.cnf must not change what is tested.
        _run(self._prefix() + ["mariadb-install-db", "--no-defaults",
                               f"--datadir={self.dir / 'data'}", "--skip-test-db",
                               "--auth-root-authentication-method=normal"],
             self.log, "mariadb-install-db", cwd=self.dir)

    def _server_command(self):
        # The server's built-in SQL mode is the strict default; utf8mb4 is what Debian's packaged
        # configuration sets and what text beyond the Basic Multilingual Plane needs.
        return ["mariadbd", "--no-defaults", f"--datadir={self.dir / 'data'}",
                f"--socket={self.dir / 'socket'}", "--skip-networking",
                f"--pid-file={self.dir / 'mariadbd.pid'}", f"--tmpdir={self.dir}",
                "--character-set-server=utf8mb4", "--collation-server=utf8mb4_general_ci"]

    def _connect(self):
        return pymysql.connect(unix_socket=str(self.dir / "socket"), user="root",
                               charset="utf8mb4", autocommit=True)

    def _prepare(self):
        self.reset()
        self.version = self.query("SELECT VERSION()")[0][0]

    def _reopen(self):
        self.connection = self._connect()
        self.connection.select_db(DATABASE)

    def reset(self):
        self.query(f"DROP DATABASE IF EXISTS {DATABASE}")
        self.query(f"CREATE DATABASE {DATABASE}")
        self.connection.select_db(DATABASE)

    @property
    def url(self):
        return f"mysql://root@/{DATABASE}?socket={self.dir / 'socket'}"

    def client(self, single_transaction):
        # --binary-mode: without it the client refuses NUL characters and turns CR LF inside
        # string literals into LF.
        command = ["mariadb", "--no-defaults", "--binary-mode", "--default-character-set=utf8mb4",
                   f"--socket={self.dir / 'socket'}", "-u", "root", DATABASE]
        if not single_transaction:
            return command, lambda data: data
        # Closing the connection without COMMIT rolls the open transaction back.
        return command + ["--init-command=SET autocommit=0"], lambda data: data + b"\nCOMMIT;\n"

    def tables(self):
        return {name for (name,) in self.query(
            "SELECT table_name FROM information_schema.tables WHERE table_schema = %s",
            (DATABASE,))}

    def column_types(self, table):
        return [(name, kind) for name, kind in self.query(
            "SELECT column_name, column_type FROM information_schema.columns"
            " WHERE table_schema = %s AND table_name = %s ORDER BY ordinal_position",
            (DATABASE, table))]

    def primary_key(self, table):
        return [name for (name,) in self.query(
            "SELECT column_name FROM information_schema.key_column_usage"
            " WHERE table_schema = %s AND table_name = %s AND constraint_name = 'PRIMARY'"
            " ORDER BY ordinal_position", (DATABASE, table))]

    @staticmethod
    def quote(name):
        return "`" + name.replace("`", "``") + "`"


class SqliteDatabase:
    """A database file loaded by the sqlite3 shell and read through Python's sqlite3 module."""

    name = "sqlite"

    def __init__(self, directory):
        self.dir = pathlib.Path(directory)
        self.path = self.dir / "morvel.sqlite"
        self.connection = None
        self.version = sqlite3.sqlite_version
        shell = subprocess.run(["sqlite3", "-version"], capture_output=True, text=True, check=True)
        self.shell_version = shell.stdout.split()[0]

    def reset(self):
        if self.connection is not None:
            self.connection.close()
        self.path.unlink(missing_ok=True)
        self.connection = sqlite3.connect(self.path, isolation_level=None)

    def stop(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None

    def client(self, single_transaction):
        # -bail stops at the first failing statement and makes the exit status say so.
        command = ["sqlite3", "-bail", str(self.path)]
        if single_transaction:
            return command, lambda data: b"BEGIN;\n" + data + b"\nCOMMIT;\n"
        return command, lambda data: data

    load = _Server.load

    @property
    def url(self):
        return f"sqlite:///{self.path}"

    def load_in_process(self, script):
        """Runs `script` through Python's sqlite3 module, one transaction, the text unaltered."""
        self.connection.executescript(f"BEGIN;\n{script}\nCOMMIT;")

    def query(self, sql, parameters=()):
        return self.connection.execute(sql, parameters).fetchall()

    def select_all(self, table):
        cursor = self.connection.execute(f"SELECT * FROM {self.quote(table)}")
        return [column[0] for column in cursor.description], cursor.fetchall()

    def tables(self):
        return {name for (name,) in self.query(
            "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")}

    def column_types(self, table):
        return [(row[1], row[2]) for row in self.query(
            "SELECT * FROM pragma_table_info(?)", (table,))]

    def primary_key(self, table):
        return [name for (name,) in self.query(
            "SELECT name FROM pragma_table_info(?) WHERE pk > 0 ORDER BY pk", (table,))]

    quote = staticmethod(PostgresServer.quote)
