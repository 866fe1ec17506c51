"""Turn raw data into ready-to-run SQL."""

from collections.abc import Sequence

__all__ = [
    "convert_csv_to_sql",
    "convert_json_to_sql",
    "convert_csv_file_to_sql",
    "convert_json_file_to_sql",
    "cli_main",
]

__version__: str

class PanicException(BaseException):
    """An unexpected internal failure; the interpreter keeps running."""

class DataWarning(UserWarning):
    """A conversion went through, but the SQL may not keep every value, or the input was read
    in a way worth knowing about."""

def convert_csv_to_sql(
    csv_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema_from: str = "first",
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: str = "error",
    jobs: int | None = None,
) -> str: ...
def convert_json_to_sql(
    json_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema_from: str = "first",
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: str = "error",
    jobs: int | None = None,
) -> str: ...
def convert_csv_file_to_sql(
    path: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema_from: str = "first",
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: str = "error",
    jobs: int | None = None,
) -> str: ...
def convert_json_file_to_sql(
    path: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
    *,
    schema_from: str = "first",
    null_values: Sequence[str] = (),
    delimiter: str = ",",
    tsv: bool = False,
    comment: str | None = None,
    skip_lines: int = 0,
    no_header: bool = False,
    allow_short_rows: bool = False,
    encoding: str = "utf-8",
    batch_size: int = 1,
    transaction: bool = False,
    copy: bool = False,
    on_conflict: str = "error",
    jobs: int | None = None,
) -> str: ...
def cli_main() -> None: ...
