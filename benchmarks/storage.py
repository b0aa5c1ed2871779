"""Stored filters, measured: save and load against the plain byte form
(to_bytes + write, read + from_bytes), fill and estimated_rows against the
count they made before, and one filter shared among worker processes.

    .venv/bin/python benchmarks/storage.py                # 256 MiB and 1 GiB filters
    .venv/bin/python benchmarks/storage.py --sizes 64 --repeat 2
    .venv/bin/python benchmarks/storage.py --share        # fork, spawn and Dask's scatter

Each call runs in a child process of its own, which says when it is ready
and when it is done; this process samples the child's /proc/PID/status in
between, since the call holds the child's interpreter lock. The calls that
are compared take turns, run by run. "Anonymous" is
the highest RssAnon above the level before the call: memory of the process
alone. "RSS" is VmHWM above VmRSS before the call (the child resets its
high-water mark first), which counts file pages mapped from the page cache
too. Times are the best of --repeat runs. Loads read files that were just
written, from the page cache. Runs with the project's .venv, where the module
and woxbloomfilter_tools are installed.
"""

import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

CHILD = r"""
import json, os, pickle, sys, time
import numpy as np
from woxbloomfilter import bloomfilter
import woxbloomfilter_tools as tools

call, size, folder, repeat = sys.argv[1], int(sys.argv[2]) << 20, sys.argv[3], int(sys.argv[4])
stored, raw = os.path.join(folder, "filter.wbf"), os.path.join(folder, "filter.raw")
k, m = 7, size * 8


def made():
    f = bloomfilter()
    f.from_bytes(np.random.default_rng(1).bytes(size), k, m)
    return f


def plain_write(sync):
    data = f.to_bytes()
    with open(raw, "wb") as out:
        out.write(data)
        if sync:
            out.flush()
            os.fsync(out.fileno())


def plain_read():
    g = bloomfilter()
    with open(raw, "rb") as source:
        g.from_bytes(source.read(), k, m)
    return g


def count_before():
    # What fill and estimated_rows did before counting in pieces.
    return int(np.bitwise_count(np.frombuffer(f.to_bytes(), dtype=np.uint8)).sum(dtype=np.int64))


CALLS = {
    "make files": lambda: (tools.save(f, stored), plain_write(True)),
    "save": lambda: tools.save(f, stored),
    "to_bytes + write": lambda: plain_write(False),
    "to_bytes + write + fsync": lambda: plain_write(True),
    "load": lambda: tools.load(stored),
    "read + from_bytes": plain_read,
    "fill": lambda: tools.fill(f),
    "estimated_rows": lambda: tools.estimated_rows(f),
    "count as before": count_before,
}
f = made() if not call.startswith(("load", "read")) else None
for _ in range(repeat):
    print("ready", flush=True)
    sys.stdin.readline()
    with open("/proc/self/clear_refs", "w") as peak:
        peak.write("5")  # resets VmHWM to the present RSS
    start = time.perf_counter()
    result = CALLS[call]()
    seconds = time.perf_counter() - start
    # Untimed: what a write without fsync left dirty must not slow the next call down.
    os.sync()
    print(json.dumps({"seconds": seconds}), flush=True)
    sys.stdin.readline()
    del result
"""


def sizes(path):
    """The fields in kB of a file of /proc (status, smaps_rollup), in bytes."""
    fields = {}
    with open(path) as lines:
        for line in lines:
            name, _, value = line.partition(":")
            if value.strip().endswith("kB"):
                fields[name] = int(value.split()[0]) * 1024
    return fields


def status(pid):
    return sizes(f"/proc/{pid}/status")


def run_once(child):
    """One call in a waiting child: (seconds, extra anonymous memory at the
    peak, extra RSS at the peak)."""
    assert child.stdout.readline() == "ready\n"
    before = status(child.pid)
    child.stdin.write("go\n")
    child.stdin.flush()
    anonymous = before["RssAnon"]
    # A sample every millisecond or so: often enough to see a copy of the
    # filter, seldom enough to leave the child its CPU.
    while not select.select([child.stdout], [], [], 0.001)[0]:
        anonymous = max(anonymous, status(child.pid)["RssAnon"])
    seconds = json.loads(child.stdout.readline())["seconds"]
    after = status(child.pid)
    child.stdin.write("next\n")
    child.stdin.flush()
    return seconds, max(anonymous, after["RssAnon"]) - before["RssAnon"], after["VmHWM"] - before["VmRSS"]


def measure(calls, size_mib, folder, repeat):
    """For each call, (best seconds, highest extra anonymous memory, highest
    extra RSS). The calls take turns, one child each, so that a spell of a
    busy machine falls on all of them alike."""
    children = [
        subprocess.Popen(
            [sys.executable, "-c", CHILD, call, str(size_mib), folder, str(repeat)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        for call in calls
    ]
    runs = [[] for _ in calls]
    try:
        for _ in range(repeat):
            for child, done in zip(children, runs):
                done.append(run_once(child))
        for child in children:
            child.wait(timeout=600)
    finally:
        for child in children:
            child.kill()
            child.wait()
    return [(min(r[0] for r in done), max(r[1] for r in done), max(r[2] for r in done)) for done in runs]


GROUPS = [
    ["save", "to_bytes + write", "to_bytes + write + fsync"],
    ["load", "read + from_bytes"],
    ["fill", "estimated_rows", "count as before"],
]


def storage(sizes, repeat, folder):
    for size in sizes:
        measure(["make files"], size, folder, 1)
        print(f"\n{size} MiB filter (m = {size << 23:,} bits), best of {repeat}")
        print(f"| {'call':<26} | {'ms':>7} | {'anonymous, x filter':>19} | {'RSS, x filter':>13} |")
        print(f"|{'-' * 28}|{'-' * 9}|{'-' * 21}|{'-' * 15}|")
        mib = size << 20
        for calls in GROUPS:
            for call, (seconds, anonymous, rss) in zip(calls, measure(calls, size, folder, repeat)):
                row = f"| {call:<26} | {seconds * 1e3:7.0f} | {anonymous / mib:19.2f} | {rss / mib:13.2f} |"
                print(row, flush=True)


# One filter among processes: a parent that loads it and forks its workers,
# workers spawned to load their own copies, and Dask's scatter.
def private_memory():
    fields = sizes("/proc/self/smaps_rollup")
    return fields["Private_Clean"] + fields["Private_Dirty"], fields["Rss"]


SHARED = {}


def load_into_worker(path):
    import woxbloomfilter_tools as tools

    SHARED["filter"] = tools.load(path)


def work(insert):
    """Tests 100,000 rows in the worker's filter, after inserting 10,000 of
    them when asked; its private and resident memory afterwards."""
    import numpy as np

    rows = np.random.default_rng(os.getpid()).integers(0, 2**62, (100_000, 2))
    if insert:
        SHARED["filter"].insert(rows[:10_000])
    SHARED["filter"].test(rows)
    return private_memory()


def share(size_mib, workers, folder):
    import multiprocessing

    import numpy as np

    import woxbloomfilter_tools as tools
    from woxbloomfilter import bloomfilter

    path = os.path.join(folder, "shared.wbf")
    f = bloomfilter()
    f.from_bytes(np.random.default_rng(2).bytes(size_mib << 20), 7, size_mib << 23)
    tools.save(f, path)
    del f
    mib = 1 << 20
    print(f"\n{size_mib} MiB filter, {workers} workers each testing 100,000 rows; MiB per worker")
    print("| how | private | resident |")
    print("|---|---|---|")
    for how, insert in [("fork after load", False), ("fork after load, 10,000 rows inserted", True),
                        ("spawn, each worker loads", False)]:
        if how.startswith("fork"):
            load_into_worker(path)
            pool = multiprocessing.get_context("fork").Pool(workers)
        else:
            SHARED.clear()
            pool = multiprocessing.get_context("spawn").Pool(workers, load_into_worker, (path,))
        with pool:
            # One task per worker: the pool hands a task to each idle worker.
            results = pool.map(work, [insert] * workers, chunksize=1)
        private = max(r[0] for r in results) / mib
        resident = max(r[1] for r in results) / mib
        print(f"| {how} | {private:.0f} | {resident:.0f} |", flush=True)
    SHARED.clear()
    dask_scatter(path, workers)


def worker_memory():
    return sizes("/proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as peak:
        peak.write("5")


def dask_scatter(path, workers):
    from distributed import Client, LocalCluster, wait

    import woxbloomfilter_tools as tools

    f = tools.load(path)
    size = (f.get_m() + 7) // 8
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            client.run(reset_peak)
            before = client.run(worker_memory)
            start = time.perf_counter()
            shipped = client.scatter(f, broadcast=True)
            wait(shipped)
            seconds = time.perf_counter() - start
            after = client.run(worker_memory)
    held = max(after[w]["VmRSS"] - before[w]["VmRSS"] for w in after) / size
    peak = max(after[w]["VmHWM"] - before[w]["VmRSS"] for w in after) / size
    print(f"\nDask scatter(broadcast=True) to {workers} worker processes: {seconds:.2f} s; per worker, "
          f"resident afterwards +{held:.2f} x the filter, at the peak +{peak:.2f} x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[256, 1024], help="filter sizes in MiB")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--share", action="store_true", help="measure sharing among processes instead")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--dir", default=None, help="where the files go (default: the temporary directory)")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="wox-storage-", dir=args.dir)
    try:
        if args.share:
            share(args.sizes[0], args.workers, folder)
        else:
            storage(args.sizes, args.repeat, folder)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
