"""How the command line fails: the exceptions that end a command, and the one
line it prints for each."""

from __future__ import annotations

import sys

PROG = "woxbloom"


class Failure(Exception):
    """Bad data, a bad file or filters that do not fit together: its message
    is the one line printed, and the exit status is 1."""


class UsageError(Exception):
    """Arguments that argparse could not check alone: exit status 2."""


def say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr)


def one_line(text: str) -> str:
    return " ".join(text.split())


def os_message(error: OSError) -> str:
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return one_line(str(error))


def data_message(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return one_line(str(error))
