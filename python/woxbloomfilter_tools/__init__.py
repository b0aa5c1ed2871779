"""Sizing, fill and row estimates for woxbloomfilter filters, filters stored
in checksummed files with the capacity they were sized for, key rows of
tables (pandas, polars, Arrow) and filters that remember their key layout
and warn past their capacity or grow, and filters built and queried on Dask
and Spark.

The sizing follows the usual model of a Bloom filter: n rows in m bits with
k positions each leave a bit clear with probability exp(-k n / m).
"""

from __future__ import annotations

import math
import operator
from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex, overload

import numpy as np

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools._growing import (
    Capacity,
    CapacityWarning,
    FilterStatus,
    LayerStatus,
    capacity,
    check_capacity,
    record,
)
from woxbloomfilter_tools._keys import Key, KeyedFilter, KeyLayout, KeyMismatch, key_rows, mask
from woxbloomfilter_tools._storage import FormatError, dumps, load, loads, save

if TYPE_CHECKING:  # Dask and pyspark are optional extras, imported only when used
    import dask.array
    import dask.dataframe
    import pyspark.sql

__all__ = [
    "parameters",
    "sized",
    "capacity",
    "Capacity",
    "CapacityWarning",
    "FilterStatus",
    "LayerStatus",
    "expected_fpr",
    "fill",
    "estimated_rows",
    "save",
    "load",
    "dumps",
    "loads",
    "FormatError",
    "key_rows",
    "mask",
    "KeyedFilter",
    "KeyLayout",
    "KeyMismatch",
    "dask_build",
    "dask_test",
    "spark_build",
    "spark_test",
]

LN2 = math.log(2)
# Bits are counted this many 64-bit words at a time: the counts of a piece
# take one byte a word, and a piece stays in the cache.
COUNT_WORDS = 1 << 15


def _count(name: str, value: SupportsIndex, least: int) -> int:
    """`value` as an int of at least `least`; bools are refused as a likely mistake."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < least:
        raise ValueError(f"{name} must be at least {least}, got {number}")
    return number


def _rate(value: SupportsFloat, name: str = "p") -> float:
    """`value` as a float above 0 and below 1."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        rate = float(value)
    except TypeError:
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}") from None
    if not 0.0 < rate < 1.0:  # also false for NaN
        raise ValueError(f"{name} must be above 0 and below 1, got {rate!r}")
    return rate


def parameters(n: SupportsIndex, p: SupportsFloat) -> tuple[int, int]:
    """(k, m) for `n` rows at a false-positive rate `p`.

    m = ceil(-n ln p / (ln 2)^2) bits, the fewest for which some k reaches p,
    and k = max(1, round(m / n ln 2)), the k that minimises the rate for that
    m. For 2,000,000 rows at 1 %: (7, 19170117).

    `n` must be an integer of at least 1 and `p` a real number above 0 and
    below 1; anything else raises TypeError or ValueError naming the
    argument ("n must be at least 1, got 0").
    """
    rows = _count("n", n, 1)
    rate = _rate(p)
    m = math.ceil(-rows * math.log(rate) / LN2**2)
    return max(1, round(m / rows * LN2)), m


def sized(n: SupportsIndex, p: SupportsFloat) -> bloomfilter:
    """A new filter configured with `parameters(n, p)`. Its capacity (n, p)
    is recorded beside it: `capacity(f)` gives it, and `save` stores it."""
    wanted = check_capacity(n, p)
    k, m = parameters(*wanted)
    f = bloomfilter()
    f.configure(k, m)
    record(f, wanted)
    return f


def expected_fpr(k: SupportsIndex, m: SupportsIndex, n: SupportsIndex) -> float:
    """The false-positive rate expected after `n` distinct rows went into a
    filter of `k` positions per row and `m` bits: (1 - exp(-k n / m))^k.

    With k = 0 every row tests present: 1.0. With n = 0 (and k of 1 or more)
    nothing is set: 0.0. A filter with k of 1 or more and m = 0 takes no rows
    (ValueError).
    """
    positions = _count("k", k, 0)
    bits = _count("m", m, 0)
    rows = _count("n", n, 0)
    if positions == 0:
        return 1.0
    if bits == 0:
        raise ValueError(f"k = {positions} positions cannot be placed in m = 0 bits")
    # -expm1(-x) is 1 - exp(-x) without the cancellation when x is small.
    return (-math.expm1(-positions * rows / bits)) ** positions


def _bits_set(f: bloomfilter) -> int:
    """Set bits, counted a piece at a time: beyond the byte form, which only
    to_bytes can give, the count needs a fixed 32 KiB, whatever m is."""
    data = f.to_bytes()  # bits past m in the last byte are always clear, so every byte counts
    words = np.frombuffer(data, dtype=np.uint64, count=len(data) // 8)
    counts = np.empty(COUNT_WORDS, dtype=np.uint8)
    total = int(np.bitwise_count(np.frombuffer(data, dtype=np.uint8, offset=words.size * 8)).sum())
    for start in range(0, words.size, COUNT_WORDS):
        piece = words[start : start + COUNT_WORDS]
        total += int(np.bitwise_count(piece, out=counts[: piece.size]).sum())
    return total


def fill(f: bloomfilter) -> float:
    """The fraction of the filter's m bits that are set; 0.0 when m = 0.

    The bits are counted on the byte form a piece at a time, so that beyond
    the copy that `to_bytes` makes the count takes no memory that grows
    with m."""
    m = f.get_m()
    return _bits_set(f) / m if m else 0.0


def estimated_rows(f: bloomfilter) -> float:
    """How many distinct rows the filter holds, from its fill:
    -(m / k) ln(1 - fill).

    The estimate is good while the filter is within its design (fill up to
    about one half) and grows uncertain as the filter saturates. A full
    filter gives math.inf: every row tests present and the count is lost.
    With m = 0 (and k of 1 or more) nothing can have been inserted: 0.0.
    With k = 0 rows set no bits, so they cannot be counted (ValueError).
    """
    k, m = f.get_k(), f.get_m()
    if k == 0:
        raise ValueError("a filter with k = 0 sets no bits, so its rows cannot be counted")
    if m == 0:
        return 0.0
    set_bits = _bits_set(f)
    if set_bits == m:
        return math.inf
    return -(m / k) * math.log1p(-set_bits / m)


@overload
def dask_build(x: dask.array.Array, k: SupportsIndex, m: SupportsIndex, split_every: int = 4) -> bloomfilter: ...
@overload
def dask_build(
    x: dask.dataframe.DataFrame | dask.dataframe.Series,
    k: SupportsIndex,
    m: SupportsIndex,
    split_every: int = 4,
    key: Key = None,
) -> KeyedFilter: ...
def dask_build(
    x: dask.array.Array | dask.dataframe.DataFrame | dask.dataframe.Series,
    k: SupportsIndex,
    m: SupportsIndex,
    split_every: int = 4,
    key: Key = None,
) -> bloomfilter | KeyedFilter:
    """A filter of `k` positions and `m` bits holding every row of `x`, the
    same bits as one filter inserting all of `x` at once.

    For a Dask array, a bloomfilter of its rows. For a Dask DataFrame or
    Series, a KeyedFilter of the key rows of its partitions (`key_rows` with
    `key`), whose layouts must agree.

    One filter is built per block of rows, where the data is, and the filters
    are combined by a tree of unions, `split_every` of them per node. Only
    the filters travel: m / 8 bytes each.

    A Dask array needs two dimensions or more (ValueError), and anything but
    a Dask array, DataFrame or Series is TypeError, as is `key` with an
    array. `split_every` is an integer of at least 2 (ValueError).
    """
    from woxbloomfilter_tools import _dask

    result: bloomfilter | KeyedFilter = _dask.build(x, k, m, split_every, key)
    return result


@overload
def dask_test(f: bloomfilter | KeyedFilter, x: dask.array.Array) -> dask.array.Array: ...
@overload
def dask_test(
    f: bloomfilter | KeyedFilter, x: dask.dataframe.DataFrame | dask.dataframe.Series, key: Key = None
) -> dask.dataframe.Series: ...
def dask_test(
    f: bloomfilter | KeyedFilter, x: dask.array.Array | dask.dataframe.DataFrame | dask.dataframe.Series, key: Key = None
) -> dask.array.Array | dask.dataframe.Series:
    """`f.test` on every row of `x`, lazily.

    For a Dask array, a Dask array of bools with one element per row,
    chunked like the rows of `x`. For a Dask DataFrame or Series, a Dask
    Series of bools with the index and partitions of `x`, so that
    `x[~dask_test(f, x)]` keeps the rows surely never inserted; a bloomfilter
    takes the partitions' key rows by `key`, a KeyedFilter by its own key
    and checks their layout.

    With a distributed client active the filter is sent to each worker once
    (scattered with broadcast), not with every task.

    `f` must be a bloomfilter or a KeyedFilter, and `key` is only for a
    bloomfilter and a DataFrame or Series (TypeError otherwise); `x` is
    refused as by `dask_build`.
    """
    from woxbloomfilter_tools import _dask

    result: dask.array.Array | dask.dataframe.Series = _dask.test(f, x, key)
    return result


def spark_build(
    df: pyspark.sql.DataFrame,
    key: Key = None,
    *,
    n: SupportsIndex | None = None,
    p: SupportsFloat | None = None,
    into: KeyedFilter | None = None,
    split_every: int = 8,
    budget: int | None = None,
) -> KeyedFilter:
    """A KeyedFilter of the key rows (`key_rows` with `key`) of every row of
    the Spark DataFrame `df`, the same bits as one KeyedFilter inserting all
    of it at once.

    The filter is new, sized for `n` rows at the false-positive rate `p`
    (`n` defaults to `df.count()`, one more job), or `into`, an existing
    KeyedFilter that takes the rows and is returned: its key, k, m and
    layout stay, and it is left as it was when anything fails. `into` must
    be fixed (TypeError for a growing one: its layers depend on the order
    the rows arrive in, so filters built apart do not combine into it).

    Each task builds a partial filter of its partition from the Arrow
    batches that `mapInArrow` hands it, and the partials are unioned by a
    tree of tasks, `split_every` per node, down to one filter that alone
    comes to the driver. The partials take m / 8 bytes each, all of them at
    once, so `df` is coalesced to at most `budget // (m / 8)` partitions
    (at least one), and by default to one partition per core of the session
    (its default parallelism).

    Key names, types and the layout of `into` are checked before any job
    runs: a name not in `df` raises KeyError, a type without a key layout
    TypeError, and a layout that differs from `into`'s KeyMismatch, as do
    partitions whose layouts differ. `df` must be a DataFrame of a classic
    Spark session (not Spark Connect), and the filter's byte form must stay
    under 2 GiB (ValueError).
    """
    from woxbloomfilter_tools import _spark

    return _spark.build(df, key, n, p, into, split_every, budget)


def spark_test(f: KeyedFilter, df: pyspark.sql.DataFrame, name: str = "maybe") -> pyspark.sql.DataFrame:
    """`df` with a bool column `name` more, lazily: False where the row's key
    was surely never inserted into `f`, True where it may have been. So
    `spark_test(f, df).where("not maybe")` keeps the rows surely new.

    Through `mapInArrow`: the filter, as it is at this call, is broadcast
    once and loaded once per Python worker. Every column of `df` travels to
    the workers and back with the answers.

    `f` must be a KeyedFilter (TypeError), `name` a name that `df` does not
    have (ValueError), and `df`'s key columns must match `f`'s key and
    layout (KeyError, KeyMismatch), checked before any job runs.
    """
    from woxbloomfilter_tools import _spark

    return _spark.test(f, df, name)
