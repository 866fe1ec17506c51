import io
import pathlib
import sys

import morvel
import pytest

CSV = "a\n1\n"


def notes_of(error):
    return getattr(error.value, "__notes__", [])


class TestBinding:
    def test_missing_first_argument(self, converter, first):
        with pytest.raises(TypeError) as error:
            getattr(morvel, converter)()
        assert str(error.value) == \
            f"{converter}() missing 1 required positional argument: '{first}'"

    @pytest.mark.parametrize("count", [7, 9])
    def test_too_many_positional_arguments(self, count):
        with pytest.raises(TypeError) as error:
            morvel.convert_csv_to_sql(*([CSV] * count))
        assert str(error.value) == (
            f"convert_csv_to_sql() takes from 1 to 6 positional arguments but {count} were given"
        )

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError) as error:
            morvel.convert_json_to_sql("[]", table="t")
        assert str(error.value) == "convert_json_to_sql() got an unexpected keyword argument 'table'"

    def test_multiple_values(self):
        with pytest.raises(TypeError) as error:
            morvel.convert_csv_to_sql(CSV, "t", table_name="u")
        assert str(error.value) == "convert_csv_to_sql() got multiple values for argument 'table_name'"

    @pytest.mark.parametrize("args,kwargs,message", [
        ((CSV,), {}, "load_csv() missing 1 required positional argument: 'url'"),
        ((), {"url": "sqlite:///a.db"},
         "load_csv() missing 1 required positional argument: 'csv_data'"),
        ((CSV,) * 7, {}, "load_csv() takes from 2 to 6 positional arguments but 7 were given"),
        ((CSV, "sqlite:///a.db"), {"dialect": "sqlite"},
         "load_csv() got an unexpected keyword argument 'dialect'"),
        ((CSV, "sqlite:///a.db"), {"url": "sqlite:///b.db"},
         "load_csv() got multiple values for argument 'url'"),
    ])
    def test_load_binding(self, args, kwargs, message):
        with pytest.raises(TypeError) as error:
            morvel.load_csv(*args, **kwargs)
        assert str(error.value) == message

    def test_all_by_position_or_all_by_keyword(self):
        expected = 'CREATE TABLE IF NOT EXISTS `t` (\n  `a` BIGINT NOT NULL,\n  PRIMARY KEY (`a`)\n);\n\n' \
                   "INSERT INTO `t` (`a`) VALUES (1);\n"
        assert morvel.convert_csv_to_sql(CSV, "t", True, "mysql", "a", False) == expected
        assert morvel.convert_csv_to_sql(csv_data=CSV, table_name="t", create_table=True,
                                         dialect="mysql", primary_key="a", auto_id=False) == expected
        assert morvel.convert_csv_to_sql(CSV, primary_key=None) == morvel.convert_csv_to_sql(CSV)


class TestConversionOfArguments:
    @pytest.mark.parametrize("kwargs,parameter,message", [
        ({"csv_data": b"a\n1\n"}, "csv_data", "'bytes' object is not an instance of 'str'"),
        ({"csv_data": None}, "csv_data", "'None' is not an instance of 'str'"),
        ({"table_name": None}, "table_name", "'None' is not an instance of 'str'"),
        ({"table_name": 5}, "table_name", "'int' object is not an instance of 'str'"),
        ({"create_table": 1}, "create_table", "'int' object is not an instance of 'bool'"),
        ({"create_table": None}, "create_table", "'None' is not an instance of 'bool'"),
        ({"dialect": ["mysql"]}, "dialect", "'list' object is not an instance of 'str'"),
        ({"primary_key": 0}, "primary_key", "'int' object is not an instance of 'str'"),
        ({"auto_id": 0}, "auto_id", "'int' object is not an instance of 'bool'"),
        ({"auto_id": "yes"}, "auto_id", "'str' object is not an instance of 'bool'"),
        ({"null_values": "NA"}, "null_values", "'str' object is not an instance of 'Sequence[str]'"),
        ({"null_values": ["NA", 1]}, "null_values", "'int' object is not an instance of 'str'"),
        ({"skip_lines": True}, "skip_lines", "'bool' object is not an instance of 'int'"),
        ({"skip_lines": "1"}, "skip_lines", "'str' object is not an instance of 'int'"),
        ({"comment": 35}, "comment", "'int' object is not an instance of 'str'"),
        ({"tsv": 1}, "tsv", "'int' object is not an instance of 'bool'"),
    ])
    def test_wrong_types_name_type_and_parameter(self, kwargs, parameter, message):
        arguments = {"csv_data": CSV, **kwargs}
        with pytest.raises(TypeError) as error:
            morvel.convert_csv_to_sql(**arguments)
        assert str(error.value) == message
        assert notes_of(error) == [f"while processing '{parameter}'"]

    def test_paths_must_be_path_like(self):
        with pytest.raises(TypeError) as error:
            morvel.convert_csv_file_to_sql(5)
        assert str(error.value) == "'int' object is not an instance of 'str | bytes | os.PathLike'"
        assert notes_of(error) == ["while processing 'path'"]

    def test_qualified_type_name(self):
        class Outer:
            class Inner:
                pass
        with pytest.raises(TypeError, match=r"^'TestConversionOfArguments\.test_qualified_type_name"
                                            r"\.<locals>\.Outer\.Inner' object is not an instance"):
            morvel.convert_csv_to_sql(Outer.Inner())

    def test_only_the_first_bad_argument_is_reported(self):
        with pytest.raises(TypeError) as error:
            morvel.convert_csv_to_sql(b"", create_table=1)
        assert notes_of(error) == ["while processing 'csv_data'"]

    @pytest.mark.parametrize("parameter", ["csv_data", "table_name", "dialect", "primary_key"])
    def test_lone_surrogates_raise_the_interpreters_error(self, parameter):
        arguments = {"csv_data": CSV, parameter: "bad \udc80 text"}
        with pytest.raises(UnicodeEncodeError) as error:
            morvel.convert_csv_to_sql(**arguments)
        assert notes_of(error) == [f"while processing '{parameter}'"]

    def test_lone_surrogate_far_into_the_data_is_placed_from_the_start(self):
        # Megabytes, so that the str is encoded while its buffer's pages are mapped in ahead.
        text = "a\n" + "é\n" * 1_000_000 + "\udc80\n"
        with pytest.raises(UnicodeEncodeError) as expected:
            text.encode("utf-8")
        with pytest.raises(UnicodeEncodeError) as error:
            morvel.convert_csv_to_sql(text)
        assert str(error.value) == str(expected.value)
        assert error.value.start == 2_000_002
        assert notes_of(error) == ["while processing 'csv_data'"]

    def test_str_subclasses_are_accepted(self):
        class Text(str):
            pass
        assert morvel.convert_csv_to_sql(Text(CSV), Text("t"), dialect=Text("SQLite")) == \
            'INSERT INTO "t" ("a") VALUES (1);\n'

    def test_numpy_booleans_are_accepted(self):
        numpy = pytest.importorskip("numpy")
        sql = morvel.convert_csv_to_sql(CSV, "t", numpy.bool_(True), auto_id=numpy.bool_(True))
        assert sql.startswith('CREATE TABLE IF NOT EXISTS "t" (\n  "id" BIGSERIAL PRIMARY KEY,')
        assert morvel.convert_csv_to_sql(CSV, "t", numpy.bool_(False)) == \
            'INSERT INTO "t" ("a") VALUES (1);\n'


class TestOptionValues:
    @pytest.mark.parametrize("kwargs,parameter,message", [
        ({"schema_from": "some"}, "schema_from",
         "invalid schema source 'some' (possible values: first, all)"),
        ({"delimiter": ";;"}, "delimiter",
         "invalid delimiter ';;': give one byte other than a double quote, CR or LF, or tab, "
         "or auto"),
        ({"comment": '"'}, "comment",
         "invalid comment character '\"': give one byte other than a double quote, CR or LF"),
        ({"skip_lines": -1}, "skip_lines", "skip_lines must be a whole number from 0"),
        ({"encoding": "latin1"}, "encoding",
         "encoding is for the file functions: a str is already text"),
    ])
    def test_refused_values_name_the_parameter(self, kwargs, parameter, message):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_to_sql(CSV, **kwargs)
        assert str(error.value) == message
        assert notes_of(error) == [f"while processing '{parameter}'"]

    @pytest.mark.parametrize("kwargs,message", [
        ({"delimiter": ";", "tsv": True}, "tsv=True cannot be used with delimiter"),
        ({"copy": True, "batch_size": 5}, "copy=True cannot be used with batch_size"),
        ({"copy": True, "on_conflict": "ignore"}, "copy=True cannot be used with on_conflict"),
    ])
    def test_options_that_cannot_go_together(self, kwargs, message):
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_to_sql(CSV, **kwargs)
        assert error.value.args == (message,)

    def test_a_default_given_conflicts_with_nothing(self):
        sql = morvel.convert_csv_to_sql("a\tb\n1\t2\n", delimiter=",", tsv=True, copy=True,
                                        batch_size=1, on_conflict="error")
        assert sql == 'COPY "morvel_table" ("a", "b") FROM stdin;\n1\t2\n\\.\n'

    def test_unknown_encoding_of_a_file(self, tmp_path):
        (tmp_path / "in.csv").write_text(CSV)
        with pytest.raises(ValueError, match=r"^unknown encoding 'klingon' \(for instance: utf-8, "):
            morvel.convert_csv_file_to_sql(str(tmp_path / "in.csv"), encoding="klingon")

    @pytest.mark.parametrize("kwargs", [{"delimiter": ";"}, {"skip_lines": 1}, {"tsv": True},
                                        {"no_header": True}, {"comment": "#"}])
    def test_csv_options_are_refused_for_json(self, kwargs):
        with pytest.raises(ValueError, match="are for CSV input, not JSON$"):
            morvel.convert_json_to_sql("{}", **kwargs)


class TestReferences:
    def test_arguments_are_not_leaked(self, tmp_path):
        path = str(tmp_path / "in.csv")
        pathlib.Path(path).write_text(CSV)
        csv = "h\n" + "x" * 100 + "\n"
        table = "t" + "x" * 50
        key = "h"
        source, sink, out_path = pathlib.Path(path), io.BytesIO(), tmp_path / "out.sql"
        watched = (csv, table, key, path, source, sink, out_path)
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(100):
            morvel.convert_csv_to_sql(csv, table, True, "sqlite", key)
            morvel.convert_csv_file_to_sql(path, table_name=table)
            with pytest.raises(ValueError):
                morvel.convert_csv_to_sql(csv, table, False, "sqlite", key)
            with pytest.raises(TypeError):
                morvel.convert_csv_to_sql(csv, table, 1)
            morvel.convert_csv_to_sql(csv, table, null_values=[key], delimiter=";")
            with pytest.raises(TypeError):
                morvel.convert_csv_to_sql(csv, table, null_values=[key, 1])
            morvel.convert_csv_file_to_sql(source, output=sink)
            morvel.convert_csv_to_sql(csv, output=out_path)
            with pytest.raises(ValueError):
                morvel.convert_csv_file_to_sql(source, auto_id=True, output=sink)
        after = [sys.getrefcount(o) for o in watched]
        assert after == before
