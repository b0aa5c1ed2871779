"""union and intersect: the bitwise OR and AND of two filters of one
configuration. Arbitrary filters against the independent model are in
test_properties.py."""
import numpy as np
import pytest

from model import Model
from woxbloomfilter import bloomfilter

OPS = ["union", "intersect"]
COMBINE = {"union": np.logical_or, "intersect": np.logical_and}


def rows(seed, n):
    return np.random.default_rng(seed).integers(0, 2**40, (n, 2))


def pair(k, m, f=None):
    """A filter and its model holding the same rows."""
    f = bloomfilter() if f is None else f
    f.configure(k, m)
    return f, Model(k, m)


def insert(f, model, a):
    f.insert(a)
    model.insert(a)


def snapshot(f):
    return f.get_k(), f.get_m(), f.to_bytes()


def combined(op, model_a, model_b):
    out = Model(model_a.k, model_a.m)
    out.bits = COMBINE[op](model_a.bits, model_b.bits)
    return out


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("m", [77, 1000])
def test_bits_left_from_a_larger_configuration_never_show(op, m):
    # Shrinking keeps the old storage, so words past m still hold the old bits.
    filters = []
    for seed in (10, 11):
        f = bloomfilter()
        f.configure(3, 4096)
        f.insert(rows(seed, 3000))
        f, model = pair(3, m, f)
        assert f.to_bytes() == bytes((m + 7) // 8)
        insert(f, model, rows(seed + 10, 20))
        filters.append((f, model))
    (a, model_a), (b, model_b) = filters
    expected = combined(op, model_a, model_b)
    getattr(a, op)(b)
    assert a.to_bytes() == expected.to_bytes()
    assert b.to_bytes() == model_b.to_bytes()
    probe = rows(12, 500)
    assert a.test(probe) == expected.test(probe)


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize(
    "config_a, config_b",
    [((3, 1000), (3, 1001)), ((3, 1000), (4, 1000)), ((0, 0), (1, 8)), ((2, 0), (0, 0)), ((1, 64), (2, 128))],
)
def test_mismatch_refused_and_nothing_changes(op, config_a, config_b):
    a, b = bloomfilter(), bloomfilter()
    for f, (k, m), seed in ((a, config_a, 20), (b, config_b, 21)):
        f.configure(k, m)
        if k and m:
            f.insert(rows(seed, 30))
    before = snapshot(a), snapshot(b)
    with pytest.raises(RuntimeError, match=f"^Configuration Mismatch in {op}$"):
        getattr(a, op)(b)
    with pytest.raises(RuntimeError, match=f"^Configuration Mismatch in {op}$"):
        getattr(b, op)(a)
    assert (snapshot(a), snapshot(b)) == before


@pytest.mark.parametrize("op", OPS)
def test_self_combination_and_new_filters_change_nothing(op):
    a, _ = pair(3, 1000)
    a.insert(rows(30, 100))
    before = snapshot(a)
    getattr(a, op)(a)
    assert snapshot(a) == before
    new, other = bloomfilter(), bloomfilter()
    getattr(new, op)(other)
    assert snapshot(new) == snapshot(other) == (0, 0, b"")


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("other", [None, 5, b"\xff" * 125, np.zeros(1000, dtype=bool)])
def test_other_must_be_a_filter(op, other):
    a, _ = pair(3, 1000)
    a.insert(rows(40, 50))
    before = snapshot(a)
    with pytest.raises(TypeError, match=rf"^{op}\(\): incompatible function arguments"):
        getattr(a, op)(other)
    assert snapshot(a) == before


@pytest.mark.parametrize("op", OPS)
def test_subclass_instances_take_part(op):
    class Sub(bloomfilter):
        pass

    a, model_a = pair(3, 500)
    b, model_b = pair(3, 500, Sub())
    insert(a, model_a, rows(50, 40))
    insert(b, model_b, rows(51, 40))
    getattr(a, op)(b)
    assert a.to_bytes() == combined(op, model_a, model_b).to_bytes()
