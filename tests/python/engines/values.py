"""What a value of the input should read back as from each engine, by the column's type there."""

import datetime
import decimal
import json
import math
import uuid

# The Unicode White_Space set that morvel trims from every value; str.strip() would also take
# the information separators U+001C to U+001F, which morvel keeps.
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")

UTC = datetime.timezone.utc

# The Python type each engine's column type reads back as.
KINDS = {
    "postgres": {"bigint": int, "double precision": float, "boolean": bool, "date": datetime.date,
                 "timestamp with time zone": datetime.datetime, "uuid": uuid.UUID, "text": str,
                 "numeric": decimal.Decimal},
    "mysql": {"bigint(20)": int, "double": float, "tinyint(1)": bool, "date": datetime.date,
              "datetime": datetime.datetime, "datetime(6)": datetime.datetime, "varchar(36)": str,
              "varchar(255)": str, "text": str},
    "sqlite": {"INTEGER": int, "REAL": float, "TEXT": str},
}


def trimmed(text):
    return text.strip(WHITE_SPACE)


def is_null(text):
    return trimmed(text) == "" or trimmed(text).lower() == "null"


def expected(kind, text, dialect):
    """The value `text` should read back as from a column of Python type `kind`."""
    text = trimmed(text)
    if text == "" or text.lower() == "null":
        return None
    if kind is int and text.lower() in ("true", "false"):
        return int(text.lower() == "true")  # SQLite keeps booleans as 1 and 0
    if kind is int:
        return int(text)
    if kind is float:
        return float(text)
    if kind is bool:
        return text.lower() == "true"
    if kind is datetime.date:
        return datetime.date.fromisoformat(text)
    if kind is datetime.datetime:
        value = datetime.datetime.fromisoformat(text)
        if dialect == "postgres" and value.tzinfo is None:
            value = value.replace(tzinfo=UTC)  # the test server's time zone
        return value
    if kind is uuid.UUID:
        return uuid.UUID(text)
    return text


def read_back(kind, value, dialect):
    """The driver's value in the same terms as `expected`."""
    if value is None:
        return None
    if kind is bool and dialect == "mysql":
        assert value in (0, 1), value  # BOOLEAN is TINYINT(1)
        return bool(value)
    if kind is uuid.UUID and isinstance(value, str):
        return uuid.UUID(value)
    return value


def same(a, b):
    """Equal and of the same type; NaN equals NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def json_text(value):
    """The text morvel hands on for a JSON value (floats only up to numeric equality)."""
    if value is None:
        return "NULL"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float, str)):
        return str(value) if not isinstance(value, str) else value
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
