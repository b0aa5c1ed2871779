"""Stored filters: round trips through every kind of file against the model,
the layout as docs/stored-filters.md gives it rebuilt without the package, damage of
every kind refused, and the state a refused call leaves."""
import gzip
import io
import itertools
import os
import pickle
import random
import stat
import struct

import numpy as np
import pytest
import xxhash
from hypothesis import given, strategies as st

import woxbloomfilter_tools as tools
from model import Model
from woxbloomfilter import bloomfilter

MAGIC = bytes.fromhex("89 57 42 46 0d 0a 1a 0a")


def stored(k, m, bits, version=1, metadata=b""):
    """A stored filter laid out byte by byte as docs/stored-filters.md documents it."""
    body = MAGIC + struct.pack("<IIQQQ", version, len(metadata), k, m, len(bits)) + metadata + bits
    return body + struct.pack("<Q", xxhash.xxh3_64_intdigest(body))


def entries(pairs):
    """Metadata entries as a later version may write them: tag, length, value."""
    return b"".join(tag + struct.pack("<I", len(value)) + value for tag, value in pairs)


class Trickle:
    """A raw file that moves at most 3 bytes a call, as raw files may."""

    def __init__(self, data=b""):
        self.data, self.at = bytearray(data), 0

    def read(self, size):
        piece = bytes(self.data[self.at : self.at + min(size, 3)])
        self.at += len(piece)
        return piece

    def write(self, data):
        self.data += bytes(data[:3])
        return min(len(data), 3)


NAMES = itertools.count()


def write_path(f, folder):
    path = folder / "filter.wbf"
    tools.save(f, path)
    return path.read_bytes()


def write_stream(make):
    def write(f, folder):
        out = make()
        tools.save(f, out)
        return out.getvalue() if hasattr(out, "getvalue") else bytes(out.data)
    return write


def write_gzip(f, folder):
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb") as z:
        tools.save(f, z)
    return gzip.decompress(out.getvalue())


def read_path(data, folder):
    # A new file each time: rewriting one in place makes the file system
    # flush it to the disk on close, which takes milliseconds.
    path = folder / f"stored-{next(NAMES)}.wbf"
    path.write_bytes(data)
    try:
        return tools.load(str(path))
    finally:
        path.unlink()


def read_gzip(data, folder):
    with gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(data))) as z:
        return tools.load(z)


WRITERS = {
    "dumps": lambda f, folder: tools.dumps(f),
    "path": write_path,
    "BytesIO": write_stream(io.BytesIO),
    "raw file, 3 bytes a call": write_stream(Trickle),
    "gzip": write_gzip,
}
# The three ways in, a buffer in memory, a mapped file and a stream, through
# several kinds of each.
READERS = {
    "loads": lambda data, folder: tools.loads(data),
    "loads of a uint16 array": lambda data, folder: tools.loads(np.frombuffer(data, "<u2")),
    "path": read_path,
    "BytesIO": lambda data, folder: tools.load(io.BytesIO(data)),
    "raw file, 3 bytes a call": lambda data, folder: tools.load(Trickle(data)),
    "gzip": read_gzip,
}
DAMAGE_READERS = ["loads", "path", "BytesIO"]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("stored")


@st.composite
def filters(draw):
    m = draw(st.one_of(st.sampled_from([0, 1, 7, 8, 9, 63, 64, 65, 4097]), st.integers(0, 3000)))
    k = draw(st.one_of(st.sampled_from([0, 1, 7, 4096]), st.integers(0, 2**64 - 1)))
    data = draw(st.binary(max_size=(m + 7) // 8 + 2))
    return k, m, data


@given(
    case=filters(),
    # Entries of tags this reader knows nothing of; the capacity ("size") it
    # reads, and checks, as test_growing.py tests.
    metadata=st.lists(
        st.tuples(st.binary(min_size=4, max_size=4).filter(lambda tag: tag != b"size"), st.binary(max_size=20)),
        max_size=3,
    ),
    writer=st.sampled_from(sorted(WRITERS)),
    reader=st.sampled_from(sorted(READERS)),
)
def test_round_trips_keep_every_bit(folder, case, metadata, writer, reader):
    k, m, data = case
    f = bloomfilter()
    f.from_bytes(data, k, m)
    bits = Model.from_bytes(data, k, m).to_bytes()
    written = WRITERS[writer](f, folder)
    assert written == stored(k, m, bits)
    # Metadata it does not know is skipped. (A uint16 array holds only even lengths.)
    for blob in (written, stored(k, m, bits, metadata=entries(metadata))):
        if reader == "loads of a uint16 array" and len(blob) % 2:
            continue
        g = READERS[reader](blob, folder)
        assert type(g) is bloomfilter
        assert (g.get_k(), g.get_m(), g.to_bytes()) == (k, m, bits)


SMALL_K, SMALL_M = 3, 100


@pytest.fixture(scope="module")
def small():
    f = bloomfilter()
    f.configure(SMALL_K, SMALL_M)
    f.insert(np.arange(60).reshape(20, 3))
    return tools.dumps(f)


def refusal(reader, data, folder):
    with pytest.raises(tools.FormatError) as err:
        READERS[reader](data, folder)
    assert isinstance(err.value, ValueError)
    return str(err.value)


@pytest.mark.parametrize("reader", DAMAGE_READERS)
def test_every_truncation_is_refused(reader, small, folder):
    size = len(small)
    for cut in range(size):
        message = refusal(reader, small[:cut], folder)
        if cut == 0:
            assert message == "not a stored filter: it is empty"
        elif cut < 40:
            assert message == f"truncated: {cut} bytes, fewer than the 40 of the header"
        else:
            assert message == f"truncated: {cut} bytes of the {size} that the header announces"
    message = refusal(reader, small + b"\0", folder)
    assert message.startswith("data after the end of the stored filter")


def what_a_flip_in_the_start_breaks(byte, flipped):
    """The refusal expected for a bit flipped in the magic number or the
    format version (the first 12 bytes) of any stored filter."""
    if byte < 8:
        return ("not a stored filter: it does not begin with the magic number 89 57 42 46 0d 0a 1a 0a",)
    version = int.from_bytes(flipped[8:12], "little")
    if version == 0:
        return ("not a stored filter: format version 0 does not exist",)
    return (f"format version {version} is newer than this reader, which reads versions 1 and 2",)


def what_a_flip_breaks(byte, flipped):
    """The refusal expected for a bit flipped in a given byte of a stored filter
    without metadata."""
    if byte < 12:
        return what_a_flip_in_the_start_breaks(byte, flipped)
    if byte < 16:  # a longer metadata area than there is
        return ("truncated: ",)
    if 24 <= byte < 40:  # m or the length: they disagree, or (low bits of m) the checksum does
        return ("the header contradicts itself: ", "checksum mismatch: ")
    return ("checksum mismatch: the data is damaged",)


@pytest.mark.parametrize("reader", DAMAGE_READERS)
def test_every_bit_flip_is_refused(reader, small, folder):
    """Every bit of the small filter, and bits anywhere in one of 64 pages."""
    large = bloomfilter()
    large.from_bytes(np.random.default_rng(3).bytes(64 * 4096), 5, 64 * 4096 * 8 - 3)
    large = tools.dumps(large)
    flips = [(small, bit) for bit in range(len(small) * 8)]
    flips += [(large, bit) for bit in random.Random(reader).sample(range(len(large) * 8), 32)]
    for blob, bit in flips:
        flipped = bytearray(blob)
        flipped[bit // 8] ^= 1 << (bit % 8)
        message = refusal(reader, bytes(flipped), folder)
        assert message.startswith(what_a_flip_breaks(bit // 8, flipped)), (bit, message)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x0f" * 13, "not a stored filter: it does not begin with the magic number"),  # a bare byte form
        (pickle.dumps(bloomfilter()), "not a stored filter: it does not begin with the magic number"),
        (pickle.dumps(bloomfilter(), 0), "not a stored filter: it does not begin with the magic number"),
        (stored(3, 8, b"\x01", version=3)[:20], "format version 3 is newer than this reader, which reads versions 1 "
         "and 2: a later woxbloomfilter_tools loads it"),
        (stored(3, 8, b"\x01\x00"), "the header contradicts itself: m = 8 bits take 1 bytes, but it gives 2"),
        (stored(3, 2**63, b""), f"the header contradicts itself: m = {2**63} bits take {2**60} bytes, but it gives 0"),
    ],
)
def test_what_is_not_a_stored_filter(data, message, folder):
    for reader in DAMAGE_READERS:
        assert refusal(reader, data, folder).startswith(message)


def test_a_missing_file_stays_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        tools.load(tmp_path / "absent.wbf")
    with pytest.raises(IsADirectoryError):
        tools.load(tmp_path)
    # Saved into a folder that does not exist, the error names the path, not the file beside it.
    with pytest.raises(FileNotFoundError) as err:
        tools.save(bloomfilter(), tmp_path / "absent" / "filter.wbf")
    assert err.value.filename == str(tmp_path / "absent" / "filter.wbf")


NO_FILTER = "bloomfilter object has no filter: __init__ or __setstate__ did not complete"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda path: tools.save(b"", path), TypeError, "f must be a woxbloomfilter.bloomfilter, not bytes"),
        (lambda path: tools.save(bloomfilter.__new__(bloomfilter), path), TypeError, NO_FILTER),
        (lambda path: tools.dumps(None), TypeError, "f must be a woxbloomfilter.bloomfilter, not NoneType"),
        (lambda path: tools.save(bloomfilter(), 3), TypeError, "file must be a path or a binary file object, not int"),
        (lambda path: tools.save(bloomfilter(), io.StringIO()), TypeError,
         "file must be opened in binary mode ('wb'), not as text"),
        (lambda path: tools.load(3), TypeError, "file must be a path or a binary file object, not int"),
        (lambda path: tools.load(tools.dumps(bloomfilter())), TypeError,
         "file must be a path or a binary file object, not bytes; loads reads a stored filter from memory"),
        (lambda path: tools.load(io.StringIO()), TypeError, "file must be opened in binary mode ('rb'), not as text"),
        (lambda path: tools.loads("stored"), TypeError, "data must be a bytes-like object, not str"),
        (lambda path: tools.loads(np.zeros(64, np.uint8)[::2]), BufferError, "data must be a C-contiguous buffer"),
    ],
)
def test_bad_arguments_are_named_and_touch_no_file(tmp_path, call, error, message):
    with pytest.raises(error) as err:
        call(tmp_path / "filter.wbf")
    assert str(err.value) == message
    assert list(tmp_path.iterdir()) == []


def filled(k, m, seed):
    f = bloomfilter()
    f.configure(k, m)
    f.insert(np.random.default_rng(seed).integers(0, 2**40, (50, 3)))
    return f


@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), KeyboardInterrupt()])
def test_a_failed_save_keeps_the_old_file_and_leaves_nothing(tmp_path, monkeypatch, failure):
    path = tmp_path / "filter.wbf"
    old = filled(3, 800, 1)
    tools.save(old, path)

    def fail(fd):
        raise failure

    monkeypatch.setattr(os, "fsync", fail)
    with pytest.raises(type(failure)):
        tools.save(filled(4, 900, 2), path)
    monkeypatch.undo()
    assert list(tmp_path.iterdir()) == [path]
    assert tools.load(path).to_bytes() == old.to_bytes()


def test_a_save_replaces_the_file_a_link_names_keeps_its_mode_and_writes_to_devices(tmp_path):
    target, link = tmp_path / "filter.wbf", tmp_path / "latest.wbf"
    tools.save(filled(3, 800, 1), target)
    target.chmod(0o600)
    link.symlink_to(target.name)
    new = filled(4, 900, 2)
    tools.save(new, link)
    assert link.is_symlink() and sorted(tmp_path.iterdir()) == [target, link]
    assert target.stat().st_mode & 0o777 == 0o600
    assert tools.load(target).to_bytes() == new.to_bytes()
    tools.save(new, "/dev/null")  # written to, not replaced by a file
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
