"""Same bits on every machine: filters stored in same_bits.json, made on
x86-64, must come out byte for byte the same wherever the suite runs (make
test-aarch64 runs it under emulation). Each case is a few kinds of rows, its
rows' raw bytes, the layout they are read through, the filter's byte form
after inserting the first 32 rows (one group of hash lanes) and the answers
for all 40.

`python tests/test_same_bits.py` made the file; it writes a new one only
where the module and tests/model.py agree."""
import json
import platform
from pathlib import Path

import numpy as np
import pytest

from model import Model
from woxbloomfilter import bloomfilter

DATA = Path(__file__).with_name("same_bits.json")
STORED = json.loads(DATA.read_text())

# Layouts, by the name the file gives them: rows read in place, gathered
# through a Fortran order, and a view that steps backwards over rows and
# skips columns.
LAYOUTS = {
    "C": lambda a: a,
    "Fortran": np.asfortranarray,
    "every other row and column, backwards": lambda a: a[::-2, ::2],
}


def rows_of(case):
    raw = np.frombuffer(bytes.fromhex(case["raw"]), dtype=case["dtype"]).reshape(case["shape"])
    return LAYOUTS[case["layout"]](raw)


def filter_of(rows, k, m, inserted):
    f = bloomfilter()
    f.configure(k, m)
    f.insert(rows[:inserted])
    return f


def answers(f, rows):
    return "".join("1" if t else "0" for t in f.test(rows))


@pytest.mark.parametrize("case", STORED["cases"], ids=lambda case: case["name"])
def test_stored_filter_comes_out_the_same(case):
    rows = rows_of(case)
    f = filter_of(rows, STORED["k"], STORED["m"], STORED["inserted"])
    assert f.to_bytes().hex() == case["filter"]
    assert answers(f, rows) == case["answers"]


def make(k=5, m=1009, inserted=32):
    assert platform.machine() == "x86_64"
    rng = np.random.default_rng(20261208)
    floats = rng.standard_normal((40, 2))
    floats.flat[:6] = [-0.0, 0.0, np.nan, -np.inf, 5e-324, np.inf]
    floats.view(np.uint64).flat[6] = 0x7FF8_0000_DEAD_BEEF  # a NaN with a payload
    kinds = [
        ("int64", rng.integers(-(2**62), 2**62, (40, 3), dtype="<i8"), "C"),
        ("float64: zeros of both signs, NaNs, infinities, a subnormal", floats.astype("<f8"), "Fortran"),
        ("fixed-width bytes S5", rng.integers(0, 256, (40, 15), dtype=np.uint8).view("S5"), "C"),
        ("int32", rng.integers(-(2**31), 2**31, (80, 5), dtype="<i4"), "every other row and column, backwards"),
        ("uint8 rows of 37 bytes", rng.integers(0, 256, (40, 37), dtype=np.uint8), "C"),
    ]
    cases = []
    for name, raw, layout in kinds:
        case = {"name": name, "dtype": raw.dtype.str, "shape": list(raw.shape), "layout": layout,
                "raw": np.ascontiguousarray(raw).tobytes().hex()}
        rows = rows_of(case)
        f, model = filter_of(rows, k, m, inserted), Model(k, m)
        model.insert(rows[:inserted])
        assert f.to_bytes() == model.to_bytes() and f.test(rows) == model.test(rows)
        cases.append(dict(case, filter=f.to_bytes().hex(), answers=answers(f, rows)))
    made = (f"by python tests/test_same_bits.py on x86-64 with NumPy {np.__version__}; each filter and its "
            "answers agreed with tests/model.py")
    DATA.write_text(json.dumps({"made": made, "k": k, "m": m, "inserted": inserted, "cases": cases}, indent=1) + "\n")


if __name__ == "__main__":
    make()
