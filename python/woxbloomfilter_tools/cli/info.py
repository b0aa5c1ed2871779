"""woxbloom info: what a filter file holds and how full it is."""

from __future__ import annotations

import argparse
import json
import math
import os

from woxbloomfilter_tools import _storage, estimated_rows, fill
from woxbloomfilter_tools.cli import filters
from woxbloomfilter_tools.cli.errors import shown
from woxbloomfilter_tools.cli.outputs import percent


def run(args: argparse.Namespace) -> None:
    keyed = filters.load(args.filter)
    f = keyed.filter
    k, m = f.get_k(), f.get_m()
    with open(args.filter, "rb") as file:
        version = _storage.HEADER.unpack(file.read(_storage.HEADER.size))[1]
        size = os.fstat(file.fileno()).st_size
    filled = fill(f)
    rate = filled**k
    rows = None if k == 0 else estimated_rows(f)
    more = rows_to_double(k, m, filled)
    layout = keyed.layout
    key = None if keyed.key is None else list(keyed.key)
    if args.json:
        record = {
            "file": args.filter,
            "format_version": version,
            "checksum_holds": True,
            "file_bytes": size,
            "k": k,
            "m": m,
            "bytes": (m + 7) // 8,
            "key": key,
            "layout": None if layout is None else {
                "source": layout.source,
                "columns": [list(column) for column in layout.columns],
                "version": layout.version,
            },
            "fill": filled,
            "estimated_rows": None if rows is None or math.isinf(rows) else rows,
            "fpr": rate,
            "rows_until_fpr_doubles": more,
        }
        print(json.dumps(record, ensure_ascii=False))
        return
    if layout is None:
        key_text = layout_text = "none: stored by the plain save(), its rows' columns are unknown"
    else:
        key_text = ", ".join(layout.names) + (" (every column)" if key is None else "")
        layout_text = f"{layout} (key row layout version {layout.version})"
    if rows is None:
        rows_text = "unknown: with k = 0 rows set no bits"
    elif math.isinf(rows):
        rows_text = "unknown: every bit is set"
    else:
        rows_text = f"{rows:,.0f}"
    if more is None:
        more_text = "never: the rate is 0" if rate == 0 else "never: twice the rate would pass 100 %"
    else:
        more_text = f"{more:,} more rows"
    lines = [
        ("file", f"{shown(args.filter)} ({size:,} bytes, format version {version}, checksum holds)"),
        ("k", f"{k}"),
        ("m", f"{m:,} bits ({(m + 7) // 8:,} bytes)"),
        ("key", key_text),
        ("layout", layout_text),
        ("fill", f"{filled:.4f}"),
        ("estimated rows", rows_text),
        ("false positives", f"{percent(rate)} expected now (fill ** k)"),
        ("rate doubles after", more_text),
    ]
    width = max(len(label) for label, _ in lines)
    for label, value in lines:
        print(f"{label:<{width}}  {value}")


def rows_to_double(k: int, m: int, filled: float) -> int | None:
    """How many more distinct rows take the expected rate from fill ** k to
    twice that, by the model: the fill reaches 2 ** (1 / k) times its own.
    None when the rate is 0 or twice it would pass 1."""
    if k == 0 or filled == 0.0:
        return None
    target = 2.0 ** (1.0 / k) * filled
    if target >= 1.0:
        return None
    return math.ceil(m / k * (math.log1p(-filled) - math.log1p(-target)))
