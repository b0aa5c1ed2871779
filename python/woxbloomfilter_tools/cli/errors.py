"""How the command line fails: the exceptions that end a command, and the one
line it prints for each."""

from __future__ import annotations

import contextlib
import signal
import sys

PROG = "woxbloom"
STDIN = "-"


class Failure(Exception):
    """Bad data, a bad file or filters that do not fit together: its message
    is the one line printed, and the exit status is 1."""


class UsageError(Exception):
    """Arguments that argparse could not check alone: exit status 2."""


class Busy(Exception):
    """Another writer holds the output, and --no-wait: exit status 75, as
    sysexits' EX_TEMPFAIL, so that a script can tell "try again later" from
    bad data."""


class Stopped(KeyboardInterrupt):
    """SIGINT, SIGTERM or SIGHUP: a KeyboardInterrupt, so that everything
    that removes its temporary files on Ctrl-C does it for all three."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def say(text: str) -> None:
    # Also after SIGHUP, when the terminal may be gone.
    with contextlib.suppress(OSError, ValueError):
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def shown(path: str) -> str:
    """`path` as messages print it: on one line, its control characters
    escaped (a newline as \\n), standard input by name."""
    if path == STDIN:
        return "standard input"
    if path.isprintable():
        return path
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in path)


def one_line(text: str) -> str:
    return " ".join(text.split())


def os_message(error: OSError) -> str:
    if error.filename is not None and error.strerror:
        return f"{shown(str(error.filename))}: {error.strerror}"
    return one_line(str(error))


def data_message(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return one_line(str(error))


def signal_name(signum: int) -> str:
    return signal.Signals(signum).name
