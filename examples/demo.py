"""The main job: deduplicate a day of (user id, item id, timestamp) events.

Sizes a filter for a 1% false-positive rate, inserts two million rows, tests
them and as many rows never seen, ships the filter through pickle, and prints
what a data engineer would check: memory, fill, the false-positive rate
measured beside the expected one, and throughput.
"""
import pickle
import sys
import time

import numpy as np

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import estimated_rows, expected_fpr, fill, parameters

N = 2_000_000
P = 0.01


def events(rng, n, users):
    """int64 rows (user id, item id, timestamp) for users drawn from `users`."""
    return np.column_stack([
        rng.integers(users[0], users[1], n),
        rng.integers(0, 5_000_000, n),
        1_765_152_000 + rng.integers(0, 86_400, n),
    ]).astype(np.int64)


def timed(call, *args):
    start = time.perf_counter()
    result = call(*args)
    return result, time.perf_counter() - start


def main():
    rng = np.random.default_rng(2026)
    seen = events(rng, N, (0, 10_000_000))
    unseen = events(rng, N, (10_000_000, 20_000_000))  # other users: never inserted

    k, m = parameters(N, P)
    f = bloomfilter()
    f.configure(k, m)

    _, t_insert = timed(f.insert, seen)
    hits, t_test_seen = timed(f.test, seen)
    false_hits, t_test_unseen = timed(f.test, unseen)
    if not all(hits):
        sys.exit("error: an inserted row tested absent")

    measured = sum(false_hits) / N

    blob, t_dump = timed(pickle.dumps, f)
    restored, t_load = timed(pickle.loads, blob)
    same = restored.test(seen) == hits and restored.test(unseen) == false_hits

    rows = [
        ("rows inserted", f"{N:,} x 3 int64"),
        ("k (bit positions per row)", f"{k}"),
        ("m (bits)", f"{m:,}"),
        ("memory", f"{m / 8 / 2**20:.1f} MiB"),
        ("fraction of bits set", f"{fill(f):.4f}"),
        ("rows estimated from the fill", f"{estimated_rows(f):,.0f}"),
        ("false-positive rate, measured", f"{measured:.4%} of {N:,} unseen rows"),
        ("false-positive rate, expected", f"{expected_fpr(k, m, N):.4%}"),
        ("insert", f"{N / t_insert / 1e6:.2f} M rows/s"),
        ("test (seen + unseen)", f"{2 * N / (t_test_seen + t_test_unseen) / 1e6:.2f} M rows/s"),
        ("pickled size", f"{len(blob) / 2**20:.2f} MiB"),
        ("pickle round trip", f"{(t_dump + t_load) * 1e3:.1f} ms"),
        ("restored filter, same answers", "yes" if same else "NO"),
    ]
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"{name:<{width}}  {value}")
    if not same:
        sys.exit("error: the unpickled filter answers differently")


if __name__ == "__main__":
    main()
