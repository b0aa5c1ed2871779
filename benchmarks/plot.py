"""Draws results/throughput.png from results/results.json, the figures of the
last full run of run.py: ours against the floor, the 1 GiB filter against
np.copyto, and the peers. run.py calls it after a full run; `make plots` too."""
import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results"
BLUE, ORANGE, GREY = "#3a6ea5", "#e08a2c", "#9a9a9a"


def size(n):
    return f"{n / 2**30:g} GiB" if n >= 2**30 else f"{n / 2**20:g} MiB" if n >= 2**20 else f"{n / 2**10:g} KiB"


def floor_panel(ax, floor, k):
    labels = list(floor)
    x = np.arange(len(labels))
    for i, (op, color) in enumerate((("insert", BLUE), ("test", ORANGE))):
        ours = [floor[label][f"{op}_ns_per_row"] for label in labels]
        under = [floor[label]["floor"][f"{op}_ns_per_row"] for label in labels]
        pos = x + (i - 0.5) * 0.4
        ax.bar(pos, ours, 0.36, color=color, label=f"ours, {op}" + (" (half the rows absent)" if i else ""))
        ax.bar(pos, under, 0.36, color="none", edgecolor="black", hatch="//",
               label="the floor under each bar" if i else None)
        for p, o, u in zip(pos, ours, under):
            ax.text(p, o, f"{o / u:.2f}x", ha="center", va="bottom", fontsize=8)
    ax.set_xticks(x, [f"{label}\n{size(floor[label]['bits'] // 8)}" for label in labels])
    ax.set_yscale("log")
    lowest = min(floor[label]["floor"][f"{op}_ns_per_row"] for label in labels for op in ("insert", "test"))
    ax.set_ylim(bottom=lowest / 2)  # the shortest floor bar stays visible
    ax.set_ylabel("ns per row (median, log scale)")
    ax.legend(fontsize=8)
    ax.set_title(f"Ours against the floor: the fastest way to do k = {k} random one-bit accesses a row", fontsize=10)


def ms(entry):
    # Results of runs before the medians were stored hold the runs alone.
    return entry.get("ms") or float(np.median(entry["seconds"])) * 1e3


def whole_panel(ax, whole, memory):
    """The byte form's calls, median and worst over fresh processes, against
    the worst ndarray.tobytes() of the same processes; the set operations
    against np.copyto. Results of runs before the fresh processes hold every
    call in "operations", against np.copyto."""
    fresh = whole.get("fresh", {})
    names = [*fresh, *whole["operations"]]
    medians = [fresh[n]["median_ms"] if n in fresh else ms(whole["operations"][n]) for n in names]
    copy = ms(whole["copyto"])
    tobytes = max((e["tobytes_worst_ms"] for e in fresh.values()), default=None)
    y = np.arange(len(names))
    ax.barh(y, medians, color=BLUE, label="median")
    worst = [fresh[n]["worst_ms"] if n in fresh else np.nan for n in names]
    ax.scatter(worst, y, color=ORANGE, marker="|", s=200, zorder=3, label="worst of the fresh processes")
    ax.axvline(copy, color="black", ls="--", lw=1, label=f"np.copyto into fresh memory: {copy:.0f} ms")
    if tobytes:
        ax.axvline(tobytes, color=GREY, ls="-.", lw=1, label=f"ndarray.tobytes(), worst: {tobytes:.0f} ms")
    peaks = (memory or {}).get("operations", {})
    for yi, n, v, w in zip(y, names, medians, worst):
        peak = f", extra peak {peaks[n]['ratio']:.2f}x the filter" if "ratio" in peaks.get(n, {}) else ""
        text = f"worst {fresh[n]['worst_ratio']:.2f}x tobytes' worst" if n in fresh else f"{v / copy:.2f}x copyto"
        ax.text(np.nanmax([v, w]), yi, f" {text}{peak}", va="center", fontsize=8)
    ax.set_yticks(y, names)
    ax.invert_yaxis()
    ax.set_xscale("log")
    shown = [*medians, *[w for w in worst if not np.isnan(w)], copy, *([tobytes] if tobytes else [])]
    ax.set_xlim(min(shown) / 2, max(shown) * 12)  # room for the labels
    ax.set_xlabel("ms (log scale)")
    ax.legend(fontsize=8, loc="lower right")
    ax.set_title(f"The {size(whole['filter_bytes'])} filter: byte form and pickles in fresh processes, set operations",
                 fontsize=10)


def peers_panel(ax, label, res):
    libs = res["libraries"]
    names = list(libs)
    x = np.arange(len(names))
    for dx, key, color, alpha, text in ((-0.3, "insert_rows_per_s", BLUE, 1, "insert, call alone"),
                                        (-0.1, "insert_with_keys_rows_per_s", BLUE, 0.45, "insert with key building"),
                                        (0.1, "test_rows_per_s", ORANGE, 1, "test, call alone"),
                                        (0.3, "test_with_keys_rows_per_s", ORANGE, 0.45, "test with key building")):
        values = [libs[n].get(key, libs[n].get(key.replace("_with_keys", ""), np.nan)) for n in names]
        ax.bar(x + dx, values, 0.2, color=color, alpha=alpha, label=text)
    ax.axhline(res["key_building"]["insert_rows_per_s"], color=GREY, ls="--", lw=1, label="key building alone")
    ax.set_yscale("log")
    ax.set_xticks(x, names, rotation=15, ha="right")
    ax.set_ylabel("rows per second (median, log scale)")
    ax.set_title(f"Peers at {label} ({size(res['bits'] // 8)}): {res['rows_inserted']:,} rows", fontsize=10)
    ax.grid(axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=7, loc="upper right")


def main():
    report = json.loads((RESULTS / "results.json").read_text())
    fig, axes = plt.subplots(2, 2, figsize=(14, 10))
    floor_panel(axes[0, 0], report["floor"], report["k"])
    whole_panel(axes[0, 1], report["whole"], report.get("memory"))
    for ax, (label, res) in zip(axes[1], report["peers"].items()):
        peers_panel(ax, label, res)
    m = report["machine"]
    cpu = m.get("cpu_model_name") or m.get("cpu")
    family = "/".join(str(v) for v in m["cpu_family_model_stepping"][:2])
    thp = m["transparent_hugepage"]
    fig.suptitle(f"woxbloomfilter, (N, 4) int32 rows, k = {report['k']}: {cpu} (family/model {family}), "
                 f"hash path {report.get('hash_path')}, THP {thp.get('enabled') if isinstance(thp, dict) else thp}, "
                 f"Python {m.get('python_version') or m.get('python')}", fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(RESULTS / "throughput.png", dpi=110)
    print(f"wrote {RESULTS / 'throughput.png'}")


if __name__ == "__main__":
    main()
