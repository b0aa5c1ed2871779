"""Each regime of a large filter ends in the model's bits: up to 8 MiB bits
are set and checked as positions are made, beyond that the words of the next
block are fetched ahead, and beyond 32 MiB tests probe in rounds; positions
are reduced by a mask when m is a power of two and by multiplication
otherwise. Every row length and both ways of reading rows are covered in
test_insert.py; positions past 2**32 in test_properties.py."""
import numpy as np
import pytest

from model import MASK64, PackedModel, hash_pair, row_bytes
from woxbloomfilter import bloomfilter

ROWS = 171  # blocks of 64 or 32 rows, each two or one lane groups, and a rest hashed row by row


@pytest.mark.parametrize(
    "m",
    [2**26 - 1, 2**26, 2**26 + 1, 2**28 - 1, 2**28, 2**28 + 3],
    ids=["direct", "fetch ahead, mask", "fetch ahead", "fetch ahead, largest", "rounds, mask", "rounds"],
)
def test_large_filter_regimes(m):
    rng = np.random.default_rng(m)
    rows = rng.integers(0, 2**32, (2 * ROWS, 4), dtype=np.uint32)
    # Some rows step past 2**64 within their k positions.
    assert any((h1 + 7 * h2) > MASK64 for h1, h2 in (hash_pair(row_bytes(rows, r)) for r in range(ROWS)))
    # Seven bits in eight set, so that absent rows stop in every round of a test.
    dense = np.bitwise_or.reduce(rng.integers(0, 256, (3, (m + 7) // 8), dtype=np.uint8)).tobytes()
    for view in (rows, np.asfortranarray(rows)):  # in place, then gathered
        f, model = bloomfilter(), PackedModel(7, m, dense)
        f.from_bytes(dense, 7, m)
        f.insert(view[:ROWS])
        model.insert(view[:ROWS])
        assert f.to_bytes() == model.bytes.tobytes()
        answers = f.test(view)
        assert answers == model.test(view)
        assert answers[:ROWS] == [True] * ROWS and 0 < sum(answers[ROWS:]) < ROWS
