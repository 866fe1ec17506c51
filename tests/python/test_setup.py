"""What each command asks apt for on a machine where every package is missing. The real scripts
run in a copy of the repository's scripts, with stand-ins first on PATH: dpkg-query finds nothing
installed, apt-get and cmake only record their arguments, and .venv holds recording stand-ins for
the interpreter and the command. Nothing is installed or built."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

FAKES = {
    "dpkg-query": "exit 1",
    "sudo": 'exec "$@"',
    # Tells on standard error when it runs, so that the order against the scripts' own lines
    # shows; FAKE_APT_INSTALL=fail makes an install fail, as offline, which ends the caller there.
    "apt-get": 'echo "fake apt-get $*" >&2; echo "apt-get $*" >>"$FAKE_CALLS"\n'
               '[[ $1 != install || $FAKE_APT_INSTALL != fail ]]',
    "cmake": 'echo "cmake $*" >>"$FAKE_CALLS"',
}

# What the tests, the engines, fuzzing and the benchmark use, and the command does not.
NOT_FOR_THE_COMMAND = {
    "libgtest-dev", "nlohmann-json3-dev", "python3-pytest", "python3-numpy", "mypy", "python3-hypothesis",
    "postgresql", "mariadb-server", "sqlite3", "python3-psycopg2", "python3-pymysql",
    "clang-19", "libclang-rt-19-dev", "libbenchmark-dev", "hyperfine", "time",
    "python3-dask", "python3-distributed",
}


def write_tool(path, body):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/usr/bin/env bash\n{body}\n")
    path.chmod(0o755)


def run(tmp_path, command, apt_install="succeed"):
    """Runs `command` (a path relative to the repository and its arguments) in a copy; returns
    its status, its merged output lines, the recorded calls and the packages asked for."""
    repo = tmp_path / "repo"
    shutil.copytree(ROOT / "scripts", repo / "scripts")
    (repo / "bench").mkdir()
    for name in ("run", "load"):
        shutil.copy2(ROOT / "bench" / name, repo / "bench" / name)
    for name, body in FAKES.items():
        write_tool(tmp_path / "bin" / name, body)
    for name in ("python", "morvel"):
        write_tool(repo / ".venv" / "bin" / name, f'echo "{name} $*" >>"$FAKE_CALLS"')
    calls = tmp_path / "calls"
    calls.touch()
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    env.update(PATH=f"{tmp_path / 'bin'}:{env['PATH']}", FAKE_CALLS=str(calls),
               FAKE_APT_INSTALL=apt_install)
    result = subprocess.run([str(repo / command[0]), *command[1:]], cwd=tmp_path, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=120)
    recorded = calls.read_text().splitlines()
    asked = {word for line in recorded if line.startswith("apt-get install ")
             for word in line.split()[2:] if not word.startswith("-")}
    return result.returncode, result.stdout.splitlines(), recorded, asked


def test_example_installs_and_builds_only_what_the_command_needs(tmp_path):
    status, output, calls, asked = run(tmp_path, ["scripts/example"])
    assert status == 0, "\n".join(output)
    assert {"g++", "cmake", "ninja-build", "libcli11-dev", "python3-dev", "python3-venv",
            "libsqlite3-dev", "libpq-dev", "libmariadb-dev"} <= asked
    assert not asked & NOT_FOR_THE_COMMAND
    # One line says what is coming, before apt-get runs at all.
    said = [i for i, line in enumerate(output) if line.startswith("setup: installing")]
    first_apt = next(i for i, line in enumerate(output) if line.startswith("fake apt-get"))
    assert len(said) == 1 and said[0] < first_apt
    assert set(output[said[0]].rpartition(": ")[2].split()) == asked
    configure = [line for line in calls if line.startswith("cmake -S")]
    build = [line for line in calls if line.startswith("cmake --build")]
    assert configure and all("-DMORVEL_BUILD_TESTS=OFF" in line for line in configure)
    assert build and all(line.endswith("--target morvel morvel_command") for line in build)
    assert sum(line.startswith("morvel ") for line in calls) == 2


# Each command asks for the tools it uses itself, and not for those of the other commands.
@pytest.mark.parametrize("command,wanted,unwanted", [
    ("scripts/check", {"libgtest-dev", "python3-pytest"},
     {"postgresql", "python3-hypothesis", "clang-19", "hyperfine", "python3-dask"}),
    ("scripts/sanitize", {"libgtest-dev", "python3-pytest"}, {"postgresql", "clang-19"}),
    ("scripts/sanitize clang", {"clang-19", "libclang-rt-19-dev", "libgtest-dev"},
     {"postgresql", "hyperfine"}),
    ("scripts/fuzz", {"clang-19", "libclang-rt-19-dev", "nlohmann-json3-dev"},
     {"libgtest-dev", "python3-pytest", "postgresql", "hyperfine"}),
    ("scripts/limits", {"time"}, {"libgtest-dev", "postgresql", "clang-19", "hyperfine"}),
    ("bench/run", {"hyperfine", "libbenchmark-dev", "time", "sqlite3"},
     {"libgtest-dev", "postgresql", "mariadb-server", "clang-19"}),
    ("bench/load", {"postgresql", "mariadb-server", "csvkit", "sqlite-utils", "pgloader",
                    "python3-dask", "python3-distributed"},
     {"libgtest-dev", "clang-19"}),
    ("scripts/test", {"libgtest-dev", "python3-pytest", "python3-numpy", "python3-hypothesis",
                      "postgresql", "mariadb-server", "sqlite3", "python3-psycopg2",
                      "python3-pymysql", "clang-19", "libclang-rt-19-dev", "time",
                      "python3-dask", "python3-distributed"},
     {"hyperfine", "libbenchmark-dev"}),
])
def test_each_command_asks_for_what_it_uses(tmp_path, command, wanted, unwanted):
    status, output, _, asked = run(tmp_path, command.split(), apt_install="fail")
    assert status != 0, "the failed install must stop the command"
    assert wanted <= asked, "\n".join(output)
    assert not asked & unwanted
    assert {"g++", "cmake"} <= asked
