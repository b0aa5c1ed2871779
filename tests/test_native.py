"""The native helper's entry points, called as Python code may call them:
an out buffer whose exporter changes the list being read, and one reader
filled from two threads at once."""
import threading

import numpy as np
import pyarrow as pa
import pytest

from woxbloomfilter_tools import _keys, _native, key_rows


def _replace(answers, items, size):
    """An out buffer of `size` bytes whose exporter first makes `answers` hold `items`."""

    class Out:
        def __buffer__(self, flags):
            answers[:] = items
            return memoryview(bytearray(size))

    return Out()


@pytest.mark.parametrize(
    "items, size, error",
    [
        ([], 0, None),
        ([], 4000, "out must be a writable contiguous buffer of 0 bytes"),
        ([False, True, True], 3, None),
        ([True] * 9000, 9000, None),  # a longer list: its items move
        ([True, 7, False], 3, "answers must be True or False, not int (item 1)"),
    ],
    ids=["emptied", "emptied, old size", "shortened", "lengthened", "refused item"],
)
def test_mask_reads_the_list_as_it_is_once_out_is_had(items, size, error):
    answers = [True, False] * 2000
    out = _replace(answers, items, size)
    if error is None:
        _native.mask(answers, out)
    else:
        with pytest.raises((ValueError, TypeError)) as err:
            _native.mask(answers, out)
        assert str(err.value) == error
    assert answers == items


def test_one_reader_filled_from_two_threads():
    """Two threads set out together to fill all the rows of each of many fresh
    readers, whose many small batches each bring a dictionary of their own:
    both make and look up the same digests at once."""
    batches = [pa.record_batch({"c": pa.array([f"{b}-{i % 7}" for i in range(10)]).dictionary_encode()}) for b in range(2000)]
    table = pa.Table.from_batches(batches)
    expected = key_rows(table)
    rounds = 100
    reader = []

    def fresh():
        reader[:] = [_native.read_stream(table.__arrow_c_stream__(), None, _keys.LAYOUT_VERSION)]

    start = threading.Barrier(2, action=fresh)
    matched, errors = [0, 0], []

    def fill(k):
        out = np.empty_like(expected)
        try:
            for _ in range(rounds):
                start.wait()
                out.fill(0xAA)
                reader[0].fill(0, out)
                matched[k] += bool((out == expected).all())
        except BaseException as error:
            errors.append(error)
            start.abort()  # the other thread stops waiting

    threads = [threading.Thread(target=fill, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and matched == [rounds, rounds]
