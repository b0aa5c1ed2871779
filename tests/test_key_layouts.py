"""What a KeyedFilter records of its key rows, and what it refuses: whole
NumPy dtypes, pandas frames of any class, the key taken with the layout by a
union, and stored layouts that load only when they are ones `save` writes."""
import json
import math
import struct
from pathlib import Path

import mmh3
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import woxbloomfilter_tools as tools
from woxbloomfilter_tools import FormatError, KeyedFilter, KeyLayout, KeyMismatch, _storage, key_rows

VECTORS = Path(__file__).parent / "vectors"


class Frame(pd.DataFrame):
    """A frame class of a library built on pandas: its module is not pandas."""

    @property
    def _constructor(self):
        return Frame


def test_a_frame_of_a_pandas_subclass_is_read_as_a_frame():
    assert Frame.__module__ != "pandas"
    f = KeyedFilter.sized(100, 0.01)
    f.insert(Frame({"a": [1, 2, 3]}, index=[10, 11, 12]))
    # Its index is no key column: the same rows under another index are in the filter.
    assert f.layout == KeyLayout("table", (("a", "int64"),))
    assert f.test(Frame({"a": [1, 2, 3]}, index=[20, 21, 22])).tolist() == [True, True, True]
    assert f.test(pd.DataFrame({"a": [3, 2, 1]})).tolist() == [True, True, True]


ROW = [("id", "<i8"), ("v", "<f8", (2,)), ("pair", [("a", "u1"), ("b", "<i4")], (2,))]


def row_dtype(**changes):
    return np.dtype([(name, *changes.get(name, rest)) for name, *rest in ROW])


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"v": ("<i8", (2,))}, "column 'v' has type ('<f8', (2,)) in the filter's key but ('<i8', (2,)) in the data"),
        ({"v": ("<f8", (3,))}, "column 'v' has type ('<f8', (2,)) in the filter's key but ('<f8', (3,)) in the data"),
        ({"v": ("<f8", (2, 1))}, "column 'v' has type ('<f8', (2,)) in the filter's key but ('<f8', (2, 1)) in the data"),
        ({"v": ("<f8",)}, "column 'v' has type ('<f8', (2,)) in the filter's key but <f8 in the data"),
        ({"pair": ([("a", "u1"), ("b", "<i8")], (2,))},
         "column 'pair' has type ([('a', '|u1'), ('b', '<i4')], (2,)) in the filter's key "
         "but ([('a', '|u1'), ('b', '<i8')], (2,)) in the data"),
        ({"id": ("S8",)}, "column 'id' has type <i8 in the filter's key but |S8 in the data"),
    ],
)
def test_a_numpy_layout_records_the_whole_dtype(changes, message):
    f = KeyedFilter.sized(100, 0.01)
    f.insert(np.zeros(3, row_dtype()))
    before = f.filter.to_bytes()
    other = np.zeros(3, row_dtype(**changes))
    for call in (f.insert, f.test):
        with pytest.raises(KeyMismatch) as refusal:
            call(other)
        assert str(refusal.value) == message
    assert f.filter.to_bytes() == before and f.layout.columns[1:] == (
        ("v", "('<f8', (2,))"), ("pair", "([('a', '|u1'), ('b', '<i4')], (2,))"))
    assert f.test(np.zeros(3, row_dtype())).all()


@pytest.mark.parametrize("operation", ["union", "intersect"])
def test_a_filter_without_a_layout_takes_the_others_key_with_it(operation, tmp_path):
    table = pa.table({"id": [1, 2], "name": ["ana", "bo"]})
    other = KeyedFilter.sized(100, 0.01, key="id")
    other.insert(table)
    for key in (None, "id"):
        f = KeyedFilter.sized(100, 0.01, key=key)
        getattr(f, operation)(other)
        assert (f.key, f.layout) == (("id",), other.layout)
        f.insert(table)  # the key picks its column out of the table
        assert f.test(table).all()
        f.save(tmp_path / "f.wbf")
        stored = KeyedFilter.load(tmp_path / "f.wbf")
        assert (stored.key, stored.layout) == (("id",), other.layout)
    # A key of other columns refuses the other's layout, and nothing changes.
    f = KeyedFilter.sized(100, 0.01, key="name")
    bits = f.filter.to_bytes()
    with pytest.raises(KeyMismatch, match=r"^the filter is keyed by 'name', the other filter by 'id'$"):
        getattr(f, operation)(other)
    assert (f.key, f.layout, f.filter.to_bytes()) == (("name",), None, bits)


def stored_with(tmp_path, entry):
    """A stored filter whose `keys` entry is `entry`: intact but for it (the
    checksum covers it)."""
    path = tmp_path / "f.wbf"
    if not isinstance(entry, bytes):
        entry = json.dumps(entry).encode()
    _storage.save_with_metadata(tools.sized(10, 0.1), path, {b"keys": entry})
    return path


GOOD = {"version": 2, "source": "table", "columns": [["id", "int64"]], "key": ["id"]}
INVALID = "the key layout in the metadata is not valid: "


@pytest.mark.parametrize(
    "entry, message",
    [
        (b"[" * 100_000 + b"]" * 100_000, "it is nested 100000 levels deep, where a layout has 3"),
        ({**GOOD, "columns": [[["id"], "int64"]]}, "it is nested 4 levels deep, where a layout has 3"),
        (b"\xff", "it is not UTF-8"),
        (b'{"version": 2', "it is not JSON (Expecting ',' delimiter: line 1 column 14 (char 13))"),
        ([1, 2], "it is not an object of exactly version, source, columns and key"),
        ({**GOOD, "extra": 1}, "it is not an object of exactly version, source, columns and key"),
        ({**GOOD, "version": True}, "the version must be an integer, not True"),
        ({**GOOD, "version": 1.0}, "the version must be an integer, not 1.0"),
        ({**GOOD, "version": "2"}, "the version must be an integer, not '2'"),
        ({**GOOD, "version": 0}, "key layout version 0 does not exist"),
        ({**GOOD, "source": "parquet"}, "the source must be 'table' or 'numpy', not 'parquet'"),
        ({**GOOD, "source": ["table"]}, "the source must be 'table' or 'numpy', not ['table']"),
        ({**GOOD, "columns": {"id": "int64"}}, "the columns must be a list of [name, type] pairs of strings"),
        ({**GOOD, "columns": [["id"]]}, "the columns must be a list of [name, type] pairs of strings"),
        ({**GOOD, "columns": [["id", 64]]}, "the columns must be a list of [name, type] pairs of strings"),
        ({**GOOD, "columns": ["id", "int64"]}, "the columns must be a list of [name, type] pairs of strings"),
        ({**GOOD, "columns": [], "key": None}, "a table's key has no columns"),
        ({**GOOD, "columns": [["id", "int65"]]}, "column 'id' has the type 'int65', which no key column has"),
        ({**GOOD, "columns": [["id", "timestamp[us,tz=UTC]"]]},
         "column 'id' has the type 'timestamp[us,tz=UTC]', which no key column has"),
        ({**GOOD, "columns": [["id", "null"]]}, "column 'id' has the type 'null', which no key column has"),
        ({**GOOD, "source": "numpy", "columns": [["id", "|O"]]}, "column 'id' has the NumPy dtype |O, which holds references"),
        ({**GOOD, "source": "numpy", "columns": [["id", "<i9"]]}, "'<i9' is not a NumPy dtype"),
        ({**GOOD, "source": "numpy", "columns": [["id", "(('<f8', 2)"]]}, "\"(('<f8', 2)\" is not a NumPy dtype"),
        ({**GOOD, "key": "id"}, "the key must be null or a list of column names"),
        ({**GOOD, "key": [1]}, "the key must be null or a list of column names"),
        ({**GOOD, "key": ["name"]}, "the key ['name'] names other columns than the layout's ['id']"),
        ({**GOOD, "key": ["id", "id"]}, "the key ['id', 'id'] names other columns than the layout's ['id']"),
    ],
)
def test_a_stored_layout_that_save_never_writes_is_refused(tmp_path, entry, message):
    path = stored_with(tmp_path, entry)
    with pytest.raises(FormatError) as refusal:
        KeyedFilter.load(path)
    assert str(refusal.value) == INVALID + message


def test_a_stored_layout_newer_than_the_reader_says_so(tmp_path):
    with pytest.raises(FormatError, match=r"^key layout version 3 is newer than this reader, which reads version 2: "):
        KeyedFilter.load(stored_with(tmp_path, {**GOOD, "version": 3}))
    assert KeyedFilter.load(stored_with(tmp_path, GOOD)).layout == KeyLayout("table", (("id", "int64"),), 2)
    # Version 1 fixed a layout of type null for a column that held only nulls.
    old = {**GOOD, "version": 1, "columns": [["id", "null"]]}
    assert KeyedFilter.load(stored_with(tmp_path, old)).layout == KeyLayout("table", (("id", "null"),), 1)


ID_NAME = KeyLayout("table", (("id", "int64"), ("name", "string")))


@pytest.mark.parametrize(
    "key, types",
    [
        (None, {"id": "int64", "name": "string"}),
        (None, {"id": pa.int64(), "name": pa.large_string()}),
        (None, pa.schema([("id", pa.int64()), ("name", pa.string_view())])),
        (["id", "name"], {"name": "string", "id": pa.field("x", pa.int64())}),
    ],
)
def test_given_types_fix_the_layout_before_any_data(key, types):
    f = KeyedFilter.sized(100, 0.01, key, types=types)
    assert (f.key, f.layout) == (("id", "name"), ID_NAME)
    # Columns of nulls only go in at once, as nulls of the given types.
    nulls = pl.DataFrame({"id": [None, 5], "name": [None, None], "more": [1, 2]})
    f.insert(nulls)
    rows = pa.table({"id": pa.array([None, 5], pa.int64()), "name": pa.array([None, None], pa.string())})
    assert [bytes(row) for row in key_rows(rows)] == [b"\0" * 26, b"\1" + (5).to_bytes(8, "little") + b"\0" * 17]
    plain = tools.sized(100, 0.01)
    plain.insert(key_rows(rows))
    assert f.filter.to_bytes() == plain.to_bytes()
    with pytest.raises(KeyMismatch, match=r"^column 'id' has type int64 in the filter's key but int32 in the data$"):
        f.insert(pa.table({"id": pa.array([1], pa.int32()), "name": ["a"]}))


@pytest.mark.parametrize(
    "key, types, error, message",
    [
        ("id", {"id": "int64", "name": "string"}, ValueError,
         "types must name exactly the key's columns, 'id', not 'id', 'name'"),
        (["id", "id"], {"id": "int64"}, ValueError, "types must name exactly the key's columns, 'id', 'id', not 'id'"),
        (None, {}, ValueError, "types names no columns"),
        (None, pa.schema([("id", pa.int64()), ("id", pa.int32())]), ValueError, "types names the column 'id' twice"),
        (None, {"id": "int"}, ValueError, "types['id']: 'int' is not the name of a key type"),
        (None, {"id": "null"}, ValueError, "types['id']: 'null' is not the name of a key type"),
        (None, {"id": "timestamp[us,tz=UTC]"}, ValueError,
         "types['id']: 'timestamp[us,tz=UTC]' is not the name of a key type"),
        (None, {"id": pa.null()}, TypeError, "types['id'] has type null, which cannot be part of a key: key columns hold"),
        (None, {"id": pa.list_(pa.int64())}, TypeError, "types['id'] has type list, which cannot be part of a key"),
        (None, {"id": pa.schema([("a", pa.int8()), ("b", pa.int8())])}, TypeError, "types['id']: one type is needed, not 2 fields"),
        (None, {"id": int}, TypeError, "types['id'] must be a layout type name or an Arrow type, not type"),
        (None, {1: "int64"}, TypeError, "types must name columns with str, not int"),
        (None, [("id", "int64")], TypeError, "types must be a mapping of column names to types or an Arrow schema, not list"),
        (None, pa.schema([("tags", pa.list_(pa.int8()))]), TypeError, "column 'tags' has type list, which cannot be part"),
    ],
)
def test_types_that_give_no_layout_are_refused(key, types, error, message):
    with pytest.raises(error) as refusal:
        KeyedFilter.sized(100, 0.01, key, types=types)
    assert str(refusal.value).startswith(message)


def test_rows_held_for_their_types_combine_exactly():
    """Filters whose rows wait for a column's type: union gathers them, and
    puts them in once the types are known together; intersect waits for
    the types."""
    first, second = pl.DataFrame({"id": [1, 2], "name": [None, None]}), pl.DataFrame({"id": [None], "name": ["x"]})
    a, b = KeyedFilter.sized(100, 0.01), KeyedFilter.sized(100, 0.01)
    a.insert(first)
    b.insert(second)  # its id held only nulls: the two know the types together
    still = KeyedFilter.sized(100, 0.01)
    still.insert(pl.DataFrame({"id": [3], "name": [None]}))
    with pytest.raises(ValueError, match=r"^2 key rows are held until the types of 'name', which held only nulls, are "
                                         r"known: they cannot be intersected yet$"):
        a.intersect(still)
    c = KeyedFilter.sized(100, 0.01)
    c.union(a)
    assert c.layout is None and c.test(first).all() and not c.test(second).any()
    c.union(b)
    assert c.layout == ID_NAME and c.test(first).all() and c.test(second).all()
    typed = KeyedFilter.sized(100, 0.01, types={"id": "int64", "name": "string"})
    typed.insert(first)
    typed.insert(second)
    assert c.filter.to_bytes() == typed.filter.to_bytes()
    # Intersect of the two: each one's bits with the rows it holds.
    both = pl.DataFrame({"id": [1, None], "name": [None, "x"]})
    for operation, kept in (("union", [True, True]), ("intersect", [True, False])):
        fixed = KeyedFilter.sized(100, 0.01, types={"id": "int64", "name": "string"})
        fixed.insert(both)
        getattr(fixed, operation)(a)
        assert fixed.layout == ID_NAME and fixed.test(first).tolist() == kept, operation
    other = KeyedFilter.sized(100, 0.01)
    other.insert(pa.table({"id": ["1"], "name": [None]}))
    with pytest.raises(KeyMismatch, match=r"^column 'id' has type int64 in the filter's key but string in the other filter$"):
        a.union(other)
    assert a.layout is None and a.test(first).all() and not any(a.filter.to_bytes())


TABLE_V1 = pa.table({"x": [1.5, math.nan, -0.0, 0.0, None], "s": ["a", "", None, "NA", "b"]})
NUMPY_V1 = np.array([(1, b"ab", -0.0), (2, b"", math.nan), (3, b"x", 0.0)],
                    dtype=[("id", "<i8"), ("code", "S2"), ("w", "<f8")])


def version_1_rows():
    """The key rows of TABLE_V1 by the rules of version 1: floats bit for
    bit, "" digested."""
    rows = []
    for x, s in zip(*TABLE_V1.to_pydict().values()):
        row = b"\0" * 9 if x is None else b"\1" + struct.pack("<d", x)
        row += b"\0" * 17 if s is None else b"\1" + mmh3.hash_bytes(s.encode(), 0x6B657931, True)
        rows.append(row)
    return np.frombuffer(b"".join(rows), np.uint8).reshape(len(rows), -1)


def test_a_filter_stored_with_layout_version_1_keeps_its_answers():
    """tests/vectors/keyed-v1-*.wbf were saved by the release before version
    2: KeyedFilter.sized(20, 0.01, key=["x", "s"]) of TABLE_V1, and
    KeyedFilter.sized(20, 0.01) of NUMPY_V1."""
    f = KeyedFilter.load(VECTORS / "keyed-v1-table.wbf")
    assert (f.key, f.layout) == (("x", "s"), KeyLayout("table", (("x", "float64"), ("s", "string")), 1))
    plain = tools.sized(20, 0.01)
    plain.insert(version_1_rows())
    assert f.filter.to_bytes() == plain.to_bytes()
    assert f.test(TABLE_V1).all() and f.test(pl.from_arrow(TABLE_V1)).all()
    f.insert(TABLE_V1)  # read by the rules of version 1: the same rows, no new bit
    assert f.filter.to_bytes() == plain.to_bytes()
    v2 = KeyedFilter.sized(20, 0.01, key=["x", "s"])
    v2.insert(TABLE_V1)
    for a, b, versions in ((f, v2, (1, 2)), (v2, f, (2, 1))):
        with pytest.raises(KeyMismatch, match=rf"^the filter's key rows are of layout version {versions[0]}, the other "
                                              rf"filter's of version {versions[1]}: the two make other bytes of some "
                                              r"values \(NaN, -0.0, empty strings\)$"):
            a.union(b)
    # A NumPy array's rows are the same in every version.
    g = KeyedFilter.load(VECTORS / "keyed-v1-numpy.wbf")
    assert g.layout.version == 1 and g.test(NUMPY_V1).all()
    bits = g.filter.to_bytes()
    g.insert(NUMPY_V1)
    fresh = KeyedFilter.sized(20, 0.01)
    fresh.insert(NUMPY_V1)
    g.union(fresh)
    assert g.filter.to_bytes() == bits == fresh.filter.to_bytes()
