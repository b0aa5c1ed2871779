"""The command line's arguments: the parser of every command, and the checks
of single values that argparse runs."""

from __future__ import annotations

import argparse
import importlib
from collections.abc import Sequence
from typing import Any, NoReturn

from woxbloomfilter_tools.cli.errors import PROG

DEFAULT_FPR = 0.01
# A new filter grows: each layer twice the rows of the one before.
GROWTH = 2
# The first layer's rows when DATA cannot be counted (a pipe) and --rows is
# not given: 1.5 MiB of bits at 1 %, and a billion rows take 10 layers.
FIRST_ROWS = 1_000_000
# The ratio of a fixed filter made to grow (--append --grow): its first layer
# keeps the rate p it was sized for, and the later layers' rates, halving,
# add up with it to below 2 p. The default ratio, 0.8, would let them reach 5 p.
GROW_RATIO = 0.5
# The formats DATA may have, by extension; --format names one for all.
EXTENSIONS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".csv": "csv",
    ".tsv": "csv",
    ".arrow": "ipc",
    ".feather": "ipc",
    ".ipc": "ipc",
    ".json": "json",
    ".jsonl": "json",
    ".ndjson": "json",
}
FORMATS = ("parquet", "csv", "ipc", "json")
# Files named so are tab-separated, unless --delimiter says otherwise.
TAB_SEPARATED = (".tsv",)


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, as every other error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {message} (see {self.prog} --help)\n")


def parser() -> argparse.ArgumentParser:
    """The parser of every command. Each sets `module`, the module of
    woxbloomfilter_tools.cli whose run(args) carries it out, and `parser`,
    its own parser, for usage errors found later."""
    common = _Parser(add_help=False)
    common.add_argument(
        "--quiet", "-q", action="store_true", help="no progress bar (there is none when stderr is not a terminal)"
    )
    common.add_argument("--version", action=_Version, help="print the version and exit")
    writer = _Parser(add_help=False)
    writer.add_argument(
        "--no-wait",
        action="store_true",
        help="fail at once (exit status 75) when another woxbloom is writing the same file, instead of waiting",
    )
    csv = _Parser(add_help=False)
    csv.add_argument(
        "--delimiter",
        type=delimiter,
        metavar="C",
        help="the character between CSV fields (default ',', tab for .tsv; '\\t' is a tab)",
    )
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Bloom filters of the rows of Parquet, CSV, Arrow IPC (Feather) and newline-delimited JSON files.",
        epilog=(
            "exit status: 0 done, 1 bad data or files, 2 usage, 75 the output is being written by another\n"
            "woxbloom (--no-wait), 128 + the signal's number for SIGINT (130), SIGTERM (143) and SIGHUP (129).\n"
            "Whatever the status but 0, nothing is written. 'woxbloom COMMAND --help' describes each command."
        ),
    )
    parser.add_argument("--version", action=_Version, help="print the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    data_help = (
        "files or directories to read; the format comes from the extension: .parquet/.pq, .csv/.tsv, "
        ".arrow/.feather/.ipc, .json/.jsonl/.ndjson (one JSON object a line); - is standard input, "
        "CSV or JSON named by --format"
    )
    format_help = "the format of every DATA, whatever the file names say"

    build = commands.add_parser(
        "build",
        parents=[common, writer, csv],
        help="a filter of the key columns of every row of DATA",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Builds FILTER from the key columns of every row of DATA, read in batches.\n\n"
            "FILTER grows: its first layer is sized for n rows (and 3 sqrt(n) more, so that all n\n"
            "fit whatever the error of its estimate of them) at a rate below --fpr; when it is\n"
            "full, a layer of twice the rows at a lower rate is added, and so on, so that its\n"
            "rate stays below --fpr however many rows come, now or with --append. n is --rows\n"
            "when given, else the number of rows in DATA. Parquet and Arrow IPC files record it;\n"
            "CSV and JSON do not, so for them the files are read twice, once to count the rows\n"
            "(the progress bar shows it) and once to build: a first layer that holds them all\n"
            "takes about a third less memory than layers grown from a smaller start, and a test\n"
            "asks one layer instead of several. --rows spares the counting pass. Standard input\n"
            f"and pipes are read once: without --rows the first layer is sized for {FIRST_ROWS:,} rows.\n\n"
            "--fixed makes a filter of one layer sized for n rows at --fpr, smaller and faster to\n"
            "test, whose rate climbs past n rows: it needs the rows counted, or --rows.\n\n"
            "The key's types are those of the files, and all files must agree on them. --types\n"
            "names them instead, as 'info' prints a layout: id=int64,name=string; CSV columns are\n"
            "then read as those types, and other files must have them.\n\n"
            "With --append, the rows go into the existing FILTER, whose recorded key and size\n"
            "stay: --rows, --fpr, --types and --fixed are refused, and --key, if given, must be\n"
            "FILTER's key. A growing FILTER adds layers as it needs. A fixed FILTER that the rows\n"
            "would take past the rows it was sized for is refused and left as it was, unless\n"
            "--grow (it becomes a growing filter whose first layer is the fixed one, its bits kept,\n"
            "and stays below twice the rate it was sized for, or has if it holds more rows) or\n"
            "--force (the rows go in, its rate climbs, and one warning line tells it). A FILTER\n"
            "stored before capacities were recorded takes the rows as a fixed one with nothing to\n"
            "refuse by, or grows with --grow.\n"
            "Data whose key columns differ from FILTER's in names, order or types is refused.\n\n"
            "In CSV files only an empty field is null, and a quoted empty field (\"\") is an empty\n"
            "string, as pyarrow writes them: NA, null or NaN are values like any other.\n\n"
            "FILTER is written beside its path and renamed over it once complete, under a lock\n"
            "that a second woxbloom writing FILTER waits for (--no-wait: it fails at once)."
        ),
    )
    build.add_argument("filter", metavar="FILTER", help="the filter file to write (or to add to, with --append)")
    build.add_argument("data", metavar="DATA", nargs="+", help=data_help)
    build.add_argument("--key", type=key_names, metavar="COL[,COL...]", help="the key columns, in order")
    build.add_argument(
        "--rows", type=row_count, metavar="N", help="size the (first layer of the) filter for N rows: no counting pass"
    )
    build.add_argument(
        "--fpr",
        type=rate,
        metavar="P",
        help=f"the false-positive rate that a growing filter stays below, or a fixed one has at n rows (default {DEFAULT_FPR})",
    )
    build.add_argument(
        "--fixed", action="store_true", help="one layer sized for n rows, whose rate climbs past them, instead of growing"
    )
    build.add_argument(
        "--types",
        type=key_types,
        metavar="COL=TYPE[,...]",
        help="the types of key columns, as a layout names them (int64, string, date32, decimal128(10, 2), ...)",
    )
    build.add_argument("--append", action="store_true", help="insert into the existing FILTER")
    build.add_argument(
        "--grow", action="store_true", help="with --append: a fixed FILTER becomes a growing one, its bits the first layer"
    )
    build.add_argument(
        "--force",
        action="store_true",
        help="with --append: insert into a fixed FILTER past the rows it was sized for (its rate climbs)",
    )
    build.add_argument("--format", choices=FORMATS, help=format_help)
    build.set_defaults(module="build", parser=build)

    test = commands.add_parser(
        "test",
        parents=[common, writer, csv],
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
            "stored by the plain save() holds rows of unknown columns and is refused. CSV key\n"
            "columns are read as the types FILTER records. Rows from CSV files are written\n"
            "with every field as the text it had in the file."
        ),
    )
    test.add_argument("filter", metavar="FILTER", help="the filter file")
    test.add_argument("data", metavar="DATA", nargs="+", help=data_help)
    test.add_argument("--present", action="store_true", help="keep the rows that may be in FILTER instead")
    test.add_argument(
        "-o", "--output", metavar="OUT", help="write the kept rows to OUT (.parquet, .csv, .tsv, .arrow)"
    )
    test.add_argument("--format", choices=FORMATS, help=format_help)
    test.set_defaults(module="test", parser=test)

    info = commands.add_parser(
        "info",
        parents=[common],
        help="what a filter file holds and how full it is",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Prints FILTER's size, format version and that its checksum holds, its key and key\n"
            "row layout, and its capacity: the rows n and the rate p it was sized for (none for a\n"
            "file stored before capacities were recorded). For a fixed filter: k, m, the fill, the\n"
            "rows it holds as estimated from the fill, its expected false-positive rate now\n"
            "(fill ** k), how many more rows double it, and whether it has passed its capacity.\n"
            "For a growing filter: its growth and ratio, each layer's k, m, capacity, fill,\n"
            "estimated rows and rate, then the rows of all layers, the rate of all of them\n"
            "together, and how many more rows fill the newest layer.\n"
            "A damaged file is one error line and exit status 1."
        ),
    )
    info.add_argument("filter", metavar="FILTER", help="the filter file")
    info.add_argument("--json", action="store_true", help="one JSON object instead of lines of text")
    info.set_defaults(module="info", parser=info)

    for name, verb in (("union", "set in any"), ("intersect", "set in every one")):
        command = commands.add_parser(
            name,
            parents=[common, writer],
            help=f"a filter of the bits {verb} of the filters",
            description=(
                f"Writes to OUT the filter of the bits {verb} of A, B, ...: filters of equal k, m "
                "and key layout (of the same rows, by the same key). Growing filters combine layer "
                "by layer, when they have the same layers; a growing filter never combines with a "
                "fixed one, and growing filters of more than one layer do not intersect."
            ),
        )
        command.add_argument("output", metavar="OUT", help="the filter file to write")
        command.add_argument("filters", metavar="FILTER", nargs="+", help="A B ...: two filters or more")
        command.set_defaults(module="combine", parser=command)
    return parser


class _Version(argparse.Action):
    """--version, which reads the installed package's metadata only when
    asked: importing importlib.metadata costs as much as the rest of --help."""

    def __init__(self, option_strings: Sequence[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: Any, values: Any, option: str | None = None) -> None:
        print(f"{PROG} {version()}")
        parser.exit(0)


def version() -> str:
    metadata: Any = importlib.import_module("importlib.metadata")
    try:
        found: str = metadata.version("woxbloomfilter")
    except metadata.PackageNotFoundError:  # a build tree on PYTHONPATH
        return "(not installed)"
    return found


def key_names(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    if not all(names):
        raise argparse.ArgumentTypeError(f"an empty column name in {text!r}")
    if len(set(names)) < len(names):
        raise argparse.ArgumentTypeError(f"a column named twice in {text!r}")
    return names


def row_count(text: str) -> int:
    try:
        n = int(text.replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {n}")
    return n


def rate(text: str) -> float:
    try:
        p = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 < p < 1.0:
        raise argparse.ArgumentTypeError(f"must be above 0 and below 1, got {text}")
    return p


def key_types(text: str) -> dict[str, str]:
    """COL=TYPE pairs split at the commas outside brackets, as in
    "price=decimal128(10, 2),at=timestamp[us, tz=UTC]". The types are
    checked against the layout's names when pyarrow is there."""
    pairs, depth, start = [], 0, 0
    for at, char in enumerate(text + ","):
        depth += {"(": 1, "[": 1, ")": -1, "]": -1}.get(char, 0)
        if char == "," and depth == 0:
            pairs.append(text[start:at])
            start = at + 1
    types: dict[str, str] = {}
    for pair in pairs:
        name, equals, type_ = (part.strip() for part in pair.partition("="))
        if not (name and equals and type_):
            raise argparse.ArgumentTypeError(f"not COL=TYPE: {pair.strip()!r}")
        if name in types:
            raise argparse.ArgumentTypeError(f"column {name!r} given twice")
        types[name] = type_
    return types


def delimiter(text: str) -> str:
    if text == "\\t":
        return "\t"
    if len(text) != 1 or text in "\"\r\n":
        raise argparse.ArgumentTypeError(f"must be one character other than a quote or a line end, got {text!r}")
    return text
