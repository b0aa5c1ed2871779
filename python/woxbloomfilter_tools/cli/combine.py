"""woxbloom union and intersect: a filter of the bits set in any, or in every
one, of filters of equal k, m and key layout; growing filters layer by
layer."""

from __future__ import annotations

import argparse

from woxbloomfilter_tools._keys import KeyedFilter, KeyMismatch
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
    shape = _shape(result)
    for path in others:
        other = filters.load(path)
        theirs = _shape(other)
        if theirs != shape:
            raise Failure(
                f"{shown(path)} has {theirs} but {shown(first)} has {shape}: only filters of equal k and m combine, "
                "growing ones layer by layer, and a growing filter never with a fixed one"
            )
        try:
            getattr(result, operation)(other)
        except (KeyMismatch, ValueError) as error:  # ValueError: growing filters of several layers to intersect
            raise Failure(f"{shown(path)}: {error}") from None
    filters.save(result, args.output)


def _shape(keyed: KeyedFilter) -> str:
    """k and m, or for a growing filter those of each layer."""
    layers = [f"k = {layer.k}, m = {layer.m:,}" for layer in keyed.status().layers]
    if keyed.growth is None:
        return layers[0]
    return f"{len(layers)} layer{'s' if len(layers) > 1 else ''} ({'; '.join(layers)})"
