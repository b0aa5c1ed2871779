"""The size of a filter for Dask's memory accounting, registered through the
`dask.sizeof` entry point. Imports nothing from Dask itself."""

from __future__ import annotations

import sys
from typing import Any


def register(sizeof: Any) -> None:
    """Called by dask.sizeof with its dispatcher; the extension is imported
    only when Dask first measures an object from it."""

    @sizeof.register_lazy("woxbloomfilter")
    def _register() -> None:
        from woxbloomfilter import bloomfilter

        @sizeof.register(bloomfilter)
        def _sizeof(f: bloomfilter) -> int:
            # The object itself reports only its header; its m bits live in
            # a separate allocation.
            return sys.getsizeof(f) + (f.get_m() + 7) // 8
