#!/usr/bin/env python3
"""Times loading the benchmark's records into each real engine, in each way morvel offers and by
the engine's own bulk path, and prints a table of times and script sizes.

    bench/load.py --morvel .venv/bin/morvel --csv DATA.csv --jsonl DATA.jsonl [--out DIR]

The engines are the private servers of the engine tests (tests/python/engines/servers.py): a
PostgreSQL and a MariaDB server started in a temporary directory, and an SQLite database file.
Each script is loaded by the engine's command-line client as the README says, from a file, into
an empty database; the time is the client's, from start to exit. The bulk paths load the CSV
into a table of TEXT columns (the engines' own CSV readers take no NULL words, so typed columns
would refuse the word null that the data holds): the fastest any load of these rows can be.
"""

import argparse
import csv
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python" / "engines"))

from servers import DATABASE, MariadbServer, PostgresServer, SqliteDatabase  # noqa: E402

TABLE = "loaded"

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--morvel", required=True)
    parser.add_argument("--csv", required=True)
    parser.add_argument("--jsonl", required=True)
    parser.add_argument("--out", default=str(ROOT / "bench" / "results"))
    args = parser.parse_args()
    work = pathlib.Path(args.out)
    work.mkdir(parents=True, exist_ok=True)

    servers = [PostgresServer(), MariadbServer()]
    results = []
    try:
        for server in servers:
            server.start()
        sqlite = SqliteDatabase(work)
        sqlite.reset()
        for engine in [servers[0], sqlite, servers[1]]:
            for input_format, source in (("csv", args.csv), ("json", args.jsonl)):
                for name, options, dialects in WAYS:
                    if dialects is not None and engine.name not in dialects:
                        continue
                    script = work / f"load.{engine.name}.{input_format}.sql"
                    size = convert(args.morvel, source, input_format, engine.name, options,
                                   script)
                    seconds = load_script(engine, script)
                    results.append((engine.name, input_format, name, seconds, size))
                    print(f"load: {engine.name} {input_format} {name}: {seconds:.2f} s, "
                          f"{size / 1e6:.1f} MB", flush=True)
                    script.unlink()
            seconds = bulk_load(engine, args.csv, work)
            results.append((engine.name, "csv", "engine's own bulk path", seconds, None))
            print(f"load: {engine.name} csv bulk path: {seconds:.2f} s", flush=True)
        sqlite.stop()
    finally:
        for server in servers:
            server.stop()
    report(results)


def report(results):
    engines = {"postgres": "PostgreSQL", "sqlite": "SQLite", "mysql": "MariaDB"}
    print("\n| Engine | Input | Way | Time (s) | SQL (MB) | × bulk path |")
    print("|---|---|---|---:|---:|---:|")
    bulk = {engine: seconds for engine, _, way, seconds, _ in results if way.startswith("engine")}
    for engine, input_format, way, seconds, size in results:
        ratio = seconds / bulk[engine] if engine in bulk else float("nan")
        shown = f"{size / 1e6:.1f}" if size else ""
        print(f"| {engines[engine]} | {input_format} | {way} | {seconds:.2f} | {shown} | "
              f"{ratio:.2f} |")


if __name__ == "__main__":
    main()
