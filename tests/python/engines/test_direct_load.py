"""Loading straight into each engine, with --to and the load functions: the rows the script
would have loaded, in one transaction that leaves nothing behind when anything fails, and the
values that the script's text loses kept."""

import contextlib
import datetime
import decimal
import json
import os
import re
import signal
import subprocess
import sys
import time

import dataset
import morvel
import pytest
from loading import KEYS, check_table, convert, input_records
from servers import MariadbServer, PostgresServer
from shared import MORVEL_COMMAND, on_terminal


class LoadFailed(Exception):
    """A load failed; the message is the command's error output or the exception's text."""


# The Python parameter of each command-line option that takes a value.
PARAMETERS = {"-k": "primary_key", "--schema-from": "schema_from", "--on-conflict": "on_conflict",
              "--null": "null_values", "--jobs": "jobs"}


def keywords(options):
    """The load function's keyword arguments for command-line options."""
    arguments = {}
    options = iter(options)
    for option in options:
        if option == "--auto-id":
            arguments["auto_id"] = True
            continue
        name = PARAMETERS[option]
        value = next(options)
        arguments[name] = [value] if name == "null_values" else \
            int(value) if name == "jobs" else value
    return arguments


def load(engine, directory, text, input_format, *options, table="loaded", create=True,
         way="command"):
    """Loads `text` into `table` with `morvel --to` ("command") or the load function of the
    format ("python"); returns what the function returns, or None for the command."""
    source = directory / f"input.{input_format}"
    source.write_bytes(text.encode() if isinstance(text, str) else text)
    if way == "python":
        function = morvel.load_csv_file if input_format == "csv" else morvel.load_json_file
        try:
            return function(str(source), engine.url, table, create, **keywords(options))
        except ValueError as error:
            raise LoadFailed(str(error)) from error
    done = subprocess.run([MORVEL_COMMAND, "-i", source, "-f", input_format, "--to", engine.url,
                           "-t", table, *(["--create-table"] if create else []), *options],
                          capture_output=True)
    if done.returncode != 0:
        raise LoadFailed(done.stderr.decode(errors="replace").strip())
    assert done.stdout == b""
    return None


def rows_of(engine, table):
    """The column types and the rows of `table`, in a comparable order. SQLite's reading of the
    script's decimals is off in the last digit for some (see TestWhatTheScriptLoses), so its
    doubles are compared to 15 digits."""
    def comparable(value):
        return float(f"{value:.15g}") if engine.name == "sqlite" and isinstance(value, float) \
            else value
    names, rows = engine.select_all(table)
    return engine.column_types(table), sorted((tuple(map(comparable, row)) for row in rows),
                                              key=repr)


class TestEveryValueArrives:
    @pytest.mark.parametrize("way", ["command", "python"])
    @pytest.mark.parametrize("key", KEYS)
    @pytest.mark.parametrize("form", dataset.FORMATS)
    def test_reads_back(self, engine, tmp_path, form, key, way):
        input_format, write = dataset.FORMATS[form]
        text = write(dataset.records())
        options, primary_key = KEYS[key]
        count = load(engine, tmp_path, text, input_format, *options, way=way)
        records = input_records(input_format, text)
        assert count == (len(records) if way == "python" else None)
        assert engine.tables() == {"loaded"}
        assert engine.primary_key("loaded") == primary_key
        kinds = dict(dataset.COLUMNS, **(dataset.JSON_ONLY if input_format == "json" else {}))
        if key == "auto id":
            kinds["id"] = int
        check_table(engine, "loaded", records, kinds, pair_by="n")


LATIN1 = "x,y\ncafé,1\nnaïve,2\n".encode("latin1")

# Inputs and options whose rows the script and the load must leave the same.
SAME_AS_THE_SCRIPT = [
    pytest.param("csv", None, ["--schema-from", "all"], id="schema from all"),
    pytest.param("json-lines", None, ["--schema-from", "all", "-k", "n"], id="json lines, all"),
    pytest.param("json-array", None, ["--jobs", "1"], id="one job"),
    pytest.param("csv", None, ["--jobs", "3"], id="three jobs"),
    pytest.param("csv", "# made by hand\nx;y\n1;NA\n2;b\n# done\n",
                 ["--delimiter", ";", "--comment", "#", "--null", "NA"], id="csv dialect"),
    pytest.param("csv", "a title\nx\ty\n1\t2\n", ["--skip-lines", "1", "--tsv"], id="skip lines"),
    pytest.param("csv", "1,a\n2,b\n", ["--no-header"], id="no header"),
    pytest.param("csv", "a,b,c\n1,2\n3,4,5\n", ["--allow-short-rows"], id="short rows"),
    pytest.param("csv", LATIN1, ["--encoding", "latin1"], id="latin1"),
    pytest.param("json-lines", '{"a": 1}\n[1]\n{"a": 2, "b": "x"}\n{"b": "y"}\n',
                 ["--schema-from", "all"], id="json keys that come and go"),
    pytest.param("csv", "d,t,f\n2024-02-29,2024-03-01T09:15:00+02:00,2024-01-15 10:30:00.25Z\n"
                 "0001-01-01,2016-12-31T23:59:60Z,2024-01-15 10:30:00\n", [], id="dates and times"),
    pytest.param("csv", "d,t,f\n2024-02-29,2024-03-01T09:15:00-15:59,2024-01-15 10:30:00.25Z\n"
                 "2024-02-30,2016-12-31 23:59:60,2024-01-15 10:30:00\n", ["--schema-from", "all"],
                 id="dates and times, all"),
]


@pytest.mark.parametrize("form,text,options", SAME_AS_THE_SCRIPT)
def test_loads_what_the_script_loads(engine, tmp_path, form, text, options):
    input_format = dataset.FORMATS[form][0]
    if text is None:
        text = dataset.FORMATS[form][1](dataset.records())
    script = convert(tmp_path, text, input_format, engine.name, *options, table="scripted")
    if engine.name == "sqlite":
        # The sqlite3 shell reads CR LF in a text as LF; the script itself keeps it.
        engine.load_in_process(script.decode())
    else:
        engine.load(script, single_transaction=True)
    load(engine, tmp_path, text, input_format, *options)
    assert rows_of(engine, "loaded") == rows_of(engine, "scripted")


class TestWhatTheScriptLoses:
    @pytest.mark.parametrize("engine", ["sqlite"], indirect=True)
    def test_sqlite_decimals_are_the_nearest_doubles(self, engine, tmp_path):
        texts = ["6.877000000000002", "-87.59553528", "0.1", "5e-324"]
        load(engine, tmp_path, "x\n" + "\n".join(texts) + "\n", "csv")
        assert [x for (x,) in engine.query("SELECT x FROM loaded ORDER BY rowid")] == \
            [float(text) for text in texts]

    @pytest.mark.parametrize("engine", ["mysql"], indirect=True)
    def test_mysql_times_with_a_zone_are_kept_in_utc(self, engine, tmp_path):
        load(engine, tmp_path, "at\n2024-03-01T09:15:00+02:00\n2024-03-01 23:30:00-0500\n"
             "2024-03-01 09:15:00Z\n2024-03-01 09:15:00\n", "csv")
        assert [at for (at,) in engine.query("SELECT at FROM loaded")] == [
            datetime.datetime(2024, 3, 1, 7, 15), datetime.datetime(2024, 3, 2, 4, 30),
            datetime.datetime(2024, 3, 1, 9, 15), datetime.datetime(2024, 3, 1, 9, 15)]

    def test_numbers_in_a_text_column_keep_their_text(self, engine, tmp_path):
        load(engine, tmp_path, "t\nabc\n007\n1.50\n", "csv")
        assert sorted(t for (t,) in engine.query("SELECT t FROM loaded")) == \
            ["007", "1.50", "abc"]


@pytest.mark.parametrize("on_conflict", ["ignore", "replace"])
@pytest.mark.parametrize("way", ["command", "python"])
def test_a_load_runs_again(engine, tmp_path, on_conflict, way):
    rows = dataset.records()
    text = dataset.as_csv(rows)
    options = ["-k", "n", "--on-conflict", on_conflict]
    load(engine, tmp_path, text, "csv", *options, way=way)
    load(engine, tmp_path, text, "csv", *options, way=way)
    check_table(engine, "loaded", input_records("csv", text), dataset.COLUMNS, pair_by="n")
    # Newer values for the same keys, the first key twice: kept out, or put in, the last last.
    newer = [dict(row, code=row["code"] + "-new") for row in rows]
    load(engine, tmp_path, dataset.as_csv(newer + [dict(newer[0], code="twice")]), "csv",
         *options, way=way)
    expected = input_records("csv", dataset.as_csv(newer if on_conflict == "replace" else rows))
    if on_conflict == "replace":
        expected[0]["code"] = "twice"
    check_table(engine, "loaded", expected, dataset.COLUMNS, pair_by="n")


@pytest.mark.parametrize("way", ["command", "python"])
def test_a_load_replaces_keys_it_repeats_with_the_last(postgres_server, tmp_path, way):
    # Texts PostgreSQL reads as one key, in one load: the last record's values stay.
    postgres_server.reset()
    load(postgres_server, tmp_path, "a,b\n1,x\n01,y\n2,z\n1,w\n", "csv", "-k", "a",
         "--on-conflict", "replace", way=way)
    assert sorted(postgres_server.select_all("loaded")[1]) == [(1, "w"), (2, "z")]


@pytest.mark.parametrize("way", ["command", "python"])
def test_a_repeated_json_key_loads_its_last_value(engine, tmp_path, way):
    warned = pytest.warns(morvel.DataWarning, match="repeats the key 'v'")
    with warned if way == "python" else contextlib.nullcontext():
        load(engine, tmp_path, '{"k": 1, "v": "first", "v": "last"}\n', "json", "-k", "k",
             way=way)
    assert engine.select_all("loaded")[1] == [(1, "last")]


def keyed(count, bad):
    """`count` records keyed by a text column, the one at `bad` (from 1) without its key."""
    return "k,n\n" + "".join(f"{'' if i == bad else f'k{i}'},{i}\n" for i in range(1, count + 1))


# How each engine refuses a record without its key.
NO_KEY = {"postgres": 'PostgreSQL: null value in column "k" of relation "loaded" violates '
                      'not-null constraint',
          "sqlite": "SQLite: NOT NULL constraint failed: loaded.k",
          "mysql": "MariaDB: Column set to default value; NULL supplied to NOT NULL column 'k'"}


class TestAllOrNothing:
    @pytest.mark.parametrize("bad", [1, 20, 40], ids=["first", "middle", "last"])
    @pytest.mark.parametrize("way", ["command", "python"])
    def test_a_refused_record_is_named_and_nothing_remains(self, engine, tmp_path, bad, way):
        text = keyed(40, bad)
        with pytest.raises(LoadFailed) as failure:
            load(engine, tmp_path, text, "csv", "-k", "k", way=way)
        prefix = "morvel: " if way == "command" else ""
        byte = sum(map(len, text.splitlines(keepends=True)[:bad]))
        assert str(failure.value).startswith(
            f"{prefix}record {bad} (line: {bad + 1}, byte: {byte}): {NO_KEY[engine.name]}"), \
            str(failure.value)
        assert engine.tables() == set()

    @pytest.mark.parametrize("way", ["command", "python"])
    def test_many_files_go_in_together_or_not_at_all(self, engine, tmp_path, way):
        # The engine refuses a record of the second file, after the first file's rows were sent:
        # a table the load made is gone again, a table that was there keeps only its own rows.
        (tmp_path / "a.csv").write_text(keyed(30, 0))
        (tmp_path / "b.csv").write_text("k,n\n" + keyed(12, 7)[4:].replace("k", "m"))
        for create in (True, False):
            paths = [tmp_path / "a.csv", tmp_path / "b.csv"]
            if way == "python":
                with pytest.raises(ValueError) as raised:
                    morvel.load_csv_file(paths, engine.url, "loaded", create,
                                         primary_key="k" if create else None)
                message = f"{raised.value}\n{raised.value.__notes__[0]}"
            else:
                done = subprocess.run([MORVEL_COMMAND, *paths, "--to", engine.url, "-t", "loaded",
                                       *(["--create-table", "-k", "k"] if create else [])],
                                      capture_output=True)
                assert done.returncode == 1
                message = done.stderr.decode()
            byte = len(keyed(6, 0))
            where = f"record 7 (line: 8, byte: {byte}): {NO_KEY[engine.name]}"
            assert message.startswith(f"morvel: {paths[1]}: {where}" if way == "command" else
                                      where), message
            if way == "python":
                assert message.endswith(f"in the input file '{paths[1]}'")
            if create:
                assert engine.tables() == set()
                load(engine, tmp_path, "k,n\nk0,0\n", "csv", "-k", "k")
            else:
                assert engine.select_all("loaded")[1] == [("k0", 0)]

    @pytest.mark.parametrize("engine", ["postgres", "mysql"], indirect=True)
    def test_an_existing_table_keeps_its_rows(self, engine, tmp_path):
        load(engine, tmp_path, "n,v\n1,a\n", "csv")
        with pytest.raises(LoadFailed, match=re.escape("record 2 (line: 3, byte: 8): ")):
            load(engine, tmp_path, "n,v\n2,b\nabc,c\n", "csv", create=False)
        assert engine.select_all("loaded")[1] == [(1, "a")]

    def test_a_json_record_is_named_by_its_line(self, engine, tmp_path):
        text = '{"k": "a", "n": 1}\n\n{"n": 2, "k": null}\n'
        with pytest.raises(LoadFailed, match=re.escape("record 3 (line: 3, byte: 20): ")):
            load(engine, tmp_path, text, "json", "-k", "k")
        assert engine.tables() == set()


# Rows enough to take a few seconds to load, long enough to stop the load in the middle.
def streamed_rows(directory, megabytes):
    path = directory / "rows.jsonl"
    line = json.dumps({"n": 1, "text": "x" * 200}) + "\n"
    path.write_text(line * (megabytes * 1024 * 1024 // len(line)))
    return path


def wait_for(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"no {what} within {seconds} s"
        time.sleep(0.02)


def is_waiting_for_input(pid):
    """Whether the process's main thread is blocked in read(), as on a pipe that has nothing
    more for now: a signal then interrupts the read rather than come between two checks."""
    with open(f"/proc/{pid}/syscall") as state:
        return state.read().split()[0] == "0"


def is_loading(engine):
    """Whether a load into `engine` is under way, as the engine itself shows it."""
    if engine.name == "sqlite":
        return os.path.exists(f"{engine.path}-journal")
    if engine.name == "postgres":
        return bool(engine.query("SELECT 1 FROM pg_stat_activity WHERE query LIKE 'COPY %%'"))
    return bool(engine.query("SELECT 1 FROM information_schema.PROCESSLIST "
                             "WHERE INFO LIKE 'LOAD DATA%%'"))


class TestStoppedMidLoad:
    @pytest.mark.parametrize("way", ["command", "python"])
    def test_ctrl_c_leaves_nothing(self, engine, tmp_path, way):
        # The rows come through a pipe, half of them at first: the load is under way and waits
        # for the rest when Ctrl-C comes.
        rows = streamed_rows(tmp_path, 16).read_bytes()
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        if way == "command":
            command = [MORVEL_COMMAND, "-f", "json", "--to", engine.url, "-t", "loaded",
                       "--create-table", "-i", fifo]
        else:
            command = [sys.executable, "-c",
                       "import sys, morvel\ntry:\n"
                       f"    morvel.load_json_file({str(fifo)!r}, {engine.url!r}, 'loaded', True)\n"
                       "except KeyboardInterrupt:\n    print('stopped')\n"]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(fifo, "wb") as writer:
            writer.write(rows[:len(rows) // 2])
            writer.flush()
            wait_for(lambda: is_loading(engine), "load under way")
            wait_for(lambda: is_waiting_for_input(process.pid), "wait for the rest")
            process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=60)
        expected = (b"", 130) if way == "command" else (b"stopped\n", 0)
        assert (stdout, process.returncode) == expected and stderr == b""
        assert engine.tables() == set()

    @pytest.mark.parametrize("server_class", [PostgresServer, MariadbServer],
                             ids=["postgres", "mysql"])
    def test_a_killed_server_keeps_none_of_the_rows(self, server_class, tmp_path):
        server = server_class()
        try:
            server.start()
            path = streamed_rows(tmp_path, 64)
            process = subprocess.Popen([MORVEL_COMMAND, path, "--to", server.url, "-t", "loaded",
                                        "--create-table"], stderr=subprocess.PIPE)
            wait_for(lambda: is_loading(server), "load under way")
            server.kill()
            _, stderr = process.communicate(timeout=60)
            assert process.returncode == 1
            assert stderr.startswith(b"morvel: PostgreSQL: " if server.name == "postgres"
                                     else b"morvel: MariaDB: "), stderr
            server.restart()
            # MySQL commits a CREATE TABLE on its own, and the dead server could not drop it.
            assert server.tables() == ({"loaded"} if server.name == "mysql" else set())
            if server.name == "mysql":
                assert server.select_all("loaded")[1] == []
        finally:
            server.stop()


class TestPasswords:
    SECRET = "s3cr%25t"

    @pytest.mark.parametrize("engine", ["postgres"], indirect=True)
    def test_never_shown(self, engine, tmp_path):
        url = engine.url.replace("postgresql:///", f"postgresql://postgres:{self.SECRET}@/")
        broken = url.replace(self.SECRET, self.SECRET + "%zz")
        for target, text in [(url, "n\n1\nabc\n"), (broken, "n\n1\n")]:
            source = tmp_path / "input.csv"
            source.write_text(text)
            done = subprocess.run([MORVEL_COMMAND, source, "--to", target, "--create-table"],
                                  capture_output=True)
            assert done.returncode == 1 and done.stderr.startswith(b"morvel: "), done.stderr
            assert b"s3cr" not in done.stderr, done.stderr
        # Nor on the progress line, on a terminal.
        large = tmp_path / "large.csv"
        large.write_text("n,text\n" + ("1," + "x" * 1000 + "\n") * (68 * 1024))
        status, shown = on_terminal([MORVEL_COMMAND, large, "--to", url, "-t", "big",
                                     "--create-table"], subprocess.DEVNULL, subprocess.DEVNULL)
        assert status == 0 and b"converting" in shown and b"s3cr" not in shown, shown[:300]


@pytest.mark.parametrize("engine", ["postgres"], indirect=True)
def test_an_existing_table_of_other_types_takes_the_values_as_the_engine_reads_them(engine,
                                                                                     tmp_path):
    engine.query("CREATE TABLE loaded (n integer, d numeric(6, 2), v varchar(5), at timestamp)")
    load(engine, tmp_path, "n,d,v,at\n7,1.5,abc,2024-01-15 10:30:00\n", "csv", create=False)
    assert engine.select_all("loaded")[1] == [
        (7, decimal.Decimal("1.50"), "abc", datetime.datetime(2024, 1, 15, 10, 30))]
    with pytest.raises(LoadFailed, match=re.escape(
            'record 1 (line: 2, byte: 9): PostgreSQL: value too long for type character '
            'varying(5)')):
        load(engine, tmp_path, "n,d,v,at\n8,2,abcdef,\n", "csv", create=False)
    assert len(engine.select_all("loaded")[1]) == 1


EXACT = {"csv": "id,amount\n12345678901234567890,12345678901234567.89\n7,1.5\n",
         "json": '{"id": 98765432109876543210, "amount": 1e-400}\n{"id": 7, "amount": 0.5}\n'}


@pytest.mark.parametrize("way", ["script", "copy", "command", "python"])
@pytest.mark.parametrize("form", EXACT)
def test_exact_columns_keep_every_digit(engine, tmp_path, form, way):
    if way == "copy" and engine.name != "postgres":
        pytest.skip("COPY is PostgreSQL's")
    text = EXACT[form]
    if way in ("script", "copy"):
        engine.load(convert(tmp_path, text, form, engine.name, "--schema-from", "all",
                            *(["--copy"] if way == "copy" else [])))
    else:
        load(engine, tmp_path, text, form, "--schema-from", "all", way=way)
    records = [line.split(",") for line in text.splitlines()[1:]] if form == "csv" else \
        [(r["id"], r["amount"]) for r in
         (json.loads(line, parse_float=str, parse_int=str) for line in text.splitlines())]
    expected = sorted((decimal.Decimal(i), decimal.Decimal(a)) for i, a in records)
    assert sorted((decimal.Decimal(str(i)), decimal.Decimal(str(a)))
                  for i, a in engine.query("SELECT id, amount FROM loaded")) == expected
