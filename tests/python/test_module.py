import inspect
import os
import shutil
import pathlib
import subprocess
import sys

import morvel
import pytest

CONVERTERS = [
    morvel.convert_csv_to_sql,
    morvel.convert_json_to_sql,
    morvel.convert_csv_file_to_sql,
    morvel.convert_json_file_to_sql,
]
FIRST_PARAMETER = {
    "convert_csv_to_sql": "csv_data",
    "convert_json_to_sql": "json_data",
    "convert_csv_file_to_sql": "path",
    "convert_json_file_to_sql": "path",
}


class TestModuleSurface:
    def test_all_lists_the_five_functions_in_order(self):
        assert morvel.__all__ == [
            "convert_csv_to_sql",
            "convert_json_to_sql",
            "convert_csv_file_to_sql",
            "convert_json_file_to_sql",
            "cli_main",
        ]
        assert morvel.__doc__ == ""

    @pytest.mark.parametrize("function", CONVERTERS, ids=lambda f: f.__name__)
    def test_signatures(self, function):
        first = FIRST_PARAMETER[function.__name__]
        assert function.__text_signature__ == (
            f'({first}, table_name="morvel_table", create_table=False, dialect="postgres", '
            "primary_key=None, auto_id=False)"
        )
        parameters = inspect.signature(function).parameters
        assert list(parameters) == [first, "table_name", "create_table", "dialect",
                                    "primary_key", "auto_id"]
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters.values())
        assert function.__doc__ is None
        assert function.__module__ == "morvel"

    def test_cli_main_signature(self):
        assert morvel.cli_main.__text_signature__ == "()"
        assert morvel.cli_main.__doc__ is None

    def test_panic_exception_is_not_an_exception(self):
        assert issubclass(morvel.PanicException, BaseException)
        assert not issubclass(morvel.PanicException, Exception)

    def test_only_the_init_function_is_exported(self):
        symbols = subprocess.run(
            ["nm", "-D", "--defined-only", morvel.__file__],
            capture_output=True, text=True, check=True,
        ).stdout.split()
        exported = [s for s in symbols if s.startswith("PyInit") or s[0] not in "0123456789"]
        exported = [s for s in exported if len(s) > 1]
        assert exported == ["PyInit_morvel"]
        assert morvel.__file__.endswith(".abi3.so")

    def test_imports_in_another_interpreter(self):
        # The stable ABI build is one file for every interpreter from 3.11 on: this one, and any
        # other CPython on PATH (a separately built one where the machine has it).
        this = os.path.realpath(sys.executable)
        candidates = [shutil.which("python3"), "/usr/bin/python3"]
        others = [c for c in candidates if c and os.path.realpath(c) != this]
        other = others[0] if others else sys.executable
        directory = str(pathlib.Path(morvel.__file__).parent)
        result = subprocess.run(
            [other, "-c", f"import sys; sys.path.insert(0, {directory!r}); import morvel; "
             "print(morvel.convert_csv_to_sql('a\\n1\\n'), end='')"],
            capture_output=True, text=True,
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout == 'INSERT INTO "morvel_table" ("a") VALUES (1);\n'
