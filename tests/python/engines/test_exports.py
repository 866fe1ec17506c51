"""Files as data tools export them, whose header names the engines refuse as they stand: pandas'
unnamed index and R's row names. With --fix-names or --row-names every engine loads them whole."""

import pytest
from loading import check_table, convert

# DataFrame.to_csv() with its default index: the index column's name is empty.
PANDAS = (',city,population,share\n0,Oslo,709037,0.13\n1,"Bergen, Vestland",291189,0.05\n'
          '2,Tromsø,,0.01\n')
# write.table(frame, sep=",") of R: everything quoted but numbers, NA for a missing value, and
# the row names first in each record, without a name in the header.
R_TABLE = ('"city","population","share"\n"a","Oslo",709037,0.13\n'
           '"b","Bergen, Vestland",291189,0.05\n"c","Tromsø",NA,0.01\n')
CITIES = [("Oslo", "709037", "0.13"), ("Bergen, Vestland", "291189", "0.05"),
          ("Tromsø", "", "0.01")]
KINDS = {"city": str, "population": int, "share": float}


def records(index_name, indexes):
    return [dict(zip([index_name, *KINDS], [index, *city])) for index, city in zip(indexes, CITIES)]


@pytest.mark.parametrize("text,options,index_name,indexes,index_kind", [
    pytest.param(PANDAS, ["--fix-names"], "column_1", "012", int, id="pandas, --fix-names"),
    pytest.param(PANDAS, ["--row-names"], "row_names", "012", int, id="pandas, --row-names"),
    pytest.param(R_TABLE, ["--row-names", "--null", "NA"], "row_names", "abc", str,
                 id="R write.table, --row-names"),
])
def test_exports_load_whole(engine, tmp_path, text, options, index_name, indexes, index_kind):
    engine.load(convert(tmp_path, text, "csv", engine.name, "--schema-from", "all", *options))
    check_table(engine, "loaded", records(index_name, indexes),
                {index_name: index_kind, **KINDS})
