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
