import ast
import inspect
import json
import os
import pathlib
import re
import subprocess
import sys

import morvel
import pytest
from shared import FIRST_PARAMETERS, ITER_PARAMETERS, LOAD_PARAMETERS, MORVEL_COMMAND


# What an interpreter is: its binary and its installation (a virtual environment shares both
# with the interpreter it was made from), its implementation and its version.
IDENTITY = ("import json, os, platform, sys; print(json.dumps([os.path.realpath(sys.executable), "
            "os.path.realpath(sys.base_prefix), platform.python_implementation(), "
            "sys.version_info[:2]]))")


def identity(executable):
    try:
        done = subprocess.run([executable, "-c", IDENTITY], capture_output=True, text=True,
                              timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if done.returncode != 0:
        return None
    binary, prefix, implementation, version = json.loads(done.stdout)
    return (binary, prefix), implementation, tuple(version)


def other_cpython():
    """A CPython from 3.11 on that is not the one running the tests, or None. Paths alone cannot
    tell: a pyenv shim is a script, and a virtual environment links to its base interpreter."""
    this = (os.path.realpath(sys.executable), os.path.realpath(sys.base_prefix))
    directories = os.environ.get("PATH", "").split(os.pathsep) + ["/usr/local/bin", "/usr/bin"]
    candidates = []
    for directory in dict.fromkeys(filter(None, directories)):
        try:
            names = sorted(os.listdir(directory))
        except OSError:
            continue
        candidates += [os.path.join(directory, name) for name in names
                       if re.fullmatch(r"python3(\.\d+)?", name)]
    for candidate in dict.fromkeys(candidates):
        found = identity(candidate)
        if found and found[0] != this and found[1] == "CPython" and found[2] >= (3, 11):
            return candidate
    return None


def command_options():
    """The options `morvel --help` lists: long name -> (help line, default shown or None)."""
    lines = subprocess.run([str(MORVEL_COMMAND), "--help"], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    options = {}
    for at, line in enumerate(lines):
        match = re.match(r"  (?:-\w,)?--([\w-]+)(?: <[\w=]+>)?(?: \[default: ([^]]*)\])?"
                         r"(?: \[possible values: [^]]*\])?(?: +(\S.*))?$", line)
        if match:
            name, default, help_line = match.groups()
            options[name] = (help_line or lines[at + 1].strip(), default)
    return options


def own_options(function):
    """The signature's parameters for the options only its format reads."""
    return 'json_path=None, ' if "json" in function else 'quote="\\"", '


class TestModuleSurface:
    def test_all_lists_the_functions_in_order(self):
        assert morvel.__all__ == [
            "convert_csv_to_sql",
            "convert_json_to_sql",
            "convert_csv_file_to_sql",
            "convert_json_file_to_sql",
            "cli_main",
            "load_csv",
            "load_json",
            "load_csv_file",
            "load_json_file",
            "iter_csv_to_sql",
            "iter_json_to_sql",
            "iter_csv_file_to_sql",
            "iter_json_file_to_sql",
        ]
        assert morvel.__doc__.startswith("Turn raw data into ready-to-run SQL.\n")
        assert morvel.__version__ == "1.1.0"

    def test_signatures(self, converter, first):
        function = getattr(morvel, converter)
        assert function.__text_signature__ == (
            f'({first}, table_name="morvel_table", create_table=False, dialect="postgres", '
            'primary_key=None, auto_id=False, *, schema=None, schema_from="first", types=None, '
            'null_values=(), '
            'delimiter=",", tsv=False, comment=None, skip_lines=0, no_header=False, '
            f'allow_short_rows=False, {own_options(converter)}fix_names=False, row_names=False, '
            'encoding="utf-8", batch_size=1, transaction=False, copy=False, on_conflict="error", '
            'jobs=None, output=None)'
        )
        parameters = inspect.signature(function).parameters
        assert list(parameters)[:6] == [first, "table_name", "create_table", "dialect",
                                        "primary_key", "auto_id"]
        # The six of old by position or keyword, every later one by keyword alone.
        kinds = [p.kind for p in parameters.values()]
        assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 6 + \
            [inspect.Parameter.KEYWORD_ONLY] * (len(kinds) - 6)
        assert function.__module__ == "morvel"
        # The help after the signature speaks of every parameter, the result and the failures.
        for word in [first, *parameters, "Returns", "Raises", "ValueError", "TypeError"]:
            assert word in function.__doc__
        assert "OSError" in function.__doc__

    @pytest.mark.parametrize("name", ITER_PARAMETERS)
    def test_iter_signatures_are_the_conversions_without_output(self, name):
        converter = name.replace("iter_", "convert_")
        assert getattr(morvel, name).__text_signature__ == \
            getattr(morvel, converter).__text_signature__.replace(", output=None", "")
        for word in ["Returns", "Raises", "statement", "next()", "KeyboardInterrupt"]:
            assert word in getattr(morvel, name).__doc__

    def test_load_signatures(self, loader, first):
        function = getattr(morvel, loader)
        assert function.__text_signature__ == (
            f'({first}, url, table_name="morvel_table", create_table=False, primary_key=None, '
            'auto_id=False, *, schema=None, schema_from="first", types=None, null_values=(), '
            'delimiter=",", tsv=False, '
            'comment=None, skip_lines=0, no_header=False, allow_short_rows=False, '
            f'{own_options(loader)}fix_names=False, row_names=False, encoding="utf-8", '
            'on_conflict="error", jobs=None)')
        parameters = inspect.signature(function).parameters
        kinds = [p.kind for p in parameters.values()]
        assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 6 + \
            [inspect.Parameter.KEYWORD_ONLY] * (len(kinds) - 6)
        for word in [first, *parameters, "Returns", "Raises", "ValueError", "OSError"]:
            assert word in function.__doc__

    @pytest.mark.parametrize("function", [*FIRST_PARAMETERS, *LOAD_PARAMETERS, *ITER_PARAMETERS])
    def test_type_stub_has_the_functions_parameters(self, function):
        stub = ast.parse((pathlib.Path(__file__).parents[2] / "python" / "morvel.pyi").read_text())
        overloads = [node for node in stub.body
                     if isinstance(node, ast.FunctionDef) and node.name == function]
        # A conversion has two: without output, returning str; with it, returning None.
        assert len(overloads) == (2 if function in FIRST_PARAMETERS else 1)
        parameters = inspect.signature(getattr(morvel, function)).parameters
        # What the function refuses whatever its value is left out: encoding for a str, the
        # CSV options for JSON.
        first = {**FIRST_PARAMETERS, **LOAD_PARAMETERS, **ITER_PARAMETERS}[function]
        refused = set() if first == "path" else {"encoding"}
        if "json" in function:
            refused |= {"delimiter", "tsv", "comment", "skip_lines", "no_header",
                        "allow_short_rows", "fix_names", "row_names"}
        positional = [p for p in parameters.values()
                      if p.kind == inspect.Parameter.POSITIONAL_OR_KEYWORD]
        for definition in overloads:
            assert ast.get_docstring(definition)
            written = definition.args.args + definition.args.kwonlyargs
            defaults = [None] * (len(definition.args.args) - len(definition.args.defaults)) + \
                definition.args.defaults + definition.args.kw_defaults
            assert [argument.arg for argument in written] == \
                [name for name in parameters if name not in refused]
            assert len(definition.args.args) == len(positional)
            for argument, default in zip(written, defaults):
                if default is not None:
                    assert ast.literal_eval(default) == parameters[argument.arg].default

    def test_type_stub_passes_and_refuses_calls_as_written(self):
        # Each line of the sample that a checker must refuse says so; no other may be refused.
        pytest.importorskip("mypy")
        root = pathlib.Path(__file__).parents[2]
        sample = root / "tests" / "python" / "data" / "typed_calls.py"
        result = subprocess.run(
            [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
             "--hide-error-context", "--no-error-summary", str(sample)],
            env={**os.environ, "MYPYPATH": str(root / "python")}, capture_output=True, text=True)
        refused = {int(m[1]) for m in re.finditer(r":(\d+): error:", result.stdout)}
        marked = {number for number, line in enumerate(sample.read_text().splitlines(), 1)
                  if line.endswith("# refused")}
        assert refused == marked, result.stdout + result.stderr

    @pytest.mark.parametrize("name", [*FIRST_PARAMETERS, *LOAD_PARAMETERS, *ITER_PARAMETERS])
    def test_each_option_is_the_commands(self, name):
        # Both faces are made from one option table: the docstring lists each parameter after
        # the first (and a load's url) with its command-line name and help line, which the
        # command's help shows with the same default. The command alone has the rest; a load
        # has no use for the options that shape a script.
        function = getattr(morvel, name)
        listed = {m[1]: (m[2], m[3]) for m in
                  re.finditer(r"^(\w+) \(--([\w-]+)\)\n    (.*)$", function.__doc__, re.M)}
        parameters = inspect.signature(function).parameters
        loads = name in LOAD_PARAMETERS
        # After the leading parameters; a conversion's output= is the function's own.
        leading, trailing = (2, 0) if loads else (1, 0) if name in ITER_PARAMETERS else (1, 1)
        assert list(listed) == list(parameters)[leading:len(parameters) - trailing]
        command = command_options()
        script_only = {"dialect", "batch-size", "transaction", "copy"} if loads else set()
        # An option that only the other format reads is that format's functions' alone.
        other_format = {"quote"} if "json" in name else {"json-path"}
        assert set(command) - {name for name, _ in listed.values()} == \
            {"input", "output", "to", "format", "quiet", "help", "version", *script_only,
             *other_format}
        for name, (long_name, help_line) in listed.items():
            assert command[long_name][0] == help_line, name
            shown_default = command[long_name][1]
            if shown_default is not None:
                assert shown_default == str(parameters[name].default), name

    def test_cli_main_signature(self):
        assert morvel.cli_main.__text_signature__ == "()"
        assert "SystemExit" in morvel.cli_main.__doc__

    def test_version_is_the_commands(self):
        result = subprocess.run([sys.executable, "-c", "import sys, morvel; "
                                 "sys.argv = ['morvel', '-V']; morvel.cli_main()"],
                                capture_output=True, text=True)
        assert result.stdout == f"morvel {morvel.__version__}\n"

    def test_panic_exception_is_an_error_apart_from_value_error(self):
        assert issubclass(morvel.PanicException, Exception)
        assert not issubclass(morvel.PanicException, ValueError)

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
        # The stable ABI build is one file for every CPython from 3.11 on: this one, and another
        # installation on the machine (on PATH or the system's), which must really be another.
        other = other_cpython()
        if other is None:
            pytest.skip("no CPython 3.11+ other than the one running the tests was found")
        directory = str(pathlib.Path(morvel.__file__).parent)
        result = subprocess.run(
            [other, "-c", f"import sys; sys.path.insert(0, {directory!r}); import morvel; "
             f"assert morvel.__file__ == {morvel.__file__!r}, morvel.__file__; "
             "print(morvel.convert_csv_to_sql('a\\n1\\n'), end='')"],
            capture_output=True, text=True,
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout == 'INSERT INTO "morvel_table" ("a") VALUES (1);\n'


class TestEngineClientLibraries:
    @pytest.mark.parametrize("binary", ["module", "command"])
    def test_are_not_linked(self, binary):
        # They are opened when a load first needs them: linked, they cost every import and every
        # run of the command the relocation of libpq, libmariadb and their TLS dependencies.
        path = morvel.__file__ if binary == "module" else MORVEL_COMMAND
        needed = subprocess.run(["readelf", "-d", path], capture_output=True, text=True,
                                check=True).stdout
        linked = re.findall(r"\(NEEDED\)\s+Shared library: \[(\S+)\]", needed)
        assert "libc.so.6" in linked
        assert [name for name in linked if re.match(r"lib(pq|mariadb|sqlite3)\.", name)] == []

    @pytest.mark.parametrize("face", ["module", "command"])
    def test_one_that_does_not_fit_stops_the_load(self, tmp_path, face):
        # The loader looks in LD_LIBRARY_PATH first: SQLite's library under libpq's name has
        # none of libpq's functions.
        import sqlite3  # noqa: F401  (maps SQLite's library into this process)
        maps = pathlib.Path("/proc/self/maps").read_text()
        (tmp_path / "libpq.so.5").symlink_to(re.search(r"/\S*/libsqlite3\.so\.0\S*", maps)[0])
        env = {**os.environ, "LD_LIBRARY_PATH": str(tmp_path)}
        message = ("the PostgreSQL client library could not be loaded "
                   "(libpq.so.5: undefined symbol: PQclear)")
        hint = "install the package that provides libpq.so.5 (libpq5 on Debian)"
        if face == "command":
            result = subprocess.run([MORVEL_COMMAND, "--to", "postgresql:///none"], input="a\n1\n",
                                    capture_output=True, text=True, env=env)
            assert (result.returncode, result.stdout, result.stderr) == (
                1, "", f"morvel: {message}\nmorvel: hint: {hint}\n")
        else:
            code = ("import json, morvel\ntry: morvel.load_csv('a\\n1\\n', 'postgresql:///none')\n"
                    "except OSError as e: print(json.dumps([str(e), getattr(e, '__notes__', None)]))")
            result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                    env=env)
            assert json.loads(result.stdout) == [message, [hint]]
