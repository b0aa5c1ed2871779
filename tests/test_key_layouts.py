"""What a KeyedFilter records of its key rows, and what it refuses: whole
NumPy dtypes, and pandas frames of any class."""
import numpy as np
import pandas as pd
import pytest

from woxbloomfilter_tools import KeyedFilter, KeyLayout, KeyMismatch


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
