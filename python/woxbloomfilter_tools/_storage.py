"""Filters stored in files: a header, the byte form and a checksum, saved so
that a crash never leaves half a file, and loaded with one copy of the bits.

The layout (all integers little-endian; docs/stored-filters.md):

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
"""

from __future__ import annotations

import contextlib
import io
import mmap
import os
import secrets
import stat
import struct
from collections.abc import Buffer, Iterator
from typing import Protocol

import xxhash

from woxbloomfilter import bloomfilter

MAGIC = b"\x89WBF\r\n\x1a\n"
VERSION = 1
HEADER = struct.Struct("<8sIIQQQ")
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
    return b"".join(_stored(f, b""))


def loads(data: Buffer) -> bloomfilter:
    """The filter stored in `data`, any C-contiguous bytes-like object.

    Raises FormatError when `data` is not an intact stored filter."""
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"data must be a bytes-like object, not {type(data).__name__}") from None
    with view:
        if not view.c_contiguous:
            raise BufferError("data must be a C-contiguous buffer")
        with view.cast("B") as raw:
            return _from_buffer(raw)[0]


def save(f: bloomfilter, file: str | os.PathLike[str] | Writable) -> None:
    """Store `f` in `file`: a path, or a binary file object to write to.

    To a path, the filter is written to a new file beside it, flushed to the
    disk and then renamed over the path, so that the path holds the old file
    or the new one, complete, whatever happens to the process. A file object
    is only written to, from its position."""
    save_with_metadata(f, file, {})


def save_with_metadata(f: bloomfilter, file: str | os.PathLike[str] | Writable, entries: dict[bytes, bytes]) -> None:
    """`save`, with metadata entries: tag (4 bytes) to value."""
    _check_filter(f)
    assert all(len(tag) == ENTRY.size - 4 for tag in entries)
    metadata = b"".join(ENTRY.pack(tag, len(value)) + value for tag, value in entries.items())
    if isinstance(file, (str, os.PathLike)):
        _save_to_path(_stored(f, metadata), os.fsdecode(file))
    elif hasattr(file, "write"):
        _check_binary(file, "wb")
        for piece in _stored(f, metadata):
            _write_all(file, piece)
    else:
        raise TypeError(f"file must be a path or a binary file object, not {type(file).__name__}")


def load(file: str | os.PathLike[str] | Readable) -> bloomfilter:
    """The filter stored in `file`: a path, or a binary file object, read
    from its position to its end.

    Raises FormatError when the file is not an intact stored filter; a path
    that does not exist raises FileNotFoundError."""
    return _load(file)[0]


def load_with_metadata(file: str | os.PathLike[str] | Readable) -> tuple[bloomfilter, dict[bytes, bytes]]:
    """`load`, and the metadata entries: tag to value. Where `load` skips
    the metadata, this refuses a block that does not divide into entries."""
    f, metadata = _load(file)
    return f, _entries(metadata)


def _load(file: str | os.PathLike[str] | Readable) -> tuple[bloomfilter, bytes]:
    if isinstance(file, (str, os.PathLike)):
        return _load_path(os.fsdecode(file))
    if hasattr(file, "read"):
        _check_binary(file, "rb")
        return _from_stream(file)
    hint = "; loads reads a stored filter from memory" if isinstance(file, (bytes, bytearray, memoryview)) else ""
    raise TypeError(f"file must be a path or a binary file object, not {type(file).__name__}{hint}")


def _check_filter(f: object) -> None:
    if not isinstance(f, bloomfilter):
        raise TypeError(f"f must be a woxbloomfilter.bloomfilter, not {type(f).__name__}")


def _stored(f: bloomfilter, metadata: bytes) -> tuple[bytes, bytes, bytes]:
    """Header with metadata, byte form and checksum. The byte form is made
    before any file is touched: a filter that cannot give one leaves the disk
    as it was."""
    bits = f.to_bytes()
    head = HEADER.pack(MAGIC, VERSION, len(metadata), f.get_k(), f.get_m(), len(bits)) + metadata
    digest = xxhash.xxh3_64(head)
    digest.update(bits)
    return head, bits, digest.intdigest().to_bytes(CHECKSUM, "little")


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


def _header(head: bytes) -> tuple[int, int, int, int]:
    """k, m, metadata length and byte form length from the first bytes of a
    stored filter (all of them when there are fewer than a header's)."""
    if not head:
        raise FormatError("not a stored filter: it is empty")
    if head[: len(MAGIC)] != MAGIC[: len(head)]:
        raise FormatError(f"not a stored filter: it does not begin with the magic number {MAGIC.hex(' ')}")
    if len(head) >= 12:
        version = int.from_bytes(head[8:12], "little")
        if version > VERSION:
            raise FormatError(
                f"format version {version} is newer than this reader, which reads version {VERSION}: "
                "a later woxbloomfilter_tools loads it"
            )
        if version < 1:
            raise FormatError(f"not a stored filter: format version {version} does not exist")
    if len(head) < HEADER.size:
        raise FormatError(f"truncated: {len(head)} bytes, fewer than the {HEADER.size} of the header")
    _, _, meta_length, k, m, length = HEADER.unpack(head)
    if length != (m + 7) // 8:
        raise FormatError(
            f"the header contradicts itself: m = {m} bits take {(m + 7) // 8} bytes, but it gives {length}"
        )
    return k, m, meta_length, length


def _check_size(size: int, meta_length: int, length: int) -> None:
    expected = HEADER.size + meta_length + length + CHECKSUM
    if size < expected:
        raise FormatError(f"truncated: {size} bytes of the {expected} that the header announces")
    if size > expected:
        raise FormatError(
            f"data after the end of the stored filter: {size} bytes where the header announces {expected}"
        )


def _check_sum(stored: bytes, computed: int) -> None:
    found = int.from_bytes(stored, "little")
    if found != computed:
        raise FormatError(f"checksum mismatch: the data is damaged (stored {found:016x}, computed {computed:016x})")


def _filter(k: int, m: int, bits: Buffer) -> bloomfilter:
    # __setstate__ copies straight from any buffer: one copy, as pickle makes.
    f = bloomfilter.__new__(bloomfilter)
    f.__setstate__((k, m, bits))
    return f


def _from_buffer(view: memoryview) -> tuple[bloomfilter, bytes]:
    """The filter in a one-dimensional view of bytes, and its metadata. Every
    slice is released before returning, so that a mapped file can be closed
    after."""
    k, m, meta_length, length = _header(bytes(view[: HEADER.size]))
    _check_size(len(view), meta_length, length)
    start = HEADER.size + meta_length
    end = start + length
    with view[:end] as covered:
        computed = xxhash.xxh3_64_intdigest(covered)
    _check_sum(bytes(view[end:]), computed)
    metadata = bytes(view[HEADER.size : start])
    with view[start:end] as bits:
        return _filter(k, m, bits), metadata


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


def _from_stream(file: Readable) -> tuple[bloomfilter, bytes]:
    head = bytes(_read(file, HEADER.size))
    k, m, meta_length, length = _header(head)
    meta = _read(file, meta_length)
    bits = _read(file, length)
    stored = bytes(_read(file, CHECKSUM))
    size = len(head) + len(meta) + len(bits) + len(stored)
    if size == HEADER.size + meta_length + length + CHECKSUM and _read(file, 1):
        raise FormatError("data after the end of the stored filter")
    _check_size(size, meta_length, length)
    digest = xxhash.xxh3_64(head)
    digest.update(meta)
    digest.update(bits)
    _check_sum(stored, digest.intdigest())
    return _filter(k, m, bits), bytes(meta)


def _load_path(path: str) -> tuple[bloomfilter, bytes]:
    with open(path, "rb") as file:
        try:
            mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        except (ValueError, OSError):  # an empty file, a pipe, a device: read them instead
            return _from_stream(file)
        # The bits are copied from the page cache into the filter: the only
        # new memory a load takes is the filter's own.
        with mapped, memoryview(mapped) as view:
            return _from_buffer(view)


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


def _save_to_path(pieces: tuple[bytes, bytes, bytes], path: str) -> None:
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
