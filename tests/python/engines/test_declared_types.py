"""Columns given their types, and tables in a schema of their own, in each engine, by every way
in: the script, --to and the load functions."""

import json

import morvel
import pytest
from loading import convert
from test_direct_load import LoadFailed, load

TEXT = ('zip,amount,flag,doc\n02134,2,true,"{""a"": [1, 2]}"\n'
        '00501,2.5,false,[]\n')
TYPES = {"zip": "text", "amount": "float", "flag": "boolean", "doc": "json"}
OPTIONS = [option for column, kind in TYPES.items() for option in ("--type", f"{column}={kind}")]

# The column types each engine reports for the declared ones.
COLUMN_TYPES = {
    "postgres": ["text", "double precision", "boolean", "jsonb"],
    "sqlite": ["TEXT", "REAL", "INTEGER", "TEXT"],
    # MariaDB's JSON is a LONGTEXT that holds JSON.
    "mysql": ["text", "double", "tinyint(1)", "longtext"],
}

# Where the engine keeps a schema besides the default one, and how it is made; SQLite's loads
# reach "main" alone, which is the database file itself.
SCHEMA = {"postgres": "sales", "mysql": "sales", "sqlite": "main"}


def put(engine, tmp_path, way, *options, text=TEXT):
    """`text` into the table "typed" by `way`, with the command's `options`."""
    if way == "script":
        script = convert(tmp_path, text, "csv", engine.name, *options, table="typed")
        engine.load(script, single_transaction=True)
    elif way == "command":
        load(engine, tmp_path, text, "csv", *options, table="typed")
    else:
        schema = options[options.index("--schema") + 1] if "--schema" in options else None
        source = tmp_path / "input.csv"
        source.write_text(text)
        try:
            morvel.load_csv_file(str(source), engine.url, "typed", True, schema=schema,
                                 types=TYPES)
        except ValueError as error:
            raise LoadFailed(str(error)) from error


def rows(engine, table):
    """The rows of `table` by zip, JSON read as its value, booleans as bools."""
    got = []
    for zip_code, amount, flag, doc in engine.query(f"SELECT zip, amount, flag, doc FROM {table}"):
        got.append((zip_code, amount, bool(flag), json.loads(doc) if isinstance(doc, str) else doc))
    return sorted(got)


EXPECTED = [("00501", 2.5, False, []), ("02134", 2.0, True, {"a": [1, 2]})]


@pytest.mark.parametrize("way", ["script", "command", "python"])
def test_declared_types_arrive(engine, tmp_path, way):
    put(engine, tmp_path, way, *OPTIONS)
    assert [kind for _, kind in engine.column_types("typed")] == COLUMN_TYPES[engine.name]
    assert rows(engine, "typed") == EXPECTED


@pytest.mark.parametrize("way", ["command", "python"])
def test_a_value_of_another_type_loads_nothing(engine, tmp_path, way):
    text = TEXT + "12345,many,true,{}\n"
    with pytest.raises(LoadFailed) as failure:
        put(engine, tmp_path, way, *OPTIONS, text=text)
    assert str(failure.value).endswith(
        f"record 3 (line: 4, byte: {len(TEXT)}): value 'many' in column 'amount' is not of type "
        "float")
    assert engine.tables() == set()


@pytest.mark.parametrize("way", ["script", "command", "python"])
def test_a_table_in_a_schema(engine, tmp_path, way):
    schema = SCHEMA[engine.name]
    if engine.name == "postgres":
        engine.query("DROP SCHEMA IF EXISTS sales CASCADE; CREATE SCHEMA sales")
    elif engine.name == "mysql":
        engine.query("DROP DATABASE IF EXISTS sales")
        engine.query("CREATE DATABASE sales")
    elif way == "script":
        # A script reaches another SQLite database once its user has attached it.
        schema = "sales"
        engine.connection.execute("ATTACH DATABASE ? AS sales", (str(tmp_path / "sales.db"),))
    options = [*OPTIONS, "--schema", schema]
    try:
        if engine.name == "sqlite" and way == "script":
            engine.load_in_process(convert(tmp_path, TEXT, "csv", "sqlite", *options,
                                           table="typed").decode())
        else:
            put(engine, tmp_path, way, *options)
        assert rows(engine, f"{schema}.typed") == EXPECTED
        if schema != "main":
            assert engine.tables() == set()
    finally:
        # The other tests reset the default schema alone.
        if engine.name == "postgres":
            engine.query("DROP SCHEMA sales CASCADE")
        elif engine.name == "mysql":
            engine.query("DROP DATABASE sales")


@pytest.mark.parametrize("engine", ["sqlite"], indirect=True)
def test_sqlite_loads_name_a_schema_not_attached(engine, tmp_path):
    with pytest.raises(LoadFailed, match='unknown database "sales"$'):
        put(engine, tmp_path, "command", *OPTIONS, "--schema", "sales")
