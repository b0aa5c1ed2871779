"""The module surface: docstring, class registration, signatures and the
conversion of arguments at the binding boundary."""
import json
import subprocess
import sys

import numpy as np
import pytest

import woxbloomfilter
from woxbloomfilter import bloomfilter

DOCSTRING = (
    "\n"
    "        Bloom Filter - Brenvald RKVS Version\n"
    "        -----------------------\n"
    "\n"
    "        .. currentmodule:: python_example\n"
    "\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "\n"
    "\tbloomfilter\n"
    "    "
)

SELF = "self: woxbloomfilter.bloomfilter"


def test_module_docstring_byte_for_byte():
    assert woxbloomfilter.__doc__ == DOCSTRING


def test_module_holds_only_the_class():
    public = {name for name in vars(woxbloomfilter) if not name.startswith("__")}
    assert public == {"bloomfilter"}


def test_class_identity():
    assert bloomfilter.__name__ == "bloomfilter"
    assert bloomfilter.__qualname__ == "bloomfilter"
    assert bloomfilter.__module__ == "woxbloomfilter"


@pytest.mark.parametrize(
    "method, signature",
    [
        ("__init__", f"__init__({SELF}) -> None\n"),
        ("configure", f"configure({SELF}, arg0: typing.SupportsInt, arg1: typing.SupportsInt) -> None\n"),
        ("get_k", f"get_k({SELF}) -> int\n"),
        ("get_m", f"get_m({SELF}) -> int\n"),
        ("insert", f"insert({SELF}, arg0: numpy.ndarray) -> None\n"),
        ("test", f"test({SELF}, arg0: numpy.ndarray) -> list[bool]\n"),
        ("insert_along", f"insert_along({SELF}, arg0: numpy.ndarray, arg1: typing.SupportsInt) -> None\n"),
        ("dbg_getrow", f"dbg_getrow({SELF}, arg0: numpy.ndarray, arg1: typing.SupportsInt) -> list[int]\n"),
        ("dbg_gethex", f"dbg_gethex({SELF}, arg0: numpy.ndarray, arg1: typing.SupportsInt) -> str\n"),
        ("to_bytes", f"to_bytes({SELF}) -> bytes\n"),
        (
            "from_bytes",
            f"from_bytes({SELF}, arg0: bytes, arg1: typing.SupportsInt, arg2: typing.SupportsInt) -> None\n",
        ),
        ("__getstate__", f"__getstate__({SELF}, /) -> tuple\n"),
        ("__setstate__", f"__setstate__({SELF}, arg0: tuple) -> None\n"),
        ("union", f"union({SELF}, arg0: woxbloomfilter.bloomfilter) -> None\n"),
        ("intersect", f"intersect({SELF}, arg0: woxbloomfilter.bloomfilter) -> None\n"),
    ],
)
def test_rendered_signature_is_the_whole_doc(method, signature):
    assert getattr(bloomfilter, method).__doc__ == signature


def test_methods_are_registered_in_order():
    methods = [name for name in vars(bloomfilter) if callable(getattr(bloomfilter, name)) and name != "__reduce__"]
    assert methods == [
        "__init__", "_pybind11_conduit_v1_", "configure", "insert", "test", "insert_along", "dbg_getrow",
        "dbg_gethex", "to_bytes", "from_bytes", "__getstate__", "__setstate__", "union", "intersect",
        "get_k", "get_m",
    ]


def test_constructor_takes_no_argument():
    with pytest.raises(TypeError) as err:
        bloomfilter(3)
    assert str(err.value).startswith("__init__(): incompatible constructor arguments.")
    assert "Invoked with: 3" in str(err.value)


def test_subclass_must_call_base_init():
    class Skips(bloomfilter):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"^woxbloomfilter\.bloomfilter\.__init__\(\) must be called when overriding __init__$"):
        Skips()


def test_subclass_calling_base_init_works():
    class Calls(bloomfilter):
        def __init__(self):
            super().__init__()
            self_k = 5
            self.configure(self_k, 64)

    assert (Calls().get_k(), Calls().get_m()) == (5, 64)


def test_no_instance_dict():
    f = bloomfilter()
    assert not hasattr(f, "__dict__")
    with pytest.raises(AttributeError):
        f.anything = 1


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((3.0, 10), {}),
        ((3, 10.5), {}),
        ((-1, 10), {}),
        ((3, -10), {}),
        ((2**64, 10), {}),
        ((3, 2**64), {}),
        ((np.float64(3), 10), {}),
        (("3", 10), {}),
        ((None, 10), {}),
        ((3,), {}),
        ((3, 10, 1), {}),
        ((), {"k": 3, "m": 10}),
        ((3,), {"m": 10}),
    ],
)
def test_configure_refuses_arguments_and_keeps_state(args, kwargs):
    f = bloomfilter()
    f.configure(2, 16)
    with pytest.raises(TypeError) as err:
        f.configure(*args, **kwargs)
    assert str(err.value).startswith("configure(): incompatible function arguments.")
    assert (f.get_k(), f.get_m()) == (2, 16)


@pytest.mark.parametrize(
    "k, m, expected",
    [
        (True, 8, (1, 8)),
        (np.int64(7), np.uint16(300), (7, 300)),
        (np.uint64(2**64 - 1), np.int8(0), (2**64 - 1, 0)),
        (np.bool_(True), 1, (1, 1)),
    ],
)
def test_configure_accepts_ints_bools_and_numpy_integers(k, m, expected):
    f = bloomfilter()
    f.configure(k, m)
    assert (f.get_k(), f.get_m()) == expected


# Both kinds of sub-interpreter refuse the import with the same message: an
# isolated one by itself, a legacy one (shared interpreter lock, no check of
# extensions) by the module. Before the module refused it, a legacy one that
# imported the module ahead of NumPy ended the process at its first array.
# A child process, so that such an end fails this test instead of the run.
SUBINTERPRETER = """
import _interpreters, sys
if sys.argv[2] == "main first":
    import numpy, woxbloomfilter
    woxbloomfilter.bloomfilter().test(numpy.zeros((1, 1)))
interp = _interpreters.create(sys.argv[1])
failure = _interpreters.run_string(interp, "import woxbloomfilter; woxbloomfilter.bloomfilter().test([[1]])")
print(failure.type.__name__, failure.msg)
import numpy, woxbloomfilter
f = woxbloomfilter.bloomfilter()
f.configure(3, 64)
print(f.test(numpy.zeros((1, 1))))
"""


@pytest.mark.parametrize("order", ["main first", "sub-interpreter first"])
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_subinterpreters_are_refused(kind, order):
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER, kind, order], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr[-500:]
    assert out.stdout.splitlines() == [
        "ImportError module woxbloomfilter does not support loading in subinterpreters",
        "[False]",
    ]


def test_import_needs_no_numpy_until_an_array_arrives():
    code = (
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "import woxbloomfilter\n"
        "f = woxbloomfilter.bloomfilter()\n"
        "f.configure(3, 100)\n"
        "print(f.get_k(), f.get_m())\n"
        "try:\n"
        "    f.insert([[1, 2]])\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["3", "100", "ModuleNotFoundError"]
