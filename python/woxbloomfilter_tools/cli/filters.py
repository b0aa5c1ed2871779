"""The filters the commands read, and the checks of data against them."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import _keys, _storage, parameters
from woxbloomfilter_tools._growing import RATIO, FilterStatus
from woxbloomfilter_tools._keys import KeyedFilter, key_rows
from woxbloomfilter_tools.cli import sources
from woxbloomfilter_tools.cli.arguments import GROW_RATIO, GROWTH
from woxbloomfilter_tools.cli.errors import Failure, shown
from woxbloomfilter_tools.cli.outputs import writing
from woxbloomfilter_tools.cli.sources import Source


def load(path: str) -> KeyedFilter:
    try:
        return KeyedFilter.load(path)
    except _storage.FormatError as error:
        raise Failure(f"{shown(path)}: {error}") from None


def save(keyed: KeyedFilter, path: str) -> None:
    with writing(path):
        keyed.save(path)


def key_of(keyed: KeyedFilter, path: str, done: str) -> tuple[str, ...]:
    """The columns the filter's rows came from: its key, or for a filter
    keyed by every column, every column its layout records."""
    if keyed.layout is None:
        raise Failure(
            f"{shown(path)} records no key: it was stored by the plain save(), so the columns its rows came from "
            f"are unknown and it cannot be {done} here; build it with 'woxbloom build' or KeyedFilter"
        )
    if keyed.layout.source != "table":
        raise Failure(f"{shown(path)} holds key rows of {keyed.layout}, not of a table's columns")
    return keyed.key if keyed.key is not None else keyed.layout.names


def types_of(keyed: KeyedFilter, path: str) -> dict[str, Any]:
    """The Arrow types of the filter's key columns, which CSV files are read as."""
    assert keyed.layout is not None
    try:
        return {name: sources.arrow_type(type_) for name, type_ in keyed.layout.columns}
    except ValueError as error:
        raise Failure(f"{shown(path)}: {error}") from None


def sized(rows: int, p: float, names: tuple[str, ...], types: dict[str, Any], fixed: bool) -> KeyedFilter:
    """A new filter, growing unless `fixed`, whose layout `types` (Arrow
    types) fix, so that it holds even when no row comes."""
    try:
        return KeyedFilter.sized(rows, p, names, types=types, growth=None if fixed else GROWTH)
    except (MemoryError, TypeError):  # TypeError: an m past 64 bits
        gib = parameters(rows, p if fixed else p * (1 - RATIO))[1] / 8 / 2**30
        what = "a filter" if fixed else "the first layer of a filter"
        raise Failure(f"{what} for {rows:,} rows at {p} takes {gib:,.1f} GiB: more memory than there is") from None


def grown(keyed: KeyedFilter, path: str) -> KeyedFilter:
    """The fixed filter of `path` as the first layer of a growing one."""
    try:
        return _keys.grown(keyed, GROWTH, GROW_RATIO)
    except ValueError as error:
        raise Failure(f"{shown(path)} cannot grow: {error}") from None


def rate_now(status: FilterStatus) -> float:
    """The false-positive rate expected now: of one layer, its fill ** k
    exactly, where 1 - (1 - rate) would lose the digits of a small one."""
    return status.layers[0].rate if len(status.layers) == 1 else status.rate


def probe() -> bloomfilter:
    """A filter of one bit, for a KeyedFilter that only checks layouts."""
    f = bloomfilter()
    f.configure(1, 1)
    return f


def keyed(call: Callable[[Any], Any], data: Any, path: str) -> Any:
    """`call` (a KeyedFilter's insert or test) on `data`, which comes from
    `path`: a missing column is KeyError, a column type without a key layout
    TypeError, a layout of other types KeyMismatch, a malformed value (one
    past the 2 GiB a key value may hold) ValueError."""
    try:
        return call(data)
    except KeyError as error:
        raise Failure(f"{shown(path)}: {error.args[0]}") from None
    except (TypeError, ValueError) as error:
        raise Failure(f"{shown(path)}: {error}") from None


def has_columns(source: Source, names: Sequence[str]) -> None:
    """Refuses `source`, before any row is read, when it lacks a key column."""
    keyed(lambda table: key_rows(table, names), source.schema().empty_table(), source.path)


def check(call: Callable[[Any], Any], source: Source, key_schema: Any, hint: str = "") -> None:
    """Refuses `source`, before any row is read, when its key columns, of
    types `key_schema`, have other types than the filter's."""
    try:
        keyed(call, key_schema.empty_table(), source.path)
    except Failure as error:
        raise Failure(f"{error}{hint}") from None
