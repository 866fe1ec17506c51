#!/usr/bin/env python3
"""Times loading the benchmark's records into each real engine: straight in with --to, in each
way of writing a script that morvel offers, by the engine's own bulk path, and by the tools a
user would try instead; prints a table of times, script sizes and rows loaded.

    bench/load.py --morvel .venv/bin/morvel --csv DATA.csv --jsonl DATA.jsonl [--out DIR]
                  [--big BIG.csv]

The engines are the private servers of the engine tests (tests/python/engines/servers.py): a
PostgreSQL and a MariaDB server started in a temporary directory, and an SQLite database file.
Each script is loaded by the engine's command-line client as the README says, from a file, into
an empty database; the time is the client's, from start to exit, and --to's is morvel's own. The
bulk paths load the CSV into a table of TEXT columns (the engines' own CSV readers take no NULL
words, so typed columns would refuse the word null that the data holds). The other tools:
csvsql --db and sqlite-utils insert --detect-types create their tables themselves; pgloader
loads into the table morvel would create, and rejects the rows it cannot load (the Rows column
says how many went in). With --big, --to loads that CSV (about 1 GiB) into each engine once
more under /usr/bin/time, for its peak memory.
"""

import argparse
import csv
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python" / "engines"))

from servers import DATABASE, MariadbServer, PostgresServer, SqliteDatabase  # noqa: E402

TABLE = "loaded"

# The tools a user would try instead of morvel, by the names the table gives them.
SQLITE_UTILS = "sqlite-utils insert --detect-types"
CSVSQL = "csvsql --db --insert"
PGLOADER = "pgloader"

# Each way: its name, morvel's options, and the dialects it serves.
WAYS = [
    ("one INSERT per record, one transaction", ["--transaction"], None),
    ("--batch-size 1000 --transaction", ["--batch-size", "1000", "--transaction"], None),
    ("--copy --transaction", ["--copy", "--transaction"], {"postgres"}),
]


def convert(morvel, source, input_format, dialect, options, target):
    command = [morvel, str(source), "-f", input_format, "-d", dialect, "-t", TABLE,
               "--create-table", "-o", str(target), *options]
    subprocess.run(command, check=True, stderr=subprocess.DEVNULL)
    return target.stat().st_size


def timed(command, stdin_path, cwd):
    with open(stdin_path, "rb") as stdin:
        start = time.perf_counter()
        done = subprocess.run(command, stdin=stdin, capture_output=True, cwd=cwd)
        seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed: {done.stderr.decode(errors='replace')[-500:]}")
    return seconds


def client(engine):
    command, _ = engine.client(False)
    # MariaDB's DATETIME refuses the data's zone designator (2020-10-02T16:13:02Z) in its strict
    # mode; the timings are of the load, so the zone is let go with a warning instead.
    if engine.name == "mysql":
        command = command[:-1] + ["--init-command=SET SESSION sql_mode=''", command[-1]]
    return command


def load_script(engine, script):
    engine.reset()
    return timed(client(engine), script, engine.dir)


def bulk_load(engine, csv_path, work):
    """The engine's own CSV import into a table of TEXT columns; the time of the import alone."""
    engine.reset()
    with open(csv_path, newline="", encoding="utf-8") as f:
        header = next(csv.reader(f))
    columns = ", ".join(f'{engine.quote(name)} TEXT' for name in header)
    path = str(pathlib.Path(csv_path).resolve())
    if engine.name == "sqlite":
        engine.query(f"CREATE TABLE {TABLE} ({columns})")
        commands = work / "import.sqlite"
        commands.write_text(f'.import --csv --skip 1 "{path}" {TABLE}\n')
        return timed(["sqlite3", "-bail", str(engine.path)], commands, work)
    engine.query(f"CREATE TABLE {TABLE} ({columns})")
    if engine.name == "postgres":
        commands = work / "import.psql"
        commands.write_text(f"\\copy {TABLE} FROM '{path}' WITH (FORMAT csv, HEADER true)\n")
        return timed(client(engine), commands, engine.dir)
    engine.query("SET GLOBAL local_infile = 1")
    commands = work / "import.mariadb"
    commands.write_text(
        f"LOAD DATA LOCAL INFILE '{path}' INTO TABLE {TABLE} CHARACTER SET utf8mb4 "
        "FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '\"' ESCAPED BY '' "
        "LINES TERMINATED BY '\\n' IGNORE 1 LINES;\n")
    return timed(client(engine)[:-1] + ["--local-infile=1", DATABASE], commands, engine.dir)


def rows_in(engine):
    return engine.query(f"SELECT COUNT(*) FROM {TABLE}")[0][0]


def load_direct(morvel, engine, source, input_format):
    """morvel --to, into an empty database."""
    engine.reset()
    command = [morvel, str(source), "-f", input_format, "--to", engine.url, "-t", TABLE,
               "--create-table"]
    return timed(command, os.devnull, engine.dir)


def peers(morvel, engine, csv_path, work):
    """The tools a user would try instead, as (name, command, the table first or None)."""
    path = str(pathlib.Path(csv_path).resolve())
    if engine.name == "sqlite":
        return [(SQLITE_UTILS,
                 ["sqlite-utils", "insert", str(engine.path), TABLE, path, "--csv",
                  "--detect-types"], None),
                (CSVSQL, ["csvsql", "--db", f"sqlite:///{engine.path}",
                                          "--tables", TABLE, "--insert", path], None)]
    if engine.name == "mysql":
        url = f"mysql+pymysql://root@/{DATABASE}?unix_socket={engine.dir / 'socket'}"
        return [(CSVSQL, ["csvsql", "--db", url, "--tables", TABLE, "--insert", path], None)]
    with open(csv_path, newline="", encoding="utf-8") as f:
        header = ",".join(next(csv.reader(f)))
    # pgloader reads a CSV into a table that is there; morvel's own makes the comparison fair.
    first = work / "first.csv"
    with open(csv_path, encoding="utf-8") as f:
        first.write_text(f.readline() + f.readline())
    create = subprocess.run([morvel, str(first), "-t", TABLE, "--create-table"], check=True,
                            capture_output=True, text=True).stdout.split("\n\n")[0]
    target = f"postgresql://postgres@unix:{engine.dir}:5432/{DATABASE}?tablename={TABLE}"
    return [(CSVSQL,
             ["csvsql", "--db", f"postgresql:///{DATABASE}?host={engine.dir}&user=postgres",
              "--tables", TABLE, "--insert", path], None),
            (PGLOADER, ["pgloader", "--type", "csv", "--field", header,
                          "--with", "skip header = 1", "--with", "fields terminated by ','",
                          "--with", "fields optionally enclosed by '\"'", path, target], create)]


def peak_memory(morvel, engine, big, work):
    """--to of the big CSV under /usr/bin/time: seconds and peak resident memory in MiB."""
    engine.reset()
    report = work / "time.txt"
    command = ["/usr/bin/time", "-f", "%e %M", "-o", str(report), morvel, big, "--to",
               engine.url, "-t", TABLE, "--create-table"]
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL, cwd=engine.dir)
    seconds, kilobytes = report.read_text().split()
    return float(seconds), int(kilobytes) / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--morvel", required=True)
    parser.add_argument("--csv", required=True)
    parser.add_argument("--jsonl", required=True)
    parser.add_argument("--out", default=str(ROOT / "bench" / "results"))
    parser.add_argument("--big")
    args = parser.parse_args()
    # The loads run in the servers' directories.
    args.morvel = os.path.abspath(args.morvel)
    work = pathlib.Path(args.out)
    work.mkdir(parents=True, exist_ok=True)

    servers = [PostgresServer(), MariadbServer()]
    results = []
    memory = []
    try:
        for server in servers:
            server.start()
        sqlite = SqliteDatabase(work)
        sqlite.reset()
        for engine in [servers[0], sqlite, servers[1]]:
            for input_format, source in (("csv", args.csv), ("json", args.jsonl)):
                seconds = load_direct(args.morvel, engine, source, input_format)
                results.append((engine.name, input_format, "--to", seconds, None,
                                rows_in(engine)))
                print(f"load: {engine.name} {input_format} --to: {seconds:.2f} s", flush=True)
                for name, options, dialects in WAYS:
                    if dialects is not None and engine.name not in dialects:
                        continue
                    script = work / f"load.{engine.name}.{input_format}.sql"
                    size = convert(args.morvel, source, input_format, engine.name, options,
                                   script)
                    seconds = load_script(engine, script)
                    results.append((engine.name, input_format, name, seconds, size,
                                    rows_in(engine)))
                    print(f"load: {engine.name} {input_format} {name}: {seconds:.2f} s, "
                          f"{size / 1e6:.1f} MB", flush=True)
                    script.unlink()
            seconds = bulk_load(engine, args.csv, work)
            results.append((engine.name, "csv", "engine's own bulk path", seconds, None,
                            rows_in(engine)))
            print(f"load: {engine.name} csv bulk path: {seconds:.2f} s", flush=True)
            for name, command, create in peers(args.morvel, engine, args.csv, work):
                engine.reset()
                if create:
                    engine.query(create)
                seconds = timed(command, os.devnull, work)
                results.append((engine.name, "csv", name, seconds, None, rows_in(engine)))
                print(f"load: {engine.name} csv {name}: {seconds:.2f} s", flush=True)
            if args.big:
                seconds, mebibytes = peak_memory(args.morvel, engine, args.big, work)
                memory.append((engine.name, seconds, mebibytes))
                print(f"load: {engine.name} big CSV --to: {seconds:.2f} s, {mebibytes:.1f} MiB",
                      flush=True)
        sqlite.stop()
    finally:
        for server in servers:
            server.stop()
    report(results, memory, args.big)


def report(results, memory, big):
    engines = {"postgres": "PostgreSQL", "sqlite": "SQLite", "mysql": "MariaDB"}
    print("\n| Engine | Input | Way | Time (s) | SQL (MB) | Rows | × bulk path |")
    print("|---|---|---|---:|---:|---:|---:|")
    bulk = {engine: seconds for engine, _, way, seconds, *_ in results
            if way.startswith("engine")}
    direct = {engine: seconds for engine, form, way, seconds, *_ in results
              if way == "--to" and form == "csv"}
    for engine, input_format, way, seconds, size, rows in results:
        ratio = seconds / bulk[engine] if engine in bulk else float("nan")
        shown = f"{size / 1e6:.1f}" if size else ""
        print(f"| {engines[engine]} | {input_format} | {way} | {seconds:.2f} | {shown} | "
              f"{rows:,} | {ratio:.2f} |")
    print("\nTargets (CSV):")
    for engine, seconds in direct.items():
        ratio = seconds / bulk[engine]
        print(f"- {'met' if ratio <= 1.0 else 'MISSED'}: {engines[engine]} --to takes "
              f"{ratio:.2f}× the engine's own bulk path (target ≤ 1.0×, aim 0.7×)")
    for engine, input_format, way, seconds, *_ in results:
        if way in (SQLITE_UTILS, CSVSQL, PGLOADER):
            ratio = seconds / direct[engine]
            print(f"- {'met' if ratio >= 10 else 'MISSED'}: {engines[engine]} {way} takes "
                  f"{ratio:.1f}× --to's time (target ≥ 10×)")
    for engine, seconds, mebibytes in memory:
        print(f"- {'met' if mebibytes <= 64 else 'MISSED'}: {engines[engine]} --to of "
              f"{pathlib.Path(big).stat().st_size / 2**30:.2f} GiB of CSV in {seconds:.1f} s, "
              f"peak {mebibytes:.1f} MiB (budget 64 MiB)")


if __name__ == "__main__":
    main()
