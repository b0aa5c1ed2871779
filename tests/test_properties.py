"""Properties of every call: on arbitrary arrays, byte strings and pickle
states, a call either gives what the independent model gives or raises the
documented error and leaves the filter exactly as it was."""
import array
import copy
import decimal
import fractions
import pickle
from collections import namedtuple

import numpy as np
from hypothesis import Phase, event, given, note, settings, strategies as st

from conftest import SANITIZED
from model import Model, PackedModel, row_bytes, row_positions
from woxbloomfilter import bloomfilter

# Example counts scale with the loaded profile (see conftest.py).
BASE = settings().max_examples

MAX_K = 4096
MAX_ROW = 2**31 - 1
MAX_BITS = 2**63 - 64  # the most bits a filter can hold; above it configure raises ValueError
UNALLOCATABLE = 2**40  # from here on an allocation fails on any machine this runs on
NO_FILTER = "bloomfilter object has no filter: __init__ or __setstate__ did not complete"
LENGTH_ERROR = "vector<bool>::_M_fill_insert"


def reference_message(dtype):
    return (
        f"rows of dtype {dtype} cannot be hashed: its elements are references, not values; "
        "convert them to fixed-width bytes or numbers first"
    )


def weighted(*pairs):
    """one_of with integer weights: (weight, strategy), ... (one_of itself
    merges repeated branches, so the choice is made by index)."""
    choices = [i for i, (weight, _) in enumerate(pairs) for _ in range(weight)]
    return st.sampled_from(choices).flatmap(lambda i: pairs[i][1])


def snapshot(f):
    return f.get_k(), f.get_m(), f.to_bytes()


def difference(got, want):
    """None when the snapshots or byte strings are equal, else where they first
    differ. Asserting that this is None keeps a failure cheap: pytest would
    explain a failed == of two large byte strings with a diff that takes
    gigabytes and minutes, and Hypothesis fails many times while it shrinks."""
    if isinstance(got, tuple):
        if got[:2] != want[:2]:
            return f"(k, m) is {got[:2]}, expected {want[:2]}"
        got, want = got[2], want[2]
    if len(got) != len(want):
        return f"{len(got)} bytes, expected {len(want)}"
    if got == want:
        return None
    i = int(np.flatnonzero(np.frombuffer(got, np.uint8) != np.frombuffer(want, np.uint8))[0])
    return f"byte {i} of {len(got)} is {got[i]:#04x}, expected {want[i]:#04x}"


def outcome(call):
    """("ok", result) or ("raised", exception type, message)."""
    try:
        return ("ok", call())
    except Exception as e:  # every exception the module raises is compared, whatever its type
        return ("raised", type(e), str(e))


# ---------------------------------------------------------------- dtypes

ORDERED = ["i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "c8", "c16", "M8[ns]", "M8[D]", "m8[s]", "m8[ps]"]
SCALARS = ["i1", "u1", "?"] + [order + code for order in "<>" for code in ORDERED]
scalar_dtypes = st.sampled_from(SCALARS).map(np.dtype)
string_dtypes = st.builds(
    lambda code, n: np.dtype(f"{code}{n}"), st.sampled_from(["S", "V", "<U", ">U"]), st.integers(1, 9)
)
ZERO_SIZE = [np.dtype([]), np.dtype([("z", "<i4", (0,))])]
REFERENCE = [
    np.dtype(object),
    np.dtype([("a", "<i4"), ("b", "O")]),
    np.dtypes.StringDType(),
    np.dtype([("n", [("x", "u1"), ("o", "O")])], align=True),
    np.dtype([("v", "O", (2,))]),
]


@st.composite
def structured_dtypes(draw, fields):
    """Packed, aligned (with padding) or at arbitrary, unaligned offsets with gaps."""
    formats = draw(st.lists(fields, min_size=1, max_size=4))
    formats = [(f, (draw(st.integers(0, 3)),)) if draw(st.integers(0, 4)) == 0 else f for f in formats]
    names = [f"f{i}" for i in range(len(formats))]
    layout = draw(st.sampled_from(["packed", "aligned", "gaps"]))
    if layout != "gaps":
        return np.dtype(list(zip(names, formats)), align=layout == "aligned")
    offsets, end = [], draw(st.integers(0, 3))
    for f in formats:
        offsets.append(end)
        end += np.dtype(f).itemsize + draw(st.integers(0, 3))
    return np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": end + draw(st.integers(0, 3))})


value_dtypes = weighted(
    (12, scalar_dtypes),
    (4, string_dtypes),
    (6, structured_dtypes(st.one_of(scalar_dtypes, string_dtypes, structured_dtypes(scalar_dtypes)))),
    (1, st.sampled_from(ZERO_SIZE)),
)

# ---------------------------------------------------------------- arrays

# Many rows often: rows are hashed 32 at a time with the rest one by one, in
# blocks of up to 64 rows.
row_counts = weighted(
    (1, st.integers(0, 3)),
    (2, st.sampled_from([15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129])),
    (5, st.integers(4, 300)),
)


@st.composite
def shapes(draw, itemsize, max_rows):
    ndim = draw(st.sampled_from([2] * 6 + [3] * 2 + [4]))
    rows = min(draw(row_counts), max_rows)
    length = draw(weighted(
        (1, st.just(0)),
        (12, st.integers(1, 64)),  # every row length up to 64 bytes
        (2, st.integers(65, 4096)),
        (1, st.integers(4097, 70_000)),  # gathered rows this long make blocks of fewer rows
    ))
    if itemsize == 0 or draw(st.integers(0, 2)) == 0:  # few columns, whatever their size
        cols = draw(st.integers(0, 4))
    else:
        cols = max(length // itemsize, int(length > 0))
    rest = [draw(weighted((1, st.just(0)), (3, st.integers(1, 3)))) for _ in range(ndim - 2)]
    while rows > 1 and rows * cols * max(itemsize, 1) * int(np.prod(rest)) > 2**22:
        rows //= 2
    event(f"rows {bucket(rows, [0, 4, 16, 65])}")
    event(f"row bytes {bucket(cols * itemsize, [0, 1, 65, 4097])}")
    return (rows, cols, *rest)


def bucket(n, starts):
    """The range of starts that n falls in, for the statistics."""
    i = max(j for j, start in enumerate(starts) if n >= start)
    return f"{starts[i]}+" if i == len(starts) - 1 else f"{starts[i]}-{starts[i + 1] - 1}"


def c_strides(shape, itemsize):
    strides, step = [], itemsize
    for n in reversed(shape):
        strides.append(step)
        step *= max(n, 1)
    return strides[::-1]


@st.composite
def laid_out(draw, dtype, shape):
    """An array of dtype and shape over arbitrary bytes, in one of many layouts,
    all inside the buffer they view, often at a misaligned address."""
    size = dtype.itemsize
    misalign = draw(st.sampled_from([0, 0, 0, 1, 3, 6]))
    seed, alphabet = draw(st.integers(0, 2**32 - 1)), draw(st.sampled_from([2, 256, 256]))

    def strided(base_shape, strides):
        """A view with these strides of a buffer just large enough for it. (The
        array constructor checks the bounds, and unlike as_strided it takes
        structured dtypes with padding.)"""
        lo = sum(min(0, s * (n - 1)) for n, s in zip(base_shape, strides)) if all(base_shape) else 0
        hi = sum(max(0, s * (n - 1)) for n, s in zip(base_shape, strides)) if all(base_shape) else 0
        raw = np.random.default_rng(seed).integers(0, alphabet, misalign + hi - lo + size, dtype=np.uint8)
        return np.ndarray(base_shape, dtype, buffer=raw.tobytes(), offset=misalign - lo, strides=strides)

    layout = draw(st.sampled_from(["C", "C", "C", "F", "transposed", "sliced", "broadcast", "as_strided"]))
    note(f"layout {layout}, misaligned by {misalign}")
    event(f"layout {layout}")
    if layout == "C":
        return strided(shape, c_strides(shape, size))
    if layout == "F":
        return strided(shape, c_strides(shape[::-1], size)[::-1])
    if layout == "transposed":
        perm = draw(st.permutations(range(len(shape))))
        base_shape = [shape[p] for p in perm]
        return strided(base_shape, c_strides(base_shape, size)).transpose(np.argsort(perm))
    if layout == "sliced":
        steps = [draw(st.sampled_from([1, 2, 3, -1, -2])) for _ in shape]
        base_shape = [n * abs(s) for n, s in zip(shape, steps)]
        base = strided(base_shape, c_strides(base_shape, size))
        return base[tuple(slice(None, None, s) for s in steps)]
    if layout == "broadcast":
        axes = draw(st.sets(st.integers(0, len(shape) - 1), min_size=1))
        base_shape = [1 if d in axes else n for d, n in enumerate(shape)]
        return np.broadcast_to(strided(base_shape, c_strides(base_shape, size)), shape)
    # Any strides, negative, zero, overlapping or not a multiple of the item size.
    strides = [draw(weighted((3, st.integers(-3 * size, 3 * size)), (1, st.integers(-300, 300)))) for _ in shape]
    return strided(shape, strides)


@st.composite
def arrays(draw, refused=True, max_rows=300):
    """Arrays of two to four dimensions of value dtypes in any layout; sometimes
    a refused reference dtype, fewer dimensions, or rows too long to hash."""
    kinds = ["value"] * 12 + ["reference", "few dimensions", "too long"] if refused else ["value"]
    kind = draw(st.sampled_from(kinds))
    dtype = draw(st.sampled_from(REFERENCE)) if kind == "reference" else draw(value_dtypes)
    note(f"{kind} array of dtype {dtype}")
    event(f"array {kind}")
    if kind == "few dimensions":
        shape = draw(st.sampled_from([(), (0,), (1,), (5,)]))
        return np.zeros(shape, dtype=draw(st.sampled_from([dtype] + REFERENCE)))
    if kind == "too long":
        size = max(dtype.itemsize, 1)
        dtype = dtype if dtype.itemsize else np.dtype("u1")
        shape = (draw(st.integers(0, 3)), MAX_ROW // size + 1, *draw(st.sampled_from([(), (1,), (0,)])))
        return np.broadcast_to(np.zeros((1,) * len(shape), dtype=dtype), shape)
    shape = draw(shapes(dtype.itemsize if kind == "value" else 8, max_rows))
    if kind == "reference" or dtype.itemsize == 0:
        swap = (1, 0, *range(2, len(shape)))
        a = np.empty(shape, dtype=dtype)
        return a.transpose(swap).copy().transpose(swap) if draw(st.booleans()) else a
    return draw(laid_out(dtype, shape))


def has_bytes(a):
    """Whether rows have bytes: items of some size and an element [r, c, 0, ...]."""
    return a.itemsize > 0 and all(a.shape[2:]) and a.shape[1] > 0


def too_long(a):
    return has_bytes(a) and a.shape[1] * a.itemsize > MAX_ROW


def expected_failure(method, a, k, m, row=0):
    """(type, message) of the documented refusal of this call, or None."""
    if a.dtype.hasobject:
        return TypeError, reference_message(a.dtype)
    if method in ("dbg_getrow", "dbg_gethex"):
        if a.ndim < 2:
            return IndexError, f"invalid axis: 1 (ndim = {a.ndim})"
        if a.shape[1] == 0:
            return None
        if not 0 <= row < a.shape[0]:
            return IndexError, f"index {row} is out of bounds for axis 0 with size {a.shape[0]}"
    else:
        if k > MAX_K:
            return ValueError, f"k = {k} is above the limit of 4096 bit positions per row"
        if k > 0 and m == 0:
            return ValueError, f"k = {k} bit positions cannot be placed in a filter of m = 0 bits"
        if a.ndim == 0:
            return IndexError, "invalid axis: 0 (ndim = 0)"
        if a.shape[0] == 0:  # nothing to insert or test, whatever the rows would be
            return None
        if a.ndim == 1:
            return IndexError, "invalid axis: 1 (ndim = 1)"
    if too_long(a):
        return ValueError, (
            f"a row of {a.shape[1]} columns of {a.itemsize} bytes is longer than the {MAX_ROW} bytes a row may have"
        )
    return None


# ---------------------------------------------------------------- filters

ks = weighted(
    (6, st.integers(1, 40)),
    (1, st.just(0)),
    (1, st.integers(41, 300)),
    (1, st.sampled_from([MAX_K, MAX_K + 1, 2**63, 2**64 - 1])),
)
small_ms = weighted(
    (3, st.just(1)),
    (1, st.just(0)),
    (5, st.integers(1, 20).map(lambda e: 2**e)),
    (5, st.integers(1, 2**19).map(lambda h: 2 * h + 1)),
    (5, st.integers(2, 2**20)),
)


@st.composite
def filters(draw, k, m):
    """A filter of k and m with the model of its bits: clear, or loaded with
    bits at some density so that tests answer both ways."""
    f = bloomfilter()
    density = draw(st.sampled_from([0.0, 0.0, 0.3, 0.9, 1.0]))
    if density == 0.0:
        f.configure(k, m)
        return f, Model(k, m)
    bits = np.random.default_rng(draw(st.integers(0, 2**32 - 1))).random(m) < density
    data = np.packbits(bits, bitorder="little").tobytes()
    f.from_bytes(data, k, m)
    return f, Model.from_bytes(data, k, m)


CALLS = ["insert", "insert", "insert_along", "test", "test", "dbg_getrow", "dbg_gethex", "union", "intersect",
         "configure"]


@settings(max_examples=BASE)
@given(st.data())
def test_calls_on_arbitrary_arrays(data):
    k, m = data.draw(ks, "k"), data.draw(small_ms, "m")
    f, model = data.draw(filters(k, m), "filter")
    pool = [data.draw(arrays(), f"array {i}") for i in range(data.draw(st.integers(1, 3)))]
    for _ in range(data.draw(st.integers(1, 6))):
        method = data.draw(st.sampled_from(CALLS))
        a = pool[data.draw(st.integers(0, len(pool) - 1))]
        before = snapshot(f)
        if method in ("union", "intersect"):
            config = (k, m) if data.draw(st.booleans()) else (data.draw(ks), data.draw(small_ms))
            other, theirs = data.draw(filters(*config))
            other_before = snapshot(other)
            got = outcome(lambda: getattr(f, method)(other))
            assert difference(snapshot(other), other_before) is None
            if (other.get_k(), other.get_m()) == (k, m):
                assert got == ("ok", None)
                model.bits = (np.logical_or if method == "union" else np.logical_and)(model.bits, theirs.bits)
            else:
                assert got == ("raised", RuntimeError, f"Configuration Mismatch in {method}")
        elif method == "configure":
            k, m = data.draw(ks), data.draw(small_ms)
            assert outcome(lambda: f.configure(k, m)) == ("ok", None)
            model = Model(k, m)
        else:
            row, args = 0, (a,)
            if method == "insert_along":  # the axis is ignored
                args = (a, data.draw(st.integers(-(2**31), 2**31 - 1)))
            elif method.startswith("dbg"):
                row = data.draw(weighted((4, st.integers(-2, 300)), (1, st.integers(-(2**31), 2**31 - 1))))
                args = (a, row)
            got = outcome(lambda: getattr(f, method)(*args))
            failure = expected_failure(method, a, k, m, row)
            event(f"{method}: {failure[0].__name__ if failure else 'ok'}")
            if failure:
                assert got == ("raised", *failure)
                assert difference(snapshot(f), before) is None
                continue
            if method in ("insert", "insert_along"):
                assert got == ("ok", None)
                if a.shape[0]:
                    model.insert(a)
            elif method == "test":
                assert got == ("ok", model.test(a) if a.shape[0] else [])
            else:
                content = row_bytes(a, row) if has_bytes(a) else b""
                assert got == ("ok", list(content) if method == "dbg_getrow" else "".join(f"{b:x}" for b in content))
        assert difference(snapshot(f), (model.k, model.m, model.to_bytes())) is None


# Large filters take other paths: beyond some MiB the words of rows ahead are
# fetched, beyond more a test fetches a row's later probes only when its first
# ones are set (8 and 32 MiB today, 2**26 and 2**28 bits); a power of two
# reduces positions by a mask. The C++ tests drive each regime at length on
# small filters; this checks that the module's thresholds lead to them. The
# model keeps the bits packed.
large_ms = weighted(
    (1, st.sampled_from([2**23, 2**26 - 1, 2**26, 2**26 + 1, 2**27])),
    (1, st.integers(2**23, 2**28)),
    (2, st.sampled_from([2**28 - 1, 2**28, 2**28 + 3, 2**29])),
    (2, st.integers(2**28, 2**29)),
)


@settings(max_examples=max(2, BASE // 40))
@given(st.data())
def test_large_filters(data):
    k, m = data.draw(st.integers(1, 30), "k"), data.draw(large_ms, "m")
    # Dense bits, so that rows stop in every round of a test, the last too.
    density = data.draw(st.sampled_from([0.0, 0.5, 0.75, 0.97]), "density")
    seed = data.draw(st.integers(0, 2**32 - 1))
    count = data.draw(st.integers(1, 4))
    calls = [(data.draw(arrays(refused=False)), data.draw(st.booleans())) for _ in range(count)]
    answers, bits = large_filter_results(k, m, density, seed, calls)
    for got, expected in answers:
        assert got == expected
    assert bits is None


def large_filter_results(k, m, density, seed, calls):
    """Tests each array, inserting the marked ones and testing them again:
    the answers of the filter and the model, and where their bits differ.
    Nothing of 64 MiB stays in a failing example's frame."""
    rng = np.random.default_rng(seed)
    start = b""
    if density:
        words = rng.integers(0, 2**64, (m + 63) // 64, dtype=np.uint64, endpoint=False)
        for _ in range({0.5: 0, 0.75: 1, 0.97: 4}[density]):  # each OR halves the clear bits
            words |= rng.integers(0, 2**64, len(words), dtype=np.uint64, endpoint=False)
        start = words.tobytes()
    f, model = bloomfilter(), PackedModel(k, m, start)
    f.from_bytes(start, k, m)
    answers = []
    for a, insert in calls:
        answers.append((f.test(a), model.test(a)))
        if insert:
            f.insert(a)
            model.insert(a)
            answers.append((f.test(a), model.test(a)))
    return answers, difference(f.to_bytes(), model.bytes.tobytes())


# Positions beyond 2**32 need a filter of half a GiB or more; inserting touches
# a 2 MiB page a position, so this property inserts few positions and keeps
# the model as a set of them.
HUGE_MS = [2**32 + 3, 2**33, 2**33 + 5, 2**33 + 2**31 - 1]


def set_positions(data: bytes) -> np.ndarray:
    """The set bits of a large byte form, found word by word."""
    whole = len(data) // 8 * 8
    words = np.frombuffer(data, dtype="<u8", count=whole // 8)
    starts = (np.flatnonzero(words) * 8).tolist() + ([whole] if whole < len(data) else [])
    found = [
        8 * b + np.flatnonzero(np.unpackbits(np.frombuffer(data[b : b + 8], np.uint8), bitorder="little"))
        for b in starts
    ]
    return np.unique(np.concatenate(found + [np.zeros(0, np.int64)]).astype(np.uint64))


# A run takes a second: shrinking a failure would take many minutes, so a
# failure is reported as found (the draws say what it was).
@settings(max_examples=max(1, BASE // 200), phases=[Phase.explicit, Phase.reuse, Phase.generate])
@given(st.data())
def test_positions_beyond_32_bits(data):
    m, k = data.draw(st.sampled_from(HUGE_MS), "m"), data.draw(st.integers(1, 6), "k")
    a, probe = data.draw(arrays(refused=False, max_rows=40), "inserted"), data.draw(arrays(refused=False), "probe")
    answers, length, found = huge_filter_results(k, m, a, probe)
    expected = np.unique(row_positions(a, k, m))
    assert answers == (np.isin(row_positions(probe, k, m), expected).all(axis=1).tolist(), [True] * a.shape[0])
    assert length == (m + 7) // 8
    assert np.array_equal(found, expected)


def huge_filter_results(k, m, a, probe):
    """The filter and its byte form, a GiB each, are gone before anything is
    asserted: a failing example keeps its frame, and Hypothesis keeps several."""
    f = bloomfilter()
    f.configure(k, m)
    f.insert(a)
    out = f.to_bytes()
    return (f.test(probe), f.test(a)), len(out), set_positions(out)


# ---------------------------------------------------------------- from_bytes and __setstate__


class Truncating:
    """Not an int, but one that int() takes; the binding library converts it so."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"Truncating({self.value})"


def as_size(x):
    """The unsigned 64-bit value the binding library makes of x, or None.

    Floats (Python's and NumPy's float64) are refused; any other number that
    int() takes (a NumPy float32, a Fraction, a Decimal) is truncated by it."""
    number = isinstance(x, complex) or any(hasattr(type(x), name) for name in ("__index__", "__int__", "__float__"))
    if isinstance(x, float) or not number:
        return None
    try:
        value = int(x)
    except (TypeError, ValueError, OverflowError):
        return None
    return value if 0 <= value < 2**64 else None


# Arguments for k and m of every kind the binding library meets: all of them
# convert to nothing or to small values or to values that need no memory.
odd_sizes = weighted(
    (2, st.integers(-(2**70), -1)),
    (2, st.integers(2**64, 2**70)),
    (2, st.sampled_from([True, False, np.int64(5), np.uint64(2**64 - 1), np.int8(-1), np.uint16(300)])),
    (
        3,
        st.sampled_from(
            [np.float32(3.7), fractions.Fraction(7, 2), decimal.Decimal("2.5"), decimal.Decimal("NaN"),
             Truncating(9), Truncating(-1), np.array(6), 3.0, np.float64(2), 1 + 0j, "3", None, b"3", [3]]
        ),
    ),
)
any_ks = weighted((6, st.integers(0, 3000)), (1, st.integers(0, 2**64 - 1)), (1, st.just(2**64 - 1)), (2, odd_sizes))
# The sanitized build aborts on an allocation that fails, so it never sees these.
unallocatable_ms = st.nothing() if SANITIZED else st.sampled_from([UNALLOCATABLE, 2**62, MAX_BITS])
any_ms = weighted(
    (12, st.integers(0, 3000)),
    (1, st.sampled_from([MAX_BITS + 1, 2**63, 2**64 - 1])),
    (1, unallocatable_ms),
    (2, odd_sizes),
)
random_bytes = st.builds(
    lambda n, seed: np.random.default_rng(seed).bytes(n), st.integers(0, 500), st.integers(0, 2**32 - 1)
)


def unconstructed():
    return bloomfilter.__new__(bloomfilter)


def filter_or_none(draw):
    if draw(st.booleans()):
        return unconstructed(), None
    return draw(filters(draw(ks), draw(st.integers(0, 3000))))


@settings(max_examples=2 * BASE)
@given(st.data())
def test_from_bytes(data):
    f, model = filter_or_none(data.draw)
    not_bytes = st.sampled_from([bytearray(b"\x01"), memoryview(b"\x01"), "\x01", None])
    payload = data.draw(weighted((6, st.binary(max_size=64)), (4, random_bytes), (1, not_bytes)), "data")
    k, m = data.draw(any_ks, "k"), data.draw(any_ms, "m")
    before = snapshot(f) if model else None
    got = outcome(lambda: f.from_bytes(payload, k, m))
    if not isinstance(payload, bytes) or as_size(k) is None or as_size(m) is None:
        assert got[:2] == ("raised", TypeError) and got[2].startswith("from_bytes(): incompatible function arguments")
    elif model is None:
        assert got == ("raised", TypeError, NO_FILTER)
    elif as_size(m) > MAX_BITS:
        assert got == ("raised", ValueError, LENGTH_ERROR)
    elif as_size(m) >= UNALLOCATABLE:
        assert got[:2] == ("raised", MemoryError)
    else:
        assert got == ("ok", None)
        loaded = Model.from_bytes(payload, as_size(k), as_size(m))
        assert difference(snapshot(f), (loaded.k, loaded.m, loaded.to_bytes())) is None
        return
    if model is None:  # still without a filter
        assert outcome(f.get_k) == ("raised", TypeError, NO_FILTER)
    else:
        assert difference(snapshot(f), before) is None


def cast_error(value):
    return (
        f"Unable to cast Python instance of type {type(value)} to C++ type '?' "
        "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
    )


C_ORDER = np.arange(48, dtype=np.uint8).reshape(4, 12)
BUFFERS = [
    b"\x01\x02\x03", b"", bytearray(b"\xff" * 9), memoryview(b"\x0f\xf0\x0f"), memoryview(b"abcdef")[::2],
    array.array("d", [1.5, -2.0]), array.array("H", [0xFFFF, 1]), array.array("b", []),
    np.arange(6, dtype="<u2"), np.arange(6, dtype=">i8"), C_ORDER, C_ORDER[1:3], C_ORDER.T, C_ORDER[:, ::2],
    np.asfortranarray(C_ORDER), np.zeros((0, 3)), np.array(7, dtype=np.int16), np.zeros((3, 1), order="F"),
    np.array(["2020-01-01"], dtype="M8[D]"), "not a buffer", 5, None,
    np.array([None, 1.5], dtype=object), np.zeros(2, dtype=[("O", "u1"), ("Ob", "<u2")]),
    np.zeros(2, dtype=[("a", "u1"), ("b", "O")]),
]


def buffer_outcome(x):
    """The bytes __setstate__ reads from x, or the (type, message) it refuses x with."""
    try:
        view = memoryview(x)
    except TypeError:
        return TypeError, f"Object of type '{type(x).__name__}' is not an instance of 'buffer'"
    except ValueError as e:  # NumPy exports no buffer of datetimes
        return ValueError, str(e)
    if not view.c_contiguous:
        return BufferError, "the byte form in the state must be a C-contiguous buffer"
    if getattr(x, "dtype", np.dtype("u1")).hasobject:  # the bytes of pointers
        return TypeError, "the byte form in the state must hold bytes, not object references"
    return view.tobytes()


State = namedtuple("State", "k m data")


@settings(max_examples=2 * BASE)
@given(st.data())
def test_setstate(data):
    f, model = filter_or_none(data.draw)
    valid = st.tuples(any_ks, any_ms, weighted((3, random_bytes), (2, st.sampled_from(BUFFERS))))
    state = data.draw(
        weighted(
            (8, valid),
            (1, valid.map(lambda t: State(*t))),
            (1, st.lists(st.one_of(any_ms, st.sampled_from(BUFFERS)), max_size=5).map(tuple)),
            (1, st.one_of(valid.map(list), st.sampled_from([5, None, b"", "state"]))),
        ),
        "state",
    )
    before = snapshot(f) if model else None
    got = outcome(lambda: f.__setstate__(state))
    if model is not None:  # a filter that exists ignores any state
        assert got == ("ok", None)
        assert difference(snapshot(f), before) is None
        return
    if not isinstance(state, tuple):
        assert got[:2] == ("raised", TypeError)
        assert got[2].startswith("__setstate__(): incompatible constructor arguments")
        expected = None
    elif len(state) != 3:
        expected = RuntimeError, "Invalid State in __setstate__"
    elif as_size(state[1]) is None:  # m is converted first
        expected = RuntimeError, cast_error(state[1])
    elif as_size(state[0]) is None:
        expected = RuntimeError, cast_error(state[0])
    else:
        k, m, content = as_size(state[0]), as_size(state[1]), buffer_outcome(state[2])
        if not isinstance(content, bytes):
            expected = content
        elif m > MAX_BITS:
            expected = ValueError, LENGTH_ERROR
        elif m >= UNALLOCATABLE:
            assert got[:2] == ("raised", MemoryError)
            expected = None
        else:
            assert got == ("ok", None)
            loaded = Model.from_bytes(content, k, m)
            assert difference(snapshot(f), (k, m, loaded.to_bytes())) is None
            duplicates = [copy.copy(f), copy.deepcopy(f)] + [pickle.loads(pickle.dumps(f, p)) for p in range(6)]
            for g in duplicates:
                assert type(g) is bloomfilter
                assert difference(snapshot(g), (k, m, loaded.to_bytes())) is None
            return
    if expected:
        assert got == ("raised", *expected)
    # Nothing was installed: the object still refuses methods and takes a state.
    assert outcome(f.get_m) == ("raised", TypeError, NO_FILTER)
    f.__setstate__((3, 12, b"\x34\x12"))
    assert snapshot(f) == (3, 12, b"\x34\x02")
