#!/usr/bin/env python3
"""Times many files into one PostgreSQL table three ways: morvel_dask.load_files on a local
two-worker Dask cluster, one process loading them one after another (load_csv_file each), and
`morvel --to` on their concatenation; prints the times and how load_files' time splits between
its phases.

    scripts/setup engines cluster
    bench/cluster.py [--files 20] [--file-mb 50] [--data bench/data]

The files are the benchmark's seeded CSV (bench/generate.py) cut into --files pieces of about
--file-mb MB at line ends, each with the header. The server is the engine tests' private
PostgreSQL (tests/python/engines/servers.py); each way loads into an empty table.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python" / "engines"))
from servers import PostgresServer  # noqa: E402

TABLE = "loaded"


def split(source, out, files, size):
    """Cuts source into `files` CSV files of about `size` bytes, each with the header."""
    paths = [out / f"part{i:02d}.csv" for i in range(files)]
    if all(path.exists() for path in paths):
        return paths
    with open(source, "rb") as data:
        header = data.readline()
        for path in paths:
            with open(path, "wb") as part:
                part.write(header)
                chunk = data.read(size - len(header))
                part.write(chunk + data.readline())
    return paths


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--file-mb", type=int, default=50)
    parser.add_argument("--data", default=str(ROOT / "bench" / "data"))
    args = parser.parse_args()
    import distributed
    import morvel
    import morvel_dask

    data = pathlib.Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    size = args.file_mb * 1_000_000
    rows = args.files * size // 200  # the generator's records are about 200 bytes
    source = data / f"mixed_{rows}.csv"
    if not source.exists():
        subprocess.run([sys.executable, str(ROOT / "bench" / "generate.py"), "--rows", str(rows),
                        "--out", str(data), "--formats", "csv"], check=True,
                       stdout=subprocess.DEVNULL)
    parts = data / f"cluster_{args.files}x{args.file_mb}"
    parts.mkdir(exist_ok=True)
    paths = split(source, parts, args.files, size)
    total = sum(path.stat().st_size for path in paths)
    concatenated = parts / "all.csv"
    if not concatenated.exists():
        with open(concatenated, "wb") as out:
            for i, path in enumerate(paths):
                with open(path, "rb") as part:
                    if i:
                        part.readline()
                    out.write(part.read())
    command = morvel_command()

    server = PostgresServer()
    server.start()
    results = []
    try:
        def timed(name, load):
            server.reset()
            started = time.perf_counter()
            load()
            seconds = time.perf_counter() - started
            (loaded,), = server.query(f"SELECT count(*) FROM {TABLE}")
            # Every way loads the same rows.
            assert not results or loaded == results[0][2], (name, loaded, results[0])
            results.append((name, seconds, loaded))
            print(f"{name}: {seconds:.2f} s, {loaded} rows", flush=True)
            return seconds

        with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            client.wait_for_workers(2)
            timings = {}
            cluster_time = timed("load_files, 2 workers", lambda: morvel_dask.load_files(
                paths, server.url, TABLE, client, create_table=True, timings=timings))
        one_by_one = timed("load_csv_file each, one after another", lambda: [
            morvel.load_csv_file(str(path), server.url, TABLE, True) for path in paths])
        to_time = timed("--to on the concatenation", lambda: to_load(command, concatenated,
                                                                     server.url))
    finally:
        server.stop()
    print()
    print(f"{args.files} files of {args.file_mb} MB, {total / 1e6:.0f} MB, into PostgreSQL")
    print("| way | seconds | MB/s |")
    print("| --- | ---: | ---: |")
    for name, seconds, _ in results:
        print(f"| {name} | {seconds:.2f} | {total / 1e6 / seconds:.0f} |")
    print(f"load_files phases: schema {timings['schema']:.2f} s, rows into staging tables "
          f"{timings['rows']:.2f} s, move into the table {timings['move']:.2f} s")
    speedup = one_by_one / cluster_time
    against = cluster_time / to_time
    print(f"against one after another: {speedup:.2f}x (target >= 1.6x: "
          f"{'met' if speedup >= 1.6 else 'missed'})")
    print(f"against --to on the concatenation: {against:.2f}x its time (target <= 1.3x: "
          f"{'met' if against <= 1.3 else 'missed'})")


def morvel_command():
    found = os.environ.get("MORVEL_COMMAND") or shutil.which("morvel")
    if not found:
        sys.exit("cluster: no morvel command (scripts/setup installs it into .venv)")
    return found


def to_load(command, path, url):
    subprocess.run([command, str(path), "--to", url, "-t", TABLE, "--create-table"],
                   capture_output=True, check=True)


if __name__ == "__main__":
    main()
