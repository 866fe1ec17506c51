"""Inputs read with the reader options load into every engine with every value intact: the same
records written with another quote byte, aligned by blanks, wrapped in an API document or named
as tab-separated read back as the plain CSV of them does."""

import csv
import io
import json
import subprocess

import dataset
import morvel
import pytest
from loading import check_table, input_records
from shared import MORVEL_COMMAND

RECORDS = dataset.records()
PLAIN = dataset.as_csv(RECORDS)


def written(**dialect):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n", **dialect)
    writer.writerow(dataset.COLUMNS)
    writer.writerows([row[name] for name in dataset.COLUMNS] for row in RECORDS)
    return out.getvalue()


def aligned():
    # Every field quoted, since values may be empty or hold blanks; runs of spaces and tabs
    # between them, and around the lines.
    def line(values):
        return "  " + " \t  ".join('"' + value.replace('"', '""') + '"' for value in values) + " \n"
    return line(dataset.COLUMNS) + "\n".join(
        line([row[name] for name in dataset.COLUMNS]) for row in RECORDS)


def wrapped():
    array = json.loads(dataset.as_json_array(RECORDS))
    return json.dumps({"meta": {"count": len(array)}, "page": {"items": array}}, indent=1)


def expected(case, source):
    """The records the table must hold after reading `source` for `case`, and their kinds."""
    if case == "json path":
        items = json.loads(source.read_text())["page"]["items"]
        return input_records("json", json.dumps(items)), dict(dataset.COLUMNS, **dataset.JSON_ONLY)
    return input_records("csv", PLAIN), dataset.COLUMNS


CASES = {
    "quote": ("input.csv", lambda: written(quotechar="'"), ["--quote", "'"]),
    "whitespace": ("input.txt", aligned, ["--delimiter", "whitespace"]),
    "tsv by name": ("input.TSV", lambda: written(delimiter="\t"), []),
    "json path": ("input.json", wrapped, ["--json-path", "page.items"]),
}


@pytest.mark.parametrize("case", CASES)
def test_reads_back_as_the_plain_input(engine, tmp_path, case):
    name, write, options = CASES[case]
    source = tmp_path / name
    source.write_text(write(), encoding="utf-8")
    target = tmp_path / "out.sql"
    done = subprocess.run([MORVEL_COMMAND, source, "-o", target, "-d", engine.name, "-t", "loaded",
                           "--create-table", *options], capture_output=True)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    engine.load(target.read_bytes())
    check_table(engine, "loaded", *expected(case, source), pair_by="n")


@pytest.mark.parametrize("case,keywords", [("tsv by name", {}),
                                           ("json path", {"json_path": "page.items"})])
def test_loads_as_the_plain_input(engine, tmp_path, case, keywords):
    # The load functions read a file as the conversions do.
    name, write, _ = CASES[case]
    source = tmp_path / name
    source.write_text(write(), encoding="utf-8")
    function = morvel.load_json_file if case == "json path" else morvel.load_csv_file
    assert function(source, engine.url, "loaded", True, **keywords) == len(RECORDS)
    check_table(engine, "loaded", *expected(case, source), pair_by="n")
