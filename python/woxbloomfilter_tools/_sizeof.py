"""The size of a filter for Dask's memory accounting, registered through the
`dask.sizeof` entry point. Imports nothing from Dask itself."""

from __future__ import annotations

import sys
from typing import Any, Callable


def register(sizeof: Any) -> None:
    """Called by dask.sizeof with its dispatcher; the extension is imported
    only when Dask first measures an object from it."""

    # The dispatcher is Dask's and untyped: its decorators are typed here.
    lazy: Callable[[Callable[[], None]], Callable[[], None]] = sizeof.register_lazy("woxbloomfilter")

    @lazy
    def _register() -> None:
        from woxbloomfilter import bloomfilter

        Measure = Callable[[bloomfilter], int]
        measures: Callable[[Measure], Measure] = sizeof.register(bloomfilter)

        @measures
        def _sizeof(f: bloomfilter) -> int:
            # The object itself reports only its header; its m bits live in
            # a separate allocation.
            return sys.getsizeof(f) + (f.get_m() + 7) // 8
