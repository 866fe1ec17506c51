"""What the tests here and the engine tests under engines/ both need (pytest puts this directory
on the import path through its conftest.py)."""

import pathlib
import sys

# The morvel command, installed beside the interpreter together with the module (scripts/setup).
MORVEL_COMMAND = pathlib.Path(sys.executable).parent / "morvel"

# Every dialect by the name the options take; the engine tests name each engine after its own.
DIALECTS = ["postgres", "sqlite", "mysql"]
