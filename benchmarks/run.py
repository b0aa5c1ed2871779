"""Speed of woxbloomfilter against the hardware floor, np.copyto and other Bloom
filters, on the rows of random (N, 4) int32 arrays with k = 7: a table per
group, then every target (TARGETS) with its ratio and verdict. A run of every
group and size writes results/ and redraws the chart (plot.py).

floor: ours at 2^20, 2^27 and 2^33 bits against the fastest variant of
floor.cpp, the two alternating in rounds on one CPU. whole: the 1 GiB filter's
byte form, pickles and woxbloomfilter_tools.load, each timed once in each of
many fresh processes against ndarray.tobytes() in the same processes (a fresh
process meets memory as a program does: the pages a call faults in are what
it costs, and the worst case is what a user meets; bulk.py), and union and
intersect against np.copyto. memory: their extra peak memory, each in a fresh
process. loaded: the whole job of a stored 1 GiB filter, from_bytes then tests
of 1 M, 10 M and 100 M rows, in fresh processes, against the same tests into a
configured filter plus a plain copy of the same bytes where the load would
be (bulk.py compares the ways of placing a loaded filter's pages; this
measures the one built). peers: other filters at 2^20 and 2^30 bits, fed bytes keys made by
row_keys; "with keys" counts making them.

The cores may be shared with other work, so figures come from the runs whose
process had a core for 90 % of their time. That and the alternation with the
floor need a timing loop of our own (pyperf's Runner would spawn workers that
each rebuild the data and the 1 GiB filters); pyperf gives the statistics and
results/pyperf.json, for `python -m pyperf compare_to` against another run.
"""
import argparse
import gc
import importlib.metadata
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pyperf

import bulk
import peers

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
GROUPS = ["floor", "whole", "memory", "loaded", "peers"]
K = 7
FP_RATE = 0.01
# log2 of the bits: rows. 2^20 bits (128 KiB) sit in L2, 2^27 (16 MiB) in the
# last-level cache, 2^33 (1 GiB) far beyond it.
FLOOR_SIZES = {20: 100_000, 27: 1_000_000, 33: 1_000_000}
PEER_SIZES = {20: 100_000, 30: 1_000_000}
WHOLE_LOG2 = 33
WHOLE_ROWS = 1_000_000
WHOLE_OPS = ["to_bytes", "from_bytes", "pickle.dumps", "pickle.loads", "union", "intersect"]  # memory's
FRESH_OPS = ["to_bytes", "from_bytes", "tools.load", "pickle.dumps", "pickle.loads"]
SET_OPS = ["union", "intersect"]
SEED = 20240601
STEADY_SHARE = 0.9  # CPU time over wall-clock time of a run that had a core
MIN_RUNS = 3  # kept runs a figure needs; with fewer, all its runs count
FLOOR_RUNS = 3  # runs of each floor variant a round
LIBRARIES = peers.libraries(K, FP_RATE, SEED)


def row_keys(a):
    """One `bytes` per row, exactly the row's bytes (void items keep trailing NULs)."""
    return np.ascontiguousarray(a).view(np.dtype(("V", a.shape[1] * a.itemsize))).ravel().tolist()


# --- timing and statistics ---------------------------------------------------

# A measurement's runs: [wall-clock seconds, CPU seconds] of each.
def kept(runs):
    return [wall for wall, cpu in runs if cpu >= STEADY_SHARE * wall]


BENCHMARKS = {}  # name: pyperf.Benchmark, for results/pyperf.json


def stats(runs, name=None):
    """A pyperf Benchmark of the kept runs (of all, if too few were kept)."""
    values = kept(runs) if len(kept(runs)) >= MIN_RUNS else [wall for wall, _ in runs]
    run = pyperf.Run(values, metadata={"name": name or "-", "unit": "second"}, collect_metadata=False)
    bench = pyperf.Benchmark([run])
    if name:
        BENCHMARKS[name] = bench
    return bench


def median(runs, name=None):
    return stats(runs, name).median()


def noise(runs):
    """The median absolute deviation over the median, and the runs kept of all."""
    b = stats(runs)
    return f"±{b.median_abs_dev() / b.median():.0%} {len(kept(runs))}/{len(runs)}"


def timed(run, prepare=lambda: None, repeats=5, budget=30.0, warmup=False, hot=False):
    """Times run(prepare()) until repeats runs were kept (at most 4x as many
    runs, fewer past budget seconds). warmup: one untimed run first; hot: an
    untimed run before each, to refill the caches after the garbage collection."""
    runs = []
    while True:
        arg = result = None  # the last run's objects go before the next are made
        arg = prepare()
        gc.collect()
        gc.disable()
        try:
            if hot:
                run(arg)
            start, start_cpu = time.perf_counter(), time.process_time()
            result = run(arg)
            wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
        finally:
            gc.enable()
        if warmup:
            warmup = False
            continue
        runs.append([wall, cpu])
        n, total = len(runs), sum(wall for wall, _ in runs)
        if n >= 4 * repeats or (n >= MIN_RUNS and total > budget) or (len(kept(runs)) >= repeats and total > 0.25):
            return runs, arg, result


# --- data --------------------------------------------------------------------

def random_rows(rng, n):
    return rng.integers(-(2**31), 2**31, size=(n, 4), dtype=np.int32)


def make_data(n_rows, rng):
    """Rows to insert, and a test set of half of them and as many unseen rows,
    shuffled; returns (inserted, test rows, which test rows are unseen)."""
    inserted, half = random_rows(rng, n_rows), n_rows // 2
    seen, unseen = inserted[rng.choice(n_rows, size=n_rows - half, replace=False)], random_rows(rng, half)
    assert not set(row_keys(unseen)) & set(row_keys(inserted))  # else the false-positive rate is off
    order = rng.permutation(n_rows)
    rows = np.ascontiguousarray(np.concatenate([seen, unseen])[order])
    return inserted, rows, np.concatenate([np.zeros(len(seen), bool), np.ones(half, bool)])[order]


def new_filter(mod, log2_bits):
    f = mod.bloomfilter()
    f.configure(K, 1 << log2_bits)
    return f


def table(intro, head, rows):
    """Prints intro, then the rows under head, the first and last columns to the left."""
    widths = [max(len(cell) for cell in column) for column in zip(head, *rows)]
    for i, cells in enumerate([head, *rows]):
        line = "  ".join(cell.ljust(w) if j in (0, len(head) - 1) else cell.rjust(w)
                         for j, (cell, w) in enumerate(zip(cells, widths)))
        print(("\n" + intro + "\n" if i == 0 else "") + line.rstrip())
        if i == 0:
            print("-" * len(line))


# --- floor -------------------------------------------------------------------

def bench_floor(mod, program, log2_bits, n_rows, rounds, rng):
    """Ours and every variant of the floor in alternating rounds, each side's
    runs pooled; the floor of an operation is its fastest variant."""
    inserted, rows, _ = make_data(n_rows, rng)
    f = new_filter(mod, log2_bits)
    f.insert(inserted)  # faults the pages in: the figures are of inserts after it, as the floor's are
    ours = {"insert": [], "test": []}
    floor = {"insert": {}, "test": {}}  # variant: runs, seconds per row
    for _ in range(rounds):
        out = json.loads(subprocess.run([program, "--runs", str(FLOOR_RUNS), f"{log2_bits}:{n_rows}"],
                                        check=True, capture_output=True, text=True).stdout)
        size = out["sizes"][0]
        for op in floor:
            for name, v in size[op]["variants"].items():
                floor[op].setdefault(name, []).extend(
                    [wall * 1e-9, cpu * 1e-9] for wall, cpu in zip(v["ns_runs"], v["cpu_ns_runs"]))
        for op, call in (("insert", lambda _: f.insert(inserted)), ("test", lambda _: f.test(rows))):
            runs, _, _ = timed(call, repeats=3, budget=15.0, hot=True)
            ours[op] += [[wall / n_rows, cpu / n_rows] for wall, cpu in runs]
    label = f"2^{log2_bits} bits"
    res = {"bits": 1 << log2_bits, "rows": n_rows,
           "floor": {"huge_page_bytes": size["huge_page_bytes"], "cycle_rows": size["cycle_rows"]}}
    for op in floor:
        best = min(floor[op], key=lambda name: median(floor[op][name]))
        res[op] = ours[op]
        res[f"{op}_ns_per_row"] = median(ours[op], f"{label} {op}") * 1e9
        res["floor"][f"{op}_ns_per_row"] = median(floor[op][best], f"{label} {op}, floor") * 1e9
        res["floor"][op] = {"best": best, "variants": {
            name: {"ns_per_row": median(runs) * 1e9, "runs": runs} for name, runs in floor[op].items()}}
        res[f"{op}_ratio"] = res[f"{op}_ns_per_row"] / res["floor"][f"{op}_ns_per_row"]
    return res, out["hash_path"]


def print_floor(results):
    rows = []
    for label, r in results.items():
        for op in ("insert", "test"):
            fl = r["floor"][op]
            rows.append([f"{label}, {r['rows']:,} rows" if op == "insert" else "", op, f"{r[f'{op}_ns_per_row']:.1f}",
                         f"{r['floor'][f'{op}_ns_per_row']:.1f}", f"{r[f'{op}_ratio']:.2f}", noise(r[op]),
                         noise(fl["variants"][fl["best"]]["runs"]), fl["best"]])
    table(f"Ours against the floor: the fastest variant of floor.cpp's {K} random one-bit accesses a row (insert: "
          f"OR-stores; test: loads\nANDed, no early exit) into a bit array of the same size. Our test set is half "
          f"absent rows. ns per row; ± is the\nmedian absolute deviation, then the runs kept of all. The floor's "
          f"array on 2 MiB pages: " + ", ".join(
              f"{label} {min(r['floor']['huge_page_bytes'] * 8 / r['bits'], 1):.0%}" for label, r in results.items()),
          ["bits", "op", "ours", "floor", "÷floor", "ours ±, kept", "floor ±, kept", "the floor's fastest variant"],
          rows)


# --- the whole 1 GiB filter, and peak memory ---------------------------------

def bench_whole(mod, repeats, processes, rng):
    """The byte form and pickles of a 1 GiB filter, each timed once in each
    of `processes` fresh processes, the operations taking turns; then two 1 GiB
    filters of a million rows each, f and g, united and intersected against
    np.copyto."""
    size = 1 << (WHOLE_LOG2 - 3)
    out = {"filter_bytes": size, "processes": processes, "fresh": {}, "operations": {}}
    with tempfile.TemporaryDirectory(prefix="wox-bench-") as folder:
        bulk.prepare_files(folder, WHOLE_LOG2, WHOLE_ROWS)
        runs = {op: [] for op in FRESH_OPS}
        for _ in range(processes):
            for op in FRESH_OPS:
                runs[op].append(bulk.run_child(op, WHOLE_LOG2, folder, WHOLE_ROWS, size))
    for op, op_runs in runs.items():
        name = f"1 GiB {op}, fresh processes"
        BENCHMARKS[name] = pyperf.Benchmark([pyperf.Run(
            [r["seconds"][op] for r in op_runs], metadata={"name": name, "unit": "second"}, collect_metadata=False)])
        out["fresh"][op] = {**bulk.summary(op_runs, op),  # its runs: [seconds, CPU seconds, tobytes seconds]
                            "runs": [[r["seconds"][op], r["cpu"][op], r["tobytes"]] for r in op_runs]}

    f, g = new_filter(mod, WHOLE_LOG2), new_filter(mod, WHOLE_LOG2)
    f.insert(random_rows(rng, WHOLE_ROWS))
    g.insert(random_rows(rng, WHOLE_ROWS))
    src = np.frombuffer(f.to_bytes(), dtype=np.uint8)
    copyto, _, _ = timed(lambda _: np.copyto(np.empty(src.size, np.uint8), src), repeats=repeats, budget=15.0,
                         warmup=True)
    del src
    copy_ms = median(copyto, "1 GiB np.copyto") * 1e3
    out["copyto"] = {"ms": copy_ms, "runs": copyto}
    # f takes both, idempotent after the untimed first run.
    for name, run in {"union": lambda: f.union(g), "intersect": lambda: f.intersect(g)}.items():
        runs, _, _ = timed(lambda _: run(), repeats=repeats, budget=15.0, warmup=True)
        ms = median(runs, f"1 GiB {name}") * 1e3
        out["operations"][name] = {"ms": ms, "ratio": ms / copy_ms, "runs": runs}
    return out


def bench_memory():
    out = {"filter_bytes": 1 << (WHOLE_LOG2 - 3), "operations": {}}
    for op in [*WHOLE_OPS, "np.copyto"]:
        proc = subprocess.run([sys.executable, HERE / "peak.py", op], capture_output=True, text=True)
        if proc.returncode:
            sys.exit(f"peak memory of {op} failed:\n{proc.stderr}")
        entry = json.loads(proc.stdout)
        out["operations"][op] = {**entry, "ratio": entry["extra_bytes"] / out["filter_bytes"]}
    return out


def print_whole(whole, memory, processes):
    def peak(name):
        mem = memory and memory["operations"].get(name)
        return [f"{mem['extra_bytes'] / 2**30:.2f} GiB", f"{mem['ratio']:.2f}"] if mem else ["-"] * 2

    rows = []
    for name in FRESH_OPS:
        op = whole and whole["fresh"][name]
        rows.append([name, *([f"{op['median_ms']:.0f}", f"{op['worst_ms']:.0f}", f"{op['tobytes_median_ms']:.0f}",
                              f"{op['tobytes_worst_ms']:.0f}", f"{op['worst_ratio']:.2f}"] if op else ["-"] * 5),
                     *peak(name)])
    table(f"The 1 GiB filter (2^{WHOLE_LOG2} bits) stored and loaded: each call timed once in each of {processes} "
          "fresh processes, and ndarray.tobytes() of 1 GiB\n(a copy into new plain pages) timed after it in the same "
          "process. worst÷: the worst call against the worst tobytes of the same\nprocesses. tools.load reads a file "
          "in the page cache. Extra peak: the resident high-water mark above the baseline, in a fresh process\nper "
          "operation, the result held.",
          ["operation", "median ms", "worst ms", "tobytes median", "tobytes worst", "worst÷", "extra peak",
           "÷filter"], rows)
    rows = []
    for name in [*SET_OPS, "np.copyto"]:
        op = whole and (whole["copyto"] if name == "np.copyto" else whole["operations"][name])
        rows.append([name, *([f"{op['ms']:.0f}", f"{op['ms'] / whole['copyto']['ms']:.2f}", noise(op["runs"])] if op
                             else ["-"] * 3), *peak(name)])
    table("Set operations on 1 GiB filters in place against np.copyto of 1 GiB into memory fresh from np.empty, both "
          "timed after an untimed run.",
          ["operation", "ms", "÷copyto", "±, kept", "extra peak", "÷filter"], rows)


# --- the whole job of a loaded filter ----------------------------------------

def bench_loaded(processes):
    """The 1 GiB filter loaded by from_bytes and then tested, and the same tests
    into a configured filter, in turns, each in `processes` fresh processes;
    bulk.py's summaries by operation and figure, and the two ratios that
    targets judge."""
    with tempfile.TemporaryDirectory(prefix="wox-bench-") as folder:
        bulk.prepare_files(folder, WHOLE_LOG2, WHOLE_ROWS)
        runs = {op: [] for op in bulk.WHOLE_JOB}
        for _ in range(processes):
            for op in bulk.WHOLE_JOB:
                runs[op].append(bulk.run_child(op, WHOLE_LOG2, folder, WHOLE_ROWS, 1 << (WHOLE_LOG2 - 3)))
    whole = {op: {"built": {name: bulk.summary(op_runs, name) for name in op_runs[0]["seconds"]}}
             for op, op_runs in runs.items()}
    ratios = bulk.job_ratios(whole, bulk.JOB_ROWS)["built"]
    return {"processes": processes, "job_rows": bulk.JOB_ROWS, "whole": whole, "tests_ratio": ratios["tests"],
            "worst_ratio": ratios["worst"], "runs": runs}


def print_loaded(loaded):
    bulk.print_whole_job(f"The whole job of the 1 GiB filter (2^{WHOLE_LOG2} bits): from_bytes, then tests of rows half "
                         f"absent, in each of {loaded['processes']} fresh processes,\nagainst the same tests into a "
                         "configured filter and, in place of the load, a plain copy of the same bytes made where the load "
                         "would be; ms, median / worst.", loaded["whole"], loaded["job_rows"],
                         names={"built": "from_bytes, as built"})


# --- peers -------------------------------------------------------------------

def bench_peers(log2_bits, n_rows, repeats, rng):
    m, label = 1 << log2_bits, f"2^{log2_bits} bits"
    capacity = int(m * math.log(2) ** 2 / -math.log(FP_RATE))
    inserted, rows, is_unseen = make_data(n_rows, rng)
    key_runs, keys = {}, {}
    key_runs["insert"], _, keys["insert"] = timed(lambda _: row_keys(inserted), repeats=repeats)
    key_runs["test"], _, keys["test"] = timed(lambda _: row_keys(rows), repeats=repeats)
    assert {len(key) for key in keys["insert"] + keys["test"]} == {inserted.shape[1] * inserted.itemsize}
    assert keys["insert"][0] == inserted[0].tobytes() and keys["test"][-1] == rows[-1].tobytes()
    key_seconds = {op: median(runs) for op, runs in key_runs.items()}
    out = {"bits": m, "capacity_asked": capacity, "rows_inserted": n_rows, "rows_tested": len(rows),
           "key_building": {f"{op}_rows_per_s": n_rows / s for op, s in key_seconds.items()}, "libraries": {}}
    for name, (module, route, make, insert, test, shape) in LIBRARIES.items():
        mod, ours = importlib.import_module(module), name == "woxbloomfilter"
        fed = {"insert": inserted, "test": rows} if ours else keys
        ins_runs, f, _ = timed(lambda f: insert(f, fed["insert"]), lambda: make(mod, m, capacity), repeats)
        test_runs, _, found = timed(lambda _: test(f, fed["test"]), repeats=repeats)
        bits, k = map(int, shape(mod, f, capacity))
        found = np.asarray(found, dtype=bool)
        e = out["libraries"][name] = {
            "route": route, "bits": bits, "k": k, "insert": ins_runs, "test": test_runs,
            "false_positive_rate": float(found[is_unseen].mean()), "false_negatives": int((~found[~is_unseen]).sum()),
            "false_positive_rate_expected": (1 - math.exp(-k * n_rows / bits)) ** k}
        for op, runs in (("insert", ins_runs), ("test", test_runs)):
            seconds = median(runs, f"{label} {op} {name}")
            e[f"{op}_rows_per_s"] = n_rows / seconds
            e[f"{op}_with_keys_rows_per_s"] = n_rows / (seconds + (0 if ours else key_seconds[op]))
        del f, found
        gc.collect()
    ours_e = out["libraries"]["woxbloomfilter"]
    for e in out["libraries"].values():  # above 1, ours is that many times faster
        for op in ("insert", "test"):
            e[f"ratio_{op}"] = ours_e[f"{op}_rows_per_s"] / e[f"{op}_rows_per_s"]
            e[f"ratio_{op}_with_keys"] = ours_e[f"{op}_rows_per_s"] / e[f"{op}_with_keys_rows_per_s"]
    return out


def print_peers(label, res):
    rows = [[name, f"{e['bits']:,}" + (" " if e["bits"] == res["bits"] else "*"), str(e["k"]),
             f"{e['insert_rows_per_s'] / 1e6:.2f}M", f"{e['ratio_insert']:.2f}", f"{e['test_rows_per_s'] / 1e6:.2f}M",
             f"{e['ratio_test']:.2f}", f"{e['ratio_insert_with_keys']:.2f} / {e['ratio_test_with_keys']:.2f}",
             f"{e['false_positive_rate']:.3%}", f"{e['false_positive_rate_expected']:.3%}",
             str(e["false_negatives"])] for name, e in res["libraries"].items()]
    kb = res["key_building"]
    table(f"{label} ({res['bits'] / 2**23:g} MiB): insert {res['rows_inserted']:,} rows, test "
          f"{res['rows_tested']:,}; rows/s, medians; ours÷ = our rows/s ÷ theirs; * a bit array of another size.\n"
          f"row_keys(a) makes {kb['insert_rows_per_s'] / 1e6:.1f}M keys/s of the inserted rows, "
          f"{kb['test_rows_per_s'] / 1e6:.1f}M of the tested. Routes, insert / test:"
          + "".join(f"\n  {name:<20}{e['route']}" for name, e in res["libraries"].items()),
          ["library", "bits", "k", "insert", "ours÷", "test", "ours÷", "ours÷ with keys", "FP rate", "expected", "FN"],
          rows)


# --- targets -----------------------------------------------------------------

# Every target: (label, the figure's place in the report, "<=" or ">=", limit).
# Floor ratios are ours ÷ the floor's fastest variant, our test on rows half
# absent; whole ratios: the byte form's worst ÷ the worst ndarray.tobytes() of
# the same fresh processes, set operations ÷ np.copyto; memory is the extra
# peak ÷ the filter's bytes; peers are ours ÷ theirs, their time counting the
# building of keys.
TARGETS = [
    ("2^20 bits insert ÷ floor", ("floor", "2^20 bits", "insert_ratio"), "<=", 1.4),
    ("2^20 bits test ÷ floor", ("floor", "2^20 bits", "test_ratio"), "<=", 1.7),
    ("2^27 bits insert ÷ floor", ("floor", "2^27 bits", "insert_ratio"), "<=", 1.2),
    ("2^27 bits test, half absent, ÷ floor", ("floor", "2^27 bits", "test_ratio"), "<=", 0.9),
    ("2^33 bits insert ÷ floor", ("floor", "2^33 bits", "insert_ratio"), "<=", 1.15),
    ("2^33 bits test, half absent, ÷ floor", ("floor", "2^33 bits", "test_ratio"), "<=", 0.9),
    *((f"1 GiB {op}, worst ÷ worst ndarray.tobytes", ("whole", "fresh", op, "worst_ratio"), "<=", 1.5)
      for op in ("to_bytes", "from_bytes", "tools.load")),
    *((f"1 GiB {op} ÷ np.copyto", ("whole", "operations", op, "ratio"), "<=", 1.0) for op in SET_OPS),
    ("1 GiB tests just after from_bytes ÷ into a configured filter", ("loaded", "tests_ratio"), "<=", 1.2),
    ("1 GiB worst from_bytes + 10 M tests ÷ configured's + a copy", ("loaded", "worst_ratio"), "<=", 1.3),
    *((f"1 GiB {op} extra peak ÷ filter", ("memory", "operations", op, "ratio"), "<=", limit)
      for op, limit in {"to_bytes": 1.1, "from_bytes": 2.1, "pickle.dumps": 2.1, "pickle.loads": 2.1}.items()),
    *((f"2^{b} bits {op} ours ÷ {peer}, with keys",
       ("peers", f"2^{b} bits", "libraries", peer, f"ratio_{op}_with_keys"), ">=", 5.0)
      for b in PEER_SIZES for peer in LIBRARIES if peer != "woxbloomfilter" for op in ("insert", "test")),
]


def evaluate_targets(report):
    out = []
    for label, path, op, limit in TARGETS:
        value = report
        for key in path:
            value = value.get(key) if isinstance(value, dict) else None
        if value is None:
            continue  # its group did not run
        met = value <= limit if op == "<=" else value >= limit
        out.append({"target": label, "value": value, "op": op, "limit": limit, "met": met,
                    # by how much it is over a "<=" limit, or short of a ">=" one
                    "verdict": "met" if met else f"MISSED by {abs(value / limit - 1):.0%}"})
    return out


def print_targets(targets):
    table("Targets", ["target", "ratio", "limit", "verdict"],
          [[t["target"], f"{t['value']:.2f}", f"{'≤' if t['op'] == '<=' else '≥'} {t['limit']:g}", t["verdict"]]
           for t in targets])
    print(f"{sum(t['met'] for t in targets)} of {len(targets)} met")


# --- main --------------------------------------------------------------------

def machine():
    """pyperf's metadata of the machine and Python, and what it leaves out."""
    meta = pyperf.Run([1.0], metadata={"name": "machine"}).get_metadata()
    first_cpu = Path("/proc/cpuinfo").read_text().split("\n\n")[0].splitlines()
    cpuinfo = {key.strip(): value.strip() for key, _, value in (line.partition(":") for line in first_cpu)}
    caches = sorted(Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"))
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text()
    return {**meta, "cpu_family_model_stepping": [cpuinfo.get(k) for k in ("cpu family", "model", "stepping")],
            "caches": [" ".join((i / n).read_text().strip() for n in ("level", "type", "size")) for i in caches],
            "transparent_hugepage": thp[thp.index("[") + 1:thp.index("]")],
            "packages": {d: importlib.metadata.version(d) for d in ["numpy", "pyperf", *LIBRARIES]}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", help="the floor program (make bench builds it as build/floor)")
    parser.add_argument("--groups", nargs="+", choices=GROUPS, default=GROUPS, help="measure only these groups")
    parser.add_argument("--sizes", nargs="+", type=int, choices=list(FLOOR_SIZES), default=list(FLOOR_SIZES),
                        help="log2 of the bits of the floor group's filters")
    parser.add_argument("--rounds", type=int, default=7, help="rounds of the floor and ours, alternating")
    parser.add_argument("--repeats", type=int, default=5, help="runs to keep for a figure of the other groups")
    parser.add_argument("--processes", type=int, default=9,
                        help="fresh processes that time each operation on the whole filter's byte form, and the "
                             "whole job of a loaded filter")
    args = parser.parse_args()
    if "floor" in args.groups and not args.floor:
        parser.error("the floor group needs --floor (make bench passes build/floor)")
    if min(args.rounds, args.repeats, args.processes) < 1:
        parser.error("--rounds, --repeats and --processes take 1 or more")

    import woxbloomfilter as ours

    started, info = time.perf_counter(), machine()
    report = {"k": K, "machine": info}
    print(f"{info['cpu_model_name']} (family/model/stepping {'/'.join(map(str, info['cpu_family_model_stepping']))}),"
          f" {info['cpu_count']} CPUs, transparent huge pages {info['transparent_hugepage']}; "
          f"Python {info['python_version']}, NumPy {np.__version__}; load average {info['load_avg_1min']}")
    rng = np.random.default_rng(SEED)
    if "floor" in args.groups:
        report["floor"] = {}
        cpus = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(cpus)})  # one CPU for both: a shared machine's run at speeds of their own
        for log2_bits in args.sizes:
            report["floor"][f"2^{log2_bits} bits"], report["hash_path"] = bench_floor(
                ours, args.floor, log2_bits, FLOOR_SIZES[log2_bits], args.rounds, rng)
        os.sched_setaffinity(0, cpus)
        print(f"the batched hash ran its {report['hash_path']} path")
        print_floor(report["floor"])
    if "whole" in args.groups:
        report["whole"] = bench_whole(ours, args.repeats, args.processes, rng)
    if "memory" in args.groups:
        report["memory"] = bench_memory()
    if {"whole", "memory"} & set(args.groups):
        print_whole(report.get("whole"), report.get("memory"), args.processes)
    if "loaded" in args.groups:
        report["loaded"] = bench_loaded(args.processes)
        print_loaded(report["loaded"])
    for log2_bits, n_rows in PEER_SIZES.items() if "peers" in args.groups else ():
        label = f"2^{log2_bits} bits"
        report.setdefault("peers", {})[label] = bench_peers(log2_bits, n_rows, args.repeats, rng)
        print_peers(label, report["peers"][label])
    report["targets"] = evaluate_targets(report)
    print_targets(report["targets"])
    report["total_seconds"] = time.perf_counter() - started
    print(f"\nload average {os.getloadavg()[0]:.2f} at the end; {report['total_seconds']:.0f} s in all")
    if set(args.groups) != set(GROUPS) or set(args.sizes) != set(FLOOR_SIZES):
        print("not every group and size ran: the results and the chart are left as they were")
        return
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "results.json").write_text(json.dumps(report, indent=1) + "\n")
    pyperf.BenchmarkSuite(list(BENCHMARKS.values())).dump(str(RESULTS / "pyperf.json"), replace=True)
    subprocess.run([sys.executable, HERE / "plot.py"], check=True)


if __name__ == "__main__":
    main()
