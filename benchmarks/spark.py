"""Filters on Spark (local[2]): spark_build and spark_test against Spark's
own Bloom filter, DataFrame.stat.bloomFilter, and against the woxbloom
command line in one process, on the same Parquet files.

The data: --rows rows of a 40-byte string ("text", the SHA-1 in hex of the
row's number) and an int64 ("number", distinct), made by Spark and written
to Parquet; then as many rows tested, half of them rows of the table and
half absent, with a column "absent" that says which. Both filters are sized
for the rows at 1 %.

Spark's own filter takes one column, so it gets xxhash64(text, number), the
64-bit hash Spark's own runtime filters use for such keys. It is tested in
bulk with the expression behind Spark's might_contain, built over py4j, as
the fastest way Spark allows from Python (a test a row through py4j takes
about 160 us).

build: the filter made from the Parquet files, to the driver.
test: every tested row answered, counted by a Spark aggregate: the rows that
test present among the absent ones give the false-positive rate; an inserted
row that tests absent would be a false negative, and stops the run.
cpu: the processor time of the JVM and of its Python workers over the same
run, a figure that a busy machine changes less than the time.
memory: the peak resident size of the JVM (driver and executor in one, in
local mode), the sum of the peaks of the Python worker processes, and the
peak of the driver's Python process, over all the runs of a contender.
floor: what any filter on Spark pays before its own work: the key columns
read by the JVM, and also handed to Python workers as Arrow batches; the
tested rows read and counted, and also through the workers and back with a
constant answer. mapInArrow's route costs the JVM about as much as Spark's
own filter costs in all, so 0.5 times Spark's own is below this floor.
partials: spark_build of the same files read in --many partitions, with the
budget for the partial filters unbounded and bounded (the default, one
filter per core, and four filters' worth): the time and memory each takes.

Each contender, and each budget, runs in a process of its own, with a JVM
of its own, after one run that warms it up; the figures are the best of
--repeat runs. A run at the default size writes results/spark.json.
"""
import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import woxbloomfilter_tools as tools

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
DEFAULT_ROWS = 10_000_000
FP_RATE = 0.01
KEY = ["text", "number"]
# Distinct numbers for distinct rows, spread out; no overflow below 3 billion rows.
SCRAMBLE = 2654435761


# --- processes -----------------------------------------------------------------

TICK = os.sysconf("SC_CLK_TCK")


def parents():
    """{pid: parent pid} of every process."""
    found = {}
    for entry in os.scandir("/proc"):
        if entry.name.isdigit():
            try:
                stat = Path(entry.path, "stat").read_text()
            except OSError:
                continue
            found[int(entry.name)] = int(stat.rsplit(")", 1)[1].split()[1])
    return found


def descendants(root):
    tree = parents()
    out, frontier = [], [root]
    while frontier:
        pid = frontier.pop()
        kids = [child for child, parent in tree.items() if parent == pid]
        out += kids
        frontier += kids
    return out


def status(pid, field):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def cpu_seconds(pid):
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICK


class Watch:
    """The JVM and its Python workers (the daemon and the processes it forks),
    sampled every 0.1 s: each worker's peak resident size and processor time
    are kept after it exits."""

    def __init__(self, jvm):
        self.jvm, self.peaks, self.cpu = jvm, {}, {}
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def watch(self):
        while not self.done.wait(0.1):
            self.sample()

    def sample(self):
        for pid in descendants(self.jvm):
            self.peaks[pid] = max(self.peaks.get(pid, 0), status(pid, "VmHWM"))
            self.cpu[pid] = max(self.cpu.get(pid, 0.0), cpu_seconds(pid))

    def cpu_now(self):
        """Processor seconds of the JVM and of the workers so far."""
        self.sample()
        return cpu_seconds(self.jvm), sum(self.cpu.values())

    def memory(self):
        self.done.set()
        self.thread.join()
        self.sample()
        return {"jvm_bytes": status(self.jvm, "VmHWM"), "python_workers_bytes": sum(self.peaks.values()),
                "driver_python_bytes": status(os.getpid(), "VmHWM")}


def timed(run, repeat, watch):
    """One run to warm up, then repeat runs: {seconds, jvm_cpu, workers_cpu}
    of the fastest, and its result."""
    result = run()
    best = None
    for _ in range(repeat):
        jvm, workers = watch.cpu_now()
        start = time.perf_counter()
        result = run()
        seconds = time.perf_counter() - start
        jvm_after, workers_after = watch.cpu_now()
        if best is None or seconds < best["seconds"]:
            best = {"seconds": seconds, "jvm_cpu": jvm_after - jvm, "workers_cpu": workers_after - workers}
    return best, result


# --- the session and the data ------------------------------------------------

def session(memory):
    os.environ["PYSPARK_PYTHON"] = sys.executable
    from pyspark.sql import SparkSession

    spark = (
        SparkSession.builder.master("local[2]").appName("woxbloomfilter benchmark")
        .config("spark.driver.memory", memory)
        .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.session.timeZone", "UTC")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    return spark, Watch(spark.sparkContext._gateway.proc.pid)


def write_data(spark, rows, folder):
    """The table, and the rows to test: numbers rows/2 .. 3 rows/2, so that
    half are the table's."""
    from pyspark.sql import functions as F

    def frame(first, count):
        ids = spark.range(first, first + count, numPartitions=16)
        number = F.col("id") * F.lit(SCRAMBLE)
        return ids.select(F.sha1(F.col("id").cast("string")).alias("text"), number.alias("number"),
                          (F.col("id") >= rows).alias("absent"))

    frame(0, rows).drop("absent").write.parquet(str(folder / "table"))
    frame(rows // 2, rows).write.parquet(str(folder / "probe"))


def counted(answered, maybe):
    """(absent rows that test present, absent rows, inserted rows that test absent)."""
    from pyspark.sql import functions as F

    row = answered.agg(
        F.count_if(maybe & F.col("absent")).alias("false_positives"),
        F.count_if(F.col("absent")).alias("absent"),
        F.count_if(~maybe & ~F.col("absent")).alias("false_negatives"),
    ).first()
    return row.false_positives, row.absent, row.false_negatives


# --- the contenders, each in a process of its own -----------------------------

def ours(spark, watch, folder, rows, repeat):
    from pyspark.sql import functions as F

    table = spark.read.parquet(str(folder / "table"))
    probe = spark.read.parquet(str(folder / "probe"))
    build, f = timed(lambda: tools.spark_build(table, KEY, n=rows, p=FP_RATE), repeat, watch)
    test, counts = timed(lambda: counted(tools.spark_test(f, probe), F.col("maybe")), repeat, watch)
    return build, test, counts, {"bits": f.filter.get_m(), "k": f.filter.get_k()}


def spark_own(spark, watch, folder, rows, repeat):
    from pyspark.sql import functions as F
    from pyspark.sql.classic.column import Column

    table = spark.read.parquet(str(folder / "table"))
    probe = spark.read.parquet(str(folder / "probe"))
    hashed = F.xxhash64(*KEY)
    build, bloom = timed(lambda: table._jdf.stat().bloomFilter(hashed._jc, rows, FP_RATE), repeat, watch)
    jvm = spark.sparkContext._jvm
    out = jvm.java.io.ByteArrayOutputStream()
    bloom.writeTo(out)
    expressions = jvm.org.apache.spark.sql.catalyst.expressions
    to_expression = jvm.org.apache.spark.sql.classic.ExpressionUtils
    might = expressions.BloomFilterMightContain(
        to_expression.expression(F.lit(out.toByteArray())._jc), to_expression.expression(hashed._jc))
    test, counts = timed(lambda: counted(probe, Column(to_expression.column(might))), repeat, watch)
    return build, test, counts, {"bits": bloom.bitSize(), "bytes": out.size()}


def floor(spark, watch, folder, rows, repeat):
    """What any filter on Spark pays before its own work: the key columns
    read and decoded by the JVM, then also handed to Python workers as Arrow
    batches that are dropped (the build's route); the tested rows read and
    counted, then also through the workers and back with a constant answer
    (the test's route)."""
    import pyarrow as pa
    from pyspark.sql import functions as F
    from pyspark.sql.types import BooleanType, StructField, StructType

    table = spark.read.parquet(str(folder / "table")).select(*KEY)
    probe = spark.read.parquet(str(folder / "probe"))

    def dropped(batches):
        for _ in batches:
            pass
        return iter(())

    def answered(batches):
        for batch in batches:
            yield batch.append_column("maybe", pa.array(np.ones(batch.num_rows, bool)))

    answered_schema = StructType([*probe.schema.fields, StructField("maybe", BooleanType(), False)])
    out = {}
    out["read"], _ = timed(lambda: table.write.format("noop").mode("overwrite").save(), repeat, watch)
    out["read, to Python"], _ = timed(
        lambda: table.mapInArrow(dropped, "none int").write.format("noop").mode("overwrite").save(), repeat, watch)
    out["read, counted"], _ = timed(lambda: counted(probe, F.lit(True)), repeat, watch)
    out["read, through Python, counted"], _ = timed(
        lambda: counted(probe.mapInArrow(answered, answered_schema), F.col("maybe")), repeat, watch)
    return out


def partials(spark, watch, folder, rows, many, budget):
    """spark_build over `many` input partitions, within `budget` bytes."""
    size = (tools.parameters(rows, FP_RATE)[1] + 7) // 8
    total = sum(p.stat().st_size for p in (folder / "table").glob("*.parquet"))
    spark.conf.set("spark.sql.files.maxPartitionBytes", str(max(total // many, 1 << 20)))
    table = spark.read.parquet(str(folder / "table"))
    build, _ = timed(lambda: tools.spark_build(table, KEY, n=rows, p=FP_RATE, budget=budget), 1, watch)
    partitions = table.rdd.getNumPartitions()
    most = spark.sparkContext.defaultParallelism if budget is None else max(1, budget // size)
    return {**build, "partitions": partitions, "filter_bytes": size, "build_tasks": min(partitions, most)}


def child(args):
    spark, watch = session(args.memory)
    folder = Path(args.folder)
    try:
        if args.child == "write":
            write_data(spark, args.rows, folder)
            out = {}
        elif args.child == "partials":
            out = partials(spark, watch, folder, args.rows, args.many, args.budget)
        elif args.child == "floor":
            out = floor(spark, watch, folder, args.rows, args.repeat)
        else:
            run = ours if args.child == "woxbloomfilter" else spark_own
            build, test, (false_positives, absent, false_negatives), filter_ = run(
                spark, watch, folder, args.rows, args.repeat)
            out = {"build": build, "test": test, "fpr": false_positives / absent,
                   "false_negatives": false_negatives, "filter": filter_}
        out["memory"] = watch.memory()
    finally:
        spark.stop()
    print(json.dumps(out))


def in_child(args, *more):
    command = [sys.executable, __file__, "--rows", str(args.rows), "--repeat", str(args.repeat),
               "--memory", args.memory, "--many", str(args.many), *more]
    out = subprocess.run(command, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"{' '.join(more)} failed:\n{out.stderr[-5000:]}")
    return json.loads(out.stdout.splitlines()[-1])


def command_line(folder, repeat):
    """woxbloom build and test in one process, from the same files: the
    fastest of repeat runs each."""
    def seconds(*args):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "woxbloomfilter_tools", *args, "--quiet"], check=True,
                       capture_output=True, cwd=folder)
        return time.perf_counter() - start

    build = min(seconds("build", "cli.wbf", "table", "--key", ",".join(KEY)) for _ in range(repeat))
    test = min(seconds("test", "cli.wbf", "probe") for _ in range(repeat))
    return {"build_seconds": build, "test_seconds": test}


# --- the report --------------------------------------------------------------

def mib(n):
    return f"{n / 2**20:,.0f} MiB"


def cpu(run):
    return f"{run['jvm_cpu']:.1f} + {run['workers_cpu']:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=DEFAULT_ROWS)
    parser.add_argument("--repeat", type=int, default=3, help="timed runs of each phase, after one to warm up")
    parser.add_argument("--many", type=int, default=128, help="input partitions for the partials' memory")
    parser.add_argument("--memory", default="4g", help="the JVM's heap (spark.driver.memory)")
    parser.add_argument("--quick", action="store_true", help="200,000 rows, one timed run: a smoke test")
    parser.add_argument("--child", choices=["write", "woxbloomfilter", "spark", "floor", "partials"], help=argparse.SUPPRESS)
    parser.add_argument("--folder", help=argparse.SUPPRESS)
    parser.add_argument("--budget", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.rows, args.repeat, args.many = 200_000, 1, 16
    if args.child:
        return child(args)
    if shutil.which("java") is None:
        sys.exit("spark.py needs a Java runtime (17 or later): apt-get install default-jre-headless")

    folder = Path(tempfile.mkdtemp(prefix="wox-spark-"))
    try:
        start = time.perf_counter()
        in_child(args, "--child", "write", "--folder", str(folder))
        print(f"{args.rows:,} rows and as many to test, written to Parquet in {time.perf_counter() - start:.1f} s",
              flush=True)
        results = {name: in_child(args, "--child", name, "--folder", str(folder))
                   for name in ("spark", "woxbloomfilter", "floor")}
        results["woxbloom command line"] = command_line(folder, args.repeat)
        size = (tools.parameters(args.rows, FP_RATE)[1] + 7) // 8
        budgets = {"unbounded": ["--budget", str(1 << 50)], "4 filters": ["--budget", str(4 * size)],
                   "a core each (default)": []}
        results["partials"] = {name: in_child(args, "--child", "partials", "--folder", str(folder), *budget)
                               for name, budget in budgets.items()}
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for name in ("spark", "woxbloomfilter"):
        if results[name]["false_negatives"]:
            sys.exit(f"{name}: {results[name]['false_negatives']:,} inserted rows tested absent")

    print(f"\n{args.rows:,} rows, key (40-byte string, int64), p = {FP_RATE:.0%}, local[2], heap {args.memory}, "
          f"best of {args.repeat}; processor seconds of the JVM + the Python workers")
    print(f"{'':24}{'build':>9}{'cpu':>13}{'test':>9}{'cpu':>13}{'fp rate':>9}{'JVM peak':>11}{'workers':>10}")
    for name in ("spark", "woxbloomfilter"):
        r = results[name]
        print(f"{name:24}{r['build']['seconds']:8.2f}s{cpu(r['build']):>13}{r['test']['seconds']:8.2f}s"
              f"{cpu(r['test']):>13}{r['fpr']:9.2%}{mib(r['memory']['jvm_bytes']):>11}"
              f"{mib(r['memory']['python_workers_bytes']):>10}")
    cli = results["woxbloom command line"]
    print(f"{'woxbloom, one process':24}{cli['build_seconds']:8.2f}s{'':13}{cli['test_seconds']:8.2f}s")
    ours_r, own_r = results["woxbloomfilter"], results["spark"]
    print(f"\nbuild {ours_r['build']['seconds'] / own_r['build']['seconds']:.2f}x Spark's own, "
          f"test {ours_r['test']['seconds'] / own_r['test']['seconds']:.2f}x (targets: 0.5x or less); "
          f"Spark's own filter has {own_r['filter']['bits']:,} bits and meets {own_r['fpr']:.2%} "
          f"for {FP_RATE:.0%} asked; ours {ours_r['filter']['bits']:,} bits, k = {ours_r['filter']['k']}")
    print("\nthe floor, what a filter on Spark pays before its own work:")
    for name, run in results["floor"].items():
        if name != "memory":
            print(f"  {name:32}{run['seconds']:7.2f}s{cpu(run):>13}")
    first = next(iter(results["partials"].values()))
    print(f"\npartial filters of {mib(first['filter_bytes'])} each, the table read in {first['partitions']} partitions:")
    for name, run in results["partials"].items():
        print(f"  budget {name:22} {run['build_tasks']:4} build tasks {run['seconds']:7.2f}s  "
              f"JVM {mib(run['memory']['jvm_bytes']):>10}  Python workers {mib(run['memory']['python_workers_bytes']):>10}")
    if args.rows == DEFAULT_ROWS and not args.quick:
        RESULTS.mkdir(exist_ok=True)
        results["machine"] = {"processor": platform.processor() or platform.machine(), "cpus": os.cpu_count()}
        (RESULTS / "spark.json").write_text(json.dumps(results, indent=1) + "\n")
        print(f"written: {RESULTS / 'spark.json'}")


if __name__ == "__main__":
    main()
