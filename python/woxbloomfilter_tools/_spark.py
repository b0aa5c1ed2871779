"""Filters built and queried on Spark, where the rows are. Imported only by
spark_build and spark_test, so that the package works without pyspark.

Both go through mapInArrow: Spark hands each Python worker its rows as
Arrow record batches, whose key rows are those of the same values in
pyarrow, polars or pandas. No row travels to the driver: only filters, in
their stored form (checksummed, with their key layout).

pyarrow has no type annotations, so it is typed Any here."""

from __future__ import annotations

import functools
import importlib
import io
import operator
from collections.abc import Iterable, Iterator
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

from pyspark.core.rdd import RDD
from pyspark.sql import DataFrame
from pyspark.sql.classic.dataframe import DataFrame as ClassicDataFrame
from pyspark.sql.pandas.types import to_arrow_schema
from pyspark.sql.types import BooleanType, StructField, StructType

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools._keys import Key, KeyedFilter, KeyMismatch

pa: Any = importlib.import_module("pyarrow")

# A filter travels as one binary value, which the JVM holds in one byte
# array (at most 2^31 - 1 bytes, less a little); the header, the key layout
# and the checksum take less than the MiB left over.
MOST_FILTER_BYTES = (1 << 31) - (1 << 20)
# What a task of the build gives back: a partial filter's stored form, or
# the error that stopped it, carried as data so that it reaches the caller
# as itself, and so that Spark does not retry a task that would fail again.
PARTIAL = "filter binary, error_type string, error string"

# A partial filter in its stored form, or the (type, message) of an error.
Element: TypeAlias = "bytes | bytearray | tuple[str, str]"

# How many filters this Python worker has loaded from a broadcast. Spark
# keeps its Python workers for task after task (spark.python.worker.reuse,
# the default) and a worker keeps a broadcast value while its tasks use it,
# so a filter is loaded once per worker, not once per task or batch.
broadcast_loads = 0


def _check_frame(df: object) -> DataFrame:
    if not isinstance(df, DataFrame):
        raise TypeError(f"df must be a pyspark.sql.DataFrame, not {type(df).__name__}")
    if not isinstance(df, ClassicDataFrame):
        raise TypeError(
            "df must belong to a classic Spark session, not a Spark Connect one: "
            "the filters travel as broadcasts and through RDDs, which Spark Connect lacks"
        )
    return df


def _key_columns(df: DataFrame, key: tuple[str, ...] | None) -> list[str]:
    """The columns that make the key rows, checked against the DataFrame's
    own names as key_rows checks them: exactly, not in Spark's
    case-insensitive way, since the workers find them by name."""
    columns = df.columns
    if key is None:
        return columns
    for name in key:
        if name not in columns:
            listed = ", ".join(repr(column) for column in columns) or "none"
            raise KeyError(f"column {name!r} is not in the DataFrame, whose columns are {listed}")
    return list(key)


def _empty(df: DataFrame) -> Any:
    """A table of no rows with the Arrow types that mapInArrow hands the
    workers for `df`: the session's time zone in its timestamps, and the
    large string and binary types where the session asks for them."""
    conf = df.sparkSession.conf
    schema = to_arrow_schema(
        df.schema,
        timezone=conf.get("spark.sql.session.timeZone"),
        prefers_large_types=conf.get("spark.sql.execution.arrow.useLargeVarTypes") == "true",
    )
    return schema.empty_table()


def _selected(df: DataFrame, names: list[str]) -> DataFrame:
    if names == df.columns:
        return df
    # Backquoted, a name is taken as it is, dots and all.
    return df.select(*("`" + name.replace("`", "``") + "`" for name in names))


def _stored(f: KeyedFilter) -> bytes:
    out = io.BytesIO()
    f.save(out)
    return out.getvalue()


def _loaded(data: bytes | bytearray) -> KeyedFilter:
    return KeyedFilter.load(io.BytesIO(data))


def _partials(k: int, m: int, key: tuple[str, ...] | None) -> Any:
    """The function that mapInArrow runs on each partition: one filter of
    every row of its batches, given back as one row, or no row at all for a
    partition without rows."""

    def build(batches: Iterable[Any]) -> Iterator[Any]:
        f = bloomfilter()
        f.configure(k, m)
        keyed = KeyedFilter(f, key)
        filled = False
        try:
            for batch in batches:
                if batch.num_rows:
                    keyed.insert(batch)
                    filled = True
        except (KeyMismatch, ValueError) as error:
            yield _row(None, error)
            return
        if filled:
            yield _row(_stored(keyed), None)

    return build


def _row(stored: bytes | None, error: Exception | None) -> Any:
    kind = None if error is None else "KeyMismatch" if isinstance(error, KeyMismatch) else "ValueError"
    return pa.record_batch(
        [
            pa.array([stored], pa.binary()),
            pa.array([kind], pa.string()),
            pa.array([None if error is None else str(error)], pa.string()),
        ],
        names=["filter", "error_type", "error"],
    )


def _element(row: Any) -> Element:
    error: str | None = row.error
    if error is not None:
        return (str(row.error_type), error)
    data: bytearray = row.filter
    return data


def _keyed_by(parts: int, index: int, elements: Iterable[Element]) -> Iterator[tuple[int, Element]]:
    return ((index % parts, element) for element in elements)


def _same(part: int) -> int:
    return part


def _union(pairs: Iterable[tuple[int, Element]]) -> Iterator[Element]:
    """The union of the filters of one node of the tree, taken one at a
    time: a task holds two filters at once, the union and the one coming in.
    The first error met stands for the node."""
    union: KeyedFilter | None = None
    for _, element in pairs:
        if isinstance(element, tuple):
            yield element
            return
        f = _loaded(element)
        if union is None:
            union = f
            continue
        try:
            union.union(f)
        except KeyMismatch as error:
            yield ("KeyMismatch", str(error))
            return
    if union is not None:
        yield _stored(union)


def root(partials: RDD[Element], split_every: int) -> KeyedFilter | None:
    """The union of the partial filters, made by a tree of tasks of
    `split_every` filters each down to one task, whose filter alone comes to
    the driver; None when there is none. An error carried up the tree is
    raised here."""
    level = partials
    parts = level.getNumPartitions()
    while parts > 1:
        parts = -(-parts // split_every)
        level = (
            level.mapPartitionsWithIndex(functools.partial(_keyed_by, parts))
            .partitionBy(parts, _same)
            .mapPartitions(_union)
        )
    found = level.collect()
    if not found:
        return None
    [element] = found
    if isinstance(element, tuple):
        kind, message = element
        if kind == "KeyMismatch":
            raise KeyMismatch(f"the key rows of the DataFrame's partitions have different layouts: {message}")
        raise ValueError(message)
    return _loaded(element)


def _whole(name: str, value: int, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")
    return value


def build(
    df: DataFrame,
    key: Key,
    n: SupportsIndex | None,
    p: SupportsFloat | None,
    into: KeyedFilter | None,
    split_every: int,
    budget: int | None,
) -> KeyedFilter:
    from woxbloomfilter_tools import parameters

    df = _check_frame(df)
    split_every = _whole("split_every", split_every, 2)
    if budget is not None:
        budget = _whole("budget", budget, 1)
    if into is not None:
        if not isinstance(into, KeyedFilter):
            raise TypeError(f"into must be a KeyedFilter, not {type(into).__name__}")
        if n is not None or p is not None:
            raise TypeError("n and p size a new filter: into keeps its own size")
        if key is not None:
            raise TypeError("key must be None with into, a KeyedFilter that keys its data itself")
        if into.growth is not None:
            raise TypeError(
                "into must be a fixed filter: a growing filter's layers depend on the order its rows arrive in, "
                "so filters built apart from parts of the rows do not combine into it; build a fixed filter "
                "sized for the rows (n, p), or test the growing one with spark_test"
            )
        target = into
    elif p is None:
        raise TypeError("spark_build needs p, the false-positive rate to size a new filter for, or into, a filter to fill")
    else:
        rate = p
        parameters(1 if n is None else n, rate)  # refused now rather than after counting
        target = KeyedFilter(bloomfilter(), key)  # its key, checked
    source = _selected(df, _key_columns(df, target.key))
    empty = _empty(source)
    target.test(empty)  # key names, types and a fixed layout, checked before any job
    if into is None:
        rows = source.count() if n is None else operator.index(n)
        target = KeyedFilter.sized(max(rows, 1), rate, key)
    f = target.filter
    k, m = f.get_k(), f.get_m()
    size = (m + 7) // 8
    if size > MOST_FILTER_BYTES:
        raise ValueError(
            f"a filter of {size:,} bytes is too large to travel through Spark, "
            f"which holds a value in one array of at most {MOST_FILTER_BYTES:,} bytes"
        )
    # Each partition gives one partial filter, and all of them are in
    # flight at once, in the tasks and the shuffle of the first level: so at
    # most budget bytes of them. More partials than cores read no faster,
    # and every one more costs its bytes and a union (measured: 71 partials
    # of 2 MiB took three times as long as 4), so one per core unless the
    # caller allows more.
    if budget is None:
        most = df.sparkSession.sparkContext.defaultParallelism
    else:
        most = max(1, budget // max(size, 1))
    if source.rdd.getNumPartitions() > most:
        source = source.coalesce(most)
    partials = source.mapInArrow(_partials(k, m, target.key), PARTIAL).rdd.map(_element)
    found = root(partials, split_every)
    if found is not None:
        found.test(empty)  # the workers' layout is the one checked above
        target.union(found)
    target.insert(empty)  # fixes the layout when no partition had a row
    return target


class Shipped:
    """A filter on its way to the workers: pickled in its stored form, and
    loaded where it is unpickled."""

    __slots__ = ("filter",)

    def __init__(self, f: KeyedFilter) -> None:
        self.filter = f

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return _arrive, (_stored(self.filter),)


def _arrive(data: bytes) -> Shipped:
    global broadcast_loads
    broadcast_loads += 1
    return Shipped(_loaded(data))


def test(f: KeyedFilter, df: DataFrame, name: str) -> DataFrame:
    df = _check_frame(df)
    if not isinstance(f, KeyedFilter):
        raise TypeError(f"f must be a KeyedFilter, not {type(f).__name__}")
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    if name in df.columns:
        raise ValueError(f"name {name!r} is a column of the DataFrame already: choose another")
    _key_columns(df, f.key)
    f.test(_empty(df))  # key names, types and layout, checked before any job
    schema = StructType([*df.schema.fields, StructField(name, BooleanType(), nullable=False)])
    answer = pa.field(name, pa.bool_(), nullable=False)
    # Broadcast, the filter reaches each executor once and each Python
    # worker loads it once; in the function itself it would be unpickled
    # again for every task.
    shipped = df.sparkSession.sparkContext.broadcast(Shipped(f))

    def answers(batches: Iterable[Any]) -> Iterator[Any]:
        keyed = shipped.value.filter
        for batch in batches:
            yield batch.append_column(answer, pa.array(keyed.test(batch)))

    return df.mapInArrow(answers, schema)
