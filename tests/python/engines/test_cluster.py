"""morvel_dask on a real two-process Dask cluster, into each engine the suite starts."""

import json
import os

import distributed
import morvel_dask
import pytest


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


def write_csv(path, rows, header="id,v"):
    path.write_text(header + "\n" + "".join(f"{','.join(map(str, row))}\n" for row in rows))
    return path


def assert_clean(engine, tmp_path, table):
    """Only the target is left: no staging table, no staging file beside a SQLite target."""
    assert engine.tables() <= {table}
    assert not [name for name in os.listdir(tmp_path) if name.endswith((".stage", "-journal"))]


def test_many_small_files(engine, client, tmp_path):
    paths = [write_csv(tmp_path / f"day{i:02d}.csv", [(i * 10 + j, f"x{i}-{j}") for j in range(7)])
             for i in range(12)]
    loaded = morvel_dask.load_files(paths, engine.url, "events", create_table=True,
                                    primary_key="id")
    assert loaded == 84
    _, rows = engine.select_all("events")
    assert sorted(rows) == [(i * 10 + j, f"x{i}-{j}") for i in range(12) for j in range(7)]
    assert engine.primary_key("events") == ["id"]
    assert_clean(engine, tmp_path, "events")


@pytest.mark.parametrize("file_format", ["csv", "json"])
def test_large_file_cut_in_ranges(engine, client, tmp_path, file_format):
    records = [(n, f"line {n}\nwith \"quotes\", commas" if n % 3 else f"plain {n}")
               for n in range(600)]
    if file_format == "csv":
        path = tmp_path / "big.csv"
        path.write_text("id,v\n" + "".join(
            f'{n},"{text.replace(chr(34), chr(34) * 2)}"\n' for n, text in records))
    else:
        path = tmp_path / "big.jsonl"
        path.write_text("".join(json.dumps({"id": n, "v": text}) + "\n" for n, text in records))
    units = morvel_dask._units(str(path), file_format, 2000, {})
    assert len(units) > 5
    assert units[0].header == (b"id,v\n" if file_format == "csv" else b"")
    loaded = morvel_dask.load_files([path], engine.url, "big", create_table=True,
                                    chunk_bytes=2000)
    assert loaded == 600
    _, rows = engine.select_all("big")
    assert sorted(rows) == records
    assert_clean(engine, tmp_path, "big")


def test_bad_record_loads_nothing(engine, client, tmp_path):
    good = [write_csv(tmp_path / f"ok{i}.csv", [(i * 10 + j, j) for j in range(5)])
            for i in range(4)]
    morvel_dask.load_files(good[:1], engine.url, "t", create_table=True)
    bad = tmp_path / "bad.csv"
    bad.write_text("id,v\n100,1\n101,2,3\n")
    with pytest.raises(ValueError, match=r"record 2 \(line: 3") as raised:
        morvel_dask.load_files(good[1:] + [bad], engine.url, "t", create_table=True)
    assert any(f"'{bad}'" in note for note in raised.value.__notes__)
    _, rows = engine.select_all("t")
    assert sorted(rows) == [(j, j) for j in range(5)]
    assert_clean(engine, tmp_path, "t")


@pytest.mark.parametrize("file_format", ["csv", "json"])
def test_files_whose_types_differ_share_one_schema(engine, client, tmp_path, file_format):
    records = [(1, 5, "2024-01-02"), (2, 2.5, "2024-01-03 04:05:06"), (3, 7, "2024-01-04")]
    paths = []
    for name, (key, number, moment) in zip("abc", records):
        if file_format == "csv":
            paths.append(write_csv(tmp_path / f"{name}.csv", [(key, number, moment)], "id,n,at"))
        else:
            # A key only the second file has: the columns still come out sorted by name.
            paths.append(tmp_path / f"{name}.jsonl")
            paths[-1].write_text(json.dumps({"n": number, "id": key, "at": moment, "code": "x"})
                                 + "\n" if name == "b" else
                                 json.dumps({"id": key, "n": number, "at": moment}) + "\n")
    morvel_dask.load_files(paths, engine.url, "mixed", create_table=True, schema_from="all")
    columns = engine.column_types("mixed")
    assert [name for name, _ in columns] == (["id", "n", "at"] if file_format == "csv"
                                             else ["at", "code", "id", "n"])
    types = dict((name, kind.lower()) for name, kind in columns)
    expected = {"postgres": ("bigint", "double precision", "timestamp with time zone"),
                "mysql": ("bigint(20)", "double", "datetime"),
                "sqlite": ("integer", "real", "text")}[engine.name]
    assert (types["id"], types["n"], types["at"]) == expected
    names, rows = engine.select_all("mixed")
    assert sorted(row[names.index("n")] for row in rows) == [2.5, 5.0, 7.0]


@pytest.mark.parametrize("on_conflict,expected", [("ignore", "old"), ("replace", "new")])
def test_rerun_with_on_conflict(engine, client, tmp_path, on_conflict, expected):
    old = [write_csv(tmp_path / f"old{i}.csv", [(i * 3 + j, "old") for j in range(3)])
           for i in range(3)]
    morvel_dask.load_files(old, engine.url, "k", create_table=True, primary_key="id")
    new = [write_csv(tmp_path / f"new{i}.csv", [(i * 3 + j, "new") for j in range(3)])
           for i in range(4)]
    morvel_dask.load_files(new, engine.url, "k", create_table=True, primary_key="id",
                           on_conflict=on_conflict)
    _, rows = engine.select_all("k")
    assert sorted(rows) == [(n, expected) for n in range(9)] + [(n, "new") for n in range(9, 12)]
    with pytest.raises(ValueError):
        morvel_dask.load_files(old, engine.url, "k", primary_key="id")
    assert len(engine.select_all("k")[1]) == 12
    assert_clean(engine, tmp_path, "k")


def test_convert_files_writes_one_schema(client, tmp_path):
    paths = [write_csv(tmp_path / "a.csv", [(1, 5)]), write_csv(tmp_path / "b.csv", [(2, 2.5)])]
    written = morvel_dask.convert_files(paths, tmp_path / "sql", "t", create_table=True,
                                        schema_from="all", dialect="sqlite")
    assert [os.path.basename(p) for p in written] == ["create_table.sql", "part-00000.sql",
                                                      "part-00001.sql"]
    assert "".join(open(p).read() for p in written) == (
        'CREATE TABLE IF NOT EXISTS "t" (\n  "id" INTEGER,\n  "v" REAL\n);\n'
        'INSERT INTO "t" ("id", "v") VALUES (1, 5);\n'
        'INSERT INTO "t" ("id", "v") VALUES (2, 2.5);\n')


def test_only_the_cluster_module_imports_dask():
    import subprocess
    import sys
    done = subprocess.run([sys.executable, "-c", "import sys, morvel; print(sorted("
                           "m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
                           ], capture_output=True, text=True, check=True)
    assert done.stdout == "[]\n"


def test_key_taken_across_files_leaves_no_table(engine, client, tmp_path):
    paths = [write_csv(tmp_path / f"k{i}.csv", [(i + j, "x") for j in range(3)]) for i in range(2)]
    with pytest.raises(ValueError):
        morvel_dask.load_files(paths, engine.url, "dup", create_table=True, primary_key="id")
    # MySQL's CREATE TABLE commits by itself: the table it made stays, empty.
    if engine.name == "mysql":
        assert engine.select_all("dup")[1] == []
    else:
        assert "dup" not in engine.tables()
    assert_clean(engine, tmp_path, "dup" if engine.name == "mysql" else None)
