"""Filters on Dask arrays. Imported only by dask_build and dask_test, so that
the package works without Dask."""

from __future__ import annotations

import operator
import sys
from typing import Any, SupportsIndex

import dask.array as da
import numpy as np
from dask.delayed import Delayed, delayed

from woxbloomfilter import bloomfilter


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


def _block_filter(block: np.ndarray, k: int, m: int) -> bloomfilter:
    f = bloomfilter()
    f.configure(k, m)
    f.insert(block)
    return f


def _union_all(k: int, m: int, *filters: bloomfilter) -> bloomfilter:
    # A new filter rather than the first input changed in place: a task must
    # not alter what another task (or a retry of this one) may still read.
    out = bloomfilter()
    out.configure(k, m)
    for f in filters:
        out.union(f)
    return out


def build(x: da.Array, k: SupportsIndex, m: SupportsIndex, split_every: int) -> bloomfilter:
    rows = _whole_rows(x)
    k, m = operator.index(k), operator.index(m)
    if isinstance(split_every, bool) or not isinstance(split_every, int) or split_every < 2:
        raise ValueError(f"split_every must be an integer of at least 2, got {split_every!r}")
    level: list[Delayed] = [delayed(_block_filter)(block, k, m) for block in rows.to_delayed().ravel()]
    while len(level) > 1:
        level = [
            delayed(_union_all)(k, m, *level[i : i + split_every]) for i in range(0, len(level), split_every)
        ]
    root: Any = level[0]
    result: bloomfilter = root.compute()
    return result


def _test_block(block: np.ndarray, f: bloomfilter) -> np.ndarray:
    return np.array(f.test(block), dtype=bool)


def _active_client() -> Any:
    # Without distributed imported there can be no client: don't import it.
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        return distributed.default_client()
    except ValueError:  # no client
        return None


def test(f: bloomfilter, x: da.Array) -> da.Array:
    if not isinstance(f, bloomfilter):
        raise TypeError(f"f must be a woxbloomfilter.bloomfilter, not {type(f).__name__}")
    rows = _whole_rows(x)
    client = _active_client()
    # Scattered, the filter reaches each worker once and tasks refer to it by
    # key; embedded in the graph, every task would carry a copy of it.
    shipped = f if client is None else client.scatter(f, broadcast=True)
    answers: da.Array = rows.map_blocks(
        _test_block,
        shipped,
        dtype=bool,
        drop_axis=list(range(1, rows.ndim)),
        meta=np.empty((0,), dtype=bool),
    )
    return answers
