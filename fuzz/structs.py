"""Spoiled Arrow C structs fed to woxbloomfilter_tools._native.

Tables, record batches and arrays built with pyarrow are exported through
the C Data Interface and copied into structs and buffers of our own, each
buffer malloc'd at its exact size so that the address sanitizer sees its end.
Then they are spoiled: lengths, offsets and null counts; buffer and child
counts; pointers set to NULL or buffers swapped; formats; the offsets,
dictionary indices, views and view sizes inside buffers; metadata; streams
that fail. Each is handed to read_array or read_stream, its rows filled in
windows, and the reader and mask called with bad arguments too.

The producer's part of the contract is that each buffer holds what its
array's claims need: a length past a buffer's end, values wider than the
buffer, a last string offset past the data, a view buffer's size past its
data. A spoiled table that breaks it is counted as outside the contract and
not read. Everything else must give rows or ValueError / TypeError, and every
struct handed over must be released exactly once; an unspoiled table must
give the rows of the same table read straight from pyarrow.

Prints one JSON line; exits non-zero on a failure. Round r of seed s runs
alone with --seed s --replay r, which a crash's --progress file names.

    python fuzz/structs.py --seconds 60 --seed 1 [--progress FILE]
"""
import argparse
import collections
import ctypes
import json
import os
import random
import re
import struct
import sys
import time
from dataclasses import dataclass, field

import numpy as np
import pyarrow as pa

from woxbloomfilter_tools import _native

SPARE = 2  # NULL slots after each list of pointers, so that a count may grow a little within it
WINDOW_BYTES = 1 << 20  # key rows filled per window


class CSchema(ctypes.Structure):
    pass


class CArray(ctypes.Structure):
    pass


class CStream(ctypes.Structure):
    pass


RELEASE_SCHEMA = ctypes.CFUNCTYPE(None, ctypes.POINTER(CSchema))
RELEASE_ARRAY = ctypes.CFUNCTYPE(None, ctypes.POINTER(CArray))
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(CStream), ctypes.POINTER(CSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(CStream), ctypes.POINTER(CArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(CStream))
RELEASE_STREAM = ctypes.CFUNCTYPE(None, ctypes.POINTER(CStream))

CSchema._fields_ = [("format", ctypes.c_void_p), ("name", ctypes.c_void_p), ("metadata", ctypes.c_void_p),
                    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                    ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]
CArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                   ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                   ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p),
                   ("private_data", ctypes.c_void_p)]
CStream._fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p), ("get_last_error", ctypes.c_void_p),
                    ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]

LIBC = ctypes.CDLL(None)
LIBC.malloc.restype = ctypes.c_void_p
LIBC.malloc.argtypes = [ctypes.c_size_t]
LIBC.free.argtypes = [ctypes.c_void_p]
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
CAPSULE_NAMES = {"schema": b"arrow_schema", "array": b"arrow_array", "stream": b"arrow_array_stream"}


# The data, as plain Python values that a mutation may change freely.

@dataclass
class Schema:
    format: bytes | None
    name: bytes | None
    metadata: bytes | None = None
    children: list = field(default_factory=list)  # Schema or None (a NULL pointer)
    n_children: int = 0
    children_null: bool = False
    dictionary: "Schema | None" = None


@dataclass
class Array:
    length: int
    null_count: int
    offset: int
    buffers: list  # bytes or None (a NULL pointer)
    n_buffers: int
    children: list = field(default_factory=list)  # Array or None
    n_children: int = 0
    buffers_null: bool = False
    children_null: bool = False
    dictionary: "Array | None" = None


# What the reader reads of an array, by its schema's format: the model of the
# producer's obligations.

FIXED = {"c": 1, "C": 1, "s": 2, "S": 2, "i": 4, "I": 4, "l": 8, "L": 8, "f": 4, "g": 8, "tdD": 4, "tdm": 8,
         "tts": 4, "ttm": 4, "ttu": 8, "ttn": 8, "tDs": 8, "tDm": 8, "tDu": 8, "tDn": 8}
INDEX = {"c": 1, "C": 1, "s": 2, "S": 2, "i": 4, "I": 4, "l": 8, "L": 8}
DECIMAL = re.compile(r"d:(\d+),(-?\d+)(?:,(\d+))?")


def value_kind(fmt):
    """("fixed", w), ("bool",), ("null",), ("offsets", 4 | 8), ("view",), or None for a format that is
    refused before any buffer is read."""
    if fmt is None:
        return None
    f = fmt.decode("utf-8", "replace")
    if f in FIXED:
        return ("fixed", FIXED[f])
    if f == "b":
        return ("bool",)
    if f == "n":
        return ("null",)
    if f in ("u", "z"):
        return ("offsets", 4)
    if f in ("U", "Z"):
        return ("offsets", 8)
    if f in ("vu", "vz"):
        return ("view",)
    if re.fullmatch(r"ts[smun]:.*", f, re.S):
        return ("fixed", 8)
    if m := re.fullmatch(r"w:(\d+)", f):
        return ("fixed", int(m.group(1))) if int(m.group(1)) < 2**31 else None
    if m := DECIMAL.fullmatch(f):
        bits = int(m.group(3) or 128)
        return ("fixed", bits // 8) if bits in (32, 64, 128, 256) else None
    return None


def column_kind(schema):
    """The kind of a column's array, and that of its dictionary's values."""
    if schema is None or schema.format is None:
        return None, None
    if schema.dictionary is None:
        return value_kind(schema.format), None
    index = INDEX.get(schema.format.decode("utf-8", "replace"))
    return (("fixed", index) if index else None), value_kind(schema.dictionary.format)


def needs(kind, a):
    """{buffer index: bytes the reader may read} of array `a` read as `kind`, or
    None when the reader refuses it before reading a buffer. Content that
    later needs depend on (offsets, view sizes) is read from `a.buffers`;
    False when the buffers cannot meet what their own claims need."""
    if kind is None or a is None:
        return None
    if a.length < 0 or a.offset < 0 or a.offset + a.length >= 2**63 or not -1 <= a.null_count <= a.length:
        return None
    end = a.offset + a.length
    buffers = list(a.buffers) + [None] * SPARE
    if a.n_buffers > len(buffers) or a.n_children > len(a.children) + SPARE:
        return False  # a pointer list shorter than its count
    if a.n_buffers > 0 and a.buffers_null:
        return None
    present = [buffers[i] if i < a.n_buffers else None for i in range(max(a.n_buffers, 0))]
    need = {}
    if a.null_count != 0 and present and present[0] is not None:
        need[0] = (end + 7) // 8
    if kind[0] == "fixed":
        need[1] = end * kind[1]
    elif kind[0] == "bool":
        need[1] = (end + 7) // 8
    elif kind[0] == "offsets":
        need[1] = (end + 1) * kind[1]
        if len(present) > 1 and present[1] is not None:
            if len(present[1]) < need[1]:
                return False
            last = int.from_bytes(present[1][end * kind[1]:(end + 1) * kind[1]], "little", signed=True)
            need[2] = max(last, 0)
    elif kind[0] == "view":
        need[1] = end * 16
        data = len(present) - 3
        if data > 0 and present[-1] is not None:
            need[len(present) - 1] = data * 8
            if len(present[-1]) < data * 8:
                return False
            for i in range(data):
                need[2 + i] = max(struct.unpack_from("<q", present[-1], 8 * i)[0], 0)
    for i, n in need.items():
        if n > 0 and i < len(present) and present[i] is not None and len(present[i]) < n:
            return False
    return need


def within_contract(schema, batches):
    """Whether every array the reader may read holds what its claims need."""
    if schema is None:
        return True
    counts = [(schema.n_children, len(schema.children))] + [(b.n_children, len(b.children)) for b in batches if b]
    if any(n > have + SPARE for n, have in counts):
        return False
    pairs = []
    table = schema.format == b"+s" and schema.dictionary is None
    for batch in batches:
        if batch is None:
            continue
        if not table:
            pairs.append((schema, batch))
            continue
        if needs(("null",), batch) is False:  # its validity
            return False
        for c, child in enumerate(batch.children):
            if c < len(schema.children):
                pairs.append((schema.children[c], child))
    for field_schema, array in pairs:
        kind, values = column_kind(field_schema)
        if needs(kind, array) is False:
            return False
        if values is not None and array is not None and needs(values, array.dictionary) is False:
            return False
    return True


# Taking pyarrow's exports over as plain values.

def read_metadata(address):
    if not address:
        return None
    count = ctypes.c_int32.from_address(address).value
    at = address + 4
    for _ in range(2 * count):
        at += 4 + ctypes.c_int32.from_address(at).value
    return ctypes.string_at(address, at - address)


def import_schema(address):
    s = CSchema.from_address(address)
    pointers = (ctypes.c_void_p * s.n_children).from_address(s.children) if s.n_children else []
    children = [import_schema(p) for p in pointers]
    return Schema(ctypes.string_at(s.format), ctypes.string_at(s.name) if s.name else None, read_metadata(s.metadata),
                  children, len(children), False, import_schema(s.dictionary) if s.dictionary else None)


def import_array(address, schema):
    """The array at `address`, each buffer copied as far as the array's claims
    need (the validity whatever its null count says: a mutation may change it)."""
    a = CArray.from_address(address)
    pointers = list((ctypes.c_void_p * a.n_buffers).from_address(a.buffers)) if a.n_buffers else []
    kind = ("null",) if schema.format == b"+s" and schema.dictionary is None else column_kind(schema)[0]
    end = a.offset + a.length
    sizes = {0: (end + 7) // 8}
    if kind[0] == "fixed":
        sizes[1] = end * kind[1]
    elif kind[0] == "bool":
        sizes[1] = (end + 7) // 8
    elif kind[0] == "offsets":
        sizes[1] = (end + 1) * kind[1]
        sizes[2] = int.from_bytes(ctypes.string_at(pointers[1] + end * kind[1], kind[1]), "little", signed=True)
    elif kind[0] == "view":
        sizes[1] = end * 16
        sizes[len(pointers) - 1] = 8 * (len(pointers) - 3)
        for i in range(len(pointers) - 3):
            sizes[2 + i] = ctypes.c_int64.from_address(pointers[-1] + 8 * i).value
    buffers = [ctypes.string_at(p, sizes.get(i, 0)) if p else None for i, p in enumerate(pointers)]
    children = list((ctypes.c_void_p * a.n_children).from_address(a.children)) if a.n_children else []
    return Array(a.length, a.null_count, a.offset, buffers, a.n_buffers,
                 [import_array(p, schema.children[c]) for c, p in enumerate(children)], len(children),
                 dictionary=import_array(a.dictionary, schema.dictionary) if a.dictionary else None)


def import_export(obj):
    """(schema, array) of an object's __arrow_c_array__; pyarrow keeps nothing of ours."""
    schema_capsule, array_capsule = obj.__arrow_c_array__()
    schema = import_schema(capsule_pointer(schema_capsule, b"arrow_schema"))
    return schema, import_array(capsule_pointer(array_capsule, b"arrow_array"), schema)


# Handing the values over as structs of ours.

class Handover:
    """Structs and buffers made for one call, freed after it. Roots (a
    schema, an array or a stream handed over) count their releases."""

    def __init__(self):
        self.allocations, self.keep, self.releases, self.roots = [], [], collections.Counter(), {}
        self.child_release_schema = RELEASE_SCHEMA(lambda p: setattr(p.contents, "release", None))
        self.child_release_array = RELEASE_ARRAY(lambda p: setattr(p.contents, "release", None))

        def released(p):
            self.releases[p.contents.private_data] += 1
            p.contents.release = None

        self.root_release_schema, self.root_release_array = RELEASE_SCHEMA(released), RELEASE_ARRAY(released)

    def malloc(self, data):
        address = LIBC.malloc(max(len(data), 1))
        ctypes.memmove(address, data, len(data))
        self.allocations.append(address)
        return address

    def pointers(self, items, null):
        if null:
            return None
        return self.malloc(b"".join(struct.pack("<Q", item or 0) for item in list(items) + [None] * SPARE))

    def text(self, data):
        if data is None:
            return None
        buffer = ctypes.create_string_buffer(data)
        self.keep.append(buffer)
        return ctypes.addressof(buffer)

    def schema(self, s, root_id=None):
        c = CSchema()
        c.format, c.name = self.text(s.format), self.text(s.name)
        c.metadata = self.malloc(s.metadata) if s.metadata is not None else None
        c.n_children = s.n_children
        c.children = self.pointers([self.schema(child) if child else None for child in s.children], s.children_null)
        c.dictionary = self.schema(s.dictionary) if s.dictionary else None
        c.release = ctypes.cast(self.root_release_schema if root_id else self.child_release_schema, ctypes.c_void_p)
        c.private_data = root_id
        self.keep.append(c)
        if root_id:
            self.roots[root_id] = c
        return ctypes.addressof(c)

    def array(self, a, root_id=None):
        c = CArray()
        c.length, c.null_count, c.offset, c.n_buffers, c.n_children = a.length, a.null_count, a.offset, a.n_buffers, a.n_children
        c.buffers = self.pointers([self.malloc(b) if b is not None else None for b in a.buffers], a.buffers_null)
        c.children = self.pointers([self.array(child) if child else None for child in a.children], a.children_null)
        c.dictionary = self.array(a.dictionary) if a.dictionary else None
        c.release = ctypes.cast(self.root_release_array if root_id else self.child_release_array, ctypes.c_void_p)
        c.private_data = root_id
        self.keep.append(c)
        if root_id:
            self.roots[root_id] = c
        return ctypes.addressof(c)

    def stream(self, schema, batches, fail_at, last_error):
        """A stream handing out `schema` and then `batches`, failing at batch
        `fail_at` (-1: at its schema; None: never)."""
        state = {"next": 0, "schema given": False}
        made_schema = self.schema(schema, root_id=1)
        made = [self.array(b, root_id=10 + i) for i, b in enumerate(batches)]
        error = self.text(b"the producer broke" if last_error else None)

        def get_schema(stream, out):
            if fail_at == -1:
                return 5
            ctypes.memmove(out, made_schema, ctypes.sizeof(CSchema))
            CSchema.from_address(made_schema).release = None
            state["schema given"] = True
            return 0

        def get_next(stream, out):
            if state["next"] == fail_at:
                return 22
            if state["next"] < len(made):
                ctypes.memmove(out, made[state["next"]], ctypes.sizeof(CArray))
                CArray.from_address(made[state["next"]]).release = None
                state["next"] += 1
                return 0
            ctypes.memset(out, 0, ctypes.sizeof(CArray))
            return 0

        def release(stream):
            self.releases[2] += 1
            stream.contents.release = None

        callbacks = [GET_SCHEMA(get_schema), GET_NEXT(get_next), GET_LAST_ERROR(lambda s: error), RELEASE_STREAM(release)]
        self.keep += callbacks
        c = CStream(*(ctypes.cast(cb, ctypes.c_void_p) for cb in callbacks), None)
        self.keep.append(c)
        self.roots[2] = c
        return ctypes.addressof(c)

    def check(self):
        """Every root handed over (marked released at its source) released once, the others never."""
        problems = []
        for root_id, c in self.roots.items():
            taken = c.release is None
            if self.releases[root_id] != (1 if taken else 0):
                problems.append(f"root {root_id} {'taken' if taken else 'not taken'}, released {self.releases[root_id]} times")
        return problems

    def free(self):
        for root_id, c in self.roots.items():
            if c.release is not None and root_id != 2:  # never taken: ours to release (only counts)
                c.release = None
        for address in self.allocations:
            LIBC.free(address)
        self.allocations = []


# Data to spoil.

def random_column(rng, n):
    kind = rng.choice(["int8", "uint64", "int64", "float32", "float64", "bool", "null", "string", "large_string",
                       "string_view", "binary", "large_binary", "binary_view", "fixed3", "decimal", "timestamp",
                       "date32", "dict8", "dict64", "dict_view"])
    nulls = [rng.random() < 0.2 for _ in range(n)]
    texts = [None if z else rng.choice(["", "a", "xyz", "twelve bytes", "a value longer than twelve bytes"]) for z in nulls]
    ints = [None if z else rng.randrange(-100, 100) for z in nulls]
    if kind in ("int8", "int64", "uint64", "float32", "float64"):
        values = [None if v is None else (abs(v) if kind == "uint64" else v) for v in ints]
        return pa.array(values, getattr(pa, kind)())
    if kind == "bool":
        return pa.array([None if v is None else v > 0 for v in ints], pa.bool_())
    if kind == "null":
        return pa.nulls(n)
    if kind in ("string", "large_string", "string_view"):
        return pa.array(texts, getattr(pa, kind)())
    if kind in ("binary", "large_binary", "binary_view"):
        return pa.array([None if t is None else t.encode() for t in texts], getattr(pa, kind)())
    if kind == "fixed3":
        return pa.array([None if t is None else (t.encode() + b"___")[:3] for t in texts], pa.binary(3))
    if kind == "decimal":
        return pa.array([None if v is None else v for v in ints], pa.decimal128(10, 2))
    if kind == "timestamp":
        return pa.array(ints, pa.timestamp("us", tz="UTC"))
    if kind == "date32":
        return pa.array(ints, pa.date32())
    dictionary = pa.array(["p", "", "a value longer than twelve bytes", None],
                          pa.string_view() if kind == "dict_view" else pa.string())
    index_type = pa.uint64() if kind == "dict64" else pa.int8()
    return pa.DictionaryArray.from_arrays(pa.array([None if z else rng.randrange(4) for z in nulls], index_type), dictionary)


def random_data(rng):
    """(pyarrow object, how it is handed over): a lone array, a record batch, or a stream of batches."""
    n = rng.randrange(0, 40)
    pad = rng.randrange(0, 3)
    columns = [random_column(rng, n + 2 * pad) for _ in range(rng.randrange(1, 4))]
    table = pa.table(columns, names=[f"c{i}" for i in range(len(columns))]).slice(pad, n)
    shape = rng.choice(["array", "batch", "stream"])
    if shape == "array":
        return table.column(0).combine_chunks(), shape
    if shape == "batch":
        return table.combine_chunks().to_batches()[0] if n else pa.record_batch(columns, names=table.column_names).slice(0, 0), shape
    cuts = sorted(rng.randrange(0, n + 1) for _ in range(rng.randrange(0, 3)))
    pieces = [table.slice(a, b - a) for a, b in zip([0, *cuts], [*cuts, n])]
    batches = [batch for piece in pieces for batch in piece.to_batches()]
    return batches or [pa.record_batch(columns, names=table.column_names).slice(0, 0)], shape


# Spoiling.

FORMATS = [b"l", b"c", b"g", b"u", b"U", b"vu", b"z", b"n", b"b", b"w:3", b"w:9223372036854775807", b"w:-1", b"w:",
           b"d:10,2", b"d:10,2x", b"d:99999999999999999999,2", b"d:10,2,512", b"tsu:UTC", b"tsx:", b"+s", b"+l", b"e",
           b"", b"\xff"]
INTS = [-1, -2**63, 0, 1, 2, 3, 2**31 - 1, 2**31, 2**62, 2**63 - 1, 10**7]


def nodes(schema, batches):
    """Every schema and array node, with the arrays' schemas where known."""
    schemas, arrays = [], []

    def walk_schema(s):
        if s is None:
            return
        schemas.append(s)
        for child in s.children:
            walk_schema(child)
        walk_schema(s.dictionary)

    def walk_array(a, s):
        if a is None:
            return
        arrays.append((a, s))
        for c, child in enumerate(a.children):
            walk_array(child, s.children[c] if s is not None and c < len(s.children) else None)
        walk_array(a.dictionary, s.dictionary if s is not None else None)

    walk_schema(schema)
    for batch in batches:
        walk_array(batch, schema)
    return schemas, arrays


def put_int(data, at, size, value):
    data = bytearray(data)
    if at + size <= len(data):
        data[at:at + size] = (value % 2 ** (8 * size)).to_bytes(size, "little")
    return bytes(data)


def spoil(rng, schema, batches, stream):
    """One mutation, in place; returns its name."""
    schemas, arrays = nodes(schema, batches)
    a, a_schema = rng.choice(arrays)
    s = rng.choice(schemas)
    op = rng.randrange(16)
    if op == 0:
        name = rng.choice(["length", "offset", "null_count", "n_buffers", "n_children"])
        value = rng.choice(INTS + [getattr(a, name) + rng.choice([-1, 1, 2])])
        setattr(a, name, value)
        return f"array {name}"
    if op == 1:
        a.buffers_null = True
        return "NULL buffers"
    if op == 2 and a.buffers:
        a.buffers[rng.randrange(len(a.buffers))] = None
        return "a NULL buffer"
    if op == 3 and len(a.buffers) > 1:
        i, j = rng.sample(range(len(a.buffers)), 2)
        a.buffers[i], a.buffers[j] = a.buffers[j], a.buffers[i]
        return "buffers swapped"
    if op == 4:
        if a.children and rng.random() < 0.5:
            a.children[rng.randrange(len(a.children))] = None
            return "a NULL child"
        if a.dictionary is not None and rng.random() < 0.5:
            a.dictionary = None
            return "a NULL dictionary"
        a.children_null = True
        return "NULL children"
    if op == 5:
        s.format = None if rng.random() < 0.2 else rng.choice(FORMATS)
        return "a format"
    if op == 6:
        what = rng.randrange(4)
        if what == 0:
            s.children_null = True
        elif what == 1 and s.children:
            s.children[rng.randrange(len(s.children))] = None
        elif what == 2:
            s.n_children = rng.choice([-1, 0, s.n_children + 1, s.n_children - 1, s.n_children + 2])
        else:
            s.dictionary = None if s.dictionary else Schema(rng.choice([b"u", b"l", b"vu"]), b"")
        return "schema children"
    if op == 7:
        s.metadata = rng.choice([struct.pack("<i", -1), struct.pack("<ii", 1, -5), struct.pack("<ii", 1, 2**31 - 1) + b"abc",
                                 struct.pack("<ii", 1, 2**26) + b"x", struct.pack("<iii", 1, 0, -1)])
        return "metadata"
    kind, values = column_kind(a_schema) if a_schema is not None and a_schema.format != b"+s" else (None, None)
    if op in (8, 9) and kind and kind[0] == "offsets" and len(a.buffers) > 1 and a.buffers[1]:
        width = kind[1]
        entries = len(a.buffers[1]) // width
        a.buffers[1] = put_int(a.buffers[1], width * rng.randrange(max(entries, 1)), width,
                               rng.choice([-1, 0, 1, 5, 2**31 - 1, -2**31, rng.randrange(-3, 60)]))
        return "an offset"
    if op == 10 and kind and kind[0] == "fixed" and values is not None and len(a.buffers) > 1 and a.buffers[1]:
        width = kind[1]
        a.buffers[1] = put_int(a.buffers[1], width * rng.randrange(max(len(a.buffers[1]) // width, 1)), width,
                               rng.choice([-1, 3, 4, 2**63 + 5, 2**31, rng.randrange(0, 6)]))
        return "a dictionary index"
    if op in (11, 12) and kind == ("view",) and len(a.buffers) > 1 and a.buffers[1]:
        views = len(a.buffers[1]) // 16
        at = 16 * rng.randrange(max(views, 1)) + rng.choice([0, 8, 12])
        a.buffers[1] = put_int(a.buffers[1], at, 4, rng.choice([-1, 0, 13, 100, 2**31 - 1, -2**31, rng.randrange(0, 40)]))
        return "a view"
    if op == 13 and kind == ("view",) and len(a.buffers) > 3 and a.buffers[-1]:
        a.buffers[-1] = put_int(a.buffers[-1], 8 * rng.randrange(len(a.buffers[-1]) // 8 or 1), 8,
                                rng.choice([-1, 0, 5, 2**62]))
        return "a view buffer's size"
    if op == 14 and stream is not None:
        stream["fail at"] = rng.choice([-1, 0, 1, 2])
        stream["last error"] = rng.random() < 0.5
        return "a failing stream"
    if op == 15 and a.buffers and a.buffers[0]:
        a.buffers[0] = bytes(rng.randrange(256) for _ in a.buffers[0])
        return "validity bits"
    return "nothing"


# One round.

EXPECTED = (ValueError, TypeError, BufferError)  # BufferError: a read-only out buffer


def fill_windows(rng, reader, tally):
    """Rows from the start, up to the end, and a stretch between, each of a
    random length up to a window: a range that ends before its array's end is
    read too."""
    rows, width = reader.rows, reader.width
    take = max(1, WINDOW_BYTES // width)
    out = []
    middle = rng.randrange(rows) if rows else 0
    for first, last in ((0, rng.randrange(rows + 1)), (max(0, rows - rng.randrange(1, take + 1)), rows), (middle, rows)):
        n = min(take, last - first, rng.randrange(1, take + 1))
        piece = np.empty((max(n, 0), width), np.uint8)
        try:
            reader.fill(first, piece)
            out.append((first, piece))
        except EXPECTED as error:
            tally[f"fill refused: {refusal(error)}"] += 1
            return None
    return out


def refusal(error):
    """An error's message without the numbers and names that vary."""
    return re.sub(r"'[^']*'|-?\d+", "_", str(error))[:90]


def bad_calls(rng, reader, tally):
    """The reader's and mask's entry points with arguments a caller may get wrong."""
    rows, width = reader.rows, reader.width
    calls = [
        lambda: reader.fill(rng.choice([-1, rows, rows + 1, 2**63 - 1, -2**63]), np.empty((1, width), np.uint8)),
        lambda: reader.fill(max(rows - 2, 0), np.empty((3, width), np.uint8)),
        lambda: reader.fill(0, np.empty((1, width + 1), np.uint8)),
        lambda: reader.fill(0, np.empty((2, width), np.uint8)[:, ::-1] if width > 1 else np.empty(3, np.int64)),
        lambda: reader.fill(0, bytes(width)),
        lambda: reader.conform(rng.choice([[], ["int64"] * len(reader.columns), ["nonsense"], [t for _, t in reader.columns]])),
        lambda: _native.mask(rng.choice([[True, 1], [], [False] * 3]), bytearray(rng.randrange(4))),
    ]
    for _ in range(2):
        try:
            rng.choice(calls)()
            tally["bad call passed"] += 1
        except EXPECTED as error:
            tally[f"bad call refused: {refusal(error)}"] += 1


def one_round(rng, tally, failures, verbose=False):
    data, shape = random_data(rng)
    if shape == "stream":
        imported = [import_export(batch) for batch in data]
        schema, batches = imported[0][0], [array for _, array in imported]
    else:
        schema, array = import_export(data)
        batches = [array]
    version = rng.choice([2, 2, 2, 1])
    stream = {"fail at": None, "last error": True} if shape == "stream" else None
    mutations = rng.choice([0, 1, 1, 1, 2, 3])
    names = []
    for _ in range(mutations):
        name = "nothing"
        for _ in range(10):  # most mutations need a node of some kind
            if (name := spoil(rng, schema, batches, stream)) != "nothing":
                break
        names.append(name)
    if rng.random() < 0.02:
        version = rng.choice([0, 3, -1])
        names.append("version")
    tally[f"{mutations} mutations"] += 1
    for name in names:
        tally[f"mutation: {name}"] += 1
    if verbose:
        print(f"{shape} of {len(batches)} batch(es), version {version}, mutations: {names}", flush=True)
        print(schema, batches, sep="\n", flush=True)
    if not within_contract(schema, batches):
        tally["outside the contract, not read"] += 1
        return
    made = Handover()
    reader = rows = None
    try:
        if shape == "stream":
            capsule = capsule_new(made.stream(schema, batches, stream["fail at"], stream["last error"]), CAPSULE_NAMES["stream"], None)
            reader = _native.read_stream(capsule, None, version)
        else:
            schema_capsule = capsule_new(made.schema(schema, root_id=1), CAPSULE_NAMES["schema"], None)
            array_capsule = capsule_new(made.array(batches[0], root_id=10), CAPSULE_NAMES["array"], None)
            reader = _native.read_array(schema_capsule, array_capsule, None, version)
        tally["read"] += 1
        rows = fill_windows(rng, reader, tally)
        if rows is not None:
            tally["rows filled"] += 1
        bad_calls(rng, reader, tally)
    except EXPECTED as error:
        tally[f"refused: {refusal(error)}"] += 1
    except Exception as error:  # anything else is a fault
        failures.append(f"{type(error).__name__}: {error} after {names}")
    if mutations == 0 and version in (1, 2) and reader is not None and rows is not None:
        expected = straight_rows(data, shape, version)
        for first, piece in rows:
            if not np.array_equal(piece, expected[first:first + len(piece)]):
                failures.append(f"unspoiled {shape} read through our structs gives other rows than pyarrow's own")
                break
    del reader
    failures.extend(made.check())
    made.free()


def straight_rows(data, shape, version):
    if shape == "stream":
        reader = _native.read_stream(pa.RecordBatchReader.from_batches(data[0].schema, data).__arrow_c_stream__(), None, version)
    else:
        reader = _native.read_array(*data.__arrow_c_array__(), None, version)
    out = np.empty((reader.rows, reader.width), np.uint8)
    reader.fill(0, out)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--progress", help="a file that holds the number of the round under way, for a crash")
    parser.add_argument("--replay", type=int, help="run this round alone and print what it did")
    args = parser.parse_args()
    tally, failures = collections.Counter(), []
    if args.replay is not None:
        one_round(random.Random(f"{args.seed}/{args.replay}"), tally, failures, verbose=True)
        print(json.dumps({"failures": failures, "tally": dict(sorted(tally.items()))}, indent=1))
        return 1 if failures else 0
    progress = os.open(args.progress, os.O_WRONLY | os.O_CREAT | os.O_TRUNC) if args.progress else None
    started = time.monotonic()
    rounds = 0
    while time.monotonic() - started < args.seconds and len(failures) < 20:
        if progress is not None:
            os.pwrite(progress, f"{rounds:<12}\n".encode(), 0)
        one_round(random.Random(f"{args.seed}/{rounds}"), tally, failures)
        rounds += 1
    print(json.dumps({"rounds": rounds, "seconds": round(time.monotonic() - started, 1), "failures": failures,
                      "tally": dict(sorted(tally.items()))}))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
