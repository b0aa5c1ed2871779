"""The woxbloom command line, end to end: each command runs in a process of
its own, on files made here, and what it writes is checked against the
filters and tables built in this process."""
import io
import json
import math
import os
import pty
import select
import signal
import subprocess
import sys
import termios
import time
import warnings
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.dataset as ds
import pyarrow.ipc as ipc
import pyarrow.parquet as pq
import pytest

import woxbloomfilter_tools as tools
from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import CapacityWarning, KeyedFilter, _keys

KEY = ("id", "name")
CLI = [sys.executable, "-m", "woxbloomfilter_tools"]
# Read back as the command reads: an empty CSV field is null, "" an empty string.
CSV = ds.CsvFileFormat(convert_options=pcsv.ConvertOptions(strings_can_be_null=True, quoted_strings_can_be_null=False))


def table(start, stop):
    """Rows start..stop of one table: a unique id, a name shared by several
    rows, some of both null."""
    rows = np.arange(start, stop)
    return pa.table({
        "id": pa.array(rows, mask=rows % 17 == 3),
        "name": pa.array([f"name {i % 500}" if i % 5 else "" for i in rows], pa.string(), mask=rows % 13 == 5),
        "v": rows * 0.5,
    })


def write(t, path):
    if path.suffix == ".parquet":
        pq.write_table(t, path, row_group_size=500)
    elif path.suffix == ".csv":
        pcsv.write_csv(t, path)
    elif path.suffix == ".arrow":
        with ipc.new_file(path, t.schema) as out:
            out.write_table(t, max_chunksize=700)
    else:  # one JSON object a line
        path.write_text("".join(json.dumps(row) + "\n" for row in t.to_pylist()))


def text_csv(names):
    """CSV read as text: every column a string, only an empty field null."""
    return ds.CsvFileFormat(convert_options=pcsv.ConvertOptions(
        column_types=dict.fromkeys(names, pa.string()), strings_can_be_null=True, quoted_strings_can_be_null=False))


def read(path, schema=None):
    """A table file as the command wrote it: CSV of the columns and types of `schema`."""
    if path.suffix == ".csv":
        kind = ds.CsvFileFormat(convert_options=pcsv.ConvertOptions(
            column_types=schema, strings_can_be_null=True, quoted_strings_can_be_null=False))
    else:
        kind = "parquet" if path.suffix == ".parquet" else "ipc"
    return ds.dataset(path, format=kind).to_table()


def run(folder, *args, command=CLI, stdin=None):
    return subprocess.run([*command, *map(str, args)], cwd=folder, capture_output=True, text=True, timeout=120,
                          input=stdin)


def saved(keyed):
    """The bytes of the file that `keyed.save` writes."""
    out = io.BytesIO()
    keyed.save(out)
    return out.getvalue()


def built(n, *tables, fixed=False):
    """The filter that build makes of `tables` when it counts n rows: fixed,
    sized for them, or growing, its first layer sized for n + 3 sqrt(n)."""
    if fixed:
        keyed = KeyedFilter.sized(n, 0.01, KEY)
    else:
        keyed = KeyedFilter.sized(n + math.ceil(3 * math.sqrt(n)), 0.01, KEY, growth=2)
    for t in tables:
        keyed.insert(t)
    return keyed


def plain(k, m):
    """A filter of k and m with no capacity recorded, as one stored before capacities were."""
    f = bloomfilter()
    f.configure(k, m)
    return f


@pytest.fixture
def folder(tmp_path):
    """old.parquet, the rows of f.wbf (fixed, filled to its capacity);
    new.csv, half of them old; plain.wbf, stored without a key; g.wbf of
    another size; h.wbf of f's size keyed by name alone; text.json, whose ids
    are strings; one.wbf, growing, of one layer; three.wbf, growing, of three."""
    write(table(0, 2000), tmp_path / "old.parquet")
    write(table(1000, 3000), tmp_path / "new.csv")
    f = KeyedFilter.sized(2000, 0.01, KEY)
    f.insert(table(0, 2000))
    f.save(tmp_path / "f.wbf")
    tools.save(tools.sized(2000, 0.01), tmp_path / "plain.wbf")
    KeyedFilter.sized(3000, 0.01, KEY).save(tmp_path / "g.wbf")
    h = KeyedFilter.sized(2000, 0.01, "name")
    h.insert(table(0, 10))
    h.save(tmp_path / "h.wbf")
    (tmp_path / "text.json").write_text('{"id": "a", "name": "b", "v": 1.5}\n')
    KeyedFilter.sized(2000, 0.01, KEY, growth=2).save(tmp_path / "one.wbf")
    three = KeyedFilter.sized(500, 0.01, KEY, growth=2)
    three.insert(table(0, 3000))
    three.save(tmp_path / "three.wbf")
    return tmp_path


def snapshot(folder):
    """Every name in folder and the bytes of its files (a FIFO has none)."""
    return {path.name: path.read_bytes() if path.is_file() else None for path in folder.iterdir()}


@pytest.mark.parametrize("data, out", [(".csv", ".parquet"), (".arrow", ".csv"), (".json", ".arrow")])
def test_build_test_append_and_info(tmp_path, data, out):
    old, new = table(0, 2000), table(1000, 3000)
    write(old, tmp_path / "old.parquet")
    write(new, tmp_path / f"new{data}")
    # Once through the installed script; stderr is no terminal, so no bar.
    woxbloom = Path(sys.executable).with_name("woxbloom")
    assert run(tmp_path, "build", "f.wbf", "old.parquet", "--key", "id,name", command=[woxbloom]).stderr == ""
    expected = built(2000, old)
    assert (tmp_path / "f.wbf").read_bytes() == saved(expected)

    may = expected.test(new)
    assert may[:1000].all()  # the old rows, every one
    assert 0 < may[1000:].sum() < 60  # false positives among the new, about 1 %
    absent = run(tmp_path, "test", "f.wbf", f"new{data}", "-o", f"absent{out}")
    present = run(tmp_path, "test", "f.wbf", f"new{data}", "--present", "-o", f"present{out}")
    rows = new
    if data == ".csv":  # rows from CSV keep the text of every field
        rows = ds.dataset(tmp_path / "new.csv", format=text_csv(new.schema.names)).to_table()
    assert read(tmp_path / f"absent{out}", rows.schema).equals(rows.filter(~may))
    assert read(tmp_path / f"present{out}", rows.schema).equals(rows.filter(may))
    [layer] = expected.status().layers
    rate = f"woxbloom: f.wbf's expected false-positive rate at its fill: {layer.fill ** layer.k * 100:.4g} %"
    assert absent.stderr.splitlines() == [
        f"woxbloom: 2,000 rows read, {2000 - may.sum():,} written to absent{out} (surely not in f.wbf)", rate]
    assert present.stderr.splitlines()[0] == f"woxbloom: 2,000 rows read, {may.sum():,} written to present{out} (may be in f.wbf)"
    assert run(tmp_path, "test", "f.wbf", f"new{data}").stderr.splitlines()[0] == (
        f"woxbloom: 2,000 rows read, {2000 - may.sum():,} surely not in f.wbf")

    info = json.loads(run(tmp_path, "info", "f.wbf", "--json").stdout)
    assert info["layout"] == {"source": "table", "columns": [["id", "int64"], ["name", "string"]], "version": 2}
    assert (info["key"], info["checksum_holds"]) == (list(KEY), True)

    # A thousand new rows fill the first layer and start a second.
    assert run(tmp_path, "build", "f.wbf", f"new{data}", "--append").returncode == 0
    expected.insert(new)
    assert (tmp_path / "f.wbf").read_bytes() == saved(expected)
    assert len(expected.status().layers) == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["f.wbf", "old.parquet", f"new{data}", f"absent{out}", f"present{out}"])


@pytest.mark.parametrize("fixed", [True, False])
@pytest.mark.parametrize("operation", ["union", "intersect"])
def test_union_and_intersect_with_a_filter_of_no_rows(folder, operation, fixed):
    """A filter built from no rows still records its key, and combines with
    one of its size: fixed, or growing, layer by layer."""
    write(table(0, 0), folder / "empty.parquet")
    kind = ["--fixed"] if fixed else []
    first = "f.wbf" if fixed else "rows.wbf"
    if not fixed:  # as build makes it with --rows 2000
        built(2000, table(0, 2000)).save(folder / first)
    assert run(folder, "build", "e.wbf", "empty.parquet", "--key", "id,name", "--rows", "2000", *kind).returncode == 0
    assert run(folder, operation, "u.wbf", first, "e.wbf", first).returncode == 0
    f, e = KeyedFilter.load(folder / first), KeyedFilter.load(folder / "e.wbf")
    assert (e.key, e.layout, [layer.fill for layer in e.status().layers]) == (f.key, f.layout, [0.0])
    assert len(f.status().layers) == 1 and f.status().layers[0].fill > 0.4
    getattr(f, operation)(e)
    assert (folder / "u.wbf").read_bytes() == saved(f)


def capacity_json(capacity):
    return None if capacity is None else {"n": capacity.n, "p": capacity.p}


def finite(rows):
    return None if rows is None or math.isinf(rows) else rows


@pytest.mark.parametrize("make, rows, capacity, passed", [
    pytest.param(lambda: KeyedFilter.sized(2000, 0.01, KEY), 1500, "2,000 rows at 1 %", "no", id="fixed"),
    pytest.param(lambda: KeyedFilter.sized(500, 0.01, KEY), 1500, "500 rows at 1 %",
                 "yes: it holds about {rows:,.0f} rows; 'build --append' refuses more unless --grow or --force",
                 id="fixed-past"),
    pytest.param(lambda: KeyedFilter.sized(500, 0.01, KEY, growth=2), 3000,
                 "500 rows in the first layer; the rate of all layers together stays below 1 %", None, id="growing"),
    pytest.param(lambda: KeyedFilter(plain(*tools.parameters(2000, 0.01)), KEY), 1500,
                 "none: stored before capacities were recorded", "unknown: no capacity recorded", id="old"),
])
def test_info_tells_the_status_of_fixed_growing_and_old_filters(tmp_path, make, rows, capacity, passed):
    """Fixed within its capacity and past it, growing, and stored before
    capacities were recorded: --json gives what status() gives, and the text
    its capacity, each layer and whether a fixed filter has passed it."""
    keyed = make()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CapacityWarning)  # the fixed filter past its capacity
        keyed.insert(table(0, rows))
    keyed.save(tmp_path / "x.wbf")
    status = KeyedFilter.load(tmp_path / "x.wbf").status()
    growing = status.growth is not None
    layers = [{"k": layer.k, "m": layer.m, "bytes": (layer.m + 7) // 8, "capacity": capacity_json(layer.capacity),
               "fill": layer.fill, "estimated_rows": finite(layer.estimated_rows), "fpr": layer.fill ** layer.k}
              for layer in status.layers]
    got = json.loads(run(tmp_path, "info", "x.wbf", "--json").stdout)
    doubles = got.pop("rows_until_fpr_doubles")
    assert (doubles is None) == growing
    newest = status.layers[-1]
    assert got == {
        "file": "x.wbf", "format_version": 2 if growing else 1, "checksum_holds": True,
        "file_bytes": (tmp_path / "x.wbf").stat().st_size,
        "k": None if growing else layers[0]["k"], "m": None if growing else layers[0]["m"],
        "bytes": sum(layer["bytes"] for layer in layers), "key": list(KEY),
        "layout": {"source": "table", "columns": [["id", "int64"], ["name", "string"]], "version": 2},
        "capacity": capacity_json(status.capacity), "growth": status.growth, "ratio": status.ratio, "layers": layers,
        "fill": None if growing else layers[0]["fill"], "estimated_rows": status.estimated_rows,
        "fpr": status.rate if growing else layers[0]["fpr"],
        "rows_until_next_layer": math.ceil(newest.capacity.n - newest.estimated_rows) if growing else None,
        "passed": None if status.capacity is None else (passed or "").startswith("yes"),
    }
    assert len(layers) == (3 if growing else 1)

    text = run(tmp_path, "info", "x.wbf").stdout.splitlines()
    lines = dict(line.split("  ", 1) for line in text)
    lines = {label.strip(): value.strip() for label, value in lines.items()}
    assert len(lines) == len(text)
    assert lines["capacity"] == capacity
    assert lines.get("past capacity") == (passed and passed.format(rows=status.estimated_rows))
    assert [label for label in lines if label.startswith("layer ")] == [f"layer {i}" for i in range(len(layers)) if growing]
    for i, layer in enumerate(status.layers if growing else []):
        n, p = layer.capacity
        assert lines[f"layer {i}"] == (
            f"k {layer.k}, m {layer.m:,} bits ({(layer.m + 7) // 8:,} bytes), sized for {n:,} rows at {p * 100:.4g} %; "
            f"fill {layer.fill:.4f}, estimated rows {layer.estimated_rows:,.0f}, {layer.fill ** layer.k * 100:.4g} % now")
    rate = got["fpr"] * 100
    assert lines["false positives"] == f"{rate:.4g} % expected now ({'of all layers together' if growing else 'fill ** k'})"


@pytest.mark.parametrize("stored, flags", [
    ("f.wbf", []), ("f.wbf", ["--force"]), ("f.wbf", ["--grow"]), ("old.wbf", []), ("old.wbf", ["--grow"]),
])
def test_append_to_a_fixed_filter_past_its_capacity(folder, stored, flags):
    """f.wbf holds the 2,000 rows it was sized for, and new.csv adds 1,000:
    refused without a change, appended with --force and one warning line,
    or with --grow a growing filter whose first layer is f.wbf's bits. old.wbf,
    the same stored before capacities were, takes them as it is, or grows."""
    KeyedFilter(plain(*tools.parameters(2000, 0.01)), KEY).save(folder / "old.wbf")
    old = KeyedFilter.load(folder / "old.wbf")
    old.insert(table(0, 2000))
    old.save(folder / "old.wbf")
    before = snapshot(folder)
    expected = KeyedFilter.load(folder / stored)
    first = expected.filter.to_bytes()
    done = run(folder, "build", stored, "new.csv", "--append", *flags)
    if stored == "f.wbf" and not flags:
        assert (done.returncode, done.stderr) == (1, (
            "woxbloom: error: f.wbf would hold more rows than it was sized for, 2,000 at 1 %: nothing appended; "
            "--grow makes it a growing filter that takes them, --force appends them anyway\n"))
        assert snapshot(folder) == before
        return
    if "--grow" in flags:
        expected = _keys.grown(expected, 2, 0.5)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", CapacityWarning)
        expected.insert(table(1000, 3000))
    assert [w.category for w in caught] == ([CapacityWarning] if flags == ["--force"] else [])
    assert done.returncode == 0
    assert (folder / stored).read_bytes() == saved(expected)
    status = expected.status()
    if flags == ["--force"]:
        [layer] = status.layers
        assert done.stderr == (
            f"woxbloom: warning: f.wbf passed the capacity it was sized for, 2,000 rows at 1 %: it holds about "
            f"{layer.estimated_rows:,.0f} distinct rows, and it answers \"maybe\" for about {layer.fill ** layer.k * 100:.4g} % "
            "of rows never inserted; --append --grow makes it grow instead\n")
    else:
        assert done.stderr == ""
    if "--grow" in flags:
        # The first layer is the old filter, full at its capacity, or stored
        # without one at the rows its k and m suit (m ln 2 / k), or at the
        # rows it holds if more; the rows past it went into a second, and
        # the whole stays below twice the first layer's rate.
        k, m = tools.parameters(2000, 0.01)
        held = -(m / k) * math.log1p(-int(np.unpackbits(np.frombuffer(first, dtype=np.uint8)).sum()) / m)
        n = 2000 if stored == "f.wbf" else round(m * math.log(2) / k)
        p = 0.01 if stored == "f.wbf" else tools.expected_fpr(k, m, n)
        if held > n:
            n = math.ceil(held)
            p = tools.expected_fpr(k, m, n)
        assert (status.capacity.n, status.capacity.p, status.growth, status.ratio) == (
            n, pytest.approx(2 * p), 2, 0.5)
        assert [(layer.k, layer.m) for layer in status.layers] == [(k, m), tools.parameters(2 * n, status.capacity.p / 4)]
        # Its bits kept, and a few more set by the rows that filled it.
        assert bytes(a & b for a, b in zip(expected._filter.layer_bytes(0), first)) == first
    assert KeyedFilter.load(folder / stored).test(table(0, 3000)).all()


def test_built_filters_grow_unless_fixed(tmp_path):
    """A new filter grows, its first layer sized for the rows counted: a
    daily re-append of the same file changes no byte, and each append of new
    rows past the newest layer's adds one, every row kept. --fixed keeps one
    layer. Standard input, which cannot be counted, starts at a million rows."""
    days = [table(0, 1000), table(1000, 3000), table(3000, 7000), table(7000, 15000)]
    for i, day in enumerate(days):
        write(day, tmp_path / f"day{i}.csv")
    assert run(tmp_path, "build", "f.wbf", "day0.csv", "--key", "id,name").returncode == 0
    expected = built(1000, days[0])
    assert (tmp_path / "f.wbf").read_bytes() == saved(expected)
    assert run(tmp_path, "build", "f.wbf", "day0.csv", "--append").returncode == 0
    assert (tmp_path / "f.wbf").read_bytes() == saved(expected)
    for i, day in enumerate(days[1:], start=1):
        assert run(tmp_path, "build", "f.wbf", f"day{i}.csv", "--append").returncode == 0
        expected.insert(day)
        assert (tmp_path / "f.wbf").read_bytes() == saved(expected)
        assert len(expected.status().layers) == i + 1
        assert KeyedFilter.load(tmp_path / "f.wbf").test(table(0, len(day) * 2 - 1000)).all()

    assert run(tmp_path, "build", "fixed.wbf", "day0.csv", "--key", "id,name", "--fixed").returncode == 0
    assert (tmp_path / "fixed.wbf").read_bytes() == saved(built(1000, days[0], fixed=True))

    text = (tmp_path / "day0.csv").read_text()
    assert run(tmp_path, "build", "in.wbf", "-", "--format", "csv", "--key", "id,name", stdin=text).returncode == 0
    expected = KeyedFilter.sized(1_000_000, 0.01, KEY, growth=2)
    expected.insert(days[0])
    assert (tmp_path / "in.wbf").read_bytes() == saved(expected)


def layer(n, i):
    """k and m of layer i of a growing filter of first capacity n at 1 %."""
    return tools.parameters(n * 2**i, 0.01 * (1 - 0.8) * 0.8**i)


@pytest.mark.parametrize("args, status, message", [
    (["build", "x.wbf", "nope.parquet", "--key", "id"], 1, "nope.parquet: No such file or directory"),
    (["build", "x.wbf", "old.parquet", "--key", "id,nam"], 1,
     "old.parquet: column 'nam' is not in the data, whose columns are 'id', 'name', 'v'"),
    (["build", "x.wbf", "bad.csv", "--key", "id"], 1, "bad.csv: Error creating dataset. Could not read schema"),
    (["build", "f.wbf", "text.json", "--append"], 1,
     "text.json: column 'id' has type int64 in the filter's key but string in the data"),
    (["build", "f.wbf", "new.csv", "--append", "--key", "name"], 1, "f.wbf is keyed by id, name, not by name"),
    (["test", "f.wbf", "text.json", "-o", "out.parquet"], 1,
     "text.json: column 'id' has type int64 in the filter's key but string in the data"),
    (["test", "plain.wbf", "new.csv"], 1, "plain.wbf records no key: it was stored by the plain save()"),
    (["test", "damaged.wbf", "new.csv"], 1, "damaged.wbf: checksum mismatch: the data is damaged"),
    (["info", "damaged.wbf"], 1, "damaged.wbf: checksum mismatch: the data is damaged (stored "),
    (["info", "."], 1, ".: Is a directory"),
    (["union", "u.wbf", "f.wbf", "g.wbf"], 1, "g.wbf has k = 7, m = 28,756 but f.wbf has k = 7, m = 19,171"),
    (["intersect", "u.wbf", "f.wbf", "h.wbf"], 1,
     "h.wbf: the filter's key has 2 columns (id, name), the other filter's has 1 (name)"),
    (["test", "f.wbf", "nope.csv", "-o", "out.json"], 2, "pyarrow cannot write JSON"),
    (["build", "x.wbf", "old.parquet"], 2, "the following arguments are required: --key"),
    (["build", "f.wbf", "new.csv", "--append", "--fpr", "0.1"], 2, "--rows and --fpr size a new filter"),
    (["build", "x.wbf", "old.parquet", "--key", "id", "--fpr", "1"], 2, "argument --fpr: must be above 0 and below 1"),
    (["build", "x.wbf", "a\nb.parquet", "--key", "id"], 1, "a\\nb.parquet: No such file or directory"),
    (["build", "x.wbf", "fifo.csv", "--key", "id", "--fixed"], 2,
     "fifo.csv can be read only once, and a fixed filter's size needs the rows counted first: give --rows N "
     "(a bound above the rows will do), or leave out --fixed"),
    (["build", "x.wbf", "old.parquet", "--key", "id", "--grow"], 2,
     "--grow is for --append to an existing FILTER: a new filter grows, unless --fixed"),
    (["build", "f.wbf", "new.csv", "--append", "--fixed"], 2,
     "--fixed makes a new filter of one layer: with --append FILTER stays as it is, or grows with --grow"),
    (["build", "f.wbf", "new.csv", "--append", "--grow", "--force"], 2,
     "--grow makes FILTER grow to take the rows, --force inserts them past its capacity: give one"),
    (["build", "full.wbf", "new.csv", "--append", "--grow"], 1,
     'full.wbf cannot grow: every bit of the filter is set, so it answers "maybe" for every row: build a new filter'),
    (["union", "u.wbf", "f.wbf", "one.wbf"], 1,
     "one.wbf has 1 layer (k = {}, m = {:,}) but f.wbf has k = 7, m = 19,171: only filters of equal k and m combine, "
     "growing ones layer by layer, and a growing filter never with a fixed one".format(*layer(2000, 0))),
    (["union", "u.wbf", "three.wbf", "one.wbf"], 1, "one.wbf has 1 layer (k = {}, m = {:,}) but three.wbf has 3 layers "
     "(k = {}, m = {:,}; k = {}, m = {:,}; k = {}, m = {:,}): only filters".format(
         *layer(2000, 0), *layer(500, 0), *layer(500, 1), *layer(500, 2))),
    (["intersect", "u.wbf", "three.wbf", "three.wbf"], 1,
     "three.wbf: growing filters of 3 layers cannot intersect: a row inserted into both may sit in one layer"),
    (["build", "x.wbf", "fifo.parquet", "--key", "id", "--rows", "9"], 2,
     "fifo.parquet is a pipe, read once from start to end, and parquet files are read from their end"),
    (["build", "x.wbf", "old.parquet", "--key", "id", "--types", "id=int"], 2, "--types: no key column has type 'int'"),
    (["build", "x.wbf", "old.parquet", "--key", "id", "--types", "name=string"], 2,
     "--types names column 'name', which is not in --key"),
    (["build", "old.parquet", "old.parquet", "--key", "id"], 2,
     "old.parquet is written and also read: name another output"),
    (["build", "f.wbf", "new.csv", "f.wbf", "--append", "--format", "csv"], 2,
     "f.wbf is written and also read: name another output"),
    (["test", "f.wbf", "new.csv", "-o", "./new.csv"], 2, "./new.csv is written and also read (as new.csv)"),
    (["test", "f.wbf", "old.parquet", "-o", "same.parquet"], 2, "same.parquet is written and also read (as old.parquet)"),
    (["union", "f.wbf", "f.wbf", "g.wbf"], 2, "f.wbf is written and also read: name another output"),
    (["--no-extras", "info", "f.wbf"], 2,
     'the command line needs pyarrow and tqdm, and pyarrow is missing: pip install "woxbloomfilter[cli]"'),
])
def test_failures_are_one_line_and_change_nothing(folder, args, status, message):
    (folder / "bad.csv").write_text("id,name\n1,a\n2\n")
    os.mkfifo(folder / "fifo.csv")  # never opened: a writer would wait for its reader
    os.mkfifo(folder / "fifo.parquet")
    os.link(folder / "old.parquet", folder / "same.parquet")
    damaged = bytearray((folder / "f.wbf").read_bytes())
    damaged[-20] ^= 4
    (folder / "damaged.wbf").write_bytes(damaged)
    full = KeyedFilter.sized(10, 0.01, KEY)
    with pytest.warns(CapacityWarning):
        full.insert(table(0, 2000))
    full.save(folder / "full.wbf")
    command = CLI
    if args[0] == "--no-extras":  # pyarrow cannot be imported
        command = [sys.executable, "-c", "import sys; sys.modules['pyarrow'] = None; "
                   "from woxbloomfilter_tools.cli import main; sys.exit(main())"]
        args = args[1:]
    before = snapshot(folder)
    done = run(folder, *args, command=command)
    assert done.returncode == status
    [line] = done.stderr.splitlines()
    assert line.startswith(f"woxbloom: error: {message}"), line
    assert snapshot(folder) == before


@pytest.mark.parametrize("args, target, signum", [
    (["build", "x.wbf", "many.arrow", "--key", "id,name"], "x.wbf", signal.SIGTERM),
    (["build", "f.wbf", "many.arrow", "--append", "--grow"], "f.wbf", signal.SIGTERM),
    (["test", "f.wbf", "many.arrow", "--present", "-o", "out.parquet"], "out.parquet", signal.SIGTERM),
    (["test", "f.wbf", "many.arrow", "--present", "-o", "out.parquet"], "out.parquet", signal.SIGINT),
    (["build", "f.wbf", "many.arrow", "--append", "--force"], "f.wbf", signal.SIGHUP),
])
def test_a_signal_leaves_old_file_or_none(folder, args, target, signum):
    """Ctrl-C, SIGTERM or SIGHUP once the progress bar shows the rows going
    by (20,000 batches of one row each keep the command at work for a second
    or more): the old file stays, no temporary file is left, one line tells
    it, after the bar is taken off rather than drawn once more. (f.wbf is
    filled to its capacity: without --grow or --force, --append would refuse
    the rows past it before the signal.)"""
    rows = table(0, 20_000)
    with ipc.new_file(folder / "many.arrow", rows.schema) as out:
        out.write_table(rows, max_chunksize=1)
    (folder / "out.parquet").write_bytes(b"the old output")
    before = snapshot(folder)
    leader, follower = pty.openpty()
    termios.tcsetwinsize(follower, (24, 100))  # a terminal of no width would show no bar
    # As from a terminal: a runner under nohup, or one that started the tests
    # in the background, hands its children SIGHUP or SIGINT ignored, and the
    # command rightly keeps a signal that it was started ignoring.
    child = subprocess.Popen([*CLI, *args], cwd=folder, stdout=subprocess.DEVNULL, stderr=follower,
                             preexec_fn=lambda: signal.signal(signum, signal.SIG_DFL))
    os.close(follower)
    shown, deadline = b"", time.monotonic() + 60
    while b"rows/s" not in shown and time.monotonic() < deadline:
        if select.select([leader], [], [], 1)[0]:
            shown += os.read(leader, 4096)
    child.send_signal(signum)
    while select.select([leader], [], [], 30)[0]:
        try:
            shown += os.read(leader, 4096)
        except OSError:  # the child is gone
            break
    os.close(leader)
    assert child.wait(30) == 128 + signum
    said = "interrupted" if signum == signal.SIGINT else f"stopped by {signal.Signals(signum).name}"
    assert b"/20.0k" in shown and shown.rstrip().endswith(f"woxbloom: {said}".encode()), shown
    # On the bar's line, taken off: not below a bar drawn once more.
    assert b"\n" not in shown.rsplit(b"rows/s]", 1)[1].rstrip(), shown
    after = snapshot(folder)
    assert after.pop(target, None) == before.pop(target, None)
    assert after == before
