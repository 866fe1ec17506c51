# Calls a type checker must accept, and calls it must refuse: each refused line ends with
# "# refused".
import io
import pathlib
import sys
from collections.abc import Iterator

import morvel

text: str = morvel.convert_csv_to_sql("a\n1\n", dialect="sqlite3", schema_from="all")
text = morvel.convert_json_to_sql("[]", "t", True, "mariadb", on_conflict="ignore")
text = morvel.convert_csv_file_to_sql(pathlib.Path("a.csv"), delimiter=";", encoding="latin1")
text = morvel.convert_json_file_to_sql(b"a.json", jobs=None)
text = morvel.convert_csv_to_sql("a\n1\n", schema="s", types={"a": "text"})
nothing: None = morvel.convert_csv_to_sql("a\n1\n", output=io.BytesIO())
nothing = morvel.convert_csv_file_to_sql("a.csv", output=pathlib.Path("a.sql"))
nothing = morvel.convert_json_to_sql("[]", output=sys.stdout.buffer)
statements: Iterator[str] = morvel.iter_csv_file_to_sql(pathlib.Path("a.csv"), batch_size=10)
statements = morvel.iter_json_to_sql("[]", "t", True, "mysql")
try:
    pass
except morvel.PanicException as error:
    caught: Exception = error

morvel.convert_csv_to_sql("a\n1\n", dialect="sqlte")  # refused
morvel.convert_csv_to_sql("a\n1\n", schema_from="everything")  # refused
morvel.convert_json_to_sql("[]", on_conflict="skip")  # refused
morvel.convert_csv_to_sql("a\n1\n", types={"a": "varchar"})  # refused
morvel.convert_json_to_sql("[]", delimiter=";")  # refused
morvel.convert_csv_to_sql("a\n1\n", encoding="latin1")  # refused
morvel.convert_csv_to_sql("a\n1\n", output=5)  # refused
morvel.convert_csv_to_sql("a\n1\n", output=io.StringIO())  # refused
wrong: str = morvel.convert_csv_to_sql("a\n1\n", output="a.sql")  # refused
morvel.iter_json_file_to_sql("a.json", tsv=True)  # refused
morvel.iter_csv_to_sql("a\n1\n", output="a.sql")  # refused
whole: str = morvel.iter_csv_to_sql("a\n1\n")  # refused
