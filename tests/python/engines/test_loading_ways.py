"""The faster and safer ways to load: INSERTs of many rows, one transaction, PostgreSQL's COPY,
and conflict handling that lets a script run again. Every way must leave the same rows."""

import dataset
import morvel
import pytest
from loading import ConversionError, check_table, convert, input_records
from servers import LoadError

WAYS = {
    "batches": ["--batch-size", "7"],
    "one transaction": ["--transaction"],
    "batches in a transaction": ["--batch-size", "1000", "--transaction"],
}


def varied(form="csv"):
    input_format, write = dataset.FORMATS[form]
    text = write(dataset.records())
    kinds = dict(dataset.COLUMNS, **(dataset.JSON_ONLY if input_format == "json" else {}))
    return input_format, text, kinds


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("form", ["csv", "json-lines"])
def test_every_way_loads_the_same_rows(engine, tmp_path, way, form):
    input_format, text, kinds = varied(form)
    engine.load(convert(tmp_path, text, input_format, engine.name, "-k", "n", *WAYS[way]))
    check_table(engine, "loaded", input_records(input_format, text), kinds, pair_by="n")


@pytest.mark.parametrize("form", ["csv", "json-lines"])
def test_copy_loads_the_same_rows(postgres_server, tmp_path, form):
    postgres_server.reset()
    input_format, text, kinds = varied(form)
    script = convert(tmp_path, text, input_format, "postgres", "-k", "n", "--copy",
                     "--transaction")
    # One block for the CSV's constant columns; JSON records with other keys begin new ones.
    assert (script.count(b"FROM stdin;\n") == 1) == (form == "csv")
    postgres_server.load(script)
    check_table(postgres_server, "loaded", input_records(input_format, text), kinds, pair_by="n")


# JSON keys that come and go: typed from every record, each record has every column.
COMING_AND_GOING = '{"a": 1}\n{"b": "x"}\n{"a": 2, "b": "y"}\n'
CAME_AND_WENT = [(1, None), (2, "y"), (None, "x")]


def test_schema_from_all_batches_json_keys_that_come_and_go_unbroken(engine, tmp_path):
    script = convert(tmp_path, COMING_AND_GOING, "json", engine.name, "--schema-from", "all",
                     "--batch-size", "1000")
    assert script.count(b"INSERT INTO") == 1
    engine.load(script)
    assert sorted(engine.select_all("loaded")[1], key=repr) == CAME_AND_WENT


def test_schema_from_all_copies_json_keys_that_come_and_go_in_one_block(postgres_server,
                                                                      tmp_path):
    postgres_server.reset()
    script = convert(tmp_path, COMING_AND_GOING, "json", "postgres", "--schema-from", "all",
                     "--copy")
    assert script.count(b"FROM stdin;\n") == 1
    postgres_server.load(script)
    assert sorted(postgres_server.select_all("loaded")[1], key=repr) == CAME_AND_WENT


@pytest.mark.parametrize("on_conflict", ["ignore", "replace"])
def test_a_script_runs_again(engine, tmp_path, on_conflict):
    input_format, text, kinds = varied()
    options = ["-k", "n", "--on-conflict", on_conflict, "--batch-size", "10"]
    script = convert(tmp_path, text, input_format, engine.name, *options)
    engine.load(script)
    engine.load(script)
    records = input_records(input_format, text)
    check_table(engine, "loaded", records, kinds, pair_by="n")
    # Newer values for the same keys: kept out, or put in.
    changed = text.replace("O'Brien", "O'Neill")
    assert changed != text
    engine.load(convert(tmp_path, changed, input_format, engine.name, *options))
    expected = input_records(input_format, changed if on_conflict == "replace" else text)
    check_table(engine, "loaded", expected, kinds, pair_by="n")


# Keys met again inside one batch: the same text, and texts PostgreSQL reads as the same value.
REPEATED_KEYS = {
    "same text": ("a,b\n1,x\n1,y\n2,z\n1,w\n", {"1": "w", "2": "z"}),
    "one number": ("a,b\n1,x\n01,y\n1.0,z\n2,v\n", {"1": "z", "2": "v"}),
    "one uuid": ("a,b\na0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11,x\n"
                 "A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11,y\n",
                 {"a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11": "y"}),
    "one moment": ("a,b\n2024-01-01T10:00:00Z,x\n2024-01-01 12:00:00+02:00,y\n",
                   {"2024-01-01 10:00:00+00:00": "y"}),
}


@pytest.mark.parametrize("case", REPEATED_KEYS)
@pytest.mark.parametrize("batch_size", ["1", "2", "10"])
def test_batches_replace_keys_they_repeat_as_single_inserts_do(postgres_server, tmp_path, case,
                                                              batch_size):
    postgres_server.reset()
    text, expected = REPEATED_KEYS[case]
    postgres_server.load(convert(tmp_path, text, "csv", "postgres", "-k", "a", "--on-conflict",
                                 "replace", "--batch-size", batch_size, "--transaction"))
    _, rows = postgres_server.select_all("loaded")
    assert {str(a): b for a, b in rows} == expected


@pytest.mark.parametrize("batch_size", ["1", "10"])
def test_a_key_repeated_in_a_batch_ends_as_its_last_record(engine, tmp_path, batch_size):
    text, expected = REPEATED_KEYS["same text"]
    engine.load(convert(tmp_path, text, "csv", engine.name, "-k", "a", "--on-conflict", "replace",
                        "--batch-size", batch_size))
    _, rows = engine.select_all("loaded")
    assert {str(a): b for a, b in rows} == expected


def test_a_repeated_json_key_loads_its_last_value(engine, tmp_path):
    text = '{"k": 1, "v": "first", "v": "last"}\n{"k": 2, "v": "only"}\n'
    engine.load(convert(tmp_path, text, "json", engine.name, "-k", "k"))
    assert sorted(engine.select_all("loaded")[1]) == [(1, "last"), (2, "only")]


@pytest.mark.parametrize("options", [["--transaction"], ["--transaction", "--batch-size", "5"]],
                         ids=["inserts", "batches"])
def test_a_failed_conversion_changes_nothing(engine, tmp_path, options):
    # The script of a conversion that failed at its tenth record: the records before it, no
    # COMMIT. MySQL commits a CREATE TABLE on its own, so the table stays there, empty.
    text = "n,s\n" + "".join(f"{i},x\n" for i in range(1, 10)) + "10\n"
    with pytest.raises(ConversionError, match="record 10"):
        convert(tmp_path, text, "csv", engine.name, *options)
    partial = (tmp_path / f"output.{engine.name}.sql").read_bytes()
    assert partial.count(b"(9, 'x')") == 1 and b"COMMIT" not in partial
    engine.load(partial)
    if engine.name == "mysql":
        assert engine.tables() == {"loaded"}
        assert engine.select_all("loaded")[1] == []
    else:
        assert engine.tables() == set()


def test_copy_fails_where_a_key_repeats(postgres_server, tmp_path):
    postgres_server.reset()
    script = convert(tmp_path, "n\n1\n1\n", "csv", "postgres", "-k", "n", "--copy",
                     "--transaction")
    with pytest.raises(LoadError, match="duplicate key"):
        postgres_server.load(script)
    assert postgres_server.tables() == set()


@pytest.mark.parametrize("options", [{}, {"batch_size": 7, "transaction": True}])
def test_the_iterators_statements_run_one_at_a_time(engine, options):
    # Each through the driver's own execute, one statement a call (sqlite3 and PyMySQL refuse
    # more), in order.
    input_format, text, kinds = varied()
    for statement in morvel.iter_csv_to_sql(text, "loaded", True, engine.name, "n", **options):
        engine.query(statement)
    check_table(engine, "loaded", input_records(input_format, text), kinds, pair_by="n")
