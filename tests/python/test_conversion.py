import contextlib
import warnings

import morvel
import pytest
from shared import DIALECTS


@contextlib.contextmanager
def warnings_as_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


class TestOutput:
    def test_defaults(self):
        assert morvel.convert_csv_to_sql("id,name\n1,Ann\n2,O'Brien\n") == (
            'INSERT INTO "morvel_table" ("id", "name") VALUES (1, \'Ann\');\n'
            'INSERT INTO "morvel_table" ("id", "name") VALUES (2, \'O\'\'Brien\');\n'
        )

    @pytest.mark.parametrize("text", ["", "\n\n", "a,b\n", "\ufeff"])
    @pytest.mark.parametrize("create_table", [False, True])
    def test_no_records_give_empty_text(self, text, create_table):
        assert morvel.convert_csv_to_sql(text, create_table=create_table) == ""

    @pytest.mark.parametrize("dialect,expected", [
        ("postgres", 'CREATE TABLE IF NOT EXISTS "t" (\n  "id" BIGSERIAL PRIMARY KEY,\n'
                     '  "ok" BOOLEAN\n);\n\nINSERT INTO "t" ("ok") VALUES (TRUE);\n'),
        ("sqlite", 'CREATE TABLE IF NOT EXISTS "t" (\n  "id" INTEGER PRIMARY KEY AUTOINCREMENT,\n'
                   '  "ok" INTEGER\n);\n\nINSERT INTO "t" ("ok") VALUES (1);\n'),
        ("MySQL", "CREATE TABLE IF NOT EXISTS `t` (\n  `id` BIGINT AUTO_INCREMENT PRIMARY KEY,\n"
                  "  `ok` BOOLEAN\n);\n\nINSERT INTO `t` (`ok`) VALUES (TRUE);\n"),
        ("Postgresql", 'CREATE TABLE IF NOT EXISTS "t" (\n  "id" BIGSERIAL PRIMARY KEY,\n'
                       '  "ok" BOOLEAN\n);\n\nINSERT INTO "t" ("ok") VALUES (TRUE);\n'),
    ])
    def test_create_table_then_inserts(self, dialect, expected):
        assert morvel.convert_csv_to_sql("ok\ntrue\n", "t", True, dialect, auto_id=True) == expected

    @pytest.mark.parametrize("name,marker", [
        ("MariaDB", "`"), ("sqlite3", "1"), ("SQLite3", "1"), ("pg", "TRUE"), ("PG", "TRUE"),
    ])
    def test_dialect_aliases(self, name, marker, recwarn):
        sql = morvel.convert_csv_to_sql("ok\ntrue\n", "t", dialect=name)
        assert marker in sql and (marker == "`") == sql.startswith("INSERT INTO `t`")
        assert len(recwarn) == 0

    @pytest.mark.parametrize("name", ["oracle", "", " mysql", "postgres sql"])
    def test_unknown_dialect_means_postgres_and_warns(self, name):
        with pytest.warns(UserWarning) as warnings:
            sql = morvel.convert_csv_to_sql("ok\ntrue\n", "t", dialect=name)
        assert sql == 'INSERT INTO "t" ("ok") VALUES (TRUE);\n'
        assert [str(w.message) for w in warnings] == [
            f"unknown dialect '{name}': writing PostgreSQL (accepted names: postgres, sqlite, "
            "mysql, postgresql, pg, sqlite3, mariadb)"]
        assert warnings[0].filename == __file__

    def test_unknown_dialect_as_error(self):
        with warnings_as_errors(), pytest.raises(UserWarning) as error:
            morvel.convert_csv_to_sql("a\n1\n", dialect="oracle")
        assert error.value.__notes__ == ["while processing 'dialect'"]

    def test_mysql_backslashes_cannot_end_a_literal(self):
        sql = morvel.convert_csv_to_sql("p\nC:\\temp\\\n", "t", dialect="mysql")
        assert sql == "INSERT INTO `t` (`p`) VALUES ('C:\\\\temp\\\\');\n"

    def test_unicode_round_trips(self):
        sql = morvel.convert_csv_to_sql("名前,emoji\n日本,😀\n", "表")
        assert sql == 'INSERT INTO "表" ("名前", "emoji") VALUES (\'日本\', \'😀\');\n'

    # Large enough for the script to be built from many pieces, which end inside characters of
    # every width; the last record widens the text at the very end, or makes the input wider
    # than Latin-1 only from there.
    @pytest.mark.parametrize("letter,last", [("é", "é"), ("é", "€"), ("€", "😀"), ("😀", "e")])
    def test_long_texts_keep_every_character(self, letter, last):
        values = [f"{letter * (i % 50)}x{i}" for i in range(150_000)] + [last]
        sql = morvel.convert_csv_to_sql("v\n" + "\n".join(values) + "\n", "t")
        assert sql.splitlines() == [f"INSERT INTO \"t\" (\"v\") VALUES ('{v}');" for v in values]


class TestFailures:
    @pytest.mark.parametrize("kwargs,message", [
        ({"primary_key": "a", "auto_id": True}, "use either a primary key column or auto id, not both"),
        ({"primary_key": "a", "auto_id": True, "create_table": True},
         "use either a primary key column or auto id, not both"),
        ({"primary_key": " , "}, "primary key column list is empty"),
        ({"primary_key": "a"}, "primary_key / auto_id require create_table=True"),
        ({"auto_id": True}, "primary_key / auto_id require create_table=True"),
        ({"primary_key": "b", "create_table": True},
         "primary key column 'b' not found in data (available columns: a)"),
    ])
    def test_option_errors(self, kwargs, message):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_to_sql("a\n1\n", **kwargs)
        assert error.value.args == (message,)

    @pytest.mark.parametrize("kwargs,text,message", [
        ({"types": {"n": "integer"}}, "n\n1.5\n",
         "record 1 (line: 2, byte: 2): value '1.5' in column 'n' is not of type integer"),
        ({"types": {"n": "boolean"}}, "n\ntrue\n1\n",
         "record 2 (line: 3, byte: 7): value '1' in column 'n' is not of type boolean"),
        ({"types": {"n": "json"}}, "n\nabc\n",
         "record 1 (line: 2, byte: 2): value 'abc' in column 'n' is not of type json"),
        ({"types": {"x": "text"}}, "n\n1\n",
         "column 'x' given a type is not in the data (available columns: n)"),
        ({"types": {"n": "int"}}, "n\n1\n", "invalid type 'int' for column 'n' (possible values: "
         "text, integer, float, boolean, date, timestamp, uuid, json)"),
        ({"schema": ""}, "n\n1\n", "the schema name is empty"),
    ])
    def test_types_and_schema_refused(self, kwargs, text, message):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_to_sql(text, **kwargs)
        assert error.value.args == (message,)

    @pytest.mark.parametrize("types", [["n"], {"n": 1}, "n=text"])
    def test_types_is_a_mapping_of_texts(self, types):
        with pytest.raises(TypeError) as error:
            morvel.convert_csv_to_sql("n\n1\n", types=types)
        assert error.value.__notes__ == ["while processing 'types'"]

    def test_types_and_schema(self):
        assert morvel.convert_json_to_sql(
            '{"zip": "02134", "at": "2024-01-02", "v": [1, {"a": null}]}', "t", True, "postgres",
            schema="s", types={"zip": "text", "at": "timestamp", "v": "json"}) == (
            'CREATE TABLE IF NOT EXISTS "s"."t" (\n  "at" TIMESTAMPTZ,\n  "v" JSONB,\n'
            '  "zip" TEXT\n);\n\n'
            'INSERT INTO "s"."t" ("at", "v", "zip") VALUES (\'2024-01-02\', \'[1,{"a":null}]\', '
            "'02134');\n")

    def test_auto_id_taken_keeps_its_text_and_notes_the_parameter(self):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_to_sql("id\n1\n", create_table=True, auto_id=True)
        assert error.value.args == ("cannot add an auto id: the data already has a column named "
                                    "'id' (use --primary-key id instead)",)
        assert error.value.__notes__ == ['use primary_key="id" instead']

    def test_a_failing_third_record_raises_the_record_error(self):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_to_sql("a,b\n1,2\n3,4\n5\n")
        assert error.value.args == (
            "CSV error: record 3 (line: 4, byte: 12): found record with 1 fields, "
            "but the previous record has 2 fields",)

    def test_unbalanced_quotes(self):
        with pytest.raises(ValueError, match=r"^Malformed CSV: unbalanced quotes detected$"):
            morvel.convert_csv_to_sql('size\n5" screen\n')


class TestFiles:
    @pytest.mark.parametrize("function", [morvel.convert_csv_file_to_sql,
                                          morvel.convert_json_file_to_sql])
    @pytest.mark.parametrize("name,kind,number,description", [
        ("missing", FileNotFoundError, 2, "No such file or directory"),
        ("file/inside", NotADirectoryError, 20, "Not a directory"),
    ])
    def test_file_that_cannot_be_opened(self, tmp_path, function, name, kind, number,
                                        description):
        (tmp_path / "file").write_text("a\n1\n")
        path = str(tmp_path / name)
        with pytest.raises(kind) as error:
            # The file is opened before the options are checked.
            function(path, primary_key="a")
        # The class Python gives the number, yet the one argument and the text of before.
        assert error.value.args == (f"{description} (os error {number})",)
        assert str(error.value) == f"{description} (os error {number})"
        assert (error.value.errno, error.value.strerror, error.value.filename) == \
            (number, description, path)

    @pytest.mark.parametrize("function", [morvel.convert_csv_file_to_sql,
                                          morvel.convert_json_file_to_sql])
    def test_directory_fails_on_its_first_read(self, tmp_path, function):
        with pytest.raises(ValueError) as error:
            function(str(tmp_path))
        assert error.value.args == ("Is a directory (os error 21)",)

    @pytest.mark.parametrize("function", [morvel.convert_csv_file_to_sql,
                                          morvel.convert_json_file_to_sql])
    def test_path_with_nul_byte_is_refused(self, tmp_path, function):
        # The system would read the name only up to the NUL and open another file: here "a".
        (tmp_path / "a").write_text("a\n1\n")
        with pytest.raises(OSError) as error:
            function(str(tmp_path / "a\0b"))
        assert type(error.value) is OSError
        assert error.value.args == ("file name contains a NUL byte",)
        assert error.value.errno is None

    @pytest.mark.parametrize("dialect", DIALECTS)
    @pytest.mark.filterwarnings("ignore::morvel.DataWarning")
    def test_file_matches_its_text_and_the_stored_script(self, data_dir, dialect):
        path = data_dir / "people.csv"
        from_file = morvel.convert_csv_file_to_sql(str(path), "people", True, dialect, "id")
        assert from_file == morvel.convert_csv_to_sql(path.read_text(encoding="utf-8"), "people",
                                                      True, dialect, "id")
        assert from_file == (data_dir / f"people.{dialect}.sql").read_text(encoding="utf-8")


class TestRealFileOptions:
    def test_warns_of_what_the_first_record_table_loses(self):
        with pytest.warns(morvel.DataWarning) as caught:
            sql = morvel.convert_csv_to_sql("n\n40\n40.2\n", create_table=True)
        assert "VALUES (40.2)" in sql
        assert [str(w.message) for w in caught] == [
            "column 'n' is BIGINT from the first record, but record 2 holds '40.2', which BIGINT "
            "cannot keep; use schema_from=\"all\" to type each column from every record"]
        assert issubclass(morvel.DataWarning, UserWarning)
        with warnings_as_errors(), pytest.raises(morvel.DataWarning):
            morvel.convert_csv_to_sql("n\n40\n40.2\n", create_table=True)

    @pytest.mark.parametrize("text,warnings_expected", [
        ("zip\n+7\n", ["column 'zip' holds '+7' in record 1, written as a number: the database "
                        "keeps its value, not its text; use schema_from=\"all\" to keep such "
                        "values as text"]),
        ("id\n98765432109876543210\n", [
            "column 'id' holds '98765432109876543210' in record 1, an integer beyond 64 bits, "
            "written as a float: a float column keeps only its first 15 to 17 digits; use "
            "schema_from=\"all\" to keep every digit"]),
        ('{"id": 98765432109876543210}\n', [
            "column 'id' holds '98765432109876543210' in record 1, which a double cannot hold: "
            "it is written as 9.876543210987654e+19; use schema_from=\"all\" to keep every "
            "digit"]),
        ("a\nn/a\n72000.5\n", []),
    ])
    def test_warns_only_of_numbers_whose_text_changes(self, text, warnings_expected):
        convert = morvel.convert_json_to_sql if text.startswith("{") else \
            morvel.convert_csv_to_sql
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            sql = convert(text, create_table=True)
        assert [str(w.message) for w in caught] == warnings_expected
        with warnings_as_errors():
            exact = convert(text, create_table=True, schema_from="all")
        if warnings_expected:
            # Typed from every record, the value keeps its own text, in a column that keeps it.
            value = text.splitlines()[-1].split(":")[-1].strip(" }")
            assert value in exact and exact != sql

    @pytest.mark.parametrize("header,advice", [("a;b", 'delimiter=";"'), ("a\tb", "tsv=True"),
                                               ("a|b|c", 'delimiter="|"')])
    def test_a_header_of_one_column_suggests_the_parameter(self, header, advice):
        with pytest.warns(morvel.DataWarning) as caught:
            morvel.convert_csv_to_sql(header + "\n1\n")
        assert str(caught[0].message).endswith(f" separates the fields, use {advice}")

    def test_schema_from_every_record(self, recwarn):
        sql = morvel.convert_csv_to_sql("n;zip\n40;07030\n40.2;NA\n", create_table=True,
                                        schema_from="all", delimiter="auto", null_values=["NA"])
        assert sql == ('CREATE TABLE IF NOT EXISTS "morvel_table" (\n  "n" DOUBLE PRECISION,\n'
                       '  "zip" TEXT\n);\n\n'
                       'INSERT INTO "morvel_table" ("n", "zip") VALUES (40, \'07030\');\n'
                       'INSERT INTO "morvel_table" ("n", "zip") VALUES (40.2, NULL);\n')
        assert len(recwarn) == 0

    def test_warns_of_dates_that_are_none(self):
        with pytest.warns(morvel.DataWarning) as caught:
            sql = morvel.convert_csv_to_sql("d\n2024-01-31\n2024-02-30\n2024-02-31\n")
        assert "VALUES ('2024-02-30')" in sql
        assert [str(w.message) for w in caught] == [
            "column 'd' holds '2024-02-30' in record 2, shaped like a date but no real one, "
            "which a DATE column refuses; use schema_from=\"all\" to type each column from "
            "every record"]

    @pytest.mark.parametrize("schema_from,table,values", [
        ("first", "`t` DATETIME", ["'2024-03-01 07:15:00'", "'2016-12-31 23:59:60'"]),
        ("all", "`t` TEXT", ["'2024-03-01T09:15:00+02:00'", "'2016-12-31 23:59:60'"]),
    ])
    def test_mysql_datetime_columns_take_times_with_a_zone_in_utc(self, schema_from, table,
                                                                  values):
        sql = morvel.convert_csv_to_sql("t\n2024-03-01T09:15:00+02:00\n2016-12-31 23:59:60\n",
                                        create_table=True, dialect="mysql",
                                        schema_from=schema_from)
        assert f"\n  {table}\n" in sql
        assert [line[line.index("VALUES (") + 8:-2] for line in sql.splitlines()
                if line.startswith("INSERT")] == values

    def test_schema_from_all_gives_every_record_every_column(self):
        sql = morvel.convert_json_to_sql('{"b": 1}\n{"a": "x", "b": 2}\n', "t", schema_from="all",
                                         batch_size=10)
        assert sql == 'INSERT INTO "t" ("a", "b") VALUES\n(NULL, 1),\n(\'x\', 2);\n'

    def test_where_the_table_starts(self):
        text = "# made by hand\nTitle\n1\t2\n\n# a note\n3\t4\n"
        sql = morvel.convert_csv_to_sql(text, tsv=True, comment="#", skip_lines=2,
                                        no_header=True)
        assert sql == ('INSERT INTO "morvel_table" ("column_1", "column_2") VALUES (1, 2);\n'
                       'INSERT INTO "morvel_table" ("column_1", "column_2") VALUES (3, 4);\n')

    def test_short_rows_and_encoding_of_a_file(self, tmp_path):
        path = tmp_path / "latin.csv"
        path.write_bytes("name,town\nZoë\n".encode("latin-1"))
        with pytest.warns(morvel.DataWarning, match="^1 record had fewer fields"):
            sql = morvel.convert_csv_file_to_sql(str(path), encoding="latin1",
                                                 allow_short_rows=True)
        assert sql == 'INSERT INTO "morvel_table" ("name", "town") VALUES (\'Zoë\', NULL);\n'


class TestJsonEdges:
    @pytest.mark.parametrize("text", ['\ufeff[{"a": 1}]', ' \n\t[\n{"a": 1}\n]\n',
                                      '\ufeff{"a": 1}\n', '\ufeff\r\n [{"a": 1}]'])
    def test_a_mark_and_white_space_before_the_first_value(self, text, tmp_path):
        expected = 'INSERT INTO "morvel_table" ("a") VALUES (1);\n'
        assert morvel.convert_json_to_sql(text) == expected
        path = tmp_path / "in.json"
        path.write_text(text, encoding="utf-8")
        for encoding in ("utf-8", "latin1"):
            if encoding == "latin1" and "\ufeff" in text:
                continue  # the mark is no mark in Latin-1
            assert morvel.convert_json_file_to_sql(path, encoding=encoding) == expected

    def test_a_repeated_key_keeps_its_last_value_and_warns_once_per_name(self):
        text = '{"k": 1, "k": 2, "j": 0}\n{"k": 3, "k": 4}\n{"j": [{"j": 1, "j": 2}], "j": 5}\n'
        with pytest.warns(morvel.DataWarning) as caught:
            sql = morvel.convert_json_to_sql(text, "t")
        assert sql == ('INSERT INTO "t" ("j", "k") VALUES (0, 2);\n'
                       'INSERT INTO "t" ("k") VALUES (4);\n'
                       'INSERT INTO "t" ("j") VALUES (5);\n')
        assert [str(w.message) for w in caught] == [
            "record 1 repeats the key 'k' in an object; the last value is kept",
            "record 3 repeats the key 'j' in an object; the last value is kept"]

def inserts(*rows, columns=("a", "b")):
    names = ", ".join(f'"{name}"' for name in columns)
    return "".join(f'INSERT INTO "morvel_table" ({names}) VALUES ({row});\n' for row in rows)


class TestReaderOptions:
    @pytest.mark.parametrize("function,data,kwargs,expected", [
        (morvel.convert_csv_to_sql, "a,b\n'x,''y''',\"z\"\n", {"quote": "'"},
         inserts("'x,''y''', '\"z\"'")),
        (morvel.convert_csv_to_sql, "  a \t b\n\n 1  'x  y'  \n", {"delimiter": "whitespace",
                                                                 "quote": "'"},
         inserts("1, 'x  y'")),
        (morvel.convert_json_to_sql, '{"n": 1, "data": {"items": [{"a": 1, "b": "x"}]}}',
         {"json_path": "data.items"}, inserts("1, 'x'")),
    ])
    def test_reads_as_asked(self, function, data, kwargs, expected):
        assert function(data, **kwargs) == expected

    @pytest.mark.parametrize("name,kwargs,expected", [
        ("zone.tab", {}, inserts("1, 'x,y'", columns=("a", "b,c"))),
        ("zone.TSV", {}, inserts("1, 'x,y'", columns=("a", "b,c"))),
        ("zone.tsv", {"delimiter": ","}, inserts("'1\tx', 'y'", columns=("a\tb", "c"))),
        ("zone.txt", {}, inserts("'1\tx', 'y'", columns=("a\tb", "c"))),
    ])
    def test_a_file_named_tab_separated_is_read_so(self, tmp_path, name, kwargs, expected):
        path = tmp_path / name
        path.write_text("a\tb,c\n1\tx,y\n")
        assert morvel.convert_csv_file_to_sql(path, **kwargs) == expected
        # The statements one at a time read the name the same way.
        assert "".join(morvel.iter_csv_file_to_sql(path, **kwargs)) == expected

    @pytest.mark.parametrize("function,kwargs", [
        (morvel.convert_json_to_sql, {"quote": "'"}),
        (morvel.load_json, {"quote": "'"}),
        (morvel.convert_csv_to_sql, {"json_path": "data"}),
        (morvel.load_csv_file, {"json_path": "data"}),
    ])
    def test_each_format_takes_only_its_own(self, function, kwargs):
        leading = ["{}"] if function.__name__.startswith("convert") else ["{}", "sqlite:///x"]
        with pytest.raises(TypeError, match=f"unexpected keyword argument '{next(iter(kwargs))}'"):
            function(*leading, **kwargs)

    @pytest.mark.parametrize("function,data,kwargs,message", [
        (morvel.convert_json_to_sql, '{"data": {"list": []}}', {"json_path": "data.items"},
         "JSON path 'data.items' not found: 'data' has no key 'items', at line 1 column 10"),
        (morvel.convert_json_to_sql, '{"data": 5}', {"json_path": "data"},
         "JSON path 'data' is a number, not an array, at line 1 column 10"),
        (morvel.convert_json_to_sql, '{}', {"json_path": "a..b"},
         "invalid JSON path 'a..b': give keys joined by dots, such as data.items"),
        (morvel.convert_csv_to_sql, "a\n", {"quote": "ab"},
         "invalid quote character 'ab': give one byte other than CR or LF"),
        (morvel.convert_csv_to_sql, "a\n", {"quote": ";", "delimiter": ";"},
         "the quote character is the delimiter"),
    ])
    def test_refuses_what_it_cannot_read(self, function, data, kwargs, message):
        with pytest.raises(ValueError) as error:
            function(data, **kwargs)
        assert error.value.args == (message,)


def converted_with_warnings(text, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        sql = morvel.convert_csv_to_sql(text, **options)
    assert all(w.category is morvel.DataWarning for w in caught)
    return sql, [str(w.message) for w in caught]


class TestNamesAndHints:
    @pytest.mark.parametrize("text,options,columns,warned", [
        (",a\n1,2\n", {}, '"", "a"', "column 1 of the CSV header has no name, which PostgreSQL "
                                     "and MySQL refuse; use fix_names=True to name it column_1"),
        (",a\n1,2\n", {"dialect": "sqlite"}, '"", "a"', None),
        (",a\n1,2\n", {"fix_names": True}, '"column_1", "a"',
         "header names renamed: '' (column 1) to 'column_1'"),
        ("a,A\n1,2\n", {"dialect": "sqlite", "fix_names": True}, '"a", "A_2"',
         "header names renamed: 'A' (column 2) to 'A_2'"),
        ('"a"\n"r1",1\n', {"row_names": True}, '"row_names", "a"', None),
        (",a\nr1,1\n", {"row_names": True}, '"row_names", "a"', None),
        (",a\nr1,x,1\n", {"row_names": True, "fix_names": True}, '"row_names", "column_2", "a"',
         "header names renamed: '' (column 2) to 'column_2'"),
        ('{"a": 1}\n{"a": 2}\n', {}, '"{""a"": 1}"',
         "the CSV header begins with '{', as JSON Lines do: if the input is JSON Lines, use "
         "convert_json_to_sql (or its file and load variants)"),
    ])
    def test_header_names(self, text, options, columns, warned):
        sql, caught = converted_with_warnings(text, **options)
        assert sql.startswith(f'INSERT INTO "morvel_table" ({columns}) VALUES')
        assert caught == ([warned] if warned else [])

    @pytest.mark.parametrize("text,options,message,note", [
        ("a,A\n1,2\n", {"dialect": "mysql"}, "duplicate column name 'A' in CSV header", None),
        ("ID\n1\n", {"dialect": "sqlite", "create_table": True, "auto_id": True},
         "cannot add an auto id: the data already has a column named 'ID', which sqlite takes "
         "for 'id'", None),
        ('"a","b"\n"r1",1,2\n"r2",3,4\n', {},
         "CSV error: record 1 (line: 2, byte: 8): found record with 3 fields, but the previous "
         "record has 2 fields", "the first record has one field more than the header, as R "
         "writes row names: use row_names=True to read them into a column row_names"),
        ("Sales\nid,n\n1,2\n", {},
         "CSV error: record 1 (line: 2, byte: 6): found record with 2 fields, but the previous "
         "record has 1 fields",
         "one-field lines above the header look like a title: use skip_lines=1 to skip them"),
        ("a,b\r\n1,2,3\r\n", {},
         "CSV error: record 1 (line: 2, byte: 4): found record with 3 fields, but the previous "
         "record has 2 fields", "the first record has one field more than the header, as R "
         "writes row names: use row_names=True to read them into a column row_names"),
        ("a,b\r1,2\r3\r", {},
         "CSV error: record 2 (line: 3, byte: 8): found record with 1 fields, but the previous "
         "record has 2 fields", None),
        ('size\r5" screen\r', {}, "Malformed CSV: unbalanced quotes detected",
         "the quote at line 2, byte 6 is never closed"),
    ])
    def test_refusals_and_their_notes(self, text, options, message, note):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_to_sql(text, **options)
        assert error.value.args == (message,)
        assert getattr(error.value, "__notes__", []) == ([note] if note else [])

    @pytest.mark.parametrize("data,note", [
        (b"a\ncaf\xe9\n", 'the input is not UTF-8; if it is Latin-1, use encoding="latin1"'),
        (b"a\n\x93q\x94\n", 'the input is not UTF-8; if it is Windows-1252, use '
                            'encoding="cp1252"'),
        (b"a\n\x81\x40\n", 'the input is not UTF-8: name its encoding with encoding="NAME"'),
    ])
    def test_bytes_of_another_encoding(self, tmp_path, data, note):
        path = tmp_path / "in.csv"
        path.write_bytes(data)
        with pytest.raises(ValueError, match="^CSV parse error: record 1 ") as error:
            morvel.convert_csv_file_to_sql(path)
        assert error.value.__notes__ == [note]

    def test_names_are_fixed_in_csv_alone(self):
        with pytest.raises(ValueError, match="^the fix-names and row-names options are for CSV"):
            morvel.convert_json_to_sql('{"": 1}\n', row_names=True)
