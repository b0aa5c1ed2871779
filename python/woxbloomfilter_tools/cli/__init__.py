"""The woxbloom command line: filters built from files and files tested
against filters. Parquet, CSV, Arrow IPC (Feather) and newline-delimited JSON
are read with pyarrow in batches of bounded size, so that memory holds the
filter and a few batches whatever the size of the input. Every file it
writes, filter or table, is written under a lock, to a hidden file beside its
path, renamed over it only once complete.

pyarrow and tqdm are the `cli` extra, imported once the arguments are read,
so that --help and --version answer at once; they have no complete type
annotations, so they are typed Any here. Each command is a module of its own
(build, test, info, combine), imported once the arguments name it."""

from __future__ import annotations

import contextlib
import importlib
import os
import signal
import sys
from collections.abc import Sequence
from types import FrameType
from typing import Any, NoReturn

from woxbloomfilter_tools import _storage
from woxbloomfilter_tools._keys import KeyMismatch
from woxbloomfilter_tools.cli.arguments import parser
from woxbloomfilter_tools.cli.errors import Busy, Failure, Stopped, UsageError, one_line, os_message, say, signal_name

INSTALL = 'pip install "woxbloomfilter[cli]"'
# Each stops a command as Ctrl-C does: its temporary files removed, one line,
# exit status 128 + the signal's number.
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def run() -> NoReturn:
    """The `woxbloom` program: runs the command in the process's arguments
    and ends the process with its exit status.

    A command that stops part-way (an error, a signal) leaves pyarrow's
    reading threads at work on batches read ahead, and those crash the
    interpreter while it shuts down around them, or hold it up until they
    are done. Its files are already complete or removed by then, so such an
    exit skips the shutdown."""
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
        _stop_on_signals()
        return _main(argv)
    except Stopped as stop:
        _ignore_signals()  # a second signal must not cut the cleanup short
        say("interrupted" if stop.signum == signal.SIGINT else f"stopped by {signal_name(stop.signum)}")
        return 128 + stop.signum
    except KeyboardInterrupt:  # raised before the handlers were set
        say("interrupted")
        return 128 + signal.SIGINT


def _stop(signum: int, frame: FrameType | None) -> None:
    _ignore_signals()
    raise Stopped(signum)


def _stop_on_signals() -> None:
    for signum in STOPPING:
        # A signal ignored when the command started (nohup) stays ignored.
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, _stop)


def _ignore_signals() -> None:
    for signum in STOPPING:
        signal.signal(signum, signal.SIG_IGN)


def _main(argv: Sequence[str] | None) -> int:
    args = parser().parse_args(argv)
    try:
        pa = _import_extras()
    except ImportError as error:
        say(f"error: the command line needs pyarrow and tqdm, and {error.name} is missing: {INSTALL}")
        return 2
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
    except Busy as error:
        say(f"error: {error}")
        return 75
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
    for name in ("pyarrow", "pyarrow.dataset", "tqdm", "pyarrow.csv", "pyarrow.ipc", "pyarrow.json", "pyarrow.parquet"):
        importlib.import_module(name)
    return importlib.import_module("pyarrow")
