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

import ast
import copy
import functools
import json
import os
import re
from collections.abc import Iterator, Mapping, Sequence
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
    first_layer,
    check_growth,
    check_ratio,
)

# The stored layout's metadata entry, and the version of the key row layout.
LAYOUT_TAG = b"keys"
LAYOUT_VERSION: int = _native.LAYOUT_VERSION
# A stored layout is an object of lists of pairs: three levels of nesting.
ENTRY_DEPTH = 3
_JSON_STRING = re.compile(rb'"(?:[^"\\]|\\.)*"')
_OPENING, _CLOSING = np.frombuffer(b"[{", dtype=np.uint8), np.frombuffer(b"]}", dtype=np.uint8)
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


class ArrowSchemaExportable(Protocol):
    def __arrow_c_schema__(self) -> object: ...


Table: TypeAlias = "ArrowStreamExportable | ArrowArrayExportable | NDArray[Any]"
Key: TypeAlias = "str | Sequence[str] | None"
Types: TypeAlias = "Mapping[str, str | ArrowSchemaExportable] | ArrowSchemaExportable | None"


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
    TypeError. A column of Arrow type null (one that held only nulls) has no
    value bytes here, only its validity byte: a KeyedFilter gives it the
    width of its layout's type."""
    rows, _ = _source(data, _key_names(key), LAYOUT_VERSION)
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

    `f` holds the rows; `key` names the key columns, in order (None: every
    column). The first insert fixes the layout, or `types` given when the
    filter is made. Every later insert or test whose key differs in column
    names, order, types or widths raises KeyMismatch, where a plain filter
    would answer "surely new" for rows it holds. The layout travels with
    `save` in the stored file's metadata; plain `load` still reads such files.

    A key column of Arrow type null (one that held only nulls where it was
    read) fits any type: its rows are the nulls of the layout's type. It
    fixes no layout: until one is fixed, the rows of such data are held
    aside, exactly, and go into the filter once it is.

    A filter whose capacity is known (made by `sized`, or loaded with one)
    warns once with CapacityWarning when an insert takes it past the rows it
    was sized for. A growing filter (`sized` with `growth`) adds layers
    instead, and stays below its rate.

    `types` fixes the layout before any data: a mapping of each key column's
    name to a layout type name as `layout` names it ("int64", "string",
    "timestamp[us, tz=UTC]") or to an Arrow type (anything with
    `__arrow_c_schema__`, such as `pa.int64()`), or an Arrow schema whose
    fields are the key columns. It names exactly the key's columns, which
    keep the key's order; with `key` None the key becomes the columns it
    names, in its order. A name that is no key type is ValueError, a type
    that has no layout TypeError."""

    __slots__ = ("_filter", "_key", "_layout", "_held", "_watch")

    def __init__(self, f: bloomfilter, key: Key = None, *, types: Types = None) -> None:
        if not isinstance(f, bloomfilter):
            raise TypeError(f"f must be a woxbloomfilter.bloomfilter, not {type(f).__name__}")
        self._filter: bloomfilter | Growing = f
        self._key = _key_names(key)
        self._layout: KeyLayout | None = None
        # Rows inserted while some key column had only nulls, whose width its
        # type decides: by the layout they were read with, until the layout is
        # fixed and they go into the filter.
        self._held: dict[KeyLayout, NDArray[np.uint8]] = {}
        self._watch = Watch.of(f)
        if types is not None:
            self._key, self._layout = _given_layout(self._key, types)

    @classmethod
    def sized(
        cls,
        n: SupportsIndex,
        p: SupportsFloat,
        key: Key = None,
        *,
        types: Types = None,
        growth: SupportsIndex | None = None,
        ratio: SupportsFloat | None = None,
    ) -> KeyedFilter:
        """A new keyed filter sized for `n` rows at a false-positive rate `p`,
        of `key` and `types` as above.

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
            keyed = cls(f, key, types=types)
            keyed._watch = Watch.of(f, new=True)
            return keyed
        layers = Growing.new(check_capacity(n, p), check_growth(growth), check_ratio(RATIO if ratio is None else ratio))
        return cls._of_layers(layers, key, types)

    @classmethod
    def _of_layers(cls, layers: Growing, key: Key, types: Types = None) -> KeyedFilter:
        keyed = cls(bloomfilter(), key, types=types)
        keyed._filter, keyed._watch = layers, None
        return keyed

    @property
    def filter(self) -> bloomfilter:
        """The bloomfilter underneath. Rows held until the layout is fixed
        are not in it yet. A growing filter has none (TypeError): `status`
        describes its layers."""
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
        """The layout of the rows inserted so far; None until it is fixed by
        `types`, or by the first insert whose key columns all have a type."""
        return self._layout

    def insert(self, data: Table) -> None:
        """Inserts the key rows of `data`.

        Like the filter's own insert, one that stops part-way (Ctrl-C, or a
        value that turns out malformed) keeps the rows before some row. Until
        the layout is fixed, the rows of data whose key has a column of type
        null are held aside, exactly, and go into the filter once it is."""
        rows, theirs, layout = self._read(data)
        if layout is None:
            self._hold(rows, theirs)
            return
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
        finally:
            if self._layout is not None:
                self._release_held()
        if self._watch is not None and isinstance(self._filter, bloomfilter):
            self._watch.after_insert(self._filter, inserted, stacklevel=2)

    def test(self, data: Table) -> NDArray[np.bool_]:
        """One bool per row of `data`: False when the row was surely never
        inserted, True when it may have been."""
        rows, theirs, _ = self._read(data)
        answers = np.empty(len(rows) if isinstance(rows, np.ndarray) else rows.rows, dtype=np.bool_)
        for first, piece in _pieces(rows):
            part = answers[first : first + len(piece)]
            if isinstance(self._filter, Growing):
                self._filter.test(piece, part)
            else:
                _native.mask(self._filter.test(piece), part)
            for layout, held in self._held.items():
                part |= _contains(held, layout, piece, theirs)
        return answers

    def union(self, other: KeyedFilter) -> None:
        """Sets every bit that is set in `other`, which needs the same k, m
        and layout. A filter whose layout is not fixed takes the other's,
        with its key; one keyed by other columns is refused. Growing filters
        combine layer by layer: the same number of layers, with the same k
        and m each."""
        self._combine(other, "union")

    def intersect(self, other: KeyedFilter) -> None:
        """Keeps only the bits set in both; the same k, m and layout needed.
        Growing filters of more than one layer are refused (ValueError): a
        row in both filters may sit in different layers of each."""
        self._combine(other, "intersect")

    def save(self, file: str | os.PathLike[str] | _storage.Writable) -> None:
        """`save` of the filter, with its key, layout and capacity in the
        file's metadata; a growing filter is stored with all its layers. Rows
        held until the layout is fixed have no bytes yet, so a filter that
        holds some is refused (ValueError)."""
        if self._held:
            raise ValueError(f"{self._waiting_for()}: give the types with types=, or insert data where they have values")
        entries = {} if self._layout is None else {LAYOUT_TAG: _layout_entry(self._layout, self._key)}
        _storage.save_with_metadata(self._filter, file, entries, self.capacity)

    @classmethod
    def load(cls, file: str | os.PathLike[str] | _storage.Readable) -> KeyedFilter:
        """The keyed filter stored in `file` by `save`, fixed or growing. A
        filter stored by the plain `save` loads with no layout fixed yet. A
        layout stored with version 1 keeps its rows: data is read by the
        rules of version 1."""
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
        layout = "not fixed" if self._layout is None else str(self._layout)
        if self._held:
            layout += f"; {self._waiting_for()}"
        return f"KeyedFilter({shape}, key={self._key!r}, layout={layout!r})"

    def _read(self, data: Table) -> tuple[_native.Reader | NDArray[np.uint8], KeyLayout, KeyLayout | None]:
        """The key rows of `data`, their layout, and the layout they fix: the
        filter's own, or the one the data and the held rows give together;
        None while a key column's type is still unknown. The rows follow the
        layout they fix, where there is one."""
        if self._layout is not None:
            rows, found = _source(data, self._key, self._layout.version)
            check_layout(self._layout, found)
            return _conformed(rows, found, self._layout), self._layout, self._layout
        rows, found = _source(data, self._key, LAYOUT_VERSION)
        known = found
        for held in self._held:
            known = _merged(held, known)
        if _untyped(known):
            return rows, found, None
        return _conformed(rows, found, known), known, known

    def _hold(self, rows: _native.Reader | NDArray[np.uint8], layout: KeyLayout) -> None:
        assert not isinstance(rows, np.ndarray)  # NumPy rows always have their types
        if rows.rows == 0:  # nothing to keep: the filter stays as it was
            return
        out = np.empty((rows.rows, rows.width), dtype=np.uint8)
        rows.fill(0, out)
        held = self._held.get(layout)
        self._held[layout] = _distinct(out if held is None else np.concatenate([held, out]))

    def _release_held(self) -> None:
        assert self._layout is not None
        for layout, rows in self._held.items():
            for _, piece in _pieces(_resized(rows, layout, self._layout)):
                self._filter.insert(piece)
        self._held = {}

    def _waiting_for(self) -> str:
        known = functools.reduce(_merged, self._held)
        names = ", ".join(repr(name) for name, type_ in known.columns if type_ == NULL)
        count = sum(len(rows) for rows in self._held.values())
        return f"{count} key rows are held until the types of {names}, which held only nulls, are known"

    def _combine(self, other: KeyedFilter, operation: Literal["union", "intersect"]) -> None:
        if not isinstance(other, KeyedFilter):
            raise TypeError(f"other must be a KeyedFilter, not {type(other).__name__}")
        key, layout, held = self._combined(other)
        if layout is None and held and operation == "intersect":
            raise ValueError(f"{(self if self._held else other)._waiting_for()}: they cannot be intersected yet")
        _check_combinable(self._filter, other._filter, operation)  # before any change
        theirs = other._filter
        if operation == "intersect":
            held = self._held
            if other._held:  # the other's rows are its bits and the rows it holds
                assert layout is not None
                theirs = copy.copy(other._filter)
                for held_layout, rows in other._held.items():
                    theirs.insert(_resized(rows, held_layout, layout))
        self._key, self._layout, self._held = key, layout, held
        if operation == "intersect" and layout is not None:
            self._release_held()  # its held rows are part of what is intersected
        mine = self._filter
        if isinstance(mine, Growing):
            assert isinstance(theirs, Growing)
            mine.combine(theirs, operation)
        else:
            assert isinstance(theirs, bloomfilter)
            getattr(mine, operation)(theirs)
            if operation == "union" and self._watch is not None:
                self._watch.recheck()
        if layout is not None:
            self._release_held()

    def _combined(self, other: KeyedFilter) -> tuple[tuple[str, ...] | None, KeyLayout | None, dict[KeyLayout, NDArray[np.uint8]]]:
        """The key, the layout and the held rows of the two together; KeyMismatch
        when the layouts or keys differ."""
        whose = "the other filter's"
        if self._layout is not None:
            for layout in [other._layout, *other._held]:
                if layout is not None:
                    check_layout(self._layout, layout, whose)
            return self._key, self._layout, {**other._held}
        # Not fixed: the layout is the other's, or the one both filters' rows give.
        known = None
        for layout in [*self._held, *filter(None, [other._layout]), *other._held]:
            known = layout if known is None else _merged(known, layout, whose)
        key = self._key
        if known is not None and key is not None and key != known.names:
            # The key and the layout go together: a key of other columns
            # would refuse every table the layout fits.
            names = ", ".join(map(repr, known.names))
            raise KeyMismatch(f"the filter is keyed by {', '.join(map(repr, key))}, the other filter by {names}")
        if key is None and (other._layout is not None or other._held):
            key = other._key
        held = dict(self._held)
        for layout, rows in other._held.items():
            held[layout] = rows if layout not in held else _distinct(np.concatenate([held[layout], rows]))
        return key, None if known is None or _untyped(known) else known, held


def grown(keyed: KeyedFilter, growth: int, ratio: float) -> KeyedFilter:
    """A growing filter whose first layer is the fixed filter of `keyed`,
    its bits kept and full at the capacity `first_layer` gives it, with the
    key, layout and held rows of `keyed`: every row it holds stays present,
    and rows it does not hold go into layers added after it, `growth` times
    larger each at `ratio` times the rate. ValueError for a filter that
    cannot be a layer (k = 0, or so full that the rates of the layers would
    add up to 1 or more)."""
    f = keyed.filter
    layers = Growing.starting_with(f, first_layer(keyed.status().layers[0]), growth, ratio)
    result = KeyedFilter._of_layers(layers, keyed.key)
    result._layout, result._held = keyed.layout, dict(keyed._held)
    return result


NULL = "null"  # the type of a column that held only nulls where it was read


def _check_combinable(mine: bloomfilter | Growing, theirs: bloomfilter | Growing, operation: str) -> None:
    """Refuses, before anything changes, filters whose bits do not combine."""
    if isinstance(mine, Growing) and isinstance(theirs, Growing):
        mine.check_combine(theirs, operation)
    elif isinstance(mine, Growing) or isinstance(theirs, Growing):
        raise ValueError(f"a growing filter and a fixed one do not {operation}: their bits lie in layers of other sizes")
    elif (mine.get_k(), mine.get_m()) != (theirs.get_k(), theirs.get_m()):
        getattr(mine, operation)(theirs)  # refuses, in the filter's words


def check_layout(expected: KeyLayout, found: KeyLayout, whose: str = "the data's") -> None:
    """Raises KeyMismatch when `found` differs from the filter's `expected`.
    A column of type null in `found` fits any type; NumPy layouts make the
    same bytes whatever their version."""
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
        if type_ != their_type and their_type != NULL:
            hint = ""
            if expected.source == "numpy" and {_numpy_dtype(type_).kind, _numpy_dtype(their_type).kind} <= {"U", "S"}:
                hint = (
                    ": NumPy strings of another width are other bytes; key_rows of the table itself"
                    " (pandas, polars, pyarrow) gives strings that have no width"
                )
            raise KeyMismatch(f"column {name!r} has type {type_} in the filter's key but {their_type} in {theirs}{hint}")
    if expected.version != found.version and expected.source == "table":
        raise KeyMismatch(
            f"the filter's key rows are of layout version {expected.version}, {whose} of version {found.version}: "
            "the two make other bytes of some values (NaN, -0.0, empty strings)"
        )


def _merged(known: KeyLayout, found: KeyLayout, whose: str = "the data's") -> KeyLayout:
    """The layout that `known` and `found`, either with columns of type null,
    fit together: each column's type from whichever has one. KeyMismatch
    where both have a type and they differ."""
    if known.source == found.source and len(known.columns) == len(found.columns):
        known = KeyLayout(
            known.source,
            tuple((name, their_type if type_ == NULL else type_) for (name, type_), (_, their_type) in zip(known.columns, found.columns)),
            known.version,
        )
    check_layout(known, found, whose)
    return known


def _untyped(layout: KeyLayout) -> bool:
    return any(type_ == NULL for _, type_ in layout.columns)


def _conformed(rows: _native.Reader | NDArray[np.uint8], found: KeyLayout, layout: KeyLayout) -> _native.Reader | NDArray[np.uint8]:
    """The reader of `found` rows made to give rows of `layout`: its columns
    of type null take the width of the layout's type."""
    if isinstance(rows, np.ndarray) or found.columns == layout.columns:
        return rows
    rows.conform([type_ for _, type_ in layout.columns])
    return rows


def _width(type_: str) -> int:
    return 0 if type_ == NULL else _native.type_width(type_)


def _resized(rows: NDArray[np.uint8], layout: KeyLayout, target: KeyLayout) -> NDArray[np.uint8]:
    """Rows of `layout` as rows of `target`, whose columns match but for
    those of type null in one of them: such a column's value bytes are all
    zero (a null) or absent, so it is widened with zeros or narrowed to its
    validity byte, and rows equal in one layout are equal in the other."""
    parts: list[NDArray[np.uint8]] = []
    at = 0
    for (_, type_), (_, target_type) in zip(layout.columns, target.columns):
        width, target_width = _width(type_), _width(target_type)
        if width == target_width:
            parts.append(rows[:, at : at + 1 + width])
        elif width == 0:
            parts += [rows[:, at : at + 1], np.zeros((len(rows), target_width), dtype=np.uint8)]
        else:
            assert target_width == 0, (layout, target)
            parts.append(rows[:, at : at + 1])
        at += 1 + width
    return np.ascontiguousarray(np.concatenate(parts, axis=1)) if parts else rows


def _contains(held: NDArray[np.uint8], layout: KeyLayout, rows: NDArray[np.uint8], theirs: KeyLayout) -> NDArray[np.bool_]:
    """Which of `rows` (of layout `theirs`) are among the `held` rows (of
    `layout`), compared where both have widths: exactly."""
    both = KeyLayout(
        layout.source,
        tuple((name, NULL if NULL in (type_, their_type) else type_) for (name, type_), (_, their_type) in zip(layout.columns, theirs.columns)),
        layout.version,
    )
    return np.isin(_as_values(_resized(rows, theirs, both)), _as_values(_resized(held, layout, both)))


def _as_values(rows: NDArray[np.uint8]) -> NDArray[np.void]:
    """Each row as one value, for sorting and comparing rows whole."""
    return np.ascontiguousarray(rows).view(np.dtype((np.void, rows.shape[1]))).reshape(len(rows))


def _distinct(rows: NDArray[np.uint8]) -> NDArray[np.uint8]:
    return np.unique(_as_values(rows)).view(np.uint8).reshape(-1, rows.shape[1])


def _given_layout(key: tuple[str, ...] | None, types: object) -> tuple[tuple[str, ...] | None, KeyLayout]:
    """The key and the layout that `types` give, with `key`."""
    if isinstance(types, Mapping):
        columns = [(_given_name(name), _given_type(name, type_)) for name, type_ in types.items()]
    elif hasattr(types, "__arrow_c_schema__"):
        columns = [(name, type_) for name, type_ in _native.schema_types(types.__arrow_c_schema__())]
    else:
        raise TypeError(f"types must be a mapping of column names to types or an Arrow schema, not {type(types).__name__}")
    names = tuple(name for name, _ in columns)
    if not names:
        raise ValueError("types names no columns")
    if len(set(names)) < len(names):
        raise ValueError(f"types names the column {next(n for n in names if names.count(n) > 1)!r} twice")
    if key is None:
        key = None if names == ("",) else names  # one unnamed type: a lone column's
    elif sorted(key) != sorted(names):
        raise ValueError(
            f"types must name exactly the key's columns, {', '.join(map(repr, key))}, not {', '.join(map(repr, names))}"
        )
    types_of = dict(columns)
    return key, KeyLayout("table", tuple((name, types_of[name]) for name in (names if key is None else key)))


def _given_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"types must name columns with str, not {type(name).__name__}")
    return name


def _given_type(name: str, type_: object) -> str:
    """The layout type name of a given type: a name, checked, or an Arrow type's."""
    try:
        if isinstance(type_, str):
            _native.type_width(type_)
            return type_
        if hasattr(type_, "__arrow_c_schema__"):
            found = _native.schema_types(type_.__arrow_c_schema__())
            if len(found) != 1:
                raise TypeError(f"one type is needed, not {len(found)} fields")
            return found[0][1]
    except (TypeError, ValueError) as error:
        # The reader names the lone type it was given column ''.
        message = str(error).removeprefix("column '' ")
        raise type(error)(f"types[{name!r}] {message}" if message != str(error) else f"types[{name!r}]: {message}") from None
    raise TypeError(f"types[{name!r}] must be a layout type name or an Arrow type, not {type(type_).__name__}")


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


def _source(
    data: object, key: tuple[str, ...] | None, version: int
) -> tuple[_native.Reader | NDArray[np.uint8], KeyLayout]:
    """The key rows of a NumPy array, or a reader that makes those of a table
    by the rules of layout `version`."""
    if isinstance(data, np.ndarray):
        return _numpy_rows(data, key)
    if _is_pandas_frame(data):
        data, key = _pandas_columns(data, key)
    stream = getattr(data, "__arrow_c_stream__", None)
    if stream is not None:
        reader = _native.read_stream(stream(), key, version)
    elif (array := getattr(data, "__arrow_c_array__", None)) is not None:
        schema, values = array()
        reader = _native.read_array(schema, values, key, version)
    else:
        raise TypeError(
            "data must be a table or column that exports the Arrow PyCapsule interface (pyarrow, polars, pandas) "
            f"or a NumPy array, not {type(data).__name__}"
        )
    return reader, KeyLayout("table", tuple(reader.columns), version)


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
    # By the class's ancestry, so that a subclass defined elsewhere is a frame
    # too, and without importing pandas for data that is not pandas.
    return any(cls.__name__ == "DataFrame" and cls.__module__.partition(".")[0] == "pandas" for cls in type(data).__mro__)


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
    """The whole dtype of a column: "<i8" for a plain one, the Python literal
    that NumPy builds it from for one with fields or a sub-array ("('<f8',
    (2,))"): the shape and the base type of a sub-array are its bytes too."""
    return dtype.str if dtype.names is None and dtype.subdtype is None else str(_dtype_literal(dtype))


def _dtype_literal(dtype: np.dtype[Any]) -> object:
    if dtype.subdtype is not None:
        base, shape = dtype.subdtype
        return (_dtype_literal(base), shape)
    return dtype.str if dtype.names is None else dtype.descr  # a descr spells out its fields' sub-arrays


def _numpy_dtype(name: str) -> np.dtype[Any]:
    """The dtype that `_dtype_name` gave `name`; ValueError for any other text."""
    try:
        return np.dtype(ast.literal_eval(name) if name[:1] in "([" else name)
    except (SyntaxError, ValueError, TypeError, MemoryError, RecursionError):
        raise ValueError(f"{name!r} is not a NumPy dtype") from None


def _layout_entry(layout: KeyLayout, key: tuple[str, ...] | None) -> bytes:
    record = {
        "version": layout.version,
        "source": layout.source,
        "columns": [list(column) for column in layout.columns],
        "key": None if key is None else list(key),
    }
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode()


def _layout_of_entry(entry: bytes) -> tuple[KeyLayout, tuple[str, ...] | None]:
    """The layout and key that `_layout_entry` stored. The checksum holds, so
    anything else was written by something else: FormatError, whatever it is."""
    try:
        return _checked_entry(entry)
    except _storage.FormatError:
        raise
    except ValueError as error:
        raise _storage.FormatError(f"the key layout in the metadata is not valid: {error}") from None


def _checked_entry(entry: bytes) -> tuple[KeyLayout, tuple[str, ...] | None]:
    # Measured before parsing: the parser recurses once a level.
    depth = _nesting(entry)
    if depth > ENTRY_DEPTH:
        raise ValueError(f"it is nested {depth} levels deep, where a layout has {ENTRY_DEPTH}")
    try:
        record = json.loads(entry)
    except UnicodeDecodeError:
        raise ValueError("it is not UTF-8") from None
    except json.JSONDecodeError as error:
        raise ValueError(f"it is not JSON ({error})") from None
    if not isinstance(record, dict) or sorted(record) != ["columns", "key", "source", "version"]:
        raise ValueError("it is not an object of exactly version, source, columns and key")
    version, source, columns, key = record["version"], record["source"], record["columns"], record["key"]
    if type(version) is not int:  # not a bool, not 1.0
        raise ValueError(f"the version must be an integer, not {version!r}")
    if version > LAYOUT_VERSION:
        raise _storage.FormatError(
            f"key layout version {version} is newer than this reader, which reads version {LAYOUT_VERSION}: "
            "a later woxbloomfilter_tools loads it"
        )
    if version < 1:
        raise ValueError(f"key layout version {version} does not exist")
    if source not in ("table", "numpy"):
        raise ValueError(f"the source must be 'table' or 'numpy', not {source!r}")
    if not isinstance(columns, list) or not all(
        isinstance(column, list) and len(column) == 2 and all(isinstance(part, str) for part in column)
        for column in columns
    ):
        raise ValueError("the columns must be a list of [name, type] pairs of strings")
    if source == "table" and not columns:
        raise ValueError("a table's key has no columns")
    for name, type_ in columns:
        _check_stored_type(source, version, name, type_)
    layout = KeyLayout(source, tuple((name, type_) for name, type_ in columns), version)
    if key is None:
        return layout, None
    if not isinstance(key, list) or not all(isinstance(name, str) for name in key):
        raise ValueError("the key must be null or a list of column names")
    if tuple(key) != layout.names:
        raise ValueError(f"the key {key} names other columns than the layout's {list(layout.names)}")
    return layout, tuple(key)


def _check_stored_type(source: str, version: int, name: str, type_: str) -> None:
    if source == "numpy":
        if _numpy_dtype(type_).hasobject:
            raise ValueError(f"column {name!r} has the NumPy dtype {type_}, which holds references")
    elif type_ != NULL or version > 1:  # version 1 fixed the layout of a column that held only nulls
        try:
            _native.type_width(type_)
        except ValueError:
            raise ValueError(f"column {name!r} has the type {type_!r}, which no key column has") from None


def _nesting(text: bytes) -> int:
    """How deep the arrays and objects of a JSON text nest."""
    skeleton = np.frombuffer(_JSON_STRING.sub(b"", text), dtype=np.uint8)
    steps = np.isin(skeleton, _OPENING).astype(np.int64) - np.isin(skeleton, _CLOSING)
    return int(np.cumsum(steps).max(initial=0))
