#!/usr/bin/env python3
"""Writes the benchmark inputs: the same seeded records as CSV, a JSON array and JSON Lines.

    bench/generate.py [--rows N] [--seed S] [--out DIR] [--formats csv,json,jsonl]

Ten columns of mixed data: integers, floats, booleans, dates, timestamps, UUIDs, a short text
with apostrophes and a few non-ASCII letters, a long text with apostrophes, quoted commas and
doubled quotes, plus empty values and the word null. The same seed gives the same bytes.
"""

import argparse
import json
import os
import random

WORDS = (
    "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike november "
    "oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee zulu order invoice "
    "shipped pending returned customer warehouse priority express standard fragile handle with "
    "care it's don't won't they're O'Brien's the a of and to in for on at by from"
).split()
FIRST = ["Anna", "Bob", "Chloé", "Dmitri", "Eve", "François", "Grace", "Hugo", "Inès", "Jack",
         "Karl", "Léa", "Mike", "Nora", "Olaf", "Paul", "Quinn", "Rosa", "Sam", "Tess"]
LAST = ["O'Brien", "Smith", "D'Angelo", "Müller", "Nguyen", "Jones", "O'Neil", "García", "Brown",
        "Lee", "Kim", "Martin", "Rossi", "Weber", "Novak", "Silva"]
HEADER = ["id", "amount", "active", "signup_date", "last_seen", "uuid", "name", "city", "note",
          "score"]
CITIES = ["Paris", "Berlin", "New York, NY", "São Paulo", "Tokyo", "Lagos", "Austin, TX", "Oslo",
          "Seoul", "Lima"]


def records(rows, seed):
    """Yields one list of (value, json kind) per record; kind is 'int', 'float', 'bool', 'null'
    or 'str', and value is the text both the CSV and the JSON writers start from."""
    rng = random.Random(seed)
    words = WORDS
    for i in range(1, rows + 1):
        r = rng.random()
        amount = f"{rng.uniform(-1000, 100000):.2f}"
        active = "true" if rng.random() < 0.5 else "false"
        date = f"{rng.randint(1970, 2024):04d}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        stamp = (f"{rng.randint(2015, 2024):04d}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
                 f"T{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}Z")
        uuid = "%08x-%04x-%04x-%04x-%012x" % (rng.getrandbits(32), rng.getrandbits(16),
                                             rng.getrandbits(16), rng.getrandbits(16),
                                             rng.getrandbits(48))
        name = f"{rng.choice(FIRST)} {rng.choice(LAST)}"
        city = rng.choice(CITIES)
        note_words = [rng.choice(words) for _ in range(rng.randint(10, 22))]
        note = " ".join(note_words)
        if r < 0.3:
            note = note.replace(" the ", ", the ", 1) + ", see \"terms\""
        elif r < 0.35:
            note = note + " \\ path C:\\temp"
        score = str(rng.randint(0, 100))
        # Some empty values and the word null, in columns where a real export has them.
        if r < 0.05:
            score = ""
        elif r < 0.10:
            score = "null"
        if 0.10 <= r < 0.13:
            city = ""
        if 0.13 <= r < 0.15:
            amount = "null"
        yield [
            (str(i), "int"),
            (amount, "null" if amount == "null" else "float"),
            (active, "bool"),
            (date, "str"),
            (stamp, "str"),
            (uuid, "str"),
            (name, "str"),
            (city, "str"),
            (note, "str"),
            (score, "null" if score == "null" else ("str" if score == "" else "int")),
        ]


def csv_field(text):
    if any(c in text for c in ',"\n\r') or text.startswith(" "):
        return '"' + text.replace('"', '""') + '"'
    return text


def json_object(record):
    parts = []
    for key, (value, kind) in zip(HEADER, record):
        if kind == "str":
            text = json.dumps(value, ensure_ascii=False)
        elif kind == "null":
            text = "null"
        else:
            text = value
        parts.append(f'"{key}": {text}')
    return "{" + ", ".join(parts) + "}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "data"))
    parser.add_argument("--formats", default="csv,json,jsonl")
    args = parser.parse_args()
    formats = set(args.formats.split(","))
    os.makedirs(args.out, exist_ok=True)
    stem = os.path.join(args.out, f"mixed_{args.rows}")
    files = {}
    if "csv" in formats:
        files["csv"] = open(stem + ".csv", "w", encoding="utf-8", newline="")
        files["csv"].write(",".join(HEADER) + "\n")
    if "json" in formats:
        files["json"] = open(stem + ".json", "w", encoding="utf-8", newline="")
        files["json"].write("[\n")
    if "jsonl" in formats:
        files["jsonl"] = open(stem + ".jsonl", "w", encoding="utf-8", newline="")
    first = True
    for record in records(args.rows, args.seed):
        if "csv" in files:
            files["csv"].write(",".join(csv_field(v) for v, _ in record) + "\n")
        if "json" in files or "jsonl" in files:
            obj = json_object(record)
            if "json" in files:
                files["json"].write(("  " if first else ",\n  ") + obj)
            if "jsonl" in files:
                files["jsonl"].write(obj + "\n")
        first = False
    if "json" in files:
        files["json"].write("\n]\n")
    for f in files.values():
        f.close()
    print(stem)


if __name__ == "__main__":
    main()
