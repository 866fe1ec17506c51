"""A varied, reproducible dataset: every inferred type, null and empty values, awkward text, and
the same records written as CSV, as a JSON array and as JSON Lines."""

import csv
import datetime
import io
import json
import random
import uuid

# Column name -> the Python type its values read back as from PostgreSQL; the first record
# decides the column's type, so it always holds a value of that type.
COLUMNS = {
    "n": int,
    "nothing": str,  # null in every record: a TEXT column
    "flag": bool,
    "count": int,
    "ratio": float,
    "uid": uuid.UUID,
    "day": datetime.date,
    "at": datetime.datetime,
    "note": str,
    "later": str,  # empty first, so TEXT; later records put integers and quoted values in it
    "code": str,  # unique, a text key
}
JSON_ONLY = {"doc": str}  # nested JSON values, held as their compact text

# What the other engines make of the types PostgreSQL keeps apart.
KIND_IN = {
    "postgres": {},
    "mysql": {uuid.UUID: str},
    "sqlite": {uuid.UUID: str, datetime.date: str, datetime.datetime: str, bool: int},
}

NULLS = ["", "null", "NULL", "Null", "  ", "\t"]
NOTES = [
    "O'Brien", "it's \"quoted\"", "C:\\temp\\", "back\\slash'quote", "ends in a backslash\\",
    "\\'", "''", "two\nlines", "tab\there", "cr\r\nlf", "Zoë Müller", "日本語のテキスト",
    "emoji 😀 beyond the BMP", "  padded  ", "\u00a0no-break padded\u3000", "'; DROP TABLE x; --",
    "-- not a comment", "/* not a comment */", "yes", "no", "t", "on", "1,5", "0x1F", "1_000",
    "$$dollar$$", "%s %d %%", ":name", "\\n is not a line break", "`backtick`", "semi;colon",
    "a\x01b", "bell\x07", "\x1funit separator", "2024-1-15", "15-01-2024", "2024-01-15 10:30",
    "tRuE-ish", "NaN-ish", "-", "+", ".", "e5", "x" * 300,
]
RATIOS = ["1.", ".5", "1e5", "1E+05", "-0.0", "2.5e-10", "42", "-7.25", "123456.789",
          "1.7976931348623157e308", "5e-324", "0.1", "+3.5"]
COUNTS = ["0", "-0", "+7", "007", "9223372036854775807", "-9223372036854775808", "1", "-1"]
FLAGS = ["true", "false", "TRUE", "False", "tRUE", " true "]


def _timestamp(rng):
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=rng.randrange(2**31))
    return moment.isoformat(sep=rng.choice(" T"))


def records(count=40, seed=6):
    """`count` records as dicts of column name -> input text, plus a nested "doc" value for the
    JSON forms (a Python value, absent from the CSV form)."""
    rng = random.Random(seed)
    rows = []
    for n in range(1, count + 1):
        first = n == 1
        maybe_null = (lambda value: value) if first else (
            lambda value: rng.choice(NULLS) if rng.random() < 0.15 else value)
        row = {
            "n": str(n),
            "nothing": rng.choice(NULLS),
            "flag": maybe_null(rng.choice(FLAGS)),
            "count": maybe_null(rng.choice(COUNTS + [str(rng.randrange(-10**12, 10**12))])),
            "ratio": maybe_null(rng.choice(RATIOS + [repr(rng.uniform(-1e6, 1e6))])),
            "uid": maybe_null(rng.choice([str.lower, str.upper])(str(uuid.UUID(
                int=rng.getrandbits(128))))),
            "day": maybe_null((datetime.date(1900, 1, 1) + datetime.timedelta(
                days=rng.randrange(80000))).isoformat()),
            "at": maybe_null(_timestamp(rng)),
            "note": maybe_null(rng.choice(NOTES)),
            "later": "" if first else rng.choice(
                NULLS[:2] + [str(rng.randrange(-999, 999)), "abc", "2024-02-29",
                             str(uuid.UUID(int=rng.getrandbits(128)))]),
            "code": f"K-{n:04d}-{rng.choice(['α', 'b', 'ç', 'd'])}",
            "doc": rng.choice([{"z": [1, "x\"y\\z"], "a": True}, [], {}, ["'", None, 2],
                               {"nested": {"deeper": ["\n", "日本"]}}, None]),
        }
        rows.append(row)
    return rows


def as_csv(rows):
    out = io.StringIO()
    columns = list(COLUMNS)
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns)
    for row in rows:
        writer.writerow([row[name] for name in columns])
    return out.getvalue()


def _json_value(name, text, rng):
    """Integers, booleans and nulls sometimes as JSON literals, otherwise as strings."""
    if name == "doc":
        return text
    stripped = text.strip()
    if stripped.lower() in ("true", "false") and rng.random() < 0.5:
        return stripped.lower() == "true"
    if stripped == "" and rng.random() < 0.5:
        return None
    if name in ("n", "count") and stripped.lstrip("-").isdigit() and rng.random() < 0.5:
        return int(stripped)
    return text


def _json_objects(rows, seed):
    rng = random.Random(seed)
    objects = []
    for index, row in enumerate(rows):
        # Records after the first may leave out a column: it is not named in their INSERT.
        skip = {"note", "later"} if index and rng.random() < 0.2 else set()
        objects.append({name: _json_value(name, text, rng) for name, text in row.items()
                        if name not in skip})
    return objects


def as_json_array(rows, seed=1):
    return json.dumps(_json_objects(rows, seed), ensure_ascii=False, indent=1)


def as_json_lines(rows, seed=2):
    return "".join(json.dumps(obj, ensure_ascii=rng_ascii, separators=sep) + "\n"
                   for obj, rng_ascii, sep in zip(
                       _json_objects(rows, seed), [False, True] * len(rows),
                       [(", ", ": "), (",", ":")] * len(rows)))


FORMATS = {
    "csv": ("csv", as_csv),
    "json-array": ("json", as_json_array),
    "json-lines": ("json", as_json_lines),
}
