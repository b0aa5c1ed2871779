"""Speed of woxbloomfilter against the hardware floor, np.copyto and the Bloom
filters a user would otherwise pick, on the rows of random (N, 4) int32 arrays.

`make bench` builds the floor program (benchmarks/floor.cpp) and the module's
wheel into benchmarks/.venv and runs this. It prints one table per group, each
figure beside its ratio to its yardstick, then the targets and whether each is
met; it writes results/results.json and results/throughput.png beside this
file. `run.py --plot-only` redraws the chart from results.json alone.

Groups:
  floor   insert and test ns per row at 2^20, 2^27 and 2^33 bits, against the
          floor: k random one-bit accesses per row into a bit array of the same
          size on 2 MiB pages, positions drawn ahead so only the accesses count.
          The floor program and ours alternate in rounds at each size, on one
          CPU, and each side's runs are pooled, so that a drift in the speed
          of the CPU moves both.
  whole   the 1 GiB filter's byte form, pickles, union and intersect, against
          np.copyto of 1 GiB into freshly allocated memory (np.empty and
          copyto timed together).
  memory  extra peak memory of those operations: the resident high-water mark
          above the baseline, each in a fresh subprocess.
  peers   insert and test against the other filters at 2^20 and 2^30 bits.

Every filter of the peer group gets a bit array of the size ours has: the peers
size themselves from a capacity and a false-positive rate, and capacity
m / 9.585 at 1 % asks them for m bits. What each really allocates (bits and k)
is read back and reported.

The peers take keys, not arrays: each row becomes a `bytes` of the row's width,
built with the fastest idiom a user can write,
    np.ascontiguousarray(a).view(np.dtype(('V', row_width))).ravel().tolist(),
timed on its own; "with keys" adds it to the peer's time. Each peer is fed
through its fastest bulk route. Test sets are half inserted rows and half
unseen rows, shuffled, so the hit and the early-exit miss paths both count;
the unseen half gives the false-positive rate.

The machine's cores may be shared with other work. Each run's CPU time is
taken beside its wall-clock time, figures are medians of the runs that had a
core throughout (more runs are made until there are enough), and the tables
show how many runs that was and how far they spread. `--groups` measures only
some groups, for a quick look; results.json is written only by a full run.
"""
import argparse
import gc
import importlib
import importlib.metadata
import json
import math
import os
import pickle
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import numpy as np

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
# Written by `make bench` when pip cannot install a line of requirements.txt.
INSTALL_ERRORS = HERE / ".venv" / "install-errors.txt"
GROUPS = ["floor", "whole", "memory", "peers"]

K = 7
FP_RATE = 0.01
BITS_PER_ROW = -math.log(FP_RATE) / math.log(2) ** 2  # 9.585 bits per row at 1 %
ROW_WIDTH = 4 * 4  # (N, 4) int32
# (log2 of the bits, rows inserted and tested). 2^20 bits (128 KiB) sit in L2;
# 2^27 (16 MiB) is about what this machine's L3 holds; 2^33 (1 GiB) is far
# beyond it, so every position is a cache miss and, without huge pages, a TLB
# miss too.
FLOOR_SIZES = [(20, 100_000), (27, 1_000_000), (33, 1_000_000)]
PEER_SIZES = [(20, 100_000), (30, 1_000_000)]
WHOLE_LOG2 = 33  # the filter of the whole-filter and memory groups
SEED = 20240601

# Runs per measurement: at least --repeats steady ones (below), more while they
# add up to under MIN_TOTAL seconds, but no more than 4x --repeats in all, and
# fewer (not under MIN_REPEATS) once past a budget.
MIN_REPEATS = 3
# A run is steady when the process had a core for nearly all of it: CPU time
# at least this share of wall-clock time. The cores are shared with other
# work, and a run that waited for one measures that work as much as ours.
# Figures are medians of the steady runs (of all, if fewer than MIN_REPEATS).
STEADY_SHARE = 0.9
MIN_TOTAL = 0.25
SLOW_SECONDS = 30.0  # a peer in pure Python takes tens of seconds a run
WHOLE_BUDGET = 15.0  # one 1 GiB operation
FLOOR_RUNS = 3  # runs of the floor program a round
FLOOR_ROUNDS = 7  # rounds of the floor and ours, alternating
ROUND_REPEATS = 3  # our steady runs a round

# pybloomfiltermmap3 picks k = 6 for 1 %; seven seeds make it do the same
# work as the others. Fixed so that runs are comparable.
PYBLOOM_SEEDS = [int(s) for s in np.random.default_rng(SEED).integers(1, 2**32, size=K)]

# Targets: (group, figure, how it is compared, limit). Figures are looked up in
# the results by evaluate_targets.
FLOOR_TARGETS = {20: {"insert": 1.6, "test": 1.9}, 33: {"insert": 1.3, "test": 1.0}}
WHOLE_TIME_TARGETS = {"to_bytes": 1.5, "from_bytes": 1.5, "pickle.dumps": 2.5, "pickle.loads": 2.5,
                      "union": 1.0, "intersect": 1.0}
MEMORY_TARGETS = {"to_bytes": 1.1, "from_bytes": 2.1, "pickle.loads": 2.1}
PEER_WITH_KEYS_TARGETS = {20: 3.0, 30: 2.0}  # ours / theirs, counting their key building


def row_keys(a):
    """One `bytes` per row, exactly the row's bytes."""
    return np.ascontiguousarray(a).view(np.dtype(("V", a.shape[1] * a.itemsize))).ravel().tolist()


def check_row_keys():
    # Unstructured void items come out of tolist() as bytes of the full width,
    # trailing NUL bytes kept (an 'S' view would strip them): checked on rows
    # that end in zero bytes, a row of zeros among them.
    a = np.array([[1, 0, 0, 0], [0, 0, 0, 0], [-1, 2, 0, 256], [0, 0, 0, 1 << 24]], dtype=np.int32)
    keys = row_keys(a)
    assert all(type(key) is bytes for key in keys), [type(key) for key in keys]
    assert keys == [row.tobytes() for row in a], keys


def steady_count(runs):
    return sum(c >= STEADY_SHARE * s for s, c in zip(runs["seconds"], runs["cpu_seconds"]))


def steady(runs):
    """Wall-clock times of the steady runs, or of all if too few were."""
    kept = [s for s, c in zip(runs["seconds"], runs["cpu_seconds"]) if c >= STEADY_SHARE * s]
    return kept if len(kept) >= MIN_REPEATS else runs["seconds"]


def median(runs):
    return statistics.median(steady(runs))


def spread(runs):
    """(max - min) / median of the runs the figure comes from: its noise."""
    times = steady(runs)
    return (max(times) - min(times)) / statistics.median(times)


def kept(runs):
    return f"{steady_count(runs)}/{len(runs['seconds'])}"


def timed(run, prepare=lambda: None, repeats=5, budget=SLOW_SECONDS, warmup=False, hot=False):
    """Times run(prepare()), with prepare untimed; returns the runs (wall-clock
    and CPU seconds of each), the last prepared value and the last result.
    An untimed warm-up run first, if asked, takes one-off costs (the kernel
    gathering huge pages) out of the figures. With hot, each timed run follows
    an untimed one right after the garbage collection, which would otherwise
    leave the caches cold: the floor, too, is measured with its array hot."""
    runs = {"seconds": [], "cpu_seconds": []}
    arg = result = None
    while True:
        # The last run's objects go before the next are made: two 1 GiB filters
        # at once would only cost memory.
        arg = result = None
        arg = prepare()
        gc.collect()
        gc.disable()
        try:
            if hot:
                run(arg)
            start, start_cpu = time.perf_counter(), time.process_time()
            result = run(arg)
            elapsed, elapsed_cpu = time.perf_counter() - start, time.process_time() - start_cpu
        finally:
            gc.enable()
        if warmup:
            warmup = False
            continue
        runs["seconds"].append(elapsed)
        runs["cpu_seconds"].append(elapsed_cpu)
        n, total = len(runs["seconds"]), sum(runs["seconds"])
        if (n >= MIN_REPEATS and total > budget) or n >= 4 * repeats:
            break
        if steady_count(runs) >= repeats and total >= MIN_TOTAL:
            break
    return runs, arg, result


def make_data(n_rows, rng):
    """Rows to insert and a test set of half of them and as many unseen rows,
    shuffled; returns (inserted, test rows, which test rows are unseen)."""
    draw = lambda n: rng.integers(-(2**31), 2**31, size=(n, 4), dtype=np.int32)
    inserted = draw(n_rows)
    half = n_rows // 2
    seen = inserted[rng.choice(n_rows, size=n_rows - half, replace=False)]
    unseen = draw(half)
    # A collision among 128-bit random rows is all but impossible, but the
    # false-positive rate is only right if there is none.
    assert not set(unseen.view("V16").ravel().tolist()) & set(inserted.view("V16").ravel().tolist())
    order = rng.permutation(n_rows)
    rows = np.concatenate([seen, unseen])[order]
    is_unseen = np.concatenate([np.zeros(len(seen), bool), np.ones(half, bool)])[order]
    return inserted, np.ascontiguousarray(rows), is_unseen


def answers(found, is_unseen, k, bits, n_inserted):
    found = np.asarray(found, dtype=bool)
    return {
        "false_positive_rate": float(found[is_unseen].mean()),
        # The textbook rate for this k, m and load, to judge the measured one.
        "false_positive_rate_expected": (1 - math.exp(-k * n_inserted / bits)) ** k,
        "false_negatives": int((~found[~is_unseen]).sum()),
    }


def new_filter(mod, log2_bits):
    f = mod.bloomfilter()
    f.configure(K, 1 << log2_bits)
    return f


# --- floor group -------------------------------------------------------------

def run_floor(program, log2_bits, rows):
    out = subprocess.run([program, "--runs", str(FLOOR_RUNS), f"{log2_bits}:{rows}"],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def bench_floor_size(mod, program, log2_bits, n_rows, repeats, rng):
    """Ours and the floor in alternating rounds: on a shared machine (a virtual
    one above all) the speed of a CPU drifts for seconds at a time, so each
    round's figures are taken side by side, and the medians pool all rounds."""
    inserted, rows, is_unseen = make_data(n_rows, rng)
    configure, _, f = timed(lambda _: new_filter(mod, log2_bits), repeats=MIN_REPEATS, budget=WHOLE_BUDGET)
    # A filter may leave its pages to the first insert to fault in. That one is
    # reported apart; the figure is of inserts into a filter whose memory is in
    # place, as the floor's is (the same rows again: the same accesses).
    start = time.perf_counter()
    f.insert(inserted)
    first_insert = time.perf_counter() - start
    insert = {"seconds": [], "cpu_seconds": []}
    test = {"seconds": [], "cpu_seconds": []}
    floor = {op: {"seconds": [], "cpu_seconds": []} for op in ("insert", "test")}
    huge = []
    for _ in range(FLOOR_ROUNDS):
        program_out = run_floor(program, log2_bits, n_rows)
        size = program_out["sizes"][0]
        for op in ("insert", "test"):
            floor[op]["seconds"] += size[f"{op}_ns_runs"]
            floor[op]["cpu_seconds"] += size[f"{op}_cpu_ns_runs"]
        huge.append(size["huge_page_bytes"])
        for runs, call in ((insert, lambda _: f.insert(inserted)), (test, lambda _: f.test(rows))):
            round_runs, _, found = timed(call, repeats=ROUND_REPEATS, budget=WHOLE_BUDGET, hot=True)
            runs["seconds"] += round_runs["seconds"]
            runs["cpu_seconds"] += round_runs["cpu_seconds"]
    res = {
        "bits": 1 << log2_bits,
        "rows_inserted": n_rows,
        "rows_tested": len(rows),
        "configure": configure,
        "first_insert_ns_per_row": first_insert / n_rows * 1e9,
        "insert": insert,
        "test": test,
        "insert_ns_per_row": median(insert) / n_rows * 1e9,
        "test_ns_per_row": median(test) / len(rows) * 1e9,
        # The floor's runs of every round, pooled; ns per row.
        "floor": {**floor, "huge_page_bytes": min(huge)},
        **answers(found, is_unseen, K, 1 << log2_bits, n_rows),
    }
    for op in ("insert", "test"):
        res["floor"][f"{op}_ns_per_row"] = median(res["floor"][op])
        res[f"{op}_ratio"] = res[f"{op}_ns_per_row"] / res["floor"][f"{op}_ns_per_row"]
    return res, program_out


def bytes_size(n):
    for unit, size in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if n >= size:
            return f"{n / size:g} {unit}"
    return f"{n} B"


def print_floor(results):
    print(f"\nOurs against the floor: k = {K} random one-bit accesses per row into a bit array of the same size "
          f"on 2 MiB pages,\npositions drawn ahead of the clock (benchmarks/floor.cpp; insert = {K} OR-stores, "
          f"test = {K} loads ANDed, no early exit).\nOur test set is half inserted, half unseen rows; our test "
          f"builds the list of bools. ns per row: medians of the steady runs\n(the process had a core for "
          f"{STEADY_SHARE:.0%} of the run or more; 'steady' counts them, ours + floor). "
          f"spread: (max - min) / median of those runs.")
    head = (f"{'bits':<20}{'rows':>10}  {'insert':>7} {'floor':>6} {'ratio':>6} {'spread':>7} {'steady':>13}"
            f"  {'test':>7} {'floor':>6} {'ratio':>6} {'spread':>7} {'steady':>13}  {'configure':>9}"
            f" {'1st insert':>10}")
    print(head)
    print("-" * len(head))
    for label, r in results.items():
        fl = r["floor"]
        cells = []
        for op in ("insert", "test"):
            cells.append(f"{r[f'{op}_ns_per_row']:>7.1f} {fl[f'{op}_ns_per_row']:>6.1f} {r[f'{op}_ratio']:>6.2f} "
                         f"{spread(r[op]):>7.0%} {kept(r[op]) + ' + ' + kept(fl[op]):>13}")
        print(f"{label + ' (' + bytes_size(r['bits'] // 8) + ')':<20}{r['rows_inserted']:>10,}  "
              + "  ".join(cells) + f"  {median(r['configure']) * 1e3:>7.1f}ms {r['first_insert_ns_per_row']:>10.1f}")
    print("floor spread, insert / test: "
          + ", ".join(f"{label} {spread(r['floor']['insert']):.0%} / {spread(r['floor']['test']):.0%}"
                      for label, r in results.items())
          + "; floor array on 2 MiB pages: "
          + ", ".join(f"{label} {min(r['floor']['huge_page_bytes'] / (r['bits'] // 8), 1):.0%}"
                      for label, r in results.items()))
    print("configure: ours, ms. 1st insert: ns per row of the first insert into the new filter, one run, "
          "page faults and all; the insert column is of the inserts after it.")


# --- whole-filter group ------------------------------------------------------

VMSTAT_EVENTS = ["compact_stall", "thp_fault_alloc", "thp_fault_fallback"]


def vmstat():
    try:
        return {key: int(value) for key, value in
                (line.split() for line in Path("/proc/vmstat").read_text().splitlines())}
    except OSError:
        return {}


def bench_whole(mod, repeats, rng):
    """Two 1 GiB filters, f and g, each holding a million rows, against np.copyto."""
    m = 1 << WHOLE_LOG2
    inserted, rows, _ = make_data(1_000_000, rng)
    f = new_filter(mod, WHOLE_LOG2)
    f.insert(inserted)
    g = new_filter(mod, WHOLE_LOG2)
    g.insert(rng.integers(-(2**31), 2**31, size=(1_000_000, 4), dtype=np.int32))
    data = f.to_bytes()
    state = pickle.dumps(f)
    src = np.frombuffer(data, dtype=np.uint8)

    def copy(_):
        dst = np.empty(src.size, dtype=np.uint8)
        np.copyto(dst, src)
        return dst

    def load(g):
        g.from_bytes(data, K, m)
        return g

    # union and intersect change the filter they are called on; a copy of f
    # takes them, the same every run since both are idempotent.
    target = pickle.loads(state)
    ops = {
        "to_bytes": (lambda _: f.to_bytes(), lambda: None),
        "from_bytes": (load, mod.bloomfilter),
        "pickle.dumps": (lambda _: pickle.dumps(f), lambda: None),
        "pickle.loads": (lambda _: pickle.loads(state), lambda: None),
        "union": (lambda _: target.union(g), lambda: None),
        "intersect": (lambda _: target.intersect(g), lambda: None),
    }
    # NumPy asks for huge pages for the destination, and the kernel may stall
    # the fault to compact memory for them: that is CPU time in the run, so the
    # steady test does not see it. The stalls are counted to explain a slow run.
    before = vmstat()
    copyto, _, _ = timed(copy, repeats=repeats, budget=WHOLE_BUDGET, warmup=True)
    after = vmstat()
    out = {
        "filter_bytes": len(data),
        "copyto": {"how": "dst = np.empty(1 GiB, uint8); np.copyto(dst, src), timed together", **copyto,
                   "kernel_events": {key: after.get(key, 0) - before.get(key, 0) for key in VMSTAT_EVENTS}},
        "pickle_protocol": pickle.DEFAULT_PROTOCOL,
        "operations": {},
    }
    expected = f.test(rows)
    for name, (run, prepare) in ops.items():
        runs, _, result = timed(run, prepare, repeats, WHOLE_BUDGET, warmup=True)
        out["operations"][name] = {**runs, "ratio": median(runs) / median(copyto)}
        if name in ("from_bytes", "pickle.loads"):
            # A restored filter must answer as the original does.
            assert (result.get_k(), result.get_m()) == (K, m) and result.test(rows) == expected, name
        del result
    return out


# --- memory group ------------------------------------------------------------

def status_kib(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def peak_memory(op):
    """Runs in a fresh subprocess: sets up what op needs, resets the resident
    high-water mark, runs op once and prints its extra peak as JSON."""
    mod = importlib.import_module("woxbloomfilter")
    m = 1 << WHOLE_LOG2
    rows = np.random.default_rng(SEED).integers(-(2**31), 2**31, size=(100_000, 4), dtype=np.int32)
    f = new_filter(mod, WHOLE_LOG2)
    f.insert(rows)
    g = data = state = src = None
    if op in ("union", "intersect"):
        g = new_filter(mod, WHOLE_LOG2)
        g.insert(rows[::2])
    elif op == "from_bytes":
        data, f = f.to_bytes(), None
    elif op == "pickle.loads":
        state, f = pickle.dumps(f), None
    elif op == "np.copyto":
        src, f = np.frombuffer(f.to_bytes(), dtype=np.uint8), None
    run = {
        "to_bytes": lambda: f.to_bytes(),
        "from_bytes": lambda: mod.bloomfilter().from_bytes(data, K, m),
        "pickle.dumps": lambda: pickle.dumps(f),
        "pickle.loads": lambda: pickle.loads(state),
        "union": lambda: f.union(g),
        "intersect": lambda: f.intersect(g),
        "np.copyto": lambda: np.copyto(np.empty(src.size, dtype=np.uint8), src),
    }[op]
    gc.collect()
    # Writing 5 sets VmHWM back to the present resident size.
    Path("/proc/self/clear_refs").write_text("5")
    baseline = status_kib("VmHWM")
    result = run()  # held until the peak is read: a result is memory the call costs
    peak = status_kib("VmHWM")
    del result
    print(json.dumps({"baseline_bytes": baseline * 1024, "peak_bytes": peak * 1024,
                      "extra_bytes": (peak - baseline) * 1024}))


def bench_memory():
    out = {"how": "VmHWM above the baseline (reset with clear_refs 5 after setup), one fresh subprocess each; "
                  "a result is held until the peak is read",
           "filter_bytes": 1 << (WHOLE_LOG2 - 3), "operations": {}}
    for op in ["to_bytes", "from_bytes", "pickle.dumps", "pickle.loads", "union", "intersect", "np.copyto"]:
        proc = subprocess.run([sys.executable, __file__, "--peak-memory", op], capture_output=True, text=True)
        if proc.returncode != 0:
            out["operations"][op] = {"error": (proc.stderr.strip().splitlines() or ["failed"])[-1]}
            continue
        entry = json.loads(proc.stdout)
        entry["ratio"] = entry["extra_bytes"] / out["filter_bytes"]
        out["operations"][op] = entry
    return out


def print_whole(whole, memory):
    if whole is None:  # memory alone: no timings
        whole = {"filter_bytes": memory["filter_bytes"], "operations": {},
                 "copyto": {"seconds": [math.nan], "cpu_seconds": [math.nan]},
                 "pickle_protocol": pickle.DEFAULT_PROTOCOL}
    print(f"\nThe {bytes_size(whole['filter_bytes'])} filter (2^{WHOLE_LOG2} bits) against np.copyto of as many "
          f"bytes into freshly allocated memory\n(np.empty, then copyto, timed together), after one untimed run "
          f"of each. pickle.dumps uses the default protocol, {whole['pickle_protocol']}.\n"
          f"Extra peak: the resident high-water mark above the baseline, in a fresh subprocess per operation, "
          f"the result held;\n÷filter: ÷ the filter's {bytes_size(whole['filter_bytes'])}. "
          f"ms, spread and steady as in the floor table.")
    head = f"{'operation':<14}{'ms':>8} {'÷copyto':>8} {'spread':>7} {'steady':>7}  {'extra peak':>11} {'÷filter':>8}"
    print(head)
    print("-" * len(head))
    measured = (memory or {}).get("operations", {})
    for name in dict.fromkeys([*whole["operations"], *measured, "np.copyto"]):
        op = whole["copyto"] if name == "np.copyto" else whole["operations"].get(name)
        timing = (f"{median(op) * 1e3:>8.0f} {op.get('ratio', 1.0):>8.2f} {spread(op):>7.0%} {kept(op):>7}"
                  if op and not math.isnan(op["seconds"][0]) else f"{'-':>8} {'-':>8} {'-':>7} {'-':>7}")
        mem = measured.get(name)
        if mem is None:
            peak = f"{'-':>11} {'-':>8}"
        elif "error" in mem:
            peak = f"  not measured: {mem['error']}"
        else:
            peak = f"{mem['extra_bytes'] / 2**30:>7.2f} GiB {mem['ratio']:>8.2f}"
        print(f"{name:<14}{timing}  {peak}")
    events = whole["copyto"].get("kernel_events")
    if events:
        print("np.copyto's runs (warm-up included): " + ", ".join(f"{key} {n}" for key, n in events.items())
              + " (huge-page faults stalled for compaction, taken, refused)")


# --- peers group -------------------------------------------------------------

def popcount(buf):
    return int(np.bitwise_count(np.frombuffer(buf, dtype=np.uint8)).sum())


def rbloom_shape(mod, f, n):
    # rbloom does not expose k; a filter of the same size with a hash we
    # may save shows it as the number of bits one add sets.
    probe = mod.Bloom(n, FP_RATE, lambda x: hash(x))
    before = popcount(probe.save_bytes())
    probe.add(b"probe")
    return f.size_in_bits, popcount(probe.save_bytes()) - before


@dataclass
class Library:
    name: str
    dist: str  # the distribution, for its version and install errors
    module: str
    route: str
    make: Callable[[Any, int, int], Any]  # (module, m, capacity) -> empty filter
    insert: Callable[[Any, Any], None]
    test: Callable[[Any, Any], Any]
    shape: Callable[[Any, Any, int], tuple]  # (module, filter, capacity) -> (bits, k)
    keys: bool = True  # fed bytes keys rather than the array


def make_ours(mod, m, n):
    f = mod.bloomfilter()
    f.configure(K, m)
    return f


def pyprobables_insert(f, keys):
    add = f.add
    for key in keys:
        add(key)


LIBRARIES = [
    Library(
        "woxbloomfilter", "woxbloomfilter", "woxbloomfilter",
        "insert(array) / test(array)",
        make_ours, lambda f, a: f.insert(a), lambda f, a: f.test(a),
        lambda mod, f, n: (f.get_m(), f.get_k()),
        keys=False,
    ),
    Library(
        "rbloom", "rbloom", "rbloom",
        "update(keys) / [k in f for k in keys]",
        lambda mod, m, n: mod.Bloom(n, FP_RATE),
        lambda f, keys: f.update(keys), lambda f, keys: [k in f for k in keys],
        rbloom_shape,
    ),
    Library(
        "pybloomfiltermmap3", "pybloomfiltermmap3", "pybloomfilter",
        "update(keys) / [k in f for k in keys], 7 hash seeds",
        lambda mod, m, n: mod.BloomFilter(n, FP_RATE, hash_seeds=PYBLOOM_SEEDS),
        lambda f, keys: f.update(keys), lambda f, keys: [k in f for k in keys],
        lambda mod, f, n: (f.num_bits, f.num_hashes),
    ),
    Library(
        "fastbloom-rs", "fastbloom-rs", "fastbloom_rs",
        "add_bytes_batch(keys) / contains_bytes_batch(keys, False)",
        lambda mod, m, n: mod.FilterBuilder(n, FP_RATE).build_bloom_filter(),
        lambda f, keys: f.add_bytes_batch(keys),
        # False skips a per-key isinstance check done in Python.
        lambda f, keys: f.contains_bytes_batch(keys, False),
        lambda mod, f, n: (len(f.get_bytes()) * 8, f.hashes()),
    ),
    Library(
        "pyprobables", "pyprobables", "probables",
        "add(key) in a loop / map(check, keys); no batch call",
        lambda mod, m, n: mod.BloomFilter(est_elements=n, false_positive_rate=FP_RATE),
        pyprobables_insert, lambda f, keys: list(map(f.check, keys)),
        lambda mod, f, n: (f.number_bits, f.number_hashes),
    ),
]


def install_errors():
    errors = {}
    if INSTALL_ERRORS.exists():
        for line in INSTALL_ERRORS.read_text().splitlines():
            req, _, reason = line.partition(": ")
            name = req.split("==")[0].strip().lower().replace("_", "-")
            errors[name] = reason.strip() or "pip install failed"
    return errors


def load(lib, errors):
    """The library's module, or None and why it is missing."""
    try:
        return importlib.import_module(lib.module), None
    except Exception as e:  # a broken build can raise more than ImportError
        reason = errors.get(lib.dist.lower())
        if reason:
            return None, f"not installed: {reason}"
        return None, f"import failed: {type(e).__name__}: {e}"


def bench_peers_size(log2_bits, n_rows, libs, repeats, rng):
    m = 1 << log2_bits
    capacity = int(m / BITS_PER_ROW)
    inserted, rows, is_unseen = make_data(n_rows, rng)

    insert_key_runs, _, insert_keys = timed(lambda _: row_keys(inserted), repeats=repeats)
    test_key_runs, _, test_keys = timed(lambda _: row_keys(rows), repeats=repeats)
    assert {len(key) for key in insert_keys + test_keys} == {ROW_WIDTH}
    assert insert_keys[0] == inserted[0].tobytes() and test_keys[-1] == rows[-1].tobytes()
    out = {
        "bits": m,
        "capacity_asked": capacity,
        "rows_inserted": n_rows,
        "rows_tested": len(rows),
        "unseen_tested": int(is_unseen.sum()),
        "key_building": {
            "how": f"np.ascontiguousarray(a).view(np.dtype(('V', {ROW_WIDTH}))).ravel().tolist()",
            "insert_rows_per_s": n_rows / median(insert_key_runs),
            "test_rows_per_s": len(rows) / median(test_key_runs),
            "insert": insert_key_runs,
            "test": test_key_runs,
        },
        "libraries": {},
    }

    for lib, mod, missing in libs:
        entry = {"route": lib.route, "fed": "bytes keys" if lib.keys else "the array"}
        out["libraries"][lib.name] = entry
        if missing:
            entry["error"] = missing
            continue
        insert_data = insert_keys if lib.keys else inserted
        test_data = test_keys if lib.keys else rows
        try:
            insert, f, _ = timed(lambda f: lib.insert(f, insert_data), lambda: lib.make(mod, m, capacity), repeats)
            test, _, found = timed(lambda _: lib.test(f, test_data), repeats=repeats)
            bits, k = lib.shape(mod, f, capacity)
        except Exception as e:
            entry["error"] = f"failed: {type(e).__name__}: {e}"
            continue
        entry.update(
            bits=int(bits),
            k=int(k),
            insert_rows_per_s=n_rows / median(insert),
            test_rows_per_s=len(rows) / median(test),
            **answers(found, is_unseen, int(k), int(bits), n_rows),
            insert=insert,
            test=test,
        )
        if lib.keys:
            # What a user holding the array pays: key building plus the call.
            entry["insert_with_keys_rows_per_s"] = n_rows / (median(insert) + median(insert_key_runs))
            entry["test_with_keys_rows_per_s"] = len(rows) / (median(test) + median(test_key_runs))
        del f, found
        gc.collect()

    # Ratios are ours / peer: above 1 woxbloomfilter is that many times faster.
    ours = out["libraries"]["woxbloomfilter"]
    for entry in out["libraries"].values():
        if "error" in entry or "error" in ours:
            continue
        for op in ("insert", "test"):
            entry[f"ratio_{op}"] = ours[f"{op}_rows_per_s"] / entry[f"{op}_rows_per_s"]
            entry[f"ratio_{op}_with_keys"] = ours[f"{op}_rows_per_s"] / entry.get(
                f"{op}_with_keys_rows_per_s", entry[f"{op}_rows_per_s"])
    return out


def share(x):
    # The large filter is lightly loaded: its expected rate is far below 0.001 %.
    return f"{x:.3%}" if x == 0 or x >= 1e-5 else f"{x:.1e}"


def rate(x):
    return f"{x / 1e6:.2f}M" if x >= 1e6 else f"{x / 1e3:.0f}k"


def print_peers(label, res):
    m = res["bits"]
    print(f"\n{label} ({bytes_size(m // 8)}): insert {res['rows_inserted']:,} rows, "
          f"test {res['rows_tested']:,} (half inserted, half unseen); rows/s, median; "
          f"ours÷ = our rows/s ÷ theirs")
    head = (f"{'library':<19}{'bits':>14} {'k':>2}  {'insert/s':>9} {'ours÷':>7}  {'test/s':>9} {'ours÷':>7}"
            f"  {'ours÷ with keys':>16}  {'FP rate':>7} {'(expected)':>10} {'FN':>3}")
    print(head)
    print("-" * len(head))
    for name, e in res["libraries"].items():
        if "error" in e:
            print(f"{name:<19}{e['error']}")
            continue
        mark = " " if e["bits"] == m else "*"
        with_keys = f"{e['ratio_insert_with_keys']:.2f} / {e['ratio_test_with_keys']:.2f}" if e.get(
            "insert_with_keys_rows_per_s") else "-"
        print(f"{name:<19}{e['bits']:>13,}{mark} {e['k']:>2}  {rate(e['insert_rows_per_s']):>9} "
              f"{e['ratio_insert']:>7.2f}  {rate(e['test_rows_per_s']):>9} {e['ratio_test']:>7.2f}"
              f"  {with_keys:>16}  {share(e['false_positive_rate']):>7} {share(e['false_positive_rate_expected']):>10}"
              f" {e['false_negatives']:>3}")
    kb = res["key_building"]
    print(f"key building ({kb['how']}, paid by every peer): "
          f"{rate(kb['insert_rows_per_s'])} rows/s on the inserted rows, {rate(kb['test_rows_per_s'])} on the tested")
    noisy = [f"{name} {op} ({kept(e[op])} steady)" for name, e in res["libraries"].items()
             for op in ("insert", "test") if op in e and steady_count(e[op]) < MIN_REPEATS]
    if noisy:
        print(f"from all runs, fewer than {MIN_REPEATS} being steady: " + ", ".join(noisy))


# --- targets -----------------------------------------------------------------

def verdict(value, op, limit):
    """(met, text): how far a figure is from its limit, as a factor."""
    if op == "<=":
        met, factor = value <= limit, (limit / value if value else math.inf) if value <= limit else value / limit
    else:  # ">=" or ">": ours / theirs, the higher the better
        met = value >= limit if op == ">=" else value > limit
        factor = value / limit if met else limit / value
    if met:
        return True, f"met, {factor:.2f}x to spare"
    return False, f"MISSED by {factor:.2f}x" + (" (over)" if op == "<=" else " (short)")


def evaluate_targets(report):
    targets = []

    def add(group, name, value, op, limit):
        met, text = verdict(value, op, limit)
        targets.append({"group": group, "target": name, "value": value, "op": op, "limit": limit,
                        "met": met, "verdict": text})

    for log2_bits, limits in FLOOR_TARGETS.items():
        r = report.get("floor", {}).get(f"2^{log2_bits} bits")
        if r:
            for op, limit in limits.items():
                add("floor", f"2^{log2_bits} bits {op} ÷ floor", r[f"{op}_ratio"], "<=", limit)
    whole = report.get("whole")
    if whole:
        for op, limit in WHOLE_TIME_TARGETS.items():
            add("whole", f"1 GiB {op} ÷ np.copyto", whole["operations"][op]["ratio"], "<=", limit)
    memory = report.get("memory")
    if memory:
        for op, limit in MEMORY_TARGETS.items():
            entry = memory["operations"][op]
            if "ratio" in entry:
                add("memory", f"1 GiB {op} extra peak ÷ filter bytes", entry["ratio"], "<=", limit)
    for label, res in report.get("peers", {}).items():
        log2_bits = int(label.split("^")[1].split()[0])
        for name, e in res["libraries"].items():
            if name == "woxbloomfilter" or "ratio_insert" not in e:
                continue
            for op in ("insert", "test"):
                add("peers", f"{label} {op} ours÷{name}, call alone", e[f"ratio_{op}"], ">", 1.0)
                add("peers", f"{label} {op} ours÷{name}, with keys", e[f"ratio_{op}_with_keys"],
                    ">=", PEER_WITH_KEYS_TARGETS[log2_bits])
    return targets


def print_targets(targets):
    print("\nTargets")
    width = max(len(t["target"]) for t in targets) + 2
    for t in targets:
        print(f"{t['target']:<{width}}{t['value']:>8.2f}  {t['op']} {t['limit']:<4g}  {t['verdict']}")
    met = sum(t["met"] for t in targets)
    print(f"{met} of {len(targets)} met")


# --- machine -----------------------------------------------------------------

def machine_info():
    # A virtual machine may show only a vendor's family name as the model,
    # so family, model and stepping go along to pin the processor down.
    cpuinfo = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            if not key.strip():
                break  # the first processor is enough
            cpuinfo.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    caches = {}
    for index in sorted(Path("/sys/devices/system/cpu/cpu0/cache").glob("index*")):
        try:
            level = (index / "level").read_text().strip()
            kind = (index / "type").read_text().strip()
            caches[f"L{level} {kind}"] = (index / "size").read_text().strip()
        except OSError:
            pass
    thp = {}
    for name in ("enabled", "defrag"):
        try:
            text = Path(f"/sys/kernel/mm/transparent_hugepage/{name}").read_text()
            thp[name] = text[text.index("[") + 1 : text.index("]")]
        except (OSError, ValueError):
            thp[name] = None
    memory = None
    try:
        memory = next(l.split(":")[1].strip() for l in Path("/proc/meminfo").read_text().splitlines()
                      if l.startswith("MemTotal"))
    except (OSError, StopIteration):
        pass
    versions = {}
    for dist in ["numpy", "matplotlib"] + [lib.dist for lib in LIBRARIES]:
        try:
            versions[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            versions[dist] = None
    try:  # NumPy asks for huge pages on large arrays (np.copyto's destination) when this is on
        from numpy._core.multiarray import _get_madvise_hugepage
        numpy_hugepage = bool(_get_madvise_hugepage())
    except ImportError:
        numpy_hugepage = None
    return {
        "cpu": cpuinfo.get("model name", platform.processor() or "unknown"),
        "cpu_family_model_stepping": [cpuinfo.get(k) for k in ("cpu family", "model", "stepping")],
        "cpu_flags_of_note": [f for f in ("avx2", "avx512f", "avx512bw", "bmi2") if f in cpuinfo.get("flags", "").split()],
        "cpus": os.cpu_count(),
        "caches_per_core_or_shared": caches,
        "memory": memory,
        "transparent_hugepage": thp,
        "numpy_madvise_hugepage": numpy_hugepage,
        "platform": platform.platform(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "packages": versions,
    }


# --- chart -------------------------------------------------------------------

def plot(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    machine = report["machine"]
    fig, axes = plt.subplots(2, 2, figsize=(14, 10))
    blue, orange, grey = "#3a6ea5", "#e08a2c", "#9a9a9a"

    ax = axes[0, 0]
    floor = report.get("floor", {})
    if floor:
        labels = list(floor)
        x = np.arange(len(labels))
        for i, (op, color) in enumerate((("insert", blue), ("test", orange))):
            ours = [floor[l][f"{op}_ns_per_row"] for l in labels]
            under = [floor[l]["floor"][f"{op}_ns_per_row"] for l in labels]
            pos = x + (i - 0.5) * 0.4
            ax.bar(pos, ours, 0.36, color=color, label=f"ours, {op}")
            ax.bar(pos, under, 0.36, color="none", edgecolor="black", hatch="//",
                   label="the floor under each bar" if i else None)
            for p, o, u in zip(pos, ours, under):
                ax.text(p, o, f"{o / u:.2f}x", ha="center", va="bottom", fontsize=8)
        ax.set_xticks(x, [f"{l}\n{bytes_size(floor[l]['bits'] // 8)}" for l in labels])
        ax.set_yscale("log")
        lowest = min(floor[l]["floor"][f"{op}_ns_per_row"] for l in labels for op in ("insert", "test"))
        ax.set_ylim(bottom=lowest / 2)  # the shortest floor bar stays visible
        ax.set_ylabel("ns per row (median, log scale)")
        ax.legend(fontsize=8)
    ax.set_title(f"Ours against the floor (k = {K} random one-bit accesses per row, 2 MiB pages)", fontsize=10)

    ax = axes[0, 1]
    whole = report.get("whole")
    if whole:
        names = list(whole["operations"])
        ms = [median(whole["operations"][n]) * 1e3 for n in names]
        copy = median(whole["copyto"]) * 1e3
        y = np.arange(len(names))
        ax.barh(y, ms, color=blue)
        ax.axvline(copy, color="black", ls="--", lw=1, label=f"np.copyto into fresh memory: {copy:.0f} ms")
        mem = (report.get("memory") or {}).get("operations", {})
        for yi, n, v in zip(y, names, ms):
            peak = f", extra peak {mem[n]['ratio']:.2f}x the filter" if "ratio" in mem.get(n, {}) else ""
            ax.text(v, yi, f" {v / copy:.2f}x copyto{peak}", va="center", fontsize=8)
        ax.set_yticks(y, names)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlim(min(ms + [copy]) / 2, max(ms + [copy]) * 12)  # room for the labels
        ax.set_xlabel("ms (median, log scale)")
        ax.legend(fontsize=8, loc="lower right")
    ax.set_title(f"The {bytes_size(1 << (WHOLE_LOG2 - 3))} filter: byte form, pickles, set operations", fontsize=10)

    for ax, (label, res) in zip(axes[1], report.get("peers", {}).items()):
        names = list(res["libraries"])
        x = np.arange(len(names))
        libs = res["libraries"]
        get = lambda n, key: libs[n].get(key, libs[n].get(key.replace("_with_keys", ""), np.nan))
        ax.bar(x - 0.3, [get(n, "insert_rows_per_s") for n in names], 0.2, color=blue, label="insert, call alone")
        ax.bar(x - 0.1, [get(n, "insert_with_keys_rows_per_s") for n in names], 0.2, color=blue, alpha=0.45,
               label="insert with key building")
        ax.bar(x + 0.1, [get(n, "test_rows_per_s") for n in names], 0.2, color=orange, label="test, call alone")
        ax.bar(x + 0.3, [get(n, "test_with_keys_rows_per_s") for n in names], 0.2, color=orange, alpha=0.45,
               label="test with key building")
        for i, n in enumerate(names):
            if "error" in libs[n]:
                # x in data, y in axes units: visible whatever the log scale's range.
                ax.text(i, 0.04, "not run: " + libs[n]["error"][:55], ha="center", va="bottom",
                        fontsize=7, rotation=90, transform=ax.get_xaxis_transform())
        ax.axhline(res["key_building"]["insert_rows_per_s"], color=grey, ls="--", lw=1,
                   label="key building alone")
        ax.set_yscale("log")
        ax.set_xlim(-0.6, len(names) - 0.4)
        ax.set_xticks(x, names, rotation=15, ha="right")
        ax.set_ylabel("rows per second (median, log scale)")
        ax.set_title(f"Peers at {label} ({bytes_size(res['bits'] // 8)}): {res['rows_inserted']:,} rows", fontsize=10)
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(fontsize=7, loc="upper right")
    for ax in axes[1][len(report.get("peers", {})):]:
        ax.set_visible(False)

    family = "/".join(str(v) for v in machine["cpu_family_model_stepping"][:2])
    fig.suptitle(f"woxbloomfilter, (N, 4) int32 rows, k = {K}: {machine['cpu']} (family/model {family}, "
                 f"{machine['cpus']} CPUs), hash path {report.get('hash_path') or 'not reported'}, "
                 f"THP {machine['transparent_hugepage'].get('enabled')}, Python {machine['python']}, "
                 f"NumPy {machine['numpy']}", fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --- main --------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5, help="runs per measurement; the median is kept")
    parser.add_argument("--floor", help="the floor program (make bench builds it as build/floor)")
    parser.add_argument("--groups", nargs="+", choices=GROUPS, default=GROUPS, help="measure only these groups")
    parser.add_argument("--plot-only", action="store_true", help="redraw the chart from results/results.json")
    parser.add_argument("--peak-memory", choices=list(MEMORY_TARGETS) + ["pickle.dumps", "union", "intersect",
                                                                          "np.copyto"],
                        help=argparse.SUPPRESS)  # the subprocess of the memory group
    args = parser.parse_args()

    if args.peak_memory:
        peak_memory(args.peak_memory)
        return
    if args.plot_only:
        report = json.loads((RESULTS / "results.json").read_text())
        plot(report, RESULTS / "throughput.png")
        print(f"wrote {RESULTS / 'throughput.png'}")
        return
    if "floor" in args.groups and not args.floor:
        parser.error("--floor is needed for the floor group (make bench passes build/floor)")

    started = time.perf_counter()
    load_start = os.getloadavg()
    check_row_keys()
    errors = install_errors()
    libs = [(lib, *load(lib, errors)) for lib in LIBRARIES]
    ours = libs[0][1]
    if ours is None:
        sys.exit(f"woxbloomfilter itself is missing: {libs[0][2]}")
    machine = machine_info()
    report = {
        "what": "ns per row or seconds, medians of the runs listed; ratios as named beside each",
        "k": K,
        "repeats": args.repeats,
        "test_set": "half inserted rows, half unseen rows, shuffled; false_positive_rate is over the unseen half",
        "machine": machine,
        "hash_path": None,
    }
    family = "/".join(str(v) for v in machine["cpu_family_model_stepping"])
    print(f"{machine['cpu']} (family/model/stepping {family}), {machine['cpus']} CPUs; transparent huge pages "
          f"{machine['transparent_hugepage']['enabled']}; Python {machine['python']}, NumPy {machine['numpy']}; "
          f"load average {load_start[0]:.2f}")

    rng = np.random.default_rng(SEED)
    if "floor" in args.groups:
        report["floor"] = {}
        # One CPU for ours and the floor program (which inherits it): the
        # virtual CPUs of a shared machine run at speeds of their own.
        cpus = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(cpus)})
        for log2_bits, n_rows in FLOOR_SIZES:
            label = f"2^{log2_bits} bits"
            report["floor"][label], meta = bench_floor_size(ours, args.floor, log2_bits, n_rows, args.repeats, rng)
        os.sched_setaffinity(0, cpus)
        report["hash_path"] = meta["hash_path"]
        report["floor_program"] = {k: v for k, v in meta.items() if k != "sizes"}
        print(f"SIMD path of the batched hash: {report['hash_path'] or 'not reported'}"
              + (f" ({meta['hash_path_note']})" if meta.get("hash_path_note") else ""))
        print_floor(report["floor"])
    if "whole" in args.groups:
        report["whole"] = bench_whole(ours, args.repeats, rng)
        gc.collect()
    if "memory" in args.groups:
        report["memory"] = bench_memory()
    if {"whole", "memory"} & set(args.groups):
        print_whole(report.get("whole"), report.get("memory"))
    if "peers" in args.groups:
        report["peers"] = {}
        for log2_bits, n_rows in PEER_SIZES:
            label = f"2^{log2_bits} bits"
            report["peers"][label] = bench_peers_size(log2_bits, n_rows, libs, args.repeats, rng)
            print_peers(label, report["peers"][label])
        print("\n* bit array differs from the size asked for.  FN: false negatives among inserted rows (must be 0).")
        print("'with keys' adds the key building to each peer's time.  Routes:")
        for lib, _, _ in libs:
            print(f"  {lib.name:<19}{lib.route}")

    report["targets"] = evaluate_targets(report)
    if report["targets"]:
        print_targets(report["targets"])
    report["load_average"] = {"start": load_start, "end": os.getloadavg()}
    report["total_seconds"] = total = time.perf_counter() - started
    print(f"\nload average {load_start[0]:.2f} at the start, {report['load_average']['end'][0]:.2f} at the end "
          f"(2 CPUs shared with other work: the spread and steady columns show the noise); total {total:.0f} s")
    if set(args.groups) != set(GROUPS):
        # Every figure of results.json comes from one run of all the groups.
        print("not all groups ran: results/results.json and the chart are left as they were")
        return
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "results.json").write_text(json.dumps(report, indent=2) + "\n")
    plot(report, RESULTS / "throughput.png")
    print(f"wrote {RESULTS / 'results.json'} and {RESULTS / 'throughput.png'}")


if __name__ == "__main__":
    main()
