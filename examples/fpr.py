"""The false-positive rate, measured against its model, for docs/sizing.md.

For each number of bits per row from 1 to 20 and for a few k, a filter of
m = bits x n bits takes n rows, then tests a million rows never inserted; the
share that tests present is set against (1 - exp(-k n / m))^k. The best k at
each size (round(bits ln 2), what `parameters` picks) is measured too.
`make plots` runs this in benchmarks/.venv, which has matplotlib, and writes
examples/fpr.png.
"""
import math
import sys
from pathlib import Path

import numpy as np

from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import expected_fpr

N = 20_000
PROBES = 1_000_000
BITS_PER_ROW = range(1, 21)
KS = [1, 2, 4, 8]
OUT = Path(__file__).resolve().parent / "fpr.png"


def measured_fpr(k, m, seen, unseen):
    f = bloomfilter()
    f.configure(k, m)
    f.insert(seen)
    return sum(f.test(unseen)) / len(unseen)


def main():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rng = np.random.default_rng(2026)
    # Two int64 columns; the unseen rows have a first column the seen never have.
    seen = np.column_stack([rng.integers(0, 2**62, N), rng.integers(0, 2**62, N)])
    unseen = np.column_stack([rng.integers(2**62, 2**63, PROBES), rng.integers(0, 2**62, PROBES)])

    fig, ax = plt.subplots(figsize=(8, 5.2))
    dense = np.linspace(1, 20, 200)
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    worst = 0.0
    for k, colour in zip(KS, colours):
        ax.plot(dense, [(-math.expm1(-k / b)) ** k for b in dense], color=colour, lw=1, label=f"k = {k}, model")
        points = [(b, measured_fpr(k, b * N, seen, unseen)) for b in BITS_PER_ROW]
        ax.plot(*zip(*points), "o", color=colour, ms=4, label=f"k = {k}, measured")
        worst = max(worst, *(abs(p / expected_fpr(k, b * N, N) - 1) for b, p in points if p * PROBES >= 100))

    best = [(b, max(1, round(b * math.log(2)))) for b in BITS_PER_ROW]
    ax.plot(dense, np.exp(-dense * math.log(2) ** 2), "k--", lw=1, label="bound for k = bits ln 2: 0.6185^bits")
    ax.plot(
        [b for b, _ in best], [measured_fpr(k, b * N, seen, unseen) for b, k in best], "kx", ms=6,
        label="k = round(bits ln 2), measured",
    )

    ax.set_yscale("log")
    ax.set_ylim(1 / PROBES, 1)
    ax.set_xlim(0.5, 20.5)
    ax.set_xticks(range(2, 21, 2))
    ax.set_xlabel("bits per row, m / n")
    ax.set_ylabel("false-positive rate")
    ax.set_title(f"woxbloomfilter: {N:,} rows inserted, {PROBES:,} unseen rows tested per point")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(ncol=2, fontsize=8, loc="lower left")
    fig.tight_layout()
    fig.savefig(OUT, dpi=110)
    print(f"wrote {OUT}; measured within {worst:.1%} of the model where 100 or more rows tested present")


if __name__ == "__main__":
    sys.exit(main())
