"""Arbitrary text in values and names reaches every engine unchanged and never runs as SQL."""

import json
import re

import morvel
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from servers import LoadError
from shared import DIALECTS
from values import trimmed

# Each example starts a client process; 100 per engine keep the module within a minute.
EXAMPLES = settings(max_examples=100, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])

AWKWARD = ["'", "''", "\\", "\\'", '"', "`", "\n", "\r", "\r\n", "\t", "\x0b", "\x1b", "\x7f",
           "\x85", "\u2028", ";", "--", "/*", "*/", "$$", "%", ":x", "é", "日本", "😀", " "]
BREAKOUT = ["'", "\\", "');", "'); DROP TABLE canary; --", "\\'); DELETE FROM canary; --",
            "' OR '1'='1", '"', "`", ");", "--", "/*", "*/", "\n", "\r\n",
            ";\nDROP TABLE canary;\n", "$$", "$t$", "E'", "\\g", "\\gexec", "\\! echo pwned\n",
            "\nDELIMITER ;;\n", ":x", ":'x'", "\\\\", "\x1a", "COMMIT;", "\\c postgres\n", "\\q\n",
            "\\i /dev/null\n", "\\0", "\\Z", "\\%", "\\_", "\\N", "x"]
NAME_CHARACTERS = ['"', "`", "'", "\\", " ", ";", "-", "(", ")", ".", "/", "$", "%", ":", "é",
                   "ß", "Ω", "日", "a", "Z", "0"]
NAME_BREAKOUT = ['"', "`", '"); DROP TABLE canary; --', "`); DROP TABLE canary; --", "'", ")",
                 "\\", ";", "--"]


def text_values(dialect, alphabet):
    # PostgreSQL cannot store NUL in text at all (TestNul shows that loading it fails cleanly).
    exclude = "\x00" if dialect == "postgres" else ""
    characters = st.characters(blacklist_categories=("Cs",), blacklist_characters=exclude)
    return st.lists(st.one_of(characters, st.sampled_from(alphabet)), max_size=30).map("".join)


def names(dialect, parts, max_parts):
    """Names of at most 56 bytes with the given parts: PostgreSQL cuts names beyond 63 bytes,
    MariaDB refuses them beyond 64 characters."""
    name = st.lists(st.sampled_from(parts), min_size=1, max_size=max_parts).map("".join)
    if dialect == "mysql":
        # MariaDB refuses a name that ends in a blank.
        name = name.map(lambda text: text + "_" if text.endswith(" ") else text)
    return name


# The trimmed texts that morvel writes unquoted: nothing and null (as NULL), true and false, and
# numbers, that is integers of any length and floats with a digit before or after the point. inf
# and nan are floats too, but no engine takes them bare, so they are quoted like text. ASCII
# only: Python's IGNORECASE would otherwise take the long s of "falſe" for an s.
UNQUOTED = re.compile(r"|null|true|false|[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:e[+-]?[0-9]+)?",
                      re.ASCII | re.IGNORECASE)


def is_quoted(value, dialect):
    """Whether morvel writes `value` as a quoted literal: only those read back as written
    (a number or boolean in a text column reads back in the engine's own spelling). morvel's
    answer must agree with UNQUOTED, so that a value it types wrongly cannot slip out of the
    comparison unseen."""
    sql = morvel.convert_json_to_sql(json.dumps({"v": value}), dialect=dialect)
    quoted = sql.endswith("');\n")
    assert quoted == (UNQUOTED.fullmatch(trimmed(value)) is None), sql
    return quoted


def load_and_check(engine, table, columns, rows):
    """Loads rows of texts under `columns` into `table` beside a canary table, then asserts
    that both tables hold exactly what they should and nothing else exists."""
    engine.reset()
    engine.query("CREATE TABLE canary (n INTEGER)")
    engine.query("INSERT INTO canary (n) VALUES (1)")
    # The first record makes every column TEXT.
    records = [{"k": 0, **{column: "first" for column in columns}}]
    for number, row in enumerate(rows, 1):
        records.append({"k": number, **{column: value for column, value in zip(columns, row)
                                        if is_quoted(value, engine.name)}})
    script = morvel.convert_json_to_sql("".join(json.dumps(record) + "\n" for record in records),
                                        table, create_table=True, dialect=engine.name)
    if engine.name == "sqlite":
        # The sqlite3 shell turns CR LF inside a literal into LF (documented in
        # test_by_design.py); the module runs the script's text exactly as written.
        engine.load_in_process(script)
    else:
        done = engine.load(script, single_transaction=True)
        assert b"pwned" not in done.stdout + done.stderr
    assert engine.tables() == {table, "canary"}
    assert engine.query("SELECT n FROM canary") == [(1,)]
    names, got = engine.select_all(table)
    assert sorted(names) == sorted(["k", *columns])
    got = sorted(dict(zip(names, row)).items() for row in got)
    want = sorted({"k": record["k"], **{column: trimmed(record[column]) if column in record
                                        else None for column in columns}}.items()
                  for record in records)
    assert got == want


class TestQuoting:
    # Random texts are rarely numbers or words, so the edges of UNQUOTED are tried here.
    @pytest.mark.parametrize("dialect", DIALECTS)
    @pytest.mark.parametrize("value,quoted", [
        *[(value, False) for value in [
            "", " ", "\t\u3000", "null", " NuLL\n", "true", "FALSE", "1", "0", "-0", "+7", "007",
            "9223372036854775808", "-99999999999999999999", "1.", ".5", "-.5e-3", "1E+05",
            "\u00a042\u2028"]],
        *[(value, True) for value in [
            "nul", "t", "f", "yes", "falſe", ".", "+", "-", "1e", "e5", "1e5x", "1_000", "0x1F",
            "1,5", "١٢", "inf", "-Infinity", "NaN", "2024-01-15", "2024-01-15 10:30:00",
            "123e4567-e89b-12d3-a456-426614174000"]],
    ])
    def test_rule_and_morvel_agree_at_the_edges(self, dialect, value, quoted):
        assert (UNQUOTED.fullmatch(trimmed(value)) is None) == quoted
        assert is_quoted(value, dialect) == quoted


class TestRoundTrip:
    @EXAMPLES
    @given(data=st.data())
    def test_text_reads_back_unchanged(self, engine, data):
        table = "t" + data.draw(names(engine.name, NAME_CHARACTERS, 12), "table")
        suffixes = data.draw(st.lists(names(engine.name, NAME_CHARACTERS, 12), min_size=1,
                                      max_size=3), "columns")
        # A leading number keeps the names apart in engines that compare them without case.
        columns = [f"{index}{suffix}" for index, suffix in enumerate(suffixes)]
        values = text_values(engine.name, AWKWARD)
        rows = data.draw(st.lists(st.lists(values, min_size=len(columns), max_size=len(columns)),
                                  min_size=1, max_size=4), "rows")
        load_and_check(engine, table, columns, rows)

    @EXAMPLES
    @given(data=st.data())
    def test_crafted_values_never_run_as_sql(self, engine, data):
        table = "t" + data.draw(names(engine.name, NAME_BREAKOUT, 2), "table")
        column = "0" + data.draw(names(engine.name, NAME_BREAKOUT, 2), "column")
        payload = st.lists(st.sampled_from(BREAKOUT), min_size=1, max_size=6).map("".join)
        rows = data.draw(st.lists(st.tuples(payload), min_size=1, max_size=3), "rows")
        load_and_check(engine, table, [column], rows)


class TestNul:
    # A NUL byte ends the line for psql and the sqlite3 shell, which then join the next line to
    # the open literal; morvel writes it outside the literal (or as \0 for MySQL), so the next
    # record's text can never run as SQL.
    VALUES = ["a\x00", "); DROP TABLE canary; --", "\x00'\x00\\"]

    def test_nul_cannot_end_a_literal(self, engine):
        engine.query("CREATE TABLE canary (n INTEGER)")
        engine.query("INSERT INTO canary (n) VALUES (1)")
        script = morvel.convert_json_to_sql(
            "".join(json.dumps({"v": value}) + "\n" for value in self.VALUES), "t",
            create_table=True, dialect=engine.name)
        if engine.name == "postgres":
            # PostgreSQL has no way to store NUL in text: the statement fails, nothing else runs.
            with pytest.raises(LoadError, match="null character not permitted"):
                engine.load(script, single_transaction=True)
        else:
            engine.load(script)
            assert sorted(value for (value,) in engine.query("SELECT v FROM t")) == \
                sorted(self.VALUES)
        assert engine.query("SELECT n FROM canary") == [(1,)]
