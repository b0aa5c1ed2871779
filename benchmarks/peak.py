"""The extra peak memory of one operation on the 1 GiB filter, for run.py's
memory group: run in a fresh process as `peak.py OPERATION`, it sets up only
what the operation needs, resets the resident high-water mark, runs it once,
holding its result, and prints the mark's rise over the baseline as JSON."""
import gc
import json
import pickle
import sys
from pathlib import Path

import numpy as np

from run import K, SEED, WHOLE_LOG2, new_filter, random_rows


def vm_hwm_kib():
    line = next(line for line in Path("/proc/self/status").read_text().splitlines() if line.startswith("VmHWM:"))
    return int(line.split()[1])


def main(op):
    import woxbloomfilter as mod

    m, f = 1 << WHOLE_LOG2, new_filter(mod, WHOLE_LOG2)
    f.insert(random_rows(np.random.default_rng(SEED), 100_000))
    g = pickle.loads(pickle.dumps(f)) if op in ("union", "intersect") else None
    data = f.to_bytes() if op in ("from_bytes", "np.copyto") else None
    state = pickle.dumps(f) if op == "pickle.loads" else None
    if op in ("from_bytes", "pickle.loads", "np.copyto"):
        f = None
    run = {"to_bytes": lambda: f.to_bytes(), "from_bytes": lambda: mod.bloomfilter().from_bytes(data, K, m),
           "pickle.dumps": lambda: pickle.dumps(f), "pickle.loads": lambda: pickle.loads(state),
           "union": lambda: f.union(g), "intersect": lambda: f.intersect(g),
           "np.copyto": lambda: np.copyto(np.empty(len(data), np.uint8), np.frombuffer(data, np.uint8))}[op]
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # VmHWM back to the present resident size
    baseline = vm_hwm_kib()
    result = run()
    print(json.dumps({"extra_bytes": (vm_hwm_kib() - baseline) * 1024, "baseline_bytes": baseline * 1024}))
    del result


if __name__ == "__main__":
    main(sys.argv[1])
