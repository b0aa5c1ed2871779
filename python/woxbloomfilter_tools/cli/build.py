"""woxbloom build: a filter of the key columns of every row of DATA, new or
added to an existing one."""

from __future__ import annotations

import argparse
import math
import warnings
from typing import Any

from woxbloomfilter_tools._growing import CapacityWarning, FilterStatus
from woxbloomfilter_tools._keys import KeyedFilter
from woxbloomfilter_tools.cli import filters, sources
from woxbloomfilter_tools.cli.arguments import DEFAULT_FPR, FIRST_ROWS
from woxbloomfilter_tools.cli.errors import Failure, UsageError, say, shown
from woxbloomfilter_tools.cli.outputs import locked, percent, progress, refuse_same


def run(args: argparse.Namespace) -> None:
    if args.append:
        if args.rows is not None or args.fpr is not None:
            raise UsageError("--rows and --fpr size a new filter: with --append FILTER keeps its size")
        if args.types is not None:
            raise UsageError("--types fixes the key of a new filter: with --append FILTER's key gives the types")
        if args.fixed:
            raise UsageError("--fixed makes a new filter of one layer: with --append FILTER stays as it is, or grows with --grow")
        if args.grow and args.force:
            raise UsageError("--grow makes FILTER grow to take the rows, --force inserts them past its capacity: give one")
    elif args.grow or args.force:
        option = "--grow" if args.grow else "--force"
        raise UsageError(f"{option} is for --append to an existing FILTER: a new filter grows, unless --fixed")
    elif args.key is None:
        raise UsageError("the following arguments are required: --key (or --append to an existing FILTER)")
    given = _given_types(args)
    found = sources.expand(args.data, args.format, args.delimiter)
    refuse_same(args.filter, [source.path for source in found])
    if args.fixed and args.rows is None:
        for source in found:
            if source.pipe is not None:
                raise UsageError(
                    f"{shown(source.path)} can be read only once, and a fixed filter's size needs the rows counted "
                    "first: give --rows N (a bound above the rows will do), or leave out --fixed"
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
        if args.rows is None and any(source.pipe is not None for source in found):
            rows = FIRST_ROWS  # a growing filter: --fixed refused this already
        else:
            # A growing filter needs no count, but a first layer sized for
            # every row takes less memory, and a test asks one layer.
            rows = args.rows
            if rows is None:
                rows = total if total is not None else sources.counted(found, counts, args.quiet)
                total = rows
            rows = max(rows, 1)
            if not args.fixed:
                # A layer is full once the rows estimated from its bits reach
                # its rows, and the estimate of exactly n rows errs by a
                # standard deviation below sqrt(n) / 2. Sized for n, about half
                # the time the last rows would start a second layer of twice
                # the bits.
                rows += math.ceil(3 * math.sqrt(rows))
        p = DEFAULT_FPR if args.fpr is None else args.fpr
        keyed = filters.sized(rows, p, names, types, fixed=args.fixed)
    elif args.grow and keyed.growth is None:
        keyed = filters.grown(keyed, args.filter)
    # A fixed filter of known capacity is checked against it once every row
    # is in, before anything is written. Appended to without --force, the
    # insert that takes it past (as the filter's own check finds it) stops
    # the command at once, rather than after every row of DATA.
    watched = keyed.growth is None and keyed.capacity is not None
    stop_early = watched and args.append and not args.force
    with warnings.catch_warnings():
        warnings.simplefilter("error" if stop_early else "ignore", CapacityWarning)
        try:
            with progress(args.quiet, total, "building") as bar:
                for source in found:
                    for batch in sources.batches(source, list(names), types):
                        filters.keyed(keyed.insert, batch, source.path)
                        bar.update(batch.num_rows)
        except CapacityWarning:
            raise Failure(_past(keyed, args.filter)) from None
    if watched:
        status = keyed.status()
        if status.passed:
            if stop_early:
                raise Failure(_past(keyed, args.filter))
            say(f"warning: {_passed(status, args)}")
    filters.save(keyed, args.filter)


def _past(keyed: KeyedFilter, path: str) -> str:
    """The refusal of rows that would take a fixed filter past its capacity."""
    assert keyed.capacity is not None
    n, p = keyed.capacity
    return (
        f"{shown(path)} would hold more rows than it was sized for, {n:,} at {percent(p)}: nothing appended; "
        "--grow makes it a growing filter that takes them, --force appends them anyway"
    )


def _passed(status: FilterStatus, args: argparse.Namespace) -> str:
    """What a fixed filter that passed its capacity has become."""
    assert status.capacity is not None
    n, p = status.capacity
    [layer] = status.layers
    rows = layer.estimated_rows
    assert rows is not None  # k > 0: the filter passed by its estimated rows
    held = "every bit is set" if math.isinf(rows) else f"it holds about {rows:,.0f} distinct rows"
    instead = "--append --grow makes it grow instead" if args.append else "give --rows above the rows, or leave out --fixed"
    return (
        f"{shown(args.filter)} passed the capacity it was sized for, {n:,} rows at {percent(p)}: {held}, and it "
        f"answers \"maybe\" for about {percent(layer.rate)} of rows never inserted; {instead}"
    )
