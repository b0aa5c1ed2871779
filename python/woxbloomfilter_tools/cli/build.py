"""woxbloom build: a filter of the key columns of every row of DATA, new or
added to an existing one."""

from __future__ import annotations

import argparse

from woxbloomfilter_tools._keys import KeyedFilter
from woxbloomfilter_tools.cli import filters, sources
from woxbloomfilter_tools.cli.arguments import DEFAULT_FPR
from woxbloomfilter_tools.cli.errors import Failure, UsageError
from woxbloomfilter_tools.cli.outputs import progress


def run(args: argparse.Namespace) -> None:
    if args.append:
        if args.rows is not None or args.fpr is not None:
            raise UsageError("--rows and --fpr size a new filter: with --append FILTER keeps its size")
    elif args.key is None:
        raise UsageError("the following arguments are required: --key (or --append to an existing FILTER)")
    found = [sources.source(path, args.format) for path in args.data]
    if args.append:
        keyed = filters.load(args.filter)
        names = filters.key_of(keyed, args.filter, "added to")
        if args.key is not None and args.key != names:
            raise Failure(f"{args.filter} is keyed by {', '.join(names)}, not by {', '.join(args.key)}")
    else:
        names = args.key
        # Every DATA is checked before a row is read, the counting pass too.
        keyed = KeyedFilter(filters.probe(), names)
    for source in found:
        filters.check(keyed.insert, source, names)
    counts = [sources.stored_count(source) for source in found]
    total = None if None in counts else sum(count or 0 for count in counts)
    if not args.append:
        rows = args.rows
        if rows is None:
            rows = total if total is not None else sources.counted(found, counts, args.quiet)
            total = rows
        keyed = filters.sized(max(rows, 1), DEFAULT_FPR if args.fpr is None else args.fpr, names)
    with progress(args.quiet, total, "building") as bar:
        for source in found:
            for batch in sources.batches(source, list(names)):
                filters.keyed(keyed.insert, batch, source.path)
                bar.update(batch.num_rows)
    keyed.save(args.filter)
