"""woxbloom test: the rows of DATA surely not in a filter, or those that may
be, counted or written to OUT."""

from __future__ import annotations

import argparse
import contextlib
import importlib
from typing import Any

from woxbloomfilter_tools import fill
from woxbloomfilter_tools.cli import filters, sources
from woxbloomfilter_tools.cli.errors import say
from woxbloomfilter_tools.cli.outputs import percent, progress, table_writer, writer_of

pa: Any = importlib.import_module("pyarrow")


def run(args: argparse.Namespace) -> None:
    out_format = None if args.output is None else writer_of(args.output)
    found = [sources.source(path, args.format) for path in args.data]
    keyed = filters.load(args.filter)
    names = filters.key_of(keyed, args.filter, "tested")
    for source in found:
        filters.check(keyed.test, source, names)
    k = keyed.filter.get_k()
    rate = fill(keyed.filter) ** k
    counts = [sources.stored_count(source) for source in found]
    total = None if None in counts else sum(count or 0 for count in counts)
    read = kept = 0
    with contextlib.ExitStack() as stack:
        write = None
        if out_format is not None:  # every batch with the columns of the first DATA
            write = stack.enter_context(table_writer(out_format, args.output, found[0].dataset.schema))
        bar = stack.enter_context(progress(args.quiet, total, "testing"))
        for source in found:
            for batch in sources.batches(source, None if write is not None else list(names)):
                may = filters.keyed(keyed.test, batch.select(list(names)), source.path)
                keep = may if args.present else ~may
                read += batch.num_rows
                kept += int(keep.sum())
                if write is not None:
                    write(batch.filter(pa.array(keep)), source.path)
                bar.update(batch.num_rows)
    which = "may be in" if args.present else "surely not in"
    if args.output is None:
        say(f"{read:,} rows read, {kept:,} {which} {args.filter}")
    else:
        say(f"{read:,} rows read, {kept:,} written to {args.output} ({which} {args.filter})")
    say(f"{args.filter}'s expected false-positive rate at its fill: {percent(rate)}")
