"""What a KeyedFilter records of its key rows, and what it refuses: whole
NumPy dtypes, pandas frames of any class, the key taken with the layout by a
union, and stored layouts that load only when they are ones `save` writes."""
import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import woxbloomfilter_tools as tools
from woxbloomfilter_tools import FormatError, KeyedFilter, KeyLayout, KeyMismatch, _storage


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


def test_the_command_line_tells_of_a_layout_nested_too_deep_in_one_line(tmp_path):
    path = stored_with(tmp_path, b"[" * 100_000 + b"]" * 100_000)
    run = subprocess.run([sys.executable, "-m", "woxbloomfilter_tools", "info", str(path)],
                         capture_output=True, text=True, timeout=120)
    message = f"{INVALID}it is nested 100000 levels deep, where a layout has 3"
    assert (run.returncode, run.stdout, run.stderr) == (1, "", f"woxbloom: error: {path}: {message}\n")


def test_a_stored_layout_newer_than_the_reader_says_so(tmp_path):
    with pytest.raises(FormatError, match=r"^key layout version 3 is newer than this reader, which reads version 2: "):
        KeyedFilter.load(stored_with(tmp_path, {**GOOD, "version": 3}))
    assert KeyedFilter.load(stored_with(tmp_path, GOOD)).layout == KeyLayout("table", (("id", "int64"),), 2)
    # Version 1 fixed a layout of type null for a column that held only nulls.
    old = {**GOOD, "version": 1, "columns": [["id", "null"]]}
    assert KeyedFilter.load(stored_with(tmp_path, old)).layout == KeyLayout("table", (("id", "null"),), 1)
