"""Many CSV or JSON files into one table, on a Dask cluster.

load_files(paths, url, table_name) loads every file into one table of the database at url,
all or nothing; convert_files(paths, out_dir, table_name) writes the SQL instead. Both work in
two phases of tasks on the workers of a dask.distributed client: first the columns and types of
each file (a file larger than chunk_bytes is cut into ranges where records end, each a task),
merged into one schema; then the rows of each file or range. The other keyword options are the
morvel load functions' (create_table, primary_key, schema_from, types, on_conflict, delimiter,
...), and format="csv" or "json" when a file's extension does not say (.json, .jsonl and
.ndjson are JSON).

Every worker must import morvel and morvel_dask, read the files at the same paths, and reach the
database. Dask is needed by this module alone: `import morvel` never imports it.
"""

from __future__ import annotations

import os
import re
import time
import uuid
from collections.abc import Sequence
from typing import Any

import morvel

__all__ = ["load_files", "convert_files"]

# Large enough that a task's fixed cost (a connection, a staging table) is small beside it.
DEFAULT_CHUNK_BYTES = 256 << 20

# The PostgreSQL column types of the core's CREATE TABLE and what types= calls them. NUMERIC is
# a number a double cannot hold: types= has no name for it, so it is forced as text, exact.
_TYPE_NAMES = {"BIGINT": "integer", "DOUBLE PRECISION": "float", "NUMERIC": "decimal",
               "BOOLEAN": "boolean", "DATE": "date", "TIMESTAMPTZ": "timestamp", "UUID": "uuid",
               "JSONB": "json", "TEXT": "text"}
_COLUMN = re.compile(r'\s*"((?:[^"]|"")*)" ([A-Z ]+?)(?: NOT NULL)?,?')
# Options that shape the table or the load, not how a file is read.
_TABLE_OPTIONS = {"create_table", "primary_key", "auto_id", "on_conflict", "schema",
                  "schema_from", "dialect", "types"}
_JSON_SUFFIXES = (".json", ".jsonl", ".ndjson")


def _format(path: str, options: dict[str, Any]) -> str:
    given = options.get("format")
    if given is not None:
        return given
    return "json" if path.lower().endswith(_JSON_SUFFIXES) else "csv"


class _Unit:
    """A file, or the byte range [start, end) of one with its header before it."""

    def __init__(self, path: str, start: int | None = None, end: int | None = None,
                 header: bytes = b""):
        self.path, self.start, self.end, self.header = path, start, end, header

    def describe(self) -> str:
        if self.start is None:
            return f"in file '{self.path}'"
        return (f"in file '{self.path}', bytes {self.start} to {self.end} (the record, line "
                "and byte count from the start of that range, after the header)")

    def text(self) -> str:
        with open(self.path, "rb") as file:
            file.seek(self.start)
            data = file.read(self.end - self.start)
        return (self.header + data).decode("utf-8")


def _record_ends(path: str, quote: bytes, wanted: list[int]) -> list[int]:
    """The first record end (just after a line feed outside quotes) at or after each offset
    of `wanted`, ascending; the file's size for one past the last. A doubled quote inside a
    quoted field keeps the count even, so the parity of the quotes before a line feed says
    whether it ends a record."""
    ends, quotes, offset = [], 0, 0
    pending = list(wanted)
    with open(path, "rb") as file:
        while pending:
            block = file.read(8 << 20)
            if not block:
                break
            position = 0
            while pending:
                start = max(pending[0] - offset, position)
                if start >= len(block):
                    break
                line_end = block.find(b"\n", start)
                if line_end < 0:
                    break
                if quote and (quotes + block.count(quote, 0, line_end)) % 2:
                    position = line_end + 1
                    continue
                ends.append(offset + line_end + 1)
                pending.pop(0)
                position = line_end + 1
            if quote:
                quotes += block.count(quote)
            offset += len(block)
    size = os.path.getsize(path)
    return ends + [size] * len(pending)


def _units(path: str, fmt: str, chunk_bytes: int, options: dict[str, Any]) -> list[_Unit]:
    """The file whole, or in ranges of about chunk_bytes cut where records end. Inputs whose
    records cannot be cut from their bytes alone stay whole: a JSON array or a document read
    at a json_path, another encoding, lines skipped or comments before the header."""
    size = os.path.getsize(path)
    if (size <= chunk_bytes or options.get("encoding", "utf-8").lower() not in ("utf-8", "utf8")
            or options.get("skip_lines") or options.get("comment") is not None
            or options.get("json_path")):
        return [_Unit(path)]
    with open(path, "rb") as file:
        if file.read(4096).lstrip(b"\xef\xbb\xbf \t\r\n")[:1] == b"[":
            return [_Unit(path)]
    quote = b"" if fmt == "json" else options.get("quote", '"').encode()
    first = 0
    if fmt == "csv" and not options.get("no_header"):
        first = _record_ends(path, quote, [0])[0]
    with open(path, "rb") as file:
        header = file.read(first)
    pieces = max(1, round((size - first) / chunk_bytes))
    cuts = _record_ends(path, quote, [first + (size - first) * k // pieces - 1
                                      for k in range(1, pieces)]) if pieces > 1 else []
    bounds = sorted(set([first] + [c for c in cuts if first < c < size] + [size]))
    return [_Unit(path, start, end, header) for start, end in zip(bounds, bounds[1:])]


def _read_options(unit: _Unit, fmt: str, options: dict[str, Any]) -> dict[str, Any]:
    """The options that say how the unit is read, as a morvel function takes them."""
    read = {k: v for k, v in options.items() if k not in _TABLE_OPTIONS and k != "format"}
    if unit.start is not None:
        read.pop("encoding", None)
        # A range goes in as text, without the file's name that says .tsv means tabs.
        if (fmt == "csv" and "delimiter" not in read and not read.get("tsv")
                and unit.path.lower().endswith((".tsv", ".tab"))):
            read["delimiter"] = "\t"
    return read


def _noted(unit: _Unit, call):
    try:
        return call()
    except Exception as error:
        error.add_note(f"morvel_dask: {unit.describe()}")
        raise


def _columns(unit: _Unit, fmt: str, options: dict[str, Any]) -> list[tuple[str, str]]:
    """Task: the unit's columns and their types, as the core types them."""
    keywords = _read_options(unit, fmt, options)
    keywords.update(create_table=True, dialect="postgres",
                    schema_from=options.get("schema_from", "first"))
    if options.get("types"):
        keywords["types"] = options["types"]

    def first_statement():
        if unit.start is None:
            iterate = morvel.iter_csv_file_to_sql if fmt == "csv" else morvel.iter_json_file_to_sql
            statements = iterate(unit.path, "t", **keywords)
        else:
            iterate = morvel.iter_csv_to_sql if fmt == "csv" else morvel.iter_json_to_sql
            statements = iterate(unit.text(), "t", **keywords)
        return next(iter(statements), "")

    create = _noted(unit, first_statement)
    columns = []
    for line in create.splitlines()[1:]:
        match = _COLUMN.fullmatch(line)
        if match:
            columns.append((match[1].replace('""', '"'), _TYPE_NAMES[match[2]]))
    return columns


def _wider(first: str, second: str) -> str:
    """The type that holds the values of both: integer within float, either within an exact
    decimal, date within timestamp, text for anything else."""
    if first == second:
        return first
    pair = {first, second}
    if pair <= {"integer", "float", "decimal"}:
        return "decimal" if "decimal" in pair else "float"
    if pair == {"date", "timestamp"}:
        return "timestamp"
    return "text"


def _merge(schemas: Sequence[list[tuple[str, str]]]) -> dict[str, str]:
    """One schema: the columns in the order first met, each in the type that holds all."""
    merged: dict[str, str] = {}
    for schema in schemas:
        for name, kind in schema:
            merged[name] = _wider(merged[name], kind) if name in merged else kind
    return merged


def _forced(merged: dict[str, str]) -> dict[str, str]:
    return {name: "text" if kind == "decimal" else kind for name, kind in merged.items()}


def _dialect(url: str) -> str:
    scheme = url.split(":", 1)[0].lower()
    if scheme.startswith("sqlite"):
        return "sqlite"
    if scheme in ("mysql", "mariadb"):
        return "mysql"
    return "postgres"


def _quote(name: str, dialect: str) -> str:
    if dialect == "mysql":
        return "`" + name.replace("`", "``") + "`"
    return '"' + name.replace('"', '""') + '"'


def _create_statement(table: str, columns: dict[str, str], dialect: str,
                      options: dict[str, Any]) -> str:
    """The core's CREATE TABLE for the merged columns, made from a record of empty values."""
    header = ",".join('"' + name.replace('"', '""') + '"' for name in columns)
    keywords = {k: options[k] for k in ("primary_key", "auto_id", "schema") if options.get(k)}
    statements = morvel.iter_csv_to_sql(header + '\n""\n', table, True, dialect=dialect,
                                        types=_forced(columns), allow_short_rows=True,
                                        **keywords)
    return next(iter(statements)).strip()


def _schema(paths, options, chunk_bytes, client, every_unit):
    """The units of every file in input order, each unit's format, the merged columns, and
    each unit's own columns in their merged types (what it is given as types=: a column it
    lacks would be refused)."""
    formats = [_format(str(path), options) for path in paths]
    units, unit_formats = [], []
    for path, fmt in zip(paths, formats):
        for unit in _units(str(path), fmt, chunk_bytes, options):
            units.append(unit)
            unit_formats.append(fmt)
    if not units:
        raise ValueError("no input files were given")
    # Without schema_from="all" the table's columns are the first record of the first file, as
    # the command takes them, and other units' columns are looked at only when `every_unit`
    # asks for their types; a unit's are then its first record's.
    every_record = options.get("schema_from", "first") == "all"
    looked_at = units if every_record or every_unit else units[:1]
    futures = client.map(_columns, looked_at, unit_formats[:len(looked_at)], options=options,
                         pure=False)
    schemas = client.gather(futures)
    merged = _merge(schemas if every_record else schemas[:1])
    if options.get("schema_from") == "all" and "json" in unit_formats:
        # JSON objects' keys have no order of their own: the core sorts the columns by name.
        merged = dict(sorted(merged.items(), key=lambda column: column[0].encode()))
    if not merged:
        raise ValueError(f"no columns found in '{units[0].path}'")
    forced = _forced(merged)
    unit_types = [{name: forced[name] for name, _ in schema if name in forced}
                  for schema in schemas]
    return units, unit_formats, merged, unit_types


def _load_unit(unit: _Unit, fmt: str, url: str, table: str, create: str,
               options: dict[str, Any]) -> int:
    """Task: the unit's rows into `table`, a staging table made here by `create` with every
    merged column, whichever of them the unit has; the loader takes each value in its column's
    type, as into any table that exists."""
    keywords = _read_options(unit, fmt, options)
    if options.get("schema"):
        keywords["schema"] = options["schema"]

    def load():
        if create:
            morvel._execute(url, [create])
        if unit.start is None:
            function = morvel.load_csv_file if fmt == "csv" else morvel.load_json_file
            return function(unit.path, url, table, **keywords)
        function = morvel.load_csv if fmt == "csv" else morvel.load_json
        return function(unit.text(), url, table, **keywords)

    return _noted(unit, load)


def _insert_head(dialect: str, on_conflict: str) -> str:
    if dialect == "mysql":
        return {"ignore": "INSERT IGNORE INTO", "replace": "REPLACE INTO"}.get(on_conflict,
                                                                               "INSERT INTO")
    if dialect == "sqlite":
        return {"ignore": "INSERT OR IGNORE INTO",
                "replace": "INSERT OR REPLACE INTO"}.get(on_conflict, "INSERT INTO")
    return "INSERT INTO"


def _conflict_tail(dialect: str, on_conflict: str, columns: list[str],
                   options: dict[str, Any]) -> str:
    if dialect != "postgres" or on_conflict == "error":
        return ""
    if on_conflict == "ignore":
        return " ON CONFLICT DO NOTHING"
    keys = [key.strip() for key in (options.get("primary_key") or "").split(",") if key.strip()]
    if not keys:
        raise ValueError("on_conflict='replace' into PostgreSQL needs primary_key naming the "
                         "table's key columns")
    updates = ", ".join(f"{_quote(c, dialect)} = EXCLUDED.{_quote(c, dialect)}"
                        for c in columns if c not in keys)
    conflict = ", ".join(_quote(k, dialect) for k in keys)
    return (f" ON CONFLICT ({conflict}) DO UPDATE SET {updates}" if updates
            else f" ON CONFLICT ({conflict}) DO NOTHING")


def _copy_statements(target: str, sources: list[str], columns: list[str], dialect: str,
                     options: dict[str, Any]) -> list[str]:
    """INSERT ... SELECT from each source into the target, in input order."""
    on_conflict = options.get("on_conflict", "error")
    names = ", ".join(_quote(c, dialect) for c in columns)
    head = _insert_head(dialect, on_conflict)
    tail = _conflict_tail(dialect, on_conflict, columns, options)
    # PostgreSQL wants a WHERE between the SELECT and ON CONFLICT for the grammar to be plain.
    where = " WHERE true" if tail else ""
    return [f"{head} {target} ({names}) SELECT {names} FROM {source}{where}{tail}"
            for source in sources]


def _qualified(name: str, dialect: str, options: dict[str, Any]) -> str:
    schema = options.get("schema")
    quoted = _quote(name, dialect)
    return f"{_quote(schema, dialect)}.{quoted}" if schema else quoted


def _sqlite_path(url: str) -> str:
    path = url.split(":", 1)[1]
    path = path[3:] if path.startswith("///") else path.lstrip("/")
    return os.path.abspath(path.split("?", 1)[0])


def _sql_text(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def _wait_all(client, futures):
    """Waits for every task, so none is still writing when the staging is dropped, then
    raises the first failure in input order."""
    from distributed import wait
    wait(futures)
    return client.gather(futures)


def load_files(paths: Sequence[str | os.PathLike[str]], url: str, table_name: str,
               client=None, *, chunk_bytes: int = DEFAULT_CHUNK_BYTES,
               timings: dict[str, float] | None = None, **options) -> int:
    """Load the files at paths into table_name of the database at url, all or nothing, with
    the tasks on the workers of client (None: the current dask.distributed client). Returns the
    number of records loaded.

    One schema for all files: with schema_from="all" from every record of every file, else
    from the first record of the first file. Each task loads its file or range into a staging
    table with that schema; one transaction then copies the staged rows into the table in
    input order, honouring on_conflict (PostgreSQL's "replace" needs primary_key), and the
    staging tables are dropped. A PostgreSQL table the call creates (on_conflict "error", no
    auto_id) is loaded as one staging table that the transaction renames and keys. A failure anywhere leaves the table as it was and raises the
    morvel error with a note naming the file (and range). Under MySQL, whose CREATE TABLE
    commits, a table this call created stays, empty, when the copy itself fails.

    chunk_bytes is the size above which a file is cut into ranges, each a task. timings, a
    dict if given, receives the seconds of each phase: "schema", "rows" (the staging loads)
    and "move" (the copy into the table and the cleaning up).
    """
    timings = {} if timings is None else timings
    started = time.perf_counter()
    if client is None:
        from distributed import get_client
        client = get_client()
    units, formats, merged, _ = _schema(paths, options, chunk_bytes, client, False)
    timings["schema"] = time.perf_counter() - started
    dialect = _dialect(url)
    token = uuid.uuid4().hex[:12]
    stage_options = {k: v for k, v in options.items() if k not in _TABLE_OPTIONS}
    stage_options["schema"] = options.get("schema")
    columns = list(merged)
    create = [_create_statement(table_name, merged, dialect, options)] \
        if options.get("create_table") else []
    target = _qualified(table_name, dialect, options)

    if dialect == "sqlite":
        return _load_sqlite(client, units, formats, url, token, merged, stage_options, create,
                            target, options, timings)
    if (dialect == "postgres" and create and options.get("on_conflict", "error") == "error"
            and not options.get("auto_id") and not _exists(url, target)):
        return _load_renamed(client, units, formats, url, table_name, token, merged,
                             stage_options, create[0], target, options, timings)

    stages = [f"morvel_stage_{token}_{i}" for i in range(len(units))]
    sources = [_qualified(stage, dialect, options) for stage in stages]
    try:
        started = time.perf_counter()
        futures = [client.submit(_load_unit, unit, fmt, url, stage,
                                 _stage_statement(stage, merged, dialect, options),
                                 stage_options, pure=False)
                   for unit, fmt, stage in zip(units, formats, stages)]
        counts = _wait_all(client, futures)
        timings["rows"] = time.perf_counter() - started
        started = time.perf_counter()
        begin = "START TRANSACTION" if dialect == "mysql" else "BEGIN"
        copies = _copy_statements(target, sources, columns, dialect, options)
        if dialect == "mysql":
            # Its CREATE TABLE commits on its own, so it comes before the transaction.
            morvel._execute(url, create + [begin] + copies + ["COMMIT"])
        else:
            morvel._execute(url, [begin] + create + copies + ["COMMIT"])
    finally:
        morvel._execute(url, [f"DROP TABLE IF EXISTS {source}" for source in sources])
    timings["move"] = time.perf_counter() - started
    return sum(counts)


def _exists(url: str, target: str) -> bool:
    """Whether PostgreSQL resolves target to a table (or anything else with that name) now."""
    body = (f"BEGIN IF to_regclass({_sql_text(target)}) IS NOT NULL THEN "
            "RAISE EXCEPTION 'exists'; END IF; END")
    try:
        morvel._execute(url, [f"DO {_sql_text(body)}"])
    except ValueError:
        return True
    return False


def _load_renamed(client, units, formats, url, table_name, token, merged, stage_options,
                  create, target, options, timings) -> int:
    # A PostgreSQL table this call creates needs no second copy of its rows: every task loads
    # into one logged table under a name of its own, then one transaction renames it to the
    # target and adds the key. Until that commits, the target does not exist, so a failure
    # leaves it as it was. Indexing once at the end is also cheaper than keeping the index
    # while rows arrive; a key broken by the rows fails that transaction, as the copy would.
    stage = f"morvel_stage_{token}"
    source = _qualified(stage, "postgres", options)
    stage_create = _create_statement(stage, merged, "postgres",
                                     {"schema": options.get("schema")})
    key = re.search(r"^\s*PRIMARY KEY \((.*)\)$", create, re.M)
    finish = ["BEGIN", f"ALTER TABLE {source} RENAME TO {_quote(table_name, 'postgres')}"]
    if key:
        finish.append(f"ALTER TABLE {target} ADD PRIMARY KEY ({key[1]})")
    finish.append("COMMIT")
    try:
        started = time.perf_counter()
        morvel._execute(url, [stage_create.replace(" IF NOT EXISTS", "", 1)])
        futures = [client.submit(_load_unit, unit, fmt, url, stage, None, stage_options,
                                 pure=False)
                   for unit, fmt in zip(units, formats)]
        counts = _wait_all(client, futures)
        timings["rows"] = time.perf_counter() - started
        started = time.perf_counter()
        try:
            morvel._execute(url, finish)
        except ValueError:
            if not _exists(url, target):
                raise
            # The target appeared while the rows were loading: they go into it as into any
            # table that exists.
            morvel._execute(url, ["BEGIN"] + _copy_statements(target, [source], list(merged),
                                                             "postgres", options) + ["COMMIT"])
    finally:
        morvel._execute(url, [f"DROP TABLE IF EXISTS {source}"])
    timings["move"] = time.perf_counter() - started
    return sum(counts)


def _stage_statement(stage: str, merged: dict[str, str], dialect: str,
                     options: dict[str, Any]) -> str:
    """The CREATE TABLE of a staging table: every merged column, no key."""
    create = _create_statement(stage, merged, dialect, {"schema": options.get("schema")})
    if dialect == "postgres":
        # Staged rows are read once and dropped: unlogged, they skip the WAL.
        create = create.replace("CREATE TABLE IF NOT EXISTS", "CREATE UNLOGGED TABLE", 1)
    return create


def _load_sqlite(client, units, formats, url, token, merged, stage_options, create, target,
                 options, timings) -> int:
    # SQLite has one writer per file: workers loading into the target would wait on each other's
    # locks. Each task loads into a SQLite file of its own beside the target, in parallel; the
    # client gathers them into one staging file (a scratch file, so no transaction is needed
    # there) a few at a time, since SQLite attaches only ten databases at once and never inside
    # a transaction; then one transaction copies that file's rows into the target.
    base = _sqlite_path(url)
    stage_files = [f"{base}.{token}.{i}.stage" for i in range(len(units))]
    gathered = f"{base}.{token}.stage"
    stage_create = _stage_statement("stage", merged, "sqlite", {})
    futures = [client.submit(_load_unit, unit, fmt, "sqlite:///" + path, "stage", stage_create,
                             dict(stage_options, schema=None), pure=False)
               for unit, fmt, path in zip(units, formats, stage_files)]
    columns = list(merged)
    stage = _quote("stage", "sqlite")
    names = ", ".join(_quote(c, "sqlite") for c in columns)
    try:
        started = time.perf_counter()
        counts = _wait_all(client, futures)
        timings["rows"] = time.perf_counter() - started
        started = time.perf_counter()
        first = stage_files[0]
        os.replace(first, gathered)
        rest = stage_files[1:]
        for start in range(0, len(rest), 9):
            group = rest[start:start + 9]
            statements = [f"ATTACH {_sql_text(path)} AS s{i}" for i, path in enumerate(group)]
            statements.append("BEGIN")
            statements += [f"INSERT INTO {stage} ({names}) SELECT {names} FROM s{i}.{stage}"
                           for i in range(len(group))]
            statements.append("COMMIT")
            morvel._execute("sqlite:///" + gathered, statements)
        copy = _copy_statements(target, [f"staged.{stage}"], columns, "sqlite", options)
        morvel._execute(url, [f"ATTACH {_sql_text(gathered)} AS staged", "BEGIN IMMEDIATE"]
                        + create + copy + ["COMMIT"])
    finally:
        for path in stage_files + [gathered]:
            for leftover in (path, path + "-journal"):
                if os.path.exists(leftover):
                    os.remove(leftover)
    timings["move"] = time.perf_counter() - started
    return sum(counts)


def _convert_unit(unit: _Unit, fmt: str, output: str, table: str, types: dict[str, str],
                  options: dict[str, Any]) -> str:
    """Task: the unit's INSERT statements into the file at output."""
    keywords = _read_options(unit, fmt, options)
    keywords["types"] = types
    for key in ("dialect", "schema", "on_conflict"):
        if options.get(key) is not None:
            keywords[key] = options[key]

    def convert():
        if unit.start is None:
            function = (morvel.convert_csv_file_to_sql if fmt == "csv"
                        else morvel.convert_json_file_to_sql)
            function(unit.path, table, output=output, **keywords)
        else:
            function = morvel.convert_csv_to_sql if fmt == "csv" else morvel.convert_json_to_sql
            function(unit.text(), table, output=output, **keywords)

    _noted(unit, convert)
    return output


def convert_files(paths: Sequence[str | os.PathLike[str]], out_dir: str | os.PathLike[str],
                  table_name: str, client=None, *, chunk_bytes: int = DEFAULT_CHUNK_BYTES,
                  **options) -> list[str]:
    """Write the SQL that loads the files at paths into table_name, one file per task, into
    the folder out_dir (made if missing): create_table.sql with the CREATE TABLE of the one
    merged schema (when create_table), then part-00000.sql, part-00001.sql, ... in input order,
    each of INSERT statements in options' dialect (default postgres). Returns their paths in
    the order to run them. A failure raises the morvel error with a note naming the file.
    """
    if client is None:
        from distributed import get_client
        client = get_client()
    units, formats, merged, unit_types = _schema(paths, options, chunk_bytes, client, True)
    os.makedirs(out_dir, exist_ok=True)
    written = []
    if options.get("create_table"):
        create = os.path.join(os.fspath(out_dir), "create_table.sql")
        with open(create, "w", encoding="utf-8") as file:
            file.write(_create_statement(table_name, merged, options.get("dialect", "postgres"),
                                         options) + "\n")
        written.append(create)
    outputs = [os.path.join(os.fspath(out_dir), f"part-{i:05d}.sql") for i in range(len(units))]
    futures = [client.submit(_convert_unit, unit, fmt, output, table_name, types, options,
                             pure=False)
               for unit, fmt, output, types in zip(units, formats, outputs, unit_types)]
    return written + _wait_all(client, futures)
