"""woxbloom union and intersect: a filter of the bits set in any, or in every
one, of filters of equal k, m and key layout."""

from __future__ import annotations

import argparse

from woxbloomfilter_tools._keys import KeyMismatch
from woxbloomfilter_tools.cli import filters
from woxbloomfilter_tools.cli.errors import Failure, UsageError, shown
from woxbloomfilter_tools.cli.outputs import locked, refuse_same


def run(args: argparse.Namespace) -> None:
    operation = args.command  # "union" or "intersect", the KeyedFilter method's name
    if len(args.filters) < 2:
        raise UsageError(f"{operation} takes two filters or more, got one")
    refuse_same(args.output, args.filters)
    with locked(args.output, wait=not args.no_wait, quiet=args.quiet):
        _combine(args, operation)


def _combine(args: argparse.Namespace, operation: str) -> None:
    first, *others = args.filters
    result = filters.load(first)
    k, m = result.filter.get_k(), result.filter.get_m()
    for path in others:
        other = filters.load(path)
        their_k, their_m = other.filter.get_k(), other.filter.get_m()
        if (their_k, their_m) != (k, m):
            raise Failure(
                f"{shown(path)} has k = {their_k}, m = {their_m:,} but {shown(first)} has k = {k}, m = {m:,}: "
                "only filters of equal k and m combine"
            )
        try:
            getattr(result, operation)(other)
        except KeyMismatch as error:
            raise Failure(f"{shown(path)}: {error}") from None
    filters.save(result, args.output)
