"""Every engine runs morvel's output unedited and holds exactly the input afterwards."""

import datetime
import pathlib
import uuid

import dataset
import pytest
from loading import KEYS, ConversionError, check_table, convert, input_records

EXAMPLES = pathlib.Path(__file__).resolve().parents[3] / "examples"


class TestVariedData:
    @pytest.mark.parametrize("single_transaction", [False, True],
                             ids=["autocommit", "one transaction"])
    @pytest.mark.parametrize("key", KEYS)
    @pytest.mark.parametrize("form", dataset.FORMATS)
    def test_loads_and_reads_back(self, engine, tmp_path, form, key, single_transaction):
        input_format, write = dataset.FORMATS[form]
        text = write(dataset.records())
        options, primary_key = KEYS[key]
        engine.load(convert(tmp_path, text, input_format, engine.name, *options),
                    single_transaction=single_transaction)
        assert engine.tables() == {"loaded"}
        assert engine.primary_key("loaded") == primary_key
        kinds = dict(dataset.COLUMNS, **(dataset.JSON_ONLY if input_format == "json" else {}))
        if key == "auto id":
            kinds["id"] = int
        check_table(engine, "loaded", input_records(input_format, text), kinds, pair_by="n")

    def test_wide_rows_and_long_values(self, engine, tmp_path):
        # MariaDB's row-size limit allows a few hundred columns at most; 140 of every type fit.
        # Each sample with the type its column takes; a column of nothing but empty values is
        # TEXT, as is the first column, which holds the long value.
        samples = [("", str), ("true", bool), ("-42", int), ("2.5", float),
                   ("123e4567-e89b-12d3-a456-426614174000", uuid.UUID),
                   ("2024-01-15", datetime.date), ("2024-01-15 10:30:00", datetime.datetime),
                   ("wide 'text'", str)]
        header = [f"column {index} \"{index % 8}\"" for index in range(140)]
        kinds = {name: str if index == 0 else samples[index % 8][1]
                 for index, name in enumerate(header)}
        # 60 000 bytes: close to the 65 535 that a MariaDB TEXT column holds.
        long_value = "日本" * 10000
        lines = [",".join(f'"{name.replace(chr(34), chr(34) * 2)}"' for name in header)]
        for row in range(3):
            # Every column keeps its type from row to row; some values are left empty.
            values = ["" if row and (index + row) % 5 == 0 else samples[index % 8][0]
                      for index in range(140)]
            lines.append(",".join([long_value] + values[1:]))
        text = "\n".join(lines) + "\n"
        engine.load(convert(tmp_path, text, "csv", engine.name), single_transaction=True)
        check_table(engine, "loaded", input_records("csv", text), kinds)


class TestExamples:
    # The key column each example is loaded with; a new example is loaded by its first column.
    KEY_COLUMNS = {"customers.csv": "customer_id", "events.jsonl": "id"}
    # The type each example's columns take, as PostgreSQL reads them back; a new example needs
    # its entry here.
    KINDS = {
        "customers.csv": {"customer_id": int, "name": str, "email": str, "balance": float,
                          "vip": bool, "signed_up": datetime.date,
                          "last_seen": datetime.datetime},
        "events.jsonl": {"id": uuid.UUID, "type": str, "user": int, "amount": float,
                         "at": datetime.datetime, "meta": str},
    }

    @pytest.mark.parametrize("key", ["no key", "key", "auto id"])
    @pytest.mark.parametrize("example", sorted(path.name for path in EXAMPLES.iterdir()))
    def test_example(self, engine, tmp_path, example, key):
        text = (EXAMPLES / example).read_text(encoding="utf-8")
        input_format = "csv" if example.endswith(".csv") else "json"
        records = input_records(input_format, text)
        table = example.split(".")[0]
        options = {"no key": [],
                   "key": ["-k", self.KEY_COLUMNS.get(example, next(iter(records[0])))],
                   "auto id": ["--auto-id"]}[key]
        if key == "auto id" and "id" in records[0]:
            with pytest.raises(ConversionError) as error:
                convert(tmp_path, text, input_format, engine.name, *options, table=table)
            assert str(error.value) == (
                "morvel: cannot add an auto id: the data already has a column named 'id' "
                "(use --primary-key id instead)")
            return
        script = convert(tmp_path, text, input_format, engine.name, *options, table=table)
        engine.load(script)
        kinds = dict(self.KINDS[example], **({"id": int} if key == "auto id" else {}))
        check_table(engine, table, records, kinds)
