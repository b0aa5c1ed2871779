"""Where the 2 MiB page advice pays. Builds the module with each choice of
WOXBLOOM_HUGE_PAGE_ADVICE asked for (src/bits.hpp), and times every operation
once in each of many fresh processes, the variants taking turns; each process
then times ndarray.tobytes() of the whole filter's size, a copy into plain
new pages. Per operation and variant: the median, the worst, and the worst
against the worst tobytes of the same processes. Variants that agree on the
advice bits an operation depends on (JOBS) run it once for all of them.

The whole job of a stored filter ("load and test" with "configure and test"):
from_bytes, then tests of 1 M, 10 M and 100 M rows (--job-rows), each total
timed as the tests go; against it, the same tests into a configured filter
plus, in place of the load, a plain copy of the same bytes made where the
load would be: on the memory the load would get, not on what the filter
gave back at the end. Its table gives
each way of placing a loaded filter, median and worst, and at the end the
way to keep: the best worst case at 10 M rows over every condition, unless it
loses at 1 M by more than it wins at 10 M.

In three conditions: "fresh", on memory as it is, each run right after the
one before (a quiet machine has free 2 MiB blocks, and those the run before
gave back are still at hand); "idle", the same after a wait (--idle-seconds):
a virtual machine that reports free memory to its host has then reported
what the run before gave back, as it has a long-running server's free
memory, and the host must back it again at its first touch; and
"fragmented", as a long-running server's memory is: before every run GiB of
files are read into the page cache (--cache-gib), and a process of its own
rebuilds a region of 4 KiB pages with every other page given back, and takes
every free block left with 2 MiB pages that it holds, so that a 2 MiB page
needs the kernel to compact memory. Before all, free memory is touched once
(touch_free_memory).

    # the choice of a loaded filter's pages: about 2.5 hours on a quiet machine
    .venv/bin/python benchmarks/bulk.py --variants 321 65 129 9 3 \\
        --ops "load and test" "configure and test" from_bytes pickle.loads tools.load
    .venv/bin/python benchmarks/bulk.py --log2 27 --steady 27 --processes 2 --job-rows 100000 1000000 \\
        --fragment-gib 1 --hold-gib 1 --cache-gib 1 --idle-seconds 1   # the harness at work, on a busy machine

Run it with the project's .venv, whose CMake, Ninja and pybind11 build the
variants into build/bench-advice/<advice>/ (as make sanitize-build builds
its module: the build tree imports as it stands), and whose NumPy and
xxhash the runs use. Every run goes to build/bench-advice/results.json. The
full run needs a quiet machine with about 20 GiB free. run.py's whole group
times the byte form in fresh processes with run_child, and its loaded group
the whole job, against the installed module.
"""
import argparse
import ctypes
import gc
import json
import math
import mmap
import os
import pickle
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "bench-advice"
K = 7
SEED = 20240601
PAGE = 4096
HUGE = 2 << 20
HUGE_ORDER = 9  # a 2 MiB block is 2^9 pages of 4 KiB
RAW, PICKLED, STORED = "filter.raw", "filter.pickle", "filter.wbf"

# The bits of WOXBLOOM_HUGE_PAGE_ADVICE; of 2, 8, 16, 32, 64 and 128, the ways
# of placing a loaded filter, a build takes at most one, and 256 with 32, 64
# or 128 lets its collapses go on past the kernel's refusals.
ADVICE = {1: "configure", 2: "loaded, advised before the copy", 4: "byte form",
          8: "loaded, advised after the copy", 16: "loaded, collapsed after the copy",
          32: "loaded, collapsed while copied", 64: "loaded, collapsed before the copy",
          128: "loaded, collapsed before the copy while cheap", 256: "past refusals"}
LOADED = 2 | 8 | 16 | 32 | 64 | 128 | 256
VARIANTS = [321, 65, 1, 3, 9, 17, 33, 129]
# The advice bits that an operation's run depends on, its setup included:
# variants that agree on them run it alike, so it runs once for all of them.
# steady: an insert and a test after the first insert into a configured
# filter; steady loaded: the same into a filter loaded by from_bytes, whose
# pages the way of placing a loaded filter decides. load and test: the whole
# job of a stored filter, from_bytes and then tests of up to the largest
# --job-rows, timed as it goes; configure and test: the same tests into a
# configured filter, the reference.
JOBS = {"first insert": 1, "steady": 1, "steady loaded": LOADED, "to_bytes": 1 | 4, "pickle.dumps": 1 | 4,
        "from_bytes": LOADED, "pickle.loads": LOADED, "tools.load": LOADED, "load and test": LOADED,
        "configure and test": 1}
WHOLE_JOB = ["load and test", "configure and test"]
CONDITIONS = ["fresh", "idle", "fragmented"]
JOB_ROWS = [1_000_000, 10_000_000, 100_000_000]


# --- what /proc tells ----------------------------------------------------------

def buddy():
    """Free pages in blocks of 2 MiB and more, and in smaller pieces, over the
    zones but DMA; and DMA's (its 16 MiB are kept for devices, never given to
    a process)."""
    blocks = pieces = dma = 0
    for line in Path("/proc/buddyinfo").read_text().splitlines():
        words = line.split()
        for order, count in enumerate(map(int, words[4:])):
            if words[3] == "DMA":
                dma += count << order
            elif order >= HUGE_ORDER:
                blocks += count << order
            else:
                pieces += count << order
    return blocks, pieces, dma


def meminfo():
    """/proc/meminfo in bytes."""
    return {line.split(":")[0]: int(line.split()[1]) * 1024
            for line in Path("/proc/meminfo").read_text().splitlines() if line.endswith("kB")}


COUNTERS = ["compact_stall", "compact_success", "thp_fault_alloc", "thp_fault_fallback", "compact_daemon_wake"]


def vmstat():
    values = dict(line.split() for line in Path("/proc/vmstat").read_text().splitlines())
    return {name: int(values.get(name, 0)) for name in COUNTERS}


def per_cpu_lists(only=None):
    """Bytes of free pages in the per-CPU lists (of CPU `only`, or of all),
    which neither /proc/buddyinfo nor MemFree count: pages freed a moment ago
    wait there, 2 MiB pages too, for the next allocation on that CPU, and go
    back to the zones over seconds."""
    total, cpu = 0, None
    for line in Path("/proc/zoneinfo").read_text().splitlines():
        words = line.split()
        if words[:1] == ["cpu:"]:
            cpu = int(words[1])
        elif words[:1] == ["count:"] and only in (None, cpu):
            total += int(words[1])
    return total * PAGE


def anon_huge():
    """Bytes of this process on 2 MiB pages."""
    line = next(line for line in Path("/proc/self/smaps_rollup").read_text().splitlines()
                if line.startswith("AnonHugePages:"))
    return int(line.split()[1]) * 1024


def settings():
    """The kernel's settings that decide what the advice does."""
    thp = Path("/sys/kernel/mm/transparent_hugepage")

    def chosen(path):
        text = path.read_text().strip()
        return text[text.index("[") + 1:text.index("]")] if "[" in text else text

    return {"kernel": platform.release(), "enabled": chosen(thp / "enabled"), "defrag": chosen(thp / "defrag"),
            "khugepaged defrag": chosen(thp / "khugepaged" / "defrag"),
            "khugepaged pages_to_scan": chosen(thp / "khugepaged" / "pages_to_scan"),
            "khugepaged scan_sleep_millisecs": chosen(thp / "khugepaged" / "scan_sleep_millisecs"),
            "compaction_proactiveness": chosen(Path("/proc/sys/vm/compaction_proactiveness")),
            "memory GiB": round(meminfo()["MemTotal"] / 2**30, 1)}


# --- one run, in a process of its own --------------------------------------------

def random_rows(rng, n):
    return rng.integers(-(2**31), 2**31, size=(n, 4), dtype=np.int32)


def warm(path):
    """Reads a file into the page cache, through a small buffer."""
    piece = bytearray(16 << 20)
    with open(path, "rb", buffering=0) as file:
        while file.readinto(piece):
            pass


def rows_label(n):
    return f"{n / 1e6:g} M rows"


def probe_blocks(rng, inserted, n, count):
    """count blocks of n rows to test, each half rows of `inserted` and half
    new random rows, shuffled."""
    out = []
    for _ in range(count):
        seen = inserted[rng.integers(0, len(inserted), size=n - n // 2)]
        out.append(np.ascontiguousarray(np.concatenate([seen, random_rows(rng, n // 2)])[rng.permutation(n)]))
    return out


def whole_job(op, mod, m, folder, inserted, rng, job_rows):
    """The whole job of a filter: loaded by from_bytes (or configured and
    filled, untimed), then tests of blocks of the smallest of job_rows rows up
    to the largest, each timed. Returns the filter, the figures by name, and
    what the load got: bytes on 2 MiB pages, the machine's counters, free
    2 MiB blocks before it."""
    block, total = min(job_rows), max(job_rows)
    data = (folder / RAW).read_bytes()
    f = mod.bloomfilter()
    seconds, cpu = {}, {}
    if op == "configure and test":
        # The reference's load: a copy onto plain pages (Python's allocator
        # asks for none) of the bytes a load would copy, where it would.
        start = time.perf_counter()
        copy = bytearray(data)
        seconds["copy"] = time.perf_counter() - start
        assert len(copy) == len(data)
        copy = data = None
        f.configure(K, m)
        f.insert(inserted)
    gc.collect()
    gc.disable()  # enabled again after the tests
    loaded = {"free_blocks": buddy()[0] * PAGE, "per_cpu": per_cpu_lists()}
    huge, counters = anon_huge(), vmstat()
    if data is not None:
        start, start_cpu = time.perf_counter(), time.process_time()
        f.from_bytes(data, K, m)
        seconds["load"], cpu["load"] = time.perf_counter() - start, time.process_time() - start_cpu
    loaded.update(huge=anon_huge() - huge, counters={name: value - counters[name] for name, value in vmstat().items()},
                  cpu=cpu)
    data = None
    # Made after the load, which a program does first; at most ten distinct
    # blocks, tested in turn: 10 M rows of probes at most.
    blocks = probe_blocks(rng, inserted, block, min(10, total // block))
    gc.collect()
    tested, elapsed = 0, 0.0
    for i in range(total // block):
        probe = blocks[i % len(blocks)]
        start = time.perf_counter()
        answers = f.test(probe)
        elapsed += time.perf_counter() - start
        del answers
        tested += block
        if tested in job_rows:
            seconds[f"test {rows_label(tested)}"] = elapsed
    gc.enable()
    assert all(f.test(inserted[:1000])), op
    return f, seconds, loaded


def child(op, log2, folder, rows, size, job_rows=JOB_ROWS):
    """Sets up op, times it once, then ndarray.tobytes() of size bytes; prints
    the figures as JSON. The stored filter holds the first rows of SEED's
    stream, so every loaded filter is checked against them. The whole job's
    figures add, for each of job_rows, the load and the tests ("job"), or for
    a configured filter the tests and the tobytes: a plain copy in place of the
    load."""
    import woxbloomfilter as mod

    m, folder = 1 << log2, Path(folder)
    rng = np.random.default_rng(SEED)
    inserted = random_rows(rng, rows)
    if op in WHOLE_JOB:
        f, seconds, loaded = whole_job(op, mod, m, folder, inserted, rng, job_rows)
        f = None
        gc.collect()
        source = np.frombuffer(bytearray(size), np.uint8)
        start = time.perf_counter()
        copy = source.tobytes()
        tobytes = time.perf_counter() - start
        assert len(copy) == size
        first = seconds["load"] if "load" in seconds else seconds["copy"]
        for n in job_rows:
            seconds[f"job {rows_label(n)}"] = first + seconds[f"test {rows_label(n)}"]
        print(json.dumps({"module": mod.__file__, "seconds": seconds, "tobytes": tobytes, **loaded}))
        return
    f, held = None, []  # the setup's large objects, given back before tobytes
    if op in ("first insert", "steady", "to_bytes", "pickle.dumps"):
        f = mod.bloomfilter()
        f.configure(K, m)
        if op != "first insert":
            f.insert(inserted)
    elif op == "steady loaded":
        f = mod.bloomfilter()
        f.from_bytes((folder / RAW).read_bytes(), K, m)
    if op == "first insert":
        calls = {op: lambda: f.insert(inserted)}
    elif op in ("steady", "steady loaded"):
        more = random_rows(rng, rows)
        probe = np.concatenate([inserted[: rows // 2], random_rows(rng, rows - rows // 2)])[rng.permutation(rows)]
        calls = {f"{op} insert": lambda: f.insert(more), f"{op} test": lambda: f.test(probe)}
    elif op == "to_bytes":
        calls = {op: f.to_bytes}
    elif op == "pickle.dumps":
        calls = {op: lambda: pickle.dumps(f)}
    elif op == "from_bytes":
        held.append((folder / RAW).read_bytes())

        def from_bytes():
            g = mod.bloomfilter()
            g.from_bytes(held[0], K, m)
            return g

        calls = {op: from_bytes}
    elif op == "pickle.loads":
        held.append((folder / PICKLED).read_bytes())
        calls = {op: lambda: pickle.loads(held[0])}
    elif op == "tools.load":
        import woxbloomfilter_tools as tools

        warm(folder / STORED)
        calls = {op: lambda: tools.load(folder / STORED)}
    else:
        raise SystemExit(f"unknown operation {op!r}")

    gc.collect()
    gc.disable()
    free_blocks, per_cpu = buddy()[0] * PAGE, per_cpu_lists()
    counters, huge = vmstat(), anon_huge()
    seconds, cpu, results = {}, {}, []
    for name, call in calls.items():
        start, start_cpu = time.perf_counter(), time.process_time()
        results.append(call())
        seconds[name], cpu[name] = time.perf_counter() - start, time.process_time() - start_cpu
    huge = anon_huge() - huge
    counters = {name: value - counters[name] for name, value in vmstat().items()}
    gc.enable()

    result, check = results[0], inserted[:1000]
    if op in ("from_bytes", "pickle.loads", "tools.load"):
        assert (result.get_k(), result.get_m()) == (K, m) and all(result.test(check)), op
    elif op in ("first insert", "steady", "steady loaded"):
        assert all(f.test(check)), op
    elif op == "to_bytes":
        assert len(result) == (m + 7) // 8
    f = result = None
    del results, held[:], calls
    gc.collect()

    source = np.frombuffer(bytearray(size), np.uint8)  # plain pages, written by the zero fill
    start = time.perf_counter()
    copy = source.tobytes()
    tobytes = time.perf_counter() - start
    assert len(copy) == size
    print(json.dumps({"module": mod.__file__, "seconds": seconds, "cpu": cpu, "tobytes": tobytes,
                      "free_blocks": free_blocks, "per_cpu": per_cpu, "huge": huge, "counters": counters}))


def make_files(log2, folder, rows):
    """The stored forms that the loading runs read: the byte form, a pickle
    and a file saved by woxbloomfilter_tools, of a filter of `rows` rows."""
    import woxbloomfilter as mod
    import woxbloomfilter_tools as tools

    folder = Path(folder)
    f = mod.bloomfilter()
    f.configure(K, 1 << log2)
    f.insert(random_rows(np.random.default_rng(SEED), rows))
    (folder / RAW).write_bytes(f.to_bytes())
    (folder / PICKLED).write_bytes(pickle.dumps(f))
    tools.save(f, folder / STORED)
    os.sync()  # written back now, not during the runs


def run_role(role, *args, env=None):
    """This file run as `role` in a new process; what it printed."""
    proc = subprocess.run([sys.executable, __file__, role, *map(str, args)], env=env, capture_output=True, text=True)
    if proc.returncode:
        sys.exit(f"{role} {' '.join(map(str, args))} failed:\n{proc.stderr}")
    return proc.stdout


def prepare_files(folder, log2, rows, env=None):
    run_role("_files", log2, folder, rows, env=env)


def run_child(op, log2, folder, rows, size, env=None, job_rows=JOB_ROWS):
    """One run of op in a fresh process: its figures (see child)."""
    return json.loads(run_role("_child", op, log2, folder, rows, size, ",".join(map(str, job_rows)), env=env))


# --- memory without free 2 MiB blocks ----------------------------------------------

def address(buffer):
    anchor = ctypes.c_char.from_buffer(buffer)
    try:
        return ctypes.addressof(anchor)
    finally:
        del anchor


def release_pages(region, starts):
    """Gives back the 4 KiB pages of region at the offsets `starts`: through
    process_madvise, 1024 at a call, where the kernel takes MADV_DONTNEED
    there (6.13 and later), else a call a page."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    iov = np.empty((len(starts), 2), np.uint64)
    iov[:, 0], iov[:, 1] = address(region) + starts, PAGE
    pidfd = os.pidfd_open(os.getpid())
    try:
        for at in range(0, len(iov), 1024):
            piece = np.ascontiguousarray(iov[at:at + 1024])
            done = libc.syscall(ctypes.c_long(440), ctypes.c_long(pidfd), ctypes.c_void_p(piece.ctypes.data),
                                ctypes.c_long(len(piece)), ctypes.c_long(mmap.MADV_DONTNEED), ctypes.c_long(0))
            if done != len(piece) * PAGE:
                raise OSError(ctypes.get_errno(), "process_madvise")
    except OSError:
        for start in starts.tolist():
            region.madvise(mmap.MADV_DONTNEED, start, PAGE)
    finally:
        os.close(pidfd)


class Fragmenter:
    """Rebuilds, at each call of build(), memory with no free 2 MiB block: a
    pattern region of 4 KiB pages, every other one given back (the holes where
    the runs get their memory), and every free block left then taken by a
    2 MiB page held here. A 2 MiB page then needs the kernel to compact: to
    move pages of the pattern into holes elsewhere."""

    MARGIN = 512 << 20  # free memory kept beyond the pattern's while it is written

    def __init__(self, pattern_bytes, hold_bytes):
        self.pattern_bytes = pattern_bytes // (2 * PAGE) * (2 * PAGE)
        self.pattern = None
        total = meminfo()["MemTotal"]
        self.held = mmap.mmap(-1, total, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | mmap.MAP_NORESERVE)
        self.held.madvise(mmap.MADV_HUGEPAGE)
        self.first = -address(self.held) % HUGE  # the first 2 MiB boundary
        self.capacity = min((total - self.first) // HUGE, hold_bytes // HUGE)
        self.pages = 0  # 2 MiB pages held, from self.first on

    def build(self):
        started, report = time.perf_counter(), {"buddyinfo before": Path("/proc/buddyinfo").read_text()}
        cpus = sorted(os.sched_getaffinity(0))
        try:
            for cpu in cpus:
                os.sched_setaffinity(0, {cpu})
                self.take_listed(cpu)
            os.sched_setaffinity(0, {cpus[0]})
            self.lay_out_pattern(cpus[-1])
            report["stopped by"] = self.take_blocks()
        finally:
            os.sched_setaffinity(0, cpus)
        blocks, pieces, _ = buddy()
        report.update({"seconds": time.perf_counter() - started, "pattern": self.pattern_bytes,
                       "held": self.pages * HUGE, "free blocks": blocks * PAGE, "free pieces": pieces * PAGE,
                       "per-CPU lists": per_cpu_lists(),
                       "buddyinfo after": Path("/proc/buddyinfo").read_text()})
        return report

    def take_listed(self, cpu):
        """Takes, running on `cpu`, the 2 MiB pages that wait in its list since
        the last run ended: a 2 MiB fault there would take them first. Stops
        at the first page that did not come from the list."""
        view = np.frombuffer(self.held, np.uint8)
        try:
            while self.pages < self.capacity and per_cpu_lists(cpu) >= HUGE:
                before = per_cpu_lists(cpu)
                view[self.first + self.pages * HUGE] = 1
                self.pages += 1
                if before - per_cpu_lists(cpu) < HUGE // 2:
                    return
        finally:
            del view

    def lay_out_pattern(self, release_cpu):
        """The pattern anew: its pages written, then every other one given
        back on `release_cpu`, another CPU than the one that wrote them, whose
        list is short: the pages then reach the zones' free lists, where
        compaction finds them, rather than wait in the list of the first."""
        if self.pattern is not None:
            self.pattern.close()
        # Held pages go back while free memory is short of what the pattern needs.
        free = lambda: meminfo()["MemFree"] + per_cpu_lists()  # noqa: E731
        short = self.pattern_bytes + self.MARGIN - free()
        if short > 0 and self.pages:
            n = min(self.pages, -(-short // HUGE))
            self.pages -= n
            self.held.madvise(mmap.MADV_DONTNEED, self.first + self.pages * HUGE, n * HUGE)
        # Memory freed by the run before may still be on its way back.
        deadline = time.monotonic() + 20
        while free() < self.pattern_bytes + self.MARGIN and time.monotonic() < deadline:
            if self.pages:
                self.held.madvise(mmap.MADV_DONTNEED, self.first, self.pages * HUGE)
                self.pages = 0
            time.sleep(0.2)
        if free() < self.pattern_bytes + self.MARGIN:
            raise SystemExit(f"the fragmenter needs {(self.pattern_bytes + self.MARGIN) / 2**30:.1f} GiB free, "
                             f"and {free() / 2**30:.1f} GiB are")
        self.pattern = mmap.mmap(-1, self.pattern_bytes, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
        self.pattern.madvise(mmap.MADV_NOHUGEPAGE)
        view = np.frombuffer(self.pattern, np.uint8)
        view[::PAGE] = 1
        del view
        os.sched_setaffinity(0, {release_cpu})
        release_pages(self.pattern, np.arange(PAGE, self.pattern_bytes, 2 * PAGE, dtype=np.uint64))

    def take_blocks(self):
        """Touches held 2 MiB pages while free memory outside small pieces is
        left: free blocks, and memory that a kernel with lazily initialised
        memory hands to its allocator only on demand (MemFree counts it).
        Stops at the first compaction or 4 KiB fallback, which would say that
        no free block was left after all; at the limit on what it holds; and
        after a few rounds, should the kernel keep making blocks in the
        background (its proactive compaction)."""
        counters = vmstat()
        view = np.frombuffer(self.held, np.uint8)
        try:
            for _ in range(8):
                _, pieces, dma = buddy()
                spare = meminfo()["MemFree"] - (pieces + dma) * PAGE
                n = min(spare // HUGE, self.capacity - self.pages)
                if n <= 0:
                    return "no free block left" if spare < HUGE else "the limit on what it holds"
                start = self.first + self.pages * HUGE
                view[start:start + n * HUGE:HUGE] = 1
                self.pages += n
                now = vmstat()
                if now["compact_stall"] > counters["compact_stall"]:
                    return "a compaction"
                if now["thp_fault_fallback"] > counters["thp_fault_fallback"]:
                    return "a fallback to 4 KiB pages"
            return "free blocks that kept coming"
        finally:
            del view


def touch_free_memory(limit):
    """Touches free memory once, in 2 MiB pages, and gives it back at the end
    of the process. On a virtual machine the host backs guest memory at its
    first touch, and a kernel that initialises memory lazily sets it up then:
    costs that a long-running server paid long ago, left out of the runs."""
    size = max(0, min(meminfo()["MemFree"] - (1 << 30), limit)) // HUGE * HUGE
    region = mmap.mmap(-1, size + HUGE, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    region.madvise(mmap.MADV_HUGEPAGE)
    started, view = time.perf_counter(), np.frombuffer(region, np.uint8)
    view[::PAGE] = 1
    print(json.dumps({"bytes": size, "seconds": time.perf_counter() - started}))


def fragmenter(pattern_bytes, hold_bytes):
    """The fragmenter's process: builds at each line "build" on stdin, and
    answers with the report as one line of JSON; ends at the end of stdin."""
    f = Fragmenter(int(pattern_bytes), int(hold_bytes))
    for line in sys.stdin:
        if line.strip() == "build":
            print(json.dumps(f.build()), flush=True)


class FragmenterProcess:
    def __init__(self, pattern_bytes, hold_bytes):
        self.proc = subprocess.Popen([sys.executable, __file__, "_fragmenter", str(pattern_bytes), str(hold_bytes)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def build(self):
        self.proc.stdin.write("build\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            sys.exit(f"the fragmenter ended (exit status {self.proc.wait()})")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# --- variants ---------------------------------------------------------------------

def tool(name):
    """A build tool of the venv that runs this, else of the PATH."""
    beside = Path(sys.executable).parent / name
    return str(beside) if beside.exists() else name


def build_variant(advice):
    """The module and the companion built with WOXBLOOM_HUGE_PAGE_ADVICE =
    advice, in a build tree that imports as it stands; its folder."""
    out = BUILD / str(advice)
    cmakedir = subprocess.run([sys.executable, "-m", "pybind11", "--cmakedir"], check=True, capture_output=True,
                              text=True).stdout.strip()
    subprocess.run([tool("cmake"), "-S", ROOT, "-B", out, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
                    f"-DPython_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={cmakedir}",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_CXX_FLAGS=-DWOXBLOOM_HUGE_PAGE_ADVICE={advice}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([tool("cmake"), "--build", out], check=True, stdout=subprocess.DEVNULL)
    return out


def variant_env(folder):
    return {**os.environ, "PYTHONPATH": str(folder)}


def advice_name(advice):
    return " + ".join(name for bit, name in ADVICE.items() if advice & bit) or "none"


# --- statistics and tables ------------------------------------------------------------

def summary(runs, name):
    """The figures of one measurement over its runs (child's output each), in ms."""
    times = [r["seconds"][name] * 1e3 for r in runs]
    tobytes = [r["tobytes"] * 1e3 for r in runs]
    worst = max(range(len(runs)), key=lambda i: times[i])
    return {"median_ms": statistics.median(times), "worst_ms": times[worst],
            "tobytes_median_ms": statistics.median(tobytes), "tobytes_worst_ms": max(tobytes),
            "worst_ratio": times[worst] / max(tobytes),
            "worst_cpu_share": runs[worst]["cpu"].get(name, math.nan) * 1e3 / times[worst],
            "huge_median_mib": statistics.median(r["huge"] for r in runs) / 2**20,
            "stalls_median": statistics.median(r["counters"]["compact_stall"] for r in runs),
            "free_blocks_mib": [min(r["free_blocks"] for r in runs) / 2**20,
                                max(r["free_blocks"] for r in runs) / 2**20],
            "runs": len(runs)}


def table(intro, head, rows):
    """Prints intro, then the rows under head, the first two columns to the left."""
    widths = [max(len(cell) for cell in column) for column in zip(head, *rows)]
    print("\n" + intro)
    for i, cells in enumerate([head, *rows]):
        line = "  ".join(cell.ljust(w) if j < 2 else cell.rjust(w) for j, (cell, w) in enumerate(zip(cells, widths)))
        print(line.rstrip())
        if i == 0:
            print("-" * len(line))


def print_condition(condition, results, processes, log2):
    rows = []
    for measurement, by_advice in results.items():
        for label, s in by_advice.items():
            rows.append([measurement if label == next(iter(by_advice)) else "", label, f"{s['median_ms']:.0f}",
                         f"{s['worst_ms']:.0f}", f"{s['tobytes_median_ms']:.0f}", f"{s['tobytes_worst_ms']:.0f}",
                         f"{s['worst_ratio']:.2f}", f"{s['worst_cpu_share']:.0%}" if s["worst_ms"] >= 50 and s["worst_cpu_share"] == s["worst_cpu_share"] else "-",
                         f"{s['huge_median_mib']:.0f}",
                         f"{s['stalls_median']:g}",
                         "{:.0f}-{:.0f}".format(*s["free_blocks_mib"])])
    table(f"{condition}: each operation timed once in each of {processes} fresh processes per advice, then "
          f"ndarray.tobytes() of {2 ** (log2 - 3) / 2**20:g} MiB\nin the same process; ms. worst÷tb: the worst "
          "against the worst tobytes of the same processes. CPU: the worst run's CPU time over its\nwall-clock "
          "time, from 50 ms (a process's CPU time is counted in steps of a few ms). 2 MiB: MiB the operation got "
          "on 2 MiB\npages, median. stalls: compaction stalls on the machine during it, median. free blocks: MiB "
          "in free 2 MiB blocks at its start,\nleast-most.",
          ["operation", "advice", "median", "worst", "tobytes median", "tobytes worst", "worst÷tb", "CPU", "2 MiB",
           "stalls", "free blocks"], rows)


def middle(job_rows):
    """The size of job that the choice and the targets go by: 10 M rows in the
    full run."""
    return sorted(job_rows)[len(job_rows) // 2]


def job_ratios(whole, job_rows):
    """For each way of placing a loaded filter: its tests' median against the
    configured filter's (the speed of tests into a filter just loaded), and its
    worst job against the reference's worst (the configured filter's tests
    plus a plain copy), both at the middle size of job."""
    n = rows_label(middle(job_rows))
    reference = next(iter(whole["configure and test"].values()))
    return {group: {"tests": s[f"test {n}"]["median_ms"] / reference[f"test {n}"]["median_ms"],
                    "worst": s[f"job {n}"]["worst_ms"] / reference[f"job {n}"]["worst_ms"]}
            for group, s in whole["load and test"].items()}


def print_whole_job(intro, whole, job_rows, names=None):
    """The whole job's table: each way of placing a loaded filter (by its
    group's name in `names`, else by its advice), then the configured filter's
    tests plus a plain copy, the reference."""
    ratios = job_ratios(whole, job_rows)
    n = rows_label(middle(job_rows))

    def pair(median_ms, worst_ms):
        return f"{median_ms:.0f} / {worst_ms:.0f}"

    rows = []
    for group, s in whole["load and test"].items():
        way = (names or {}).get(group) or advice_name(int(group.split(",")[0]) & LOADED)
        rows.append([way, pair(s["load"]["median_ms"], s["load"]["worst_ms"]),
                     *(pair(s[f"job {rows_label(r)}"]["median_ms"], s[f"job {rows_label(r)}"]["worst_ms"])
                       for r in job_rows),
                     f"{ratios[group]['tests']:.2f}", f"{ratios[group]['worst']:.2f}",
                     f"{s['load']['huge_median_mib']:.0f}", f"{s['load']['stalls_median']:g}"])
    reference = next(iter(whole["configure and test"].values()))
    copy = reference["copy"]
    rows.append(["configured; a plain copy for the load", pair(copy["median_ms"], copy["worst_ms"]),
                 *(pair(reference[f"job {rows_label(r)}"]["median_ms"], reference[f"job {rows_label(r)}"]["worst_ms"])
                   for r in job_rows), "1", "1", "-", "-"])
    table(intro, ["way", "load", *(f"load + test {rows_label(r)}" for r in job_rows),
                  "tests ÷ (≤ 1.2)", "worst ÷ (≤ 1.3)", "2 MiB", "stalls"], rows)
    print(f"tests ÷: the tests of {n} into a filter just loaded against those into a configured filter, medians. "
          f"worst ÷: the worst\nload + test {n} against the worst of the configured filter's tests plus a plain "
          "copy made where the load would be. 2 MiB: MiB the\nload got on 2 MiB pages, median; stalls: compaction "
          "stalls on the machine during the load, median.")


def choose(wholes, job_rows):
    """The way to keep, by the worst over every condition: the best worst job
    of the middle size, unless it loses at the smallest by more than it wins
    there against another way; prints why."""
    small, mid = rows_label(min(job_rows)), rows_label(middle(job_rows))

    def worst(group, n):
        return max(w["load and test"][group][f"job {n}"]["worst_ms"] for w in wholes)

    ways = list(wholes[0]["load and test"])
    best = min(ways, key=lambda g: worst(g, mid))
    names = {g: advice_name(int(g.split(",")[0]) & LOADED) for g in ways}
    width = max(map(len, names.values()))
    print(f"\nThe worst of every condition, ms: load + test {small} / {mid}")
    for g in ways:
        print(f"  {names[g]:<{width}}  {worst(g, small):8.0f} / {worst(g, mid):.0f}")
    beaten = [g for g in ways if worst(best, small) - worst(g, small) > worst(g, mid) - worst(best, mid)]
    chosen = min(beaten, key=lambda g: worst(g, mid)) if beaten else best
    print(f"best worst at {mid}: {advice_name(int(best.split(',')[0]) & LOADED)}"
          + (f"; it loses at {small} by more than it wins at {mid}" if beaten else "")
          + f". The choice: {advice_name(int(chosen.split(',')[0]) & LOADED)} (advice {chosen})")
    return chosen


def cache_files(folder, gib):
    """gib files of 1 GiB in folder, for the fragmented runs to read into the
    page cache: a long-running server's memory is full of it."""
    piece = np.random.default_rng(SEED).integers(0, 256, 16 << 20, dtype=np.uint8).tobytes()
    paths = []
    for i in range(int(gib)):
        path = Path(folder) / f"cache-{i}.bin"
        with open(path, "wb") as file:
            for _ in range((1 << 30) // len(piece)):
                file.write(piece)
        paths.append(path)
    os.sync()
    return paths


# --- main --------------------------------------------------------------------------

def jobs(args):
    """(operation, log2 of the bits) for every operation asked for."""
    out = []
    for op in args.ops:
        out += [(op, log2) for log2 in args.steady] if op == "steady" else [(op, args.log2)]
    return out


def groups(op, variants):
    """The variants in groups that run op alike: {advice bits: [variants]}."""
    out = {}
    for advice in variants:
        out.setdefault(advice & JOBS[op], []).append(advice)
    return list(out.values())


def measure(condition, args, folders, data, fragment, cache):
    """Every job, the variants' groups taking turns run by run; the results by
    measurement and group (the whole job's by operation, group and figure), and
    every run. Before each run on fragmented memory, the files of `cache` are
    read into the page cache and the fragmenter rebuilds its pattern."""
    results, whole, every = {}, {}, []
    size = 1 << (args.log2 - 3)
    for op, log2 in jobs(args):
        runs = {tuple(group): [] for group in groups(op, args.variants)}
        for round_ in range(args.processes):
            for group in runs:
                for path in cache:
                    warm(path)
                built = fragment.build() if fragment else None
                if condition == "idle":
                    time.sleep(args.idle_seconds)
                r = run_child(op, log2, data, args.rows, size, env=variant_env(folders[group[0]]),
                              job_rows=args.job_rows)
                assert Path(r["module"]).parent == folders[group[0]], r["module"]
                r.update(condition=condition, op=op, log2=log2, advice=list(group), round=round_,
                         fragmenter=built and {k: v for k, v in built.items() if "buddyinfo" not in k})
                runs[group].append(r)
                every.append(r)
                print(f"  {condition} {op} 2^{log2} advice {', '.join(map(str, group))}: "
                      + ", ".join(f"{name} {s * 1e3:.0f} ms" for name, s in r["seconds"].items())
                      + f", tobytes {r['tobytes'] * 1e3:.0f} ms; {r['free_blocks'] / 2**20:.0f} MiB in free blocks, "
                      f"{r['per_cpu'] / 2**20:.0f} MiB in per-CPU lists"
                      + (f", kcompactd woke {r['counters']['compact_daemon_wake']} times"
                         if r["counters"]["compact_daemon_wake"] else "")
                      + (f", fragmenter {built['seconds']:.1f} s ({built['stopped by']})" if built else ""),
                      flush=True)
        for group, group_runs in runs.items():
            for name in group_runs[0]["seconds"]:
                if op in WHOLE_JOB:
                    whole.setdefault(op, {}).setdefault(", ".join(map(str, group)), {})[name] = summary(
                        group_runs, name)
                    continue
                label = f"{name} 2^{log2}" if op in ("first insert", "steady", "steady loaded") else name
                results.setdefault(label, {})[", ".join(map(str, group))] = summary(group_runs, name)
    return results, whole, every


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    parser.add_argument("--variants", nargs="+", type=int, default=VARIANTS,
                        help="values of WOXBLOOM_HUGE_PAGE_ADVICE to build and compare; bits: "
                             + ", ".join(f"{bit} {name}" for bit, name in ADVICE.items()))
    parser.add_argument("--ops", nargs="+", choices=list(JOBS), default=list(JOBS))
    parser.add_argument("--log2", type=int, default=33, help="log2 of the bits of the filter of every operation "
                        "but steady; ndarray.tobytes() copies its bytes")
    parser.add_argument("--steady", nargs="+", type=int, default=[30, 33], help="log2 of the bits for steady")
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows inserted, and tested")
    parser.add_argument("--processes", type=int, default=9, help="runs of each operation and variant")
    parser.add_argument("--conditions", nargs="+", choices=CONDITIONS, default=CONDITIONS)
    parser.add_argument("--idle-seconds", type=float, default=5,
                        help="the wait before each run of the idle condition")
    parser.add_argument("--fragment-gib", type=float, help="the fragmenter's pattern region; half of it is left "
                        "free in holes for the runs (default: 8 times the filter and 2 GiB)")
    parser.add_argument("--job-rows", nargs="+", type=int, default=JOB_ROWS,
                        help="rows tested after the load in the whole job, in blocks of the smallest")
    parser.add_argument("--cache-gib", type=int, default=4,
                        help="GiB of files read into the page cache before each run on fragmented memory")
    parser.add_argument("--hold-gib", type=float,
                        help="the most the fragmenter holds in 2 MiB pages, and the most that is touched once "
                             "before the runs (default: all free memory)")
    args = parser.parse_args()
    if args.processes < 1 or not 23 <= args.log2 <= 36 or not all(21 <= s <= 36 for s in args.steady):
        parser.error("--processes takes 1 or more, --log2 23 to 36, --steady 21 to 36")
    args.job_rows = sorted(set(args.job_rows))
    if any(n % args.job_rows[0] for n in args.job_rows) or args.job_rows[0] < 2:
        parser.error("--job-rows takes multiples of the smallest, which is 2 or more")
    if ("load and test" in args.ops) != ("configure and test" in args.ops):
        parser.error("--ops takes the whole job's two operations together: load and test, configure and test")
    pattern = int((args.fragment_gib or (8 * 2 ** (args.log2 - 3) + (2 << 30)) / 2**30) * 2**30)

    machine = settings()
    print(", ".join(f"{k} {v}" for k, v in machine.items()))
    print("advice bits: " + ", ".join(f"{bit} {name}" for bit, name in ADVICE.items()) + "; variants: "
          + "; ".join(f"{v} ({advice_name(v)})" for v in args.variants))
    count = sum(len(groups(op, args.variants)) for op, _ in jobs(args)) * args.processes * len(args.conditions)
    print(f"{count} runs in all", flush=True)
    started = time.perf_counter()
    BUILD.mkdir(parents=True, exist_ok=True)
    folders = {}
    for advice in args.variants:
        print(f"building advice {advice} into {BUILD / str(advice)}", flush=True)
        folders[advice] = build_variant(advice)
    report = {"machine": machine, "args": vars(args), "conditions": {}}
    hold = int(args.hold_gib * 2**30) if args.hold_gib else 2**62
    warmed = json.loads(run_role("_warm", hold))
    print(f"touched {warmed['bytes'] / 2**30:.1f} GiB of free memory once, in {warmed['seconds']:.1f} s", flush=True)
    with tempfile.TemporaryDirectory(prefix="data-", dir=BUILD) as data:
        prepare_files(data, args.log2, args.rows, env=variant_env(folders[args.variants[0]]))
        cache = cache_files(data, args.cache_gib) if "fragmented" in args.conditions else []
        for condition in args.conditions:
            fragment = None
            if condition == "fragmented":
                for path in cache:
                    warm(path)
                fragment = FragmenterProcess(pattern, hold)
                first = fragment.build()
                print(f"\nthe fragmenter: a pattern of {first['pattern'] / 2**30:.1f} GiB, half of it given back in "
                      f"4 KiB holes; {first['held'] / 2**30:.1f} GiB held in 2 MiB pages, stopped by "
                      f"{first['stopped by']}; {first['seconds']:.1f} s. Then {first['free blocks'] / 2**20:.0f} MiB "
                      f"in free blocks, {first['free pieces'] / 2**20:.0f} MiB in smaller pieces and "
                      f"{first['per-CPU lists'] / 2**20:.0f} MiB in\nper-CPU lists. /proc/buddyinfo before:\n"
                      f"{first['buddyinfo before']}and after:\n{first['buddyinfo after']}", end="", flush=True)
            try:
                results, whole, every = measure(condition, args, folders, data, fragment,
                                                cache if fragment else [])
            finally:
                if fragment:
                    fragment.close()
            report["conditions"][condition] = {"results": results, "whole job": whole, "runs": every}
            report["seconds"] = time.perf_counter() - started
            (BUILD / "results.json").write_text(json.dumps(report, indent=1) + "\n")
            if results:
                print_condition(condition, results, args.processes, args.log2)
            if whole:
                print_whole_job(f"{condition}: the whole job of a {2 ** (args.log2 - 3) / 2**20:g} MiB filter, "
                                f"from_bytes then tests of rows half absent, in each of {args.processes} fresh "
                                "processes per way;\nms, median / worst.", whole, args.job_rows)
    wholes = [c["whole job"] for c in report["conditions"].values() if c["whole job"]]
    if wholes and len(wholes[0]["load and test"]) > 1:
        report["choice"] = choose(wholes, args.job_rows)
        (BUILD / "results.json").write_text(json.dumps(report, indent=1) + "\n")
    print(f"\n{report['seconds'] / 60:.1f} minutes in all; every run in {BUILD / 'results.json'}")


if __name__ == "__main__":
    roles = {"_child": lambda op, log2, folder, rows, size, job_rows: child(
                 op, int(log2), folder, int(rows), int(size), [int(n) for n in job_rows.split(",")]),
             "_files": lambda log2, folder, rows: make_files(int(log2), folder, int(rows)),
             "_fragmenter": fragmenter, "_warm": lambda limit: touch_free_memory(int(limit))}
    if len(sys.argv) > 1 and sys.argv[1] in roles:
        roles[sys.argv[1]](*sys.argv[2:])
    else:
        main()
