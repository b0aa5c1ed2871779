"""dbg_getrow and dbg_gethex: the bytes a row is hashed from."""
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


def layouts():
    rng = np.random.default_rng(7)
    base = rng.integers(-(2**31), 2**31, (5, 4), dtype=np.int32)
    big = rng.integers(0, 2**16, (9, 12), dtype=np.uint16)
    cube = rng.standard_normal((4, 3, 2))
    return {
        "fortran": np.asfortranarray(base),
        "transposed": base.T,
        "reversed": base[::-1],
        "strided": big[::2, ::3],
        "broadcast rows": np.broadcast_to(np.arange(4, dtype=np.uint16), (3, 4)),
        "broadcast columns": np.broadcast_to(np.arange(3, dtype=np.int64)[:, None], (3, 5)),
        "big-endian int": base.astype(">u4"),
        "big-endian float": cube[:, :, 0].astype(">f8"),
        "3-d": cube,
        "3-d transposed": cube.transpose(2, 0, 1),
        "bool": base > 0,
        "complex": (cube[:, :, 0] + 1j * cube[:, :, 1]).astype(np.complex64),
        "3-byte items strided": np.frombuffer(rng.bytes(72), dtype="S3").reshape(4, 6)[:, ::2],
    }


@pytest.mark.parametrize("name", list(layouts()))
def test_layouts_follow_the_logical_rows(name):
    a = layouts()[name]
    f = bloomfilter()
    for r in range(a.shape[0]):
        ints, text = both(f, a, r)
        assert ints == list(row_bytes(a, r))
        assert text == "".join(format(b, "x") for b in row_bytes(a, r))


def test_results_do_not_depend_on_the_filter():
    a = layouts()["3-d"]
    configured, filled = bloomfilter(), bloomfilter()
    configured.configure(3, 100)
    filled.configure(2, 64)
    filled.insert(a)
    for r in range(a.shape[0]):
        assert both(configured, a, r) == both(filled, a, r) == both(bloomfilter(), a, r)


@pytest.mark.parametrize("dtype", ["u1", "i2", "<i4", ">i4", "i8", "f4", ">f8", "c16", "?", "S3"])
def test_hex_is_each_byte_without_leading_zeros(dtype):
    rng = np.random.default_rng([ord(c) for c in dtype])
    f = bloomfilter()
    for _ in range(20):
        shape = tuple(rng.integers(1, 6, rng.integers(2, 4)))
        a = np.frombuffer(rng.bytes(int(np.prod(shape)) * np.dtype(dtype).itemsize), dtype=dtype).reshape(shape)
        for r in range(shape[0]):
            ints = f.dbg_getrow(a, r)
            assert ints == list(row_bytes(a, r))
            assert f.dbg_gethex(a, r) == "".join(format(b, "x") for b in ints)
