"""Fails when a file under src/ includes a folder above its own layer, naming the file and line.

The layers, lowest first: core; readers and sql, which do not see each other; convert; load;
cli; python. A file may include its own folder and the folders its layer sees (the same list as
the include roots in CMakeLists.txt, which make such an include fail to build as well).
"""

import pathlib
import re
import sys

SEES = {
    "core": {"core"},
    "readers": {"core", "readers"},
    "sql": {"core", "sql"},
    "convert": {"core", "readers", "sql", "convert"},
    "load": {"core", "readers", "sql", "convert", "load"},
    "cli": {"core", "readers", "sql", "convert", "load", "cli"},
    "python": {"core", "readers", "sql", "convert", "load", "cli", "python"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def upward_includes(src):
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".hpp", ".cpp", ".h"}:
            continue
        layer = path.relative_to(src).parts[0]
        allowed = SEES.get(layer)
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            folder = match.group(1).split("/")[0]
            if allowed is None or folder not in allowed:
                yield f"{path}:{number}: layer '{layer}' includes '{match.group(1)}'"


def main():
    src = pathlib.Path(sys.argv[1])
    problems = list(upward_includes(src))
    for problem in problems:
        print(problem)
    if not any(src.rglob("*.cpp")):
        print(f"no sources under {src}")
        return 1
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
