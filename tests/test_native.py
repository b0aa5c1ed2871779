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
    readers, whose many small chunks each bring a dictionary of their own:
    both make and look up the same digests at once."""
    column = pa.chunked_array([pa.array([f"{c}-{i % 7}" for i in range(10)]).dictionary_encode() for c in range(2000)])
    expected = key_rows(column)
    rounds = 100
    reader = []

    def fresh():
        reader[:] = [_native.read_stream(column.__arrow_c_stream__(), None, _keys.LAYOUT_VERSION)]

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


TYPED = pa.schema([("a", pa.int64()), ("s", pa.large_string()), ("d", pa.dictionary(pa.uint16(), pa.string_view())),
                   ("t", pa.timestamp("us", "UTC")), ("m", pa.decimal256(40, -3)), ("f", pa.binary(7)), ("b", pa.bool_())])


@pytest.mark.parametrize(
    "schema, types",
    [
        (TYPED, [("a", "int64"), ("s", "string"), ("d", "string"), ("t", "timestamp[us, tz=UTC]"),
                 ("m", "decimal256(40, -3)"), ("f", "fixed_size_binary(7)"), ("b", "bool")]),
        (pa.float32(), [("", "float32")]),
        (pa.field("named", pa.date64()), [("", "date64")]),
        (pa.schema([]), []),
    ],
)
def test_schema_types_are_the_readers_types_and_widths(schema, types):
    """A lone type or field has no name, as a lone column has none; the
    widths are those of the rows the reader makes of such data."""
    assert _native.schema_types(schema.__arrow_c_schema__()) == types
    if types:
        data = schema.empty_table() if isinstance(schema, pa.Schema) else pa.array([], getattr(schema, "type", schema))
        assert key_rows(data).shape[1] == sum(1 + _native.type_width(type_) for _, type_ in types)


@pytest.mark.parametrize(
    "schema, message",
    [
        (pa.schema([("a", pa.int8()), ("l", pa.list_(pa.int8()))]), "column 'l' has type list, which cannot be part of a key"),
        (pa.schema([("n", pa.null())]), "column 'n' has type null, which cannot be part of a key"),
        (pa.float16(), "column '' has type float16, which cannot be part of a key"),
        (pa.schema([("u", pa.uuid())]), "column 'u' has type extension<arrow.uuid>, which cannot be part of a key"),
    ],
)
def test_schema_types_refuse_what_has_no_layout(schema, message):
    with pytest.raises(TypeError) as err:
        _native.schema_types(schema.__arrow_c_schema__())
    assert str(err.value).startswith(message)


@pytest.mark.parametrize("name", ["null", "int", "string ", "decimal128(10,2)", "fixed_size_binary(07)", "timestamp[us, tz=]"])
def test_type_width_refuses_what_the_reader_never_names(name):
    with pytest.raises(ValueError) as err:
        _native.type_width(name)
    assert str(err.value) == f"'{name}' is not the name of a key type"
