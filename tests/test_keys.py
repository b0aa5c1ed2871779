"""Key rows of tables and arrays, and KeyedFilter: the same logical table from
every library and every chunking gives the bytes of an independent model
(struct for fixed-width values, mmh3 for the digests of strings), each
refusal says what is wrong, producers' arrays are released exactly once, and
the layout travels with a stored filter."""
import io
import math
import pickle
import struct

import mmh3
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given
from hypothesis import strategies as st

import woxbloomfilter_tools as tools
from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import KeyedFilter, KeyMismatch, _keys, key_rows

SEED = 0x6B657931  # the documented seed of the digests


def model_rows(columns, version=2):
    """The key rows by the documented layout, from Python values: per column a
    validity byte, then the value's bytes or the digest, zeros for a null.
    Version 2 writes NaN, "" and b"" as nulls and -0.0 as 0.0; version 1 keeps
    them as they are."""
    packers = {"int64": lambda v: struct.pack("<q", v), "float64": lambda v: struct.pack("<d", v),
               "bool": lambda v: bytes([v]), "string": lambda v: mmh3.hash_bytes(v.encode(), SEED, True),
               "binary": lambda v: mmh3.hash_bytes(v, SEED, True)}
    widths = {"int64": 8, "float64": 8, "bool": 1, "string": 16, "binary": 16}

    def null_in_version_2(value):
        return value in ("", b"") or (isinstance(value, float) and math.isnan(value))

    rows = []
    for values in zip(*(values for _, values in columns)):
        row = b""
        for (type_, _), value in zip(columns, values):
            if value is None or (version == 2 and null_in_version_2(value)):
                row += b"\0" * (1 + widths[type_])
            else:
                row += b"\1" + packers[type_](value + 0.0 if version == 2 and type_ == "float64" else value)
        rows.append(row)
    return rows


ARROW_TYPES = {"int64": pa.int64(), "float64": pa.float64(), "bool": pa.bool_(), "string": pa.string(),
               "binary": pa.binary()}
# Each string or binary type of Arrow gives the same bytes for the same value.
VARIANTS = {"string": [pa.string(), pa.large_string(), pa.string_view()],
            "binary": [pa.binary(), pa.large_binary(), pa.binary_view()]}

VALUES = {
    "int64": st.none() | st.sampled_from([0, -1, 2**63 - 1]) | st.integers(-(2**63), 2**63 - 1),
    "float64": st.none() | st.sampled_from([0.0, -0.0, math.nan, math.inf]) | st.floats(allow_nan=False),
    "bool": st.none() | st.booleans(),
    "string": st.none() | st.sampled_from(["", "Asunción", "x" * 12, "y" * 13]) | st.text(max_size=40),
    "binary": st.none() | st.sampled_from([b"", b"\0"]) | st.binary(max_size=40),
}


@st.composite
def tables(draw):
    types = draw(st.lists(st.sampled_from(sorted(VALUES)), min_size=1, max_size=4))
    n = draw(st.integers(0, 30))
    columns = [(type_, draw(st.lists(VALUES[type_], min_size=n, max_size=n))) for type_ in types]
    return [(f"c{i}", type_, values) for i, (type_, values) in enumerate(columns)]


def arrow_table(columns, draw):
    """The table as pyarrow holds it: each string or binary column in one of
    its types, maybe dictionary-encoded; in random chunks; maybe a slice of a
    longer table, so that every array has an offset."""
    arrays = []
    for _, type_, values in columns:
        array = pa.array(values, draw(st.sampled_from(VARIANTS.get(type_, [ARROW_TYPES[type_]]))))
        if type_ in VARIANTS and draw(st.booleans()):
            array = pa.array(values, ARROW_TYPES[type_]).dictionary_encode()
        arrays.append(array)
    names = [name for name, _, _ in columns]
    n = len(columns[0][2])
    pad = min(draw(st.integers(0, 3)), n)
    table = pa.table([pa.concat_arrays([a[:pad], a, a[:pad]]) for a in arrays], names=names).slice(pad, n)
    cuts = sorted(draw(st.lists(st.integers(0, table.num_rows), max_size=4)))
    pieces = [table.slice(a, b - a) for a, b in zip([0, *cuts], [*cuts, table.num_rows])]
    return pa.Table.from_batches([b for p in pieces for b in p.to_batches()] or table.to_batches(), table.schema)


@given(tables(), st.data())
def test_every_source_gives_the_models_rows(columns, data):
    expected = model_rows([(type_, values) for _, type_, values in columns])
    width = sum(1 + {"int64": 8, "float64": 8, "bool": 1}.get(t, 16) for _, t, _ in columns)
    table = arrow_table(columns, data.draw)
    sources = {
        "pyarrow table": table,
        "record batch": table.combine_chunks().to_batches()[0] if table.num_rows else table,
        "polars": pl.from_arrow(table),
        "pandas, Arrow-backed": table.to_pandas(types_mapper=pd.ArrowDtype),
    }
    for name, source in sources.items():
        rows = key_rows(source)
        assert rows.dtype == np.uint8 and rows.flags.c_contiguous and rows.shape == (len(expected), width), name
        assert [bytes(r) for r in rows] == expected, name
    # A KeyedFilter makes the rows a piece at a time, across the batches.
    piece, _keys.PIECE_BYTES = _keys.PIECE_BYTES, data.draw(st.integers(1, 4 * width))
    try:
        keyed = KeyedFilter(tools.sized(100, 0.01))
        keyed.insert(table)
        answers = keyed.test(table)
    finally:
        _keys.PIECE_BYTES = piece
    plain = tools.sized(100, 0.01)
    plain.insert(key_rows(table))
    assert keyed.filter.to_bytes() == plain.to_bytes() and answers.tolist() == plain.test(key_rows(table))
    # Each column alone, as an array, a chunked array or a series, gives its own bytes.
    name, type_, values = columns[0]
    alone = model_rows([(type_, values)])
    for source in (table.column(name), table.column(name).combine_chunks(), pl.from_arrow(table)[name]):
        assert [bytes(r) for r in key_rows(source)] == alone


def test_nulls_stay_apart_from_zero_values():
    table = pa.table({"i": [0, None, 0], "f": [0.0, None, -0.0], "b": [False, None, False]})
    for name in table.column_names:
        rows = [bytes(r) for r in key_rows(table, name)]
        assert rows[0] != rows[1] and rows[1] == b"\0" * len(rows[1]) and rows[0] == rows[2], name
    # Two nulls of a column are equal, whatever else the row holds.
    assert len({bytes(r) for r in key_rows(pa.table({"s": [None, None]}))}) == 1


def test_version_1_keeps_the_old_bytes():
    """Stored version-1 filters are answered by version-1 rows: NaN bit for
    bit, -0.0 apart from 0.0, "" and b"" digested."""
    columns = [("float64", [math.nan, -math.nan, -0.0, 0.0, None]), ("string", ["", "", "a", None, ""]),
               ("binary", [b"", b"x", b"", None, None])]
    table = pa.table({f"c{i}": pa.array(values, ARROW_TYPES[type_]) for i, (type_, values) in enumerate(columns)})
    for version in (1, 2):
        reader = tools._native.read_stream(table.__arrow_c_stream__(), None, version)
        rows = np.empty((reader.rows, reader.width), np.uint8)
        reader.fill(0, rows)
        assert [bytes(r) for r in rows] == model_rows(columns, version), version
    assert model_rows(columns, 1) != model_rows(columns, 2)


def test_buffers_at_any_address():
    """A buffer that arrives through a pickle may start at any byte."""
    normal = pa.array(["ab", None, "cde"] * 5, pa.large_string())
    shifted = memoryview(bytearray(1) + normal.buffers()[1].to_pybytes())[1:]
    odd = pa.Array.from_buffers(normal.type, len(normal), [normal.buffers()[0], pa.py_buffer(shifted), normal.buffers()[2]])
    assert pa.py_buffer(shifted).address % 8 != 0
    assert (key_rows(odd) == key_rows(normal)).all()


def test_key_picks_columns_in_order_and_pandas_leaves_its_index_out():
    frame = pd.DataFrame({"user": ["ana", "bo"], "n": [1, 2]}, index=pd.Index([7, 8], name="day"))
    both = key_rows(frame)
    assert both.shape == (2, 17 + 9)
    assert (key_rows(frame, ["n", "user"]) == np.concatenate([key_rows(frame, "n"), key_rows(frame, "user")], 1)).all()
    assert (key_rows(frame, "day") == key_rows(pa.array([7, 8]))).all()
    assert (key_rows(frame.reset_index(drop=True)) == both).all()
    # pandas exports an index of consecutive numbers as metadata, not as a column
    ranged = frame.set_axis(pd.RangeIndex(7, 9, name="day"))
    assert (key_rows(ranged, ["day", "n"]) == key_rows(frame, ["day", "n"])).all()


def test_a_lone_column_has_no_name():
    """pandas exports no name for a series, polars does: the layout of either is the same."""
    layouts = set()
    for series in (pd.Series(["a"], name="x"), pl.Series("x", ["a"]), pa.array(["a"])):
        f = KeyedFilter(tools.sized(10, 0.1))
        f.insert(series)
        layouts.add(f.layout)
    assert layouts == {tools.KeyLayout("table", (("", "string"),))}


def test_numpy_rows_are_the_rows_the_filter_reads():
    a = np.arange(12, dtype=">i4").reshape(4, 3)
    assert [bytes(r) for r in key_rows(a)] == [bytes(bloomfilter().dbg_getrow(a, r)) for r in range(4)]
    assert (key_rows(a[:, 0]) == key_rows(a[:, :1])).all()
    # Fields are packed: padding bytes never enter a row.
    padded = np.zeros(2, dtype=np.dtype([("x", "u1"), ("y", "<i4")], align=True))
    padded.view(np.uint8)[:] = 0xEE
    padded["x"], padded["y"] = [1, 2], [3, 4]
    assert key_rows(padded).tolist() == [[1, 3, 0, 0, 0], [2, 4, 0, 0, 0]]
    assert key_rows(padded, ["y", "x"]).tolist() == [[3, 0, 0, 0, 1], [4, 0, 0, 0, 2]]


@pytest.mark.parametrize(
    "data, key, error, message",
    [
        (pa.table({"tags": [[1]]}), None, TypeError, "column 'tags' has type list, which cannot be part of a key"),
        (pa.table({"h": pa.array([1], pa.float16())}), None, TypeError, "column 'h' has type float16"),
        (pa.table({"p": pa.array([{"a": 1}])}), None, TypeError, "column 'p' has type struct"),
        (pa.table({"u": pa.array([b"0" * 16], pa.uuid())}), None, TypeError,
         "column 'u' has type extension<arrow.uuid>, which cannot be part of a key: key columns hold numbers, bools, "
         "dates, times, timestamps, durations, decimals, fixed-size binaries, strings or binaries; cast it to its "
         "storage type first"),
        (pa.table({"a": [1], "b": [2]}), ["a", "c"], KeyError,
         "\"column 'c' is not in the data, whose columns are 'a', 'b'\""),
        (pa.table({"a": [1]}), [], ValueError, "the key names no columns"),
        (pa.table([[1], [2]], names=["a", "a"]), "a", ValueError,
         "the key column 'a' is ambiguous: 2 columns of the data have that name"),
        (pd.DataFrame({"a": [1], "b": [2]}, index=pd.Index([5], name="i")), ["a", "c"], KeyError,
         "\"column 'c' is not in the data, whose columns are 'a', 'b', 'i'\""),
        (np.zeros(2, dtype=[("a", "i4")]), ["b"], KeyError, "\"column 'b' is not in the data, whose columns are 'a'\""),
        (np.array(["x"], dtype=object), None, TypeError, "a NumPy array of dtype object holds references"),
        (np.zeros((2, 2, 2)), None, ValueError, "a NumPy array of 3 dimensions has no key rows"),
        (np.zeros((2, 2)), "a", TypeError, "key must be None for a NumPy array without fields"),
        ([["a"]], None, TypeError, "data must be a table or column that exports the Arrow PyCapsule interface"),
        (pa.table({"a": [1]}), 3, TypeError, "key must be a column name or a sequence of names, not int"),
        (pl.Series("x", [1]), "x", ValueError, "the data is a single column (an array or a series), whose name"),
    ],
)
def test_refusals(data, key, error, message):
    with pytest.raises(error) as err:
        key_rows(data, key)
    assert str(err.value).startswith(message)


def allocated_after(call):
    before = pa.total_allocated_bytes()
    try:
        call()
    except (KeyError, TypeError, ValueError, pa.ArrowException):
        pass
    return pa.total_allocated_bytes() - before


def fresh_batches(fail_after=None):
    """A stream whose batches pyarrow allocates as they are asked for."""
    schema = pa.schema([("s", pa.string()), ("i", pa.int64())])

    def batches():
        for i in range(3):
            if i == fail_after:
                raise ValueError("the source broke")
            yield pa.record_batch([pa.array([f"v{j}" for j in range(1000)]), pa.array(range(1000))], schema=schema)

    return pa.RecordBatchReader.from_batches(schema, batches())


@pytest.mark.parametrize(
    "call",
    [
        lambda: key_rows(fresh_batches()),
        lambda: key_rows(fresh_batches(fail_after=2)),
        lambda: key_rows(fresh_batches(), "missing"),
        lambda: key_rows(pa.Table.from_batches(list(fresh_batches())).to_pandas()),
        lambda: key_rows(pa.table({"tags": [[1, 2]] * 1000})),
    ],
    ids=["success", "stream fails part-way", "unknown column", "pandas converts", "unsupported type"],
)
def test_what_is_taken_is_released(call):
    allocated_after(call)  # a first use may leave pyarrow's pool holding memory
    assert allocated_after(call) == 0


def test_a_failing_stream_says_why():
    with pytest.raises(ValueError, match="the data's stream failed: .*the source broke"):
        key_rows(fresh_batches(fail_after=2))


WIDTHS = (": NumPy strings of another width are other bytes; key_rows of the table itself"
          " (pandas, polars, pyarrow) gives strings that have no width")
TX = pd.DataFrame({"iata": ["AUS", "DFW"], "state": ["TX", None]})
MISMATCHES = {
    "numpy string widths": (np.array(["AUS", "ABQ"], "<U30"), np.array(["AUS"], "<U3"), None,
                            "column '0' has type <U30 in the filter's key but <U3 in the data" + WIDTHS),
    "numpy byte widths": (np.array([b"AUS"], "S5"), np.array([b"AUS"], "S3"), None,
                          "column '0' has type |S5 in the filter's key but |S3 in the data" + WIDTHS),
    "integer widths": (pa.table({"n": pa.array([1], pa.int64())}), pa.table({"n": pa.array([1], pa.int32())}), None,
                       "column 'n' has type int64 in the filter's key but int32 in the data"),
    "time units": (pa.table({"t": pa.array([1], pa.timestamp("us"))}), pa.table({"t": pa.array([1], pa.timestamp("ns"))}),
                   None, "column 't' has type timestamp[us] in the filter's key but timestamp[ns] in the data"),
    "column order": (TX, TX[["state", "iata"]], None,
                     "key column 0 is 'iata' in the filter but 'state' in the data"),
    "column count": (TX, TX[["iata"]], None, "the filter's key has 2 columns (iata, state), the data's has 1 (iata)"),
    "table then array": (TX, np.array([[1]]), None,
                         "the filter's key rows come from a table: iata string, state string, but the data is a NumPy array: 0 <i8"),
}


@pytest.mark.parametrize("case", MISMATCHES)
def test_a_key_of_another_layout_is_refused(case):
    built, other, key, message = MISMATCHES[case]
    f = KeyedFilter(tools.sized(100, 0.01), key)
    f.insert(built)
    before = (f.filter.to_bytes(), f.layout)
    for call in (f.insert, f.test):
        with pytest.raises(KeyMismatch) as err:
            call(other)
        assert str(err.value) == message and isinstance(err.value, TypeError)
    g = KeyedFilter(tools.sized(100, 0.01), key)
    g.insert(other)
    with pytest.raises(KeyMismatch):
        f.union(g)
    assert (f.filter.to_bytes(), f.layout) == before


def test_the_width_trap_is_closed():
    """Rows converted to NumPy strings at two widths lose every match; the
    table itself keeps them, and KeyedFilter refuses the converted rows."""
    airports = pd.DataFrame({"iata": ["AUS", "ASU", "JFK"], "city": ["Austin", "Asunción", "New York"],
                             "state": ["TX", None, "NY"]})
    texas = airports[airports.state == "TX"]
    plain = tools.sized(100, 0.01)
    plain.insert(airports.to_numpy(dtype="U"))
    assert plain.test(texas.to_numpy(dtype="U")) == [False]
    keyed = KeyedFilter.sized(100, 0.01)
    keyed.insert(airports)
    assert keyed.test(texas).tolist() == [True]
    assert keyed.test(pl.from_pandas(texas)).tolist() == [True]


def test_stored_keyed_filters_keep_their_layout(tmp_path):
    f = KeyedFilter.sized(1000, 0.01, key=["state", "iata"])
    f.insert(TX)
    for target in (tmp_path / "tx.wbf", io.BytesIO()):
        f.save(target)
        if isinstance(target, io.BytesIO):
            target.seek(0)
        g = KeyedFilter.load(target)
        assert (g.key, g.layout, g.filter.to_bytes()) == (f.key, f.layout, f.filter.to_bytes())
        assert g.test(TX).all()
    # Plain load reads it; a plain stored filter loads with no layout fixed yet.
    assert tools.load(tmp_path / "tx.wbf").to_bytes() == f.filter.to_bytes()
    tools.save(f.filter, tmp_path / "plain.wbf")
    unfixed = KeyedFilter.load(tmp_path / "plain.wbf")
    assert unfixed.layout is None and unfixed.key is None
    copy = pickle.loads(pickle.dumps(f))
    assert (copy.key, copy.layout, copy.filter.to_bytes()) == (f.key, f.layout, f.filter.to_bytes())


def test_a_plain_filter_of_arrays_keeps_answering_when_wrapped():
    rows = np.random.default_rng(5).integers(0, 2**40, (500, 3))
    plain = tools.sized(1000, 0.01)
    plain.insert(rows[:250])
    keyed = KeyedFilter(plain)
    assert keyed.test(rows[:250]).all()
    keyed.insert(rows[250:])
    reference = tools.sized(1000, 0.01)
    reference.insert(rows)
    assert keyed.filter.to_bytes() == reference.to_bytes()


@pytest.mark.parametrize("answers", [[], [True], [False, True, True, False] * 33])
def test_mask(answers):
    assert tools.mask(answers).tolist() == answers and tools.mask(answers).dtype == bool


def test_mask_refuses_what_test_never_returns():
    with pytest.raises(TypeError, match=r"^answers must be True or False, not int \(item 1\)$"):
        tools.mask([True, 1])
    with pytest.raises(TypeError, match="^answers must be the list that test returns, not tuple$"):
        tools.mask((True,))
