"""The byte form, from_bytes, pickling and copies, and the state left behind
when any of them fails. Arbitrary byte strings, states and buffers against
the independent model are the properties of test_properties.py."""
import copy
import pickle
import re

import numpy as np
import pytest

from model import Model, positions, row_bytes
from woxbloomfilter import bloomfilter

BIG_K = 2**31 + 3
BIG_M = 2**31 + 9


REFUSED = r"^from_bytes\(\): incompatible function arguments"
OBJECT_REFUSED = "^the byte form in the state must hold bytes, not object references$"


def cast_error(name):
    return "^" + re.escape(
        f"Unable to cast Python instance of type <class '{name}'> to C++ type '?' "
        "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
    ) + "$"


def rows(seed, n=40):
    return np.random.default_rng(seed).integers(0, 2**40, (n, 3))


def filled(k, m, seed=0):
    f = bloomfilter()
    f.configure(k, m)
    f.insert(rows(seed))
    return f


def snapshot(f):
    return f.get_k(), f.get_m(), f.to_bytes()


def test_new_filter_has_empty_byte_form():
    f = bloomfilter()
    assert f.to_bytes() == b""
    assert f.__getstate__() == (0, 0, b"")


@pytest.mark.parametrize(
    "data, k, m, expected",
    [
        (b"", 3, 20, bytes(3)),
        (b"\xff\xff", 1, 10, b"\xff\x03"),
        (b"\xff", 1, 3, b"\x07"),
        (b"\x01\x02", 1, 10, b"\x01\x02"),
        (b"\x80\x01", 1, 16, b"\x80\x01"),
        (b"\xff" * 5, 2, 16, b"\xff\xff"),
        (b"\xa5", 2, 20, b"\xa5\x00\x00"),
        (bytes(range(200)), 2, 1000, bytes(range(125))),
        (b"\xff" * 4, 0, 0, b""),
    ],
)
def test_from_bytes_worked_examples(data, k, m, expected):
    f = filled(5, 4096)  # every earlier bit must go
    f.from_bytes(data, k, m)
    assert snapshot(f) == (k, m, expected)
    if m:  # the loaded bits are the ones test() reads
        probe = rows(1, 200)
        assert f.test(probe) == Model.from_bytes(data, k, m).test(probe)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((bytearray(b"\x01"), 1, 8), TypeError, REFUSED),
        ((memoryview(b"\x01"), 1, 8), TypeError, REFUSED),
        ((b"", -1, 8), TypeError, REFUSED),
        ((b"", 1, -1), TypeError, REFUSED),
        ((b"", 1.0, 8), TypeError, REFUSED),
        ((b"", 2**64, 8), TypeError, REFUSED),
        ((b"", 1, 2**64), TypeError, REFUSED),
        ((b"\xff", 1, 2**63 - 63), ValueError, r"^vector<bool>::_M_fill_insert$"),
        ((b"\xff", 1, 2**63), ValueError, r"^vector<bool>::_M_fill_insert$"),
        ((b"\xff", 1, 2**62), MemoryError, None),
    ],
)
def test_failed_from_bytes_keeps_the_filter(args, error, message):
    f = filled(3, 1000)
    before = snapshot(f)
    with pytest.raises(error, match=message):
        f.from_bytes(*args)
    assert snapshot(f) == before
    assert f.test(rows(0)) == [True] * 40


COPIERS = [copy.copy, copy.deepcopy] + [
    pytest.param(lambda f, p=p: pickle.loads(pickle.dumps(f, p)), id=f"pickle{p}") for p in range(6)
]


@pytest.mark.parametrize("duplicate", COPIERS)
def test_copies_are_equal_and_independent(duplicate):
    f = filled(4, 1000)
    before = snapshot(f)
    probe = rows(2, 300)
    g = duplicate(f)
    assert type(g) is bloomfilter
    assert snapshot(g) == before
    assert g.test(probe) == f.test(probe)
    g.insert(probe)
    assert snapshot(f) == before
    model = Model(4, 1000)
    model.insert(rows(0))
    model.insert(probe)
    assert g.to_bytes() == model.to_bytes()


@pytest.mark.parametrize(
    "state, error, message",
    [
        (5, TypeError, r"^__setstate__\(\): incompatible constructor arguments"),
        ([1, 8, b""], TypeError, r"^__setstate__\(\): incompatible constructor arguments"),
        ((1, 8), RuntimeError, "^Invalid State in __setstate__$"),
        ((1, 8, b"", 0), RuntimeError, "^Invalid State in __setstate__$"),
        ((1.0, 8, b""), RuntimeError, cast_error("float")),
        ((1, None, b""), RuntimeError, cast_error("NoneType")),
        (("1", -1, b""), RuntimeError, cast_error("int")),  # element 1 is cast first
        ((-1, 8, b""), RuntimeError, cast_error("int")),
        ((1, -1, b""), RuntimeError, cast_error("int")),
        ((1, 2**64, b""), RuntimeError, cast_error("int")),
        ((1, 8, "s"), TypeError, "^Object of type 'str' is not an instance of 'buffer'$"),
        # The bytes of object items are pointers: other bits in every process.
        ((1, 64, np.array([None], dtype=object)), TypeError, OBJECT_REFUSED),
        ((1, 64, np.zeros(1, dtype=[("Oa", "u1"), ("b", "O")])), TypeError, OBJECT_REFUSED),
        ((1, 8, np.arange(8, dtype=np.uint8)[::2]), BufferError, "^the byte form in the state must be"),
        ((1, 2**63, b""), ValueError, r"^vector<bool>::_M_fill_insert$"),
        ((1, 2**62, b""), MemoryError, None),
    ],
)
def test_failed_setstate_installs_nothing(state, error, message):
    obj = bloomfilter.__new__(bloomfilter)
    with pytest.raises(error, match=message):
        obj.__setstate__(state)
    # On an object holding a filter this call would be ignored.
    obj.__setstate__((6, 12, b"\x34\x12"))
    assert snapshot(obj) == (6, 12, Model.from_bytes(b"\x34\x12", 6, 12).to_bytes())


def test_m_beyond_32_bits_round_trips():
    probe = rows(3)
    f = filled(3, BIG_M, seed=3)
    data = f.to_bytes()
    assert len(data) == (BIG_M + 7) // 8
    expected = {p for r in range(len(probe)) for p in positions(row_bytes(probe, r), 3, BIG_M)}
    assert all(data[p // 8] >> (p % 8) & 1 for p in expected)
    assert int(np.bitwise_count(np.frombuffer(data, dtype=np.uint8)).sum()) == len(expected)
    # BIG_M % 8 == 1: of a full last byte only bit BIG_M - 1 stays.
    h = bloomfilter()
    h.from_bytes(data[:-1] + b"\xff", 3, BIG_M)
    assert (h.get_k(), h.get_m()) == (3, BIG_M) and h.to_bytes() == data[:-1] + b"\x01"
    g = pickle.loads(pickle.dumps(h, 5))
    assert (g.get_k(), g.get_m()) == (3, BIG_M) and g.to_bytes() == h.to_bytes()
    assert g.test(probe) == [True] * len(probe)


NO_FILTER = "^bloomfilter object has no filter: __init__ or __setstate__ did not complete$"


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.get_k(),
        lambda f: f.configure(3, 8),
        lambda f: f.to_bytes(),
        lambda f: f.from_bytes(b"", 3, 8),
        lambda f: f.from_bytes(b"\xff", 3, 2**40),  # refused before anything is allocated
        lambda f: f.__getstate__(),
        lambda f: pickle.dumps(f),
        lambda f: f.insert(np.zeros((2, 2))),
        lambda f: f.dbg_gethex(np.zeros((2, 2)), 0),
        lambda f: filled(3, 8).union(f),
        lambda f: f.intersect(filled(3, 8)),
    ],
)
def test_object_without_filter_refuses_methods(call):
    obj = bloomfilter.__new__(bloomfilter)
    with pytest.raises(TypeError, match=NO_FILTER):
        call(obj)
    obj.__setstate__((3, 8, b"\x05"))
    assert snapshot(obj) == (3, 8, b"\x05")


# Pickles carry the class and the state (k, m, bits), not the instance's
# attributes: a subclass instance comes back as that subclass, without them.
@pytest.mark.parametrize("protocol", range(6))
def test_pickled_subclass_keeps_its_class_not_its_attributes(protocol):
    f = Tagged()
    f.configure(4, 1000)
    f.insert(rows(6))
    f.tag = "kept?"
    g = pickle.loads(pickle.dumps(f, protocol))
    assert type(g) is Tagged
    assert snapshot(g) == snapshot(f)
    assert not hasattr(g, "tag")


class Tagged(bloomfilter):
    pass
