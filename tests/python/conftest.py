import pathlib

import pytest

DATA = pathlib.Path(__file__).resolve().parent / "data"

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


def pytest_generate_tests(metafunc):
    # A test that takes `converter` (a function's name) and `first` runs once per converter; one
    # that takes `loader` and `first`, once per load function.
    if "converter" in metafunc.fixturenames:
        metafunc.parametrize("converter,first", list(FIRST_PARAMETERS.items()),
                             ids=list(FIRST_PARAMETERS))
    if "loader" in metafunc.fixturenames:
        metafunc.parametrize("loader,first", list(LOAD_PARAMETERS.items()),
                             ids=list(LOAD_PARAMETERS))


@pytest.fixture
def data_dir():
    return DATA
