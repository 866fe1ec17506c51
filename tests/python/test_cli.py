"""The morvel command, run as users run it: a process with arguments, streams and a status."""

import os
import subprocess
import sys

import pytest
from shared import MORVEL_COMMAND

HELP = """\
Turn raw data into ready-to-run SQL.
Usage: morvel [OPTIONS]

Options:
  -i,--input <INPUT>
  -o,--output <OUTPUT>
  -t,--table <TABLE> [default: morvel_table]
  -f,--format <FORMAT> [default: csv] [possible values: csv, json]
  -d,--dialect <DIALECT> [default: postgres] [possible values: postgres, sqlite, mysql]
  --create-table
  -k,--primary-key <COLUMNS>
  --auto-id
  -h,--help                   Print this help message and exit
  -V,--version                Display program version information and exit

"""
USAGE_TAIL = "Usage: morvel [OPTIONS]\nRun with --help for more information.\n"
CSV = "id,name\n1,Ann\n2,Bob\n"
INSERTS = ('INSERT INTO "morvel_table" ("id", "name") VALUES (1, \'Ann\');\n'
           'INSERT INTO "morvel_table" ("id", "name") VALUES (2, \'Bob\');\n')


@pytest.fixture(scope="module")
def command():
    assert MORVEL_COMMAND.exists(), \
        "the morvel command is installed with the module (scripts/setup)"
    return str(MORVEL_COMMAND)


def run(command, *args, stdin="", cwd=None):
    return subprocess.run([command, *args], input=stdin.encode(), capture_output=True, cwd=cwd)


def run_python(code, stdin=""):
    return subprocess.run([sys.executable, "-c", code], input=stdin.encode(), capture_output=True)


def expect(result, stdout="", stderr="", status=0):
    assert (result.stdout.decode(), result.stderr.decode(), result.returncode) == \
        (stdout, stderr, status)


class TestHelpAndVersion:
    @pytest.mark.parametrize("flag", ["-h", "--help"])
    def test_help(self, command, flag):
        expect(run(command, flag), stdout=HELP)

    @pytest.mark.parametrize("flag", ["-V", "--version"])
    def test_version(self, command, flag):
        expect(run(command, flag), stdout="morvel 1.1.0\n")

    def test_version_ends_the_calling_script(self):
        code = "import sys, morvel; sys.argv = ['morvel', '-V']; morvel.cli_main(); print('after')"
        expect(run_python(code), stdout="morvel 1.1.0\n")

    @pytest.mark.parametrize("args", [["-V"], []])
    def test_what_python_printed_comes_first(self, args):
        # Standard output is a pipe here, so Python holds its text in a buffer until flushed.
        code = ("import sys, morvel; print('before'); print('note', file=sys.stderr); "
                f"sys.argv = ['morvel', *{args!r}]; morvel.cli_main()")
        env = {key: value for key, value in os.environ.items() if key != "PYTHONUNBUFFERED"}
        result = subprocess.run([sys.executable, "-c", code], input=b"n\n1\n",
                                capture_output=True, env=env)
        expected = "morvel 1.1.0\n" if args else 'INSERT INTO "morvel_table" ("n") VALUES (1);\n'
        expect(result, stdout="before\n" + expected, stderr="note\n")


class TestUsageErrors:
    @pytest.mark.parametrize("args,message", [
        (["--verbose"], "unexpected argument '--verbose'"),
        (["data.csv"], "unexpected argument 'data.csv'"),
        (["--table"], "a value is required for '--table <TABLE>' but none was given"),
        (["--input", ""], "the file path given to '--input <INPUT>' is empty"),
        (["-o", ""], "the file path given to '--output <OUTPUT>' is empty"),
        (["--dialect", "oracle"],
         "invalid value 'oracle' for '--dialect <DIALECT>' (possible values: postgres, sqlite, mysql)"),
        (["--dialect", "MySQL"],
         "invalid value 'MySQL' for '--dialect <DIALECT>' (possible values: postgres, sqlite, mysql)"),
        (["--format", "JSON"],
         "invalid value 'JSON' for '--format <FORMAT>' (possible values: csv, json)"),
        (["--create-table", "--create-table"], "'--create-table' cannot be given more than once"),
        (["--create-table", "--auto-id=yes"], "the switch '--auto-id' takes no value but was given 'yes'"),
        (["-k", "id", "--auto-id", "--create-table"],
         "'--primary-key <COLUMNS>' cannot be used with '--auto-id'"),
        (["-k", "id", "--auto-id"], "'--primary-key <COLUMNS>' cannot be used with '--auto-id'"),
        (["--auto-id"], "'--auto-id' requires '--create-table'"),
    ])
    def test_status_two_and_nothing_created(self, command, tmp_path, args, message):
        output = [] if "-o" in args else ["-o", "out.sql"]
        result = run(command, *output, *args, cwd=tmp_path)
        expect(result, stderr=f"error: {message}\n{USAGE_TAIL}", status=2)
        assert list(tmp_path.iterdir()) == []


class TestConversion:
    def test_stdin_to_stdout_with_defaults(self, command):
        expect(run(command, stdin=CSV), stdout=INSERTS)

    def test_files_and_options(self, command, tmp_path):
        (tmp_path / "in.json").write_text('{"b": 2, "a": "x"}\n\n{"a": "y", "b": null}\n')
        expect(run(command, "-i", "in.json", "-o", "out.sql", "-f", "json", "-d", "mysql", "-t",
                   "t", "--create-table", "-k", "a", cwd=tmp_path))
        assert (tmp_path / "out.sql").read_text() == (
            "CREATE TABLE IF NOT EXISTS `t` (\n  `a` VARCHAR(255) NOT NULL,\n  `b` BIGINT,\n"
            "  PRIMARY KEY (`a`)\n);\n\n"
            "INSERT INTO `t` (`a`, `b`) VALUES ('x', 2);\n"
            "INSERT INTO `t` (`a`, `b`) VALUES ('y', NULL);\n")
        mask = os.umask(0)
        os.umask(mask)
        assert (tmp_path / "out.sql").stat().st_mode & 0o777 == 0o666 & ~mask

    def test_bad_tenth_record_keeps_nine_inserts(self, command):
        rows = "".join(f"{i},x\n" for i in range(1, 10)) + "10\n"
        result = run(command, "-t", "t", stdin="n,s\n" + rows)
        lines = result.stdout.decode().splitlines()
        assert len(lines) == 9 and lines[-1] == "INSERT INTO \"t\" (\"n\", \"s\") VALUES (9, 'x');"
        assert result.stderr.decode() == (
            "morvel: CSV error: record 10 (line: 11, byte: 40): found record with 1 fields, "
            "but the previous record has 2 fields\n")
        assert result.returncode == 1

    def test_missing_input_does_not_create_the_output(self, command, tmp_path):
        expect(run(command, "-i", "missing.csv", "-o", "out.sql", cwd=tmp_path),
               stderr="morvel: No such file or directory (os error 2)\n", status=1)
        assert not (tmp_path / "out.sql").exists()

    def test_dash_is_a_file_name(self, command, tmp_path):
        (tmp_path / "-").write_text(CSV)
        expect(run(command, "--input", "-", stdin="ignored\n", cwd=tmp_path), stdout=INSERTS)
        (tmp_path / "-").unlink()
        expect(run(command, "-o", "-", stdin=CSV, cwd=tmp_path))
        assert (tmp_path / "-").read_text() == INSERTS

    def test_output_naming_the_input_is_refused(self, command, tmp_path):
        data = tmp_path / "data.csv"
        data.write_text(CSV)
        refusal = f"morvel: input and output are the same file '{data}'\n"
        expect(run(command, "-i", str(data), "-o", str(data)), stderr=refusal, status=1)
        assert data.read_text() == CSV
        # Standard input from the file is the same file too.
        with data.open("rb") as stdin:
            result = subprocess.run([command, "-o", str(data)], stdin=stdin, capture_output=True)
        expect(result, stderr=refusal, status=1)
        assert data.read_text() == CSV

    def test_rejected_key_leaves_the_output_alone(self, command, tmp_path):
        out = tmp_path / "out.sql"
        out.write_text("precious")
        expect(run(command, "-o", str(out), "--create-table", "-k", "", stdin=CSV),
               stderr="morvel: primary key column list is empty\n", status=1)
        assert out.read_text() == "precious"
        expect(run(command, "-o", str(tmp_path / "new.sql"), "--create-table", "-k", " , ",
                   stdin=CSV), stderr="morvel: primary key column list is empty\n", status=1)
        assert not (tmp_path / "new.sql").exists()

    def test_key_missing_from_data(self, command):
        expect(run(command, "--create-table", "-k", "ID", stdin=CSV),
               stderr="morvel: primary key column 'ID' not found in data "
                      "(available columns: id, name)\n", status=1)


class TestInsideThePythonProcess:
    def test_argv_holding_only_the_program_path(self):
        expect(run_python("import sys, morvel; sys.argv = ['x']; print(morvel.cli_main())",
                          stdin=CSV), stdout=INSERTS + "None\n")

    def test_empty_argv_takes_every_default(self):
        expect(run_python("import sys, morvel; sys.argv = []; morvel.cli_main()", stdin=CSV),
               stdout=INSERTS)

    def test_argv_as_str_raises(self):
        code = ("import sys, morvel\nsys.argv = 'morvel -V'\ntry:\n    morvel.cli_main()\n"
                "except TypeError as e:\n    print(e)\n")
        expect(run_python(code), stdout="Can't extract `str` to `Vec`\n")

    def test_argv_items_must_be_texts(self):
        code = ("import sys, morvel\nsys.argv = ['morvel', 5]\ntry:\n    morvel.cli_main()\n"
                "except TypeError as e:\n    print(e)\n")
        expect(run_python(code), stdout="'int' object is not an instance of 'str'\n")

    def test_sql_goes_to_descriptor_one_when_sys_stdout_is_replaced(self):
        code = ("import io, sys, morvel\nsys.argv = ['morvel']\nsys.stdout = io.StringIO()\n"
                "morvel.cli_main()\nsys.stderr.write('captured:' + sys.stdout.getvalue())\n")
        expect(run_python(code, stdin=CSV), stdout=INSERTS, stderr="captured:")

    def test_python_output_is_flushed_before_the_process_ends(self):
        code = ("import sys, morvel\nprint('before', end='')\nsys.argv = ['morvel', '--auto-id']\n"
                "morvel.cli_main()\nprint('never')\n")
        result = run_python(code)
        assert (result.stdout.decode(), result.returncode) == ("before", 2)
