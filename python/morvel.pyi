"""Turn raw data into ready-to-run SQL."""

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

def convert_csv_to_sql(
    csv_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
) -> str: ...
def convert_json_to_sql(
    json_data: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
) -> str: ...
def convert_csv_file_to_sql(
    path: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
) -> str: ...
def convert_json_file_to_sql(
    path: str,
    table_name: str = "morvel_table",
    create_table: bool = False,
    dialect: str = "postgres",
    primary_key: str | None = None,
    auto_id: bool = False,
) -> str: ...
def cli_main() -> None: ...
