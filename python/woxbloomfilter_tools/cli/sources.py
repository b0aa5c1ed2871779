"""DATA: files and directories of Parquet, CSV, Arrow IPC and JSON, read with
pyarrow's datasets in batches of bounded size."""

from __future__ import annotations

import errno
import importlib
import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from woxbloomfilter_tools.cli.arguments import EXTENSIONS
from woxbloomfilter_tools.cli.errors import Failure, UsageError, data_message
from woxbloomfilter_tools.cli.outputs import progress

pa: Any = importlib.import_module("pyarrow")
ds: Any = importlib.import_module("pyarrow.dataset")

# Rows per batch read, and how many batches pyarrow reads ahead of the one in
# hand: enough to keep its threads busy while the filter takes a batch, few
# enough that memory stays a few batches.
BATCH_ROWS = 1 << 16
BATCH_READAHEAD = 4


@dataclass
class Source:
    path: str
    format: str
    dataset: Any


def format_of(path: str, given: str | None) -> str:
    if given is not None:
        return given
    if os.path.isdir(path):
        # The files a dataset reads: not those whose names begin with . or _.
        found = set()
        for _, subfolders, files in os.walk(path):
            subfolders[:] = [name for name in subfolders if not name.startswith((".", "_"))]
            for name in files:
                kind = EXTENSIONS.get(os.path.splitext(name)[1].lower())
                if kind is not None and not name.startswith((".", "_")):
                    found.add(kind)
        if len(found) == 1:
            return found.pop()
        if not found:
            raise UsageError(f"no file in {path} has a known extension: name the format with --format")
        raise UsageError(f"{path} holds files of several formats ({', '.join(sorted(found))}): name one with --format")
    extension = os.path.splitext(path)[1].lower()
    if extension not in EXTENSIONS:
        raise UsageError(f"cannot tell the format of {path} from its name: name it with --format")
    return EXTENSIONS[extension]


def source(path: str, given: str | None) -> Source:
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
    kind = format_of(path, given)
    if kind == "csv":
        # Null as pyarrow writes it, an empty field, and "" an empty string;
        # without this a null string reads back as "" and other key rows.
        convert = importlib.import_module("pyarrow.csv").ConvertOptions(
            strings_can_be_null=True, quoted_strings_can_be_null=False
        )
        file_format: Any = ds.CsvFileFormat(convert_options=convert)
    elif kind == "parquet":
        # Pre-buffering holds the column chunks of every row group read so
        # far until the file is done: memory would grow with the file.
        scan = ds.ParquetFragmentScanOptions(pre_buffer=False)
        file_format = ds.ParquetFileFormat(default_fragment_scan_options=scan)
    else:
        file_format = kind
    try:
        return Source(path, kind, ds.dataset(path, format=file_format))
    except (pa.ArrowException, OSError) as error:
        raise Failure(f"{path}: {data_message(error)}") from None


def stored_count(source: Source) -> int | None:
    """The rows of `source` when its files record them, as Parquet's footer
    and the IPC file format's do."""
    if source.format not in ("parquet", "ipc"):
        return None
    try:
        count: int = source.dataset.count_rows()
    except (pa.ArrowException, OSError) as error:
        raise Failure(f"{source.path}: {data_message(error)}") from None
    return count


def counted(sources: list[Source], counts: list[int | None], quiet: bool) -> int:
    """The rows of every source: those its files record, and the others
    counted by reading them through without a column."""
    rows = 0
    with progress(quiet, None, "counting rows") as bar:
        for source, count in zip(sources, counts):
            if count is not None:
                rows += count
                bar.update(count)
                continue
            for batch in batches(source, []):
                rows += batch.num_rows
                bar.update(batch.num_rows)
    return rows


def batches(source: Source, columns: list[str] | None) -> Iterator[Any]:
    """The record batches of `source`, only `columns` when given."""
    try:
        reader = source.dataset.scanner(
            columns=columns, batch_size=BATCH_ROWS, batch_readahead=BATCH_READAHEAD, fragment_readahead=1
        ).to_reader()
    except (pa.ArrowException, OSError) as error:
        raise Failure(f"{source.path}: {data_message(error)}") from None
    with reader:
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            except (pa.ArrowException, OSError) as error:
                raise Failure(f"{source.path}: {data_message(error)}") from None
            yield batch
