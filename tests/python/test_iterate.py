"""The iter_* functions: a conversion's statements one at a time, made on a thread of its own."""

import json
import os
import re
import sqlite3
import subprocess
import sys
import textwrap
import warnings

import morvel
import pytest
from shared import UNDER_ASAN, write_large_csv

# Values that hold what ends a statement or a COPY block anywhere but in a value.
VALUES = ["a;\n\\.\nb", "it's; `x` \"y\"", "\\;\n", "\\"]
CSV = "id,note\n" + "".join(f'{i},"{v.replace(chr(34), chr(34) * 2)}"\n'
                            for i, v in enumerate(VALUES, 1))
JSON = json.dumps([{"id": i, "note": v} for i, v in enumerate(VALUES, 1)])


def call(prefix, kind, data, tmp_path, **options):
    """Calls `prefix`_`kind`... ("iter" or "convert"; kind "csv", "json", "csv_file" or
    "json_file") on `data`, written to a file first for the file functions."""
    if kind.endswith("_file"):
        source = tmp_path / f"input.{kind[:-5]}"
        source.write_text(data)
        return getattr(morvel, f"{prefix}_{kind[:-5]}_file_to_sql")(source, **options)
    return getattr(morvel, f"{prefix}_{kind}_to_sql")(data, **options)


def threads():
    return len(os.listdir("/proc/self/task"))


def run_child(script, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=120, **kwargs)


class TestStatements:
    @pytest.mark.parametrize("kind", ["csv", "json", "csv_file", "json_file"])
    @pytest.mark.parametrize("dialect", ["postgres", "sqlite", "mysql"])
    @pytest.mark.parametrize("options, first_words", [
        ({}, "INSERT INSERT INSERT INSERT"),
        ({"create_table": True, "batch_size": 3}, "CREATE INSERT INSERT"),
        ({"transaction": True, "create_table": True}, "BEGIN CREATE INSERT INSERT INSERT INSERT COMMIT"),
        ({"copy": True}, "COPY"),
    ])
    def test_each_item_is_one_statement_of_the_script(self, tmp_path, kind, dialect, options,
                                                      first_words):
        if options.get("copy") and dialect != "postgres":
            pytest.skip("COPY is PostgreSQL's")
        data = CSV if kind.startswith("csv") else JSON
        items = list(call("iter", kind, data, tmp_path, dialect=dialect, **options))
        assert "".join(items) == call("convert", kind, data, tmp_path, dialect=dialect, **options)
        if dialect == "mysql":  # its transaction starts after the CREATE TABLE
            first_words = first_words.replace("BEGIN CREATE", "CREATE START")
        assert " ".join(re.match("[A-Z]+", item)[0] for item in items) == first_words

    def test_sqlite_runs_each_item_alone(self):
        # sqlite3's execute() refuses a text that holds more than one statement.
        database = sqlite3.connect(":memory:", isolation_level=None)
        for item in morvel.iter_csv_to_sql(CSV, "t", True, "sqlite", batch_size=3,
                                           transaction=True):
            database.execute(item)
        # Values are trimmed, as ever.
        assert [row[0] for row in database.execute("SELECT note FROM t ORDER BY id")] == \
            [value.strip() for value in VALUES]

    # Each with the records before the failure: what was taken must be their script.
    @pytest.mark.parametrize("data, before, options", [
        ("id,name\n1,Ann\n2\n", "id,name\n1,Ann\n", {}),
        ("id,name\n1,Ann\n", "id,name\n", {"create_table": True, "auto_id": True}),
        ("id,name\n1,Ann\n2,\"Bob\n", "id,name\n", {"create_table": True}),
    ])
    def test_bad_data_fails_where_it_is_met(self, data, before, options):
        with pytest.raises(ValueError) as expected:
            morvel.convert_csv_to_sql(data, **options)
        statements = morvel.iter_csv_to_sql(data, **options)
        taken = []
        with pytest.raises(ValueError) as error:
            for statement in statements:
                taken.append(statement)
        assert str(error.value) == str(expected.value)
        assert getattr(error.value, "__notes__", None) == getattr(expected.value, "__notes__", None)
        assert "".join(taken) == morvel.convert_csv_to_sql(before, **options)
        assert next(statements, None) is None

    @pytest.mark.parametrize("call_it, error, message", [
        (lambda p: morvel.iter_csv_file_to_sql(p / "missing.csv"), FileNotFoundError,
         "No such file or directory"),
        (lambda p: morvel.iter_csv_to_sql("a\n1\n", auto_id=True), ValueError,
         "primary_key / auto_id require create_table=True"),
        (lambda p: morvel.iter_json_to_sql("[]", tsv=True), ValueError,
         "for CSV input, not JSON"),
        (lambda p: morvel.iter_csv_to_sql(b"a\n1\n"), TypeError, "str"),
        (lambda p: morvel.iter_csv_to_sql("a\n1\n", output="x.sql"), TypeError, "output"),
    ])
    def test_the_call_refuses_what_the_conversion_functions_refuse(self, tmp_path, call_it, error,
                                                                   message):
        with pytest.raises(error, match=message):
            call_it(tmp_path)

    def test_a_warning_comes_before_the_statement_after_it(self):
        data = "a\n1\nx\n"
        with pytest.warns(morvel.DataWarning) as expected:
            morvel.convert_csv_to_sql(data, create_table=True)
        taken_when_warned = []
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            items = []
            for item in morvel.iter_csv_to_sql(data, create_table=True):
                taken_when_warned += [len(items)] * (len(caught) - len(taken_when_warned))
                items.append(item)
        assert [str(w.message) for w in caught] == [str(w.message) for w in expected]
        assert [w.category for w in caught] == [morvel.DataWarning]
        assert taken_when_warned == [2]

    def test_a_call_back_into_a_running_next_is_refused(self):
        # A warning's display runs Python code in the middle of next().
        statements = morvel.iter_csv_to_sql("a\n1\nx\n", create_table=True)
        refused = []

        def show(*args, **kwargs):
            for attempt in (lambda: next(statements), statements.close):
                with pytest.raises(ValueError, match="^iterator already executing$"):
                    attempt()
                refused.append(attempt)

        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = show
            assert len(list(statements)) == 3
        assert len(refused) == 2


# Enough statements that the conversion is still running, waiting for room, after the first.
LARGE = "a,b\n" + "1,some text\n" * 400_000


class TestStoppingEarly:
    @pytest.mark.parametrize("how", ["break", "close", "del", "raise"])
    def test_no_thread_is_left(self, how):
        before = threads()
        statements = morvel.iter_csv_to_sql(LARGE)
        assert next(statements).startswith("INSERT")
        assert threads() > before
        if how == "break":
            for _ in statements:
                break
            del statements
        elif how == "close":
            statements.close()
            assert next(statements, None) is None
        elif how == "del":
            del statements
        else:
            with pytest.raises(RuntimeError):
                for _ in morvel.iter_csv_to_sql(LARGE):
                    raise RuntimeError
            del statements
        assert threads() == before

    def test_ctrl_c_stops_a_wait_for_a_silent_pipe(self, tmp_path):
        # The pipe's writer stays open and says nothing after two lines: the iterator waits in
        # next() until the signal, which must raise there and leave no thread behind.
        result = run_child(f"""
            import os, signal, threading, morvel
            path = {str(tmp_path / "pipe")!r}
            os.mkfifo(path)
            writer = os.open(path, os.O_RDWR)
            os.write(writer, b'{{"a": 1}}\\n{{"a": 2}}\\n')
            threads = len(os.listdir("/proc/self/task"))
            statements = morvel.iter_json_file_to_sql(path, jobs=1)
            taken = [next(statements), next(statements)]
            threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                next(statements)
            except KeyboardInterrupt:
                threading.Event().wait(0.1)  # the timer's thread ends
                print(len(taken), len(os.listdir("/proc/self/task")) == threads)
        """)
        assert result.stdout == "2 True\n", result.stderr

    def test_the_interpreter_exits_with_iterations_still_open(self):
        # One kept in a global, one in a cycle: both threads wait for room when Python ends.
        result = run_child("""
            import morvel
            large = "a,b\\n" + "1,some text\\n" * 400_000
            kept = morvel.iter_csv_to_sql(large)
            next(kept)
            class Holder: pass
            holder = Holder()
            holder.self, holder.statements = holder, morvel.iter_csv_to_sql(large)
            next(holder.statements)
            del holder
            print("done")
        """)
        assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr


@pytest.mark.skipif(UNDER_ASAN, reason="peak memory means nothing under AddressSanitizer")
def test_memory_stays_bounded_on_a_large_input(tmp_path):
    # In a child, so that the peak is this iteration's alone: 128 MB of CSV, whose script as one
    # str would take a quarter of a gigabyte and more.
    source = tmp_path / "large.csv"
    write_large_csv(source, 128 * 1024 * 1024)
    result = run_child(f"""
        import morvel, re
        size = sum(len(s) for s in morvel.iter_csv_file_to_sql({str(source)!r}, create_table=True))
        with open("/proc/self/status") as status:
            print(size, re.search(r"VmHWM:\\s+(\\d+) kB", status.read())[1])
    """)
    size, peak_kib = map(int, result.stdout.split())
    assert size > source.stat().st_size
    assert peak_kib <= 64 * 1024, f"peak {peak_kib} KiB"
