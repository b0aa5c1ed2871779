"""The woxbloom command line, measured against pyarrow alone, on Parquet files
of an int64 key, a string key of about 40 bytes and a float64 payload:

- `woxbloom build` against pyarrow reading the two key columns (target: at
  most 1.5 times its time);
- `woxbloom test -o out.parquet` against pyarrow reading the file and
  writing the same rows, those whose id is new (at most 1.5 times): the
  filter holds ids 0 to N - 1, the file tested ids N / 2 to 3 N / 2 - 1;
- the same from CSV to CSV, where the command writes every field as the
  text it had and makes the key's values from that text, against pyarrow
  reading the file as its own types and writing the new rows (no target:
  the price of keeping the text);
- the peak resident memory of `build` and of `test --present -o`, which
  writes every row, for --memory-rows files: it must not grow with the rows
  beyond the filter's own growth. The files have row groups of 2^20 rows,
  pyarrow's default, which is what pyarrow reads at a time: the command
  holds the row group at hand and the next one being read (and, writing,
  up to 64 MiB of kept rows and the row group being encoded). A file of one
  row group is read before the next is due, so 1 M rows show less than the
  bound that 10 M rows and more reach.

    .venv/bin/python benchmarks/cli.py                      # 20 M rows; 1 M, 10 M and 50 M for memory
    .venv/bin/python benchmarks/cli.py --rows 200000 --memory-rows 100000 200000 --repeat 1

Every run is a process of its own, timed from start to exit as a user would
time it, so both sides pay for starting Python and importing pyarrow; times
are the best of --repeat. Peak memory is the child's own ru_maxrss, from
wait4. Runs with the project's .venv, where the package, pyarrow and tqdm
are installed; the files go to --dir (kept, and reused by the next run) or
to a temporary directory.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pcsv
import pyarrow.parquet as pq

CLI = [sys.executable, "-m", "woxbloomfilter_tools"]
CHUNK = 1 << 20  # rows generated and written at a time: a row group each
TARGET = 1.5

BASELINE_READ = """
import sys
import pyarrow.parquet as pq
pq.read_table(sys.argv[1], columns=["id", "name"])
"""
# Filtered after reading: a filter given to read_table would skip the row
# groups of old ids by their statistics, and the command reads every row.
BASELINE_WRITE = """
import sys
import pyarrow.compute as pc
import pyarrow.parquet as pq
table = pq.read_table(sys.argv[1])
pq.write_table(table.filter(pc.greater_equal(table["id"], int(sys.argv[3]))), sys.argv[2])
"""

BASELINE_CSV = """
import sys
import pyarrow.compute as pc
import pyarrow.csv as pcsv
table = pcsv.read_csv(sys.argv[1])
pcsv.write_csv(table.filter(pc.greater_equal(table["id"], int(sys.argv[3]))), sys.argv[2])
"""


def make_csv(path, parquet):
    """The rows of the Parquet file `parquet` as CSV, a row group at a time."""
    if os.path.exists(path):
        return
    source = pq.ParquetFile(parquet)
    with pcsv.CSVWriter(path + ".part", source.schema_arrow) as out:
        for group in range(source.num_row_groups):
            out.write_table(source.read_row_group(group))
    os.replace(path + ".part", path)


def make_file(path, first, rows):
    """Rows of ids first .. first + rows - 1; the name of an id, the same in
    every file, is one of 4096 random prefixes of 25 to 45 letters, "/" and
    the id: about 43 bytes."""
    if os.path.exists(path):
        return
    rng = np.random.default_rng(0)
    letters = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz", np.uint8)
    prefixes = pa.array([letters[rng.integers(0, 26, rng.integers(25, 46))].tobytes().decode() for _ in range(4096)])
    schema = pa.schema([("id", pa.int64()), ("name", pa.string()), ("payload", pa.float64())])
    with pq.ParquetWriter(path + ".part", schema) as out:
        for start in range(first, first + rows, CHUNK):
            ids = pa.array(np.arange(start, min(start + CHUNK, first + rows), dtype=np.int64))
            taken = prefixes.take(pa.array(ids.to_numpy() * 2654435761 % len(prefixes)))
            names = pc.binary_join_element_wise(taken, pc.cast(ids, pa.string()), "/")
            out.write_table(pa.table([ids, names, pa.array(rng.random(len(ids)))], schema=schema))
    os.replace(path + ".part", path)


def run(command):
    """Seconds from start to exit, and the peak resident memory in bytes."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({child.returncode}): {child.stderr.read().decode()}")
    child.stderr.close()
    return seconds, usage.ru_maxrss * 1024


def best(command, repeat):
    return min(run(command)[0] for _ in range(repeat))


def filter_bytes(path):
    """The bytes of the filter's bits, every layer's: build makes growing filters."""
    from woxbloomfilter_tools import KeyedFilter

    return sum((layer.m + 7) // 8 for layer in KeyedFilter.load(path).status().layers)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=20_000_000, help="rows of the timed files (default 20 M)")
    parser.add_argument("--memory-rows", type=int, nargs="+", default=[1_000_000, 10_000_000, 50_000_000],
                        help="rows of the files whose peak memory is measured (default 1 M, 10 M and 50 M)")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs of each command, the best kept")
    parser.add_argument("--dir", help="where the files go, kept for the next run (default: a temporary directory)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        folder = args.dir or temporary
        os.makedirs(folder, exist_ok=True)
        n = args.rows
        data, new = os.path.join(folder, f"data-{n}.parquet"), os.path.join(folder, f"new-{n}.parquet")
        make_file(data, 0, n)
        make_file(new, n // 2, n)
        stored, out, kept = (os.path.join(folder, name) for name in ("f.wbf", "out.parquet", "kept.parquet"))

        print(f"{n:,} rows, best of {args.repeat}")
        print(f"{'':34} {'woxbloom':>9} {'pyarrow':>9} {'ratio':>6}  target")
        build = best([*CLI, "build", stored, data, "--key", "id,name", "--quiet"], args.repeat)
        read = best([sys.executable, "-c", BASELINE_READ, data], args.repeat)
        test = best([*CLI, "test", stored, new, "-o", out, "--quiet"], args.repeat)
        write = best([sys.executable, "-c", BASELINE_WRITE, new, kept, str(n)], args.repeat)
        new_csv, out_csv, kept_csv = (os.path.join(folder, name) for name in (f"new-{n}.csv", "out.csv", "kept.csv"))
        make_csv(new_csv, new)
        test_csv = best([*CLI, "test", stored, new_csv, "-o", out_csv, "--quiet"], args.repeat)
        write_csv = best([sys.executable, "-c", BASELINE_CSV, new_csv, kept_csv, str(n)], args.repeat)
        for what, ours, theirs, target in (("build / read the key columns", build, read, TARGET),
                                           ("test -o / read, write new rows", test, write, TARGET),
                                           ("CSV test -o CSV / the same in CSV", test_csv, write_csv, None)):
            verdict = "" if target is None else f"<= {target} " + ("met" if ours <= target * theirs else "MISSED")
            print(f"{what:34} {ours:8.2f}s {theirs:8.2f}s {ours / theirs:6.2f}  {verdict}")
        print(f"rows written: woxbloom {pq.ParquetFile(out).metadata.num_rows:,}, "
              f"pyarrow {pq.ParquetFile(kept).metadata.num_rows:,}")

        print(f"\n{'peak memory, MiB':16} {'rows':>12} {'filter':>8} {'build':>8} {'test':>8}   (less the filter)")
        for rows in args.memory_rows:
            path = os.path.join(folder, f"data-{rows}.parquet")
            make_file(path, 0, rows)
            _, built = run([*CLI, "build", stored, path, "--key", "id,name", "--quiet"])
            _, tested = run([*CLI, "test", stored, path, "--present", "-o", out, "--quiet"])
            size = filter_bytes(stored)
            mib = [value / 2**20 for value in (size, built, tested, built - size, tested - size)]
            print(f"{'':16} {rows:>12,} {mib[0]:8.1f} {mib[1]:8.1f} {mib[2]:8.1f}   ({mib[3]:.1f}, {mib[4]:.1f})")


if __name__ == "__main__":
    main()
