"""One INSERT per row costs a commit per row unless the script runs as one transaction. The
numbers are reported at the end of the session (the README's "Loading the output" quotes them); what is asserted
is only that both ways load the same rows."""

import time

import dataset
from loading import convert
from servers import LOAD_TIMINGS

ROWS = 2000


class TestLoadingSpeed:
    def test_one_transaction_against_autocommit(self, engine, tmp_path, record_property):
        script = convert(tmp_path, dataset.as_csv(dataset.records(ROWS)), "csv", engine.name,
                         "-k", "n")
        seconds = {}
        contents = {}
        for single_transaction in (False, True):
            engine.reset()
            start = time.perf_counter()
            engine.load(script, single_transaction=single_transaction)
            seconds[single_transaction] = time.perf_counter() - start
            contents[single_transaction] = sorted(map(repr, engine.select_all("loaded")[1]))
        assert len(contents[True]) == ROWS
        assert contents[False] == contents[True]
        record_property("autocommit_seconds", seconds[False])
        record_property("one_transaction_seconds", seconds[True])
        LOAD_TIMINGS.append(
            f"{engine.name}: {ROWS} rows, autocommit {seconds[False]:.2f} s, "
            f"one transaction {seconds[True]:.2f} s "
            f"({seconds[False] / seconds[True]:.0f} times faster)")
