"""Capacity and growth: the rows and rate a filter was sized for, kept beside
it; the warning of a fixed filter that passed them; and growing filters,
whose layers are added as rows arrive.

A growing filter sized for n rows at a rate p holds layers of bits. Layer i
(from 0) is sized for n * growth**i rows at p * (1 - ratio) * ratio**i, so
that the rates of all the layers there could ever be add up to p. A row goes
into the newest layer, which is full once its estimated distinct rows (from
its set bits) reach its capacity; the next row it does not hold starts a new
one. A row is present when any layer holds it. Each layer is an ordinary
filter of its k and m (`parameters` of its rows and rate): its bits are those
of a bloomfilter of that k and m fed the same rows.
"""

from __future__ import annotations

import json
import math
import warnings
import weakref
from collections.abc import Buffer, Sequence
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import _native

# The stored capacity's metadata entry.
SIZE_TAG = b"size"
# The ratio of each layer's rate to the one before, unless one is given.
RATIO = 0.8
# A fixed filter of unknown contents (loaded, or given to a KeyedFilter) is
# first checked against its capacity after this share of it went in; the
# check counts every bit, and n / 8 rows cost far more to insert than that.
CHECK_SHARE = 8


class Capacity(NamedTuple):
    """What a filter was sized for: `n` distinct rows at a false-positive
    rate `p`. For a growing filter, `n` is the capacity of its first layer
    and `p` the rate that all its layers together stay below."""

    n: int
    p: float


class CapacityWarning(UserWarning):
    """A fixed filter holds more distinct rows than it was sized for, so its
    false-positive rate is above the one it was designed for. Raised once per
    KeyedFilter, by the insert that shows it."""


def _percent(rate: float) -> str:
    return f"{rate * 100:.3g} %"


def _parameters(n: int, p: float) -> tuple[int, int]:
    from woxbloomfilter_tools import parameters

    return parameters(n, p)


def check_capacity(n: SupportsIndex, p: SupportsFloat) -> Capacity:
    """n and p checked as `parameters` checks them."""
    from woxbloomfilter_tools import _count, _rate

    return Capacity(_count("n", n, 1), _rate(p))


# Capacities that `sized` and `load` recorded: a bloomfilter has no
# attributes, so they are kept beside it, with the k and m it had then; one
# configured or loaded since with another k or m loses its capacity.
_recorded: weakref.WeakKeyDictionary[bloomfilter, tuple[int, int, Capacity]] = weakref.WeakKeyDictionary()


def record(f: bloomfilter, capacity: Capacity) -> None:
    _recorded[f] = (f.get_k(), f.get_m(), capacity)


def capacity(f: bloomfilter) -> Capacity | None:
    """The capacity (n, p) that `sized` or `load` recorded for the filter
    `f`; None when it was made otherwise, stored without one (before
    capacities were stored), or configured or loaded with another k or m
    since."""
    if not isinstance(f, bloomfilter):
        raise TypeError(f"f must be a woxbloomfilter.bloomfilter, not {type(f).__name__}")
    found = _recorded.get(f)
    if found is None or found[:2] != (f.get_k(), f.get_m()):
        return None
    return found[2]


def past(estimated: float, n: int) -> bool:
    """Whether a fixed filter of capacity n that holds an estimated number of
    rows has passed it: by more than 3 sqrt(n) rows, where the estimate for a
    filter that holds exactly n errs by less than a sixth of that (its
    standard deviation is below sqrt(n) / 2 at any rate from 10 % down), so
    that a filter filled to its capacity, as the command line sizes them,
    never warns."""
    return estimated > n + 3 * math.sqrt(n)


def full_at(k: int, m: int, n: int) -> int:
    """The fewest set bits at which a layer of k and m holds an estimated n
    distinct rows or more, by the estimate of `estimated_rows`."""

    def estimate(set_bits: int) -> float:
        return math.inf if set_bits >= m else -(m / k) * math.log1p(-set_bits / m)

    bits = min(m, max(0, math.ceil(-m * math.expm1(-k * n / m))))
    while bits > 0 and estimate(bits - 1) >= n:
        bits -= 1
    while estimate(bits) < n:
        bits += 1
    return bits


def first_layer(layer: LayerStatus) -> Capacity:
    """The capacity at which a fixed filter, of status `layer`, is full as
    the first layer of a growing filter: the one it was sized for; for a
    filter stored without one, the rows its k and m suit best, m ln 2 / k,
    where half its bits are set (as `parameters` sizes filters), at the rate
    expected there. A filter that holds more rows than that is full at the
    rows it holds, at the rate it has now."""
    k, m, rows = layer.k, layer.m, layer.estimated_rows
    if k == 0 or m == 0 or rows is None:
        raise ValueError(f"a filter of k = {k} and m = {m} holds no rows by bits, so it cannot be a layer")
    if math.isinf(rows):
        raise ValueError("every bit of the filter is set, so it answers \"maybe\" for every row: build a new filter")
    n = layer.capacity.n if layer.capacity is not None else max(1, round(m * math.log(2) / k))
    # Any row past n counts here, where `past` allows for the estimate's
    # error: the layer's rate must be the one it has, or the whole's bound
    # would not hold.
    if rows > n:
        n = math.ceil(rows)
    elif layer.capacity is not None:
        return layer.capacity
    from woxbloomfilter_tools import expected_fpr

    return Capacity(n, expected_fpr(k, m, n))


@dataclass(frozen=True)
class LayerStatus:
    """One layer of a filter (a fixed filter is one layer): its k and m, the
    capacity it was sized for, and how full it is now."""

    k: int
    m: int
    capacity: Capacity | None
    fill: float
    #: Distinct rows estimated from the fill: math.inf once every bit is set,
    #: None with k = 0, where rows set no bits.
    estimated_rows: float | None
    #: The false-positive rate expected now: fill ** k.
    rate: float

    @classmethod
    def of(cls, k: int, m: int, capacity: Capacity | None, set_bits: int) -> LayerStatus:
        fill = set_bits / m if m else 0.0
        if k == 0:
            rows: float | None = None
        elif m == 0:
            rows = 0.0
        else:
            rows = math.inf if set_bits == m else -(m / k) * math.log1p(-fill)
        return cls(k, m, capacity, fill, rows, fill**k)


@dataclass(frozen=True)
class FilterStatus:
    """What a KeyedFilter holds against what it was sized for, from a count
    of its set bits: `KeyedFilter.status()`."""

    #: (n, p) as sized; None for a filter stored before capacities were.
    capacity: Capacity | None
    #: For a growing filter, the growth of each layer's capacity and the
    #: ratio of each layer's rate to the one before; None for a fixed filter.
    growth: int | None
    ratio: float | None
    layers: tuple[LayerStatus, ...]

    @property
    def estimated_rows(self) -> float | None:
        """The distinct rows of all layers together, estimated from their fill."""
        counts = [layer.estimated_rows for layer in self.layers]
        return None if None in counts else sum(count for count in counts if count is not None)

    @property
    def rate(self) -> float:
        """The false-positive rate expected now: the chance that a row never
        inserted finds all its bits set in some layer."""
        return 1 - math.prod(1 - layer.rate for layer in self.layers)

    @property
    def passed(self) -> bool:
        """Whether a fixed filter holds more rows than its capacity (by more
        than the estimate errs, 3 sqrt(n)); a growing filter never does."""
        rows = self.estimated_rows
        return self.growth is None and self.capacity is not None and rows is not None and past(rows, self.capacity.n)


class Watch:
    """When a fixed filter of known capacity is checked against it. The check
    counts every bit, so it is made only once the rows inserted could have
    taken the filter past its capacity, and then again only after enough
    more: its cost stays a small share of the inserts'."""

    __slots__ = ("capacity", "k", "m", "inserted", "due", "warned")

    def __init__(self, f: bloomfilter, capacity: Capacity, new: bool) -> None:
        self.capacity = capacity
        self.k, self.m = f.get_k(), f.get_m()
        self.inserted = 0
        # A new filter cannot pass n distinct rows before n rows went in.
        self.due = capacity.n if new else -(-capacity.n // CHECK_SHARE)
        self.warned = False

    @classmethod
    def of(cls, f: bloomfilter, new: bool = False) -> Watch | None:
        found = capacity(f)
        return None if found is None else cls(f, found, new)

    def holds_for(self, f: bloomfilter) -> bool:
        """Whether the filter still has the k and m its capacity was sized for."""
        return (f.get_k(), f.get_m()) == (self.k, self.m)

    def recheck(self) -> None:
        """The contents changed by other means than inserts (a union): the
        next insert checks."""
        self.inserted, self.due = 0, 1

    def after_insert(self, f: bloomfilter, rows: int, stacklevel: int) -> None:
        self.inserted += rows
        if self.warned or self.inserted < self.due or not self.holds_for(f) or self.k == 0:
            return
        from woxbloomfilter_tools import _bits_set

        status = LayerStatus.of(self.k, self.m, self.capacity, _bits_set(f))
        n, p = self.capacity
        estimated = status.estimated_rows
        assert estimated is not None
        if not past(estimated, n):
            # Distinct rows grow by at most the rows inserted.
            self.inserted, self.due = 0, max(math.ceil(n + 3 * math.sqrt(n) - estimated), -(-n // CHECK_SHARE))
            return
        self.warned = True
        held = "every bit is set" if math.isinf(estimated) else f"it holds about {estimated:,.0f} distinct rows"
        warnings.warn(
            f"the filter passed the capacity it was sized for, {n:,} rows at {_percent(p)}: {held}, and it "
            f"answers \"maybe\" for about {_percent(status.rate)} of rows never inserted; size it for more rows, "
            "or let it grow (KeyedFilter.sized(..., growth=2))",
            CapacityWarning,
            stacklevel=stacklevel + 1,
        )


def check_growth(growth: SupportsIndex) -> int:
    from woxbloomfilter_tools import _count

    return _count("growth", growth, 2)


def check_ratio(ratio: SupportsFloat) -> float:
    from woxbloomfilter_tools import _rate

    return _rate(ratio, "ratio")


class Growing:
    """The layers of a growing filter, their bits held by the native helper."""

    __slots__ = ("_layers", "capacity", "growth", "ratio")

    def __init__(self, capacity: Capacity, growth: int, ratio: float) -> None:
        self._layers = _native.Layers()
        self.capacity = capacity
        self.growth = growth
        self.ratio = ratio

    @classmethod
    def new(cls, capacity: Capacity, growth: int, ratio: float) -> Growing:
        grown = cls(capacity, growth, ratio)
        grown._add()
        return grown

    @classmethod
    def starting_with(cls, f: bloomfilter, first: Capacity, growth: int, ratio: float) -> Growing:
        """A growing filter whose first layer is a copy of `f`, full at the
        `first` capacity. Its later layers' rates are `ratio` times the one
        before each, from first.p, so that all of them stay below
        first.p / (1 - ratio): its capacity's p."""
        k, m = f.get_k(), f.get_m()
        whole = first.p / (1 - ratio)
        if whole >= 1.0:
            raise ValueError(
                f"a filter that answers \"maybe\" for {_percent(first.p)} of rows never inserted at its capacity "
                f"cannot start a growing filter of ratio {ratio}: the rates of its layers would add up to "
                f"{_percent(whole)}; build a new filter"
            )
        grown = cls(check_capacity(first.n, whole), growth, ratio)
        grown.restore_layer(k, m, f.to_bytes())
        return grown

    @classmethod
    def restore(
        cls, capacity: Capacity, growth: int, ratio: float, layers: Sequence[tuple[int, int, Buffer]]
    ) -> Growing:
        """The filter of stored layers: (k, m, byte form) each, oldest first."""
        grown = cls(capacity, growth, ratio)
        for k, m, bits in layers:
            grown.restore_layer(k, m, bits)
        return grown

    def restore_layer(self, k: int, m: int, bits: Buffer) -> None:
        """Adds a stored layer, the next one: (k, m, byte form)."""
        if k < 1 or m < 1:
            raise ValueError(f"k = {k} and m = {m} make no layer")
        self._layers.add_bytes(k, m, full_at(k, m, self.layer_capacity(self.count).n), bits)

    @property
    def count(self) -> int:
        return self._layers.count

    def layer_capacity(self, i: int) -> Capacity:
        n, p = self.capacity
        return Capacity(n * self.growth**i, p * (1 - self.ratio) * self.ratio**i)

    def shapes(self) -> list[tuple[int, int]]:
        """(k, m) of each layer, oldest first."""
        return [(self._layers.k(i), self._layers.m(i)) for i in range(self.count)]

    def layer_bytes(self, i: int) -> bytes:
        return self._layers.to_bytes(i)

    def layer(self, i: int) -> bloomfilter:
        """Layer i as a bloomfilter of its own."""
        f = bloomfilter()
        f.from_bytes(self._layers.to_bytes(i), self._layers.k(i), self._layers.m(i))
        return f

    def _add(self) -> None:
        n, p = self.layer_capacity(self.count)
        k, m = _parameters(n, p)
        self._layers.add(k, m, full_at(k, m, n))

    def insert(self, rows: NDArray[np.uint8]) -> None:
        """Inserts the rows, adding a layer each time the newest fills."""
        while True:
            done = self._layers.insert(rows)
            if done == len(rows):
                return
            self._add()
            rows = rows[done:]

    def test(self, rows: NDArray[np.uint8], out: NDArray[np.bool_]) -> None:
        self._layers.test(rows, out)

    def combine(self, other: Growing, operation: Literal["union", "intersect"]) -> None:
        self.check_combine(other, operation)
        self._layers.combine(other._layers, operation == "intersect")

    def check_combine(self, other: Growing, operation: str) -> None:
        """Refuses layers that do not combine: of other shapes, or several
        to intersect."""
        mine, theirs = self.shapes(), other.shapes()
        rule = "growing filters combine layer by layer, so their layers must match in number and in k and m"
        if len(mine) != len(theirs):
            raise ValueError(f"this filter has {len(mine)} layers and the other {len(theirs)}: {rule}")
        for i, ((k, m), (their_k, their_m)) in enumerate(zip(mine, theirs)):
            if (k, m) != (their_k, their_m):
                raise ValueError(
                    f"layer {i} has k = {k}, m = {m:,} in this filter but k = {their_k}, m = {their_m:,} "
                    f"in the other: {rule}"
                )
        if operation == "intersect" and len(mine) > 1:
            raise ValueError(
                f"growing filters of {len(mine)} layers cannot intersect: a row inserted into both may sit in "
                "one layer of one filter and another layer of the other, and intersecting layer by layer would "
                "clear its bits; test each filter and keep the rows both answer \"maybe\" for"
            )

    def status(self) -> tuple[LayerStatus, ...]:
        return tuple(
            LayerStatus.of(k, m, self.layer_capacity(i), self._layers.set_bits(i))
            for i, (k, m) in enumerate(self.shapes())
        )

    def size_entry(self) -> bytes:
        return size_entry(self.capacity, self.growth, self.ratio)

    def __reduce__(self) -> tuple[Any, ...]:
        layers = [(k, m, self.layer_bytes(i)) for i, (k, m) in enumerate(self.shapes())]
        return _restore, (tuple(self.capacity), self.growth, self.ratio, layers)


def _restore(capacity: tuple[int, float], growth: int, ratio: float, layers: list[tuple[int, int, bytes]]) -> Growing:
    return Growing.restore(Capacity(*capacity), growth, ratio, layers)


def size_entry(capacity: Capacity, growth: int | None = None, ratio: float | None = None) -> bytes:
    """The stored capacity: n and p, and for a growing filter its growth and ratio."""
    record: dict[str, int | float] = {"n": capacity.n, "p": capacity.p}
    if growth is not None and ratio is not None:
        record.update(growth=growth, ratio=ratio)
    return json.dumps(record, separators=(",", ":")).encode()


def read_size_entry(entry: bytes, growing: bool) -> tuple[Capacity, int | None, float | None]:
    """The stored capacity, and growth and ratio when `growing`; FormatError
    for anything else."""
    from woxbloomfilter_tools._storage import FormatError

    fields = ("n", "p", "growth", "ratio") if growing else ("n", "p")
    try:
        record = json.loads(entry)
        # Fields a later version adds are skipped, as entries are.
        missing = [field for field in fields if not isinstance(record, dict) or field not in record]
        if missing:
            raise ValueError(f"it has no {', '.join(missing)}: {entry[:200]!r}")
        n, p = record["n"], record["p"]
        if not isinstance(n, int) or isinstance(n, bool) or not isinstance(p, float):
            raise ValueError(f"n must be an integer and p a real number, not {n!r} and {p!r}")
        capacity = check_capacity(n, p)
        if not growing:
            return capacity, None, None
        growth, ratio = record["growth"], record["ratio"]
        if not isinstance(growth, int) or isinstance(growth, bool) or not isinstance(ratio, float):
            raise ValueError(f"growth must be an integer and ratio a real number, not {growth!r} and {ratio!r}")
        return capacity, check_growth(growth), check_ratio(ratio)
    except (ValueError, TypeError, RecursionError) as error:
        raise FormatError(f"the capacity in the metadata is not valid: {error}") from None
