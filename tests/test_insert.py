"""Insertion and membership test: every row length, the worked examples, the
refusals and the edge cases. Arbitrary dtypes, layouts and call sequences
against the independent model are the properties of test_properties.py."""
import numpy as np
import pytest

from model import Model, positions, row_bytes, set_bits
from woxbloomfilter import bloomfilter

RNG = np.random.default_rng(20261208)

PADDED = np.dtype({"names": ["a", "b"], "formats": ["u1", "<i4"], "offsets": [0, 4], "itemsize": 12})
REFERENCE = [np.dtype(object), np.dtype([("a", "<i4"), ("b", "O")]), np.dtypes.StringDType()]


def random_array(dtype, shape):
    """Arbitrary bytes as dtype: NaN patterns, odd bools and padding garbage included."""
    dtype = np.dtype(dtype)
    raw = RNG.integers(0, 256, size=int(np.prod(shape)) * dtype.itemsize, dtype=np.uint8)
    return raw.view(dtype).reshape(shape)


def bits_of(f):
    return set_bits(f.to_bytes())


# Rows are hashed 32 at a time in SIMD lanes, the rest of a block one by one,
# and each row's last len % 16 bytes on their own: 77 rows (a block of 64 and
# one of 13) of every length up to 64 bytes and some long ones, whose gathered
# copies make blocks smaller, in place and gathered through strides.
@pytest.mark.parametrize("k", [3, 20])
def test_every_row_length(k):
    for length in [*range(65), 100, 1000, 4097, 20_000, 70_000]:
        rows = random_array("u1", (77, length))
        gathered = np.asfortranarray(rows)
        f, model = bloomfilter(), Model(k, 65_537)
        f.configure(k, 65_537)
        f.insert(rows[:50])
        model.insert(rows[:50])
        f.insert(gathered[60:])
        model.insert(gathered[60:])
        assert f.to_bytes() == model.to_bytes(), length
        assert f.test(gathered) == f.test(rows) == model.test(rows), length


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


def test_padding_bytes_are_part_of_a_row():
    a = random_array(PADDED, (30, 2))
    raw = a.view(np.uint8).copy()
    raw[:, 1::12] ^= 0xFF  # the first padding byte of each item; the fields stay equal
    b = raw.view(PADDED)
    assert (a == b).all()
    f, model = bloomfilter(), Model(5, 4099)
    f.configure(5, 4099)
    f.insert(a)
    model.insert(a)
    assert f.to_bytes() == model.to_bytes()
    assert f.test(b) == model.test(b) != f.test(a)


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


# Elements that are references (objects, variable-width strings) are refused
# before anything else is looked at: the configuration, the shape, the rows.
@pytest.mark.parametrize("method", ["insert", "insert_along", "test"])
@pytest.mark.parametrize("dtype", REFERENCE, ids=str)
def test_reference_dtypes_are_refused(method, dtype):
    message = (
        f"rows of dtype {dtype} cannot be hashed: its elements are references, not values; "
        "convert them to fixed-width bytes or numbers first"
    )
    for k, m in [(3, 1000), (4097, 64), (2, 0)]:
        f = bloomfilter()
        f.configure(k, m)
        if k < 4096 and m:
            f.insert(random_array("<i8", (20, 2)))
        before = f.to_bytes()
        for shape in [(3, 2), (0, 2), (3, 0), (2, 3, 4), (), (4,)]:
            a = np.empty(shape, dtype=dtype)
            with pytest.raises(TypeError) as err:
                f.insert_along(a, 0) if method == "insert_along" else getattr(f, method)(a)
            assert str(err.value) == message
            assert (f.get_k(), f.get_m(), f.to_bytes()) == (k, m, before)


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

