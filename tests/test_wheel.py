"""The wheel as a user gets it: `make wheel`, then pip into a fresh virtual
environment, where it must run with NumPy and xxhash alone and type-check."""
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
GOOD = Path(__file__).resolve().parent / "mypy_cases" / "good.py"

USE = """
import importlib.metadata
import numpy as np
import woxbloomfilter, woxbloomfilter_tools
from woxbloomfilter import bloomfilter

assert bloomfilter.__module__ == "woxbloomfilter" and woxbloomfilter.__file__.endswith(".so")
f = woxbloomfilter_tools.sized(1000, 0.01)
rows = np.arange(30, dtype=np.int64).reshape(10, 3)
f.insert(rows[:5])
print(woxbloomfilter_tools.loads(woxbloomfilter_tools.dumps(f)).test(rows))
print(sorted(d.metadata["Name"] for d in importlib.metadata.distributions()))
"""


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, check=True, **kwargs)


def test_wheel_in_a_fresh_environment(tmp_path):
    run("make", "-s", "wheel", f"DIST={tmp_path / 'dist'}", "WHEEL_BUILD=build/wheel-test", cwd=ROOT)
    [wheel] = (tmp_path / "dist").glob("*.whl")
    assert re.fullmatch(r"woxbloomfilter-[\d.]+-cp313-cp313-manylinux_2_\d+_x86_64\.whl", wheel.name)
    # Only what is listed: a folder named woxbloomfilter/ would shadow the extension.
    top = {name.split("/")[0] for name in zipfile.ZipFile(wheel).namelist()}
    assert {name for name in top if not name.endswith(".dist-info")} == {
        "woxbloomfilter.cpython-313-x86_64-linux-gnu.so", "woxbloomfilter-stubs", "woxbloomfilter_tools",
    }

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", str(venv))  # a venv of the base interpreter, not of .venv
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", str(wheel))
    out = run(python, "-c", USE, cwd=tmp_path)
    assert out.stdout.splitlines() == [
        str([True] * 5 + [False] * 5), str(["numpy", "pip", "woxbloomfilter", "xxhash"]),
    ]

    # mypy finds the installed stubs and the companion's annotations, and
    # nothing from the source tree.
    shutil.copy(GOOD, tmp_path)
    env = {key: value for key, value in os.environ.items() if key not in ("MYPYPATH", "PYTHONPATH")}
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
         "--cache-dir", str(tmp_path / "cache"), "good.py"],
        capture_output=True, text=True, cwd=tmp_path, env=env,
    )
    assert out.returncode == 0, out.stdout + out.stderr
