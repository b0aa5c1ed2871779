"""The wheel as a user gets it, for the machine of the interpreter running
this test: `make wheel` on x86-64, `make wheel-aarch64` under emulation. pip
installs it into a fresh folder that the interpreter then sees alone, beside
its standard library: there it must run with its dependencies alone (NumPy and
xxhash), pass the model tests and type-check."""
import email.parser
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.tags import sys_tags

ROOT = Path(__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent
GOOD = TESTS / "mypy_cases" / "good.py"
MACHINE = platform.machine()
# make and pip run on the build machine, from .venv, whatever machine this
# interpreter is; PYTHONPATH is this interpreter's.
BUILD_PYTHON = str(ROOT / ".venv" / "bin" / "python")
BUILD_ENV = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
# The tests of bits and answers against the model and the stored filters.
MODEL_TESTS = ["test_insert.py", "test_byte_form.py", "test_storage.py", "test_same_bits.py"]

USE = """
import importlib.metadata
import numpy as np
import woxbloomfilter, woxbloomfilter_tools
from woxbloomfilter import bloomfilter

assert bloomfilter.__module__ == "woxbloomfilter"
print(woxbloomfilter.__file__)
f = woxbloomfilter_tools.sized(1000, 0.01)
rows = np.arange(30, dtype=np.int64).reshape(10, 3)
f.insert(rows[:5])
print(woxbloomfilter_tools.loads(woxbloomfilter_tools.dumps(f)).test(rows))
print(sorted(d.metadata["Name"] for d in importlib.metadata.distributions()))
"""

# pytest, once the module is known to be the installed one.
PYTEST = """
import sys, pytest, woxbloomfilter
assert woxbloomfilter.__file__.startswith(sys.argv[1]), woxbloomfilter.__file__
sys.exit(pytest.main(sys.argv[2:]))
"""


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, check=True, **kwargs)


def pip_install(target, *requirements):
    """pip, told the platforms this interpreter takes, installs into target."""
    platforms = dict.fromkeys(f"--platform={tag.platform}" for tag in sys_tags())
    run(BUILD_PYTHON, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", "--only-binary=:all:",
        "--implementation=cp", "--python-version=3.13", "--abi=cp313", *platforms, "--target", str(target),
        *map(str, requirements), env=BUILD_ENV)


def pinned(*names):
    lines = (ROOT / "requirements-dev.txt").read_text().splitlines()
    return [line for line in lines if line.split("==")[0] in names]


def alone(*folders):
    """This interpreter without site-packages (-S), seeing only folders."""
    return [sys.executable, "-S"], {**BUILD_ENV, "PYTHONPATH": os.pathsep.join(map(str, folders))}


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The wheel, and the folder where pip installed it."""
    tmp = tmp_path_factory.mktemp("wheel")
    verb = {"x86_64": "wheel", "aarch64": "wheel-aarch64"}[MACHINE]
    run("make", "-s", verb, f"DIST={tmp / 'dist'}", "WHEEL_BUILD=build/wheel-test", cwd=ROOT, env=BUILD_ENV)
    [wheel] = (tmp / "dist").glob("*.whl")
    pip_install(tmp / "env", wheel)
    return wheel, tmp / "env"


def test_tag_and_contents(installed):
    wheel, _ = installed
    assert re.fullmatch(
        rf"woxbloomfilter-[\d.]+-cp313-cp313-manylinux2014_{MACHINE}\.manylinux_2_17_{MACHINE}\.whl", wheel.name
    )
    # Only what is listed: a folder named woxbloomfilter/ would shadow the extension.
    top = {name.split("/")[0] for name in zipfile.ZipFile(wheel).namelist()}
    assert {name for name in top if not name.endswith(".dist-info")} == {
        "woxbloomfilter" + sysconfig.get_config_var("EXT_SUFFIX"), "woxbloomfilter-stubs", "woxbloomfilter_tools",
    }


def test_extras_stay_extras(installed):
    """The wheel depends on NumPy and xxhash alone; pyspark, Dask and the
    command line's packages come only with the extra that names them."""
    wheel, _ = installed
    with zipfile.ZipFile(wheel) as archive:
        [name] = [name for name in archive.namelist() if name.endswith(".dist-info/METADATA")]
        metadata = email.parser.Parser().parsestr(archive.read(name).decode())
    extras = metadata.get_all("Provides-Extra")
    assert sorted(extras) == ["cli", "dask", "spark"]
    wanted = {}
    for requirement in map(Requirement, metadata.get_all("Requires-Dist")):
        marker = requirement.marker
        for extra in [None] if marker is None else [e for e in extras if marker.evaluate({"extra": e})]:
            wanted.setdefault(extra, set()).add(requirement.name)
    assert wanted == {None: {"numpy", "xxhash"}, "dask": {"dask", "distributed"}, "cli": {"pyarrow", "tqdm"},
                      "spark": {"pyspark"}}


def test_runs_with_its_dependencies_alone(installed, tmp_path):
    _, env = installed
    python, variables = alone(env)
    out = run(*python, "-c", USE, cwd=tmp_path, env=variables)
    assert out.stdout.splitlines() == [
        str(env / ("woxbloomfilter" + sysconfig.get_config_var("EXT_SUFFIX"))),
        str([True] * 5 + [False] * 5),
        str(["numpy", "woxbloomfilter", "xxhash"]),
    ]


def test_command_line(installed, tmp_path):
    """`woxbloom` without its extra names the extra; with pyarrow and tqdm
    beside the wheel, it builds a filter from a CSV file and reads it back."""
    _, env = installed
    assert (env / "bin" / "woxbloom").is_file()
    cli = ["-m", "woxbloomfilter_tools"]
    python, variables = alone(env)
    bare = subprocess.run([*python, *cli, "info", "ids.wbf"], capture_output=True, text=True, cwd=tmp_path, env=variables)
    assert (bare.returncode, bare.stderr) == (2, "woxbloom: error: the command line needs pyarrow and tqdm, and pyarrow "
                                                 'is missing: pip install "woxbloomfilter[cli]"\n')
    pip_install(tmp_path / "cli", *pinned("pyarrow", "tqdm"))
    python, variables = alone(env, tmp_path / "cli")
    (tmp_path / "ids.csv").write_text("id,name\n1,ana\n2,\n")
    run(*python, *cli, "build", "ids.wbf", "ids.csv", "--key", "id,name", cwd=tmp_path, env=variables)
    info = json.loads(run(*python, *cli, "info", "ids.wbf", "--json", cwd=tmp_path, env=variables).stdout)
    assert info["layout"]["columns"] == [["id", "int64"], ["name", "string"]]


def test_model_tests_pass(installed, tmp_path):
    _, env = installed
    pip_install(tmp_path / "tools", *pinned("pytest", "hypothesis", "mmh3"))
    python, variables = alone(env, tmp_path / "tools")
    out = subprocess.run(
        [*python, "-c", PYTEST, str(env), "-p", "no:cacheprovider", "-q", *(str(TESTS / name) for name in MODEL_TESTS)],
        capture_output=True, text=True, cwd=ROOT, env=variables,
    )
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
    assert re.search(r"^\d+ passed in ", out.stdout, re.MULTILINE), out.stdout[-3000:]


def test_stubs_type_check(installed, tmp_path):
    """mypy finds the installed stubs and the companion's annotations, and
    nothing from the source tree: the interpreter it asks for installed
    packages is the base one, with the fresh folder on its path."""
    _, env = installed
    shutil.copy(GOOD, tmp_path)
    variables = {key: value for key, value in BUILD_ENV.items() if key != "MYPYPATH"}
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-executable", sys._base_executable,
         "--cache-dir", str(tmp_path / "cache"), "good.py"],
        capture_output=True, text=True, cwd=tmp_path, env={**variables, "PYTHONPATH": str(env)},
    )
    assert out.returncode == 0, out.stdout + out.stderr
