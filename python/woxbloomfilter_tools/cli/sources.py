"""DATA: files, the files of directories, standard input and pipes, in
Parquet, CSV, Arrow IPC and JSON, read with pyarrow in batches of bounded
size.

Every file is read on its own, so that each is checked against the key's
layout as if it were named alone: a dataset of a directory would unify its
files on the first one's columns and cast the others to them.

In CSV files only an empty unquoted field is null. A key column is read as
the type the key has (the filter's, --types, or else the one pyarrow finds
in the files), so that "02134" keyed as a string stays one whatever the
file's first rows look like; the other columns are read as the text they
hold."""

from __future__ import annotations

import importlib
import io
import os
import queue
import re
import stat
import sys
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from woxbloomfilter_tools.cli.arguments import EXTENSIONS, TAB_SEPARATED
from woxbloomfilter_tools.cli.errors import STDIN, Failure, UsageError, data_message, shown
from woxbloomfilter_tools.cli.outputs import progress

pa: Any = importlib.import_module("pyarrow")
ds: Any = importlib.import_module("pyarrow.dataset")
pcsv: Any = importlib.import_module("pyarrow.csv")
pjson: Any = importlib.import_module("pyarrow.json")

# Rows per batch read, and how many batches pyarrow reads ahead of the one in
# hand: enough to keep its threads busy while the filter takes a batch, few
# enough that memory stays a few batches.
BATCH_ROWS = 1 << 16
BATCH_READAHEAD = 4
# CSV and JSON are read in blocks of bytes, and a row must fit in one: a row
# longer than the block is read again with blocks 4 times larger, up to
# LARGEST_BLOCK. A pipe cannot be read again, so its blocks start large.
BLOCK = 1 << 20
LARGEST_BLOCK = 1 << 30
PIPE_BLOCK = 16 << 20

# The key types of a layout (as KeyLayout and 'woxbloom info' name them) that
# are not spelled by a pattern below.
_PLAIN_TYPES = {
    "bool": "bool_",
    "string": "string",
    "binary": "binary",
    "null": "null",
    **{name: name for name in ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64")},
    **{name: name for name in ("float32", "float64", "date32", "date64")},
}
_UNIT_TYPES = re.compile(r"(time32|time64|duration)\[(s|ms|us|ns)\]")
_TIMESTAMP = re.compile(r"timestamp\[(s|ms|us|ns)(?:, tz=(.+))?\]")
_DECIMAL = re.compile(r"decimal(32|64|128|256)\((\d+), (\d+)\)")
_FIXED_SIZE_BINARY = re.compile(r"fixed_size_binary\((\d+)\)")


def arrow_type(name: str) -> Any:
    """The Arrow type of a key layout's type name; ValueError for a name that
    no layout has."""
    try:
        if name in _PLAIN_TYPES:
            return getattr(pa, _PLAIN_TYPES[name])()
        if match := _UNIT_TYPES.fullmatch(name):
            return getattr(pa, match[1])(match[2])
        if match := _TIMESTAMP.fullmatch(name):
            return pa.timestamp(match[1], tz=match[2])
        if match := _DECIMAL.fullmatch(name):
            return getattr(pa, f"decimal{match[1]}")(int(match[2]), int(match[3]))
        if match := _FIXED_SIZE_BINARY.fullmatch(name):
            return pa.binary(int(match[1]))
    except (pa.ArrowException, ValueError, TypeError):  # a precision or a unit out of range
        pass
    raise ValueError(f"no key column has type {name!r}")


class _Replay(io.RawIOBase):
    """A pipe that pyarrow reads from its start twice: once for the first
    block, to find the columns, then for good. The bytes read the first time
    are kept and given again, and no more are kept after."""

    def __init__(self, path: str) -> None:
        super().__init__()
        self.path = path
        self.file: Any = None
        self.kept = bytearray()
        self.at = 0
        self.keeping = True

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.at < len(self.kept):
            n = min(len(buffer), len(self.kept) - self.at)
            buffer[:n] = self.kept[self.at : self.at + n]
            self.at += n
            if not self.keeping and self.at == len(self.kept):
                self.kept, self.at = bytearray(), 0
            return n
        if self.file is None:  # opened only now: a FIFO waits for its writer
            self.file = sys.stdin.buffer if self.path == STDIN else open(self.path, "rb")  # noqa: SIM115
        read: int = self.file.readinto(buffer)
        if self.keeping and read:
            self.kept += memoryview(buffer)[:read]
            self.at += read
        return read

    def rewind(self) -> None:
        self.at = 0
        self.keeping = False

    def close(self) -> None:
        """pyarrow closes the file with its reader; the pipe stays open for
        the next reader."""


@dataclass(eq=False)
class Source:
    """One file to read: a named file, a file of a named directory, standard
    input or a pipe."""

    path: str
    format: str
    delimiter: str = ","
    pipe: _Replay | None = None
    block: int = BLOCK
    # Told after an error of a CSV key value, when the key's types were found
    # in the files rather than given.
    hint: str = ""
    _schema: Any = field(default=None, repr=False)

    def schema(self) -> Any:
        """The columns, and their types as pyarrow finds them in the first
        block (a CSV column empty there is of type null)."""
        if self._schema is None:
            self._schema = _with_block(self, lambda: _open(self, None, {}).schema)
            if self.pipe is not None:
                self.pipe.rewind()
        return self._schema


def expand(paths: Sequence[str], given: str | None, delimiter: str | None) -> list[Source]:
    """The files DATA names, in order, those of a directory sorted by name."""
    found: list[Source] = []
    if list(paths).count(STDIN) > 1:
        raise UsageError("standard input (-) can be named once")
    for path in paths:
        if path == STDIN:
            if given not in ("csv", "json"):
                raise UsageError("standard input (-) is read as --format csv or --format json")
            found.append(_pipe(path, given, delimiter))
            continue
        try:
            mode = os.stat(path).st_mode
        except OSError as error:
            raise type(error)(error.errno, error.strerror, path) from None
        kind = format_of(path, given)
        if stat.S_ISDIR(mode):
            files = _files(path)
            if not files:
                raise UsageError(f"{shown(path)} holds no file to read")
            found.extend(Source(name, kind, _delimiter(name, delimiter)) for name in files)
        elif stat.S_ISREG(mode):
            found.append(Source(path, kind, _delimiter(path, delimiter)))
        else:
            if kind not in ("csv", "json"):
                raise UsageError(
                    f"{shown(path)} is a pipe, read once from start to end, and {kind} files are read from their "
                    "end: write it to a file first"
                )
            found.append(_pipe(path, kind, delimiter))
    return found


def format_of(path: str, given: str | None) -> str:
    if given is not None:
        return given
    if os.path.isdir(path):
        found: set[str] = {EXTENSIONS[_extension(name)] for name in _files(path) if _extension(name) in EXTENSIONS}
        if len(found) == 1:
            return found.pop()
        if not found:
            raise UsageError(f"no file in {shown(path)} has a known extension: name the format with --format")
        raise UsageError(
            f"{shown(path)} holds files of several formats ({', '.join(sorted(found))}): name one with --format"
        )
    if _extension(path) not in EXTENSIONS:
        raise UsageError(f"cannot tell the format of {shown(path)} from its name: name it with --format")
    return EXTENSIONS[_extension(path)]


def _files(folder: str) -> list[str]:
    """The files of a folder and its subfolders, sorted, but those whose
    names begin with . or _ (hidden, or the markers other writers leave),
    as pyarrow's datasets skip them."""
    found: list[str] = []
    for top, subfolders, names in os.walk(folder):
        subfolders[:] = [name for name in subfolders if not name.startswith((".", "_"))]
        found.extend(os.path.join(top, name) for name in names if not name.startswith((".", "_")))
    return sorted(found)


def _extension(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def _delimiter(path: str, given: str | None) -> str:
    if given is not None:
        return given
    return "\t" if _extension(path) in TAB_SEPARATED else ","


def _pipe(path: str, kind: str, delimiter: str | None) -> Source:
    return Source(path, kind, delimiter or ",", pipe=_Replay(path), block=PIPE_BLOCK)


def stored_count(source: Source) -> int | None:
    """The rows of `source` when its file records them, as Parquet's footer
    and the IPC file format's do."""
    if source.format not in ("parquet", "ipc"):
        return None
    try:
        count: int = _dataset(source, None, {}).count_rows()
    except (pa.ArrowException, OSError) as error:
        raise Failure(f"{shown(source.path)}: {data_message(error)}") from None
    return count


def counted(sources: list[Source], counts: list[int | None], quiet: bool) -> int:
    """The rows of every source: those its file records, and the others
    counted by reading them through without a column."""
    rows = 0
    with progress(quiet, None, "counting rows") as bar:
        for source, count in zip(sources, counts):
            if count is not None:
                rows += count
                bar.update(count)
                continue
            for batch in batches(source, [], {}, text=True):  # as text, no value is refused
                rows += batch.num_rows
                bar.update(batch.num_rows)
    return rows


def key_schema(source: Source, names: Sequence[str], types: dict[str, Any], imposed: set[str]) -> Any:
    """The types `source` gives its key columns when read with `types`: a
    CSV file takes the key's type for the columns in `imposed`, CSV and JSON
    for those empty in their first block; every other column has its own."""
    schema = source.schema()
    fields = []
    for name in names:
        type_ = schema.field(name).type
        if (source.format == "csv" and name in imposed) or (source.format in ("csv", "json") and type_ == pa.null()):
            type_ = types[name]
        fields.append(pa.field(name, type_))
    return pa.schema(fields)


def resolved(sources: Sequence[Source], names: Sequence[str], given: dict[str, Any]) -> dict[str, Any]:
    """The key columns' types: those given, else the first that a file has
    other than null."""
    types = dict(given)
    for name in names:
        if name not in types:
            for source in sources:
                type_ = source.schema().field(name).type
                if type_ != pa.null():
                    types[name] = type_
                    break
            else:
                raise Failure(
                    f"key column {name!r} has no value in the first rows of any DATA to tell its type: "
                    f"name it with --types {name}=TYPE"
                )
    return types


def batches(source: Source, columns: list[str] | None, types: dict[str, Any], text: bool = False) -> Iterator[Any]:
    """The record batches of `source`, only `columns` when given. CSV key
    columns are read as `types` gives them, or with `text` every column as
    the text it holds."""
    column_types = types
    names = source.schema().names  # known before a row is read, as _parse needs
    if source.format == "csv" and text:
        column_types = dict.fromkeys(names, pa.string())
    done = 0
    while True:
        try:
            skip = done
            for batch in _ahead(_open(source, columns, column_types)):
                if skip:  # read again with a larger block: the rows before are done
                    taken = min(skip, batch.num_rows)
                    skip -= taken
                    batch = batch.slice(taken)
                    if batch.num_rows == 0:
                        continue
                done += batch.num_rows
                yield batch
            return
        except (pa.ArrowException, OSError) as error:
            if _larger_block(source, error):
                continue
            raise Failure(f"{shown(source.path)}: {data_message(error)}{_hint(source, error)}") from None


def _ahead(reader: Any) -> Iterator[Any]:
    """The batches of `reader`, read in a thread of its own. The main thread
    waits for each on a queue, where a signal (Ctrl-C) reaches it at once:
    waiting in the reader, it would hear of the signal only once pyarrow has
    decoded the next batch, which can take a second."""
    handoff: queue.Queue[Any] = queue.Queue(maxsize=1)
    stop = threading.Event()

    def read() -> None:
        while True:
            try:
                item = reader.read_next_batch()
            except StopIteration:
                item = None
            except Exception as error:  # raised in the main thread
                item = error
            while not stop.is_set():
                try:
                    handoff.put(item, timeout=0.1)
                    break
                except queue.Full:
                    continue
            if item is None or isinstance(item, Exception) or stop.is_set():
                return

    threading.Thread(target=read, name="woxbloom reader", daemon=True).start()
    try:
        while True:
            item = handoff.get()
            if item is None:
                return
            if isinstance(item, Exception):
                raise item
            yield item
    finally:
        stop.set()


def key_columns(batch: Any, source: Source, names: list[str], types: dict[str, Any], text: bool) -> Any:
    """The key columns of `batch`, of the key's types. A CSV file read as
    text has its key columns' text written as CSV and read again as the key's
    types: pyarrow's CSV reader makes the values, as it does when it reads
    the file with the key's types, and so the same key rows."""
    keys = batch.select(names)
    if not (text and source.format == "csv"):
        return keys
    if keys.num_rows == 0:  # pyarrow reads no CSV file of no bytes
        return pa.schema([(name, types[name]) for name in names]).empty_table()
    out = pa.BufferOutputStream()
    pcsv.write_csv(keys, out, pcsv.WriteOptions(include_header=False))
    written = out.getvalue()
    try:
        return pcsv.read_csv(
            pa.BufferReader(written),
            read_options=pcsv.ReadOptions(column_names=names, block_size=max(len(written), 1)),
            parse_options=pcsv.ParseOptions(ignore_empty_lines=False, newlines_in_values=True),
            convert_options=_convert(types),
        )
    except pa.ArrowException as error:
        raise Failure(f"{shown(source.path)}: {data_message(error)}{_hint(source, error)}") from None


def _convert(column_types: dict[str, Any]) -> Any:
    # Null is an empty field, as pyarrow writes it, and "" an empty string;
    # no word (NA, null, NaN) is null, in a column of any type.
    return pcsv.ConvertOptions(
        column_types=column_types, null_values=[""], strings_can_be_null=True, quoted_strings_can_be_null=False
    )


def _parse(source: Source) -> Any:
    # pyarrow writes a null of a file of one column as an empty line, which
    # its reader would skip: there, every line is a row. Elsewhere an empty
    # line is no row (none while the columns are not known yet).
    # A quoted field may hold line ends, as pyarrow writes them.
    one_column = source._schema is not None and len(source._schema.names) == 1
    return pcsv.ParseOptions(delimiter=source.delimiter, ignore_empty_lines=not one_column, newlines_in_values=True)


def _file_format(source: Source, columns: list[str] | None, column_types: dict[str, Any]) -> Any:
    if source.format == "csv":
        return ds.CsvFileFormat(
            parse_options=_parse(source),
            convert_options=_convert(column_types),
            read_options=pcsv.ReadOptions(block_size=source.block),
        )
    if source.format == "parquet":
        # Pre-buffering holds the column chunks of every row group read so
        # far until the file is done: memory would grow with the file.
        scan = ds.ParquetFragmentScanOptions(pre_buffer=False)
        return ds.ParquetFileFormat(default_fragment_scan_options=scan)
    if source.format == "json":
        return ds.JsonFileFormat(
            read_options=pjson.ReadOptions(block_size=source.block), parse_options=_json(source, columns, column_types)
        )
    return source.format


def _json(source: Source, columns: list[str] | None, column_types: dict[str, Any]) -> Any:
    """JSON read with the key's types, so that a column of nulls in the
    first block does not fix the type null for the rest of the file: only
    `columns`, the others skipped unparsed, or every column, the others'
    types found as pyarrow finds them."""
    explicit = _json_schema(source, columns, column_types)
    if explicit is None:
        return pjson.ParseOptions()
    return pjson.ParseOptions(explicit_schema=explicit, unexpected_field_behavior="ignore" if columns is not None else "infer")


def _json_schema(source: Source, columns: list[str] | None, column_types: dict[str, Any]) -> Any:
    if columns is not None:
        known = {field.name: field.type for field in source.schema()}
        return pa.schema([(name, column_types.get(name, known[name])) for name in columns])
    if not column_types:
        return None
    return pa.schema([(field.name, column_types.get(field.name, field.type)) for field in source.schema()])


def _dataset(source: Source, columns: list[str] | None, column_types: dict[str, Any]) -> Any:
    # A dataset of JSON reads as its schema says, whatever its parser's.
    schema = _json_schema(source, columns, column_types) if source.format == "json" else None
    return ds.dataset(source.path, format=_file_format(source, columns, column_types), schema=schema)


def _open(source: Source, columns: list[str] | None, column_types: dict[str, Any]) -> Any:
    """A reader of record batches of `source`."""
    if source.pipe is None:
        return (
            _dataset(source, columns, column_types)
            .scanner(columns=columns, batch_size=BATCH_ROWS, batch_readahead=BATCH_READAHEAD, fragment_readahead=1)
            .to_reader()
        )
    file = pa.PythonFile(source.pipe, mode="r")
    if source.format == "csv":
        convert = _convert(column_types)
        if columns is not None:
            convert.include_columns = columns
        return pcsv.open_csv(
            file,
            read_options=pcsv.ReadOptions(block_size=source.block),
            parse_options=_parse(source),
            convert_options=convert,
        )
    return pjson.open_json(
        file, read_options=pjson.ReadOptions(block_size=source.block), parse_options=_json(source, columns, column_types)
    )


def _with_block(source: Source, read: Any) -> Any:
    """`read()`, again with larger blocks while a row is longer than one."""
    while True:
        try:
            return read()
        except (pa.ArrowException, OSError) as error:
            if _larger_block(source, error):
                continue
            raise Failure(f"{shown(source.path)}: {data_message(error)}{_hint(source, error)}") from None


def _larger_block(source: Source, error: BaseException) -> bool:
    """Whether `error` is a row longer than the block, and the block has grown
    for the next try."""
    if "straddl" not in str(error) or source.pipe is not None or source.block >= LARGEST_BLOCK:
        return False
    source.block *= 4
    return True


def _hint(source: Source, error: BaseException) -> str:
    message = str(error)
    if "straddl" in message and source.pipe is not None:
        return f": a row longer than {PIPE_BLOCK >> 20} MiB in a pipe, which is read once: read it from a file"
    if source.format == "csv" and "conversion error" in message.lower():
        return source.hint
    return ""

