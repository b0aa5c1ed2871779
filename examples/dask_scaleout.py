"""When building filters on a Dask cluster pays, measured.

Ten million (user id, item id, timestamp) int64 rows in four blocks (or as
many as the first argument says) and a filter sized for 1 %. The filter is
built in one process, then with `dask_build` on a local cluster of two worker
processes, three ways: the rows read from zlib-compressed files (what loading
stored events costs), the rows generated from the block number, and the rows
already in memory, which leaves the filter work alone. `dask_test` is timed
on rows in memory. Each figure is the best of three runs, since the machine
may be shared. Run it with `.venv/bin/python examples/dask_scaleout.py
[blocks]`; it takes about half a minute.
"""
import functools
import sys
import tempfile
import time
import zlib
from pathlib import Path

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import dask_build, dask_test, parameters

BLOCKS = int(sys.argv[1]) if len(sys.argv) > 1 else 4
BLOCK_ROWS = 10_000_000 // BLOCKS
N = BLOCKS * BLOCK_ROWS
P = 0.01
REPEATS = 3


def generated(b):
    """The rows of block `b`, made from its number."""
    rng = np.random.default_rng([2026, b])
    return np.column_stack([
        rng.integers(0, 10_000_000, BLOCK_ROWS),
        rng.integers(0, 5_000_000, BLOCK_ROWS),
        1_765_152_000 + rng.integers(0, 86_400, BLOCK_ROWS),
    ]).astype(np.int64)


def read(directory, b):
    """The rows of block `b`, read back from the file `store` wrote."""
    data = zlib.decompress((directory / f"{b}.zlib").read_bytes())
    return np.frombuffer(data, dtype=np.int64).reshape(-1, 3)


def store(directory, blocks):
    for b, rows in enumerate(blocks):
        (directory / f"{b}.zlib").write_bytes(zlib.compress(rows.tobytes(), 1))


def lazy(load):
    """The rows as a Dask array whose blocks the workers load themselves."""
    return da.map_blocks(
        lambda block_info=None: load(block_info[None]["chunk-location"][0]),
        chunks=((BLOCK_ROWS,) * BLOCKS, (3,)),
        dtype=np.int64,
        meta=np.empty((0, 3), dtype=np.int64),
    )


def best_of(call):
    """The result of `call` and the best time of REPEATS calls."""
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return result, min(times)


def main():
    k, m = parameters(N, P)
    print(f"{N:,} rows x 3 int64 in {BLOCKS} blocks; k = {k}, m = {m:,} bits ({m / 8 / 2**20:.1f} MiB a filter)")

    def one_process(load):
        f = bloomfilter()
        f.configure(k, m)
        for b in range(BLOCKS):
            f.insert(load(b))
        return f

    with tempfile.TemporaryDirectory() as tmp:
        blocks = [generated(b) for b in range(BLOCKS)]
        store(Path(tmp), blocks)
        loads = {
            "read from zlib files": functools.partial(read, Path(tmp)),
            "generated": generated,
        }
        results = []
        reference = one_process(blocks.__getitem__)
        for name, load in loads.items():
            results.append((f"build, rows {name}", best_of(lambda: one_process(load))[1]))
        results.append(("build, rows in memory", best_of(lambda: one_process(blocks.__getitem__))[1]))
        results.append(("test, rows in memory", best_of(lambda: [reference.test(rows) for rows in blocks])[1]))

        start = time.perf_counter()
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            with Client(cluster):
                started = time.perf_counter() - start
                on_cluster = []
                for name, load in loads.items():
                    f, seconds = best_of(lambda: dask_build(lazy(load), k, m))
                    assert f.to_bytes() == reference.to_bytes()
                    on_cluster.append(seconds)
                held = lazy(generated).persist()
                wait(held)
                on_cluster.append(best_of(lambda: dask_build(held, k, m))[1])
                answers, seconds = best_of(lambda: dask_test(reference, held).compute())
                assert answers.all()
                on_cluster.append(seconds)

    width = max(len(name) for name, _ in results)
    print(f"{'':<{width}}  one process  2 workers  speed-up")
    for (name, alone), together in zip(results, on_cluster):
        print(f"{name:<{width}}  {alone:9.2f} s  {together:7.2f} s  {alone / together:7.2f}x")
    print(f"cluster start {started:.1f} s, not counted")


if __name__ == "__main__":
    main()
