"""Eight threads call every method on shared filters.

Each call holds the interpreter lock from start to end, so calls are atomic
and only their order varies from run to run. The checks hold whatever the
order is:

- The "grow" filter only gains bits: threads insert rows, insert_along rows
  and union in filters of their own that never change. Those commute, so its
  final bits are those of a single-threaded replay of every thread's calls,
  and of the independent model. Meanwhile each thread's test of rows it
  inserted answers all True, and each byte form a thread reads holds every
  bit of the one it read before.
- The "churn" filter is configured, loaded, intersected and united by all
  threads at once: only the shape of each answer is checked (a state whose
  byte form fits its m, answers one per row), and that nothing crashes.

Prints one JSON line; exits non-zero when a check fails.

    python fuzz/threads.py --seconds 30 --seed 1
"""
import argparse
import copy
import json
import os
import pickle
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from model import Model  # noqa: E402

from woxbloomfilter import bloomfilter  # noqa: E402

THREADS = 8
K, M = 5, 2**16 + 3
CHURN_CONFIGS = [(3, 1000), (4, 1000), (3, 2**20), (0, 0)]


def contains(new, old):
    """Whether byte form new has every bit of old."""
    a, b = np.frombuffer(new, np.uint8), np.frombuffer(old, np.uint8)
    return len(a) == len(b) and not np.any(b & ~a)


def worker(t, seed, deadline, grow, churn, log, failures):
    rng = np.random.default_rng([seed, t])
    own = bloomfilter()  # never changes after this: a union with it commutes
    own.configure(K, M)
    own.insert(rng.integers(0, 2**40, (50, 3)))
    mine, last = [], grow.to_bytes()
    calls = 0

    def fail(what):
        failures.append(f"thread {t}: {what}")

    while time.monotonic() < deadline and not failures:
        calls += 1
        op = int(rng.integers(0, 14))
        rows = rng.integers(0, 2**40, (int(rng.integers(1, 130)), 3))
        try:
            if op <= 2:
                grow.insert(rows)
                log.append(("insert", rows))
                mine.append(rows)
            elif op == 3:
                view = np.asfortranarray(rows.astype(">u8"))[::-1]
                grow.insert_along(view, int(rng.integers(-3, 3)))
                log.append(("insert", view))
                mine.append(view)
            elif op == 4:
                grow.union(own)
                log.append(("union", own))
            elif op <= 6 and mine:
                earlier = mine[int(rng.integers(0, len(mine)))]
                if grow.test(earlier) != [True] * len(earlier):
                    fail("rows it inserted tested absent")
            elif op == 7:
                now = grow.to_bytes()
                if not contains(now, last):
                    fail("the growing filter lost bits")
                last = now
            elif op == 8:
                g = pickle.loads(pickle.dumps(grow, int(rng.integers(0, 6))))
                if not contains(g.to_bytes(), last) or (g.get_k(), g.get_m()) != (K, M):
                    fail("a pickle of the growing filter lost bits")
            elif op == 9:
                if grow.dbg_getrow(rows, 0) != list(rows[0].tobytes()):
                    fail("dbg_getrow gave other bytes")
            elif op == 10:
                churn.configure(*CHURN_CONFIGS[int(rng.integers(0, len(CHURN_CONFIGS)))])
            elif op == 11:
                k, m = CHURN_CONFIGS[int(rng.integers(0, len(CHURN_CONFIGS)))]
                churn.from_bytes(rng.bytes(int(rng.integers(0, 200))), k, m)
            elif op == 12:
                other = copy.copy(churn) if rng.integers(0, 2) else churn
                try:
                    churn.union(other) if rng.integers(0, 2) else churn.intersect(other)
                except RuntimeError as e:
                    if not str(e).startswith("Configuration Mismatch"):
                        raise
            else:
                k, m, data = churn.__getstate__()
                if len(data) != (m + 7) // 8:
                    fail(f"a state of m = {m} with {len(data)} bytes")
                try:
                    answers = churn.test(rows)
                    if len(answers) != len(rows):
                        fail("test gave an answer per row no more")
                except ValueError:  # k >= 1 with m = 0, after another thread configured it so
                    pass
                churn.insert(rows) if churn.get_m() else None
        except ValueError as e:
            if "m = 0 bits" not in str(e):
                fail(f"{type(e).__name__}: {e}")
        except Exception as e:  # anything else is a fault
            fail(f"{type(e).__name__}: {e}")
    return calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    sys.setswitchinterval(1e-5)  # hand the interpreter lock over as often as it will go
    grow, churn = bloomfilter(), bloomfilter()
    grow.configure(K, M)
    churn.configure(*CHURN_CONFIGS[0])
    logs, failures, counts = [[] for _ in range(THREADS)], [], [0] * THREADS
    deadline = time.monotonic() + args.seconds

    def run(t):
        counts[t] = worker(t, args.seed, deadline, grow, churn, logs[t], failures)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    # The same calls, thread after thread, on one thread; and the model.
    replay, model = bloomfilter(), Model(K, M)
    replay.configure(K, M)
    for log in logs:
        for kind, arg in log:
            if kind == "insert":
                replay.insert(arg)
                model.insert(arg)
            else:
                replay.union(arg)
                model.bits |= Model.from_bytes(arg.to_bytes(), K, M).bits
    if grow.to_bytes() != replay.to_bytes():
        failures.append("the shared filter's bits differ from a single-threaded replay")
    if replay.to_bytes() != model.to_bytes():
        failures.append("the replay's bits differ from the model's")
    print(json.dumps({"threads": THREADS, "calls": sum(counts), "calls per thread": counts,
                      "logged growing calls": sum(map(len, logs)), "failures": failures[:10]}))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
