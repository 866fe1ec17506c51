"""Several input files, and folders of them, read as one input into one table: by the command
and by the file functions, checked against the one input their concatenation is."""

import sqlite3
import subprocess

import morvel
import pytest
from shared import MORVEL_COMMAND

HEADER = "id,name,score\n"
# Three files whose types disagree past the first record: the first file's schema is integers,
# the later files' records are not.
PARTS = ["1,Ann,10\n2,Bob,20\n", "3,Cy,2.5\n", "4,Di,high\n5,Ed,\n"]


def run(*args, cwd=None):
    return subprocess.run([MORVEL_COMMAND, *map(str, args)], capture_output=True, cwd=cwd)


@pytest.fixture
def inputs(tmp_path):
    """a.csv, then the folder logs/ holding b.csv and c.csv with files it must leave out: a
    hidden file, a subfolder."""
    (tmp_path / "a.csv").write_text(HEADER + PARTS[0])
    logs = tmp_path / "logs"
    (logs / "sub").mkdir(parents=True)
    (logs / "c.csv").write_text(HEADER + PARTS[2])
    (logs / "b.csv").write_text(HEADER + PARTS[1])
    (logs / ".hidden.csv").write_text("other,columns\n9,9\n")
    (logs / "sub" / "d.csv").write_text(HEADER + "6,Fay,1\n")
    (tmp_path / "whole.csv").write_text(HEADER + "".join(PARTS))
    return tmp_path


OPTION_SETS = [
    [],
    ["--create-table"],
    ["--create-table", "--schema-from", "all", "--transaction"],
    ["--create-table", "--batch-size", "2", "-d", "mysql"],
    ["--copy", "--schema-from", "all"],
    ["--create-table", "--jobs", "1"],
]


@pytest.mark.parametrize("options", OPTION_SETS, ids=" ".join)
def test_command_reads_files_and_folders_as_their_concatenation(inputs, options):
    many = run("a.csv", "logs", "-t", "events", *options, cwd=inputs)
    one = run("whole.csv", "-t", "events", *options, cwd=inputs)
    # The table typed by the first record cannot keep the whole input's third record, which is
    # logs/b.csv's first: the warning names that file and counts within it.
    warned = "--create-table" in options and "all" not in options
    assert one.stderr.count(b"morvel: warning: ") == warned
    warnings = one.stderr.decode().replace("morvel: warning: ", "morvel: warning: logs/b.csv: ")
    assert (many.stdout.decode(), many.stderr.decode(), many.returncode) == \
        (one.stdout.decode(), warnings.replace(" record 3 ", " record 1 "), 0)
    assert many.stdout.count(b"CREATE TABLE") == ("--create-table" in options)


def big_part(first, count):
    return "".join(f"{i},name {i},{i % 7}\n" for i in range(first, first + count))


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_parallel_conversion_across_files(tmp_path, jobs):
    # Inputs of several megabytes are cut into pieces read on other threads.
    parts = [big_part(0, 150_000), big_part(150_000, 120_000)]
    for name, part in zip(["x.csv", "y.csv"], parts):
        (tmp_path / name).write_text(HEADER + part)
    (tmp_path / "whole.csv").write_text(HEADER + "".join(parts))
    options = ["--create-table", "--schema-from", "all", "--jobs", jobs]
    many = run("x.csv", "y.csv", *options, cwd=tmp_path)
    one = run("whole.csv", *options, cwd=tmp_path)
    assert many.returncode == 0 and many.stdout == one.stdout


def test_tab_separated_by_name_per_file(tmp_path):
    (tmp_path / "a.csv").write_text("id,name\n1,Ann\n")
    (tmp_path / "b.tsv").write_text("id\tname\n2\tBob\n")
    (tmp_path / "c.json").write_text('{"id": 3, "name": "Cy"}\n')
    (tmp_path / "d.jsonl").write_text('{"id": 4, "name": "Di"}\n')
    csv = run("a.csv", "b.tsv", cwd=tmp_path)
    assert csv.returncode == 0, csv.stderr
    assert b"(2, 'Bob')" in csv.stdout
    # JSON by every name: no -f needed.
    json = run("c.json", "d.jsonl", cwd=tmp_path)
    assert json.returncode == 0 and b"(4, 'Di')" in json.stdout


@pytest.mark.parametrize("files,content,message", [
    (["a.csv", "b.csv"], "id,nome,score\n3,Cy,1\n",
     "morvel: b.csv: the CSV header differs from the first input's header\n"),
    (["a.csv", "b.csv"], HEADER + "3,Cy,1\n4,Di\n",
     "morvel: b.csv: CSV error: record 2 (line: 3, byte: 21): found record with 2 fields, "
     "but the previous record has 3 fields\n"),
    (["a.csv", "missing.csv"], None, "morvel: missing.csv: No such file or directory (os error 2)\n"),
    (["a.csv", "b.json"], '{"id": 3}\n',
     "morvel: the inputs mix formats: 'a.csv' is read as CSV and 'b.json' as JSON\n"
     "morvel: hint: read them all as one format with --format\n"),
    (["a.csv", "-"], None, "morvel: standard input ('-') cannot be one of several inputs\n"),
    (["empty"], None, "morvel: no input files\n"),
])
def test_command_refusals_name_the_file(tmp_path, files, content, message):
    (tmp_path / "a.csv").write_text(HEADER + "1,Ann,10\n")
    (tmp_path / "empty").mkdir()
    if content is not None:
        (tmp_path / files[1]).write_text(content)
    done = run(*files, cwd=tmp_path)
    assert (done.stderr.decode(), done.returncode) == (message, 1)


@pytest.mark.parametrize("output", ["a.csv", "logs/b.csv"])
def test_output_that_is_an_input_is_refused(inputs, output):
    before = (inputs / output).read_bytes()
    done = run("a.csv", "logs", "-o", output, cwd=inputs)
    assert (done.stderr.decode(), done.returncode) == \
        (f"morvel: input and output are the same file '{output}'\n", 1)
    assert (inputs / output).read_bytes() == before


def test_load_is_all_or_nothing_and_names_the_file(inputs):
    url = f"sqlite:///{inputs / 'db.sqlite'}"
    (inputs / "bad.csv").write_text(HEADER + "7,Gus,1\n8,Hal\n")
    done = run("a.csv", "bad.csv", "--to", url, "-t", "events", "--create-table", cwd=inputs)
    assert done.returncode == 1
    assert done.stderr.decode().startswith("morvel: bad.csv: CSV error: record 2 (line: 3,")
    done = run("a.csv", "logs", "--to", url, "-t", "events", "--create-table",
               "--schema-from", "all", cwd=inputs)
    assert (done.stderr, done.returncode) == (b"", 0)
    rows = sqlite3.connect(inputs / "db.sqlite").execute(
        "SELECT id, name, score FROM events ORDER BY id").fetchall()
    assert rows == [(1, "Ann", "10"), (2, "Bob", "20"), (3, "Cy", "2.5"), (4, "Di", "high"),
                    (5, "Ed", None)]


NO_HEADER_WIDTHS = [
    ("5,6,7\n", "found record with 3 fields, but the previous record has 2 fields"),
    ("5\n", "found record with 1 fields, but the previous record has 2 fields"),
]


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("second,message", NO_HEADER_WIDTHS)
def test_files_without_header_keep_the_first_files_width(tmp_path, jobs, second, message):
    (tmp_path / "a.csv").write_text("1,2\n3,4\n")
    (tmp_path / "b.csv").write_text(second)
    options = ["--no-header", "-t", "t", "--create-table", "--jobs", jobs]
    alone = run("a.csv", *options, cwd=tmp_path)
    done = run("a.csv", "b.csv", *options, cwd=tmp_path)
    assert (done.stdout, done.stderr.decode(), done.returncode) == (
        alone.stdout, f"morvel: b.csv: CSV error: record 1 (line: 1, byte: 0): {message}\n", 1)
    url = f"sqlite:///{tmp_path / 'db.sqlite'}"
    done = run("a.csv", "b.csv", *options, "--to", url, cwd=tmp_path)
    assert done.returncode == 1 and done.stderr.decode().startswith("morvel: b.csv: CSV error: ")
    tables = sqlite3.connect(tmp_path / "db.sqlite").execute("SELECT name FROM sqlite_master")
    assert tables.fetchall() == []
    # With short records allowed, each record has its own columns in any file, as in one input.
    (tmp_path / "whole.csv").write_text("1,2\n3,4\n" + second)
    ragged = ["--no-header", "--allow-short-rows", "--jobs", jobs]
    many = run("a.csv", "b.csv", *ragged, cwd=tmp_path)
    one = run("whole.csv", *ragged, cwd=tmp_path)
    assert (many.stdout, many.stderr, many.returncode) == (one.stdout, one.stderr, 0)


# Two files whose warnings concern the second: each names it and counts records within it.
WARNED = [
    (["id,score\n1,10\n2,20\n", "id,score\n3,4.5\n"], ["--create-table"],
     ["column 'score' is BIGINT from the first record, but record 1 holds '4.5', which BIGINT "
      "cannot keep; use --schema-from all to type each column from every record"]),
    (["zip\n1\n2\n", "zip\n3\n02134\n"], [],
     ["column 'zip' holds '02134' in record 2, written as a number: the database keeps its "
      "value, not its text; use --schema-from all to keep such values as text"]),
    (["id,n\n1,2\n", "id,n\n3\n4\n"], ["--allow-short-rows"],
     ["2 records had fewer fields than the header; their missing fields are NULL"]),
    (['{"a": 1}\n', '{"a": 1}\n{"a": 2, "a": 3}\n'], ["-f", "json"],
     ["record 2 repeats the key 'a' in an object; the last value is kept"]),
]


@pytest.mark.parametrize("parts,options,warnings", WARNED)
def test_warnings_name_their_file(tmp_path, parts, options, warnings):
    for name, part in zip(["a.csv", "b.csv"], parts):
        (tmp_path / name).write_text(part)
    done = run("a.csv", "b.csv", *options, cwd=tmp_path)
    assert (done.stderr.decode(), done.returncode) == \
        ("".join(f"morvel: warning: b.csv: {warning}\n" for warning in warnings), 0)


def test_header_warnings_come_for_each_file(tmp_path):
    for name in ["a.csv", "b.csv"]:
        (tmp_path / name).write_text(",x\n1,2\n")
    done = run("a.csv", "b.csv", "-d", "postgres", cwd=tmp_path)
    assert (done.stderr.decode(), done.returncode) == ("".join(
        f"morvel: warning: {name}: column 1 of the CSV header has no name, which PostgreSQL and "
        "MySQL refuse; use --fix-names to name it column_1\n" for name in ["a.csv", "b.csv"]), 0)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_load_warnings_name_the_file_of_their_row(tmp_path, jobs):
    # Rows wait before they go to the engine, so the first file's are sent while the second is
    # read: the warning still names the file and record of its row.
    (tmp_path / "a.csv").write_text("id,score\n1,10\n2,2.5\n")
    (tmp_path / "b.csv").write_text("id,score\n3,4\n")
    url = f"sqlite:///{tmp_path / 'db.sqlite'}"
    done = run("a.csv", "b.csv", "--to", url, "-t", "t", "--create-table", "--jobs", jobs,
               cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr.decode().startswith(
        "morvel: warning: a.csv: column 'score' is INTEGER from the first record, but record 2 "
        "holds '2.5'"), done.stderr


class TestPython:
    @pytest.mark.parametrize("options", [{}, {"create_table": True, "schema_from": "all"}])
    def test_a_list_of_paths_is_one_input(self, inputs, options):
        paths = [str(inputs / "a.csv"), inputs / "logs"]
        whole = morvel.convert_csv_file_to_sql(str(inputs / "whole.csv"), "t", **options)
        assert morvel.convert_csv_file_to_sql(paths, "t", **options) == whole
        assert morvel.convert_csv_file_to_sql(tuple(paths), "t", **options) == whole

    def test_json_files(self, tmp_path):
        (tmp_path / "a.jsonl").write_text('{"id": 1}\n')
        (tmp_path / "b.jsonl").write_text('{"id": 2, "tag": "x"}\n')
        sql = morvel.convert_json_file_to_sql([tmp_path / "a.jsonl", tmp_path / "b.jsonl"], "t",
                                              schema_from="all", create_table=True)
        assert sql == morvel.convert_json_to_sql('{"id": 1}\n{"id": 2, "tag": "x"}\n', "t",
                                                 schema_from="all", create_table=True)

    def test_errors_note_the_file(self, inputs):
        bad = inputs / "bad.csv"
        bad.write_text("id,other\n1,2\n")
        with pytest.raises(ValueError) as raised:
            morvel.convert_csv_file_to_sql([inputs / "a.csv", bad], "t")
        assert str(raised.value) == "the CSV header differs from the first input's header"
        assert raised.value.__notes__ == [f"in the input file '{bad}'"]
        with pytest.raises(FileNotFoundError) as missing:
            morvel.convert_csv_file_to_sql([inputs / "a.csv", inputs / "none.csv"], "t")
        assert missing.value.filename == str(inputs / "none.csv")
        with pytest.raises(TypeError):
            morvel.convert_csv_file_to_sql([inputs / "a.csv", 3], "t")
        with pytest.raises(ValueError, match="input and output are the same file"):
            morvel.convert_csv_file_to_sql([inputs / "a.csv", inputs / "logs"], "t",
                                           output=inputs / "logs" / "c.csv")
        with pytest.raises(ValueError, match="no input files"):
            morvel.convert_csv_file_to_sql([], "t")

    def test_load_many_all_or_nothing(self, inputs):
        url = f"sqlite:///{inputs / 'db.sqlite'}"
        bad = inputs / "bad.csv"
        bad.write_text(HEADER + "7,Gus,1\n8,Hal\n")
        with pytest.raises(ValueError) as raised:
            morvel.load_csv_file([inputs / "a.csv", bad], url, "events", True)
        assert raised.value.__notes__[0] == f"in the input file '{bad}'"
        assert morvel.load_csv_file([inputs / "a.csv", inputs / "logs"], url, "events", True,
                                    schema_from="all") == 5

    @pytest.mark.parametrize("function", ["convert", "load"])
    def test_warnings_name_their_file(self, tmp_path, function):
        paths = [tmp_path / "a.csv", tmp_path / "b.csv"]
        paths[0].write_text("id,score\n1,10\n2,20\n")
        paths[1].write_text("id,score\n3,4.5\n")
        with pytest.warns(morvel.DataWarning) as caught:
            if function == "convert":
                morvel.convert_csv_file_to_sql(paths, "t", create_table=True)
            else:
                morvel.load_csv_file(paths, f"sqlite:///{tmp_path / 'db.sqlite'}", "t", True)
        integer = "BIGINT" if function == "convert" else "INTEGER"
        assert [str(warning.message) for warning in caught] == [
            f"{paths[1]}: column 'score' is {integer} from the first record, but record 1 holds "
            f"'4.5', which {integer} cannot keep; use schema_from=\"all\" to type each column "
            "from every record"]

    def test_files_without_header_keep_the_first_files_width(self, tmp_path):
        paths = [tmp_path / "a.csv", tmp_path / "b.csv"]
        paths[0].write_text("1,2\n")
        paths[1].write_text("5,6,7\n")
        with pytest.raises(ValueError) as raised:
            morvel.convert_csv_file_to_sql(paths, "t", no_header=True)
        assert str(raised.value) == ("CSV error: record 1 (line: 1, byte: 0): " +
                                     NO_HEADER_WIDTHS[0][1])
        assert raised.value.__notes__ == [f"in the input file '{paths[1]}'"]

    def test_iterators_take_one_path(self, inputs):
        with pytest.raises(TypeError):
            morvel.iter_csv_file_to_sql([inputs / "a.csv"], "t")
