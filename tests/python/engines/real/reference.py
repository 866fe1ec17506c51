"""An independent reader of the real files, built on Python's csv and json modules: what each
file's author means by it, as raw field texts, to hold morvel's output against.

read(entry, path, case_blind) -> (columns, rows) for one manifest entry; rows are lists of raw
field texts, or None for a missing value. case_blind: the engine's names ignore letter case.

CSV-like files (format "csv"):
  * bytes are decoded with entry["encoding"] (UTF-8 by default); a leading U+FEFF is dropped;
  * the first entry["skip_lines"] physical lines are dropped;
  * then a line starting with entry["comment"] is dropped wherever a record may start (not
    inside a quoted multi-line field);
  * empty lines are not records;
  * fields are split on entry["delimiter"] with '"' quoting and doubled quotes inside quoted
    fields; the delimiter "whitespace" splits each line at runs of spaces and tabs, those at its
    ends ignored, a field that opens with '"' running to its closing quote;
  * with a header (the default), its record gives the column names; without one the columns are
    column_1 .. column_N, N being the widest record;
  * entry["row_names"]: R's row names, a first column row_names, whether the header leaves its
    name out (write.table; the records have one field more) or gives it as empty (write.csv);
  * entry["fix_names"]: an empty name is column_N (its position from 1), and a name met before
    (in any letter case when case_blind) takes the first free of name_2, name_3, ...;
  * a field that is empty (also a quoted "") or one of entry["null_words"] is None; a record
    shorter than the columns is padded with None only when entry["short_rows"] is set; any other
    record of the wrong width is an error.
JSON files (format "json"): an array of objects, or one object per line; with
  entry["json_path"] ("a.b"), the array at those keys of the top-level object. Columns are the
  union of keys in UTF-8 byte order; a missing key or null gives None, numbers keep their JSON
  text, true/false give "true"/"false", nested arrays and objects give compact JSON with sorted
  keys.
"""
import csv
import io
import itertools
import json
import re


def read(entry, path, case_blind):
    with open(path, "rb") as f:
        text = f.read().decode(entry.get("encoding", "utf-8"))
    text = text.removeprefix("\ufeff")
    if entry["format"] == "json":
        return _read_json(entry, text)
    return _read_csv(entry, text, case_blind)


# A whitespace-separated field: quoted up to its closing quote, or a run of anything but blanks.
_BLANK_SEPARATED = re.compile(r'"((?:[^"]|"")*)"(?=[ \t]|$)|([^ \t]+)')


def _split_blanks(lines):
    for line in lines:
        fields = [quoted.replace('""', '"') if quoted is not None else bare
                  for quoted, bare in ((m.group(1), m.group(2))
                                       for m in _BLANK_SEPARATED.finditer(line.strip(" \t\r\n")))]
        yield fields


def _fixed(names, case_blind):
    fold = str.lower if case_blind else str
    taken, fixed = {fold(n) for n in names}, []
    for i, name in enumerate(names, 1):
        if not name:
            name = "column_%d" % i
        elif fold(name) in map(fold, fixed):
            name = next(f"{name}_{n}" for n in itertools.count(2)
                        if fold(f"{name}_{n}") not in taken)
        taken.add(fold(name))
        fixed.append(name)
    return fixed


def _read_csv(entry, text, case_blind):
    lines = io.StringIO(text, newline="")
    for _ in range(entry.get("skip_lines", 0)):
        lines.readline()
    comment = entry.get("comment")
    at_record_start = True

    def feed():
        nonlocal at_record_start
        for line in lines:
            if at_record_start and comment and line.startswith(comment):
                continue
            at_record_start = False
            yield line

    if entry["delimiter"] == "whitespace":
        reader = _split_blanks(feed())
    else:
        reader = csv.reader(feed(), delimiter=entry["delimiter"], quotechar='"',
                            doublequote=True, strict=True)
    records = []
    for record in reader:
        at_record_start = True
        if record:
            records.append(record)
    if entry.get("header", True):
        columns, records = records[0], records[1:]
        if entry.get("row_names"):
            named = records and len(records[0]) == len(columns)
            columns = ["row_names"] + columns[1 if named and columns[0] == "" else 0:]
        if entry.get("fix_names"):
            columns = _fixed(columns, case_blind)
    else:
        columns = ["column_%d" % (i + 1) for i in range(max(map(len, records)))]
    nulls = set(entry.get("null_words", [])) | {""}
    rows = []
    for n, record in enumerate(records, 1):
        if len(record) > len(columns) or (len(record) < len(columns)
                                          and not entry.get("short_rows")):
            raise ValueError("record %d has %d fields for %d columns"
                             % (n, len(record), len(columns)))
        rows.append([None if v in nulls else v for v in record]
                    + [None] * (len(columns) - len(record)))
    return columns, rows


class _Number(str):
    """A JSON number kept as its source text."""


def _plain(v):
    if isinstance(v, _Number):
        return float(v) if any(c in v for c in ".eE") else int(v)
    if isinstance(v, list):
        return [_plain(x) for x in v]
    if isinstance(v, dict):
        return {k: _plain(x) for k, x in v.items()}
    return v


def _field(v):
    if v is None:
        return None
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, (list, dict)):
        return json.dumps(_plain(v), separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    return str(v)


def _read_json(entry, text):
    load = lambda s: json.loads(s, parse_int=_Number, parse_float=_Number)
    if "json_path" in entry:
        objects = load(text)
        for key in entry["json_path"].split("."):
            objects = objects[key]
    elif text.lstrip().startswith("["):
        objects = load(text)
    else:
        objects = [load(line) for line in text.splitlines() if line.strip()]
    if not objects or not all(isinstance(o, dict) for o in objects):
        raise ValueError("not a non-empty list of JSON objects")
    columns = sorted({k for o in objects for k in o}, key=lambda k: k.encode("utf-8"))
    return columns, [[_field(o.get(k)) for k in columns] for o in objects]
