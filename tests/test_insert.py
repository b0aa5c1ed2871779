"""Insertion and membership test: bit placement against the independent model
for every kind of dtype and layout, the worked examples, and the edge cases."""
import numpy as np
import pytest

from model import Model, positions, row_bytes, set_bits
from woxbloomfilter import bloomfilter

RNG = np.random.default_rng(20261208)

PADDED = np.dtype({"names": ["a", "b"], "formats": ["u1", "<i4"], "offsets": [0, 4], "itemsize": 12})
DTYPES = [
    "<i1", "<u2", ">i2", "<i4", ">i4", "<i8", ">u8", "<f2", "<f4", ">f8", "<c8", ">c16",
    "?", "<M8[ns]", ">m8[s]", "S5", "<U3", ">U2", PADDED,
]


def random_array(dtype, shape):
    """Arbitrary bytes as dtype: NaN patterns, odd bools and padding garbage included."""
    dtype = np.dtype(dtype)
    raw = RNG.integers(0, 256, size=int(np.prod(shape)) * dtype.itemsize, dtype=np.uint8)
    return raw.view(dtype).reshape(shape)


def misaligned(a):
    buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = np.frombuffer(buf.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    view[...] = a
    return view


LAYOUTS = {
    "C": lambda a: a,
    "Fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "reversed rows": lambda a: a[::-1],
    "reversed columns": lambda a: a[:, ::-1],
    "strided slice": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[1::2, ::3],
    "broadcast row": lambda a: np.broadcast_to(a[:1], a.shape),
    "broadcast column": lambda a: np.broadcast_to(a[:, :1], a.shape),
    "misaligned": misaligned,
    "3-D": lambda a: np.stack([a, a[::-1]], axis=2),
    "3-D transposed": lambda a: np.ascontiguousarray(np.stack([a, a], axis=2).transpose(1, 0, 2)).transpose(1, 0, 2),
}


def bits_of(f):
    return set_bits(f.to_bytes())


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_bits_and_answers_match_the_model(dtype, layout):
    a = LAYOUTS[layout](random_array(dtype, (12, 3)))
    probe = random_array(dtype, (12, 3))
    f, model = bloomfilter(), Model(5, 2039)
    f.configure(5, 2039)
    f.insert(a)
    model.insert(a)
    assert f.to_bytes() == model.to_bytes()
    assert f.test(a) == [True] * 12
    assert f.test(probe) == model.test(probe)


@pytest.mark.parametrize("k, m", [(60, 1_000_003), (3, 3), (7, 64), (1, 1), (200, 65), (4096, 99991)])
def test_wrapping_positions_and_odd_sizes(k, m):
    a = random_array("<i8", (40, 2))
    h2s = [positions(row_bytes(a, r), 2, 2**64)[1] for r in range(40)]
    assert any(h2 > 2**63 for h2 in h2s)  # some rows wrap past 2**64 within k steps
    f, model = bloomfilter(), Model(k, m)
    f.configure(k, m)
    f.insert(a[:20])
    model.insert(a[:20])
    assert f.to_bytes() == model.to_bytes()
    assert f.test(a) == model.test(a)


def test_filter_beyond_32_bit_positions():
    m, rows = 2**33 + 5, random_array("<u4", (200, 4))
    f = bloomfilter()
    f.configure(4, m)
    f.insert(rows)
    expected = sorted({p for r in range(200) for p in positions(row_bytes(rows, r), 4, m)})
    assert expected[-1] > 2**32
    data = np.frombuffer(f.to_bytes(), dtype=np.uint8)
    assert len(data) == (m + 7) // 8
    assert all(data[p // 8] >> (p % 8) & 1 for p in expected)
    assert int(np.bitwise_count(data).sum(dtype=np.int64)) == len(expected)
    assert f.test(rows) == [True] * 200


@pytest.mark.parametrize(
    "rows, expected",
    [
        (np.zeros((1, 0), dtype=np.int32), [488, 551, 614]),
        (np.zeros((5, 0), dtype=np.float64), [488, 551, 614]),
        (np.zeros((2, 3, 0), dtype=np.int16), [488, 551, 614]),  # no element [r, c, 0] to read
        (np.zeros((2, 4), dtype=[]), [488, 551, 614]),  # items of zero bytes
        (np.array([[1, 2]], dtype="<i4"), [323, 653, 993]),
        (np.array([[1, 2], [1, 2]], dtype="<i4"), [323, 653, 993]),
    ],
)
def test_worked_examples(rows, expected):
    f = bloomfilter()
    f.configure(3, 1000)
    f.insert(rows)
    assert bits_of(f) == expected


def test_empty_rows_all_test_present_after_one_is_inserted():
    f = bloomfilter()
    f.configure(3, 1000)
    assert f.test(np.zeros((4, 0))) == [False] * 4
    f.insert(np.zeros((1, 0), dtype=np.uint8))
    assert f.test(np.zeros((4, 0), dtype=np.complex64)) == [True] * 4


def test_same_values_in_other_dtypes_are_other_rows():
    f = bloomfilter()
    f.configure(7, 100_000)
    f.insert(np.array([[1, 2, 3]], dtype="<i4"))
    f.insert(np.array([[0.0]]))
    variants = [np.array([[1, 2, 3]], dtype=d) for d in ("<i8", ">i4", "<u4")] + [np.array([[-0.0]])]
    model = Model(7, 100_000)
    model.insert(np.array([[1, 2, 3]], dtype="<i4"))
    model.insert(np.array([[0.0]]))
    for v in variants:
        assert f.test(v) == model.test(v)
    assert f.test(np.array([[1, 2, 3]], dtype=np.int32)) == [True]


def test_unconfigured_filter_accepts_everything():
    f = bloomfilter()
    f.insert(random_array("<f8", (5, 2)))
    assert f.test(random_array("<i2", (3, 7))) == [True] * 3
    assert (f.get_k(), f.get_m(), f.to_bytes()) == (0, 0, b"")


@pytest.mark.parametrize("empty", [np.zeros((0, 4)), np.zeros(0), np.zeros((0, 2, 3)), np.zeros((0, 0))])
def test_arrays_without_rows(empty):
    f = bloomfilter()
    f.configure(3, 64)
    f.insert(empty)
    assert f.test(empty) == []
    assert f.to_bytes() == bytes(8)


@pytest.mark.parametrize("method", ["insert", "insert_along", "test"])
@pytest.mark.parametrize(
    "array, message",
    [
        (np.array(5.0), "invalid axis: 0 (ndim = 0)"),
        (np.arange(3), "invalid axis: 1 (ndim = 1)"),
    ],
)
def test_arrays_of_too_few_dimensions(method, array, message):
    f = bloomfilter()
    f.configure(3, 1000)
    f.insert(np.array([[7]]))
    before = f.to_bytes()
    args = (array, 0) if method == "insert_along" else (array,)
    with pytest.raises(IndexError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
        getattr(f, method)(*args)
    assert f.to_bytes() == before


@pytest.mark.parametrize("axis", [-2**31, -1, 0, 1, 2, 7, 2**31 - 1])
def test_insert_along_ignores_axis(axis):
    a = random_array("<i4", (10, 3))
    f, g = bloomfilter(), bloomfilter()
    f.configure(4, 777)
    g.configure(4, 777)
    f.insert(a)
    g.insert_along(a, axis)
    assert f.to_bytes() == g.to_bytes()


@pytest.mark.parametrize("call", [
    lambda f: f.insert_along(np.zeros((1, 1)), 2**31),
    lambda f: f.insert_along(np.zeros((1, 1)), 1.0),
    lambda f: f.insert([[1, 2]]),
    lambda f: f.test((1, 2)),
    lambda f: f.insert(None),
    lambda f: f.insert(np.zeros((1, 1)), 0),
])
def test_non_arrays_and_bad_axes_are_refused(call):
    f = bloomfilter()
    f.configure(3, 100)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(f)
    assert f.to_bytes() == bytes(13)


@pytest.mark.parametrize("k", [1, 3, 4096])
def test_positions_need_bits(k):
    f = bloomfilter()
    f.configure(k, 0)
    for call in (f.insert, f.test, lambda a: f.insert_along(a, 0)):
        with pytest.raises(ValueError, match=f"^k = {k} bit positions cannot be placed in a filter of m = 0 bits$"):
            call(np.zeros((2, 2)))
    assert (f.get_k(), f.get_m(), f.to_bytes()) == (k, 0, b"")


@pytest.mark.parametrize("k", [4097, 2**63, 2**64 - 1])
def test_k_above_the_limit_is_refused_when_used(k):
    f = bloomfilter()
    f.configure(k, 64)
    assert f.get_k() == k
    for call in (f.insert, f.test, lambda a: f.insert_along(a, 0)):
        with pytest.raises(ValueError, match=f"^k = {k} is above the limit of 4096 bit positions per row$"):
            call(np.zeros((2, 2)))
    assert f.to_bytes() == bytes(8)


@pytest.mark.parametrize("shape, dtype", [((2, 2**31), "u1"), ((2, 2**30), "<u2"), ((1, 2**59), "<u8")])
def test_rows_longer_than_the_hash_takes_are_refused(shape, dtype):
    huge = np.broadcast_to(np.zeros(1, dtype=dtype), shape)
    f = bloomfilter()
    f.configure(3, 64)
    for call in (f.insert, f.test):
        with pytest.raises(ValueError, match=r"is longer than the 2147483647 bytes a row may have$"):
            call(huge)
    assert f.to_bytes() == bytes(8)


@pytest.mark.parametrize("smaller", [1000, 10, 0])
def test_configure_clears_every_bit(smaller):
    a = random_array("<i4", (300, 2))
    f = bloomfilter()
    f.configure(7, 1000)
    f.insert(a)
    f.configure(7, smaller)
    f.configure(7, 1000)
    assert f.to_bytes() == bytes(125)
    assert f.test(a) == [False] * 300


@pytest.mark.parametrize("m, error", [(2**63, ValueError), (2**62, MemoryError)])
def test_failed_configure_keeps_the_bits(m, error):
    a = random_array("<i4", (50, 2))
    f = bloomfilter()
    f.configure(3, 500)
    f.insert(a)
    before = f.to_bytes()
    with pytest.raises(error):
        f.configure(3, m)
    assert (f.get_k(), f.get_m(), f.to_bytes()) == (3, 500, before)
    assert f.test(a) == [True] * 50

