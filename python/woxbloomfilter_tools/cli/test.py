"""woxbloom test: the rows of DATA surely not in a filter, or those that may
be, counted or written to OUT."""

from __future__ import annotations

import argparse
import contextlib
import importlib
from typing import Any

from woxbloomfilter_tools.cli import filters, sources
from woxbloomfilter_tools.cli.errors import say, shown
from woxbloomfilter_tools.cli.outputs import locked, percent, progress, refuse_same, table_writer, writer_of

pa: Any = importlib.import_module("pyarrow")


def run(args: argparse.Namespace) -> None:
    out_format = None if args.output is None else writer_of(args.output)
    found = sources.expand(args.data, args.format, args.delimiter)
    with contextlib.ExitStack() as stack:
        if args.output is not None:
            refuse_same(args.output, [args.filter, *(source.path for source in found)])
            stack.enter_context(locked(args.output, wait=not args.no_wait, quiet=args.quiet))
        _test(args, found, out_format)


def _test(args: argparse.Namespace, found: list[sources.Source], out_format: str | None) -> None:
    keyed = filters.load(args.filter)
    names = filters.key_of(keyed, args.filter, "tested")
    types = filters.types_of(keyed, args.filter)
    for source in found:
        filters.has_columns(source, names)
        filters.check(keyed.test, source, sources.key_schema(source, names, types, set(names)))
    rate = filters.rate_now(keyed.status())
    counts = [sources.stored_count(source) for source in found]
    total = None if None in counts else sum(count or 0 for count in counts)
    read = kept = 0
    # Written rows keep every column, and from CSV the text each field had.
    text = out_format is not None
    with contextlib.ExitStack() as inner:
        write = None
        if out_format is not None:  # every batch with the columns of the first DATA
            first = found[0].schema()
            if found[0].format == "csv":
                first = pa.schema([(name, pa.string()) for name in first.names])
            write = inner.enter_context(table_writer(out_format, args.output, first))
        bar = inner.enter_context(progress(args.quiet, total, "testing"))
        for source in found:
            for batch in sources.batches(source, None if text else list(names), types, text):
                keys = sources.key_columns(batch, source, list(names), types, text)
                may = filters.keyed(keyed.test, keys, source.path)
                keep = may if args.present else ~may
                read += batch.num_rows
                kept += int(keep.sum())
                if write is not None:
                    write(batch.filter(pa.array(keep)), source.path)
                bar.update(batch.num_rows)
    which = "may be in" if args.present else "surely not in"
    if args.output is None:
        say(f"{read:,} rows read, {kept:,} {which} {shown(args.filter)}")
    else:
        say(f"{read:,} rows read, {kept:,} written to {shown(args.output)} ({which} {shown(args.filter)})")
    say(f"{shown(args.filter)}'s expected false-positive rate at its fill: {percent(rate)}")
