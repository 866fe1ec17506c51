"""output=: the SQL streamed into a file or a file object instead of returned, and paths given
as os.PathLike or bytes."""

import io
import os
import pathlib
import subprocess
import sys
import textwrap

import morvel
import pytest
from shared import MORVEL_COMMAND, UNDER_ASAN, write_large_csv

CSV = "id,name\n1,Ann\n2,Bob\n"
JSON = '[{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bob"}]'
# The second record is short of a field: the first stands complete before the error.
BROKEN_CSV = "id,name\n1,Ann\n2\n"


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def convert(kind, data, tmp_path, **options):
    """Calls the function of `kind` ("csv", "json", "csv_file", "json_file") on `data`."""
    if kind.endswith("_file"):
        source = tmp_path / f"input.{kind[:-5]}"
        source.write_text(data)
        return getattr(morvel, f"convert_{kind[:-5]}_file_to_sql")(source, **options)
    return getattr(morvel, f"convert_{kind}_to_sql")(data, **options)


class TakesPart(io.RawIOBase):
    """A raw file that takes at most a few bytes per write, as a pipe or socket may."""

    def __init__(self):
        self.taken = bytearray()

    def writable(self):
        return True

    def write(self, data):
        self.taken += data[:7]
        return min(len(data), 7)


class TestOutput:
    @pytest.mark.parametrize("kind, data", [("csv", CSV), ("json", JSON), ("csv_file", CSV),
                                            ("json_file", JSON)])
    @pytest.mark.parametrize("target", ["str", "path", "bytes", "pathlike", "bytesio", "raw"])
    def test_every_target_gets_the_script_the_str_holds(self, tmp_path, kind, data, target):
        expected = convert(kind, data, tmp_path, create_table=True, copy=True)
        out = tmp_path / "out.sql"
        out.write_text("old content that is longer than the script " * 20)
        given = {"str": str(out), "path": out, "bytes": os.fsencode(out),
                 "pathlike": PathLike(str(out)), "bytesio": io.BytesIO(), "raw": TakesPart()}
        result = convert(kind, data, tmp_path, create_table=True, copy=True,
                         output=given[target])
        assert result is None
        written = {"bytesio": lambda: given["bytesio"].getvalue(),
                   "raw": lambda: bytes(given["raw"].taken)}.get(target, out.read_bytes)()
        assert written.decode() == expected

    def test_a_refused_option_leaves_the_output_file_alone(self, tmp_path):
        out = tmp_path / "out.sql"
        with pytest.raises(ValueError, match="primary_key / auto_id require create_table=True"):
            morvel.convert_csv_to_sql(CSV, auto_id=True, output=out)
        assert not out.exists()

    def test_the_input_file_is_not_the_output(self, tmp_path):
        source = tmp_path / "data.csv"
        source.write_text(CSV)
        with pytest.raises(ValueError, match=r"^input and output are the same file '.*data\.csv'$"):
            morvel.convert_csv_file_to_sql(source, output=source)
        assert source.read_text() == CSV

    @pytest.mark.parametrize("target", ["path", "bytesio"])
    def test_a_failure_leaves_what_the_command_leaves(self, tmp_path, target):
        source = tmp_path / "broken.csv"
        source.write_text(BROKEN_CSV)
        command = subprocess.run([MORVEL_COMMAND, "--input", source], capture_output=True)
        out = tmp_path / "out.sql"
        given = out if target == "path" else io.BytesIO()
        with pytest.raises(ValueError) as error:
            morvel.convert_csv_file_to_sql(source, output=given)
        assert command.stderr.decode() == f"morvel: {error.value}\n"
        written = out.read_bytes() if target == "path" else given.getvalue()
        assert written == command.stdout and written.startswith(b"INSERT")

    def test_the_file_objects_exception_propagates_unchanged(self):
        failure = OSError(28, "No space left on device")

        class Full:
            def __init__(self):
                self.calls = 0

            def write(self, data):
                self.calls += 1
                raise failure

        full = Full()
        with pytest.raises(OSError) as error:
            morvel.convert_csv_to_sql(CSV, output=full)
        assert error.value is failure and full.calls == 1

    @pytest.mark.parametrize("given, message", [
        (5, "'int' object is not an instance of 'str | bytes | os.PathLike | BinaryIO'"),
        (type("NotCallable", (), {"write": 1})(),
         "'NotCallable' object is not an instance of 'str | bytes | os.PathLike | BinaryIO'"),
    ])
    def test_other_outputs_are_refused(self, given, message):
        with pytest.raises(TypeError) as error:
            morvel.convert_csv_to_sql(CSV, output=given)
        assert str(error.value) == message
        assert error.value.__notes__ == ["while processing 'output'"]

    def test_an_output_that_cannot_be_opened_names_the_path_as_given(self, tmp_path):
        out = tmp_path / "missing" / "out.sql"
        with pytest.raises(FileNotFoundError) as error:
            morvel.convert_csv_to_sql(CSV, output=out)
        assert error.value.filename is out


class TestPaths:
    @pytest.mark.parametrize("form", [str, pathlib.Path, os.fsencode, PathLike])
    def test_each_form_of_path_reads_the_same_file(self, tmp_path, form):
        source = tmp_path / "data.csv"
        source.write_text(CSV)
        assert morvel.convert_csv_file_to_sql(form(str(source))) == \
            morvel.convert_csv_to_sql(CSV)

    def test_a_file_name_that_is_not_utf8_opens(self, tmp_path):
        source = os.path.join(os.fsencode(tmp_path), b"caf\xe9.csv")
        with open(source, "w") as file:
            file.write(CSV)
        expected = morvel.convert_csv_to_sql(CSV)
        assert morvel.convert_csv_file_to_sql(source) == expected
        assert morvel.convert_csv_file_to_sql(os.fsdecode(source)) == expected

    def test_a_missing_file_names_the_path_as_given(self, tmp_path):
        missing = pathlib.Path(tmp_path / "missing.csv")
        with pytest.raises(FileNotFoundError) as error:
            morvel.convert_json_file_to_sql(missing)
        assert error.value.filename is missing


@pytest.mark.skipif(UNDER_ASAN, reason="peak memory means nothing under AddressSanitizer")
def test_memory_stays_bounded_on_a_large_input(tmp_path):
    # In a child, so that the peak belongs to this conversion alone: 256 MB of CSV into a file
    # by path and through a file object's write, where a str would take gigabytes.
    source = tmp_path / "large.csv"
    write_large_csv(source, 256 * 1024 * 1024)
    script = textwrap.dedent(f"""
        import morvel, re
        morvel.convert_csv_file_to_sql({str(source)!r}, output={str(tmp_path / 'a.sql')!r})
        with open({str(tmp_path / 'b.sql')!r}, "wb") as out:
            morvel.convert_csv_file_to_sql({str(source)!r}, output=out)
        # Not getrusage: its peak carries over from the parent through exec.
        with open("/proc/self/status") as status:
            print(re.search(r"VmHWM:\\s+(\\d+) kB", status.read())[1])
    """)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True)
    peak_kib = int(child.stdout)
    assert peak_kib <= 64 * 1024, f"peak {peak_kib} KiB"
    assert (tmp_path / "a.sql").stat().st_size == (tmp_path / "b.sql").stat().st_size > \
        source.stat().st_size
