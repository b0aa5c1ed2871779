"""Filters on Dask arrays and DataFrames, on a real cluster of two worker
processes: the same bits and answers as one process, the filter sent to each
worker once, and its size as Dask accounts it."""
import dask
import dask.array as da
import dask.dataframe as dd
import pandas as pd
import dask.sizeof
import numpy as np
import pytest
from distributed import Client, LocalCluster

import woxbloomfilter_tools as tools
from woxbloomfilter import bloomfilter

RNG = np.random.default_rng(20261208)


@pytest.fixture(scope="module")
def client():
    # The scheduler's memory manager drops replicas that no waiting task
    # needs, every 2 s: on a loaded machine it took one worker's copy of the
    # broadcast filter away before the test could see both. Off here, so that
    # what the test sees is what the scatter did.
    with dask.config.set({"distributed.scheduler.active-memory-manager.start": False}), LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with Client(cluster) as c:
            # A worker still starting would miss a broadcast scatter.
            c.wait_for_workers(2)
            yield c


def single_process(a, k, m):
    f = bloomfilter()
    f.configure(k, m)
    f.insert(a)
    return f


# Chunks that split rows between blocks, uneven blocks, and every axis chunked.
ARRAYS = {
    "int64, columns split": (RNG.integers(0, 2**40, (5000, 3)), (700, 2), 2),
    "3-D float, every axis split": (RNG.standard_normal((3001, 4, 3)), (1000, 3, 2), 4),
    "one block": (RNG.integers(0, 9, (50, 2), dtype=np.int8), (50, 2), 4),
}


@pytest.mark.parametrize("name", ARRAYS)
def test_build_and_test_on_the_cluster(client, name):
    a, chunks, split_every = ARRAYS[name]
    k, m = 5, 80_021
    x = da.from_array(a, chunks=chunks)
    f = tools.dask_build(x, k, m, split_every=split_every)
    assert (f.get_k(), f.get_m(), f.to_bytes()) == (k, m, single_process(a, k, m).to_bytes())

    probe = np.concatenate([a[::3], RNG.standard_normal((2000,) + a.shape[1:]).astype(a.dtype)])
    answers = tools.dask_test(f, da.from_array(probe, chunks=chunks))
    assert answers.chunks == (da.from_array(probe, chunks=chunks).chunks[0],)
    result = answers.compute()
    assert result.dtype == bool and result.tolist() == f.test(probe)

    # The tasks name the filter by one key, held by both workers, instead of
    # each carrying a copy of it.
    graph = answers.__dask_graph__()
    needs = set().union(*(getattr(task, "dependencies", ()) for task in graph.values()))
    [key] = needs - set(graph)
    held = client.has_what()
    assert len(held) == 2 and all(key in keys for keys in held.values())


def test_dataframes_on_the_cluster(client):
    users = pd.DataFrame({"user": [f"u{i}" if i % 7 else None for i in range(3000)], "n": np.arange(3000) % 11})
    frame = dd.from_pandas(users, npartitions=5)
    f = tools.dask_build(frame, 5, 40_009, split_every=2, key=["user", "n"])
    one = tools.KeyedFilter(single_process(np.empty((0, 1)), 5, 40_009), ["user", "n"])
    one.insert(users)
    assert (f.key, f.layout, f.filter.to_bytes()) == (one.key, one.layout, one.filter.to_bytes())

    probe = pd.concat([users[::5], pd.DataFrame({"user": ["new"] * 600, "n": np.arange(600)})], ignore_index=True)
    for table, key in ((f, None), (f.filter, ["user", "n"])):
        seen = tools.dask_test(table, dd.from_pandas(probe, npartitions=3), key=key)
        assert seen.compute().tolist() == one.test(probe).tolist()
    x = dd.from_pandas(probe, npartitions=3)
    assert x[~tools.dask_test(f, x)].compute().index.tolist() == probe.index[~one.test(probe)].tolist()
    with pytest.raises(tools.KeyMismatch):
        tools.dask_test(f, x.astype({"n": "int32"})).compute()


def test_dask_accounts_for_the_bits():
    f = tools.sized(1_000_000, 0.01)
    assert dask.sizeof.sizeof(f) >= f.get_m() // 8


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: tools.dask_build(np.zeros((4, 2)), 3, 64), TypeError, "x must be a dask.array.Array, not ndarray"),
        (lambda: tools.dask_test(bloomfilter(), da.zeros(4)), ValueError,
         "x must have two dimensions or more (rows and columns), got 1"),
        (lambda: tools.dask_build(da.zeros((4, 2)), 3, 64, split_every=1), ValueError,
         "split_every must be an integer of at least 2, got 1"),
        (lambda: tools.dask_test(b"", da.zeros((4, 2))), TypeError,
         "f must be a woxbloomfilter.bloomfilter or a KeyedFilter, not bytes"),
        (lambda: tools.dask_build(da.zeros((4, 2)), 3, 64, key="a"), TypeError,
         "key names the columns of a Dask DataFrame; a Dask array's rows are its own"),
    ],
)
def test_bad_arguments_are_named(call, error, message):
    with pytest.raises(error) as err:
        call()
    assert str(err.value) == message
