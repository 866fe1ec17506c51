"""The morvel command, run as users run it: a process with arguments, streams and a status."""

import os
import re
import resource
import select
import signal
import subprocess
import sys
import time

import pytest
from shared import MORVEL_COMMAND, UNDER_ASAN, on_terminal

HELP = """\
Turn raw data into ready-to-run SQL.
Usage: morvel [OPTIONS] [INPUT...]

Positionals:
  INPUT                       File to read, as with --input; several files and folders go into one table

Options:
  -i,--input <INPUT>          File to read (default: standard input)
  -o,--output <OUTPUT>        File to write (default: standard output)
  --to <URL>                  Load into the database at this URL instead of writing SQL
  -t,--table <TABLE> [default: morvel_table]
                              Table the statements fill
  --schema <NAME>             Schema the table is in (MySQL: database; SQLite: attached database)
  -f,--format <FORMAT> [default: csv] [possible values: csv, json]
                              Input format; json for a .json, .jsonl or .ndjson input file
  -d,--dialect <DIALECT> [default: postgres] [possible values: postgres, sqlite, mysql]
                              SQL dialect; postgresql, pg, sqlite3 and mariadb work too
  --create-table              Begin with CREATE TABLE IF NOT EXISTS, typed from the first record
  -k,--primary-key <COLUMNS>  Comma-separated key columns of the new table
  --auto-id                   Give the new table an auto-increment id column as its key
  --schema-from <RECORDS> [default: first] [possible values: first, all]
                              Type each column from the first record or from all of them
  --type <COLUMN=TYPE>        Give a column a type: text, integer, float, boolean, date, timestamp, uuid, json
  --null <WORD>               Read this word as NULL, e.g. NA (may be given more than once)
  --delimiter <C> [default: ,]
                              Byte between CSV fields: a byte, tab, whitespace, or auto (from the header)
  --tsv                       Read tab-separated values: --delimiter tab
  --comment <C>               Skip CSV lines starting with this byte, before and after the header
  --skip-lines <N>            Skip this many lines (a title, a preamble) before the CSV header
  --no-header                 Read the first CSV record as data, in columns column_1, column_2, ...
  --allow-short-rows          Fill the missing trailing fields of short CSV records with NULL
  --quote <C>                 Byte that quotes CSV fields instead of a double quote, e.g. '
  --json-path <KEYS>          Read JSON records from the array at these keys, e.g. data.items
  --fix-names                 Rename empty (column_N), repeated (name_2) and clashing CSV header names
  --row-names                 Read each CSV record's first field as a column row_names (R's row names)
  --encoding <NAME> [default: utf-8]
                              Decode the input from this encoding (iconv names: latin1, utf-16, ...)
  --batch-size <N> [default: 1]
                              Put up to N records in each INSERT, a row per line (1 to 100000)
  --transaction               Make the script all or nothing: BEGIN (START TRANSACTION) ... COMMIT
  --copy                      Write the rows as PostgreSQL COPY blocks, which psql loads fastest
  --on-conflict <ACTION> [default: error] [possible values: error, ignore, replace]
                              What a record whose key is taken does: fail, be skipped or replace
  --jobs <N>                  Threads that convert; one per processor unless given (1 to 256)
  --quiet                     Do not show the progress line on a terminal
  -h,--help                   Print this help message and exit
  -V,--version                Display program version information and exit

"""
USAGE_TAIL = "Usage: morvel [OPTIONS] [INPUT...]\nRun with --help for more information.\n"
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

    def test_usage_names_the_program_as_called(self, command, tmp_path):
        renamed = tmp_path / "morvel-x"
        renamed.symlink_to(command)
        expect(run(str(renamed), "--help"), stdout=HELP.replace("Usage: morvel", "Usage: morvel-x"))

    @pytest.mark.parametrize("flag", ["-V", "--version"])
    def test_version(self, command, flag):
        expect(run(command, flag), stdout="morvel 1.1.0\n")

    def test_the_command_starts_no_interpreter(self, command):
        # An interpreter cannot start without its standard library; the command does not need one.
        result = subprocess.run([command, "-V"], capture_output=True,
                                env={"PYTHONHOME": "/nonexistent", "PATH": os.environ["PATH"]})
        expect(result, stdout="morvel 1.1.0\n")

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
        (["-i", "a.csv", "b.csv"], "'--input <INPUT>' cannot be used with an INPUT argument"),
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
        (["--tsv", "--delimiter", ";"], "'--tsv' cannot be used with '--delimiter <C>'"),
        (["--delimiter", "ab"], "invalid delimiter 'ab': give one byte other than a double "
                                "quote, CR or LF, or tab, or auto"),
        (["--skip-lines", "-1"], "invalid value '-1' for '--skip-lines <N>' (a whole number "
                                 "from 0)"),
        (["--schema-from", "every"], "invalid value 'every' for '--schema-from <RECORDS>' "
                                     "(possible values: first, all)"),
        (["--encoding", "klingon"], "unknown encoding 'klingon' (for instance: utf-8, latin1, "
                                    "cp1252, utf-16, shift_jis, gb18030; `iconv -l` lists every "
                                    "name)"),
        (["-f", "json", "--no-header"], "the delimiter, comment, skip-lines, no-header and "
                                        "short-rows options are for CSV input, not JSON"),
        (["--null", "NA", "--null"], "a value is required for '--null <WORD>' but none was given"),
        (["--batch-size", "0"], "a batch holds 1 to 100000 records, not 0"),
        (["--copy", "--batch-size", "1"], "'--copy' cannot be used with '--batch-size <N>'"),
        (["--copy", "--on-conflict", "error"], "'--copy' cannot be used with '--on-conflict <ACTION>'"),
        (["--copy", "-d", "mariadb"], "COPY is PostgreSQL's: use it with the postgres dialect"),
        (["--on-conflict", "replace"], "replacing rows on conflict in PostgreSQL needs the key "
                                       "columns: create the table with a primary key"),
        (["--quote", "\n"], "invalid quote character '\n': give one byte other than CR or LF"),
        (["-f", "json", "--quote", "'"], "the quote option is for CSV input, not JSON"),
        (["--delimiter", "whitespace", "--quote", " "], "the quote character is the delimiter"),
        (["-f", "csv", "--json-path", "data"], "the JSON path option is for JSON input, not CSV"),
        (["--json-path", "data."], "invalid JSON path 'data.': give keys joined by dots, such as "
                                   "data.items"),
        (["--type", "zip"], "invalid value 'zip' for '--type <COLUMN=TYPE>' (give COLUMN=TYPE)"),
        (["--type", "zip=int"], "invalid type 'int' for column 'zip' (possible values: text, "
                                "integer, float, boolean, date, timestamp, uuid, json)"),
        (["--type", "a=text", "--type", "a=json"], "column 'a' is given a type twice"),
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

    def test_input_argument_and_json_by_its_name(self, command, tmp_path):
        (tmp_path / "events.JSONL").write_text('{"a": 1}\n')
        expected = 'INSERT INTO `morvel_table` (`a`) VALUES (1);\n'
        expect(run(command, "events.JSONL", "-d", "MariaDB", cwd=tmp_path), stdout=expected)
        expect(run(command, "-i", "events.JSONL", "-d", "mysql", cwd=tmp_path), stdout=expected)
        # A format given says how to read whatever the name: as CSV this is a header alone.
        expect(run(command, "events.JSONL", "-f", "csv", cwd=tmp_path))

    @pytest.mark.parametrize("text,args,warning", [
        ("zip\n02134\n", [], "column 'zip' holds '02134' in record 1, written as a number: the "
         "database keeps its value, not its text; use --schema-from all to keep such values as "
         "text"),
        ("id\n1\n12345678901234567890\n", [], "column 'id' holds '12345678901234567890' in "
         "record 2, an integer beyond 64 bits, written as a float: a float column keeps only its "
         "first 15 to 17 digits; use --schema-from all to keep every digit"),
        ('{"amount": 12345678901234567.89}\n{"amount": 1e-400}\n', ["-f", "json"],
         "column 'amount' holds '12345678901234567.89' in record 1, which a double cannot hold: "
         "it is written as 1.2345678901234568e+16; use --schema-from all to keep every digit"),
        ("a\nn/a\n72000.5\n", ["--create-table"], None),
    ])
    def test_warns_only_of_numbers_whose_text_changes(self, command, text, args, warning):
        result = run(command, *args, stdin=text)
        assert result.returncode == 0
        assert result.stderr.decode() == (f"morvel: warning: {warning}\n" if warning else "")

    @pytest.mark.parametrize("name,text,args,stdout", [
        ("in.csv", "a,b\n'x,y',\"z\"\n", ["--quote", "'"], "'x,y', '\"z\"'"),
        ("in.txt", " a    b\n\t1 \"x y\"  \n", ["--delimiter", "whitespace"], "1, 'x y'"),
        ("zone.tab", "a\tb\n1\t,\n", [], "1, ','"),
        ("zone.tab", "a,b\n1,2\n", ["--delimiter", ","], "1, 2"),
        # A JSON path reads JSON, whatever the name.
        ("api.txt", '{"data": [{"a": 1, "b": 2}]}', ["--json-path", "data"], "1, 2"),
    ])
    def test_reader_options(self, command, tmp_path, name, text, args, stdout):
        (tmp_path / name).write_text(text)
        expect(run(command, name, *args, cwd=tmp_path),
               stdout=f'INSERT INTO "morvel_table" ("a", "b") VALUES ({stdout});\n')

    def test_a_json_path_that_is_not_there(self, command):
        expect(run(command, "--json-path", "data.rows", stdin='{"data": [\n]}'),
               stderr="morvel: JSON path 'data.rows' not found: 'data' is an array, not an "
                      "object, at line 1 column 10\n", status=1)

    def test_real_file_options_and_warnings(self, command):
        text = "# source: a survey\nid;score;zip\n1;40;07030\n2;NA;N/A\n3;41.5\n"
        args = ["--comment", "#", "--delimiter", "auto", "--null", "NA", "--null", "N/A",
                "--allow-short-rows", "--create-table", "-t", "t"]
        result = run(command, *args, stdin=text)
        assert result.stdout.decode().splitlines()[-1] == \
            'INSERT INTO "t" ("id", "score", "zip") VALUES (3, 41.5, NULL);'
        assert result.stderr.decode() == (
            "morvel: warning: column 'zip' holds '07030' in record 1, written as a number: the "
            "database keeps its value, not its text; use --schema-from all to keep such values as "
            "text\n"
            "morvel: warning: column 'score' is BIGINT from the first record, but record 3 holds "
            "'41.5', which BIGINT cannot keep; use --schema-from all to type each column from "
            "every record\n"
            "morvel: warning: 1 record had fewer fields than the header; its missing fields are "
            "NULL\n")
        assert result.returncode == 0
        # Typed from every record, nothing is lost: only the padding is worth a word.
        result = run(command, *args, "--schema-from", "all", stdin=text)
        assert (result.stderr, result.returncode) == (
            b"morvel: warning: 1 record had fewer fields than the header; its missing fields "
            b"are NULL\n", 0)
        assert result.stdout.decode().startswith(
            'CREATE TABLE IF NOT EXISTS "t" (\n  "id" BIGINT,\n  "score" DOUBLE PRECISION,\n'
            '  "zip" TEXT\n);\n\nINSERT INTO "t" ("id", "score", "zip") VALUES (1, 40, '
            "'07030');\n")

    def test_dates_that_are_none_and_times_with_a_zone(self, command):
        text = "d,t\n2024-02-30,2024-03-01T09:15:00+02:00\n2024-02-31,2024-03-01 09:15:00.5Z\n"
        result = run(command, "-d", "mysql", "--create-table", "-t", "t", stdin=text)
        assert result.stdout.decode().splitlines()[-2:] == [
            "INSERT INTO `t` (`d`, `t`) VALUES ('2024-02-30', '2024-03-01 07:15:00');",
            "INSERT INTO `t` (`d`, `t`) VALUES ('2024-02-31', '2024-03-01 09:15:00.5');"]
        assert (result.stderr.decode(), result.returncode) == (
            "morvel: warning: column 'd' holds '2024-02-30' in record 1, shaped like a date but "
            "no real one, which a DATE column refuses; use --schema-from all to type each column "
            "from every record\n", 0)
        # Typed from every record, the dates are text and the times keep their fractions.
        result = run(command, "-d", "mysql", "--create-table", "-t", "t", "--schema-from", "all",
                     stdin=text)
        assert (result.stderr, result.returncode) == (b"", 0)
        assert result.stdout.decode().startswith(
            "CREATE TABLE IF NOT EXISTS `t` (\n  `d` TEXT,\n  `t` DATETIME(6)\n);\n")

    def test_schema_from_all_copies_json_keys_that_come_and_go_in_one_block(self, command):
        text = '{"b": 1}\n{"a": "x"}\n{"a": "y", "b": 2}\n'
        expect(run(command, "-f", "json", "-t", "t", "--copy", "--schema-from", "all",
                   stdin=text),
               stdout='COPY "t" ("a", "b") FROM stdin;\n\\N\t1\nx\t\\N\ny\t2\n\\.\n')

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


    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_repeated_keys_warn_once_per_name_on_any_number_of_threads(self, command, tmp_path,
                                                                       jobs):
        lines = ['{"a": %d, "b": "some words to make a long line"}' % i for i in range(300000)]
        lines[2] = '{"a": 1, "a": 2}'
        lines[200000] = '{"b": {"c": 1, "c": 2}, "b": 3}'
        lines[250000] = '{"c": 1, "c": 2}'
        lines[299999] = '{"a": 1, "a": 2}'
        (tmp_path / "in.jsonl").write_text("\n".join(lines))
        result = run(command, "in.jsonl", "-o", os.devnull, "--jobs", jobs, cwd=tmp_path)
        expect(result, stderr="".join(
            f"morvel: warning: record {record} repeats the key '{key}' in an object; the last "
            "value is kept\n" for record, key in [(3, "a"), (200001, "c"), (200001, "b")]))


ZIPS = 'zip,n,doc\n02134,1,"{""a"": [1]}"\n00501,2.5,[]\n'


class TestTypesAndSchema:
    @pytest.mark.parametrize("args,stdin,stdout", [
        (["-t", "t", "--create-table", "--type", "zip=text", "--type", "n=float", "--type",
          "doc=json"], ZIPS,
         'CREATE TABLE IF NOT EXISTS "t" (\n  "zip" TEXT,\n  "n" DOUBLE PRECISION,\n'
         '  "doc" JSONB\n);\n\n'
         'INSERT INTO "t" ("zip", "n", "doc") VALUES (\'02134\', 1, \'{"a": [1]}\');\n'
         'INSERT INTO "t" ("zip", "n", "doc") VALUES (\'00501\', 2.5, \'[]\');\n'),
        (["-t", "t", "--create-table", "-d", "mysql", "--schema", "s", "--type", "doc=json"],
         "doc\n{}\n",
         "CREATE TABLE IF NOT EXISTS `s`.`t` (\n  `doc` JSON\n);\n\n"
         "INSERT INTO `s`.`t` (`doc`) VALUES ('{}');\n"),
        (["-t", "a.b", "--schema", 'x"y', "--copy", "--type", "n=text"], "n\n007\n",
         'COPY "x""y"."a.b" ("n") FROM stdin;\n007\n\\.\n'),
        (["-t", "t", "-f", "json", "--type", "v=json", "--type", "w=text", "-d", "sqlite",
          "--create-table"], '{"v": {"b": [1, "x"]}, "w": 0.5}\n',
         'CREATE TABLE IF NOT EXISTS "t" (\n  "v" TEXT,\n  "w" TEXT\n);\n\n'
         'INSERT INTO "t" ("v", "w") VALUES (\'{"b":[1,"x"]}\', \'0.5\');\n'),
    ])
    def test_script(self, command, args, stdin, stdout):
        expect(run(command, *args, stdin=stdin), stdout=stdout)

    @pytest.mark.parametrize("args,stdin,stdout,message", [
        (["--type", "n=integer"], "n\n1\n1e3\n", 'INSERT INTO "t" ("n") VALUES (1);\n',
         "record 2 (line: 3, byte: 4): value '1e3' in column 'n' is not of type integer"),
        (["--type", "d=date", "--schema-from", "all"], "d\n2024-01-02\nsoon\n",
         'INSERT INTO "t" ("d") VALUES (\'2024-01-02\');\n',
         "record 2 (line: 3, byte: 13): value 'soon' in column 'd' is not of type date"),
        (["--type", "x=text"], "n\n1\n", "",
         "column 'x' given a type is not in the data (available columns: n)"),
    ])
    def test_a_value_of_another_type_stops_at_its_record(self, command, args, stdin, stdout,
                                                        message):
        expect(run(command, "-t", "t", *args, stdin=stdin), stdout=stdout,
               stderr=f"morvel: {message}\n", status=1)


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

    def test_exit_runs_the_callers_cleanup(self, tmp_path):
        # The status comes as SystemExit: finally blocks, atexit handlers and buffered files of
        # the calling script all run, and the process still ends with the command's status.
        kept = tmp_path / "kept.txt"
        code = ("import atexit, sys, morvel\n"
                "atexit.register(lambda: print('atexit'))\n"
                f"kept = open({str(kept)!r}, 'w')\nkept.write('buffered')\n"
                "sys.argv = ['morvel', '--auto-id']\n"
                "try:\n    morvel.cli_main()\n"
                "except SystemExit as e:\n    print('exit', e.code)\n    raise\n"
                "finally:\n    print('finally')\n")
        result = run_python(code)
        assert (result.stdout.decode(), result.returncode) == ("exit 2\nfinally\natexit\n", 2)
        assert kept.read_text() == "buffered"


def big_csv(path, megabytes):
    """A CSV file of about `megabytes` MB, written without holding it."""
    with open(path, "w") as f:
        f.write("id,name,score\n")
        block = "".join(f"{i},name {i},{i}.5\n" for i in range(20000))
        for _ in range(megabytes * 1024 * 1024 // len(block) + 1):
            f.write(block)
    return path


def big_jsonl(path, megabytes):
    """A JSON Lines file of about `megabytes` MB, written without holding it."""
    with open(path, "w") as f:
        block = "".join(f'{{"id": {i}, "name": "name {i}"}}\n' for i in range(20000))
        for _ in range(megabytes * 1024 * 1024 // len(block) + 1):
            f.write(block)
    return path


def bytes_read(pid):
    with open(f"/proc/{pid}/io") as io:
        return int(next(line for line in io if line.startswith("rchar:")).split()[1])


class TestSignalsAndPipes:
    @pytest.mark.parametrize("layout", [big_csv, big_jsonl])
    def test_a_file_cut_short_while_read_is_an_error_not_a_signal(self, command, tmp_path,
                                                                  layout):
        data = layout(tmp_path / "big", 300)
        size = data.stat().st_size
        process = subprocess.Popen(
            [command, str(data), "-f", "csv" if layout is big_csv else "json", "-o", os.devnull],
            stderr=subprocess.PIPE)
        # Cut once the conversion has surely begun reading it, far from its end.
        while bytes_read(process.pid) < 64 * 1024 * 1024:
            assert process.poll() is None, process.stderr.read()
        os.truncate(data, size // 2)
        _, stderr = process.communicate(timeout=60)
        assert process.returncode == 1, stderr
        assert re.fullmatch(rb"morvel: the input file shrank while it was read: it had %d bytes, "
                            rb"and ended after \d+\n" % size, stderr), stderr

    def test_ctrl_c_stops_the_command_with_130_and_no_traceback(self, command, tmp_path):
        data = big_csv(tmp_path / "big.csv", 300)
        out = tmp_path / "out.sql"
        process = subprocess.Popen([command, str(data), "-o", str(out)], stderr=subprocess.PIPE)
        # Interrupted once it has surely started converting: its first statements are out.
        while not out.exists() or out.stat().st_size == 0:
            assert process.poll() is None, process.stderr.read()
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
        assert (process.returncode, stderr) == (130, b"")
        # Stopped early: the whole script would be about twice the input.
        assert out.stat().st_size < data.stat().st_size

    def test_closed_pipe_ends_quietly_as_sigpipe_would(self, command, tmp_path):
        data = big_csv(tmp_path / "big.csv", 20)
        process = subprocess.Popen([command, str(data)], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        assert process.stdout.readline().startswith(b"INSERT INTO")
        process.stdout.close()
        assert (process.wait(timeout=60), process.stderr.read()) == (141, b"")

    def test_ctrl_c_stops_a_function_converting_in_memory(self):
        # Started only once the call is surely under way; finished, it would have returned
        # its result before the interrupt was raised.
        code = ("import morvel, sys\ndata = 'id,name\\n' + '1,Ann\\n' * 20_000_000\n"
                "result = None\nprint('go', flush=True)\n"
                "try:\n    result = morvel.convert_csv_to_sql(data)\n"
                "except KeyboardInterrupt:\n    print('stopped', result is None)\n")
        process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        assert process.stdout.readline() == b"go\n"
        time.sleep(0.1)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
        assert (stdout, stderr, process.returncode) == (b"stopped True\n", b"", 0)

    def test_ctrl_c_stops_a_function_waiting_for_its_input(self, tmp_path):
        # The file is a pipe that this test keeps open: without the interrupt the function
        # would wait for the rest of it for ever.
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        code = ("import morvel, sys\n"
                f"try:\n    morvel.convert_json_file_to_sql({str(fifo)!r})\n"
                "except KeyboardInterrupt:\n    print('stopped')\n")
        process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        with open(fifo, "w") as writer:
            writer.write('{"a": 1}\n')
            writer.flush()
            time.sleep(0.2)
            process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=30)
        assert (stdout, stderr, process.returncode) == (b"stopped\n", b"", 0)


def run_with(command, redirect, *args, stdin=""):
    """Runs the command with a shell redirection such as `<&-`, which closes standard input."""
    return subprocess.run(["sh", "-c", f'exec "$0" "$@" {redirect}', command, *args],
                          input=stdin.encode(), capture_output=True)


class TestClosedStandardStreams:
    @pytest.mark.parametrize("redirect,args,stderr", [
        ("<&-", [], "standard input is closed"),
        ("<&-", ["-f", "json"], "standard input is closed"),
        (">&-", [], "standard output is closed"),
        (">&-", ["--version"], "standard output is closed"),
        (">&- <&-", [], "standard input is closed"),
    ])
    def test_a_closed_stream_the_run_needs_is_named(self, command, redirect, args, stderr):
        expect(run_with(command, redirect, *args, stdin=CSV), stderr=f"morvel: {stderr}\n",
               status=1)

    @pytest.mark.parametrize("redirect", ["<&-", ">&-", "2>&-", "<&- >&- 2>&-"])
    def test_streams_the_run_does_not_need_may_be_closed(self, command, tmp_path, redirect):
        (tmp_path / "in.csv").write_text(CSV)
        expect(run_with(command, redirect, "-i", str(tmp_path / "in.csv"), "-o",
                        str(tmp_path / "out.sql")))
        assert (tmp_path / "out.sql").read_text() == INSERTS

    def test_a_closed_error_stream_takes_no_file_number(self, command, tmp_path):
        # The output would otherwise open as descriptor 2 and receive the warnings.
        result = run_with(command, "2>&-", "-o", str(tmp_path / "out.sql"), "--create-table",
                          stdin="a\n1\n1.5\n")
        assert result.returncode == 0
        assert b"warning" not in (tmp_path / "out.sql").read_bytes()

    def test_inside_python_the_stream_is_named_and_left_closed(self):
        code = ("import os, sys, morvel\nos.close(0)\nsys.argv = ['morvel']\n"
                "try:\n    morvel.cli_main()\nexcept SystemExit as e:\n    print(e.code)\n"
                "try:\n    os.fstat(0)\nexcept OSError as e:\n    print(e.errno)\n")
        expect(run_python(code), stdout="1\n9\n", stderr="morvel: standard input is closed\n")

    def test_a_file_function_lends_no_closed_number_to_its_output(self, tmp_path):
        # Another thread writing to the closed descriptor 1 must not write into the output, which
        # would take that number after the input took 0.
        (tmp_path / "in.csv").write_text("a,b\n" + "1,x\n" * 200000)
        code = ("import os, sys, threading, morvel\nos.close(0)\nos.close(1)\nstop = False\n"
                "def scribble():\n    while not stop:\n        try:\n"
                "            os.write(1, b'X')\n        except OSError:\n            pass\n"
                "thread = threading.Thread(target=scribble)\nthread.start()\n"
                f"morvel.convert_csv_file_to_sql({str(tmp_path / 'in.csv')!r}, "
                f"output={str(tmp_path / 'out.sql')!r})\n"
                "stop = True\nthread.join()\n")
        expect(run_python(code))
        assert b"X" not in (tmp_path / "out.sql").read_bytes()


class TestSlowStreams:
    @pytest.mark.parametrize("decoding", [[], ["--encoding", "latin1"]], ids=["utf8", "latin1"])
    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_each_statement_comes_out_as_its_line_arrives(self, command, jobs, decoding):
        process = subprocess.Popen([command, "-f", "json", "-t", "t", "--jobs", jobs, *decoding],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            for n in range(3):
                process.stdin.write(b'{"n": %d}\n' % n)
                process.stdin.flush()
                ready = select.select([process.stdout], [], [], 20)[0]
                assert ready, f"no statement for line {n + 1} while the input waits"
                assert process.stdout.readline() == b'INSERT INTO "t" ("n") VALUES (%d);\n' % n
        finally:
            process.stdin.close()
            assert process.wait(20) == 0

    @pytest.mark.parametrize("jobs", ["1", "2"])
    @pytest.mark.parametrize("args,first,rest,statements", [
        (["-f", "json"], b'{"a": 1}\n{"b": ', b"2}", [b'("a") VALUES (1)', b'("b") VALUES (2)']),
        ([], b"a\n1\n2", b"3", [b'("a") VALUES (1)', b'("a") VALUES (23)']),
    ], ids=["json", "csv"])
    def test_a_last_record_that_arrives_after_a_wait_is_kept(self, command, jobs, args, first,
                                                            rest, statements):
        # The stream waits within the last record, which then ends with the input, unended.
        process = subprocess.Popen([command, "-t", "t", "--jobs", jobs, *args],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        process.stdin.write(first)
        process.stdin.flush()
        time.sleep(0.3)
        process.stdin.write(rest)
        process.stdin.close()
        assert process.stdout.read() == b"".join(b'INSERT INTO "t" ' + statement + b";\n"
                                                 for statement in statements)
        assert process.wait(20) == 0


ONE_ARENA = {**os.environ, "MALLOC_ARENA_MAX": "1"}


def limited_to(megabytes):
    """A preexec_fn that caps the child's address space and the files it writes, so that a run
    that held or copied its input would fail for memory or file size instead of going on. Run the
    child with ONE_ARENA: each further thread's malloc arena reserves 64 MiB of address space it
    never uses, which would make the cap hit or miss with the threads' timing."""
    limit = megabytes * 1024 * 1024

    def limit_child():
        # Under AddressSanitizer the cap on files alone holds: its shadow memory takes terabytes
        # of address space, and the runs still show their outcomes.
        if not UNDER_ASAN:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return limit_child


class TestInvalidInputRefusedEarly:
    # Random bytes may begin with line ends, which count as lines before the failure.
    @pytest.mark.parametrize("args,stderr", [
        (["/dev/urandom"], r"morvel: CSV parse error: record 0 \(line \d+, field: "),
        (["-f", "json", "/dev/urandom"],
         r"morvel: stream did not contain valid UTF-8 at line \d+\n"),
        (["-f", "json", "/dev/zero"], r"morvel: expected value at line 1 column 1\n"),
    ], ids=["csv-random", "json-random", "json-zero"])
    def test_endless_devices_fail_in_bounded_memory(self, command, tmp_path, args, stderr):
        result = subprocess.run([command, "-t", "t", *args], capture_output=True, timeout=60,
                                env={**ONE_ARENA, "TMPDIR": str(tmp_path)},
                                preexec_fn=limited_to(64))
        assert (result.returncode, result.stdout) == (1, b"")
        assert re.match(stderr, result.stderr.decode(errors="replace"))

    @pytest.mark.parametrize("jobs", ["1", "2"])
    @pytest.mark.parametrize("head,unit,stderr", [
        # Invalid from its first bytes: refused while the writer still writes the line.
        (b'{"a": 1}\n{"b": ', b"\0", "expected value at line 2 column 7"),
        (b'{"a": 1}\n{"b": "', b"\xff", "stream did not contain valid UTF-8 at line 2"),
        (b'{"a": 1}\n [1, ', b"2, ", None),
    ], ids=["nul", "not-utf8", "valid"])
    def test_a_line_piped_without_end(self, command, jobs, head, unit, stderr):
        endless = unit * 65536
        process = subprocess.Popen([command, "-f", "json", "-t", "t", "--jobs", jobs],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=ONE_ARENA,
                                   preexec_fn=limited_to(256))
        # The line never ends while the command runs: an invalid one must end the run, and the
        # pipe with it, before 64 MiB of it came.
        is_refused_while_writing = False
        try:
            process.stdin.write(head)
            for _ in range(1024 if stderr else 16):
                process.stdin.write(endless)
                process.stdin.flush()
            if stderr is None:
                process.stdin.write(b"2]\n{\"c\": 3}\n")
            process.stdin.close()
        except BrokenPipeError:
            is_refused_while_writing = True
        stdout, errors = process.stdout.read(), process.stderr.read()
        process.wait(60)
        assert stdout.startswith(b'INSERT INTO "t" ("a") VALUES (1);\n')
        if stderr is None:
            assert (process.returncode, errors, stdout.count(b"\n")) == (0, b"", 2)
        else:
            assert (is_refused_while_writing, process.returncode,
                    errors.decode().splitlines()[0]) == (True, 1, f"morvel: {stderr}")

    def test_a_long_line_arriving_slowly_arrives_whole(self, command):
        value = "x" * (3 * 1024 * 1024)
        line = ('{"a": "%s"}\n' % value).encode()
        process = subprocess.Popen([command, "-f", "json", "-t", "t"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for at in range(0, len(line), 200_000):
            process.stdin.write(line[at:at + 200_000])
            process.stdin.flush()
            time.sleep(0.01)
        stdout, stderr = process.communicate(timeout=60)
        assert (process.returncode, stderr) == (0, b"")
        assert stdout == b'INSERT INTO "t" ("a") VALUES (\'%s\');\n' % value.encode()


class TestLargeJsonArray:
    """An array is checked whole before its first statement, then read again: neither reading
    may hold it, from a file or from a pipe (kept in a temporary file)."""
    ELEMENT = '{"id": 1, "name": "%s", "tags": ["a", "b"]},\n' % ("x" * 200)
    COUNT = 96 * 1024 * 1024 // len(ELEMENT)  # beyond the memory the run may have

    @pytest.fixture(scope="class")
    def large(self, tmp_path_factory):
        path = tmp_path_factory.mktemp("array") / "large.json"
        with open(path, "w") as out:
            out.write("[\n")
            out.writelines(self.ELEMENT for _ in range(self.COUNT))
            out.write('{"id": 2, "name": "last", "tags": []}\n]\n')
        return path

    @pytest.mark.parametrize("jobs", ["1", "2"])
    @pytest.mark.parametrize("shell", ['exec "$0" "$1" -t t --jobs "$2" -o "$3"',
                                       'cat "$1" | "$0" -f json -t t --jobs "$2" -o "$3"'],
                             ids=["file", "pipe"])
    @pytest.mark.skipif(UNDER_ASAN, reason="peak memory means nothing under AddressSanitizer")
    def test_converts_in_bounded_memory(self, command, large, tmp_path, jobs, shell):
        output = tmp_path / "out.sql"
        # A fresh, small interpreter runs the command and tells the peak resident memory of its
        # children; a limit on the address space would count what threads reserve and never use.
        peak = subprocess.run(
            [sys.executable, "-c", "import resource, subprocess, sys\n"
             "code = subprocess.run(['/bin/sh', '-c', *sys.argv[1:]]).returncode\n"
             "print(code, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)",
             shell, command, str(large), jobs, str(output)],
            capture_output=True, text=True, timeout=600, env={**os.environ, "TMPDIR": str(tmp_path)})
        code, kilobytes = map(int, peak.stdout.split())
        assert (code, kilobytes < 64 * 1024) == (0, True), kilobytes
        with open(output, "rb") as sql:
            assert sum(1 for _ in sql) == self.COUNT + 1
            sql.seek(-200, os.SEEK_END)
            assert sql.read().endswith(
                b"""INSERT INTO "t" ("id", "name", "tags") VALUES (2, 'last', '[]');\n""")


class TestProgressLine:
    RECORD = "1," + "x" * 1000 + "\n"
    COUNT = 64 * 1024 * 1024 // len(RECORD) + 1  # just over the size that gets a line
    # The last record does not fit the type --create-table takes from the first, hence a warning.
    SQL = ('INSERT INTO "morvel_table" ("n", "text") VALUES (1, \'' + "x" * 1000 + "');\n") * COUNT \
        + 'INSERT INTO "morvel_table" ("n", "text") VALUES (\'x\', \'y\');\n'
    # Each drawing goes back to the start of the line and clears its rest.
    DRAWINGS = rb"(\r(checking|converting) [^\r\x1b]+ of [^\r\x1b]+\x1b\[K)+"

    @pytest.fixture(scope="class")
    def large(self, tmp_path_factory):
        # Long records keep the conversion quick.
        path = tmp_path_factory.mktemp("progress") / "large.csv"
        path.write_text("n,text\n" + self.RECORD * self.COUNT + "x,y\n")
        return path

    @pytest.mark.parametrize("named", [True, False], ids=["named", "redirected"])
    def test_shows_on_a_terminal_and_is_erased_at_the_end(self, command, large, tmp_path, named):
        out = tmp_path / "out.sql"
        with open(large, "rb") as data, open(out, "wb") as sql:
            status, shown = on_terminal([command, *([str(large)] if named else [])],
                                        stdin=subprocess.DEVNULL if named else data, stdout=sql)
        assert status == 0 and re.fullmatch(self.DRAWINGS + rb"\r\x1b\[K", shown), shown[:300]
        assert out.read_text() == self.SQL

    def test_gives_way_to_a_warning(self, command, large):
        status, shown = on_terminal([command, "--create-table", str(large)], subprocess.DEVNULL,
                                    subprocess.DEVNULL)
        warning = rb"morvel: warning: column 'n' is BIGINT from the first record, [^\r\n]+\r\n"
        assert status == 0 and re.fullmatch(self.DRAWINGS + rb"\r\x1b\[K" + warning, shown), shown

    def test_quiet_turns_it_off(self, command, large, tmp_path):
        out = tmp_path / "out.sql"
        with open(out, "wb") as sql:
            assert on_terminal([command, "--quiet", str(large)], subprocess.DEVNULL, sql) == (0, b"")
        assert out.read_text() == self.SQL

    def test_never_reaches_a_pipe(self, command, large):
        expect(run(command, str(large)), stdout=self.SQL)


def latin1_csv(path, megabytes, encoding="latin1", tail=b""):
    """A CSV file of about `megabytes` MB of text with accents in `encoding`, then `tail`."""
    with open(path, "wb") as f:
        f.write("id,name\n".encode(encoding))
        block = "".join(f"{i},caf\xe9 {i}\n" for i in range(20000))
        # A byte-order mark only at the start of the file.
        block = block.encode("utf-16-le" if encoding == "utf-16" else encoding)
        for _ in range(megabytes * 1024 * 1024 // len(block) + 1):
            f.write(block)
        f.write(tail)
    return path


@pytest.fixture(scope="module")
def big_encoded(tmp_path_factory):
    """Large inputs that take seconds to decode: Latin-1, and UTF-16 that ends inside a
    character, so that a run that decodes to the end fails with status 1."""
    folder = tmp_path_factory.mktemp("encoded")
    return {"latin1": latin1_csv(folder / "latin1.csv", 300),
            "utf-16": latin1_csv(folder / "odd.csv", 300, "utf-16", b"x")}


class TestDecodedAsStream:
    @pytest.mark.parametrize("face", ["command", "python"])
    @pytest.mark.parametrize("encoding", ["latin1", "utf-16"])
    def test_ctrl_c_stops_the_decoding(self, command, big_encoded, tmp_path, face, encoding):
        data = big_encoded[encoding]
        if face == "command":
            args = [command, str(data), "--encoding", encoding, "-o", os.devnull]
        else:
            args = [sys.executable, "-c",
                    "import morvel, sys\ntry:\n    morvel.convert_csv_file_to_sql("
                    f"{str(data)!r}, encoding={encoding!r})\n"
                    "except KeyboardInterrupt:\n    print('stopped')\n"]
        process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # Interrupted while the first reading decodes the input, far from its end.
        while bytes_read(process.pid) < 32 * 1024 * 1024:
            assert process.poll() is None, process.stderr.read()
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
        expected = (b"", 130) if face == "command" else (b"stopped\n", 0)
        assert (stdout, stderr, process.returncode) == (expected[0], b"", expected[1])

    def test_a_large_input_decodes_in_bounded_memory(self, command, big_encoded):
        result = subprocess.run([command, str(big_encoded["latin1"]), "--encoding", "latin1",
                                 "-o", os.devnull], capture_output=True, env=ONE_ARENA,
                                preexec_fn=limited_to(128), timeout=120)
        assert (result.returncode, result.stderr) == (0, b"")

    # Each input puts the place named beyond the first pieces that are decoded, after characters
    # whose UTF-8 is longer than their bytes in the input.
    @pytest.mark.parametrize("piped", [False, True], ids=["file", "pipe"])
    @pytest.mark.parametrize("args,text,encoding,tail,message", [
        (["--encoding", "cp1252"], "a,b\n" + "".join(f"{i},caf\xe9\n" for i in range(40000)),
         "cp1252", b"x,\x81y\n1,2\n",
         "CSV error: record 40001 (line: 40002, byte: {end}): byte 0x81 at byte {end+2} is not "
         "valid cp1252"),
        (["--encoding", "utf-16"], "a,b\n" + "".join(f"{i},caf\xe9\n" for i in range(40000)),
         "utf-16", b"x",
         "CSV error: record 40001 (line: 40002, byte: {end}): the input ends inside a utf-16 "
         "character at byte {end}"),
        (["-f", "json", "--encoding", "cp1252"], '{"a": "\xe9"}\n' * 40000, "cp1252",
         b'{"a": "\x81"}\n',
         "stream did not contain valid cp1252 at line 40001 (byte 0x81 at byte {end+7} is not "
         "valid cp1252)"),
        (["-f", "json", "--encoding", "utf-16le"], '{"a": "\xe9"}\n' * 40000 + '{"\xe9": x}',
         "utf-16-le", b"", "expected value at line 40001 column 14"),
        (["-f", "json", "--encoding", "cp1252"], '{"a": "\xe9"}\n' * 40000 + '{"a": 1}\r{"\xe9"}',
         "cp1252", b"", "trailing characters at line 40002 column 1"),
    ], ids=["csv-invalid", "csv-cut", "json-invalid", "json-column", "json-lone-cr"])
    def test_positions_far_into_a_decoded_input(self, command, tmp_path, piped, args, text,
                                                encoding, tail, message):
        head = text.encode(encoding)
        path = tmp_path / "data"
        path.write_bytes(head + tail)
        if piped:
            with open(path, "rb") as stdin:
                result = subprocess.run([command, *args, "-o", os.devnull], stdin=stdin,
                                        capture_output=True)
        else:
            result = run(command, str(path), *args, "-o", os.devnull)
        end = len(head)
        expected = message.replace("{end+7}", str(end + 7)).replace("{end+2}", str(end + 2))
        expect(result, stderr=f"morvel: {expected.replace('{end}', str(end))}\n", status=1)
