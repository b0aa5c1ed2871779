"""The false-positive rate and the memory of fixed and growing filters as rows
arrive far past the first capacity, for docs/sizing.md.

Each filter is made by KeyedFilter.sized(N, 1 %): fixed, growing with the
defaults (growth 2, ratio 0.8), and growing with ratio 0.5. They take the
same random rows, up to 1000 N; at points a quarter of a doubling apart,
each tests PROBES rows never inserted, and the bits of the growing ones are
set against those of one filter sized for the rows so far. `make plots` runs
this in benchmarks/.venv, which has matplotlib, and writes
examples/growing.png.
"""
import sys
import warnings
from pathlib import Path

import numpy as np

from woxbloomfilter_tools import CapacityWarning, KeyedFilter, key_rows, parameters

N = 10_000
P = 0.01
TOP = 1000
PROBES = 200_000
OUT = Path(__file__).resolve().parent / "growing.png"
FILTERS = {
    "fixed": dict(),
    "growing: growth 2, ratio 0.8 (the defaults)": dict(growth=2),
    "growing: growth 2, ratio 0.5": dict(growth=2, ratio=0.5),
}


def main():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    warnings.simplefilter("ignore", CapacityWarning)
    rng = np.random.default_rng(2026)
    rows = key_rows(rng.integers(0, 2**63, size=(TOP * N, 2), dtype=np.int64))
    unseen = key_rows(rng.integers(0, 2**63, size=(PROBES, 2), dtype=np.int64))
    points = sorted({round(N * 2 ** (i / 4)) for i in range(int(4 * np.log2(TOP)) + 1)} | {TOP * N})

    fig, (rate_ax, memory_ax) = plt.subplots(2, 1, figsize=(8, 7.5), sharex=True, height_ratios=[3, 2])
    worst = {}
    for (name, growth), colour in zip(FILTERS.items(), ["tab:red", "tab:blue", "tab:green"]):
        keyed = KeyedFilter.sized(N, P, **growth)
        done, rates, memory = 0, [], []
        for upto in points:
            keyed.insert(rows[done:upto])
            done = upto
            rates.append(keyed.test(unseen).mean())
            memory.append(sum(layer.m for layer in keyed.status().layers) / parameters(upto, P)[1])
        rate_ax.plot(points, np.maximum(rates, 0.5 / PROBES), "o-", ms=3, color=colour, label=name)
        if growth:
            memory_ax.plot(points, memory, "o-", ms=3, color=colour, label=name)
            worst[name] = max(rates)
    rate_ax.axhline(P, color="k", ls="--", lw=1, label=f"p = {P:.0%}, the rate asked for")
    rate_ax.set_yscale("log")
    rate_ax.set_ylim(1e-3, 1.5)
    rate_ax.set_ylabel("false-positive rate, measured")
    title = f"KeyedFilter.sized({N:,}, {P}), up to {TOP * N:,} rows; {PROBES:,} unseen rows a point"
    rate_ax.set_title(title, fontsize=10)
    rate_ax.legend(fontsize=8, loc="center right")
    memory_ax.axhline(1, color="k", ls="--", lw=1, label="one filter sized for the rows so far")
    memory_ax.set_ylabel("bits, against one filter\nsized for the rows so far")
    memory_ax.set_xscale("log")
    memory_ax.set_xlabel("rows inserted")
    memory_ax.legend(fontsize=8, loc="upper right")
    for ax in (rate_ax, memory_ax):
        ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(OUT, dpi=110)
    highest = ", ".join(f"{name}: {rate:.3%}" for name, rate in worst.items())
    print(f"wrote {OUT}; the highest rate measured, {highest}")


if __name__ == "__main__":
    sys.exit(main())
