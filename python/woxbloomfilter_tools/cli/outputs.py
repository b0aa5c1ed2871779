"""What the command line writes: OUT, a table file that replaces its path
only once complete, and the progress bar and figures on the terminal."""

from __future__ import annotations

import contextlib
import errno
import importlib
import os
import stat
import sys
from collections.abc import Callable, Iterator
from typing import Any

from woxbloomfilter_tools import _storage
from woxbloomfilter_tools.cli.arguments import EXTENSIONS
from woxbloomfilter_tools.cli.errors import Failure, UsageError, one_line

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
        raise UsageError(f"pyarrow cannot write JSON: name OUT .parquet, .csv or .arrow, not {path}")
    if kind is None:
        raise UsageError(f"cannot tell the format of OUT {path}: name it .parquet, .csv or .arrow (.feather, .ipc)")
    return kind


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
                raise Failure(f"{where}: its columns differ from the first DATA's: {one_line(str(error))}") from None
        self.pending.append(table)
        self.rows += table.num_rows
        self.bytes += table.nbytes
        if self.rows >= WRITE_ROWS or self.bytes >= WRITE_BYTES:
            self.flush()

    def flush(self) -> None:
        if self.pending:
            self.writer.write(pa.concat_tables(self.pending))
            self.pending.clear()
            self.rows = self.bytes = 0


@contextlib.contextmanager
def table_writer(kind: str, path: str, schema: Any) -> Iterator[Callable[[Any, str], None]]:
    """A function that writes batches of `schema` to a hidden file beside
    `path`, renamed over `path` when the block ends without error and
    removed when it ends with one."""
    with replacing(path) as temporary:
        if kind == "parquet":
            writer = importlib.import_module("pyarrow.parquet").ParquetWriter(temporary, schema)
        elif kind == "csv":
            writer = importlib.import_module("pyarrow.csv").CSVWriter(temporary, schema)
        else:
            writer = pa.ipc.new_file(temporary, schema)
        with writer:
            pieces = _Pieces(writer, schema)
            yield pieces.write
            pieces.flush()


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


def progress(quiet: bool, total: int | None, what: str) -> Any:
    """A bar of rows on stderr, when it is a terminal and not --quiet."""
    return tqdm.tqdm(
        total=total,
        desc=what,
        unit=" rows",
        unit_scale=True,
        file=sys.stderr,
        dynamic_ncols=True,
        disable=quiet or not sys.stderr.isatty(),
    )


def percent(rate: float) -> str:
    return f"{rate * 100:.4g} %"
