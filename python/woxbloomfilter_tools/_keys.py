"""Key rows of tables and arrays, and filters that remember the layout of the
key rows they were built from.

A table (anything that exports the Arrow PyCapsule interface: pyarrow,
polars, pandas) becomes one fixed-width row of bytes per row, column after
column of the key: a validity byte, then the value's own bytes for
fixed-width types, or a 16-byte MurmurHash3_x64_128 digest for strings and
binaries (src/tools/keys.hpp writes them). A NumPy array's key rows are its
rows as the filter reads them, so a filter built from arrays keeps answering.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.lib.recfunctions
from numpy.typing import NDArray

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import _native, _storage
from woxbloomfilter_tools._growing import (
    RATIO,
    Capacity,
    FilterStatus,
    Growing,
    LayerStatus,
    Watch,
    check_capacity,
    check_growth,
    check_ratio,
)

# The stored layout's metadata entry, and the version of the key row layout.
LAYOUT_TAG = b"keys"
LAYOUT_VERSION: int = _native.LAYOUT_VERSION
# KeyedFilter makes and uses key rows this many bytes at a time: a piece
# stays in the L2 cache from being written until it is hashed.
PIECE_BYTES = 1 << 19


class KeyMismatch(TypeError):
    """Data whose key layout (column names, order, types or widths) differs
    from the layout a filter's rows were made with: its rows would have other
    bytes, so rows that are in the filter would test absent."""


class ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = None, /) -> object: ...


class ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = None, /) -> tuple[object, object]: ...


Table: TypeAlias = "ArrowStreamExportable | ArrowArrayExportable | NDArray[Any]"
Key: TypeAlias = "str | Sequence[str] | None"


@dataclass(frozen=True)
class KeyLayout:
    """What a key row is made of: its source ("table", or "numpy" for rows
    taken as a NumPy array holds them) and its columns as (name, type) pairs,
    in order. Tables give Arrow's type names, with the three string types as
    "string" and the three binary types as "binary"; NumPy arrays give the
    dtype of each column ("<i8", "<U30"), numbered from "0" unless the array
    has fields."""

    source: Literal["table", "numpy"]
    columns: tuple[tuple[str, str], ...]
    version: int = LAYOUT_VERSION

    @property
    def names(self) -> tuple[str, ...]:
        """The names of the columns, in order."""
        return tuple(name for name, _ in self.columns)

    def __str__(self) -> str:
        columns = ", ".join(f"{name} {type_}" for name, type_ in self.columns)
        return f"{'a table' if self.source == 'table' else 'a NumPy array'}: {columns}"


def key_rows(data: Table, key: Key = None) -> NDArray[np.uint8]:
    """The key rows of `data`: a C-contiguous two-dimensional uint8 array,
    one row per row of `data` and in its order, ready for insert and test.

    `data` is a pyarrow Array, ChunkedArray, RecordBatch or Table, a polars
    Series or DataFrame, a pandas DataFrame or Series (anything that exports
    the Arrow PyCapsule interface), or a NumPy array of one dimension (one
    column), of two, or with fields. `key` names the columns, in order: a
    name or a sequence of names; None takes every column (not a pandas
    index, unless `key` names it). An unknown name raises KeyError listing
    the columns there are, a key that names no column ValueError; a column
    whose type has no key layout (lists, structs, float16, ...) raises
    TypeError."""
    rows, _ = _source(data, _key_names(key))
    if isinstance(rows, np.ndarray):
        return rows
    out = np.empty((rows.rows, rows.width), dtype=np.uint8)
    rows.fill(0, out)
    return out


def mask(answers: list[bool]) -> NDArray[np.bool_]:
    """The list of True and False that `bloomfilter.test` returns, as a bool
    array: `rows[~mask(f.test(rows))]` are the rows surely never inserted.

    Made natively, at well under 2 ns a row, where `np.asarray` of the list
    takes 30 or more."""
    if not isinstance(answers, list):
        raise TypeError(f"answers must be the list that test returns, not {type(answers).__name__}")
    out = np.empty(len(answers), dtype=np.bool_)
    _native.mask(answers, out)
    return out


class KeyedFilter:
    """A filter that takes tables and arrays through `key_rows` and remembers
    the layout of the key rows it was built from.

    The first insert fixes the layout. Every later insert or test whose key
    differs in column names, order, types or widths raises KeyMismatch, where
    a plain filter would answer "surely new" for rows it holds. The layout
    travels with `save` in the stored file's metadata; plain `load` still
    reads such files.

    A filter whose capacity is known (made by `sized`, or loaded with one)
    warns once with CapacityWarning when an insert takes it past the rows it
    was sized for. A growing filter (`sized` with `growth`) adds layers
    instead, and stays below its rate."""

    __slots__ = ("_filter", "_key", "_layout", "_watch")

    def __init__(self, f: bloomfilter, key: Key = None) -> None:
        if not isinstance(f, bloomfilter):
            raise TypeError(f"f must be a woxbloomfilter.bloomfilter, not {type(f).__name__}")
        self._filter: bloomfilter | Growing = f
        self._key = _key_names(key)
        self._layout: KeyLayout | None = None
        self._watch = Watch.of(f)

    @classmethod
    def sized(
        cls,
        n: SupportsIndex,
        p: SupportsFloat,
        key: Key = None,
        *,
        growth: SupportsIndex | None = None,
        ratio: SupportsFloat | None = None,
    ) -> KeyedFilter:
        """A new keyed filter sized for `n` rows at a false-positive rate `p`.

        Without `growth` the filter is fixed: past `n` distinct rows its rate
        climbs, and the insert that shows it warns (CapacityWarning). With
        `growth`, an integer of at least 2 (2 is the one to take), it grows:
        a layer of n rows at p * (1 - ratio) first, and whenever the newest
        layer is full a new one of `growth` times its rows at `ratio` times
        its rate, so that the rate of all the layers stays below `p` however
        many rows arrive. `ratio` is above 0 and below 1 (0.8 by default); a
        smaller one takes fewer bits for the first layers and more for the
        later ones. See Sizing in the documentation for what both cost."""
        from woxbloomfilter_tools import sized

        if growth is None:
            if ratio is not None:
                raise TypeError("ratio is for a growing filter: give growth too")
            f = sized(n, p)
            keyed = cls(f, key)
            keyed._watch = Watch.of(f, new=True)
            return keyed
        layers = Growing.new(check_capacity(n, p), check_growth(growth), check_ratio(RATIO if ratio is None else ratio))
        return cls._of_layers(layers, key)

    @classmethod
    def _of_layers(cls, layers: Growing, key: Key) -> KeyedFilter:
        keyed = cls(bloomfilter(), key)
        keyed._filter, keyed._watch = layers, None
        return keyed

    @property
    def filter(self) -> bloomfilter:
        """The bloomfilter underneath. A growing filter has none (TypeError):
        `status` describes its layers."""
        if isinstance(self._filter, Growing):
            raise TypeError(
                f"a growing filter has no one bloomfilter underneath: it holds {self._filter.count} layers, "
                "which status() describes"
            )
        return self._filter

    @property
    def capacity(self) -> Capacity | None:
        """The rows n and the rate p the filter was sized for; for a growing
        filter, its first layer's rows and the rate all its layers stay
        below. None when unknown: the bloomfilter had none recorded, or was
        stored before capacities were."""
        if isinstance(self._filter, Growing):
            return self._filter.capacity
        watch = self._watch
        return watch.capacity if watch is not None and watch.holds_for(self._filter) else None

    @property
    def growth(self) -> int | None:
        """How many times the rows of the layer before each new layer takes;
        None for a fixed filter."""
        return self._filter.growth if isinstance(self._filter, Growing) else None

    def status(self) -> FilterStatus:
        """What the filter holds against what it was sized for: its capacity
        and, for each layer (a fixed filter has one), the fill, estimated
        rows and expected false-positive rate, and the rate of all layers
        together. Counts every set bit."""
        if isinstance(self._filter, Growing):
            layers = self._filter
            return FilterStatus(layers.capacity, layers.growth, layers.ratio, layers.status())
        from woxbloomfilter_tools import _bits_set

        f, capacity = self._filter, self.capacity
        return FilterStatus(capacity, None, None, (LayerStatus.of(f.get_k(), f.get_m(), capacity, _bits_set(f)),))

    @property
    def key(self) -> tuple[str, ...] | None:
        """The names of the key columns, or None for every column."""
        return self._key

    @property
    def layout(self) -> KeyLayout | None:
        """The layout of the rows inserted so far; None until the first insert."""
        return self._layout

    def insert(self, data: Table) -> None:
        """Inserts the key rows of `data`.

        Like the filter's own insert, one that stops part-way (Ctrl-C, or a
        value that turns out malformed) keeps the rows before some row."""
        rows, layout = self._source(data)
        before = self._layout
        self._layout = layout
        inserted = 0
        try:
            for _, piece in _pieces(rows):
                self._filter.insert(piece)
                inserted += len(piece)
        except (TypeError, ValueError, IndexError):
            if not inserted:  # refused before any bit changed
                self._layout = before
            raise
        if self._watch is not None and isinstance(self._filter, bloomfilter):
            self._watch.after_insert(self._filter, inserted, stacklevel=2)

    def test(self, data: Table) -> NDArray[np.bool_]:
        """One bool per row of `data`: False when the row was surely never
        inserted, True when it may have been."""
        rows, _ = self._source(data)
        answers = np.empty(len(rows) if isinstance(rows, np.ndarray) else rows.rows, dtype=np.bool_)
        for first, piece in _pieces(rows):
            if isinstance(self._filter, Growing):
                self._filter.test(piece, answers[first : first + len(piece)])
            else:
                _native.mask(self._filter.test(piece), answers[first : first + len(piece)])
        return answers

    def union(self, other: KeyedFilter) -> None:
        """Sets every bit that is set in `other`, which needs the same k, m
        and layout. A filter whose layout is not fixed takes the other's.
        Growing filters combine layer by layer: the same number of layers,
        with the same k and m each."""
        self._combine(other, "union")

    def intersect(self, other: KeyedFilter) -> None:
        """Keeps only the bits set in both; the same k, m and layout needed.
        Growing filters of more than one layer are refused (ValueError): a
        row in both filters may sit in different layers of each."""
        self._combine(other, "intersect")

    def save(self, file: str | os.PathLike[str] | _storage.Writable) -> None:
        """`save` of the filter, with its key, layout and capacity in the
        file's metadata. A growing filter is stored with all its layers."""
        entries = {} if self._layout is None else {LAYOUT_TAG: _layout_entry(self._layout, self._key)}
        _storage.save_with_metadata(self._filter, file, entries, self.capacity)

    @classmethod
    def load(cls, file: str | os.PathLike[str] | _storage.Readable) -> KeyedFilter:
        """The keyed filter stored in `file` by `save`, fixed or growing. A
        filter stored by the plain `save` loads with no layout fixed yet."""
        f, entries = _storage.load_with_metadata(file)
        keyed = cls(f) if isinstance(f, bloomfilter) else cls._of_layers(f, None)
        if LAYOUT_TAG in entries:
            keyed._layout, keyed._key = _layout_of_entry(entries[LAYOUT_TAG])
        return keyed

    def __repr__(self) -> str:
        if isinstance(self._filter, Growing):
            layers = self._filter
            n, p = layers.capacity
            shape = f"layers={layers.count}, n={n}, p={p}, growth={layers.growth}, ratio={layers.ratio}"
        else:
            shape = f"k={self._filter.get_k()}, m={self._filter.get_m()}"
        return (
            f"KeyedFilter({shape}, key={self._key!r}, "
            f"layout={'not fixed' if self._layout is None else str(self._layout)!r})"
        )

    def _source(self, data: Table) -> tuple[_native.Reader | NDArray[np.uint8], KeyLayout]:
        rows, layout = _source(data, self._key)
        if self._layout is not None:
            check_layout(self._layout, layout)
        return rows, layout

    def _combine(self, other: KeyedFilter, operation: Literal["union", "intersect"]) -> None:
        if not isinstance(other, KeyedFilter):
            raise TypeError(f"other must be a KeyedFilter, not {type(other).__name__}")
        layout = self._layout
        if layout is None:
            layout = other._layout
        elif other._layout is not None:
            check_layout(layout, other._layout, "the other filter's")
        mine, theirs = self._filter, other._filter
        if isinstance(mine, Growing) and isinstance(theirs, Growing):
            mine.combine(theirs, operation)
        elif isinstance(mine, Growing) or isinstance(theirs, Growing):
            raise ValueError(
                f"a growing filter and a fixed one do not {operation}: their bits lie in layers of other sizes"
            )
        else:
            getattr(mine, operation)(theirs)
            if operation == "union" and self._watch is not None:
                self._watch.recheck()
        self._layout = layout


def check_layout(expected: KeyLayout, found: KeyLayout, whose: str = "the data's") -> None:
    """Raises KeyMismatch when `found` differs from the filter's `expected`."""
    if expected == found:
        return
    theirs = whose.replace("'s", "")  # "the data", "the other filter"
    if expected.source != found.source:
        raise KeyMismatch(f"the filter's key rows come from {expected}, but {theirs} is {found}")
    if len(expected.columns) != len(found.columns):
        raise KeyMismatch(
            f"the filter's key has {len(expected.columns)} columns ({', '.join(expected.names)}), "
            f"{whose} has {len(found.columns)} ({', '.join(found.names)})"
        )
    for position, ((name, type_), (their_name, their_type)) in enumerate(zip(expected.columns, found.columns)):
        if name != their_name:
            raise KeyMismatch(f"key column {position} is {name!r} in the filter but {their_name!r} in {theirs}")
        if type_ != their_type:
            hint = ""
            if expected.source == "numpy" and {np.dtype(type_).kind, np.dtype(their_type).kind} <= {"U", "S"}:
                hint = (
                    ": NumPy strings of another width are other bytes; key_rows of the table itself"
                    " (pandas, polars, pyarrow) gives strings that have no width"
                )
            raise KeyMismatch(f"column {name!r} has type {type_} in the filter's key but {their_type} in {theirs}{hint}")
    raise KeyMismatch(f"the filter's key layout is version {expected.version}, {whose} {found.version}")


def _key_names(key: object) -> tuple[str, ...] | None:
    if key is None:
        return None
    if isinstance(key, str):
        return (key,)
    if isinstance(key, (bytes, bytearray)) or not isinstance(key, Sequence):
        raise TypeError(f"key must be a column name or a sequence of names, not {type(key).__name__}")
    for name in key:
        if not isinstance(name, str):
            raise TypeError(f"key must name columns with str, not {type(name).__name__}")
    return tuple(key)


def _source(data: object, key: tuple[str, ...] | None) -> tuple[_native.Reader | NDArray[np.uint8], KeyLayout]:
    """The key rows of a NumPy array, or a reader that makes those of a table."""
    if isinstance(data, np.ndarray):
        return _numpy_rows(data, key)
    if _is_pandas_frame(data):
        data, key = _pandas_columns(data, key)
    stream = getattr(data, "__arrow_c_stream__", None)
    if stream is not None:
        reader = _native.read_stream(stream(), key)
    elif (array := getattr(data, "__arrow_c_array__", None)) is not None:
        schema, values = array()
        reader = _native.read_array(schema, values, key)
    else:
        raise TypeError(
            "data must be a table or column that exports the Arrow PyCapsule interface (pyarrow, polars, pandas) "
            f"or a NumPy array, not {type(data).__name__}"
        )
    return reader, KeyLayout("table", tuple(reader.columns))


def _pieces(rows: _native.Reader | NDArray[np.uint8]) -> Iterator[tuple[int, NDArray[np.uint8]]]:
    """(first row, key rows) a piece of about PIECE_BYTES at a time. A table's
    are made into one buffer, used again for every piece: it stays in the
    cache between being written and being hashed, and no memory is claimed
    for the whole table."""
    if isinstance(rows, np.ndarray):
        step = max(1, PIECE_BYTES // max(rows.shape[1], 1))
        for first in range(0, len(rows), step):
            yield first, rows[first : first + step]
        return
    step = max(1, PIECE_BYTES // rows.width)
    buffer = np.empty((min(step, rows.rows), rows.width), dtype=np.uint8)
    for first in range(0, rows.rows, step):
        piece = buffer[: min(step, rows.rows - first)]
        rows.fill(first, piece)
        yield first, piece


def _is_pandas_frame(data: object) -> bool:
    return type(data).__module__.partition(".")[0] == "pandas" and hasattr(data, "columns") and hasattr(data, "index")


def _pandas_columns(frame: Any, key: tuple[str, ...] | None) -> tuple[Any, tuple[str, ...]]:
    """The frame cut to the key's columns, and the key: every column when
    None, never the index, which pandas exports as a column only when it is
    not a range. Index levels that the key names become columns, whatever
    their values; the rest are cut first, so that pandas converts no other
    column."""
    columns = [str(column) for column in frame.columns]
    if key is None:
        return frame, tuple(columns)
    levels = {str(level): level for level in frame.index.names if level is not None and str(level) not in columns}
    for name in key:
        if name not in columns and name not in levels:
            listed = ", ".join(repr(column) for column in [*columns, *levels]) or "none"
            raise KeyError(f"column {name!r} is not in the data, whose columns are {listed}")
    named_levels = [levels[name] for name in dict.fromkeys(key) if name in levels]
    if named_levels:
        frame = frame.reset_index(level=named_levels)
    by_name = {str(column): column for column in frame.columns}
    wanted = [by_name[name] for name in dict.fromkeys(key)]
    if len(wanted) < len(frame.columns):
        frame = frame[wanted]
    return frame, key


def _numpy_rows(a: NDArray[Any], key: tuple[str, ...] | None) -> tuple[NDArray[np.uint8], KeyLayout]:
    if isinstance(a, np.ma.MaskedArray):
        raise TypeError("data must not be a masked array: its mask would be ignored; fill it, or pass a table with nulls")
    if a.dtype.hasobject or a.dtype.kind == "T":
        raise TypeError(
            f"a NumPy array of dtype {a.dtype} holds references, not values: pass the table itself "
            "(a pyarrow, polars or pandas object), whose strings key_rows reads as values"
        )
    if a.dtype.names is not None:
        if a.ndim != 1:
            raise ValueError(f"an array with fields must have one dimension, not {a.ndim}")
        fields = a.dtype.names
        names = fields if key is None else key
        for name in names:
            if name not in fields:
                raise KeyError(f"column {name!r} is not in the data, whose columns are {', '.join(map(repr, fields))}")
        # Packed: padding bytes between fields would be part of the rows.
        packed = np.lib.recfunctions.repack_fields(a[list(names)])
        rows = np.ascontiguousarray(packed).view(np.uint8).reshape(len(a), packed.dtype.itemsize)
        return rows, KeyLayout("numpy", tuple((name, _dtype_name(packed.dtype[name])) for name in names))
    if key is not None:
        raise TypeError("key must be None for a NumPy array without fields: its columns have no names")
    if a.ndim == 1:
        a = a.reshape(-1, 1)
    elif a.ndim != 2:
        raise ValueError(f"a NumPy array of {a.ndim} dimensions has no key rows: reshape it to (rows, -1)")
    rows = np.ascontiguousarray(a).view(np.uint8).reshape(a.shape[0], a.shape[1] * a.itemsize)
    return rows, KeyLayout("numpy", tuple((str(c), _dtype_name(a.dtype)) for c in range(a.shape[1])))


def _dtype_name(dtype: np.dtype[Any]) -> str:
    return dtype.str if dtype.names is None and dtype.subdtype is None else str(dtype.descr)


def _layout_entry(layout: KeyLayout, key: tuple[str, ...] | None) -> bytes:
    record = {
        "version": layout.version,
        "source": layout.source,
        "columns": [list(column) for column in layout.columns],
        "key": None if key is None else list(key),
    }
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode()


def _layout_of_entry(entry: bytes) -> tuple[KeyLayout, tuple[str, ...] | None]:
    try:
        record = json.loads(entry)
        version = record["version"]
        if isinstance(version, int) and version > LAYOUT_VERSION:
            raise _storage.FormatError(
                f"key layout version {version} is newer than this reader, which reads version {LAYOUT_VERSION}: "
                "a later woxbloomfilter_tools loads it"
            )
        if version != LAYOUT_VERSION or record["source"] not in ("table", "numpy"):
            raise ValueError(record)
        columns = tuple((str(name), str(type_)) for name, type_ in record["columns"])
        key = record["key"]
        key = None if key is None else tuple(str(name) for name in key)
        return KeyLayout(record["source"], columns, version), key
    except _storage.FormatError:
        raise
    except (ValueError, KeyError, TypeError) as error:
        raise _storage.FormatError(f"the key layout in the metadata is not valid: {error}") from None
