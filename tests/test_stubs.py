"""The type stubs (python/woxbloomfilter.pyi) and the companion's annotations:
names against the module, parameters against the signatures the module
renders, and what mypy makes of correct use and of misuse."""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from woxbloomfilter import bloomfilter

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "woxbloomfilter.pyi"
TYPING = Path(__file__).resolve().parent / "mypy_cases"
# Type checking reads the stubs and the companion from the source tree.
MYPY_ENV = {**os.environ, "MYPYPATH": str(ROOT / "python")}

# What each rendered type is in the stubs. Integers are SupportsIndex, not
# SupportsInt: the module refuses floats. A stub may add type arguments.
STUB_TYPE = {
    "typing.SupportsInt": "SupportsIndex",
    "numpy.ndarray": "NDArray[Any]",
    "woxbloomfilter.bloomfilter": "bloomfilter",
}


def stub_methods():
    tree = ast.parse(STUB.read_text())
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    return {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


def rendered(method):
    """(parameter types after self, return type) from the signature line."""
    match = re.fullmatch(r"(\w+)\((.*)\) -> (.+)\n", getattr(bloomfilter, method).__doc__)
    assert match and match[1] == method
    params = [p for p in match[2].split(", ")[1:] if p != "/"]
    return [p.split(": ", 1)[1] for p in params], match[3]


def agrees(stub_annotation, rendered_type):
    expected = STUB_TYPE.get(rendered_type, rendered_type)
    return stub_annotation == expected or stub_annotation.startswith(expected + "[")


def test_stubtest_finds_every_name(tmp_path):
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "woxbloomfilter",
         "--allowlist", str(Path(__file__).parent / "stubtest-allowlist.txt")],
        capture_output=True, text=True, env=MYPY_ENV, cwd=tmp_path,  # its .mypy_cache goes there
    )
    assert out.returncode == 0, out.stdout + out.stderr


# pybind11's hook for passing objects between its modules, not for callers.
REGISTERED = [name for name, value in vars(bloomfilter).items() if callable(value) and name != "_pybind11_conduit_v1_"]


@pytest.mark.parametrize("method", REGISTERED)
def test_stub_parameters_match_the_rendered_signature(method):
    stub = stub_methods()[method]
    types, result = rendered(method)
    args = stub.args
    params = args.posonlyargs + args.args
    assert params[0].arg == "self"
    assert not (args.kwonlyargs or args.vararg or args.kwarg or args.defaults)
    # The module registers no argument names: keywords fail at run time.
    assert all(p in args.posonlyargs for p in params[1:])
    annotations = [ast.unparse(p.annotation) for p in params[1:]]
    assert len(annotations) == len(types)
    assert [(a, t) for a, t in zip(annotations, types) if not agrees(a, t)] == []
    assert agrees(ast.unparse(stub.returns), result)
    assert ast.get_docstring(stub)


def test_mypy_accepts_correct_use_and_refuses_each_misuse():
    """good.py and the companion's own sources pass --strict; in misuse.py
    each line marked `# E: code` gives that error and no other line gives any."""
    # A cache that outlives the run spares reading NumPy's stubs again.
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
         "--cache-dir", str(ROOT / "build" / "mypy-cache"),
         "good.py", "misuse.py", str(ROOT / "python" / "woxbloomfilter_tools")],
        capture_output=True, text=True, env=MYPY_ENV, cwd=TYPING,
    )
    errors = re.findall(r"^(\S+):(\d+): error: .*\[([\w-]+)\]$", out.stdout, re.MULTILINE)
    assert out.stderr == ""
    found = sorted({(file, int(line), code) for file, line, code in errors})
    marked = [
        ("misuse.py", number, code)
        for number, text in enumerate((TYPING / "misuse.py").read_text().splitlines(), start=1)
        for code in re.findall(r"# E: ([\w-]+)$", text)
    ]
    assert len(marked) > 25
    assert found == marked, out.stdout
