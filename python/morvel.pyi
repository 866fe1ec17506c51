"""Turn raw data into ready-to-run SQL.

convert_csv_to_sql and convert_json_to_sql turn text, convert_csv_file_to_sql and
convert_json_file_to_sql a file, into an SQL script for PostgreSQL, SQLite or MySQL;
iter_csv_to_sql, iter_json_to_sql, iter_csv_file_to_sql and iter_json_file_to_sql give
that script a statement at a time; cli_main runs the morvel command. help() on each
function lists its parameters.
"""

import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Literal, Protocol, TypeAlias, overload


__all__ = [
    "convert_csv_to_sql",
    "convert_json_to_sql",
    "convert_csv_file_to_sql",
    "convert_json_file_to_sql",
    "cli_main",
    "load_csv",
    "load_json",
    "load_csv_file",
    "load_json_file",
    "iter_csv_to_sql",
    "iter_json_to_sql",
    "iter_csv_file_to_sql",
    "iter_json_file_to_sql",
]

__version__: str

# _execute, the helper morvel_dask moves staged rows with, is private and left out on purpose.

# Every name in any letter case is accepted at run time; these are the spellings checked here.
Dialect: TypeAlias = Literal["postgres", "postgresql", "pg", "sqlite", "sqlite3", "mysql", "mariadb"]
# The types a column may be declared as (types=).
ColumnType: TypeAlias = Literal[
    "text", "integer", "float", "boolean", "date", "timestamp", "uuid", "json"
]
StrOrBytesPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# Several files (folders among them) read as one input into one table.
Paths: TypeAlias = StrOrBytesPath | list[StrOrBytesPath] | tuple[StrOrBytesPath, ...]

# Each format's own options are its functions' alone: quote (CSV; delimiter="whitespace" splits at
# runs of spaces and tabs) and json_path (JSON, keys joined by dots, e.g. "data.items"). A file
# function's path ending in .tsv or .tab reads tab-separated unless delimiter is given.

class BinaryWriter(Protocol):
    """What output= writes to besides a path: any object with a write method taking bytes."""

    def write(self, data: bytes, /) -> object: ...

class PanicException(Exception):
    """An unexpected internal failure; the interpreter keeps running."""

class DataWarning(UserWarning):
    """A conversion went through, but the SQL may not keep every value, or the input was read
    in a way worth knowing about. With a list of paths, the message begins with the path of the
    file it concerns and ": ", and a record it names is counted within that file."""

@overload
def convert_csv_to_sql(
    csv_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: None = None,
) -> str:
    """Turn csv_data (CSV text) into SQL.

    Returns the whole script as a str: the CREATE TABLE statement, if asked for, and one
    INSERT statement per record, each on its own line.
    """

@overload
def convert_csv_to_sql(
    csv_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: StrOrBytesPath | BinaryWriter,
) -> None:
    """Turn csv_data (CSV text) into SQL.

    Streams the SQL to output (a path, or a binary file object's write) as it is made, in
    bounded memory, and returns None.
    """

@overload
def convert_json_to_sql(
    json_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: None = None,
) -> str:
    """Turn json_data (JSON text) into SQL.

    Returns the whole script as a str: the CREATE TABLE statement, if asked for, and one
    INSERT statement per record, each on its own line.
    """

@overload
def convert_json_to_sql(
    json_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: StrOrBytesPath | BinaryWriter,
) -> None:
    """Turn json_data (JSON text) into SQL.

    Streams the SQL to output (a path, or a binary file object's write) as it is made, in
    bounded memory, and returns None.
    """

@overload
def convert_csv_file_to_sql(
    path: Paths,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: None = None,
) -> str:
    """Turn the CSV file at path into SQL.

    Returns the whole script as a str: the CREATE TABLE statement, if asked for, and one
    INSERT statement per record, each on its own line.

    path may be a list or tuple of paths: the files, a folder's regular files sorted by
    name (hidden ones left out), are read in order as one input into one table, with
    one schema (schema_from="all": from every record of every file) and each CSV
    header equal to the first; a failure's note names the file.
    """

@overload
def convert_csv_file_to_sql(
    path: Paths,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: StrOrBytesPath | BinaryWriter,
) -> None:
    """Turn the CSV file at path into SQL.

    Streams the SQL to output (a path, or a binary file object's write) as it is made, in
    bounded memory, and returns None.

    path may be a list or tuple of paths: the files, a folder's regular files sorted by
    name (hidden ones left out), are read in order as one input into one table, with
    one schema (schema_from="all": from every record of every file) and each CSV
    header equal to the first; a failure's note names the file.
    """

@overload
def convert_json_file_to_sql(
    path: Paths,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: None = None,
) -> str:
    """Turn the JSON file at path into SQL.

    Returns the whole script as a str: the CREATE TABLE statement, if asked for, and one
    INSERT statement per record, each on its own line.

    path may be a list or tuple of paths: the files, a folder's regular files sorted by
    name (hidden ones left out), are read in order as one input into one table, with
    one schema (schema_from="all": from every record of every file) and each CSV
    header equal to the first; a failure's note names the file.
    """

@overload
def convert_json_file_to_sql(
    path: Paths,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
    output: StrOrBytesPath | BinaryWriter,
) -> None:
    """Turn the JSON file at path into SQL.

    Streams the SQL to output (a path, or a binary file object's write) as it is made, in
    bounded memory, and returns None.

    path may be a list or tuple of paths: the files, a folder's regular files sorted by
    name (hidden ones left out), are read in order as one input into one table, with
    one schema (schema_from="all": from every record of every file) and each CSV
    header equal to the first; a failure's note names the file.
    """

def cli_main() -> None:
    """Run the morvel command with the arguments in sys.argv; raises SystemExit with its status
    unless a conversion succeeded."""

def load_csv(
    csv_data: str,
    url: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> int:
    """Load csv_data (CSV text) into the database at url, all or nothing; returns the
    number of records loaded."""

def load_json(
    json_data: str,
    url: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> int:
    """Load json_data (JSON text) into the database at url, all or nothing; returns the
    number of records loaded."""

def load_csv_file(
    path: Paths,
    url: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    encoding: str = "utf-8",
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> int:
    """Load the CSV file at path into the database at url, all or nothing; returns the
    number of records loaded.

    path may be a list or tuple of paths: the files, a folder's regular files sorted by
    name (hidden ones left out), are read in order as one input into one table, with
    one schema (schema_from="all": from every record of every file) and each CSV
    header equal to the first; a failure's note names the file.
    """

def load_json_file(
    path: Paths,
    url: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    encoding: str = "utf-8",
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> int:
    """Load the JSON file at path into the database at url, all or nothing; returns the
    number of records loaded.

    path may be a list or tuple of paths: the files, a folder's regular files sorted by
    name (hidden ones left out), are read in order as one input into one table, with
    one schema (schema_from="all": from every record of every file) and each CSV
    header equal to the first; a failure's note names the file.
    """

def iter_csv_to_sql(
    csv_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> Iterator[str]:
    """Turn csv_data (CSV text) into SQL, a statement at a time.

    Yields each statement of the script as a str, with the line breaks after it: CREATE
    TABLE, an INSERT (of one record or a batch), BEGIN or START TRANSACTION, COMMIT, or a
    whole COPY block. The conversion runs ahead on its own thread, in bounded memory.
    """

def iter_json_to_sql(
    json_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> Iterator[str]:
    """Turn json_data (JSON text) into SQL, a statement at a time.

    Yields each statement of the script as a str, with the line breaks after it: CREATE
    TABLE, an INSERT (of one record or a batch), BEGIN or START TRANSACTION, COMMIT, or a
    whole COPY block. The conversion runs ahead on its own thread, in bounded memory.
    """

def iter_csv_file_to_sql(
    path: StrOrBytesPath,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    quote: str = '"',
    fix_names: bool = False,
    row_names: bool = False,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> Iterator[str]:
    """Turn the CSV file at path into SQL, a statement at a time.

    Yields each statement of the script as a str, with the line breaks after it: CREATE
    TABLE, an INSERT (of one record or a batch), BEGIN or START TRANSACTION, COMMIT, or a
    whole COPY block. The conversion runs ahead on its own thread, in bounded memory.
    path is one file: a list of paths is for the convert and load functions.
    """

def iter_json_file_to_sql(
    path: StrOrBytesPath,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: Dialect = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema: str | None = None,
    schema_from: Literal["first", "all"] = "first",
    types: Mapping[str, ColumnType] | None = None,
    null_values: Sequence[str] = (),
    json_path: str | None = None,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: Literal["error", "ignore", "replace"] = "error",
    jobs: int | None = None,
) -> Iterator[str]:
    """Turn the JSON file at path into SQL, a statement at a time.

    Yields each statement of the script as a str, with the line breaks after it: CREATE
    TABLE, an INSERT (of one record or a batch), BEGIN or START TRANSACTION, COMMIT, or a
    whole COPY block. The conversion runs ahead on its own thread, in bounded memory.
    path is one file: a list of paths is for the convert and load functions.
    """
