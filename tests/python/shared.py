"""What the tests here and the engine tests under engines/ both need (pytest puts this directory
on the import path through its conftest.py)."""

import os
import pathlib
import subprocess
import sys

# The morvel command, installed beside the interpreter together with the module (scripts/setup);
# a sanitizer run names its own build's command instead.
MORVEL_COMMAND = pathlib.Path(os.environ.get("MORVEL_COMMAND") or
                              pathlib.Path(sys.executable).parent / "morvel")

# Under AddressSanitizer (its runtime preloaded into the tests and their children) shadow memory
# and quarantine come on top of what a run holds: peaks and address-space caps mean nothing.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

# Every dialect by the name the options take; the engine tests name each engine after its own.
DIALECTS = ["postgres", "sqlite", "mysql"]

# Each converter and the name of its first parameter: the input text, or the path of a file.
FIRST_PARAMETERS = {
    "convert_csv_to_sql": "csv_data",
    "convert_json_to_sql": "json_data",
    "convert_csv_file_to_sql": "path",
    "convert_json_file_to_sql": "path",
}

# Each load function and the name of its first parameter.
LOAD_PARAMETERS = {
    "load_csv": "csv_data",
    "load_json": "json_data",
    "load_csv_file": "path",
    "load_json_file": "path",
}

# Each iterator function and the name of its first parameter.
ITER_PARAMETERS = {
    "iter_csv_to_sql": "csv_data",
    "iter_json_to_sql": "json_data",
    "iter_csv_file_to_sql": "path",
    "iter_json_file_to_sql": "path",
}


def write_large_csv(path, size):
    """Writes a CSV of five typed columns, at least `size` bytes, to `path`."""
    row = "1,some text that repeats,3.25,2024-01-02,true\n"
    with open(path, "w") as file:
        file.write("a,b,c,d,e\n")
        block = row * 100_000
        while file.tell() < size:
            file.write(block)


def on_terminal(args, stdin, stdout):
    """Runs a command with its standard error on a new pseudo-terminal, as in a user's window;
    returns its status and every byte the terminal received."""
    terminal, device = os.openpty()
    try:
        process = subprocess.Popen(args, stdin=stdin, stdout=stdout, stderr=device)
    finally:
        os.close(device)
    received = b""
    try:
        while chunk := os.read(terminal, 4096):
            received += chunk
    except OSError:  # the process has closed the device: Linux says EIO
        pass
    finally:
        os.close(terminal)
    return process.wait(timeout=60), received
