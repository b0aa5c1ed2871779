"""woxbloomfilter_tools: sizing against independent arithmetic, and fill,
row estimates and expected rates against real filters and the model."""
import math
import subprocess
import sys
from decimal import ROUND_CEILING, ROUND_HALF_EVEN, Decimal, localcontext

import numpy as np
import pytest

import woxbloomfilter_tools as tools
from model import Model
from woxbloomfilter import bloomfilter


def exact_parameters(n, p):
    """k and m in 50-digit decimal arithmetic rather than binary floats."""
    with localcontext() as ctx:
        ctx.prec = 50
        ln2 = Decimal(2).ln()
        m = (-n * Decimal(p).ln() / ln2**2).to_integral_value(ROUND_CEILING)
        k = (m / n * ln2).to_integral_value(ROUND_HALF_EVEN)
    return max(1, int(k)), int(m)


@pytest.mark.parametrize(
    "n, p",
    [
        (2_000_000, 0.01),
        (np.int64(2_000_000), np.float64(0.01)),
        (1_000_000, 0.1),
        (1_000_000, 0.001),
        (1_000_000, 0.0001),
        (1, 0.5),
        (10, 0.99),  # k would round to 0
        (123_457, 1e-9),
        (10**12, 0.05),
    ],
)
def test_parameters(n, p):
    assert tools.parameters(n, p) == exact_parameters(int(n), float(p))


def test_demo_figures_and_sized():
    assert tools.parameters(2_000_000, 0.01) == (7, 19_170_117)
    f = tools.sized(2_000_000, 0.01)
    assert (f.get_k(), f.get_m(), tools.fill(f)) == (7, 19_170_117, 0.0)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: tools.parameters(0, 0.01), ValueError, "n must be at least 1, got 0"),
        (lambda: tools.sized(-5, 0.01), ValueError, "n must be at least 1, got -5"),
        (lambda: tools.parameters(1.5, 0.01), TypeError, "n must be an integer, not float"),
        (lambda: tools.parameters(True, 0.01), TypeError, "n must be an integer, not bool"),
        (lambda: tools.parameters(100, 0), ValueError, "p must be above 0 and below 1, got 0.0"),
        (lambda: tools.parameters(100, 1), ValueError, "p must be above 0 and below 1, got 1.0"),
        (lambda: tools.parameters(100, -0.5), ValueError, "p must be above 0 and below 1, got -0.5"),
        (lambda: tools.parameters(100, math.nan), ValueError, "p must be above 0 and below 1, got nan"),
        (lambda: tools.parameters(100, "0.1"), TypeError, "p must be a real number, not str"),
        (lambda: tools.parameters(100, None), TypeError, "p must be a real number, not NoneType"),
        (lambda: tools.expected_fpr(-1, 10, 1), ValueError, "k must be at least 0, got -1"),
        (lambda: tools.expected_fpr(3, 10, 2.0), TypeError, "n must be an integer, not float"),
        (lambda: tools.expected_fpr(3, 0, 10), ValueError, "k = 3 positions cannot be placed in m = 0 bits"),
        (lambda: tools.estimated_rows(bloomfilter()), ValueError,
         "a filter with k = 0 sets no bits, so its rows cannot be counted"),
    ],
)
def test_bad_arguments_are_named(call, error, message):
    with pytest.raises(error) as err:
        call()
    assert str(err.value) == message


def loaded(data, k, m):
    f = bloomfilter()
    f.from_bytes(data, k, m)
    return f


@pytest.mark.parametrize(
    "f, share, rows",
    [
        (loaded(b"\x0f" * 8, 3, 64), 0.5, 64 * math.log(2) / 3),
        (loaded(b"\x01\x08", 2, 12), 2 / 12, -6 * math.log(10 / 12)),
        (loaded(b"\xff\xff", 2, 12), 1.0, math.inf),  # the last byte's 4 surplus bits are dropped
        (loaded(b"", 3, 10), 0.0, 0.0),
        (loaded(b"", 3, 0), 0.0, 0.0),
    ],
)
def test_fill_and_estimate_of_known_bits(f, share, rows):
    assert tools.fill(f) == share
    assert tools.estimated_rows(f) == pytest.approx(rows, rel=1e-12)


def test_fill_estimate_and_rate_of_a_real_filter():
    k, m, n = 4, 100_003, 10_000
    rng = np.random.default_rng(11)
    seen = rng.integers(0, 2**62, (n, 2))
    unseen = rng.integers(2**62, 2**63, (200_000, 2))  # other values: never inserted
    f, model = bloomfilter(), Model(k, m)
    f.configure(k, m)
    f.insert(seen)
    model.insert(seen)
    assert tools.fill(f) == model.bits.mean()
    assert tools.estimated_rows(f) == pytest.approx(n, rel=0.03)
    expected = tools.expected_fpr(k, m, n)
    assert expected == pytest.approx((1 - (1 - 1 / m) ** (k * n)) ** k, rel=1e-4)
    assert np.mean(f.test(unseen)) == pytest.approx(expected, rel=0.1)


@pytest.mark.parametrize("k, m, n, rate", [(0, 0, 5, 1.0), (0, 100, 5, 1.0), (3, 100, 0, 0.0)])
def test_expected_fpr_edges(k, m, n, rate):
    assert tools.expected_fpr(k, m, n) == rate


def test_imports_without_dask():
    code = (
        "import sys\n"
        "sys.modules['dask'] = None\n"
        "import woxbloomfilter_tools as t\n"
        "print(t.parameters(2_000_000, 0.01))\n"
        "try:\n"
        "    t.dask_build(None, 3, 100)\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split("\n") == ["(7, 19170117)", "ModuleNotFoundError", ""]
