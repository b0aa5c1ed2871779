"""woxbloom build: a filter of the key columns of every row of DATA, new or
added to an existing one."""

from __future__ import annotations

import argparse
from typing import Any

from woxbloomfilter_tools._keys import KeyedFilter
from woxbloomfilter_tools.cli import filters, sources
from woxbloomfilter_tools.cli.arguments import DEFAULT_FPR
from woxbloomfilter_tools.cli.errors import Failure, UsageError, shown
from woxbloomfilter_tools.cli.outputs import locked, progress, refuse_same


def run(args: argparse.Namespace) -> None:
    if args.append:
        if args.rows is not None or args.fpr is not None:
            raise UsageError("--rows and --fpr size a new filter: with --append FILTER keeps its size")
        if args.types is not None:
            raise UsageError("--types fixes the key of a new filter: with --append FILTER's key gives the types")
    elif args.key is None:
        raise UsageError("the following arguments are required: --key (or --append to an existing FILTER)")
    given = _given_types(args)
    found = sources.expand(args.data, args.format, args.delimiter)
    refuse_same(args.filter, [source.path for source in found])
    if not args.append and args.rows is None:
        for source in found:
            if source.pipe is not None:
                raise UsageError(
                    f"{shown(source.path)} can be read only once, and the filter's size needs the rows counted "
                    "first: give --rows N (a bound above the rows will do)"
                )
    with locked(args.filter, wait=not args.no_wait, quiet=args.quiet):
        _build(args, found, given)


def _given_types(args: argparse.Namespace) -> dict[str, Any]:
    if args.types is None:
        return {}
    given = {}
    for name, type_ in args.types.items():
        if args.key is not None and name not in args.key:
            raise UsageError(f"--types names column {name!r}, which is not in --key")
        try:
            given[name] = sources.arrow_type(type_)
        except ValueError as error:
            raise UsageError(f"--types: {error}") from None
    return given


def _build(args: argparse.Namespace, found: list[sources.Source], given: dict[str, Any]) -> None:
    if args.append:
        keyed = filters.load(args.filter)
        names = filters.key_of(keyed, args.filter, "added to")
        if args.key is not None and args.key != names:
            raise Failure(f"{shown(args.filter)} is keyed by {', '.join(names)}, not by {', '.join(args.key)}")
        given = filters.types_of(keyed, args.filter)
    else:
        names = args.key
    # Every DATA is checked before a row is read, the counting pass too.
    for source in found:
        filters.has_columns(source, names)
    types = sources.resolved(found, names, given)
    hint = "" if set(given) == set(names) else ": name the key's types with --types"
    if not args.append:
        keyed = KeyedFilter(filters.probe(), names, types=types)
    for source in found:
        if source.format == "csv":  # read as the key's types, which --types would change
            source.hint = hint
        filters.check(keyed.insert, source, sources.key_schema(source, names, types, set(given)), source.hint)
    counts = [sources.stored_count(source) for source in found]
    total = None if None in counts else sum(count or 0 for count in counts)
    if not args.append:
        rows = args.rows
        if rows is None:
            rows = total if total is not None else sources.counted(found, counts, args.quiet)
            total = rows
        keyed = filters.sized(max(rows, 1), DEFAULT_FPR if args.fpr is None else args.fpr, names, types)
    with progress(args.quiet, total, "building") as bar:
        for source in found:
            for batch in sources.batches(source, list(names), types):
                filters.keyed(keyed.insert, batch, source.path)
                bar.update(batch.num_rows)
    filters.save(keyed, args.filter)
