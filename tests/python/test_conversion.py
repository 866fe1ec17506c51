import morvel
import pytest
from shared import DIALECTS


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

    def test_mysql_backslashes_cannot_end_a_literal(self):
        sql = morvel.convert_csv_to_sql("p\nC:\\temp\\\n", "t", dialect="mysql")
        assert sql == "INSERT INTO `t` (`p`) VALUES ('C:\\\\temp\\\\');\n"

    def test_unicode_round_trips(self):
        sql = morvel.convert_csv_to_sql("名前,emoji\n日本,😀\n", "表")
        assert sql == 'INSERT INTO "表" ("名前", "emoji") VALUES (\'日本\', \'😀\');\n'


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
    def test_missing_file_is_a_plain_oserror(self, tmp_path, function):
        with pytest.raises(OSError) as error:
            # The file is opened before the options are checked.
            function(str(tmp_path / "missing"), primary_key="a")
        assert type(error.value) is OSError
        assert error.value.args == ("No such file or directory (os error 2)",)
        assert error.value.errno is None and error.value.strerror is None

    def test_directory(self, tmp_path):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_file_to_sql(str(tmp_path))
        assert error.value.args == ("Is a directory (os error 21)",)
        # The JSON reader treats a first read that fails as empty input.
        assert morvel.convert_json_file_to_sql(str(tmp_path)) == ""

    @pytest.mark.parametrize("function", [morvel.convert_csv_file_to_sql,
                                          morvel.convert_json_file_to_sql])
    def test_path_with_nul_byte_is_refused(self, tmp_path, function):
        # The system would read the name only up to the NUL and open another file: here "a".
        (tmp_path / "a").write_text("a\n1\n")
        with pytest.raises(OSError) as error:
            function(str(tmp_path / "a\0b"))
        assert type(error.value) is OSError
        assert error.value.args == ("file name contains a NUL byte",)

    @pytest.mark.parametrize("dialect", DIALECTS)
    def test_file_matches_its_text_and_the_stored_script(self, data_dir, dialect):
        path = data_dir / "people.csv"
        from_file = morvel.convert_csv_file_to_sql(str(path), "people", True, dialect, "id")
        assert from_file == morvel.convert_csv_to_sql(path.read_text(encoding="utf-8"), "people",
                                                      True, dialect, "id")
        assert from_file == (data_dir / f"people.{dialect}.sql").read_text(encoding="utf-8")
