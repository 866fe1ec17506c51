"""Real CSV and JSON files, as their authors publish them in Debian packages, load into every
engine with every value intact: each is converted with --schema-from all and the options its
manifest entry calls for, loaded, read back, and held value by value against an independent
reader (real/reference.py)."""

import collections
import datetime
import decimal
import json
import math
import operator
import pathlib
import re

import pytest
from loading import ConversionError, convert
from real import reference
from servers import LoadError
from values import KINDS, UTC, read_back, trimmed

REAL = pathlib.Path(__file__).resolve().parent / "real"
MANIFEST = json.loads((REAL / "manifest.json").read_text(encoding="utf-8"))

# A number as morvel writes it unquoted. An integer with a superfluous leading zero (007) is a
# code, which must stay text: read back as a number it would have lost its zeros.
INTEGER = re.compile(r"[+-]?(?:0|[1-9][0-9]*)")
CODE = re.compile(r"[+-]?0[0-9]+")
FLOAT = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[+-]?(?:inf|infinity|nan)",
                   re.IGNORECASE)


def options(entry):
    """The morvel options that read `entry`'s file as its author means it."""
    chosen = ["--schema-from", "all"]
    if entry["format"] == "json":
        return chosen + (["--json-path", entry["json_path"]] if "json_path" in entry else [])
    if entry["delimiter"] == "\t":
        # A .tsv or .tab file is read as tab-separated by its name alone.
        if not entry["file"].lower().endswith((".tsv", ".tab")):
            chosen.append("--tsv")
    elif entry["delimiter"] != ",":
        chosen += ["--delimiter", entry["delimiter"]]
    for word in entry.get("null_words", []):
        chosen += ["--null", word]
    if "encoding" in entry:
        chosen += ["--encoding", entry["encoding"]]
    if "comment" in entry:
        chosen += ["--comment", entry["comment"]]
    if "skip_lines" in entry:
        chosen += ["--skip-lines", str(entry["skip_lines"])]
    if not entry.get("header", True):
        chosen.append("--no-header")
    if entry.get("short_rows"):
        chosen.append("--allow-short-rows")
    if entry.get("row_names"):
        chosen.append("--row-names")
    if entry.get("fix_names"):
        chosen.append("--fix-names")
    return chosen


def meaning(kind, text, dialect):
    """What the file's `text` should read back as from a column of Python type `kind`: morvel
    trims white space and writes nothing left as NULL; numbers compare by value, dates and
    timestamps by the moment they name, all else as the text itself. A text that is not of the
    column's kind stays a str, which no value of that kind equals."""
    if text is None or not trimmed(text):
        return None
    text = trimmed(text)
    word = text.lower()
    if kind is int and dialect == "sqlite" and word in ("true", "false"):
        return int(word == "true")  # SQLite keeps booleans as 1 and 0
    if kind is int:
        return int(text) if INTEGER.fullmatch(text) else text
    if kind is float:
        return float(text) if FLOAT.fullmatch(text) and not CODE.fullmatch(text) else text
    if kind is decimal.Decimal:
        return decimal.Decimal(text)
    if kind is bool:
        return {"true": True, "false": False}.get(word, text)
    if kind is datetime.date:
        return datetime.date.fromisoformat(text)
    if kind is datetime.datetime:
        moment = datetime.datetime.fromisoformat(text)
        if dialect == "postgres" and moment.tzinfo is None:
            moment = moment.replace(tzinfo=UTC)  # the test server's time zone
        return moment
    return text


def comparable(value):
    """`value` keyed by its type as well, so that 1, 1.0 and True stay apart, and NaN equals
    itself."""
    if isinstance(value, float) and math.isnan(value):
        return ("nan",)
    return (type(value).__name__, value)


@pytest.mark.parametrize("entry", MANIFEST, ids=[entry["file"] for entry in MANIFEST])
def test_real_file(engine, tmp_path, entry):
    failure = next((failure for failure in entry.get("cannot_load", [])
                    if engine.name in failure["engines"]), None)
    if failure is None:
        load_and_compare(engine, tmp_path, entry)
        return
    # The exact failure the manifest names: any other, or none, fails the test.
    with pytest.raises((ConversionError, LoadError, AssertionError), match=failure["error"]):
        load_and_compare(engine, tmp_path, entry)


def load_and_compare(engine, directory, entry):
    path = REAL / "files" / entry["file"]
    columns, rows = reference.read(entry, path, case_blind=engine.name != "postgres")
    engine.load(convert(directory, path.read_bytes(), entry["format"], engine.name,
                        *options(entry), table="real", name=entry["file"]),
                single_transaction=True)
    kinds = [KINDS[engine.name][kind] for _, kind in engine.column_types("real")]
    names, got = engine.select_all("real")
    assert names == columns, f"column names read back {names}, in the file {columns}"
    # The rows are compared as multisets: SQL gives rows in no order, and an auto id to order
    # them by would clash with the files that have an id column of their own.
    got = collections.Counter(
        tuple(comparable(read_back(kind, value, engine.name)) for kind, value in zip(kinds, row))
        for row in got)
    want = collections.Counter(
        tuple(comparable(meaning(kind, text, engine.name)) for kind, text in zip(kinds, row))
        for row in rows)
    assert sum(got.values()) == len(rows), "not as many rows read back as the file has"
    lost, extra = list((want - got).elements()), list((got - want).elements())
    if lost:
        # The differences from the read-back row closest to the first row not read back.
        closest = min(extra, key=lambda row: sum(map(operator.ne, row, lost[0])))
        differ = {name: (back, file)
                  for name, back, file in zip(names, closest, lost[0]) if back != file}
        raise AssertionError(f"{len(lost)} of {len(rows)} rows not read back intact; the first "
                             f"differs in (read back, file's meaning): {differ}")
