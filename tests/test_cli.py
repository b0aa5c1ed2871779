"""The woxbloom command line, end to end: each command runs in a process of
its own, on files made here, and what it writes is checked against the
filters and tables built in this process."""
import json
import os
import pty
import select
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.dataset as ds
import pyarrow.ipc as ipc
import pyarrow.parquet as pq
import pytest

import woxbloomfilter_tools as tools
from woxbloomfilter_tools import KeyedFilter

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


def run(folder, *args, command=CLI):
    return subprocess.run([*command, *map(str, args)], cwd=folder, capture_output=True, text=True, timeout=120)


@pytest.fixture
def folder(tmp_path):
    """old.parquet, the rows of f.wbf; new.csv, half of them old; plain.wbf,
    stored without a key; g.wbf of another size; h.wbf of f's size keyed by
    name alone; text.json, whose ids are strings."""
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
    expected = KeyedFilter.sized(2000, 0.01, KEY)
    expected.insert(old)
    built = KeyedFilter.load(tmp_path / "f.wbf")
    assert (built.key, built.layout, built.filter.to_bytes()) == (KEY, expected.layout, expected.filter.to_bytes())

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
    rate = f"woxbloom: f.wbf's expected false-positive rate at its fill: {tools.fill(expected.filter) ** 7 * 100:.4g} %"
    assert absent.stderr.splitlines() == [
        f"woxbloom: 2,000 rows read, {2000 - may.sum():,} written to absent{out} (surely not in f.wbf)", rate]
    assert present.stderr.splitlines()[0] == f"woxbloom: 2,000 rows read, {may.sum():,} written to present{out} (may be in f.wbf)"
    assert run(tmp_path, "test", "f.wbf", f"new{data}").stderr.splitlines()[0] == (
        f"woxbloom: 2,000 rows read, {2000 - may.sum():,} surely not in f.wbf")

    info = json.loads(run(tmp_path, "info", "f.wbf", "--json").stdout)
    assert (info["k"], info["m"]) == tools.parameters(2000, 0.01)
    assert info["layout"] == {"source": "table", "columns": [["id", "int64"], ["name", "string"]], "version": 2}
    assert (info["key"], info["fpr"], info["checksum_holds"]) == (list(KEY), tools.fill(expected.filter) ** 7, True)

    assert run(tmp_path, "build", "f.wbf", f"new{data}", "--append").returncode == 0
    expected.insert(new)
    assert KeyedFilter.load(tmp_path / "f.wbf").filter.to_bytes() == expected.filter.to_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["f.wbf", "old.parquet", f"new{data}", f"absent{out}", f"present{out}"])


@pytest.mark.parametrize("operation", ["union", "intersect"])
def test_union_and_intersect_with_a_filter_of_no_rows(folder, operation):
    """A filter built from no rows still records its key, and combines."""
    write(table(0, 0), folder / "empty.parquet")
    assert run(folder, "build", "e.wbf", "empty.parquet", "--key", "id,name", "--rows", "2000").returncode == 0
    assert run(folder, operation, "u.wbf", "f.wbf", "e.wbf", "f.wbf").returncode == 0
    f, e = KeyedFilter.load(folder / "f.wbf"), KeyedFilter.load(folder / "e.wbf")
    assert (e.key, e.layout, tools.fill(e.filter)) == (f.key, f.layout, 0.0)
    getattr(f, operation)(e)
    u = KeyedFilter.load(folder / "u.wbf")
    assert (u.key, u.layout, u.filter.to_bytes()) == (f.key, f.layout, f.filter.to_bytes())


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
    (["build", "x.wbf", "fifo.csv", "--key", "id"], 2,
     "fifo.csv can be read only once, and the filter's size needs the rows counted first: give --rows N"),
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
    (["build", "f.wbf", "many.arrow", "--append"], "f.wbf", signal.SIGTERM),
    (["test", "f.wbf", "many.arrow", "--present", "-o", "out.parquet"], "out.parquet", signal.SIGTERM),
    (["test", "f.wbf", "many.arrow", "--present", "-o", "out.parquet"], "out.parquet", signal.SIGINT),
    (["build", "f.wbf", "many.arrow", "--append"], "f.wbf", signal.SIGHUP),
])
def test_a_signal_leaves_old_file_or_none(folder, args, target, signum):
    """Ctrl-C, SIGTERM or SIGHUP once the progress bar shows the rows going
    by (20,000 batches of one row each keep the command at work for a second
    or more): the old file stays, no temporary file is left, one line tells
    it, after the bar is taken off rather than drawn once more."""
    rows = table(0, 20_000)
    with ipc.new_file(folder / "many.arrow", rows.schema) as out:
        out.write_table(rows, max_chunksize=1)
    (folder / "out.parquet").write_bytes(b"the old output")
    before = snapshot(folder)
    leader, follower = pty.openpty()
    termios.tcsetwinsize(follower, (24, 100))  # a terminal of no width would show no bar
    child = subprocess.Popen([*CLI, *args], cwd=folder, stdout=subprocess.DEVNULL, stderr=follower)
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
