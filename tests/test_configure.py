"""Filter state and configuration."""
import pytest

from woxbloomfilter import bloomfilter

MAX_BITS = 9223372036854775744  # the bit vector's limit: 2**63 - 64


def test_new_filter_is_unconfigured():
    f = bloomfilter()
    assert (f.get_k(), f.get_m()) == (0, 0)


@pytest.mark.parametrize("k, m", [(3, 1000), (0, 0), (2**64 - 1, 1), (1, 0), (0, 64), (60, 1_000_003)])
def test_configure_stores_k_and_m(k, m):
    f = bloomfilter()
    f.configure(k, m)
    assert (f.get_k(), f.get_m()) == (k, m)


def test_reconfigure_replaces_configuration():
    f = bloomfilter()
    f.configure(3, 1000)
    f.configure(7, 10)
    assert (f.get_k(), f.get_m()) == (7, 10)


@pytest.mark.parametrize(
    "m, error, message",
    [
        (MAX_BITS + 1, ValueError, "^vector<bool>::_M_fill_insert$"),
        (2**63, ValueError, "^vector<bool>::_M_fill_insert$"),
        (2**64 - 1, ValueError, "^vector<bool>::_M_fill_insert$"),
        (MAX_BITS, MemoryError, None),
        (2**62, MemoryError, None),
    ],
)
def test_failed_configure_keeps_the_filter(m, error, message):
    f = bloomfilter()
    f.configure(5, 4096)
    with pytest.raises(error, match=message):
        f.configure(9, m)
    assert (f.get_k(), f.get_m()) == (5, 4096)
    f.configure(2, 8)
    assert (f.get_k(), f.get_m()) == (2, 8)
