#!/usr/bin/env python3
"""CSV to INSERT statements in plain Python, the way a careful user would write it in an
afternoon: the csv module, a type check per value, f-strings, buffered writes. It follows the
same typing rules as morvel (NULL, booleans, integers and floats unquoted, everything else
quoted with apostrophes doubled), so both do comparable work.

    bench/plain_convert.py INPUT.csv [TABLE] > OUT.sql
"""

import csv
import re
import sys

# Integers and finite floats are written unquoted; inf and nan are quoted like text.
NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\Z")


def literal(value):
    text = value.strip()
    if not text or text.lower() == "null":
        return "NULL"
    lower = text.lower()
    if lower == "true":
        return "TRUE"
    if lower == "false":
        return "FALSE"
    if NUMBER.match(text):
        return text
    return "'" + text.replace("'", "''") + "'"


def main():
    path = sys.argv[1]
    table = sys.argv[2] if len(sys.argv) > 2 else "morvel_table"
    out = sys.stdout
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f)
        header = next(reader, None)
        if header is None:
            return
        columns = ", ".join('"' + name.replace('"', '""') + '"' for name in header)
        prefix = f'INSERT INTO "{table}" ({columns}) VALUES ('
        chunk = []
        for record in reader:
            if not record:
                continue
            chunk.append(f"{prefix}{', '.join(literal(v) for v in record)});\n")
            if len(chunk) >= 4096:
                out.write("".join(chunk))
                chunk.clear()
        out.write("".join(chunk))


if __name__ == "__main__":
    main()
