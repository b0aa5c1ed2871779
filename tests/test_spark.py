"""Filters built and tested on Spark, on one local[2] session for the module:
the same bits and answers as one process for tables of every key type, the
same key rows as pyarrow, polars and pandas give, stored filters that cross
between Spark and the woxbloom command line through Parquet, a filter loaded
once per Python worker, and each refusal said before any job runs."""
import datetime
import decimal
import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from pyspark.sql.functions import col

import woxbloomfilter_tools as tools
from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import KeyedFilter, KeyMismatch, key_rows

JAVA = shutil.which("java")
if JAVA is None and os.environ.get("CI") == "true":
    pytest.fail("Spark needs a Java runtime, and CI must run its tests: .ci/run installs default-jre-headless",
                pytrace=False)
pytestmark = pytest.mark.skipif(
    JAVA is None, reason="Spark needs a Java runtime (17 or later), and java is not on PATH: "
                         "apt-get install default-jre-headless"
)

RNG = np.random.default_rng(20261209)


@pytest.fixture(scope="module")
def spark():
    from pyspark.cloudpickle import register_pickle_by_value
    from pyspark.sql import SparkSession

    # The workers run this interpreter, whose packages they need; the
    # functions of this module travel by value, as the workers cannot
    # import it.
    before = os.environ.get("PYSPARK_PYTHON")
    os.environ["PYSPARK_PYTHON"] = sys.executable
    register_pickle_by_value(sys.modules[__name__])
    session = (
        SparkSession.builder.master("local[2]").appName("woxbloomfilter tests")
        .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.session.timeZone", "UTC")  # the name pyarrow gives UTC
        .config("spark.sql.shuffle.partitions", "4")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    try:
        yield session
    finally:
        session.stop()
        if before is None:
            del os.environ["PYSPARK_PYTHON"]
        else:
            os.environ["PYSPARK_PYTHON"] = before


def column(type_, n, rng):
    """n random values of an Arrow type, with nulls, repeats and the values
    that are easily confused: 0 and -0.0, NaN, "" and b"", the extremes."""
    if n == 0:
        return pa.array([], type_)
    if pa.types.is_integer(type_):
        info = np.iinfo(type_.to_pandas_dtype())
        values = list(rng.integers(info.min, info.max, n, endpoint=True))
        special = [0, -1, info.min, info.max]
    elif pa.types.is_floating(type_):
        values = list(rng.standard_normal(n).astype(type_.to_pandas_dtype()))
        special = [0.0, -0.0, np.nan, np.inf, -np.inf]
    elif pa.types.is_boolean(type_):
        values, special = list(rng.integers(0, 2, n).astype(bool)), [True, False]
    elif pa.types.is_string(type_) or pa.types.is_large_string(type_):
        values = [f"user{int(v)}@example.com" for v in rng.integers(0, n // 2 + 1, n)]
        special = ["", "Asunción", "x" * 40]
    elif pa.types.is_binary(type_):
        values, special = [bytes(rng.integers(0, 256, int(rng.integers(0, 9)), dtype=np.uint8)) for _ in range(n)], [b"", b"\0"]
    elif pa.types.is_date(type_):
        values = [datetime.date(2000, 1, 1) + datetime.timedelta(days=int(d)) for d in rng.integers(0, 20000, n)]
        special = [datetime.date(1970, 1, 1)]
    elif pa.types.is_timestamp(type_):
        return pa.array(rng.integers(-(2**50), 2**50, n), pa.int64()).cast(type_)
    elif pa.types.is_decimal(type_):
        values = [decimal.Decimal(int(v)).scaleb(-type_.scale) for v in rng.integers(-(10**9), 10**9, n)]
        special = [decimal.Decimal(0)]
    else:
        raise AssertionError(type_)
    values = [special[i % len(special)] if i % 7 == 3 else v for i, v in enumerate(values)]
    values = [None if i % 11 == 5 else v for i, v in enumerate(values)]
    return pa.array(values, type_)


def table(types, n, seed):
    rng = np.random.default_rng(seed)
    return pa.table({name: column(type_, n, rng) for name, type_ in types.items()})


# (types, key, rows, partitions, split_every): every key type that Spark
# hands over, keys of one column and of all, partitions left empty, no rows
# at all, and a tree of unions three levels deep.
CASES = {
    "a string and an int64": ({"email": pa.string(), "id": pa.int64()}, ["email", "id"], 3000, 5, 8),
    "every fixed-width type, the whole row": (
        {"i8": pa.int8(), "i16": pa.int16(), "i32": pa.int32(), "i64": pa.int64(), "f32": pa.float32(),
         "f64": pa.float64(), "ok": pa.bool_(), "day": pa.date32(), "price": pa.decimal128(10, 2),
         "big": pa.decimal128(38, 6)}, None, 2000, 3, 8),
    "timestamps, binaries and large strings": (
        {"at": pa.timestamp("us", "UTC"), "b": pa.binary(), "s": pa.large_string(), "n": pa.int32()},
        ["n", "at", "b", "s"], 1500, 4, 8),
    "more partitions than rows": ({"email": pa.string(), "id": pa.int64()}, ["id"], 5, 8, 2),
    "no rows": ({"email": pa.string(), "id": pa.int64()}, ["email"], 0, 2, 8),
    "one partition": ({"f64": pa.float64(), "email": pa.string()}, ["email", "f64"], 700, 1, 8),
}


def sorted_rows(data, key):
    return sorted(bytes(row) for row in key_rows(data, key))


@pytest.mark.parametrize("name", CASES)
def test_built_and_tested_as_in_one_process(spark, name):
    types, key, n, partitions, split_every = CASES[name]
    rows = table(types, n, seed=len(name))
    df = spark.createDataFrame(rows).repartition(partitions)
    f = tools.spark_build(df, key, p=0.01, split_every=split_every)  # n: a count of df
    one = KeyedFilter.sized(max(n, 1), 0.01, key)
    one.insert(rows)
    assert (f.key, f.layout, f.filter.to_bytes()) == (one.key, one.layout, one.filter.to_bytes())

    # Half of the rows tested were inserted, half are new.
    probe = pa.concat_tables([rows.take(np.arange(0, n, 2)), table(types, n // 2, seed=len(name) + 1)])
    out = tools.spark_test(f, spark.createDataFrame(probe).repartition(3)).toArrow()
    assert out.column_names == [*probe.column_names, "maybe"]
    answers = out.column("maybe").to_numpy(zero_copy_only=False)
    assert answers.tolist() == one.test(out.drop_columns("maybe")).tolist()
    assert sorted_rows(out, key or probe.column_names) == sorted_rows(probe, key)
    if n >= 100:
        assert 0 < answers.sum() < len(answers)


def test_the_same_key_rows_as_pandas_polars_and_pyarrow(spark):
    """A table as each library holds it by default, given to Spark as a
    pandas frame: Spark hands the workers rows of the same bytes."""
    n = 500
    frame = pd.DataFrame({
        "email": [f"u{i}@example.com" if i % 9 else None for i in range(n)],
        "id": np.arange(n, dtype=np.int64) * 7919,
        "score": np.where(np.arange(n) % 5 == 0, np.nan, np.arange(n) / 3),
        "ok": np.arange(n) % 3 == 0,
        "day": pd.to_datetime(np.arange(n), unit="D").date,
    })
    f = tools.spark_build(spark.createDataFrame(frame).repartition(3), p=0.01)
    for source in (frame, pl.from_pandas(frame), pa.Table.from_pandas(frame, preserve_index=False)):
        one = KeyedFilter.sized(n, 0.01)
        one.insert(source)
        assert (one.layout, one.filter.to_bytes()) == (f.layout, f.filter.to_bytes()), type(source)


def worker_loads(spark):
    """{pid: filters loaded} of the Python workers, read by tasks enough to
    pass through every idle worker, which Spark hands out in turn."""
    def report(batches):
        from woxbloomfilter_tools import _spark

        for _ in batches:
            pass
        yield pa.record_batch({"pid": [os.getpid()], "loads": [_spark.broadcast_loads]})

    found = spark.range(0, 48, numPartitions=24).mapInArrow(report, "pid long, loads long").collect()
    return {row.pid: row.loads for row in found}


def test_a_filter_is_loaded_once_per_worker(spark):
    ids = pa.table({"id": np.arange(4000, dtype=np.int64)})
    f = KeyedFilter.sized(4000, 0.01, "id")
    f.insert(ids.take(np.arange(0, 4000, 2)))
    before = worker_loads(spark)
    spark.conf.set("spark.sql.execution.arrow.maxRecordsPerBatch", "50")
    try:
        # 12 tasks of 8 batches each on 2 cores: each worker runs several.
        out = tools.spark_test(f, spark.createDataFrame(ids).repartition(12)).toArrow()
    finally:
        spark.conf.unset("spark.sql.execution.arrow.maxRecordsPerBatch")
    assert out.column("maybe").to_numpy(zero_copy_only=False).tolist() == f.test(out.select(["id"])).tolist()
    after = worker_loads(spark)
    loaded = {pid: count - before.get(pid, 0) for pid, count in after.items()}
    assert sum(loaded.values()) >= 1 and set(loaded.values()) <= {0, 1}, loaded


def test_an_existing_filter_takes_the_rows_or_is_left_as_it_was(spark):
    old, new = table({"email": pa.string(), "id": pa.int64()}, 800, seed=1), table(
        {"email": pa.string(), "id": pa.int64()}, 800, seed=2)
    into = KeyedFilter.sized(2000, 0.01, ["email", "id"])
    into.insert(old)
    assert tools.spark_build(spark.createDataFrame(new).repartition(3), into=into) is into
    one = KeyedFilter.sized(2000, 0.01, ["email", "id"])
    one.insert(old)
    one.insert(new)
    assert (into.layout, into.filter.to_bytes()) == (one.layout, one.filter.to_bytes())

    narrower = spark.createDataFrame(new).withColumn("id", col("id").cast("int"))
    bits = into.filter.to_bytes()
    for call in (lambda: tools.spark_build(narrower, into=into), lambda: tools.spark_test(into, narrower)):
        with pytest.raises(KeyMismatch) as err:
            call()
        assert str(err.value) == "column 'id' has type int64 in the filter's key but int32 in the data"
        assert (into.layout, into.filter.to_bytes()) == (one.layout, bits)


def test_partitions_of_different_layouts_are_refused(spark):
    """One DataFrame has one schema, so its partitions agree; the union of
    partial filters checks it all the same, and says so on the driver."""
    from woxbloomfilter_tools import _spark

    stored = []
    for type_ in (pa.int64(), pa.int64(), pa.int32()):
        f = KeyedFilter(tools.sized(100, 0.01), "id")
        f.insert(pa.table({"id": pa.array([1, 2], type_)}))
        stored.append(_spark._stored(f))
    partials = spark.sparkContext.parallelize(stored, 3)
    with pytest.raises(KeyMismatch) as err:
        _spark.root(partials, split_every=2)
    prefix = "the key rows of the DataFrame's partitions have different layouts: column 'id' has type "
    assert str(err.value) in {prefix + "int64 in the filter's key but int32 in the other filter",
                              prefix + "int32 in the filter's key but int64 in the other filter"}


def test_the_partials_are_bounded_by_the_budget(spark):
    rows = table({"email": pa.string(), "id": pa.int64()}, 1200, seed=3)
    df = spark.createDataFrame(rows).repartition(12)
    size = (tools.parameters(1200, 0.01)[1] + 7) // 8
    tracker, context = spark.sparkContext.statusTracker(), spark.sparkContext
    tasks = {}
    for budget in (None, 3 * size, 1 << 30):
        context.setJobGroup(f"budget {budget}", "spark_build")
        f = tools.spark_build(df, ["email", "id"], n=1200, p=0.01, budget=budget)
        stages = [s for job in tracker.getJobIdsForGroup(f"budget {budget}") for s in tracker.getJobInfo(job).stageIds]
        tasks[budget] = max(tracker.getStageInfo(s).numTasks for s in stages)
        one = KeyedFilter.sized(1200, 0.01, ["email", "id"])
        one.insert(rows)
        assert f.filter.to_bytes() == one.filter.to_bytes()
    context.setLocalProperty("spark.jobGroup.id", None)
    # One partial a core by default, three filters' worth three, and a budget
    # of more than twelve takes every partition.
    assert tasks == {None: 2, 3 * size: 3, 1 << 30: 12}


def woxbloom(*args, cwd):
    out = subprocess.run([sys.executable, "-m", "woxbloomfilter_tools", *args, "--quiet"], cwd=cwd,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stderr


def test_filters_cross_between_spark_and_the_command_line(spark, tmp_path):
    """Spark writes Parquet that woxbloom reads: timestamps in microseconds,
    and in a session whose time zone is named UTC, as pyarrow names it."""
    types = {"email": pa.string(), "id": pa.int64(), "at": pa.timestamp("us", "UTC")}
    key = ["email", "id", "at"]
    rows = table(types, 1000, seed=4)
    probe = pa.concat_tables([rows.take(np.arange(0, 1000, 2)), table(types, 500, seed=5)])
    spark.conf.set("spark.sql.parquet.outputTimestampType", "TIMESTAMP_MICROS")
    try:
        spark.createDataFrame(rows).repartition(3).write.parquet(str(tmp_path / "rows"))
        spark.createDataFrame(probe).repartition(2).write.parquet(str(tmp_path / "probe"))
    finally:
        spark.conf.unset("spark.sql.parquet.outputTimestampType")
    built = tools.spark_build(spark.read.parquet(str(tmp_path / "rows")), key, p=0.01)
    built.save(tmp_path / "spark.wbf")
    # --fixed: sized for the rows counted, as spark_build sizes it (woxbloom grows by default)
    woxbloom("build", "cli.wbf", "rows", "--key", ",".join(key), "--fixed", cwd=tmp_path)
    cli = KeyedFilter.load(tmp_path / "cli.wbf")
    assert (cli.key, cli.layout, cli.filter.to_bytes()) == (built.key, built.layout, built.filter.to_bytes())

    # Spark's filter answers woxbloom's reading of the files, and woxbloom's
    # filter Spark's reading of them.
    woxbloom("test", "spark.wbf", "probe", "--present", "-o", "present.parquet", cwd=tmp_path)
    present = pq.read_table(tmp_path / "present.parquet")
    expected = probe.filter(pa.array(built.test(probe)))
    assert sorted_rows(present, key) == sorted_rows(expected, key) and 500 <= present.num_rows < 1000
    answered = tools.spark_test(cli, spark.read.parquet(str(tmp_path / "probe"))).where("maybe").toArrow()
    assert sorted_rows(answered, key) == sorted_rows(expected, key)


@pytest.fixture(scope="module")
def frame(spark):
    return spark.createDataFrame(pa.table({"email": ["a", None], "id": [1, 2], "tags": [[1], []]}))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda df: tools.spark_build(pa.table({"a": [1]}), p=0.01), TypeError,
         "df must be a pyspark.sql.DataFrame, not Table"),
        (lambda df: tools.spark_build(df, "id"), TypeError,
         "spark_build needs p, the false-positive rate to size a new filter for, or into, a filter to fill"),
        (lambda df: tools.spark_build(df, "id", p=1.5), ValueError, "p must be above 0 and below 1, got 1.5"),
        (lambda df: tools.spark_build(df, "id", n=0, p=0.01), ValueError, "n must be at least 1, got 0"),
        (lambda df: tools.spark_build(df, into=KeyedFilter(tools.sized(10, 0.1)), n=10), TypeError,
         "n and p size a new filter: into keeps its own size"),
        (lambda df: tools.spark_build(df, "id", into=KeyedFilter(tools.sized(10, 0.1))), TypeError,
         "key must be None with into, a KeyedFilter that keys its data itself"),
        (lambda df: tools.spark_build(df, "id", into=tools.sized(10, 0.1)), TypeError,
         "into must be a KeyedFilter, not bloomfilter"),
        (lambda df: tools.spark_build(df, into=KeyedFilter.sized(10, 0.1, "id", growth=2)), TypeError,
         "into must be a fixed filter: a growing filter's layers"),
        (lambda df: tools.spark_build(df, "id", p=0.01, split_every=1), ValueError,
         "split_every must be at least 2, got 1"),
        (lambda df: tools.spark_build(df, "id", p=0.01, budget=0), ValueError, "budget must be at least 1, got 0"),
        (lambda df: tools.spark_build(df, ["id", "ID"], p=0.01), KeyError,
         "column 'ID' is not in the DataFrame, whose columns are 'email', 'id', 'tags'"),
        (lambda df: tools.spark_build(df, ["id", "tags"], p=0.01), TypeError,
         "column 'tags' has type list, which cannot be part of a key"),
        (lambda df: tools.spark_build(df, b"id", p=0.01), TypeError,
         "key must be a column name or a sequence of names, not bytes"),
        (lambda df: tools.spark_test(tools.sized(10, 0.1), df), TypeError,
         "f must be a KeyedFilter, not bloomfilter"),
        (lambda df: tools.spark_test(KeyedFilter(bloomfilter(), "id"), df, name="id"), ValueError,
         "name 'id' is a column of the DataFrame already: choose another"),
        (lambda df: tools.spark_test(KeyedFilter(bloomfilter(), "id"), df, name=3), TypeError,
         "name must be a str, not int"),
        (lambda df: tools.spark_test(KeyedFilter(bloomfilter(), "day"), df), KeyError,
         "column 'day' is not in the DataFrame, whose columns are 'email', 'id', 'tags'"),
    ],
)
def test_bad_arguments_are_named(frame, call, error, message):
    with pytest.raises(error) as err:
        call(frame)
    text = err.value.args[0] if error is KeyError else str(err.value)
    assert text.startswith(message), text
