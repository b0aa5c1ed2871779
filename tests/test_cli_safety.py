"""Files that cannot be lost: writers of one file take turns, a full disk is
told of the file, and help answers without the command's heavy imports. Each
command runs in a process of its own."""
import fcntl
import os
import subprocess
import sys
import time
from importlib.metadata import version

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import woxbloomfilter_tools as tools
from woxbloomfilter_tools import KeyedFilter, _storage

CLI = [sys.executable, "-m", "woxbloomfilter_tools"]


def start(folder, *args):
    return subprocess.Popen([*CLI, *map(str, args)], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def finish(child):
    out, err = child.communicate(timeout=120)
    return child.returncode, err


HELP = """
import sys
from woxbloomfilter_tools.cli import main
try:
    main(sys.argv[1:])
except SystemExit as done:
    print(done.code, sorted(name for name in ("pyarrow", "tqdm") if name in sys.modules), file=sys.stderr)
"""


@pytest.mark.parametrize("args, first", [
    (["--help"], "usage: woxbloom [-h] [--version] COMMAND ..."),
    (["--version"], f"woxbloom {version('woxbloomfilter')}"),
    (["build", "--help"], "usage: woxbloom build [-h] [--quiet] [--version] [--no-wait] [--delimiter C]"),
    (["test", "--version"], f"woxbloom {version('woxbloomfilter')}"),
    (["union", "--help"], "usage: woxbloom union [-h] [--quiet] [--version] [--no-wait]"),
])
def test_help_and_version_without_pyarrow(tmp_path, args, first):
    done = subprocess.run([sys.executable, "-c", HELP, *args], capture_output=True, text=True, cwd=tmp_path,
                          timeout=60)
    assert done.stdout.splitlines()[0].rstrip() == first
    assert done.stderr == "0 []\n"


def waiting(pids, lock):
    """The processes of pids blocked on the flock of the file lock, as the
    kernel lists them: '1: -> FLOCK ADVISORY WRITE PID MAJOR:MINOR:INODE 0 EOF'."""
    inode = os.stat(lock).st_ino
    found = set()
    with open("/proc/locks") as locks:
        for line in locks:
            fields = line.split()
            if fields[1:3] == ["->", "FLOCK"] and int(fields[5]) in pids and fields[6].endswith(f":{inode}"):
                found.add(int(fields[5]))
    return found


def test_writers_of_one_filter_take_turns(tmp_path):
    """While the lock of f.wbf is held, two --append runs both wait for it
    (seen in the kernel's list of locks, not guessed from time) and
    --no-wait runs of every writing command fail at once; released, both
    appends keep their rows, whichever goes first."""
    one, two = pa.table({"id": range(0, 500)}), pa.table({"id": range(500, 1000)})
    pq.write_table(one, tmp_path / "one.parquet")
    pq.write_table(two, tmp_path / "two.parquet")
    expected = KeyedFilter.sized(1000, 0.01, "id")
    expected.insert(one.slice(0, 0))
    expected.save(tmp_path / "f.wbf")
    before = (tmp_path / "f.wbf").read_bytes()

    lock = tmp_path / ".f.wbf.lock"
    held = os.open(lock, os.O_RDONLY | os.O_CREAT)
    fcntl.flock(held, fcntl.LOCK_EX)
    children = [start(tmp_path, "build", "f.wbf", data, "--append") for data in ("one.parquet", "two.parquet")]
    pids = {child.pid for child in children}
    deadline = time.monotonic() + 60
    while waiting(pids, lock) != pids and time.monotonic() < deadline:
        assert all(child.poll() is None for child in children)
        time.sleep(0.01)  # polling the kernel's list: the test waits for what it shows
    assert waiting(pids, lock) == pids
    for args in (["build", "f.wbf", "one.parquet", "--append"], ["build", "f.wbf", "one.parquet", "--key", "id"]):
        assert finish(start(tmp_path, *args, "--no-wait")) == (
            75, "woxbloom: error: f.wbf is being written by another woxbloom: nothing done (--no-wait)\n")
    assert (tmp_path / "f.wbf").read_bytes() == before
    os.close(held)

    assert [finish(child) for child in children] == [(0, ""), (0, "")]
    expected.insert(one)
    expected.insert(two)
    assert KeyedFilter.load(tmp_path / "f.wbf").filter.to_bytes() == expected.filter.to_bytes()
    assert sorted(path.name for path in tmp_path.iterdir()) == ["f.wbf", "one.parquet", "two.parquet"]


@pytest.mark.parametrize("args, target", [
    (["test", "f.wbf", "one.parquet", "--present", "-o", "out.parquet"], "out.parquet"),
    (["union", "u.wbf", "f.wbf", "f.wbf"], "u.wbf"),
])
def test_no_wait_for_every_output(tmp_path, args, target):
    pq.write_table(pa.table({"id": range(10)}), tmp_path / "one.parquet")
    f = KeyedFilter.sized(10, 0.01, "id")
    f.insert(pa.table({"id": range(5)}))
    f.save(tmp_path / "f.wbf")
    held = os.open(tmp_path / f".{target}.lock", os.O_RDONLY | os.O_CREAT)
    fcntl.flock(held, fcntl.LOCK_EX)
    assert finish(start(tmp_path, *args, "--no-wait")) == (
        75, f"woxbloom: error: {target} is being written by another woxbloom: nothing done (--no-wait)\n")
    assert not (tmp_path / target).exists()
    os.close(held)
    assert finish(start(tmp_path, *args, "--no-wait"))[0] == 0
    assert (tmp_path / target).exists()


FULL = """
mount -t tmpfs -o size=64k woxbloom full || exit 99
python -m woxbloomfilter_tools "$@"
status=$?
ls -A full
exit $status
"""


@pytest.mark.parametrize("args, target", [
    (["build", "full/f.wbf", "ids.parquet", "--key", "id", "--rows", "1000000"], "full/f.wbf"),
    (["test", "f.wbf", "ids.parquet", "-o", "full/new.csv"], "full/new.csv"),
])
def test_a_full_disk_is_told_of_the_file(tmp_path, args, target):
    """Written to a file system of 64 KiB (a tmpfs mounted in a mount
    namespace of the command's own): one line naming the file, nothing left
    there."""
    pq.write_table(pa.table({"id": range(100_000)}), tmp_path / "ids.parquet")
    f = KeyedFilter.sized(10, 0.01, "id")
    f.insert(pa.table({"id": pa.array([], pa.int64())}))  # of no rows: every row is written
    f.save(tmp_path / "f.wbf")
    (tmp_path / "full").mkdir()
    command = ["unshare", "--mount", "--map-root-user", "sh", "-c", FULL, "sh", *args]
    env = {**os.environ, "PATH": f"{os.path.dirname(sys.executable)}:{os.environ['PATH']}"}
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120, env=env)
    if done.returncode == 99 or "unshare" in done.stderr:
        pytest.skip(f"no mount namespace here: {done.stderr.strip()}")
    assert (done.returncode, done.stderr, done.stdout) == (
        1, f"woxbloom: error: {target}: No space left on device\n", "")


def test_a_layout_nested_too_deep_is_told_in_one_line(tmp_path):
    path = tmp_path / "f.wbf"
    _storage.save_with_metadata(tools.sized(10, 0.1), path, {b"keys": b"[" * 100_000 + b"]" * 100_000})
    run = subprocess.run([*CLI, "info", str(path)], capture_output=True, text=True, timeout=120)
    message = "the key layout in the metadata is not valid: it is nested 100000 levels deep, where a layout has 3"
    assert (run.returncode, run.stdout, run.stderr) == (1, "", f"woxbloom: error: {path}: {message}\n")
