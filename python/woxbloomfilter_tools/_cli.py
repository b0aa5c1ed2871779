"""The woxbloom command line: filters built from files and files tested
against filters. Parquet, CSV, Arrow IPC (Feather) and newline-delimited JSON
are read with pyarrow's datasets in batches of bounded size, so that memory
holds the filter and a few batches whatever the size of the input. Every file
it writes, filter or table, goes to a hidden file beside its path and is
renamed over it only once complete.

pyarrow and tqdm are the `cli` extra, imported when the command runs; they
have no complete type annotations, so they are typed Any here."""

from __future__ import annotations

import argparse
import contextlib
import errno
import importlib
import json
import math
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import _storage, estimated_rows, fill, parameters
from woxbloomfilter_tools._keys import KeyedFilter, KeyMismatch, key_rows

PROG = "woxbloom"
INSTALL = 'pip install "woxbloomfilter[cli]"'
DEFAULT_FPR = 0.01
# Rows per batch read, and how many batches pyarrow reads ahead of the one in
# hand: enough to keep its threads busy while the filter takes a batch, few
# enough that memory stays a few batches.
BATCH_ROWS = 1 << 16
BATCH_READAHEAD = 4
# Kept rows are gathered up to this many (or bytes) before they are written,
# so that Parquet gets row groups of the usual size rather than one per batch.
WRITE_ROWS = 1 << 20
WRITE_BYTES = 64 << 20
EXTENSIONS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".csv": "csv",
    ".arrow": "ipc",
    ".feather": "ipc",
    ".ipc": "ipc",
    ".json": "json",
    ".jsonl": "json",
    ".ndjson": "json",
}
FORMATS = ("parquet", "csv", "ipc", "json")

# The cli extra, set by _import_extras.
pa: Any = None
ds: Any = None
tqdm: Any = None


class Failure(Exception):
    """Bad data, a bad file or filters that do not fit together: its message
    is the one line printed, and the exit status is 1."""


class UsageError(Exception):
    """Arguments that argparse could not check alone: exit status 2."""


@dataclass
class Source:
    path: str
    format: str
    dataset: Any


def run() -> NoReturn:
    """The `woxbloom` program: runs the command in the process's arguments
    and ends the process with its exit status.

    A command that stops part-way (an error, Ctrl-C) leaves pyarrow's reading
    threads at work on batches read ahead, and those crash the interpreter
    while it shuts down around them. Its files are already complete or
    removed by then, so such an exit skips the shutdown."""
    status = main()
    if status == 0:
        sys.exit(0)
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    os._exit(status)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command in `argv` (by default the process's arguments) and
    returns the exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # Every file is written beside its path and renamed only once
        # complete, and the temporary file is removed on the way here.
        _say("interrupted")
        return 130


def _main(argv: Sequence[str] | None) -> int:
    try:
        _import_extras()
    except ImportError as error:
        _say(f"error: the command line needs pyarrow and tqdm, and {error.name} is missing: {INSTALL}")
        return 2
    args = _parser().parse_args(argv)
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        run(args)
    except UsageError as error:
        args.parser.error(str(error))
    except BrokenPipeError:
        # The reader of stdout went away (`woxbloom info F | head -1`): no
        # message, and no second error when Python flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (Failure, KeyMismatch, _storage.FormatError) as error:
        _say(f"error: {_one_line(str(error))}")
        return 1
    except OSError as error:
        _say(f"error: {_os_message(error)}")
        return 1
    except pa.ArrowException as error:
        _say(f"error: {_one_line(str(error))}")
        return 1
    return 0


def _import_extras() -> None:
    global pa, ds, tqdm
    # pyarrow's allocator, mimalloc, keeps freed memory for a while before it
    # gives it back; batch after batch it keeps a few hundred MiB more than it
    # uses. Read when pyarrow loads, and a user's own setting stays.
    os.environ.setdefault("MIMALLOC_PURGE_DELAY", "0")
    pa = importlib.import_module("pyarrow")
    ds = importlib.import_module("pyarrow.dataset")
    tqdm = importlib.import_module("tqdm")
    # The writers, imported here so that a missing piece is told at once.
    for name in ("pyarrow.csv", "pyarrow.ipc", "pyarrow.parquet"):
        importlib.import_module(name)


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, as every other error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {message} (see {self.prog} --help)\n")


def _parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument(
        "--quiet", "-q", action="store_true", help="no progress bar (there is none when stderr is not a terminal)"
    )
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Bloom filters of the rows of Parquet, CSV, Arrow IPC (Feather) and newline-delimited JSON files.",
        epilog=(
            "exit status: 0 done, 1 bad data or files (nothing written), 2 usage, 130 interrupted\n"
            "(nothing written). 'woxbloom COMMAND --help' describes each command."
        ),
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    data_help = (
        "files or directories to read; the format comes from the extension: .parquet/.pq, .csv, "
        ".arrow/.feather/.ipc, .json/.jsonl/.ndjson (one JSON object a line)"
    )
    format_help = "the format of every DATA, whatever the file names say"

    build = commands.add_parser(
        "build",
        parents=[common],
        help="a filter of the key columns of every row of DATA",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Builds FILTER from the key columns of every row of DATA, read in batches.\n\n"
            "The filter is sized for n rows at the rate --fpr: n is --rows when given, else the\n"
            "number of rows in DATA. Parquet and Arrow IPC files record it; CSV and JSON do not,\n"
            "so for them the files are read twice, once to count the rows (the progress bar\n"
            "shows it) and once to build: --rows spares the counting pass.\n\n"
            "With --append, the rows go into the existing FILTER, whose recorded key and size\n"
            "stay: --rows and --fpr are refused, and --key, if given, must be FILTER's key.\n"
            "Data whose key columns differ from FILTER's in names, order or types is refused.\n\n"
            "In CSV files an empty field is null, a quoted empty field (\"\") an empty string,\n"
            "as pyarrow writes them."
        ),
    )
    build.add_argument("filter", metavar="FILTER", help="the filter file to write (or to add to, with --append)")
    build.add_argument("data", metavar="DATA", nargs="+", help=data_help)
    build.add_argument("--key", type=_key_names, metavar="COL[,COL...]", help="the key columns, in order")
    build.add_argument("--rows", type=_row_count, metavar="N", help="size the filter for N rows (no counting pass)")
    build.add_argument(
        "--fpr", type=_rate, metavar="P", help=f"the false-positive rate at n rows (default {DEFAULT_FPR})"
    )
    build.add_argument("--append", action="store_true", help="insert into the existing FILTER")
    build.add_argument("--format", choices=FORMATS, help=format_help)
    build.set_defaults(run=_build, parser=build)

    test = commands.add_parser(
        "test",
        parents=[common],
        help="the rows of DATA surely not in a filter (or, with --present, those that may be)",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Tests every row of DATA against FILTER by the key columns FILTER records, and writes\n"
            "the rows surely not in it to OUT, or with --present those that may be, with all their\n"
            "columns. OUT is Parquet, CSV or Arrow IPC, by its extension; it is written beside\n"
            "its path and renamed over it once complete. Without -o, only counts.\n\n"
            "Prints to stderr the rows read and kept, and FILTER's expected false-positive rate\n"
            "at its fill: the share of new rows that test present nevertheless.\n\n"
            "FILTER must record its key, as 'woxbloom build' and KeyedFilter.save do: a filter\n"
            "stored by the plain save() holds rows of unknown columns and is refused."
        ),
    )
    test.add_argument("filter", metavar="FILTER", help="the filter file")
    test.add_argument("data", metavar="DATA", nargs="+", help=data_help)
    test.add_argument("--present", action="store_true", help="keep the rows that may be in FILTER instead")
    test.add_argument("-o", "--output", metavar="OUT", help="write the kept rows to OUT (.parquet, .csv, .arrow)")
    test.add_argument("--format", choices=FORMATS, help=format_help)
    test.set_defaults(run=_test, parser=test)

    info = commands.add_parser(
        "info",
        parents=[common],
        help="what a filter file holds and how full it is",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Prints FILTER's k, m and size, its key and key row layout, its fill, the rows it\n"
            "holds as estimated from the fill, its expected false-positive rate now (fill ** k)\n"
            "and how many more rows double it, its format version and that its checksum holds.\n"
            "A damaged file is one error line and exit status 1."
        ),
    )
    info.add_argument("filter", metavar="FILTER", help="the filter file")
    info.add_argument("--json", action="store_true", help="one JSON object instead of lines of text")
    info.set_defaults(run=_info, parser=info)

    for name, verb in (("union", "set in any"), ("intersect", "set in every one")):
        command = commands.add_parser(
            name,
            parents=[common],
            help=f"a filter of the bits {verb} of the filters",
            description=(
                f"Writes to OUT the filter of the bits {verb} of A, B, ...: filters of equal k, m "
                "and key layout (of the same rows, by the same key)."
            ),
        )
        command.add_argument("output", metavar="OUT", help="the filter file to write")
        command.add_argument("filters", metavar="FILTER", nargs="+", help="A B ...: two filters or more")
        command.set_defaults(run=_union if name == "union" else _intersect, parser=command)
    return parser


def _key_names(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    if not all(names):
        raise argparse.ArgumentTypeError(f"an empty column name in {text!r}")
    if len(set(names)) < len(names):
        raise argparse.ArgumentTypeError(f"a column named twice in {text!r}")
    return names


def _row_count(text: str) -> int:
    try:
        n = int(text.replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {n}")
    return n


def _rate(text: str) -> float:
    try:
        p = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 < p < 1.0:
        raise argparse.ArgumentTypeError(f"must be above 0 and below 1, got {text}")
    return p


# The commands.


def _build(args: argparse.Namespace) -> None:
    if args.append:
        if args.rows is not None or args.fpr is not None:
            raise UsageError("--rows and --fpr size a new filter: with --append FILTER keeps its size")
    elif args.key is None:
        raise UsageError("the following arguments are required: --key (or --append to an existing FILTER)")
    sources = [_source(path, args.format) for path in args.data]
    if args.append:
        keyed = _load(args.filter)
        names = _key_of(keyed, args.filter, "added to")
        if args.key is not None and args.key != names:
            raise Failure(f"{args.filter} is keyed by {', '.join(names)}, not by {', '.join(args.key)}")
    else:
        names = args.key
        # Every DATA is checked before a row is read, the counting pass too.
        keyed = KeyedFilter(_probe(), names)
    for source in sources:
        _check(keyed.insert, source, names)
    counts = [_stored_count(source) for source in sources]
    total = None if None in counts else sum(count or 0 for count in counts)
    if not args.append:
        rows = args.rows
        if rows is None:
            rows = total if total is not None else _counted(sources, counts, args.quiet)
            total = rows
        keyed = _sized(max(rows, 1), DEFAULT_FPR if args.fpr is None else args.fpr, names)
    with _progress(args.quiet, total, "building") as bar:
        for source in sources:
            for batch in _batches(source, list(names)):
                _keyed(keyed.insert, batch, source.path)
                bar.update(batch.num_rows)
    keyed.save(args.filter)


def _test(args: argparse.Namespace) -> None:
    out_format = None if args.output is None else _writer_of(args.output)
    sources = [_source(path, args.format) for path in args.data]
    keyed = _load(args.filter)
    names = _key_of(keyed, args.filter, "tested")
    for source in sources:
        _check(keyed.test, source, names)
    k = keyed.filter.get_k()
    rate = fill(keyed.filter) ** k
    counts = [_stored_count(source) for source in sources]
    total = None if None in counts else sum(count or 0 for count in counts)
    read = kept = 0
    with contextlib.ExitStack() as stack:
        write = None
        if out_format is not None:  # every batch with the columns of the first DATA
            write = stack.enter_context(_table_writer(out_format, args.output, sources[0].dataset.schema))
        bar = stack.enter_context(_progress(args.quiet, total, "testing"))
        for source in sources:
            for batch in _batches(source, None if write is not None else list(names)):
                may = _keyed(keyed.test, batch.select(list(names)), source.path)
                keep = may if args.present else ~may
                read += batch.num_rows
                kept += int(keep.sum())
                if write is not None:
                    write(batch.filter(pa.array(keep)), source.path)
                bar.update(batch.num_rows)
    which = "may be in" if args.present else "surely not in"
    if args.output is None:
        _say(f"{read:,} rows read, {kept:,} {which} {args.filter}")
    else:
        _say(f"{read:,} rows read, {kept:,} written to {args.output} ({which} {args.filter})")
    _say(f"{args.filter}'s expected false-positive rate at its fill: {_percent(rate)}")


def _info(args: argparse.Namespace) -> None:
    keyed = _load(args.filter)
    f = keyed.filter
    k, m = f.get_k(), f.get_m()
    with open(args.filter, "rb") as file:
        version = _storage.HEADER.unpack(file.read(_storage.HEADER.size))[1]
        size = os.fstat(file.fileno()).st_size
    filled = fill(f)
    rate = filled**k
    rows = None if k == 0 else estimated_rows(f)
    more = _rows_to_double(k, m, filled)
    layout = keyed.layout
    key = None if keyed.key is None else list(keyed.key)
    if args.json:
        record = {
            "file": args.filter,
            "format_version": version,
            "checksum_holds": True,
            "file_bytes": size,
            "k": k,
            "m": m,
            "bytes": (m + 7) // 8,
            "key": key,
            "layout": None if layout is None else {
                "source": layout.source,
                "columns": [list(column) for column in layout.columns],
                "version": layout.version,
            },
            "fill": filled,
            "estimated_rows": None if rows is None or math.isinf(rows) else rows,
            "fpr": rate,
            "rows_until_fpr_doubles": more,
        }
        print(json.dumps(record, ensure_ascii=False))
        return
    if layout is None:
        key_text = layout_text = "none: stored by the plain save(), its rows' columns are unknown"
    else:
        key_text = ", ".join(layout.names) + (" (every column)" if key is None else "")
        layout_text = f"{layout} (key row layout version {layout.version})"
    if rows is None:
        rows_text = "unknown: with k = 0 rows set no bits"
    elif math.isinf(rows):
        rows_text = "unknown: every bit is set"
    else:
        rows_text = f"{rows:,.0f}"
    if more is None:
        more_text = "never: the rate is 0" if rate == 0 else "never: twice the rate would pass 100 %"
    else:
        more_text = f"{more:,} more rows"
    lines = [
        ("file", f"{args.filter} ({size:,} bytes, format version {version}, checksum holds)"),
        ("k", f"{k}"),
        ("m", f"{m:,} bits ({(m + 7) // 8:,} bytes)"),
        ("key", key_text),
        ("layout", layout_text),
        ("fill", f"{filled:.4f}"),
        ("estimated rows", rows_text),
        ("false positives", f"{_percent(rate)} expected now (fill ** k)"),
        ("rate doubles after", more_text),
    ]
    width = max(len(label) for label, _ in lines)
    for label, value in lines:
        print(f"{label:<{width}}  {value}")


def _union(args: argparse.Namespace) -> None:
    _combine(args, "union")


def _intersect(args: argparse.Namespace) -> None:
    _combine(args, "intersect")


def _combine(args: argparse.Namespace, operation: str) -> None:
    if len(args.filters) < 2:
        raise UsageError(f"{operation} takes two filters or more, got one")
    first, *others = args.filters
    result = _load(first)
    k, m = result.filter.get_k(), result.filter.get_m()
    for path in others:
        other = _load(path)
        their_k, their_m = other.filter.get_k(), other.filter.get_m()
        if (their_k, their_m) != (k, m):
            raise Failure(
                f"{path} has k = {their_k}, m = {their_m:,} but {first} has k = {k}, m = {m:,}: "
                "only filters of equal k and m combine"
            )
        try:
            getattr(result, operation)(other)
        except KeyMismatch as error:
            raise Failure(f"{path}: {error}") from None
    result.save(args.output)


# Filters.


def _load(path: str) -> KeyedFilter:
    try:
        return KeyedFilter.load(path)
    except _storage.FormatError as error:
        raise Failure(f"{path}: {error}") from None


def _key_of(keyed: KeyedFilter, path: str, done: str) -> tuple[str, ...]:
    """The columns the filter's rows came from: its key, or for a filter
    keyed by every column, every column its layout records."""
    if keyed.layout is None:
        raise Failure(
            f"{path} records no key: it was stored by the plain save(), so the columns its rows came from "
            f"are unknown and it cannot be {done} here; build it with 'woxbloom build' or KeyedFilter"
        )
    if keyed.layout.source != "table":
        raise Failure(f"{path} holds key rows of {keyed.layout}, not of a table's columns")
    return keyed.key if keyed.key is not None else keyed.layout.names


def _sized(rows: int, p: float, names: tuple[str, ...]) -> KeyedFilter:
    try:
        return KeyedFilter.sized(rows, p, names)
    except (MemoryError, TypeError):  # TypeError: an m past 64 bits
        gib = parameters(rows, p)[1] / 8 / 2**30
        raise Failure(f"a filter for {rows:,} rows at {p} takes {gib:,.1f} GiB: more memory than there is") from None


def _probe() -> bloomfilter:
    """A filter of one bit, for a KeyedFilter that only checks layouts."""
    f = bloomfilter()
    f.configure(1, 1)
    return f


def _keyed(call: Callable[[Any], Any], data: Any, path: str) -> Any:
    """`call` (a KeyedFilter's insert or test) on `data`, which comes from
    `path`: a missing column is KeyError, a column type without a key layout
    TypeError, a layout of other types KeyMismatch, a malformed value (one
    past the 2 GiB a key value may hold) ValueError."""
    try:
        return call(data)
    except KeyError as error:
        raise Failure(f"{path}: {error.args[0]}") from None
    except (TypeError, ValueError) as error:
        raise Failure(f"{path}: {error}") from None


def _check(call: Callable[[Any], Any], source: Source, names: tuple[str, ...]) -> None:
    """Refuses `source`, before any row is read, when it lacks a key column
    or its key columns have other types than the filter's."""
    empty = source.dataset.schema.empty_table()
    _keyed(lambda table: key_rows(table, names), empty, source.path)
    _keyed(call, empty.select(list(names)), source.path)


def _rows_to_double(k: int, m: int, filled: float) -> int | None:
    """How many more distinct rows take the expected rate from fill ** k to
    twice that, by the model: the fill reaches 2 ** (1 / k) times its own.
    None when the rate is 0 or twice it would pass 1."""
    if k == 0 or filled == 0.0:
        return None
    target = 2.0 ** (1.0 / k) * filled
    if target >= 1.0:
        return None
    return math.ceil(m / k * (math.log1p(-filled) - math.log1p(-target)))


# Data.


def _format_of(path: str, given: str | None) -> str:
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


def _source(path: str, given: str | None) -> Source:
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
    kind = _format_of(path, given)
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
        raise Failure(f"{path}: {_data_message(error)}") from None


def _stored_count(source: Source) -> int | None:
    """The rows of `source` when its files record them, as Parquet's footer
    and the IPC file format's do."""
    if source.format not in ("parquet", "ipc"):
        return None
    try:
        count: int = source.dataset.count_rows()
    except (pa.ArrowException, OSError) as error:
        raise Failure(f"{source.path}: {_data_message(error)}") from None
    return count


def _counted(sources: list[Source], counts: list[int | None], quiet: bool) -> int:
    """The rows of every source: those its files record, and the others
    counted by reading them through without a column."""
    rows = 0
    with _progress(quiet, None, "counting rows") as bar:
        for source, count in zip(sources, counts):
            if count is not None:
                rows += count
                bar.update(count)
                continue
            for batch in _batches(source, []):
                rows += batch.num_rows
                bar.update(batch.num_rows)
    return rows


def _batches(source: Source, columns: list[str] | None) -> Iterator[Any]:
    """The record batches of `source`, only `columns` when given."""
    try:
        reader = source.dataset.scanner(
            columns=columns, batch_size=BATCH_ROWS, batch_readahead=BATCH_READAHEAD, fragment_readahead=1
        ).to_reader()
    except (pa.ArrowException, OSError) as error:
        raise Failure(f"{source.path}: {_data_message(error)}") from None
    with reader:
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            except (pa.ArrowException, OSError) as error:
                raise Failure(f"{source.path}: {_data_message(error)}") from None
            yield batch


def _writer_of(path: str) -> str:
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
                raise Failure(f"{where}: its columns differ from the first DATA's: {_one_line(str(error))}") from None
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
def _table_writer(kind: str, path: str, schema: Any) -> Iterator[Callable[[Any, str], None]]:
    """A function that writes batches of `schema` to a hidden file beside
    `path`, renamed over `path` when the block ends without error and
    removed when it ends with one."""
    with _replacing(path) as temporary:
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
def _replacing(path: str) -> Iterator[str]:
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


# Output.


def _progress(quiet: bool, total: int | None, what: str) -> Any:
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


def _say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr)


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _percent(rate: float) -> str:
    return f"{rate * 100:.4g} %"


def _os_message(error: OSError) -> str:
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return _one_line(str(error))


def _data_message(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return _one_line(str(error))
