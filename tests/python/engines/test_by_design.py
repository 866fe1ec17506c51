"""Where morvel's output meets the limits of an engine: what each engine does, pinned down so that
it is known rather than discovered by users. Types are inferred per value and the table is
defined by the first record, so some inputs give SQL that an engine refuses or reads
differently; none of these is a fault of the SQL text itself."""

import datetime
import math
import re

import pytest
from loading import check_table, convert, input_records
from servers import LoadError


def case(dialect, text, outcome, *options, input_format="csv", id):
    return pytest.param(dialect, input_format, text, list(options), outcome,
                        id=f"{dialect}: {id}")


def per_engine(text, outcomes, *options, input_format="csv", id):
    """The cases of one input in several engines: `outcomes` maps a dialect to its outcome."""
    return [case(dialect, text, outcome, *options, input_format=input_format, id=id)
            for dialect, outcome in outcomes.items()]


def wide(count):
    header = ",".join(f"c{index}" for index in range(count))
    return f"{header}\n{','.join('x' * count)}\n"


# The engine's error for output that cannot load (matched against its client's error output).
REFUSED = [
    *per_engine("d\n2024-01-15\n9999-99-99\n", {
        "postgres": 'date/time field value out of range: "9999-99-99"',
        "mysql": "Incorrect date value: '9999-99-99' for column",
    }, id="a date-shaped text that is no date"),
    *per_engine("d\n2024-01-15\n2024-02-30\n", {
        "postgres": 'date/time field value out of range: "2024-02-30"',
        "mysql": "Incorrect date value: '2024-02-30' for column",
    }, id="a day the month lacks"),
    case("postgres", "d\n0000-00-00\n", 'date/time field value out of range: "0000-00-00"',
         id="the zero date"),
    *per_engine("n\n5\nabc\n", {
        "postgres": 'invalid input syntax for type bigint: "abc"',
        "mysql": "Incorrect integer value: 'abc' for column",
    }, id="a later record's text in a column typed from the first"),
    case("postgres", "f\ntrue\n1\n",
         'column "f" is of type boolean but expression is of type integer',
         id="a later record's 1 in a boolean column"),
    *per_engine("n\n5\n9223372036854775808\n", {
        "postgres": "bigint out of range",
        "mysql": "Out of range value for column 'n'",
    }, id="an integer beyond 64 bits, typed as a float, in a BIGINT column"),
    *per_engine("at\n2024-01-15 and some words\n", {
        "postgres": 'invalid input syntax for type timestamp with time zone: '
                    '"2024-01-15 and some words"',
        "mysql": "Incorrect datetime value: '2024-01-15 and some words' for column",
    }, id="a timestamp-shaped text that is no timestamp"),
    case("mysql", "at\n2024-03-01T09:15:00\n2016-12-31 23:59:60\n",
         "Incorrect datetime value: '2016-12-31 23:59:60' for column",
         id="a leap second without a zone in a DATETIME column"),
    case("postgres", "u\n------------------------------------\n",
         'invalid input syntax for type uuid: "------------------------------------"',
         id="36 hyphens, UUID-shaped, in a UUID column"),
    case("mysql", "x\n1.5\ninf\n", "Incorrect double value: 'inf' for column",
         id="a non-finite float in a DOUBLE column"),
    case("mysql", "x\nNaN\n", "Incorrect double value: 'NaN' for column",
         id="a non-finite float in a DOUBLE column, first record"),
    case("postgres", "x\n1.5\n1e-999\n", "is out of range for type double precision",
         id="a float below the smallest double"),
    *per_engine("x\n1.5\n1e999\n", {
        "postgres": "is out of range for type double precision",
        "mysql": "Illegal double '1e999' value found during parsing",
    }, id="a float beyond the double range"),
    *per_engine("k,v\n1,a\n,b\n", {
        "postgres": 'null value in column "k" of relation "loaded" violates',
        "mysql": "Column 'k' cannot be null",
    }, "-k", "k", id="a null key value"),
    # SQLite gives a null INTEGER key the next row id (see CHANGED); a text key refuses it.
    case("sqlite", "k,v\na,x\n,y\n", "NOT NULL constraint failed: loaded.k", "-k", "k",
         id="a null value in a text key"),
    *per_engine("k\n1\n1\n", {
        "postgres": "duplicate key value violates unique constraint",
        "sqlite": "UNIQUE constraint failed: loaded.k",
        "mysql": "Duplicate entry '1' for key 'PRIMARY'",
    }, "-k", "k", id="a repeated key"),
    case("mysql", "k\nabc\nABC\n", "Duplicate entry 'ABC' for key 'PRIMARY'", "-k", "k",
         id="text keys that differ in letter case only (case-insensitive collation)"),
    case("mysql", "k\nAnn\nÅnn\n", "Duplicate entry 'Ånn' for key 'PRIMARY'", "-k", "k",
         id="text keys that differ in accents only (accent-insensitive collation)"),
    case("mysql", "a,b,c,d\nw,x,y,z\n", "Specified key was too long; max key length is 3072 bytes",
         "-k", "a,b,c,d", id="four text key columns of VARCHAR(255) in utf8mb4"),
    case("mysql", "t\n" + "x" * 65536 + "\n", "Data too long for column 't'",
         id="a text beyond the 65 535 bytes of a TEXT column"),
    case("mysql", wide(400), "Row size too large (> 8126)", id="400 TEXT columns"),
    case("postgres", wide(1601), "tables can have at most 1600 columns", id="1601 columns"),
    case("sqlite", wide(2001), "too many columns on loaded", id="2001 columns"),
    *per_engine('[{"a": 1}, {"a": 2, "b": 3}]', {
        "postgres": 'column "b" of relation "loaded" does not exist',
        "sqlite": "table loaded has no column named b",
        "mysql": "Unknown column 'b' in 'INSERT INTO'",
    }, input_format="json", id="a later record with a column the first lacks"),
    *per_engine('[{"a": 1, "A": 2}]', {
        "sqlite": "duplicate column name: a",
        "mysql": "Duplicate column name 'a'",
    }, input_format="json", id="column names that differ in letter case only"),
    *per_engine(",b\n1,2\n", {
        "postgres": "zero-length delimited identifier",
        "mysql": "Incorrect column name ''",
    }, id="an empty column name"),
    case("mysql", "a \n1\n", "Incorrect column name 'a '", id="a column name ending in a blank"),
    case("mysql", "x" * 65 + "\n1\n", f"Identifier name '{'x' * 65}' is too long",
         id="a column name of 65 characters"),
    case("mysql", "emoji😀\n1\n", "Invalid utf8mb4 character string: 'emoji",
         id="a column name beyond the Basic Multilingual Plane"),
]

# Output that loads, but reads back other than the input says.
CHANGED = [
    case("mysql", "at\n2024-01-15 10:30:00.987654\n", datetime.datetime(2024, 1, 15, 10, 30),
         id="fractions of a second in a DATETIME column are cut"),
    case("mysql", "d\n0000-00-00\n", "0000-00-00", id="the zero date is kept"),
    # DATETIME keeps no zone: a time with one goes in as the UTC time it stands for.
    case("mysql", "at\n2024-03-01T09:15:00Z\n", datetime.datetime(2024, 3, 1, 9, 15),
         id="a timestamp with the zone designator Z in a DATETIME column"),
    case("mysql", "at\n2024-03-01 09:15:00+02:00\n", datetime.datetime(2024, 3, 1, 7, 15),
         id="a timestamp with a zone offset in a DATETIME column"),
    case("mysql", "at\n2016-12-31T23:59:60Z\n", datetime.datetime(2017, 1, 1),
         id="a leap second with a zone in a DATETIME column, as the next minute"),
    case("sqlite", "d\n9999-99-99\n", "9999-99-99", id="a date-shaped text is text anyway"),
    case("sqlite", "k,v\n1,a\n,b\n", 2, "-k", "k",
         id="a null INTEGER key is given the next row id"),
    case("sqlite", "n\n5\nabc\n", "abc", id="text is kept in an INTEGER column"),
    case("sqlite", "x\n1.5\ninf\n", "inf", id="a non-finite float is kept as text in REAL"),
    case("sqlite", "x\n1.5\n1e999\n", math.inf, id="a float beyond the double range is infinity"),
    case("sqlite", "n\n5\n9223372036854775808\n", 9223372036854775808.0,
         id="an integer beyond 64 bits is a REAL"),
    *per_engine("n\n5\n2.5\n", {"postgres": 3, "mysql": 3},
                id="a later record's float in a BIGINT column is rounded"),
    case("sqlite", "n\n5\n2.5\n", 2.5, id="a later record's float in an INTEGER column is kept"),
    *per_engine("t\nabc\n007\n", {"postgres": "7", "sqlite": "7", "mysql": "7"},
                id="a later record's 007 in a TEXT column"),
    *per_engine("t\nabc\ntrue\n", {"postgres": "true", "sqlite": "1", "mysql": "1"},
                id="a later record's true in a TEXT column"),
    *per_engine("t\nabc\n1.50\n", {"postgres": "1.50", "sqlite": "1.5", "mysql": "1.50"},
                id="a later record's 1.50 in a TEXT column"),
    case("sqlite", 't\n"a\r\nb"\n', "a\nb", id="the sqlite3 shell reads CR LF in a text as LF"),
]


class TestRefused:
    @pytest.mark.parametrize("engine,input_format,text,options,error", REFUSED,
                             indirect=["engine"])
    def test_engine_error(self, engine, tmp_path, input_format, text, options, error):
        script = convert(tmp_path, text, input_format, engine.name, *options)
        with pytest.raises(LoadError, match=re.escape(error)):
            engine.load(script)


class TestReadBackDifferently:
    @pytest.mark.parametrize("engine,input_format,text,options,value", CHANGED,
                             indirect=["engine"])
    def test_last_value(self, engine, tmp_path, input_format, text, options, value):
        engine.load(convert(tmp_path, text, input_format, engine.name, *options))
        names, rows = engine.select_all("loaded")
        assert len(rows) == len(input_records(input_format, text))
        assert rows[-1][0] == value and type(rows[-1][0]) is type(value)

    @pytest.mark.parametrize("engine", ["postgres"], indirect=True)
    def test_postgres_cuts_names_beyond_63_bytes(self, engine, tmp_path):
        engine.load(convert(tmp_path, "x" * 70 + "\n1\n", "csv", engine.name))
        assert engine.select_all("loaded") == (["x" * 63], [(1,)])


class TestNonFiniteFloats:
    @pytest.mark.parametrize("first", ["1.5", "NaN", "-inf"])
    @pytest.mark.parametrize("engine", ["postgres"], indirect=True)
    def test_land_as_floats_in_double_precision(self, engine, tmp_path, first):
        values = ["inf", "-Infinity", "NaN", "+inf", "INFINITY", "-nan", "Infinity", "nan",
                  "-INF", " inf "]
        text = "x\n" + "\n".join([first, *values]) + "\n"
        engine.load(convert(tmp_path, text, "csv", engine.name))
        check_table(engine, "loaded", input_records("csv", text), {"x": float})
        assert sum(math.isnan(x) for (x,) in engine.query("SELECT x FROM loaded")) == (
            sum(value.strip().lower().endswith("nan") for value in [first, *values]))
