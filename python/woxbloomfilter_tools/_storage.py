"""Filters stored in files: a header, the byte form and a checksum, saved so
that a crash never leaves half a file, and loaded with one copy of the bits.

The layout of a filter (all integers little-endian; docs/stored-filters.md):

    offset      size  field
    0           8     magic number 89 57 42 46 0d 0a 1a 0a
    8           4     format version, 1
    12          4     metadata length L
    16          8     k
    24          8     m
    32          8     length B of the byte form, (m + 7) // 8
    40          L     metadata entries: a 4-byte tag, a 4-byte length n, n bytes
    40 + L      B     the byte form, as to_bytes() gives it
    40 + L + B  8     XXH3-64 (seed 0) of every byte before it

A growing filter of c layers is format version 2: after the magic number,
the version and L, the count c (8 bytes) and then k, m and B of each layer,
oldest first (24 bytes each); the metadata; the layers' byte forms, in the
same order; and the checksum of every byte before it.
"""

from __future__ import annotations

import contextlib
import io
import mmap
import os
import secrets
import stat
import struct
from collections.abc import Buffer, Iterator, Sequence
from dataclasses import dataclass
from typing import Protocol

import xxhash

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import _growing
from woxbloomfilter_tools._growing import SIZE_TAG, Capacity, Growing

MAGIC = b"\x89WBF\r\n\x1a\n"
VERSION = 1  # a filter of one layer, as every filter before growing ones
LAYERED = 2  # a growing filter; the newest version this reader reads
HEADER = struct.Struct("<8sIIQQQ")
LAYERED_HEADER = struct.Struct("<8sIIQ")  # then a LAYER for each layer
LAYER = struct.Struct("<QQQ")  # k, m, B
ENTRY = struct.Struct("<4sI")  # a metadata entry's tag and length
CHECKSUM = 8
# Streams are read in pieces of this size, so a damaged header that
# announces more than the stream holds costs no more memory than the stream.
CHUNK = 16 << 20


class FormatError(ValueError):
    """The data is not a stored filter, or not an intact one."""


class Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...


class Writable(Protocol):
    def write(self, data: Buffer, /) -> object: ...


def dumps(f: bloomfilter) -> bytes:
    """The stored form of `f`, as `save` writes it."""
    _check_filter(f)
    return b"".join(_stored(f, _metadata(f, _growing.capacity(f), {})))


def loads(data: Buffer) -> bloomfilter:
    """The filter stored in `data`, any C-contiguous bytes-like object.

    Raises FormatError when `data` is not an intact stored filter, or holds
    a growing filter (KeyedFilter.load reads those)."""
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"data must be a bytes-like object, not {type(data).__name__}") from None
    with view:
        if not view.c_contiguous:
            raise BufferError("data must be a C-contiguous buffer")
        with view.cast("B") as raw:
            return _plain(*_from_buffer(raw, growing=False))


def save(f: bloomfilter, file: str | os.PathLike[str] | Writable) -> None:
    """Store `f` in `file`: a path, or a binary file object to write to.

    To a path, the filter is written to a new file beside it, flushed to the
    disk and then renamed over the path, so that the path holds the old file
    or the new one, complete, whatever happens to the process. A file object
    is only written to, from its position. The capacity (n, p) that `sized`
    recorded for `f` is stored with it."""
    _check_filter(f)
    save_with_metadata(f, file, {}, _growing.capacity(f))


def save_with_metadata(
    f: bloomfilter | Growing,
    file: str | os.PathLike[str] | Writable,
    entries: dict[bytes, bytes],
    capacity: Capacity | None = None,
) -> None:
    """`save`, with metadata entries (tag of 4 bytes to value) after the
    capacity: a bloomfilter's as given, a growing filter's its own."""
    if not isinstance(f, Growing):
        _check_filter(f)
    assert all(len(tag) == ENTRY.size - 4 for tag in entries)
    pieces = _stored(f, _metadata(f, capacity, entries))
    if isinstance(file, (str, os.PathLike)):
        _save_to_path(pieces, os.fsdecode(file))
    elif hasattr(file, "write"):
        _check_binary(file, "wb")
        for piece in pieces:
            _write_all(file, piece)
    else:
        raise TypeError(f"file must be a path or a binary file object, not {type(file).__name__}")


def load(file: str | os.PathLike[str] | Readable) -> bloomfilter:
    """The filter stored in `file`: a path, or a binary file object, read
    from its position to its end. The capacity stored with it, if any, is
    recorded for it (see `capacity`).

    Raises FormatError when the file is not an intact stored filter, or
    holds a growing filter (KeyedFilter.load reads those); a path that does
    not exist raises FileNotFoundError."""
    return _plain(*_load(file, growing=False))


def load_with_metadata(file: str | os.PathLike[str] | Readable) -> tuple[bloomfilter | Growing, dict[bytes, bytes]]:
    """`load`, of growing filters too, and the metadata entries: tag to
    value. Where `load` skips the metadata, this refuses a block that does
    not divide into entries."""
    f, metadata = _load(file, growing=True)
    entries = _entries(metadata)
    if isinstance(f, bloomfilter) and SIZE_TAG in entries:
        _growing.record(f, _growing.read_size_entry(entries[SIZE_TAG], growing=False)[0])
    return f, entries


def _plain(f: bloomfilter | Growing, metadata: bytes) -> bloomfilter:
    """The filter of a plain load, with its capacity recorded; metadata that
    does not divide into entries is skipped, as it always was."""
    assert isinstance(f, bloomfilter)
    try:
        entries = _entries(metadata)
    except FormatError:
        return f
    if SIZE_TAG in entries:
        _growing.record(f, _growing.read_size_entry(entries[SIZE_TAG], growing=False)[0])
    return f


def _load(file: str | os.PathLike[str] | Readable, growing: bool) -> tuple[bloomfilter | Growing, bytes]:
    if isinstance(file, (str, os.PathLike)):
        return _load_path(os.fsdecode(file), growing)
    if hasattr(file, "read"):
        _check_binary(file, "rb")
        return _from_stream(file, growing)
    hint = "; loads reads a stored filter from memory" if isinstance(file, (bytes, bytearray, memoryview)) else ""
    raise TypeError(f"file must be a path or a binary file object, not {type(file).__name__}{hint}")


def _check_filter(f: object) -> None:
    if not isinstance(f, bloomfilter):
        raise TypeError(f"f must be a woxbloomfilter.bloomfilter, not {type(f).__name__}")


def _metadata(f: bloomfilter | Growing, capacity: Capacity | None, entries: dict[bytes, bytes]) -> bytes:
    """The metadata block: the capacity first, then the other entries."""
    if isinstance(f, Growing):
        size: bytes | None = f.size_entry()
    else:
        size = None if capacity is None else _growing.size_entry(capacity)
    every = entries if size is None else {SIZE_TAG: size, **entries}
    return b"".join(ENTRY.pack(tag, len(value)) + value for tag, value in every.items())


def _stored(f: bloomfilter | Growing, metadata: bytes) -> list[bytes]:
    """Header with metadata, byte forms and checksum. The byte forms are made
    before any file is touched: a filter that cannot give them leaves the
    disk as it was."""
    if isinstance(f, Growing):
        shapes = f.shapes()
        layers = [f.layer_bytes(i) for i in range(len(shapes))]
        head = LAYERED_HEADER.pack(MAGIC, LAYERED, len(metadata), len(shapes))
        head += b"".join(LAYER.pack(k, m, len(bits)) for (k, m), bits in zip(shapes, layers)) + metadata
    else:
        layers = [f.to_bytes()]
        head = HEADER.pack(MAGIC, VERSION, len(metadata), f.get_k(), f.get_m(), len(layers[0])) + metadata
    digest = xxhash.xxh3_64(head)
    for bits in layers:
        digest.update(bits)
    return [head, *layers, digest.intdigest().to_bytes(CHECKSUM, "little")]


def _entries(metadata: bytes) -> dict[bytes, bytes]:
    """The metadata entries, tag to value; the checksum holds, so a block
    that does not divide into entries was written wrong."""
    entries: dict[bytes, bytes] = {}
    at = 0
    while at < len(metadata):
        if at + ENTRY.size > len(metadata):
            raise FormatError(f"malformed metadata: {len(metadata) - at} bytes at offset {at} are too few for an entry")
        tag, length = ENTRY.unpack_from(metadata, at)
        at += ENTRY.size
        if at + length > len(metadata):
            raise FormatError(f"malformed metadata: the entry {tag!r} runs past the end of the metadata")
        if tag in entries:
            raise FormatError(f"malformed metadata: the entry {tag!r} is there twice")
        entries[tag] = metadata[at : at + length]
        at += length
    return entries


def _check_binary(file: object, mode: str) -> None:
    if isinstance(file, io.TextIOBase):
        raise TypeError(f"file must be opened in binary mode ('{mode}'), not as text")


@dataclass(frozen=True)
class _Frame:
    """Where the parts of a stored filter lie, from its header."""

    version: int
    head: int  # bytes of the header, a growing filter's table of layers included
    meta_length: int
    layers: tuple[tuple[int, int, int], ...]  # k, m and the byte form's length B of each layer

    @property
    def bits(self) -> int:
        return sum(length for _, _, length in self.layers)

    @property
    def size(self) -> int:
        return self.head + self.meta_length + self.bits + CHECKSUM


def _header_length(head: bytes, growing: bool) -> int:
    """The length of the header, from the first bytes of a stored filter (all
    of them when there are fewer than 40)."""
    if not head:
        raise FormatError("not a stored filter: it is empty")
    if head[: len(MAGIC)] != MAGIC[: len(head)]:
        raise FormatError(f"not a stored filter: it does not begin with the magic number {MAGIC.hex(' ')}")
    version = int.from_bytes(head[8:12], "little") if len(head) >= 12 else VERSION
    if version > LAYERED:
        raise FormatError(
            f"format version {version} is newer than this reader, which reads versions {VERSION} and {LAYERED}: "
            "a later woxbloomfilter_tools loads it"
        )
    if version < 1:
        raise FormatError(f"not a stored filter: format version {version} does not exist")
    if version == VERSION:
        if len(head) < HEADER.size:
            raise FormatError(f"truncated: {len(head)} bytes, fewer than the {HEADER.size} of the header")
        return HEADER.size
    if not growing:
        raise FormatError(
            "it holds a growing filter, which load cannot give as one bloomfilter: KeyedFilter.load reads it"
        )
    if len(head) < LAYERED_HEADER.size:
        raise FormatError(f"truncated: {len(head)} bytes, fewer than the {LAYERED_HEADER.size} of the header")
    count: int = LAYERED_HEADER.unpack_from(head)[3]
    if count == 0:
        raise FormatError("the header contradicts itself: a growing filter of 0 layers")
    return LAYERED_HEADER.size + count * LAYER.size


def _frame(head: bytes) -> _Frame:
    """The frame of a stored filter from its whole header, which
    _header_length measured."""
    if int.from_bytes(head[8:12], "little") == VERSION:
        _, version, meta_length, k, m, length = HEADER.unpack(head)
        if length != (m + 7) // 8:
            raise FormatError(
                f"the header contradicts itself: m = {m} bits take {(m + 7) // 8} bytes, but it gives {length}"
            )
        return _Frame(version, HEADER.size, meta_length, ((k, m, length),))
    _, version, meta_length, count = LAYERED_HEADER.unpack_from(head)
    need = LAYERED_HEADER.size + count * LAYER.size
    if len(head) < need:
        raise FormatError(f"truncated: {len(head)} bytes, fewer than the {need} of the header and its {count} layers")
    layers = tuple(LAYER.unpack_from(head, LAYERED_HEADER.size + i * LAYER.size) for i in range(count))
    for i, (_, m, length) in enumerate(layers):
        if length != (m + 7) // 8:
            raise FormatError(
                f"the header contradicts itself: layer {i} has m = {m} bits, which take {(m + 7) // 8} bytes, "
                f"but it gives {length}"
            )
    return _Frame(version, need, meta_length, layers)


def _check_size(size: int, frame: _Frame) -> None:
    if size < frame.size:
        raise FormatError(f"truncated: {size} bytes of the {frame.size} that the header announces")
    if size > frame.size:
        raise FormatError(
            f"data after the end of the stored filter: {size} bytes where the header announces {frame.size}"
        )


def _check_sum(stored: bytes, computed: int) -> None:
    found = int.from_bytes(stored, "little")
    if found != computed:
        raise FormatError(f"checksum mismatch: the data is damaged (stored {found:016x}, computed {computed:016x})")


def _filter(frame: _Frame, metadata: bytes, bits: memoryview) -> bloomfilter | Growing:
    """The filter of an intact stored form: `bits` holds the byte forms, one
    after another."""
    if frame.version == VERSION:
        k, m, _ = frame.layers[0]
        # __setstate__ copies straight from any buffer: one copy, as pickle makes.
        f = bloomfilter.__new__(bloomfilter)
        f.__setstate__((k, m, bits))
        return f
    entries = _entries(metadata)
    if SIZE_TAG not in entries:
        raise FormatError("a growing filter without its capacity: the metadata has no size entry")
    capacity, growth, ratio = _growing.read_size_entry(entries[SIZE_TAG], growing=True)
    assert growth is not None and ratio is not None
    grown = Growing(capacity, growth, ratio)
    at = 0
    for i, (k, m, length) in enumerate(frame.layers):
        with bits[at : at + length] as layer:
            try:
                grown.restore_layer(k, m, layer)
            except ValueError as error:
                raise FormatError(f"layer {i} cannot be loaded: {error}") from None
        at += length
    return grown


def _from_buffer(view: memoryview, growing: bool) -> tuple[bloomfilter | Growing, bytes]:
    """The filter in a one-dimensional view of bytes, and its metadata. Every
    slice is released before returning, so that a mapped file can be closed
    after."""
    need = _header_length(bytes(view[: HEADER.size]), growing)
    frame = _frame(bytes(view[:need]))
    _check_size(len(view), frame)
    start = frame.head + frame.meta_length
    end = start + frame.bits
    with view[:end] as covered:
        computed = xxhash.xxh3_64_intdigest(covered)
    _check_sum(bytes(view[end:]), computed)
    metadata = bytes(view[frame.head : start])
    with view[start:end] as bits:
        return _filter(frame, metadata, bits), metadata


def _read(file: Readable, size: int) -> bytearray:
    """Up to `size` bytes, fewer only where the stream ends."""
    data = bytearray()
    while len(data) < size:
        piece = file.read(min(size - len(data), CHUNK))
        if not isinstance(piece, (bytes, bytearray)):
            hint = ": open the file in binary mode" if isinstance(piece, str) else ""
            raise TypeError(f"file.read() must return bytes, not {type(piece).__name__}{hint}")
        if not piece:
            break
        data += piece
    return data


def _from_stream(file: Readable, growing: bool) -> tuple[bloomfilter | Growing, bytes]:
    head = bytes(_read(file, HEADER.size))
    need = _header_length(head, growing)
    head += _read(file, need - len(head))
    frame = _frame(head)
    meta = _read(file, frame.meta_length)
    bits = _read(file, frame.bits)
    stored = bytes(_read(file, CHECKSUM))
    size = len(head) + len(meta) + len(bits) + len(stored)
    if size == frame.size and _read(file, 1):
        raise FormatError("data after the end of the stored filter")
    _check_size(size, frame)
    digest = xxhash.xxh3_64(head)
    digest.update(meta)
    digest.update(bits)
    _check_sum(stored, digest.intdigest())
    with memoryview(bits) as view:
        return _filter(frame, bytes(meta), view), bytes(meta)


def _load_path(path: str, growing: bool) -> tuple[bloomfilter | Growing, bytes]:
    with open(path, "rb") as file:
        try:
            mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        except (ValueError, OSError):  # an empty file, a pipe, a device: read them instead
            return _from_stream(file, growing)
        # The bits are copied from the page cache into the filter: the only
        # new memory a load takes is the filter's own.
        with mapped, memoryview(mapped) as view:
            return _from_buffer(view, growing)


def _write_all(file: Writable, data: bytes) -> None:
    written = file.write(data)
    # A raw file writes at most about 2 GiB a call; buffered ones write all.
    if isinstance(written, int) and written < len(data):
        with memoryview(data) as view:
            while written < len(view):
                more = file.write(view[written:])
                if not isinstance(more, int) or more <= 0:
                    raise OSError(f"file.write() wrote {more!r} of {len(view) - written} bytes")
                written += more


def _save_to_path(pieces: Sequence[bytes], path: str) -> None:
    try:
        found: int | None = os.stat(path).st_mode
    except FileNotFoundError:
        found = None  # a new file gets the mode the umask leaves, as open() gives it
    if found is not None and not stat.S_ISREG(found):
        # A device or a pipe cannot be replaced, only written to.
        with open(path, "wb") as out:
            for piece in pieces:
                out.write(piece)
        return
    if found is not None:
        _release_cached_pages(path)
    # A file restricted to its owner stays so.
    with replacing(path, None if found is None else stat.S_IMODE(found)) as temporary:
        with open(temporary, "wb") as out:
            for piece in pieces:
                out.write(piece)


@contextlib.contextmanager
def replacing(path: str, mode: int | None) -> Iterator[str]:
    """The name of a new hidden file beside `path`, for the block to write:
    once the block ends, flushed to the disk, renamed over `path`, and the
    rename flushed with its directory; removed if the block raises, Ctrl-C
    included. In the same directory, so that the rename is atomic; through
    a symbolic link the file it names is replaced, as a write to the path
    would replace its contents. The file gets `mode`, or else the mode
    open() gives a new file."""
    directory, name = os.path.split(os.path.realpath(path))
    try:
        fd, temporary = _new_file(directory, name)
    except OSError as error:  # about the directory: told of the path, as open(path, "wb") would
        raise type(error)(error.errno, error.strerror, path) from None
    try:
        try:
            if mode is not None:
                os.fchmod(fd, mode)
        finally:
            os.close(fd)
        yield temporary
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.replace(temporary, os.path.join(directory, name))
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    folder = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def _release_cached_pages(path: str) -> None:
    """Gives back the page cache of a file about to be replaced. Its pages are
    of no use once the new file is renamed over it, and released first they
    hold the new file's pages instead: claimed anew, as much memory again can
    cost seconds a GiB, as on a virtual machine whose host takes back the
    memory its guest leaves free. Pages that a process has mapped stay."""
    with contextlib.suppress(OSError):
        old = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            os.posix_fadvise(old, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(old)


def _new_file(directory: str, name: str) -> tuple[int, str]:
    """A new, hidden file beside the target, in the same file system so that
    the rename is atomic. Created as open() creates files, so the umask
    applies."""
    while True:
        temporary = os.path.join(directory, f".{name[:100]}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), temporary
        except FileExistsError:
            continue
