"""Growing filters against fixed ones: the false-positive rate, the memory
and the speed of a test, as rows arrive far past the first capacity, each
figure with its target and verdict; and the choice of the default growth and
ratio among others, by the same measures.

rate: KeyedFilter.sized(N0, 1 %) fixed and growing (the defaults) take
random rows up to 1000 N0; at 1, 10, 100 and 1000 times N0 each tests
--probes rows never inserted. Targets: the growing filter at or below 1 %
at every point; the fixed one above 50 % from 10 times on (it is what the
growing one mends).
memory: the bits of every layer against those of one filter sized for the
rows inserted so far; the worst is taken over points a quarter of a
doubling apart. Target: at most 2 times at 1000 N0.
speed: at 100 N0, a test of --probes rows never inserted, through
KeyedFilter.test of a table (a string of about 40 bytes and an int64) and
of ready key rows, against one filter sized for 100 N0 from the start, the
best of --rounds. Target: at most 3 times per row.
choice: the same measures for growth 2, 3 and 4 and ratios from 0.5 to 0.9.

Memory and rates are counts, the same on any machine; times depend on the
machine and on what else runs there (they are CPU times, the best of the
rounds, the filters compared taking turns). Run by `make bench` (GROW_ARGS passes
options: "--quick" is a quick look at N0 = 1000).
"""
import argparse
import math
import sys
import time
import warnings

import numpy as np
import pyarrow as pa

import woxbloomfilter_tools as tools
from woxbloomfilter_tools import CapacityWarning, KeyedFilter, key_rows

P = 0.01
FOLDS = [1, 10, 100, 1000]
GROWTHS = [2, 3, 4]
RATIOS = [0.5, 0.7, 0.8, 0.9]
SEED = 2026


def random_rows(rng, count):
    return key_rows(rng.integers(0, 2**63, size=(count, 2), dtype=np.int64))


def bits(keyed):
    return sum(layer.m for layer in keyed.status().layers)


def grow_through(keyed, rows, n0, probe, steps, done=0):
    """Inserts the rows from `done` on, in order, and at each point of
    `steps` (a multiple of n0) records the memory against a right-sized
    filter and, at the FOLDS, the rate on the probe rows."""
    memory, rates = {}, {}
    for step in steps:
        upto = round(step * n0)
        keyed.insert(rows[done:upto])
        done = upto
        memory[step] = bits(keyed) / tools.parameters(upto, P)[1]
        if step in FOLDS:
            rates[step] = float(keyed.test(probe).mean())
    return memory, rates


def steps_to(top):
    """Points a quarter of a doubling apart, and the FOLDS."""
    points = {round(2 ** (i / 4), 4) for i in range(int(4 * math.log2(top)) + 1)}
    return sorted(points | set(FOLDS))


def best_times(calls, rounds):
    """The best time of each call over `rounds` rounds, the calls taking
    turns, so that what else runs on the machine weighs on each alike. The
    time is the process's CPU time: a core taken away by other work does not
    count, its caches shared with that work still do."""
    times = [[] for _ in calls]
    for _ in range(rounds):
        for call, taken in zip(calls, times):
            start = time.process_time()
            call()
            taken.append(time.process_time() - start)
    return [min(taken) for taken in times]


def text_table(rng, count):
    """count rows of a string of 30 to 50 printable bytes and an int64."""
    lengths = rng.integers(30, 51, count)
    offsets = np.zeros(count + 1, np.int32)
    np.cumsum(lengths, out=offsets[1:])
    data = rng.integers(33, 127, int(offsets[-1]), dtype=np.uint8)
    text = pa.StringArray.from_buffers(count, pa.py_buffer(offsets), pa.py_buffer(data))
    return pa.table({"text": text, "number": rng.integers(0, 2**63, count, dtype=np.int64)})


def verdict(ok):
    return "meets" if ok else "MISSES"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="N0 = 1000, fewer probes and rounds")
    parser.add_argument("--probes", type=int, default=None, help="unseen rows tested at each point")
    parser.add_argument("--rounds", type=int, default=None, help="runs of each timed test; the best counts")
    parser.add_argument("--no-choice", action="store_true", help="leave out the other growths and ratios")
    args = parser.parse_args()
    n0 = 1000 if args.quick else 10_000
    probes = args.probes or (100_000 if args.quick else 1_000_000)
    rounds = args.rounds or (2 if args.quick else 5)
    warnings.simplefilter("ignore", CapacityWarning)
    rng = np.random.default_rng(SEED)
    top = FOLDS[-1]
    rows = random_rows(rng, top * n0)
    probe = random_rows(rng, probes)
    steps = steps_to(top)
    print(f"first capacity N0 = {n0:,}, p = {P:.0%}, up to {top * n0:,} rows; {probes:,} unseen rows per rate")

    grown = KeyedFilter.sized(n0, P, growth=2)
    memory, rates = grow_through(grown, rows, n0, probe, steps)
    fixed = KeyedFilter.sized(n0, P)
    _, fixed_rates = grow_through(fixed, rows, n0, probe, FOLDS)
    print("\nrate and memory (growth 2, ratio 0.8, the defaults)")
    print(f"{'rows':>12}  {'growing':>9}  {'fixed':>8}  {'memory':>7}")
    for fold in FOLDS:
        print(f"{fold * n0:>12,}  {rates[fold]:>9.3%}  {fixed_rates[fold]:>8.2%}  {memory[fold]:>6.2f}x")
    worst = max(memory.values())
    print(f"growing at or below {P:.0%} at every point: {verdict(all(r <= P for r in rates.values()))}; "
          f"fixed above 50 % from 10x: {verdict(all(fixed_rates[f] > 0.5 for f in FOLDS[1:]))}")
    print(f"memory at {top}x: {memory[top]:.2f}x (target 2x): {verdict(memory[top] <= 2)}; "
          f"worst on the way {worst:.2f}x, at {max(memory, key=memory.get)}x; layers: {len(grown.status().layers)}")

    # Speed at 100 N0, against one filter sized for those rows.
    fold = 100
    table = text_table(rng, fold * n0)
    unseen = text_table(rng, probes)
    speed = {}
    for name, data, tested in (("ready key rows", rows[: fold * n0], probe), ("a table", table, unseen)):
        layered = KeyedFilter.sized(n0, P, growth=2)
        right = KeyedFilter.sized(fold * n0, P)
        layered.insert(data)
        right.insert(data)
        ours, theirs = best_times([lambda: layered.test(tested), lambda: right.test(tested)], rounds)
        speed[name] = (ours / len(probe) * 1e9, theirs / len(probe) * 1e9)
    print(f"\ntest at {fold}x, ns a row (best of {rounds}): growing, one filter sized right, ratio (target 3x)")
    for name, (ours, theirs) in speed.items():
        print(f"  {name:<15} {ours:7.1f}  {theirs:7.1f}  {ours / theirs:5.2f}x  {verdict(ours / theirs <= 3)}")

    if args.no_choice:
        return 0
    print(f"\nthe choice: memory against one filter sized right, at {', '.join(f'{f}x' for f in FOLDS)} and the "
          f"worst on the way; rate at {top}x; test of ready key rows at 100x against one filter, ns a row")
    print(f"{'growth':>6} {'ratio':>5}  " + "  ".join(f"{f'{f}x':>6}" for f in FOLDS)
          + f"  {'worst':>6}  {'rate':>7}  {'layers':>6}  {'test':>6}")
    right = KeyedFilter.sized(fold * n0, P)
    right.insert(rows[: fold * n0])
    for growth in GROWTHS:
        for ratio in RATIOS:
            candidate = KeyedFilter.sized(n0, P, growth=growth, ratio=ratio)
            memory, rates = grow_through(candidate, rows[: fold * n0], n0, probe, [s for s in steps if s <= fold])
            at_fold, single = best_times([lambda: candidate.test(probe), lambda: right.test(probe)], rounds)
            more, more_rates = grow_through(candidate, rows, n0, probe, [s for s in steps if s > fold], fold * n0)
            memory.update(more)
            rates.update(more_rates)
            print(f"{growth:>6} {ratio:>5}  " + "  ".join(f"{memory[f]:>5.2f}x" for f in FOLDS)
                  + f"  {max(memory.values()):>5.2f}x  {rates[top]:>7.3%}  {len(candidate.status().layers):>6}"
                  + f"  {at_fold / single:>5.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
