"""Converting with the morvel command and checking what an engine holds afterwards."""

import csv
import io
import json
import pathlib
import subprocess

from dataset import KIND_IN
from shared import MORVEL_COMMAND
from values import KINDS, expected, json_text, read_back, same


# Each way of keying the table: morvel's options, and the primary key the engine then reports.
KEYS = {
    "no key": ([], []),
    "key": (["-k", "n"], ["n"]),
    "composite text key": (["-k", "code, n"], ["code", "n"]),
    "auto id": (["--auto-id"], ["id"]),
}


class ConversionError(Exception):
    """The morvel command failed; the message is its error output."""


def convert(directory, text, input_format, dialect, *options, table="loaded", name=None):
    """The script morvel writes for `text`, given it in a file `name` (input.<format> unless
    given), as bytes: line breaks inside values must reach the engine untouched, so nothing here
    decodes or re-encodes them."""
    source = pathlib.Path(directory) / (name or f"input.{input_format}")
    target = pathlib.Path(directory) / f"output.{dialect}.sql"
    source.write_bytes(text.encode() if isinstance(text, str) else text)
    done = subprocess.run([MORVEL_COMMAND, "-i", source, "-o", target, "-f", input_format,
                           "-d", dialect, "-t", table, "--create-table", *options],
                          capture_output=True)
    if done.returncode != 0:
        raise ConversionError(done.stderr.decode(errors="replace").strip())
    return target.read_bytes()


def input_records(input_format, text):
    """The records of an input as dicts of column name -> the text morvel types."""
    if input_format == "csv":
        rows = csv.reader(io.StringIO(text, newline=""))
        header = next(rows)
        return [dict(zip(header, row)) for row in rows if row]
    if text.startswith("["):
        documents = json.loads(text)
    else:
        documents = [json.loads(line) for line in text.split("\n") if line.strip()]
    return [{key: json_text(value) for key, value in document.items()}
            for document in documents if isinstance(document, dict)]


def column_kinds(engine, table):
    return {name: KINDS[engine.name][kind] for name, kind in engine.column_types(table)}


def _sort_key(row):
    # -0.0 + 0.0 is 0.0: engines differ in whether they keep the sign of a zero.
    return repr(tuple(value + 0.0 if isinstance(value, float) else value for value in row))


def kinds_in(dialect, kinds):
    """`kinds` (column name -> the Python type PostgreSQL reads it back as) in `dialect`'s terms:
    the other engines fold some of PostgreSQL's types into others."""
    return {name: KIND_IN[dialect].get(kind, kind) for name, kind in kinds.items()}


def check_table(engine, table, records, kinds, *, pair_by=None):
    """Asserts that `table` has the columns of `kinds` (column name -> the Python type PostgreSQL
    reads it back as, known to the test rather than taken from morvel's output) and holds exactly
    `records`, every value compared by its column's type. Rows are paired by the auto id (in input
    order), by the column `pair_by`, or by content."""
    names, rows = engine.select_all(table)
    kinds = kinds_in(engine.name, kinds)
    assert column_kinds(engine, table) == kinds
    assert sorted(names) == sorted(kinds)
    data_names = [name for name in names if name != "id" or "id" in records[0]]
    got = [tuple(read_back(kinds[name], value, engine.name) for name, value in zip(names, row))
           for row in rows]
    want = [tuple(expected(kinds[name], record.get(name, ""), engine.name)
                  if name in data_names else number for name in names)
            for number, record in enumerate(records, 1)]
    assert len(got) == len(want)
    if data_names != names:
        position = names.index("id")
    elif pair_by is not None:
        position = names.index(pair_by)
    else:
        got.sort(key=_sort_key)
        want.sort(key=_sort_key)
        position = None
    if position is not None:
        got.sort(key=lambda row: row[position])
        want.sort(key=lambda row: row[position])
    for got_row, want_row in zip(got, want):
        mismatches = {name: (g, w) for name, g, w in zip(names, got_row, want_row)
                      if not same(g, w)}
        assert not mismatches, f"read back (engine, input) differ: {mismatches}"
