"""One logical table, written to Parquet, CSV (as pandas writes it and as
polars writes it) and Arrow IPC, and read back by pyarrow, polars and pandas:
every reading gives the same key rows, so that whichever reading went into a
filter, every other reading of the same rows tests present. Each library is
given the columns' types where its inference would differ, and CSV words such
as NA stay words; a column that held only nulls may come back of Arrow type
null, which fits any layout."""
import math
import struct

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from woxbloomfilter_tools import KeyedFilter, KeyLayout, key_rows

BASE = settings().max_examples
# Words that some readers take for null by default.
WORDS = ["NA", "N/A", "null", "NULL", "NaN", "nan", "#N/A", "-nan", "", " ", "None"]
NANS = [math.nan, -math.nan, struct.unpack("<d", b"\x01\0\0\0\0\0\xf8\x7f")[0], struct.unpack("<d", b"\1\0\0\0\0\0\xf0\xff")[0]]
VALUES = {
    "float64": st.none() | st.sampled_from([*NANS, 0.0, -0.0, math.inf, -math.inf, 1.5, 5e-324]) | st.floats(),
    "int64": st.none() | st.sampled_from([0, -1, 2**63 - 1, -(2**63)]) | st.integers(-(2**63), 2**63 - 1),
    # No surrogates (no UTF-8) and no NUL, which C parsers take for the end of a field.
    "string": st.none() | st.sampled_from(WORDS) | st.text(st.characters(exclude_categories=["Cs"], exclude_characters="\0"), max_size=12),
}
ARROW = {"float64": pa.float64(), "int64": pa.int64(), "string": pa.string()}
POLARS = {"float64": pl.Float64, "int64": pl.Int64, "string": pl.String}
PANDAS = {"float64": "float64", "int64": "Int64", "string": "str"}


@st.composite
def logical_tables(draw):
    """Columns c0, c1, ... of (type, values), some of them all null."""
    n = draw(st.integers(1, 10))
    columns = {}
    for i, type_ in enumerate(draw(st.lists(st.sampled_from(sorted(VALUES)), min_size=1, max_size=4))):
        values = [None] * n if draw(st.integers(0, 3)) == 0 else draw(st.lists(VALUES[type_], min_size=n, max_size=n))
        columns[f"c{i}"] = (type_, values)
    return columns


def arrow_table(columns, nulls_typed):
    """The table, with a row number that is not part of the key: without it a
    row of one null column is a blank line of CSV, which readers skip. A
    column of nulls only is of its own type, or of type null."""
    n = len(next(iter(columns.values()))[1])
    arrays = {"row": pa.array(range(n), pa.int64())}
    for name, (type_, values) in columns.items():
        null = all(value is None for value in values) and not nulls_typed
        arrays[name] = pa.array(values, pa.null() if null else ARROW[type_])
    return pa.table(arrays)


def pandas_frame(columns):
    return pd.DataFrame({"row": range(len(next(iter(columns.values()))[1])), **{
        name: pd.array([math.nan if v is None else v for v in values], "float64") if type_ == "float64"
        else pd.array(values, PANDAS[type_]) for name, (type_, values) in columns.items()}})


def files(columns, folder, nulls_typed):
    table = arrow_table(columns, nulls_typed)
    pq.write_table(table, folder / "t.parquet")
    with pa.ipc.new_file(folder / "t.arrow", table.schema) as out:
        out.write_table(table)
    pandas_frame(columns).to_csv(folder / "pandas.csv", index=False)
    pl.from_arrow(table).write_csv(folder / "polars.csv")
    return ["t.parquet", "t.arrow", "pandas.csv", "polars.csv"]


def readings(columns, folder, file, backend):
    """The file read by each library, given the columns' types as a user who
    keeps words as words would give them."""
    path = folder / file
    types = {name: type_ for name, (type_, _) in columns.items()}
    # pyarrow reads a column of empty fields as type null, unless given one.
    given = {name: ARROW[t] for name, (t, values) in columns.items() if any(v is not None for v in values)}
    ints = {pa.int64(): pd.Int64Dtype()}.get
    if file.endswith(".csv"):
        return {
            "pyarrow": pacsv.read_csv(path, convert_options=pacsv.ConvertOptions(column_types=given, null_values=[""])),
            "polars": pl.read_csv(path, schema_overrides={name: POLARS[t] for name, t in types.items()}),
            # pandas parses no NaN of a float column but as a missing value.
            "pandas": pd.read_csv(path, keep_default_na=False, dtype={name: PANDAS[t] for name, t in types.items()},
                                  na_values={name: ["", "NaN"] if t == "float64" else [""] for name, t in types.items()},
                                  **({} if backend == "numpy" else {"dtype_backend": backend})),
        }
    if file.endswith(".parquet"):
        return {
            "pyarrow": pq.read_table(path),
            "polars": pl.read_parquet(path),
            "pandas": pq.read_table(path).to_pandas(types_mapper=ints) if backend == "numpy"
            else pd.read_parquet(path, dtype_backend=backend),
        }
    with pa.ipc.open_file(path) as ipc:
        table = ipc.read_all()
    return {
        "pyarrow": table,
        "polars": pl.read_ipc(path),
        "pandas": table.to_pandas(types_mapper=ints) if backend == "numpy" else pd.read_feather(path, dtype_backend=backend),
    }


@settings(max_examples=max(5, BASE // 4))
@given(logical_tables(), st.booleans(), st.booleans(), st.sampled_from(["numpy", "numpy_nullable", "pyarrow"]))
def test_every_reading_of_the_same_rows_tests_present(tmp_path_factory, columns, typed, nulls_typed, backend):
    folder = tmp_path_factory.mktemp("t")
    read = {f"{library} of {file}": data for file in files(columns, folder, nulls_typed)
            for library, data in readings(columns, folder, file, backend).items()}
    key = list(columns)
    n = len(columns[key[0]][1])
    types = {name: type_ for name, (type_, _) in columns.items()}
    filters = {}
    for name, data in read.items():
        f = KeyedFilter.sized(n, 0.01, key=None if typed else key, **({"types": types} if typed else {}))
        f.insert(data)
        filters[name] = f
    for inserted, f in filters.items():
        for tested, data in read.items():
            assert f.test(data).all(), f"inserted {inserted}, tested {tested}"
    # The same rows: the filters whose layout is fixed hold the same bits.
    fixed = {name: f for name, f in filters.items() if f.layout is not None}
    assert len({f.filter.to_bytes() for f in fixed.values()}) <= 1, sorted(fixed)
    if typed:
        assert len(fixed) == len(filters)
        assert {f.layout for f in fixed.values()} == {KeyLayout("table", tuple(types.items()))}


NANS_AND_ZEROS = {
    "pyarrow": pa.table({"x": [1.0, math.nan, -0.0, None]}),
    "polars": pl.DataFrame({"x": [1.0, -math.nan, -0.0, None]}),
    "pandas": pd.DataFrame({"x": [1.0, math.nan, 0.0, math.nan]}),
    "pandas, Arrow dtype": pd.DataFrame({"x": pd.array([1.0, math.nan, 0.0, None], pd.ArrowDtype(pa.float64()))}),
}


@pytest.mark.parametrize("inserted", NANS_AND_ZEROS)
def test_nan_and_null_are_one_key_whoever_exports_them(inserted):
    """pandas exports NaN as null; polars and pyarrow keep it."""
    one, zero = struct.pack("<d", 1.0), struct.pack("<d", 0.0)
    for data in NANS_AND_ZEROS.values():
        assert [bytes(row) for row in key_rows(data)] == [b"\1" + one, b"\0" * 9, b"\1" + zero, b"\0" * 9]
    f = KeyedFilter.sized(100, 0.01)
    f.insert(NANS_AND_ZEROS[inserted])
    for tested, data in NANS_AND_ZEROS.items():
        assert f.test(data).tolist() == [True] * 4, tested


# A first batch whose key column held only nulls, as each library reads it.
ONLY_NULLS = {
    "polars": lambda: pl.DataFrame({"id": [None, None], "n": [1, 2]}),
    "pandas": lambda: pd.DataFrame({"id": pd.Series([None, None], dtype=object), "n": [1, 2]}),
    "header-only CSV": lambda: pacsv.read_csv(pa.py_buffer(b"id,n\n"), convert_options=pacsv.ConvertOptions(
        column_types={"n": pa.int64()})),
}


@pytest.mark.parametrize("source", ONLY_NULLS)
def test_a_column_of_nulls_only_fixes_no_layout(source, tmp_path):
    first = ONLY_NULLS[source]()
    later = pl.DataFrame({"id": ["a", None], "n": [3, 1]})
    f = KeyedFilter.sized(100, 0.01, key=["id", "n"])
    f.insert(first)
    assert f.layout is None and f.test(first).all()
    if len(first):  # held aside, exactly: the rows inserted and no other
        assert f.test(pl.DataFrame({"id": [None, None, "a"], "n": [1, 3, 1]})).tolist() == [True, False, False]
        with pytest.raises(ValueError, match=r"^2 key rows are held until the types of 'id', which held only nulls, "
                                             r"are known: give the types with types=, or insert data where they have values$"):
            f.save(tmp_path / "f.wbf")
    else:  # no row: nothing held, nothing to lose
        f.save(tmp_path / "f.wbf")
    f.insert(later)
    layout = KeyLayout("table", (("id", "string"), ("n", "int64")))
    assert f.layout == layout and f.test(first).all() and f.test(later).all()
    # The bits are those of the same rows inserted with the types known from the start.
    typed = KeyedFilter.sized(100, 0.01, key=["id", "n"], types={"id": "string", "n": "int64"})
    typed.insert(first)
    typed.insert(later)
    assert f.filter.to_bytes() == typed.filter.to_bytes()
    f.save(tmp_path / "f.wbf")
    assert KeyedFilter.load(tmp_path / "f.wbf").test(first).all()
