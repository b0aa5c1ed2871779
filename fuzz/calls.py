"""Mixed random calls on a few filters, with resident memory sampled as they go.

Every method is called, with good and bad arguments, on filters that change
configuration all the time; a stretch of calls runs under a fast timer whose
signal handler raises, so that inserts and tests are interrupted between
blocks of rows. A call may raise (that is checked elsewhere); it must not
crash, return something of the wrong shape, or keep memory.

Resident memory is read from /proc/self/statm at points where the state is the
same each time (every filter configured alike, garbage collected), after a
warm-up in which allocators reach their working size. Allocators still move a
few MiB up and down from sample to sample, so start and end are the medians
of the first and the last third of the samples: a leak moves them apart, the
noise does not. Prints one JSON line.

    python fuzz/calls.py --calls 1000000 --seed 1
"""
import argparse
import copy
import gc
import json
import os
import pickle
import random
import signal
import sys
import time

import numpy as np

from woxbloomfilter import bloomfilter

PAGE = os.sysconf("SC_PAGE_SIZE")
CONFIGS = [(3, 1000), (7, 2**16), (0, 64), (5, 1), (2, 2**23 + 9), (4097, 64), (3, 0), (0, 0)]


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Ring(Exception):
    pass


# The timer's handler raises only while a call is under way, never in the
# bookkeeping around it.
ARMED = [False]


def ring(signum, frame):
    if ARMED[0]:
        ARMED[0] = False
        raise Ring()


class Sub(bloomfilter):
    pass


def make_arrays(rng):
    """Arrays of many dtypes and layouts, refused ones among them."""
    out = []
    padded = np.dtype({"names": ["a", "b"], "formats": ["u1", "<i4"], "offsets": [0, 4], "itemsize": 12})
    for dtype in ["u1", "<i4", ">f8", "<c16", "S5", "<U3", "M8[s]", padded, np.dtype([])]:
        for shape in [(0, 3), (1, 4), (17, 2), (64, 3), (200, 5), (33, 0), (5, 3, 2), (6, 2, 0)]:
            raw = rng.integers(0, 256, int(np.prod(shape)) * np.dtype(dtype).itemsize + 8, dtype=np.uint8)
            a = np.ndarray(shape, dtype, buffer=raw.tobytes(), offset=int(rng.integers(0, 8)))
            out += [a, a[::-1], np.asfortranarray(a)]
            if a.ndim == 2 and a.shape[1] > 1:
                out.append(a[:, ::2])
    rows = np.arange(40 * 8, dtype=np.int64).reshape(40, 8)
    out += [
        np.broadcast_to(rows[:1], (5000, 8)),  # long enough for the timer to land inside
        np.lib.stride_tricks.sliding_window_view(np.arange(20000, dtype=np.int32), 6),
        np.empty((3, 2), dtype=object),
        np.empty((0, 2), dtype=np.dtypes.StringDType()),
        np.zeros((4, 2), dtype=[("a", "<i4"), ("b", "O")]),
        np.zeros(()),
        np.zeros(5),
        np.zeros(0),
        np.broadcast_to(np.zeros((1, 1), dtype=np.uint16), (2, 2**30)),  # rows too long to hash
    ]
    return out


def random_state(rng, arrays):
    kind = rng.integers(0, 6)
    if kind == 0:
        k, m = CONFIGS[rng.integers(0, len(CONFIGS))]
        return (k, m, rng.bytes(int(rng.integers(0, (m + 7) // 8 + 3))))
    if kind == 1:
        return (1, 64, arrays[rng.integers(0, len(arrays))])  # buffers of every kind, refused ones too
    if kind == 2:
        return tuple(range(int(rng.integers(0, 5))))
    if kind == 3:
        return (-1, 8, b"")
    if kind == 4:
        return (1.5, "8", None)
    return [1, 8, b""]


def one_call(rng, filters, arrays, spare):
    """One random call; returns its name. Raised exceptions go to the caller."""
    f = filters[rng.integers(0, len(filters))]
    a = arrays[rng.integers(0, len(arrays))]
    op = int(rng.integers(0, 20))
    if op <= 3:
        f.insert(a)
        return "insert"
    if op == 4:
        f.insert_along(a, int(rng.integers(-5, 5)))
        return "insert_along"
    if op <= 7:
        answers = f.test(a)
        if not (isinstance(answers, list) and len(answers) == (a.shape[0] if a.ndim else -1)):
            raise SystemExit(f"test returned {type(answers)} of the wrong length")
        return "test"
    if op == 8:
        row = f.dbg_getrow(a, int(rng.integers(-2, 40)))
        if not isinstance(row, list):
            raise SystemExit("dbg_getrow returned no list")
        return "dbg_getrow"
    if op == 9:
        f.dbg_gethex(a, int(rng.integers(-2, 40)))
        return "dbg_gethex"
    if op == 10:
        g = filters[rng.integers(0, len(filters))]
        f.union(g) if rng.integers(0, 2) else f.intersect(g)
        return "union/intersect"
    if op == 11:
        data = f.to_bytes()
        if len(data) != (f.get_m() + 7) // 8:
            raise SystemExit("to_bytes of the wrong length")
        return "to_bytes"
    if op == 12:
        k, m = CONFIGS[rng.integers(0, len(CONFIGS))]
        f.from_bytes(rng.bytes(int(rng.integers(0, 300))), k, m)
        return "from_bytes"
    if op == 13:
        k, m = CONFIGS[rng.integers(0, len(CONFIGS))]
        f.configure(k, m)
        return "configure"
    if op == 14:
        g = pickle.loads(pickle.dumps(f, int(rng.integers(0, 6))))
        if g.__getstate__() != f.__getstate__():
            raise SystemExit("a pickled filter differs")
        return "pickle"
    if op == 15:
        g = copy.deepcopy(f) if rng.integers(0, 2) else copy.copy(f)
        if g.to_bytes() != f.to_bytes():
            raise SystemExit("a copy differs")
        return "copy"
    if op == 16:
        obj = bloomfilter.__new__(bloomfilter)
        obj.__setstate__(random_state(rng, arrays))
        return "__setstate__"
    if op == 17:
        spare.get_k() if rng.integers(0, 2) else spare.from_bytes(b"\xff", 3, 2**40)  # refused: no filter
        return "no filter"
    if op == 18:
        f.configure(*[(3.5, 8), (-1, 8), (3, 2**64), ("3", None)][rng.integers(0, 4)])  # refused arguments
        return "bad arguments"
    f.get_k()
    f.get_m()
    return "get_k/get_m"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--seconds", type=float, default=0.0, help="go on past --calls until this much time passed")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample-every", type=int, default=20_000)
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    arrays = make_arrays(rng)
    filters = [bloomfilter(), bloomfilter(), Sub(), bloomfilter()]
    spare = bloomfilter.__new__(bloomfilter)
    counts, errors, samples = {}, {}, []
    every = max(1, min(args.sample_every, args.calls // 20))  # twenty samples at least
    warm_up = max(every, args.calls // 5)
    start = time.monotonic()
    signal.signal(signal.SIGALRM, ring)
    done = 0
    while done < args.calls or time.monotonic() - start < args.seconds:
        # The last 2,000 calls of every 20,000 run under a 1 ms timer.
        timed = done % 20_000 >= 18_000
        if done % 20_000 == 18_000:
            signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            try:
                ARMED[0] = timed
                name = one_call(rng, filters, arrays, spare)
            finally:
                ARMED[0] = False
            counts[name] = counts.get(name, 0) + 1
        except Ring:
            errors["interrupted"] = errors.get("interrupted", 0) + 1
        except (TypeError, ValueError, IndexError, RuntimeError, MemoryError, BufferError) as e:
            errors[type(e).__name__] = errors.get(type(e).__name__, 0) + 1
        done += 1
        if done % 20_000 == 0:
            signal.setitimer(signal.ITIMER_REAL, 0)
        if done % every == 0:
            for f, (k, m) in zip(filters, CONFIGS):
                f.configure(k, m)
            gc.collect()
            samples.append((done, resident()))
    signal.setitimer(signal.ITIMER_REAL, 0)
    after_warm_up = [r for n, r in samples if n >= warm_up] or [samples[-1][1]]
    third = max(1, len(after_warm_up) // 3)
    print(json.dumps({
        "calls": done,
        "seconds": round(time.monotonic() - start, 1),
        "calls by method": counts,
        "refusals and interrupts": errors,
        "rss start": int(np.median(after_warm_up[:third])),
        "rss end": int(np.median(after_warm_up[-third:])),
        "rss max": max(after_warm_up),
        "rss first sample": samples[0][1] if samples else None,
        "rss samples MiB": [round(r / 2**20, 1) for _, r in samples],
    }))


if __name__ == "__main__":
    sys.exit(main())
