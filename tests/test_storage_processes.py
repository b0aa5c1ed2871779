"""Stored filters seen from outside the process that handles them: saves
killed at random moments, and the anonymous memory that a load and a count
of the bits take at their peak. Both run in children, since a kill ends the
process and a call holds the interpreter lock until it returns."""
import random
import select
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import woxbloomfilter_tools as tools
from conftest import SANITIZED
from woxbloomfilter import bloomfilter

SAVER = r"""
import sys
from woxbloomfilter_tools import load, save

path, pair = sys.argv[1], [load(name) for name in sys.argv[2:]]
save(pair[0], path)
print("saved", flush=True)
i = 1
while True:
    save(pair[i % 2], path)
    i += 1
"""


def made(seed, k, size):
    f = bloomfilter()
    f.from_bytes(np.random.default_rng(seed).integers(0, 256, size, dtype=np.uint8).tobytes(), k, size * 8 - seed)
    return f


def snapshot(f):
    return f.get_k(), f.get_m(), f.to_bytes()


def test_a_save_killed_at_any_moment_leaves_one_whole_filter(tmp_path):
    path = tmp_path / "filter.wbf"
    pair = made(1, 5, 1 << 20), made(2, 3, 3 << 18)  # of other sizes, so that a torn file cannot pass
    sources = [tmp_path / "a.wbf", tmp_path / "b.wbf"]
    for f, source in zip(pair, sources):
        tools.save(f, source)
    expected = [snapshot(f) for f in pair]
    chance = random.Random(20261208)
    seen = set()
    # Ten kills at least; a slow disk (fsync under load) can make each save
    # outlast the window, so it widens until both filters have been seen.
    window, kills = 0.05, 0
    while kills < 10 or (seen != {5, 3} and kills < 60):
        if kills and kills % 10 == 0 and seen != {5, 3}:
            window *= 2
        kills += 1
        saver = subprocess.Popen(
            [sys.executable, "-c", SAVER, str(path), *map(str, sources)], stdout=subprocess.PIPE, text=True
        )
        try:
            assert saver.stdout.readline() == "saved\n"
            time.sleep(chance.uniform(0, window))
        finally:
            saver.send_signal(signal.SIGKILL)
            saver.wait()
        got = snapshot(tools.load(path))
        assert got in expected
        seen.add(got[0])
    assert seen == {5, 3}, "the kills all fell while the same filter was saved"


# The child sets up, says "ready" and waits; on a line from the parent it
# makes the one call measured, says "done" and keeps what it made until the
# parent closes its input, so that what stays is measured too.
MEASURED = r"""
import sys
from woxbloomfilter import bloomfilter
import woxbloomfilter_tools as tools

call, path = sys.argv[1], sys.argv[2]
if call == "fill":
    f = tools.load(path)
print("ready", flush=True)
sys.stdin.readline()
if call == "load":
    kept = tools.load(path)
elif call == "read and from_bytes":
    kept = open(path, "rb").read()  # the stored form, header and all: as large as the bits, near enough
    f = bloomfilter()
    f.from_bytes(kept, 3, 8 * len(kept))
else:
    kept = tools.fill(f)
print("done", flush=True)
sys.stdin.readline()
"""

SIZE = 64 << 20


def anonymous(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no RssAnon")


def peak_of(call, path):
    """Anonymous memory of the child above its level before the call: at the
    highest of as many samples as the call allows, and after it."""
    child = subprocess.Popen(
        [sys.executable, "-c", MEASURED, call, str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "ready\n"
        before = anonymous(child.pid)
        child.stdin.write("go\n")
        child.stdin.flush()
        peak = before
        while not select.select([child.stdout], [], [], 0.0002)[0]:
            peak = max(peak, anonymous(child.pid))
        assert child.stdout.readline() == "done\n"
        after = anonymous(child.pid)
        return max(peak, after) - before, after - before
    finally:
        child.kill()
        child.wait()


@pytest.fixture(scope="module")
def stored_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("peak") / "filter.wbf"
    f = bloomfilter()
    f.from_bytes(np.random.default_rng(5).integers(0, 256, SIZE, dtype=np.uint8).tobytes(), 7, SIZE * 8)
    tools.save(f, path)
    return path


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator adds redzones and shadow memory to every allocation")
@pytest.mark.parametrize(
    "call, least, most",
    [
        ("load", 0.9, 1.1),  # the filter, and no copy beside it: the file is read from the page cache
        ("fill", 0.0, 1.1),  # the byte form that to_bytes gives, and a fixed piece to count in
        ("read and from_bytes", 1.8, 2.2),  # the data and the filter: what the measure must see
    ],
)
def test_memory_at_the_peak(stored_file, call, least, most):
    peak, after = peak_of(call, stored_file)
    assert least * SIZE <= peak <= most * SIZE, f"{peak / SIZE:.2f} x the filter"
    if call != "fill":
        assert after >= least * SIZE  # what was made stays, so the last sample sees it
