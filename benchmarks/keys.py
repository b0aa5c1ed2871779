"""Speed and memory of key rows of tables: woxbloomfilter_tools against the
routes a user has without it, on a table of a string column and an int64
column, each figure with its ratio, target and verdict.

The data: --rows rows of a string column ("text": random printable ASCII of
10 to 70 bytes, 1 % nulls) and an int64 column ("number", every value
distinct), inserted; then as many rows tested, half of them rows of the
table and half absent. The absent rows are made to catch a route that loses
part of the key: fresh text with a number the table has, text the table has
with a fresh number, and "" with the number of a row whose text is null.

text column: key_rows against to_pylist() of the same column.
whole path: key rows, insert, test and the answers as a bool array, for a
filter sized for the rows at 1 %: ours (KeyedFilter, and key_rows with the
plain bloomfilter), rbloom and fastbloom-rs fed Python keys by each of the
ROUTES (their time counts making the keys; a peer not installed is left
out), and NumPy conversions of the table into fixed-width rows fed to the
plain bloomfilter. Each route's answers are checked: every row of the table
tests present, and absent rows test present at about 1 %, in each kind of
absent row.
mask: woxbloomfilter_tools.mask against np.asarray and np.fromiter, on the
list that test returns.
memory: the extra peak of key_rows and of the whole path, each in a fresh
process, against what they must hold: the key rows, the answers, the filter.

The cores may be shared, so the routes take turns, one run each a round,
and a figure is the median of the runs whose process had a core for 90 % of
their time (of all its runs when fewer than three were kept). The cyclic
garbage collector is off during a run, as in run.py, which spares the peers'
lists of tuples its passes; one rbloom route runs with it on to show what
that costs them. A run at the default size writes results/keys.json.
"""
import argparse
import ctypes
import gc
import importlib
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import woxbloomfilter_tools as tools

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
DEFAULT_ROWS = 10_000_000
SEED = 20240602
FP_RATE = 0.01
NULL_SHARE = 0.01
SHORTEST, LONGEST = 10, 70
STEADY_SHARE = 0.9  # CPU time over wall-clock time of a run that had a core
MIN_RUNS = 3
# Odd, so that multiplying by it modulo 2^64 maps distinct indices to distinct numbers.
SCRAMBLE = np.uint64(0x9E3779B97F4A7C15)
KIND_NAMES = ["rows of the table", "fresh text, a number of the table", "text of the table, a fresh number",
              '"" with the number of a null text']


# --- data --------------------------------------------------------------------

def numbers(first, count):
    """count distinct int64 that look random: indices first.. scrambled."""
    return (np.arange(first, first + count, dtype=np.uint64) * SCRAMBLE).view(np.int64)


def random_text(rng, n, null_share):
    """A string array of printable ASCII, SHORTEST to LONGEST bytes a value,
    built from NumPy buffers; nulls hold no bytes."""
    lengths = rng.integers(SHORTEST, LONGEST + 1, n)
    valid = rng.random(n) >= null_share
    lengths[~valid] = 0
    offsets = np.zeros(n + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    data = np.frombuffer(rng.bytes(int(offsets[-1])), np.uint8) % 95 + 32
    type_ = pa.string() if offsets[-1] < 2**31 else pa.large_string()
    offsets = offsets.astype(np.int32) if type_ == pa.string() else offsets
    validity = pa.py_buffer(np.packbits(valid, bitorder="little"))
    return pa.Array.from_buffers(type_, n, [validity, pa.py_buffer(offsets), pa.py_buffer(data)],
                                 null_count=int(n - valid.sum()))


def make_data(n, seed=SEED):
    """The table, the probe, and for each probe row its kind (an index of
    KIND_NAMES) and the table row its text comes from (-1 for none)."""
    rng = np.random.default_rng(seed)
    text = random_text(rng, n, NULL_SHARE)
    number = numbers(0, n)
    table = pa.table({"text": text, "number": number})
    seen = rng.choice(n, n // 2, replace=False)
    absent = n - len(seen)
    nulls = np.flatnonzero(~text.is_valid().to_numpy(zero_copy_only=False))
    empty = rng.choice(nulls, min(len(nulls), absent // 50), replace=False)
    fresh_text = (absent - len(empty)) // 2
    fresh_number = absent - len(empty) - fresh_text
    number_of = rng.integers(0, n, fresh_text)  # fresh text gets a number of the table
    text_of = rng.integers(0, n, fresh_number)  # a fresh number gets a text of the table
    probe_text = pa.concat_arrays([text.take(seen), random_text(rng, fresh_text, 0.0), text.take(text_of),
                                   pa.array([""] * len(empty), pa.string())])
    probe_number = np.concatenate([number[seen], number[number_of], numbers(n, fresh_number), number[empty]])
    kind = np.repeat(np.arange(4, dtype=np.int8), [len(seen), fresh_text, fresh_number, len(empty)])
    source = np.concatenate([seen, np.full(fresh_text, -1), text_of, np.full(len(empty), -1)])
    order = rng.permutation(n)
    probe = pa.table({"text": probe_text.take(order), "number": probe_number[order]})
    return table, probe, kind[order], source[order]


# --- timing ------------------------------------------------------------------

class Phases:
    """Seconds spent in each named phase of a run, as marked."""

    def __init__(self):
        self.seconds = {}
        self.last = time.perf_counter()

    def mark(self, name):
        now = time.perf_counter()
        self.seconds[name] = self.seconds.get(name, 0.0) + now - self.last
        self.last = now


def run_once(call, collector=False):
    """call(phases) once: (result, wall, cpu, phase seconds)."""
    gc.collect()
    if not collector:
        gc.disable()
    try:
        phases = Phases()
        start, start_cpu = time.perf_counter(), time.process_time()
        phases.last = start
        result = call(phases)
        wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    finally:
        gc.enable()
    return result, wall, cpu, phases.seconds


def summary(runs):
    """Median and best seconds of runs [[wall, cpu, phases], ...], the kept
    runs' count, and each phase's median."""
    kept = [run for run in runs if run[1] >= STEADY_SHARE * run[0]]
    used = kept if len(kept) >= min(MIN_RUNS, len(runs)) else runs
    return {"median": float(np.median([run[0] for run in used])), "best": min(run[0] for run in runs),
            "kept": len(kept), "runs": len(runs),
            "phases": {name: float(np.median([run[2].get(name, 0.0) for run in used])) for name in used[0][2]}}


def interleaved(calls, repeat, check):
    """Runs each of calls {name: (call, collector)} repeat times, in turns,
    and checks the first result of each with check(name, result)."""
    runs = {name: [] for name in calls}
    for round_ in range(repeat):
        for name, (call, collector) in calls.items():
            result, wall, cpu, phases = run_once(call, collector)
            if round_ == 0:
                check(name, result)
            runs[name].append([wall, cpu, phases])
            del result
    return {name: summary(r) for name, r in runs.items()}


# --- checks ------------------------------------------------------------------

class WrongAnswer(AssertionError):
    pass


def check_answers(route, found, kind):
    """Every row of the table present; each kind of absent row present at
    about the filter's rate, which a route that loses a part of the key (a
    column, nulls as "") would far exceed. Returns the rate over all absent rows."""
    found = np.asarray(found)
    if found.dtype != np.bool_ or found.shape != kind.shape:
        raise WrongAnswer(f"{route}: answers of dtype {found.dtype} and shape {found.shape}, not {kind.shape} bools")
    missed = int((~found[kind == 0]).sum())
    if missed:
        raise WrongAnswer(f"{route}: {missed:,} rows of the table test absent")
    for k in (1, 2, 3):
        count, present = int((kind == k).sum()), int(found[kind == k].sum())
        # 5 % of the rows, with room for chance when they are few
        if present > 0.05 * count + 10:
            raise WrongAnswer(f"{route}: {present:,} of {count:,} absent rows ({KIND_NAMES[k]}) test present")
    absent = kind != 0
    rate = float(found[absent].mean())
    if absent.sum() >= 10_000 and not FP_RATE / 2 <= rate <= 2 * FP_RATE:
        raise WrongAnswer(f"{route}: absent rows test present at {rate:.3%}, far from the {FP_RATE:.0%} asked")
    return rate


# --- routes: (table, probe, phases) -> bool array, True where a probe row tests present

def ours_keyed(table, probe, phases):
    f = tools.KeyedFilter.sized(table.num_rows, FP_RATE)
    f.insert(table)
    phases.mark("insert")
    found = f.test(probe)
    phases.mark("test")
    return found


def plain_filter(table, probe, phases, rows_of):
    """The plain bloomfilter fed rows_of(table), then testing rows_of(probe),
    rows_of(probe, state) where the first call returns (rows, state)."""
    f = tools.sized(table.num_rows, FP_RATE)
    rows, state = rows_of(table)
    phases.mark("keys")
    f.insert(rows)
    phases.mark("insert")
    rows = None
    rows, _ = rows_of(probe, state)
    phases.mark("keys")
    answers = f.test(rows)
    phases.mark("test")
    found = tools.mask(answers)
    phases.mark("answers")
    return found


def ours_plain(table, probe, phases):
    return plain_filter(table, probe, phases, lambda t, state=None: (tools.key_rows(t), None))


# NumPy: the table as fixed-width rows for the plain bloomfilter. Nulls keep
# a byte of their own, apart from "" and 0. Every text is padded to the
# longest of the inserted table, which the probe's must not exceed.

def text_width(column, length=pc.binary_length):
    return int(pc.max(length(column)).as_py() or 0)


def numpy_padded(table, width=None):
    """Arrow pads every text with NULs to one width (ascii_rpad counts
    bytes), so that its data buffer is the text part of the rows; beside it
    the validity, the length (so that trailing NULs count) and the number.
    Loses nothing, and makes no Python object."""
    text = table.column("text").combine_chunks()
    n = len(text)
    filled = text.fill_null("")
    lengths = pc.binary_length(filled).to_numpy()
    width = int(lengths.max(initial=0)) if width is None else width
    if lengths.max(initial=0) > width:
        raise ValueError("a text is longer than the width of the inserted rows")
    rows = np.empty((n, 13 + width), np.uint8)
    rows[:, 0] = text.is_valid().to_numpy(zero_copy_only=False)
    rows[:, 1:5] = lengths.astype("<u4").view(np.uint8).reshape(n, 4)
    rows[:, 5:13] = table.column("number").to_numpy().view(np.uint8).reshape(n, 8)
    if width:
        padded = pc.ascii_rpad(filled, width, padding="\0")
        offsets = np.dtype(np.int64 if padded.type == pa.large_string() else np.int32)
        first = int(np.frombuffer(padded.buffers()[1], offsets, 1, padded.offset * offsets.itemsize)[0])
        rows[:, 13:] = np.frombuffer(padded.buffers()[2], np.uint8, n * width, first).reshape(n, width)
    return rows, width


def numpy_astype(table, width=None, binary=False):
    """to_numpy(zero_copy_only=False), nulls as "" beside a validity field,
    then astype to a fixed width: U (4 bytes a character), or S of the bytes."""
    text = table.column("text")
    if binary:
        text = text.cast(pa.binary())
    longest = text_width(text, pc.binary_length if binary else pc.utf8_length)
    width = longest if width is None else width
    if longest > width:
        raise ValueError("a text is longer than the width of the inserted rows")
    valid = text.is_valid().to_numpy(zero_copy_only=False)
    values = text.to_numpy(zero_copy_only=False)
    values[~valid] = b"" if binary else ""
    dtype = np.dtype([("valid", "u1"), ("number", "<i8"), ("text", f"{'S' if binary else 'U'}{max(width, 1)}")])
    rows = np.empty(len(values), dtype)
    rows["valid"] = valid
    rows["number"] = table.column("number").to_numpy()
    rows["text"] = values
    return rows.view(np.uint8).reshape(len(rows), dtype.itemsize), width


def numpy_route(convert):
    """convert(table, width=None) -> (rows, width): the probe's texts are
    padded to the width of the inserted table's."""
    return lambda table, probe, phases: plain_filter(table, probe, phases, convert)


# Peers: keys made from to_pylist() of the columns.

def tuple_keys(table):
    return list(zip(table.column("text").to_pylist(), table.column("number").to_pylist()))


def hash_keys(table):
    """hash() of each (text, number) tuple, as an int: what rbloom's tuple
    route hashes, without keeping the tuples. str hashes are salted per
    process, so a filter of these keys is good in this process only."""
    return list(map(hash, zip(table.column("text").to_pylist(), table.column("number").to_pylist())))


def arrow_bytes_keys(table):
    """One bytes a row built by Arrow's kernels: the number's 8 bytes, 1 or 0
    for a text or a null, then the text's bytes."""
    text, number = table.column("text").combine_chunks(), table.column("number").combine_chunks()
    fixed = pa.Array.from_buffers(pa.binary(8), len(number), [None, number.buffers()[1]], offset=number.offset)
    marker = pc.if_else(text.is_valid(), pa.scalar(b"\x01"), pa.scalar(b"\x00"))
    keys = pc.binary_join_element_wise(fixed.cast(pa.binary()), marker, text.cast(pa.binary()).fill_null(b""), b"")
    return keys.to_pylist()


def python_bytes_keys(table):
    """The same bytes made in Python, row by row."""
    return [number.to_bytes(8, "little", signed=True) + (b"\x00" if text is None else b"\x01" + text.encode())
            for text, number in zip(table.column("text").to_pylist(), table.column("number").to_pylist())]


def rbloom_route(make_keys):
    def route(table, probe, phases):
        import rbloom

        keys = make_keys(table)
        phases.mark("keys")
        f = rbloom.Bloom(table.num_rows, FP_RATE)
        f.update(keys)
        phases.mark("insert")
        keys = None
        keys = make_keys(probe)
        phases.mark("keys")
        found = np.fromiter(map(f.__contains__, keys), bool, count=len(keys))
        phases.mark("test")
        return found
    return route


def fastbloom_route(make_keys, kind):
    def route(table, probe, phases):
        import fastbloom_rs

        keys = make_keys(table)
        phases.mark("keys")
        f = fastbloom_rs.FilterBuilder(table.num_rows, FP_RATE).build_bloom_filter()
        getattr(f, f"add_{kind}_batch")(keys)
        phases.mark("insert")
        keys = None
        keys = make_keys(probe)
        phases.mark("keys")
        # False skips a per-key type check done in Python.
        answers = getattr(f, f"contains_{kind}_batch")(keys, False)
        phases.mark("test")
        found = np.fromiter(answers, bool, count=len(answers))
        phases.mark("answers")
        return found
    return route


# name: (group, library to import or None, route, collector on, how it is fed)
ROUTES = {
    "ours, KeyedFilter": ("ours", None, ours_keyed, False,
                          "KeyedFilter.sized(n, 0.01); insert(table); test(probe)"),
    "ours, key_rows": ("ours", None, ours_plain, False,
                       "sized(n, 0.01); insert(key_rows(table)); mask(test(key_rows(probe)))"),
    "NumPy, padded by Arrow": ("numpy", None, numpy_route(numpy_padded), False,
                               "fill_null, ascii_rpad with NULs to the longest; validity, length, number, bytes"),
    "NumPy, astype S": ("numpy", None, numpy_route(lambda t, w=None: numpy_astype(t, w, binary=True)), False,
                        "binary to_numpy, astype S<longest>, structured (drops trailing NULs: none here)"),
    "NumPy, astype U": ("numpy", None, numpy_route(numpy_astype), False,
                        "to_numpy, astype U<longest>, structured (drops trailing NULs: none here)"),
    "rbloom, tuples": ("rbloom", "rbloom", rbloom_route(tuple_keys), False,
                       "zip into (text, number) tuples; update / fromiter(map(__contains__))"),
    "rbloom, tuples, collector on": ("rbloom", "rbloom", rbloom_route(tuple_keys), True,
                                     "the same, the garbage collector on, as a user's program has it"),
    "rbloom, hashes": ("rbloom", "rbloom", rbloom_route(hash_keys), False,
                       "hash() of each tuple as an int key (in this process only)"),
    "rbloom, bytes": ("rbloom", "rbloom", rbloom_route(arrow_bytes_keys), False,
                      "bytes keys made by Arrow kernels"),
    "fastbloom-rs, hashes": ("fastbloom-rs", "fastbloom_rs", fastbloom_route(hash_keys, "int"), False,
                             "hash() of each tuple; add_int_batch / contains_int_batch (in this process only)"),
    "fastbloom-rs, bytes": ("fastbloom-rs", "fastbloom_rs", fastbloom_route(arrow_bytes_keys, "bytes"), False,
                            "bytes keys made by Arrow kernels; add_bytes_batch / contains_bytes_batch"),
    "fastbloom-rs, bytes in Python": ("fastbloom-rs", "fastbloom_rs", fastbloom_route(python_bytes_keys, "bytes"),
                                      False, "bytes keys encoded row by row in Python"),
}
OURS = "ours, KeyedFilter"


def installed(module):
    try:
        importlib.import_module(module)
        return True
    except ImportError:
        return False


# --- measurements --------------------------------------------------------------

def bench_text(table, probe, source, repeat):
    """key_rows of the text column against to_pylist() of it."""
    column = table.column("text")
    valid = column.is_valid().to_numpy(zero_copy_only=False)

    def check(name, result):
        if name == "key_rows":
            rows = result
            assert rows.shape == (len(column), 17) and rows.dtype == np.uint8, rows.shape
            assert (rows[:, 0] == valid).all() and not rows[~valid].any(), "validity bytes"
            # The same text gives the same digest in another table.
            probe_rows = tools.key_rows(probe.column("text"))
            copied = source >= 0
            assert (probe_rows[copied] == rows[source[copied]]).all(), "digests of the same text differ"
        else:
            assert len(result) == len(column) and sum(v is None for v in result) == (~valid).sum()

    return interleaved({"key_rows": (lambda _: tools.key_rows(column), False),
                        "to_pylist": (lambda _: column.to_pylist(), False)}, repeat, check)


def bench_whole(table, probe, kind, repeat, names):
    rates, keyed = {}, {}

    def check(name, found):
        rates[name] = check_answers(name, found, kind)
        if ROUTES[name][0] == "ours":  # the same rows in the same filter: the same answers
            keyed.setdefault("answers", found)
            assert np.array_equal(keyed["answers"], found), f"{name} answers otherwise than {OURS}"

    calls = {name: ((lambda route: lambda phases: route(table, probe, phases))(ROUTES[name][2]), ROUTES[name][3])
             for name in names}
    out = interleaved(calls, repeat, check)
    for name in names:
        out[name]["false_positive_rate"] = rates[name]
    return out


def bench_mask(table, probe, repeat):
    f = tools.sized(table.num_rows, FP_RATE)
    f.insert(tools.key_rows(table))
    answers = f.test(tools.key_rows(probe))
    expected = np.array(answers, dtype=bool)

    def check(name, result):
        assert result.dtype == np.bool_ and np.array_equal(result, expected), name

    n = len(answers)
    return interleaved({"mask": (lambda _: tools.mask(answers), False),
                        "np.asarray": (lambda _: np.asarray(answers), False),
                        "np.fromiter": (lambda _: np.fromiter(answers, bool, count=n), False)}, repeat, check)


def vm_hwm_kib():
    line = next(line for line in Path("/proc/self/status").read_text().splitlines() if line.startswith("VmHWM:"))
    return int(line.split()[1])


def peak(what, n):
    """In a fresh process: the rise of the resident high-water mark over the
    baseline while `what` runs, its result held, and what it must hold."""
    table, probe, _, _ = make_data(n)
    table_bytes, probe_bytes = table.nbytes, probe.nbytes
    width = tools.key_rows(table.slice(0, 1)).shape[1]
    gc.collect()
    # Memory that the allocators hold freed would take the new allocations
    # unseen, and Arrow's would be handed back to the system during the call.
    pa.default_memory_pool().release_unused()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    Path("/proc/self/clear_refs").write_text("5")  # VmHWM back to the present resident size
    baseline = vm_hwm_kib()
    if what == "key_rows":
        result = tools.key_rows(table)
        extra = (vm_hwm_kib() - baseline) * 1024
        need = {"key rows": result.nbytes}
    else:
        f = tools.KeyedFilter.sized(n, FP_RATE)
        f.insert(table)
        result = f.test(probe)
        extra = (vm_hwm_kib() - baseline) * 1024
        need = {"key rows": max(table.num_rows, probe.num_rows) * width,
                "answers": probe.num_rows * 8 + result.nbytes,  # test's list, then the mask
                "filter": (f.filter.get_m() + 7) // 8}
    return {"extra_bytes": extra, "baseline_bytes": baseline * 1024, "needed": need,
            "ratio": extra / sum(need.values()), "input_bytes": table_bytes + probe_bytes}


def bench_memory(n):
    out = {}
    for what in ("key_rows", "whole path"):
        proc = subprocess.run([sys.executable, __file__, "--peak", what, "--rows", str(n)], capture_output=True,
                              text=True)
        if proc.returncode:
            sys.exit(f"peak memory of {what} failed:\n{proc.stderr}")
        out[what] = json.loads(proc.stdout)
    return out


# --- report --------------------------------------------------------------------

def table_print(intro, head, rows):
    """Prints intro, then the rows under head, the first and last columns to the left."""
    widths = [max(len(cell) for cell in column) for column in zip(head, *rows)]
    print("\n" + intro)
    for i, cells in enumerate([head, *rows]):
        line = "  ".join(cell.ljust(w) if j in (0, len(head) - 1) else cell.rjust(w)
                         for j, (cell, w) in enumerate(zip(cells, widths)))
        print(line.rstrip())
        if i == 0:
            print("-" * len(line))


def ns(seconds, n):
    return f"{seconds / n * 1e9:.1f}"


def kept(s):
    return f"{s['kept']}/{s['runs']}"


def print_text(res, n):
    ours = res["key_rows"]["median"]
    table_print(f"The text column alone ({n:,} rows): ns a row, median and best; kept: the runs whose process had a "
                f"core, of all.",
                ["route", "median", "best", "÷ ours", "kept", ""],
                [[name, ns(s["median"], n), ns(s["best"], n), f"{s['median'] / ours:.2f}", kept(s), ""]
                 for name, s in res.items()])


PHASES = ["keys", "insert", "test", "answers"]


def print_whole(res, n, skipped):
    ours = res[OURS]["median"]
    rows = []
    for name, s in res.items():
        phases = s["phases"]
        rows.append([name, ns(s["median"], n), ns(s["best"], n), f"{s['median'] / ours:.2f}",
                     *[ns(phases[p], n) if p in phases else "-" for p in PHASES], f"{s['false_positive_rate']:.3%}",
                     kept(s), ROUTES[name][4]])
    table_print(f"The whole path: insert {n:,} rows, test {n:,} (half absent), answers as a bool array; ns per row "
                f"inserted, median and best,\nand the median of each phase (keys: both tables'; ours, KeyedFilter: its "
                f"insert and test make the key rows, its test the mask).\n÷ ours: the route's time ÷ {OURS}'s. FP: "
                f"absent rows that test present."
                + (f"\nNot installed, so not measured: {'; '.join(skipped)}" if skipped else ""),
                ["route", "median", "best", "÷ ours", *PHASES, "FP", "kept", "how"], rows)


def print_mask(res, n):
    ours = res["mask"]["median"]
    table_print(f"The answers as a bool array, from the list test returns ({n:,} rows): ns a row.",
                ["call", "median", "best", "÷ ours", "kept", ""],
                [[name, f"{s['median'] / n * 1e9:.2f}", f"{s['best'] / n * 1e9:.2f}", f"{s['median'] / ours:.1f}",
                  kept(s), ""] for name, s in res.items()])


def print_memory(res):
    def mib(b):
        return f"{b / 2**20:,.1f}"

    table_print("Extra peak memory, in a fresh process each: the rise of the resident high-water mark, the result "
                "held, against\nwhat the call must hold (the whole path: the larger table's key rows, test's list and "
                "mask, the filter). MiB.",
                ["call", "extra peak", "needed", "÷ needed", "input (both tables)", "needed, itemized"],
                [[what, mib(r["extra_bytes"]), mib(sum(r["needed"].values())), f"{r['ratio']:.2f}",
                  mib(r["input_bytes"]), ", ".join(f"{k} {mib(v)}" for k, v in r["needed"].items())]
                 for what, r in res.items()])


def fastest(whole, group):
    """The name of the group's fastest route."""
    names = [name for name in whole if ROUTES[name][0] == group]
    return min(names, key=lambda name: whole[name]["median"]) if names else None


def targets(report):
    """Each target that was measured: its label, value, "<=" or ">=", limit
    and verdict."""
    found = []
    text = report["text column"]
    found.append(("text column: to_pylist ÷ key_rows", text["to_pylist"]["median"] / text["key_rows"]["median"],
                  ">=", 4.0))
    whole = report["whole path"]
    for group, limit in (("rbloom", 4.0), ("fastbloom-rs", 4.0), ("numpy", 5.0)):
        best = fastest(whole, group)
        if best:
            found.append((f"whole path: {best} (the fastest of {group}) ÷ ours",
                          whole[best]["median"] / whole[OURS]["median"], ">=", limit))
    found.append(("mask: ns a row", report["mask"]["mask"]["median"] / report["rows"] * 1e9, "<=", 2.0))
    for what, r in report.get("memory", {}).items():
        found.append((f"{what}: extra peak ÷ needed", r["ratio"], "<=", 1.1))
    out = []
    for label, value, op, limit in found:
        met = value <= limit if op == "<=" else value >= limit
        out.append({"target": label, "value": value, "op": op, "limit": limit, "met": met,
                    # by how much it is over a "<=" limit, or short of a ">=" one
                    "verdict": "met" if met else f"MISSED by {abs(value / limit - 1):.0%}"})
    return out


def print_targets(found):
    table_print("Targets", ["target", "value", "limit", "verdict"],
                [[t["target"], f"{t['value']:.2f}", f"{'≤' if t['op'] == '<=' else '≥'} {t['limit']:g}",
                  t["verdict"]] for t in found])
    print(f"{sum(t['met'] for t in found)} of {len(found)} met")


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor())
    versions = {}
    for dist in ("numpy", "pyarrow", "rbloom", "fastbloom-rs", "woxbloomfilter"):
        try:
            versions[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            versions[dist] = None
    return {"cpu": cpu, "cpus": os.cpu_count(), "python": platform.python_version(), "packages": versions,
            "load_average": os.getloadavg()[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int,
                        help=f"rows of each table (default {DEFAULT_ROWS:,}; 1,000,000 with --quick)")
    parser.add_argument("--repeat", type=int, help="runs of each route, in turns (default 5; 2 with --quick)")
    parser.add_argument("--quick", action="store_true", help="a quick look: fewer rows and runs")
    parser.add_argument("--peak", choices=["key_rows", "whole path"], help=argparse.SUPPRESS)  # the fresh process
    args = parser.parse_args()
    n = args.rows or (1_000_000 if args.quick else DEFAULT_ROWS)
    repeat = args.repeat or (2 if args.quick else 5)
    if n < 2 or repeat < 1:
        parser.error("--rows takes 2 or more, --repeat 1 or more")
    if args.peak:
        print(json.dumps(peak(args.peak, n)))
        return

    started, info = time.perf_counter(), machine()
    print(f"{info['cpu']}, {info['cpus']} CPUs; Python {info['python']}, "
          + ", ".join(f"{name} {version}" for name, version in info["packages"].items() if version)
          + f"; load average {info['load_average']:.2f}")
    table, probe, kind, source = make_data(n)
    print(f"{n:,} rows of text ({SHORTEST}-{LONGEST} bytes, mean "
          f"{pc.mean(pc.binary_length(table.column('text'))).as_py():.1f}, {table.column('text').null_count:,} null) "
          f"and int64; {table.nbytes / 2**20:,.0f} MiB; tested: "
          + ", ".join(f"{(kind == k).sum():,} {KIND_NAMES[k]}" for k in range(4)))
    report = {"rows": n, "repeat": repeat, "machine": info}
    report["text column"] = bench_text(table, probe, source, repeat)
    print_text(report["text column"], n)
    names = [name for name, route in ROUTES.items() if route[1] is None or installed(route[1])]
    skipped = [name for name in ROUTES if name not in names]
    report["whole path"] = bench_whole(table, probe, kind, repeat, names)
    print_whole(report["whole path"], n, skipped)
    report["mask"] = bench_mask(table, probe, repeat)
    print_mask(report["mask"], n)
    del table, probe, kind, source
    gc.collect()
    report["memory"] = bench_memory(n)
    print_memory(report["memory"])
    report["targets"] = targets(report)
    print_targets(report["targets"])
    report["total_seconds"] = time.perf_counter() - started
    print(f"\nload average {os.getloadavg()[0]:.2f} at the end; {report['total_seconds']:.0f} s in all")
    if n == DEFAULT_ROWS and not args.quick:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "keys.json").write_text(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()
