"""woxbloom info: what a filter file holds, what it was sized for and how
full it is, all from its status()."""

from __future__ import annotations

import argparse
import json
import math
import os
from typing import Any

from woxbloomfilter_tools._growing import Capacity, FilterStatus, LayerStatus
from woxbloomfilter_tools.cli import filters
from woxbloomfilter_tools.cli.errors import shown
from woxbloomfilter_tools.cli.outputs import percent

# The format version's offset in the header, the same in every version.
VERSION_AT = slice(8, 12)


def run(args: argparse.Namespace) -> None:
    keyed = filters.load(args.filter)
    with open(args.filter, "rb") as file:
        version = int.from_bytes(file.read(VERSION_AT.stop)[VERSION_AT], "little")
        size = os.fstat(file.fileno()).st_size
    status = keyed.status()
    growing = status.growth is not None
    layers = status.layers
    rate = filters.rate_now(status)
    rows = status.estimated_rows
    fixed = None if growing else layers[0]
    more = None if fixed is None else rows_to_double(fixed)
    next_layer = rows_to_fill(layers[-1]) if growing else None
    # Passed, not, or unknown for a fixed filter of no capacity.
    passed = None if status.capacity is None else status.passed
    layout = keyed.layout
    key = None if keyed.key is None else list(keyed.key)
    if args.json:
        record = {
            "file": args.filter,
            "format_version": version,
            "checksum_holds": True,
            "file_bytes": size,
            "k": None if fixed is None else fixed.k,
            "m": None if fixed is None else fixed.m,
            "bytes": sum(_bytes(layer) for layer in layers),
            "key": key,
            "layout": None if layout is None else {
                "source": layout.source,
                "columns": [list(column) for column in layout.columns],
                "version": layout.version,
            },
            "capacity": _capacity_json(status.capacity),
            "growth": status.growth,
            "ratio": status.ratio,
            "layers": [
                {
                    "k": layer.k,
                    "m": layer.m,
                    "bytes": _bytes(layer),
                    "capacity": _capacity_json(layer.capacity),
                    "fill": layer.fill,
                    "estimated_rows": _finite(layer.estimated_rows),
                    "fpr": layer.rate,
                }
                for layer in layers
            ],
            "fill": None if fixed is None else fixed.fill,
            "estimated_rows": _finite(rows),
            "fpr": rate,
            "rows_until_fpr_doubles": more,
            "rows_until_next_layer": next_layer,
            "passed": passed,
        }
        print(json.dumps(record, ensure_ascii=False))
        return
    if layout is None:
        key_text = layout_text = "none: stored by the plain save(), its rows' columns are unknown"
    else:
        key_text = ", ".join(layout.names) + (" (every column)" if key is None else "")
        layout_text = f"{layout} (key row layout version {layout.version})"
    lines = [("file", f"{shown(args.filter)} ({size:,} bytes, format version {version}, checksum holds)")]
    if fixed is not None:
        lines += [("k", f"{fixed.k}"), ("m", f"{fixed.m:,} bits ({_bytes(fixed):,} bytes)")]
    lines += [("key", key_text), ("layout", layout_text), ("capacity", _capacity_text(status))]
    if fixed is not None:
        lines += [
            ("fill", f"{fixed.fill:.4f}"),
            ("estimated rows", _rows_text(rows)),
            ("false positives", f"{percent(rate)} expected now (fill ** k)"),
            ("rate doubles after", _more_text(more, rate)),
            ("past capacity", _passed_text(passed, fixed)),
        ]
    else:
        assert status.growth is not None and status.ratio is not None
        lines.append((
            "growth",
            f"{status.growth}, ratio {status.ratio:g}: each layer is sized for {status.growth} times the rows of the "
            f"one before, at {status.ratio:g} times its rate",
        ))
        lines += [(f"layer {i}", _layer_text(layer)) for i, layer in enumerate(layers)]
        lines += [
            ("estimated rows", f"{_rows_text(rows)} in {len(layers)} layer{'s' if len(layers) > 1 else ''}"),
            ("false positives", f"{percent(rate)} expected now (of all layers together)"),
            ("next layer", _next_text(next_layer)),
        ]
    width = max(len(label) for label, _ in lines)
    for label, value in lines:
        print(f"{label:<{width}}  {value}")


def rows_to_double(layer: LayerStatus) -> int | None:
    """How many more distinct rows take the expected rate from fill ** k to
    twice that, by the model: the fill reaches 2 ** (1 / k) times its own.
    None when the rate is 0 or twice it would pass 1."""
    k, m, filled = layer.k, layer.m, layer.fill
    if k == 0 or filled == 0.0:
        return None
    target = 2.0 ** (1.0 / k) * filled
    if target >= 1.0:
        return None
    return math.ceil(m / k * (math.log1p(-filled) - math.log1p(-target)))


def rows_to_fill(layer: LayerStatus) -> int:
    """About how many more distinct rows fill the newest layer of a growing
    filter, from its estimated rows: 0 when the next row it does not hold
    starts a new one."""
    assert layer.capacity is not None and layer.estimated_rows is not None
    if math.isinf(layer.estimated_rows):
        return 0
    return max(0, math.ceil(layer.capacity.n - layer.estimated_rows))


def _bytes(layer: LayerStatus) -> int:
    return (layer.m + 7) // 8


def _finite(rows: float | None) -> float | None:
    return None if rows is None or math.isinf(rows) else rows


def _capacity_json(capacity: Capacity | None) -> dict[str, Any] | None:
    return None if capacity is None else {"n": capacity.n, "p": capacity.p}


def _capacity_text(status: FilterStatus) -> str:
    if status.capacity is None:
        return "none: stored before capacities were recorded"
    n, p = status.capacity
    if status.growth is None:
        return f"{n:,} rows at {percent(p)}"
    return f"{n:,} rows in the first layer; the rate of all layers together stays below {percent(p)}"


def _rows_text(rows: float | None) -> str:
    if rows is None:
        return "unknown: with k = 0 rows set no bits"
    if math.isinf(rows):
        return "unknown: every bit is set"
    return f"{rows:,.0f}"


def _more_text(more: int | None, rate: float) -> str:
    if more is not None:
        return f"{more:,} more rows"
    return "never: the rate is 0" if rate == 0 else "never: twice the rate would pass 100 %"


def _passed_text(passed: bool | None, layer: LayerStatus) -> str:
    if passed is None:
        return "unknown: no capacity recorded"
    if not passed:
        return "no"
    rows = layer.estimated_rows
    held = "every bit is set" if rows is None or math.isinf(rows) else f"it holds about {rows:,.0f} rows"
    return f"yes: {held}; 'build --append' refuses more unless --grow or --force"


def _layer_text(layer: LayerStatus) -> str:
    assert layer.capacity is not None
    n, p = layer.capacity
    return (
        f"k {layer.k}, m {layer.m:,} bits ({_bytes(layer):,} bytes), sized for {n:,} rows at {percent(p)}; "
        f"fill {layer.fill:.4f}, estimated rows {_rows_text(layer.estimated_rows)}, {percent(layer.rate)} now"
    )


def _next_text(rows: int | None) -> str:
    if not rows:
        return "with the next row it does not hold: the newest layer is full"
    return f"after about {rows:,} more rows, which fill the newest layer"
