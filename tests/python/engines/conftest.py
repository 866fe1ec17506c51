import pytest
from servers import (LOAD_TIMINGS, VERSIONS, MariadbServer, PostgresServer, ServerError,
                     SqliteDatabase)
from shared import DIALECTS


def _serve(server):
    failure = None
    try:
        server.start()
    except ServerError as error:
        failure = str(error)
    except BaseException:
        server.stop()
        raise
    if failure is not None:
        server.stop()
        # A missing or broken server is a failure, never a skip: the suite exists to run them.
        pytest.fail(failure, pytrace=False)
    VERSIONS[server.name] = server.version
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def postgres_server():
    yield from _serve(PostgresServer())


@pytest.fixture(scope="session")
def mariadb_server():
    yield from _serve(MariadbServer())


@pytest.fixture(params=DIALECTS)
def engine(request, tmp_path):
    """An empty database of each engine, named after the dialect that targets it."""
    if request.param == "sqlite":
        database = SqliteDatabase(tmp_path)
        VERSIONS["sqlite"] = f"{database.version} (shell {database.shell_version})"
        database.reset()
        yield database
        database.stop()
        return
    server = request.getfixturevalue(
        "postgres_server" if request.param == "postgres" else "mariadb_server")
    server.reset()
    yield server


def pytest_terminal_summary(terminalreporter):
    if VERSIONS:
        terminalreporter.section("engines")
        for name, version in sorted(VERSIONS.items()):
            terminalreporter.write_line(f"{name}: {version}")
    if LOAD_TIMINGS:
        terminalreporter.section("loading one script")
        for line in LOAD_TIMINGS:
            terminalreporter.write_line(line)
