"""Insert and test throughput of woxbloomfilter against the Bloom filters a
user would otherwise pick, on the rows of a random (N, 4) int32 array.

`make bench` sets up benchmarks/.venv and runs this. It prints a table and
writes results/results.json and results/throughput.png beside this file.

Every filter gets a bit array of the size ours has, so the comparison is of
the same memory traffic: the peers size themselves from a capacity and a
false-positive rate, and capacity m / 9.585 at 1 % asks them for m bits. What
each one really allocates (bits and k) is read back and reported.

The peers take keys, not arrays: each row becomes a 16-byte `bytes` built
once per array, timed on its own and reported, since a user has to pay it.
Each peer is then fed through its fastest bulk route. The test set is half
inserted rows and half unseen rows, shuffled, so the hit and the early-exit
miss paths both count; the unseen half gives the false-positive rate.
"""
import argparse
import gc
import importlib
import importlib.metadata
import json
import math
import os
import platform
import statistics
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

K = 7
FP_RATE = 0.01
BITS_PER_ROW = -math.log(FP_RATE) / math.log(2) ** 2  # 9.585 bits per row at 1 %
# (log2 of the bits, rows inserted): the first fits in L2, the second is far
# beyond the last-level cache, so every position is a cache miss.
SIZES = [(20, 100_000), (30, 1_000_000)]
SEED = 20240601

# A peer in pure Python takes tens of seconds a run at the large size; past
# this much time a median of three is enough.
MIN_REPEATS = 3
SLOW_SECONDS = 30.0

# pybloomfiltermmap3 picks k = 6 for 1 %; seven seeds make it do the same
# work as the others. Fixed so that runs are comparable.
PYBLOOM_SEEDS = [int(s) for s in np.random.default_rng(SEED).integers(1, 2**32, size=K)]


def row_keys(a):
    """One 16-byte `bytes` per row. Slicing one bytes object keeps every key
    exactly the row's bytes; `a.view('S16').tolist()` is faster but drops
    trailing NUL bytes, so keys would differ in length from row to row."""
    b = np.ascontiguousarray(a).tobytes()
    width = a.shape[1] * a.itemsize
    return [b[i : i + width] for i in range(0, len(b), width)]


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


def timed(run, prepare, repeats):
    """Seconds of each run(prepare()), with prepare untimed; returns them and
    the last prepared value and result."""
    seconds = []
    for _ in range(repeats):
        arg = prepare()
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            result = run(arg)
            seconds.append(time.perf_counter() - start)
        finally:
            gc.enable()
        if len(seconds) >= MIN_REPEATS and sum(seconds) > SLOW_SECONDS:
            break
    return seconds, arg, result


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


def bench_size(log2_bits, n_rows, libs, repeats, rng):
    m = 1 << log2_bits
    capacity = int(m / BITS_PER_ROW)
    inserted, rows, is_unseen = make_data(n_rows, rng)

    key_s, _, insert_keys = timed(lambda _: row_keys(inserted), lambda: None, repeats)
    test_key_s, _, test_keys = timed(lambda _: row_keys(rows), lambda: None, repeats)
    out = {
        "bits": m,
        "capacity_asked": capacity,
        "rows_inserted": n_rows,
        "rows_tested": len(rows),
        "unseen_tested": int(is_unseen.sum()),
        "key_building": {
            "how": "np.ascontiguousarray(a).tobytes() sliced into 16-byte keys",
            "insert_rows_per_s": n_rows / statistics.median(key_s),
            "test_rows_per_s": len(rows) / statistics.median(test_key_s),
            "insert_seconds": key_s,
            "test_seconds": test_key_s,
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
            ins_s, f, _ = timed(lambda f: lib.insert(f, insert_data), lambda: lib.make(mod, m, capacity), repeats)
            test_s, _, found = timed(lambda _: lib.test(f, test_data), lambda: None, repeats)
            bits, k = lib.shape(mod, f, capacity)
        except Exception as e:
            entry["error"] = f"failed: {type(e).__name__}: {e}"
            continue
        found = np.asarray(found, dtype=bool)
        entry.update(
            bits=int(bits),
            k=int(k),
            insert_rows_per_s=n_rows / statistics.median(ins_s),
            test_rows_per_s=len(rows) / statistics.median(test_s),
            false_positive_rate=float(found[is_unseen].mean()),
            # The textbook rate for this k, m and load, to judge the measured one.
            false_positive_rate_expected=(1 - math.exp(-k * n_rows / bits)) ** k,
            false_negatives=int((~found[~is_unseen]).sum()),
            insert_seconds=ins_s,
            test_seconds=test_s,
        )
        if lib.keys:
            # What a user holding the array pays: key building plus the call.
            entry["insert_with_keys_rows_per_s"] = n_rows / (statistics.median(ins_s) + statistics.median(key_s))
            entry["test_with_keys_rows_per_s"] = len(rows) / (statistics.median(test_s) + statistics.median(test_key_s))
        del f, found
        gc.collect()

    # Ratios are ours / peer: above 1 woxbloomfilter is that many times faster.
    ours = out["libraries"]["woxbloomfilter"]
    for entry in out["libraries"].values():
        if "error" in entry or "error" in ours:
            continue
        entry["ratio_insert"] = ours["insert_rows_per_s"] / entry["insert_rows_per_s"]
        entry["ratio_test"] = ours["test_rows_per_s"] / entry["test_rows_per_s"]
        entry["ratio_insert_with_keys"] = ours["insert_rows_per_s"] / entry.get(
            "insert_with_keys_rows_per_s", entry["insert_rows_per_s"])
        entry["ratio_test_with_keys"] = ours["test_rows_per_s"] / entry.get(
            "test_with_keys_rows_per_s", entry["test_rows_per_s"])
    return out


def share(x):
    # The large filter is lightly loaded: its expected rate is far below 0.001 %.
    return f"{x:.3%}" if x == 0 or x >= 1e-5 else f"{x:.1e}"


def rate(x):
    return f"{x / 1e6:.2f}M" if x >= 1e6 else f"{x / 1e3:.0f}k"


def print_table(log2_bits, res):
    m = res["bits"]
    print(f"\n2^{log2_bits} bits ({m // 8 // 1024:,} KiB): insert {res['rows_inserted']:,} rows, "
          f"test {res['rows_tested']:,} (half inserted, half unseen)")
    head = (f"{'library':<19}{'bits':>14} {'k':>2}  {'insert/s':>9} {'ours÷':>7}  {'test/s':>9} {'ours÷':>7}"
            f"  {'ours÷ with keys':>16}  {'FP rate':>7} {'(expected)':>10} {'FN':>3}")
    print(head)
    print("-" * len(head))
    for name, e in res["libraries"].items():
        if "error" in e:
            print(f"{name:<19}{e['error']}")
            continue
        mark = " " if e["bits"] == m else "*"
        with_keys = f"{e['ratio_insert_with_keys']:.2f} / {e['ratio_test_with_keys']:.2f}"
        print(f"{name:<19}{e['bits']:>13,}{mark} {e['k']:>2}  {rate(e['insert_rows_per_s']):>9} "
              f"{e['ratio_insert']:>7.2f}  {rate(e['test_rows_per_s']):>9} {e['ratio_test']:>7.2f}"
              f"  {with_keys:>16}  {share(e['false_positive_rate']):>7} {share(e['false_positive_rate_expected']):>10}"
              f" {e['false_negatives']:>3}")
    kb = res["key_building"]
    print(f"key building (array -> 16-byte bytes keys, paid by every peer): "
          f"{rate(kb['insert_rows_per_s'])} rows/s on the inserted rows, {rate(kb['test_rows_per_s'])} on the tested")


def machine_info(libs):
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
    cpu = cpuinfo.get("model name", platform.processor() or "unknown")
    caches = {}
    for index in sorted(Path("/sys/devices/system/cpu/cpu0/cache").glob("index*")):
        try:
            level = (index / "level").read_text().strip()
            kind = (index / "type").read_text().strip()
            caches[f"L{level} {kind}"] = (index / "size").read_text().strip()
        except OSError:
            pass
    memory = None
    try:
        memory = next(l.split(":")[1].strip() for l in Path("/proc/meminfo").read_text().splitlines()
                      if l.startswith("MemTotal"))
    except (OSError, StopIteration):
        pass
    versions = {}
    for dist in ["numpy", "matplotlib"] + [lib.dist for lib, _, _ in libs]:
        try:
            versions[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            versions[dist] = None
    return {
        "cpu": cpu,
        "cpu_family_model_stepping": [cpuinfo.get(k) for k in ("cpu family", "model", "stepping")],
        "cpu_flags_of_note": [f for f in ("avx2", "avx512f", "bmi2") if f in cpuinfo.get("flags", "").split()],
        "cpus": os.cpu_count(),
        "caches_per_core_or_shared": caches,
        "memory": memory,
        "platform": platform.platform(),
        "python": sys.version,
        "packages": versions,
    }


def plot(results, machine, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(results), figsize=(6.5 * len(results), 5.2), sharey=True)
    for ax, (label, res) in zip(np.atleast_1d(axes), results.items()):
        names = list(res["libraries"])
        x = np.arange(len(names))
        ins = [res["libraries"][n].get("insert_rows_per_s", np.nan) for n in names]
        tst = [res["libraries"][n].get("test_rows_per_s", np.nan) for n in names]
        ax.bar(x - 0.2, ins, 0.4, label="insert", color="#3a6ea5")
        ax.bar(x + 0.2, tst, 0.4, label="test", color="#e08a2c")
        for i, n in enumerate(names):
            if "error" in res["libraries"][n]:
                # x in data, y in axes units: visible whatever the log scale's range.
                ax.text(i, 0.04, "not run: " + res["libraries"][n]["error"][:55], ha="center", va="bottom",
                        fontsize=7, rotation=90, transform=ax.get_xaxis_transform())
        ax.axhline(res["key_building"]["insert_rows_per_s"], color="gray", ls="--", lw=1,
                   label="building bytes keys (peers pay it too)")
        ax.set_yscale("log")
        ax.set_xlim(-0.6, len(names) - 0.4)
        ax.set_xticks(x, names, rotation=20, ha="right")
        ax.set_title(f"{label}: {res['rows_inserted']:,} rows inserted, {res['rows_tested']:,} tested", fontsize=10)
        ax.grid(axis="y", which="both", alpha=0.3)
    axes = np.atleast_1d(axes)
    axes[0].set_ylabel("rows per second (median, log scale)")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=3, fontsize=9, frameon=False)
    fig.suptitle(f"Bloom filters on the rows of an (N, 4) int32 array: same bit-array size, "
                 f"k = {K} where the library lets us set it\n"
                 f"{machine['cpu']} ({machine['cpus']} CPUs), Python {platform.python_version()}", fontsize=11)
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(path, dpi=120)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5, help="runs per measurement; the median is kept")
    args = parser.parse_args()

    started = time.perf_counter()
    errors = install_errors()
    libs = [(lib, *load(lib, errors)) for lib in LIBRARIES]
    if libs[0][1] is None:
        sys.exit(f"woxbloomfilter itself is missing: {libs[0][2]}")
    machine = machine_info(libs)
    print(f"{machine['cpu']}, {machine['cpus']} CPUs; Python {platform.python_version()}")
    print(f"ratios are ours / peer (rows/s of woxbloomfilter divided by the peer's): above 1 we are faster. "
          f"Median of {args.repeats} runs.")

    rng = np.random.default_rng(SEED)
    results = {}
    for log2_bits, n_rows in SIZES:
        label = f"2^{log2_bits} bits"
        results[label] = bench_size(log2_bits, n_rows, libs, args.repeats, rng)
        print_table(log2_bits, results[label])

    print("\n* bit array differs from the size asked for.  FN: false negatives among inserted rows (must be 0).")
    print("'with keys' adds the key building to each peer's time.  Routes:")
    for lib, _, _ in libs:
        print(f"  {lib.name:<19}{lib.route}")

    total = time.perf_counter() - started
    RESULTS.mkdir(exist_ok=True)
    report = {
        "what": "rows per second, median of the runs listed; ratio_* = woxbloomfilter rows/s / peer rows/s",
        "k": K,
        "false_positive_rate_asked": FP_RATE,
        "repeats": args.repeats,
        "test_set": "half inserted rows, half unseen rows, shuffled; false_positive_rate is over the unseen half",
        "machine": machine,
        "results": results,
        "total_seconds": total,
    }
    (RESULTS / "results.json").write_text(json.dumps(report, indent=2) + "\n")
    plot(results, machine, RESULTS / "throughput.png")
    print(f"\nwrote {RESULTS / 'results.json'} and {RESULTS / 'throughput.png'}; total {total:.0f} s")


if __name__ == "__main__":
    main()
