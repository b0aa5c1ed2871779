"""The woxbloom command line: filters built from files and files tested
against filters. Parquet, CSV, Arrow IPC (Feather) and newline-delimited JSON
are read with pyarrow's datasets in batches of bounded size, so that memory
holds the filter and a few batches whatever the size of the input. Every file
it writes, filter or table, goes to a hidden file beside its path and is
renamed over it only once complete.

pyarrow and tqdm are the `cli` extra, imported when the command runs; they
have no complete type annotations, so they are typed Any here. Each command
is a module of its own (build, test, info, combine), imported once the
arguments name it."""

from __future__ import annotations

import contextlib
import importlib
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from woxbloomfilter_tools import _storage
from woxbloomfilter_tools._keys import KeyMismatch
from woxbloomfilter_tools.cli.errors import Failure, UsageError, one_line, os_message, say

INSTALL = 'pip install "woxbloomfilter[cli]"'


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
        say("interrupted")
        return 130


def _main(argv: Sequence[str] | None) -> int:
    try:
        pa = _import_extras()
    except ImportError as error:
        say(f"error: the command line needs pyarrow and tqdm, and {error.name} is missing: {INSTALL}")
        return 2
    from woxbloomfilter_tools.cli.arguments import parser

    args = parser().parse_args(argv)
    command: Any = importlib.import_module(f"woxbloomfilter_tools.cli.{args.module}")
    try:
        command.run(args)
    except UsageError as error:
        args.parser.error(str(error))
    except BrokenPipeError:
        # The reader of stdout went away (`woxbloom info F | head -1`): no
        # message, and no second error when Python flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (Failure, KeyMismatch, _storage.FormatError) as error:
        say(f"error: {one_line(str(error))}")
        return 1
    except OSError as error:
        say(f"error: {os_message(error)}")
        return 1
    except pa.ArrowException as error:
        say(f"error: {one_line(str(error))}")
        return 1
    return 0


def _import_extras() -> Any:
    """pyarrow, once it and the rest of the extra are imported."""
    # pyarrow's allocator, mimalloc, keeps freed memory for a while before it
    # gives it back; batch after batch it keeps a few hundred MiB more than it
    # uses. Read when pyarrow loads, and a user's own setting stays.
    os.environ.setdefault("MIMALLOC_PURGE_DELAY", "0")
    # The writers too, so that a missing piece is told at once.
    for name in ("pyarrow", "pyarrow.dataset", "tqdm", "pyarrow.csv", "pyarrow.ipc", "pyarrow.parquet"):
        importlib.import_module(name)
    return importlib.import_module("pyarrow")

