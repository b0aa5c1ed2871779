"""What the command line writes: OUT and FILTER, each under a lock and to a
hidden file that replaces its path only once complete, and the progress bar
and figures on the terminal."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import importlib
import os
import stat
import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from woxbloomfilter_tools import _storage
from woxbloomfilter_tools.cli.arguments import EXTENSIONS, TAB_SEPARATED
from woxbloomfilter_tools.cli.errors import STDIN, Busy, Failure, UsageError, data_message, one_line, say, shown

pa: Any = importlib.import_module("pyarrow")
tqdm: Any = importlib.import_module("tqdm")

# Kept rows are gathered up to this many (or bytes) before they are written,
# so that Parquet gets row groups of the usual size rather than one per batch.
WRITE_ROWS = 1 << 20
WRITE_BYTES = 64 << 20


def writer_of(path: str) -> str:
    """The format of the table file `path`; refused before anything is read."""
    extension = os.path.splitext(path)[1].lower()
    kind = EXTENSIONS.get(extension)
    if kind == "json":
        raise UsageError(f"pyarrow cannot write JSON: name OUT .parquet, .csv or .arrow, not {shown(path)}")
    if kind is None:
        raise UsageError(
            f"cannot tell the format of OUT {shown(path)}: name it .parquet, .csv, .tsv or .arrow (.feather, .ipc)"
        )
    return kind


def refuse_same(output: str, inputs: Iterable[str]) -> None:
    """A usage error when `output` is one of `inputs`: the same path once
    links are resolved, or the same file by device and inode (a hard link,
    or standard input redirected from it)."""
    target = _identity(output)
    for path in inputs:
        found = _identity(path)
        if (target[0] is not None and target[0] == found[0]) or (target[1] is not None and target[1] == found[1]):
            also = "" if path == output else f" (as {shown(path)})"
            raise UsageError(f"{shown(output)} is written and also read{also}: name another output")


def _identity(path: str) -> tuple[str | None, tuple[int, int] | None]:
    try:
        found = os.fstat(sys.stdin.fileno()) if path == STDIN else os.stat(path)
    except (OSError, ValueError):  # not there (yet), or no standard input
        found = None
    return (
        None if path == STDIN else os.path.realpath(path),
        None if found is None or not stat.S_ISREG(found.st_mode) else (found.st_dev, found.st_ino),
    )


@contextlib.contextmanager
def locked(path: str, wait: bool, quiet: bool) -> Iterator[None]:
    """Holds the lock on writing `path` for the block: an exclusive flock on
    a hidden file beside it, `.NAME.lock`. The lock is on a file of its own,
    not on `path`: the path is replaced by a rename, which would leave a lock
    on the old file, and an output that does not exist yet has nothing to
    lock. The lock file is removed while the lock is held; a writer that
    waited on it finds that its path is gone or is another file, and locks
    the path anew."""
    directory, name = os.path.split(os.path.realpath(path))
    lock = os.path.join(directory, f".{name[:100]}.lock")
    while True:
        try:
            fd = os.open(lock, os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except OSError as error:  # about the directory: told of the path
            raise type(error)(error.errno, error.strerror, path) from None
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                if not wait:
                    raise Busy(f"{shown(path)} is being written by another woxbloom: nothing done (--no-wait)") from None
                if not quiet and sys.stderr.isatty():
                    say(f"waiting for another woxbloom to finish writing {shown(path)}")
                fcntl.flock(fd, fcntl.LOCK_EX)
            held = os.fstat(fd)
            try:
                now = os.stat(lock)
            except FileNotFoundError:
                now = None
        except BaseException:
            os.close(fd)
            raise
        if now is not None and (now.st_dev, now.st_ino) == (held.st_dev, held.st_ino):
            break
        os.close(fd)
    try:
        yield
    finally:
        with contextlib.suppress(OSError):
            os.unlink(lock)
        os.close(fd)


@contextlib.contextmanager
def writing(path: str) -> Iterator[None]:
    """Errors of writing `path` (a full disk, a quota) told of `path`:
    neither Python's writes nor pyarrow's name the file."""
    try:
        yield
    except Failure:
        raise
    except OSError as error:
        if error.filename is not None:
            raise
        raise Failure(f"{shown(path)}: {_reason(error)}") from None
    except pa.ArrowException as error:
        raise Failure(f"{shown(path)}: {_reason(error)}") from None


def _reason(error: BaseException) -> str:
    """pyarrow's message of a failed write, with the system's reason first
    where it gives one ("[errno 28] No space left on device")."""
    message = data_message(error)
    number = getattr(error, "errno", None)
    if isinstance(number, int) and number > 0:
        return os.strerror(number)
    for code in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO):
        if f"[errno {code}]" in message.lower():
            return os.strerror(code)
    return message


class _Pieces:
    """Batches of `schema` (or cast to it) gathered into pieces of WRITE_ROWS
    rows or WRITE_BYTES bytes for `writer`: Parquet writes a row group per
    call, and kept rows come a few at a time."""

    def __init__(self, writer: Any, schema: Any) -> None:
        self.writer, self.schema = writer, schema
        self.pending: list[Any] = []
        self.rows = self.bytes = 0

    def write(self, batch: Any, where: str) -> None:
        table = pa.Table.from_batches([batch])
        if not table.schema.equals(self.schema):
            try:
                table = table.cast(self.schema)
            except (pa.ArrowException, ValueError) as error:
                raise Failure(
                    f"{shown(where)}: its columns differ from the first DATA's: {one_line(str(error))}"
                ) from None
        self.pending.append(table)
        self.rows += table.num_rows
        self.bytes += table.nbytes
        if self.rows >= WRITE_ROWS or self.bytes >= WRITE_BYTES:
            self.flush()

    def flush(self) -> None:
        if self.pending:
            _in_thread(self.writer.write, pa.concat_tables(self.pending))
            self.pending.clear()
            self.rows = self.bytes = 0


def _in_thread(call: Callable[[Any], object], argument: Any) -> None:
    """`call(argument)` in a thread of its own, waited for where a signal
    reaches the main thread at once: encoding a piece of a million rows can
    take a second, and a signal would wait for it. A signal leaves the thread
    at work on a file that is removed, until the process ends."""
    failed: list[BaseException] = []

    def work() -> None:
        try:
            call(argument)
        except BaseException as error:
            failed.append(error)

    thread = threading.Thread(target=work, name="woxbloom writer", daemon=True)
    thread.start()
    thread.join()
    if failed:
        raise failed[0]


@contextlib.contextmanager
def table_writer(kind: str, path: str, schema: Any) -> Iterator[Callable[[Any, str], None]]:
    """A function that writes batches of `schema` to a hidden file beside
    `path`, renamed over `path` when the block ends without error and
    removed when it ends with one."""
    with writing(path), replacing(path) as temporary:
        if kind == "parquet":
            writer = importlib.import_module("pyarrow.parquet").ParquetWriter(temporary, schema)
        elif kind == "csv":
            pcsv = importlib.import_module("pyarrow.csv")
            separator = "\t" if os.path.splitext(path)[1].lower() in TAB_SEPARATED else ","
            writer = pcsv.CSVWriter(temporary, schema, write_options=pcsv.WriteOptions(delimiter=separator))
        else:
            writer = pa.ipc.new_file(temporary, schema)
        pieces = _Pieces(writer, schema)
        try:
            yield pieces.write
            pieces.flush()
        except KeyboardInterrupt:
            # Left open: a thread may still be writing to it, and the file
            # is removed on the way out.
            raise
        except BaseException:
            writer.close()
            raise
        writer.close()


@contextlib.contextmanager
def replacing(path: str) -> Iterator[str]:
    """The name of a new hidden file beside `path`, to be written in the
    block and renamed over `path` once complete, as `save` does it; it keeps
    the old file's permission bits."""
    try:
        found = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    else:
        if stat.S_ISDIR(found):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        mode = stat.S_IMODE(found)
    with _storage.replacing(path, mode) as temporary:
        yield temporary


@contextlib.contextmanager
def progress(quiet: bool, total: int | None, what: str) -> Iterator[Any]:
    """A bar of rows on stderr, when it is a terminal and not --quiet. A
    command that stops takes its bar off the screen rather than drawing it
    once more above its last line."""
    shown = not quiet and sys.stderr.isatty()
    bar = None
    try:
        bar = tqdm.tqdm(
            total=total,
            desc=what,
            unit=" rows",
            unit_scale=True,
            file=sys.stderr,
            dynamic_ncols=True,
            disable=not shown,
        )
        yield bar
    except BaseException:
        if shown:
            with contextlib.suppress(Exception):
                if bar is not None:
                    bar.leave = False
                    bar.close()
                # Also a bar drawn by a constructor that a signal cut short.
                sys.stderr.write("\r\x1b[K")
        raise
    bar.close()


def percent(rate: float) -> str:
    return f"{rate * 100:.4g} %"
