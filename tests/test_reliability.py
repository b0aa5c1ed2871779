"""Long calls stop at a signal: Ctrl-C (SIGINT) or whatever a Python signal
handler raises ends an insert or a test between two blocks of rows. An
interrupted insert keeps the bits of the blocks it finished; an interrupted
test returns nothing.

Each call runs in a child process: a call that never looked at signals would
run for minutes, and the watchdog then ends the child instead of the suite.
Another Python thread cannot interrupt a call (the call holds the interpreter
lock, so the thread does not run until the call ends), so the signal comes
from this process or from a timer in the child."""
import json
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from model import Model

WATCHDOG = 120  # seconds; uninterrupted, each call would run for many minutes

CHILD = r"""
import json, signal, sys
import numpy as np
from woxbloomfilter import bloomfilter

method, how = sys.argv[1], sys.argv[2]


class Ring(Exception):
    pass


def ring(signum, frame):
    raise Ring("the timer rang")


f = bloomfilter()
f.configure(5, 1 << 16)
if method == "test":
    # Rows of 4 KiB: hashing 10**8 of them takes minutes, and a list of the
    # answers would be built only after the last one.
    f.insert(np.zeros((1, 4), dtype=np.int32))
    rows = np.broadcast_to(np.arange(4096, dtype=np.uint16).astype(np.uint8), (10**8, 4096))
else:
    rows = np.broadcast_to(np.arange(4, dtype=np.int32), (10**10, 4))  # the same row 10**10 times
before = f.to_bytes().hex()
result = "nothing"
if how == "timer":
    signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
print("calling", flush=True)
try:
    result = f.insert_along(rows, 1) if method == "insert_along" else getattr(f, method)(rows)
    raised = None
except (KeyboardInterrupt, Ring) as e:
    raised = [type(e).__name__, str(e)]
# Still usable afterwards.
f.insert(np.ones((2, 2), dtype=np.int8))
print(json.dumps({"raised": raised, "result": repr(result)[:40], "before": before, "after": f.to_bytes().hex(),
                  "still": f.test(np.ones((2, 2), dtype=np.int8))}))
"""


def interrupted_call(method, how):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, method, how], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "calling\n"
        if how == "SIGINT":
            time.sleep(0.3)  # let the call get under way; a signal before it would not test it
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=WATCHDOG)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail(f"{method} did not stop within {WATCHDOG} s of the signal")
    assert child.returncode == 0, err
    return json.loads(out)


@pytest.mark.parametrize(
    "method, how, error",
    [
        ("insert", "SIGINT", ["KeyboardInterrupt", ""]),
        ("insert_along", "timer", ["Ring", "the timer rang"]),
        ("test", "SIGINT", ["KeyboardInterrupt", ""]),
        ("test", "timer", ["Ring", "the timer rang"]),
    ],
)
def test_a_signal_stops_a_long_call(method, how, error):
    got = interrupted_call(method, how)
    assert got["raised"] == error
    assert got["result"] == "'nothing'"
    # An insert keeps whole blocks: every row is the same, so its bits are
    # either all there or none of them. A test changes no bit.
    untouched = Model.from_bytes(bytes.fromhex(got["before"]), 5, 1 << 16)
    finished = Model.from_bytes(bytes.fromhex(got["before"]), 5, 1 << 16)
    finished.insert(np.arange(4, dtype=np.int32).reshape(1, 4))
    possible = [untouched] if method == "test" else [untouched, finished]
    for model in possible:
        model.insert(np.ones((2, 2), dtype=np.int8))  # the insert after the interrupted call
    assert bytes.fromhex(got["after"]) in [model.to_bytes() for model in possible]
    assert got["still"] == [True, True]
