#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into OUT/{csv,json,convert}_fuzzer/.

Seeds are the reader test vectors (tests/vectors/*.jsonl, input_hex decoded) and the example
files; convert_fuzzer seeds carry option bytes in front of the data (the layout is described in
convert_fuzzer.cpp). They are generated at run time rather than committed, so the vectors stay
their only source. The saved regression inputs (fuzz/regressions/) are not seeds: scripts/fuzz
replays them on their own before fuzzing, whole, and names the one that fails.
"""

import hashlib
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# (flags, chunk, key, table) for convert_fuzzer; flags bit 0 is JSON and is set per input. The
# fuzzer reads the chunk as 1 + a byte, so it runs from 1 to 256.
OPTION_SETS = [
    (0x00, 7, None, b"t"),
    (0x02, 1, None, b"morvel_table"),
    (0x16, 64, None, b"events"),  # create table, auto id, sqlite
    (0x2A, 3, b"id", b"my`table"),  # create table, key, mysql
    (0x0A, 255, b" a , b ,", b'odd "name"'),
    (0x08, 5, b"id", b"t"),  # a key without create table fails
]

# JSON starts the vectors hold few of: a byte-order mark and white space before the first value,
# which do not choose the layout, and objects that repeat keys.
JSON_STARTS = [
    b'\xef\xbb\xbf[{"a":1},{"b":2}]',
    b'\xef\xbb\xbf \r\n\t[\n  {"a": 1}\n]\n',
    b'\n\n [{"a":1}] x',
    b'\xef\xbb\xbf{"a":1}\n\xef\xbb\xbf{"a":2}\n',
    b'\xef\xbb\xbf\n\n{"a":1,"a":2,"b":{"c":1,"c":[2]}}\n',
    b'\xef\xbb\xbf',
    b'\xef\xbb',
    # Lines longer than the reads, judged before they end: invalid from an early byte (NUL, not
    # UTF-8, a character cut by a read), white space that only a later byte makes a value, a
    # final CR that the line's end turns out to take.
    b'{"a":1}\n{"b":' + b'\0' * 300 + b'\n{"c":2}\n',
    b'{"a":1}\n{"b":"' + b'\xe6\x97\xa5' * 100 + b'\xff' + b'x' * 200,
    b' \t' * 150 + b'\xc2\xa0' * 50 + b'{"a":1}\n',
    b'{"a":"' + b'x' * 300 + b'"}\r\n{"b":"\r' + b'y' * 300 + b'"}\r',
]

# CSV inputs whose bytes that are not UTF-8 stop a stream's first reading at the end of their
# record: in a quoted field over lines, in the header, in lines to skip (which hold what they
# like), cut between reads.
CSV_STARTS = [
    b'a,b\n1,"x\n\xe6\x97",\"\n\"\n' + b'2,"\xc3\xa9"\n' * 50,
    b'a,\xff\n' + b'1,2\n' * 50,
    b'\xff\xfe\n' * 3 + b'a,b\n' + b'1,\xf0\x9f\x98\x80\n' * 60,
]


def write(directory, data):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def convert_seed(data, is_json, flags, chunk, key, table):
    option_bytes = bytes([flags | (1 if is_json else 0), chunk - 1])
    if flags & 0x08:
        option_bytes += bytes([len(key)]) + key
    return option_bytes + bytes([len(table)]) + table + data


def main():
    out = pathlib.Path(sys.argv[1])
    inputs = {"csv": [], "json": []}  # (data, is_example)
    for kind in inputs:
        vectors = ROOT / "tests" / "vectors" / f"{kind}_cases.jsonl"
        # Lines end at LF only: the expected texts may hold other Unicode line breaks.
        for line in vectors.read_text(encoding="utf-8").split("\n"):
            if line.strip():
                inputs[kind].append((bytes.fromhex(json.loads(line)["input_hex"]), False))
    inputs["json"].extend((data, False) for data in JSON_STARTS)
    inputs["csv"].extend((data, False) for data in CSV_STARTS)
    for path in sorted((ROOT / "examples").iterdir()):
        inputs["csv" if path.suffix == ".csv" else "json"].append((path.read_bytes(), True))

    for kind, datas in inputs.items():
        for index, (data, is_example) in enumerate(datas):
            write(out / f"{kind}_fuzzer", data)
            # Every vector with one option set, the examples with all of them.
            sets = OPTION_SETS if is_example else [OPTION_SETS[index % len(OPTION_SETS)]]
            for flags, chunk, key, table in sets:
                seed = convert_seed(data, kind == "json", flags, chunk, key, table)
                write(out / "convert_fuzzer", seed)

    for target in sorted(out.iterdir()):
        print(f"{target.name}: {sum(1 for _ in target.iterdir())} seeds")


if __name__ == "__main__":
    main()
