import pathlib

import pytest
from shared import FIRST_PARAMETERS, LOAD_PARAMETERS

DATA = pathlib.Path(__file__).resolve().parent / "data"


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
