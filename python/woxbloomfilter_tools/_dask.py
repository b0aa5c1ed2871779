"""Filters on Dask arrays and DataFrames. Imported only by dask_build and
dask_test, so that the package works without Dask."""

from __future__ import annotations

import importlib
import operator
import sys
from typing import Any, SupportsIndex

import dask.array as da
import numpy as np
from dask.delayed import Delayed, delayed

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools._keys import Key, KeyedFilter, mask


def _whole_rows(x: object) -> Any:
    """`x` with one chunk along every axis but the first, so that each block
    holds whole rows: a row's bytes come from every one of its columns.

    Typed Any: most of dask.array's methods carry no annotations."""
    if not isinstance(x, da.Array):
        raise TypeError(f"x must be a dask.array.Array, not {type(x).__name__}")
    if x.ndim < 2:
        raise ValueError(f"x must have two dimensions or more (rows and columns), got {x.ndim}")
    rows: Any = x
    return rows.rechunk({axis: -1 for axis in range(1, x.ndim)})


def _new_filter(k: int, m: int) -> bloomfilter:
    f = bloomfilter()
    f.configure(k, m)
    return f


def _block_filter(block: np.ndarray, k: int, m: int) -> bloomfilter:
    f = _new_filter(k, m)
    f.insert(block)
    return f


def _union_all(k: int, m: int, *filters: bloomfilter) -> bloomfilter:
    # A new filter rather than the first input changed in place: a task must
    # not alter what another task (or a retry of this one) may still read.
    out = _new_filter(k, m)
    for f in filters:
        out.union(f)
    return out


def _is_frame(x: object) -> bool:
    # Without dask.dataframe imported, x cannot be one of its collections.
    dataframe = sys.modules.get("dask.dataframe")
    return dataframe is not None and isinstance(x, (dataframe.DataFrame, dataframe.Series))


def _partition_filter(part: Any, k: int, m: int, key: Key) -> KeyedFilter:
    f = KeyedFilter(_new_filter(k, m), key)
    f.insert(part)
    return f


def _union_keyed(k: int, m: int, key: Key, *filters: KeyedFilter) -> KeyedFilter:
    # A new filter, as in _union_all; the layouts of the partitions must agree.
    out = KeyedFilter(_new_filter(k, m), key)
    for f in filters:
        out.union(f)
    return out


def build(x: Any, k: SupportsIndex, m: SupportsIndex, split_every: int, key: Key) -> Any:
    k, m = operator.index(k), operator.index(m)
    if isinstance(split_every, bool) or not isinstance(split_every, int) or split_every < 2:
        raise ValueError(f"split_every must be an integer of at least 2, got {split_every!r}")
    if _is_frame(x):
        level: list[Delayed] = [delayed(_partition_filter)(part, k, m, key) for part in x.to_delayed()]
        union: Any = lambda *filters: delayed(_union_keyed)(k, m, key, *filters)
    else:
        if key is not None:
            raise TypeError("key names the columns of a Dask DataFrame; a Dask array's rows are its own")
        rows = _whole_rows(x)
        level = [delayed(_block_filter)(block, k, m) for block in rows.to_delayed().ravel()]
        union = lambda *filters: delayed(_union_all)(k, m, *filters)
    while len(level) > 1:
        level = [union(*level[i : i + split_every]) for i in range(0, len(level), split_every)]
    root: Any = level[0]
    return root.compute()


def _test_block(block: np.ndarray, f: bloomfilter | KeyedFilter) -> np.ndarray:
    return f.test(block) if isinstance(f, KeyedFilter) else mask(f.test(block))


def _pandas() -> Any:
    # Dask's DataFrames bring pandas, which has no type stubs of its own.
    return importlib.import_module("pandas")


def _test_partition(part: Any, f: KeyedFilter) -> Any:
    return _pandas().Series(f.test(part), index=part.index)


def _active_client() -> Any:
    # Without distributed imported there can be no client: don't import it.
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        return distributed.default_client()
    except ValueError:  # no client
        return None


def test(f: bloomfilter | KeyedFilter, x: Any, key: Key) -> Any:
    if not isinstance(f, (bloomfilter, KeyedFilter)):
        raise TypeError(f"f must be a woxbloomfilter.bloomfilter or a KeyedFilter, not {type(f).__name__}")
    if isinstance(f, KeyedFilter) and key is not None:
        raise TypeError("key must be None with a KeyedFilter, which keys its data itself")
    frame = _is_frame(x)
    if frame and isinstance(f, bloomfilter):
        f = KeyedFilter(f, key)
    elif not frame and key is not None:
        raise TypeError("key names the columns of a Dask DataFrame; a Dask array's rows are its own")
    rows = x if frame else _whole_rows(x)
    client = _active_client()
    # Scattered, the filter reaches each worker once and tasks refer to it by
    # key; embedded in the graph, every task would carry a copy of it. A key
    # of its own each time: under a key made from the filter's contents, a
    # scatter could meet the release of an earlier one of the same filter,
    # and the workers drop the data the new tasks need.
    shipped = f if client is None else client.scatter(f, broadcast=True, hash=False)
    if frame:
        return rows.map_partitions(_test_partition, shipped, meta=_pandas().Series(dtype=bool))
    answers: da.Array = rows.map_blocks(
        _test_block,
        shipped,
        dtype=bool,
        drop_axis=list(range(1, rows.ndim)),
        meta=np.empty((0,), dtype=bool),
    )
    return answers
