#!/usr/bin/env python3
"""Times one morvel Python function on one input and prints a JSON line with the result.

    bench/py_functions.py FUNCTION INPUT [--runs N] [--output PATH]

FUNCTION is convert_csv_to_sql or convert_json_to_sql (the input file's text is read first and
not timed) or convert_csv_file_to_sql or convert_json_file_to_sql (the path is passed). The best
of N runs is reported with the output size; bench/run starts one process per function under
/usr/bin/time, so the peak memory it records belongs to that function alone. With --output the
SQL streams into PATH (output=) instead of coming back as a str.
"""

import argparse
import json
import os
import time

import morvel


def utf8_size(text):
    """Bytes of `text` in UTF-8, counted a slice at a time so that no copy of the whole output
    adds to the peak memory being measured."""
    if text.isascii():
        return len(text)
    step = 1 << 20
    return sum(len(text[i:i + step].encode("utf-8")) for i in range(0, len(text), step))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("function")
    parser.add_argument("input")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--output")
    args = parser.parse_args()
    function = getattr(morvel, args.function)
    if args.function.endswith("_file_to_sql"):
        argument = args.input
    else:
        with open(args.input, encoding="utf-8") as f:
            argument = f.read()
    best = None
    size = 0
    for _ in range(args.runs):
        start = time.perf_counter()
        sql = function(argument, output=args.output) if args.output else function(argument)
        elapsed = time.perf_counter() - start
        if best is None:
            size = os.path.getsize(args.output) if args.output else utf8_size(sql)
        best = elapsed if best is None else min(best, elapsed)
        del sql
    if args.output:
        os.remove(args.output)
    name = f"{args.function}(output=)" if args.output else args.function
    print(json.dumps({"function": name, "input": args.input,
                      "input_bytes": os.path.getsize(args.input), "output_bytes": size,
                      "seconds": best}))


if __name__ == "__main__":
    main()
