"""dbg_getrow and dbg_gethex: the bytes a row is hashed from. Arbitrary dtypes
and layouts against the independent model are in test_properties.py."""
import numpy as np
import pytest

from model import row_bytes
from woxbloomfilter import bloomfilter

U8 = np.array([[0, 10, 255], [1, 2, 3]], dtype=np.uint8)


def both(f, a, r):
    return f.dbg_getrow(a, r), f.dbg_gethex(a, r)


@pytest.mark.parametrize(
    "a, r, ints, text",
    [
        (U8, 0, [0, 10, 255], "0aff"),
        (U8, 1, [1, 2, 3], "123"),
        (np.array([[1, 256]], dtype=np.int32), 0, [1, 0, 0, 0, 0, 1, 0, 0], "10000100"),
        (np.array([[1.0]]), 0, [0, 0, 0, 0, 0, 0, 240, 63], "000000f03f"),
        # Without leading zeros the text is not unique: these rows and U8's
        # second one all read "123".
        (np.array([[0x12, 3], [1, 0x23]], dtype=np.uint8), 0, [0x12, 3], "123"),
        (np.array([[0x12, 3], [1, 0x23]], dtype=np.uint8), 1, [1, 0x23], "123"),
    ],
)
def test_worked_examples(a, r, ints, text):
    assert both(bloomfilter(), a, r) == (ints, text)
    assert ints == list(row_bytes(a, r))


@pytest.mark.parametrize(
    "a, r, error, message",
    [
        (np.arange(3), 0, IndexError, r"^invalid axis: 1 \(ndim = 1\)$"),
        (np.array(5), 0, IndexError, r"^invalid axis: 1 \(ndim = 0\)$"),
        (np.zeros((3, 4)), 5, IndexError, "^index 5 is out of bounds for axis 0 with size 3$"),
        (np.zeros((3, 4)), -1, IndexError, "^index -1 is out of bounds for axis 0 with size 3$"),
        (np.zeros((0, 4)), 0, IndexError, "^index 0 is out of bounds for axis 0 with size 0$"),
        (np.zeros((2, 3, 0)), 2, IndexError, "^index 2 is out of bounds for axis 0 with size 2$"),
        (np.zeros((3, 4)), 2**31, TypeError, r"incompatible function arguments"),
        (np.zeros((3, 4)), -(2**31) - 1, TypeError, r"incompatible function arguments"),
        ([[1, 2], [3, 4]], 0, TypeError, r"incompatible function arguments"),
    ],
)
@pytest.mark.parametrize("method", ["dbg_getrow", "dbg_gethex"])
def test_errors(method, a, r, error, message):
    with pytest.raises(error, match=message):
        getattr(bloomfilter(), method)(a, r)


@pytest.mark.parametrize("r", [0, 2, 3, 100, -1, -7])
def test_rows_without_columns_are_empty_for_any_index(r):
    assert both(bloomfilter(), np.zeros((3, 0), dtype=np.int64), r) == ([], "")


@pytest.mark.parametrize("r", [0, 1])
def test_empty_third_axis_gives_empty_rows(r):
    assert both(bloomfilter(), np.zeros((2, 3, 0), dtype=np.int32), r) == ([], "")


@pytest.mark.parametrize("method", ["dbg_getrow", "dbg_gethex"])
@pytest.mark.parametrize(
    "dtype", [np.dtype(object), np.dtype([("a", "<i4"), ("b", "O")]), np.dtypes.StringDType()], ids=str
)
def test_reference_dtypes_are_refused(method, dtype):
    message = (
        f"rows of dtype {dtype} cannot be hashed: its elements are references, not values; "
        "convert them to fixed-width bytes or numbers first"
    )
    # Before the dimensions, the empty row of a shape (r, 0) and the row index are looked at.
    for shape, r in [((3, 2), 0), ((3, 2), 7), ((3, 0), 0), ((0, 2), 0), ((4,), 0), ((), 0)]:
        with pytest.raises(TypeError) as err:
            getattr(bloomfilter(), method)(np.empty(shape, dtype=dtype), r)
        assert str(err.value) == message
