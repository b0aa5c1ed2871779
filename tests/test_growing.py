"""Capacity and growing filters: the layers against an independent model of
where each row goes and which bits it sets, every inserted row answered
"maybe" through save, load and pickle, the rate far past the first capacity,
the warning of a fixed filter, once and only when checked for, the stored
layout rebuilt without the package and damage refused, and the refusals of
combining layers that do not match."""
import io
import math
import pickle
import random
import struct
import warnings

import numpy as np
import pyarrow as pa
import pytest
import xxhash
from hypothesis import given, note, settings, strategies as st

import woxbloomfilter_tools as tools
from model import MASK64, hash_pair
from test_storage import what_a_flip_in_the_start_breaks
from woxbloomfilter import bloomfilter
from woxbloomfilter_tools import Capacity, CapacityWarning, KeyedFilter, _keys

MAGIC = bytes.fromhex("89 57 42 46 0d 0a 1a 0a")
BASE = settings().max_examples


class LayersModel:
    """Where a growing filter puts rows, from the rules alone: layer i holds
    n * growth**i rows at p * (1 - ratio) * ratio**i, its k and m from
    `parameters`; a row any layer holds goes nowhere; otherwise it goes into
    the newest layer, or into a new one once the newest's estimated rows,
    -(m / k) ln(1 - set / m), reach its capacity. Bits in bool arrays,
    positions from mmh3."""

    def __init__(self, n, p, growth, ratio):
        self.n, self.p, self.growth, self.ratio = n, p, growth, ratio
        self.layers = []  # [k, m, bits, rows]
        self.add()

    def add(self):
        i = len(self.layers)
        k, m = tools.parameters(self.n * self.growth**i, self.p * (1 - self.ratio) * self.ratio**i)
        self.layers.append([k, m, np.zeros(m, dtype=bool), []])

    @staticmethod
    def positions(row, k, m):
        h1, h2 = hash_pair(row)
        return [((h1 + j * h2) & MASK64) % m for j in range(1, k + 1)]

    def holds(self, layer, row):
        k, m, bits, _ = layer
        return bool(bits[self.positions(row, k, m)].all())

    def full(self):
        k, m, bits, _ = self.layers[-1]
        set_bits = int(bits.sum())
        i = len(self.layers) - 1
        return set_bits == m or -(m / k) * math.log1p(-set_bits / m) >= self.n * self.growth**i

    def insert(self, row):
        if any(self.holds(layer, row) for layer in self.layers):
            return
        if self.full():
            self.add()
        k, m, bits, rows = self.layers[-1]
        bits[self.positions(row, k, m)] = True
        rows.append(row)


def int_rows(values):
    return np.asarray(values, dtype="<i8")


def layer_bytes(keyed):
    layers = keyed._filter
    return [(k, m, layers.layer_bytes(i)) for i, (k, m) in enumerate(layers.shapes())]


def round_trip(keyed, how):
    if how == "pickle":
        return pickle.loads(pickle.dumps(keyed))
    out = io.BytesIO()
    keyed.save(out)
    return KeyedFilter.load(io.BytesIO(out.getvalue()))


@settings(max_examples=max(5, BASE // 2))
@given(
    n=st.integers(1, 40),
    p=st.sampled_from([0.5, 0.1, 0.01]),
    growth=st.sampled_from([2, 3]),
    ratio=st.sampled_from([0.5, 0.8, 0.9]),
    batches=st.lists(
        st.tuples(st.lists(st.integers(0, 600), max_size=120), st.sampled_from([None, "pickle", "save"])),
        min_size=1,
        max_size=6,
    ),
)
def test_layers_hold_what_the_model_routes_and_every_inserted_row(n, p, growth, ratio, batches):
    keyed = KeyedFilter.sized(n, p, growth=growth, ratio=ratio)
    model = LayersModel(n, p, growth, ratio)
    inserted = []
    for values, then in batches:
        keyed.insert(int_rows(values))
        for value in values:
            model.insert(struct.pack("<q", value))
        inserted += values
        if then is not None:
            keyed = round_trip(keyed, then)
    note(f"{len(model.layers)} layers")
    pool = int_rows(range(601))
    got = layer_bytes(keyed)
    assert [(k, m) for k, m, _ in got] == [(k, m) for k, m, _, _ in model.layers]
    for (k, m, data), (_, _, bits, rows) in zip(got, model.layers):
        assert data == np.packbits(bits, bitorder="little").tobytes()
        # The bits of a bloomfilter of the layer's k and m fed the rows the
        # model sent there, and the byte form loads into one that answers
        # as the model does.
        plain = bloomfilter()
        plain.configure(k, m)
        plain.insert(np.frombuffer(b"".join(rows), dtype="<i8").reshape(-1, 1))
        assert plain.to_bytes() == data
        plain.from_bytes(data, k, m)
        assert plain.test(pool.reshape(-1, 1)) == [bool(bits[model.positions(row.tobytes(), k, m)].all()) for row in pool]
    answers = keyed.test(pool)
    assert answers[int_rows(inserted)].all()
    assert answers.tolist() == [any(model.holds(layer, row.tobytes()) for layer in model.layers) for row in pool]
    for how in ("pickle", "save"):
        again = round_trip(keyed, how)
        assert layer_bytes(again) == got
        assert again.test(pool).tolist() == answers.tolist()


def test_inserting_the_same_rows_again_adds_no_layer():
    keyed = KeyedFilter.sized(1000, 0.01, key="id", growth=2)
    day = pa.table({"id": np.arange(20_000, dtype=np.int64)})
    keyed.insert(day)
    before = layer_bytes(keyed)
    assert len(before) == 5
    for _ in range(3):
        keyed.insert(day)
    assert layer_bytes(keyed) == before


def test_the_rate_far_past_the_first_capacity_stays_near_p():
    """At 100 times the first capacity a fixed filter says "maybe" to nearly
    everything; a growing one stays within 1.5 p, on 100,000 unseen rows."""
    rng = np.random.default_rng(7)
    seen = rng.integers(0, 2**62, size=(100_000, 2))
    unseen = rng.integers(2**62, 2**63, size=(100_000, 2))
    grown = KeyedFilter.sized(1000, 0.01, growth=2)
    fixed = KeyedFilter.sized(1000, 0.01)
    grown.insert(seen)
    with pytest.warns(CapacityWarning):
        fixed.insert(seen)
    assert grown.test(seen).all()
    assert fixed.test(unseen).mean() > 0.5
    assert grown.test(unseen).mean() <= 0.015
    status = grown.status()
    assert status.rate <= 0.01 and len(status.layers) == 7


def warning_text(keyed, n, p):
    f = keyed.filter
    rows = tools.estimated_rows(f)
    rate = tools.fill(f) ** f.get_k()
    return (
        f"the filter passed the capacity it was sized for, {n:,} rows at {p * 100:.3g} %: it holds about "
        f"{rows:,.0f} distinct rows, and it answers \"maybe\" for about {rate * 100:.3g} % of rows never "
        "inserted; size it for more rows, or let it grow (KeyedFilter.sized(..., growth=2))"
    )


def test_a_fixed_filter_past_its_capacity_warns_once_where_it_is_called():
    keyed = KeyedFilter.sized(1000, 0.01, key="id")
    rows = np.arange(5000, dtype=np.int64)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        keyed.insert(pa.table({"id": rows[:1000]}))  # filled to its capacity, exactly: no warning
        assert caught == []
        keyed.insert(pa.table({"id": rows[1000:2900]}))
        expected = warning_text(keyed, 1000, 0.01)
        keyed.insert(pa.table({"id": rows[2900:]}))
    assert [(w.category, w.filename, str(w.message)) for w in caught] == [(CapacityWarning, __file__, expected)]
    assert keyed.status().passed


def test_the_fill_is_counted_only_once_enough_rows_went_in(monkeypatch):
    """The check counts every bit: a new filter of capacity n is not checked
    before n rows went in, one of unknown contents (loaded) not before n / 8,
    then again only after the rows that could take it past n (at least n /
    8), and never after its warning."""
    counted = []
    count = tools._bits_set

    def counting(f):
        counted.append(f)
        return count(f)

    monkeypatch.setattr(tools, "_bits_set", counting)
    keyed = KeyedFilter.sized(1000, 0.01)
    rows = np.arange(10_000, dtype=np.int64)
    for row in range(999):
        keyed.insert(rows[row : row + 1])
    assert counted == []
    keyed.insert(rows[999:1000])
    assert len(counted) == 1
    with pytest.warns(CapacityWarning):
        for row in range(1000, 2000):
            keyed.insert(rows[row : row + 1])
    # Between 1,000 and 2,000 rows, a check every 125 rows or more.
    assert 2 <= len(counted) <= 1 + 1000 // 125
    checks = len(counted)
    keyed.insert(rows[2000:])
    assert len(counted) == checks

    out = io.BytesIO()
    keyed.save(out)
    loaded = KeyedFilter.load(io.BytesIO(out.getvalue()))
    assert loaded.capacity == (1000, 0.01)
    loaded.insert(rows[:124])
    assert len(counted) == checks
    with pytest.warns(CapacityWarning):
        loaded.insert(rows[124:125])
    assert len(counted) == checks + 1


def entries(pairs):
    return b"".join(tag + struct.pack("<I", len(value)) + value for tag, value in pairs)


def stored_layers(layers, metadata):
    """A growing filter laid out byte by byte as docs/stored-filters.md
    documents it: layers are (k, m, byte form), oldest first."""
    body = MAGIC + struct.pack("<IIQ", 2, len(metadata), len(layers))
    body += b"".join(struct.pack("<QQQ", k, m, len(bits)) for k, m, bits in layers) + metadata
    body += b"".join(bits for _, _, bits in layers)
    return body + struct.pack("<Q", xxhash.xxh3_64_intdigest(body))


def stored_fixed(k, m, bits, metadata):
    body = MAGIC + struct.pack("<IIQQQ", 1, len(metadata), k, m, len(bits)) + metadata + bits
    return body + struct.pack("<Q", xxhash.xxh3_64_intdigest(body))


def saved(keyed):
    out = io.BytesIO()
    keyed.save(out)
    return out.getvalue()


@pytest.fixture(scope="module")
def small_growing():
    keyed = KeyedFilter.sized(3, 0.1, key="id", growth=2, ratio=0.5)
    keyed.insert(pa.table({"id": np.arange(20, dtype=np.int64)}))
    return keyed


def test_stored_forms_are_the_documented_layout(small_growing):
    layout = b'{"version":2,"source":"table","columns":[["id","int64"]],"key":["id"]}'
    size = b'{"n":3,"p":0.1,"growth":2,"ratio":0.5}'
    layers = layer_bytes(small_growing)
    assert len(layers) == 3
    assert saved(small_growing) == stored_layers(layers, entries([(b"size", size), (b"keys", layout)]))

    f = tools.sized(1000, 0.01)
    f.insert(np.arange(300).reshape(-1, 3))
    k, m = tools.parameters(1000, 0.01)
    bits = f.to_bytes()
    fixed = stored_fixed(k, m, bits, entries([(b"size", b'{"n":1000,"p":0.01}')]))
    assert tools.dumps(f) == fixed
    assert tools.capacity(tools.loads(fixed)) == (1000, 0.01)
    assert KeyedFilter.load(io.BytesIO(fixed)).status().capacity == (1000, 0.01)
    # Fields a later version adds to the entry are skipped.
    later = stored_fixed(k, m, bits, entries([(b"size", b'{"n":1000,"p":0.01,"sized on":"2031-01-01"}')]))
    assert tools.capacity(tools.loads(later)) == (1000, 0.01)
    # Stored before capacities were, or made without sized: none.
    old = stored_fixed(k, m, bits, b"")
    assert tools.capacity(tools.loads(old)) is None and KeyedFilter.load(io.BytesIO(old)).status().capacity is None
    g = bloomfilter()
    g.configure(k, m)
    assert tools.capacity(g) is None and tools.capacity(pickle.loads(pickle.dumps(f))) is None
    f.configure(k, m + 1)  # another m: the recorded capacity is not its own
    assert tools.capacity(f) is None


def test_plain_load_refuses_a_growing_filter_by_name(small_growing, tmp_path):
    data = saved(small_growing)
    (tmp_path / "grown.wbf").write_bytes(data)
    message = "it holds a growing filter, which load cannot give as one bloomfilter: KeyedFilter.load reads it"
    for call in (lambda: tools.loads(data), lambda: tools.load(tmp_path / "grown.wbf"), lambda: tools.load(io.BytesIO(data))):
        with pytest.raises(tools.FormatError) as err:
            call()
        assert str(err.value) == message


def load_growing(how, data, folder):
    if how == "path":
        path = folder / f"stored-{random.getrandbits(64):016x}.wbf"
        path.write_bytes(data)
        try:
            return KeyedFilter.load(path)
        finally:
            path.unlink()
    return KeyedFilter.load(io.BytesIO(data))


def growing_refusal(how, data, folder):
    with pytest.raises(tools.FormatError) as err:
        load_growing(how, data, folder)
    return str(err.value)


def what_a_flip_breaks(byte, flipped, layers):
    """The refusal expected for a bit flipped in a given byte of a stored
    growing filter."""
    table = 24 + 24 * layers
    if byte < 12:
        return what_a_flip_in_the_start_breaks(byte, flipped)
    if byte < 24:  # the metadata's length or the count of layers: the parts no longer add up
        return ("truncated: ", "data after the end", "the header contradicts itself: ")
    if byte < table and (byte - 24) % 24 >= 8:  # an m or a length: they disagree, or the checksum does
        return ("the header contradicts itself: ", "checksum mismatch: ")
    return ("checksum mismatch: the data is damaged",)


@pytest.mark.parametrize("how", ["stream", "path"])
def test_every_truncation_and_bit_flip_of_a_growing_filter_is_refused(how, small_growing, tmp_path):
    data = saved(small_growing)
    layers = len(layer_bytes(small_growing))
    table = 24 + 24 * layers
    for cut in range(len(data)):
        message = growing_refusal(how, data[:cut], tmp_path)
        if cut == 0:
            assert message == "not a stored filter: it is empty"
        elif cut < 12:
            assert message == f"truncated: {cut} bytes, fewer than the 40 of the header"
        elif cut < 24:
            assert message == f"truncated: {cut} bytes, fewer than the 24 of the header"
        elif cut < table:
            assert message == f"truncated: {cut} bytes, fewer than the {table} of the header and its {layers} layers"
        else:
            assert message == f"truncated: {cut} bytes of the {len(data)} that the header announces"
    assert growing_refusal(how, data + b"\0", tmp_path).startswith("data after the end of the stored filter")
    for bit in range(len(data) * 8):
        flipped = bytearray(data)
        flipped[bit // 8] ^= 1 << (bit % 8)
        message = growing_refusal(how, bytes(flipped), tmp_path)
        assert message.startswith(what_a_flip_breaks(bit // 8, flipped, layers)), (bit, message)


@pytest.mark.parametrize(
    "metadata, layers, message",
    [
        (b"", [(3, 8, b"\1")], "a growing filter without its capacity: the metadata has no size entry"),
        (entries([(b"size", b'{"n":3,"p":0.1}')]), [(3, 8, b"\1")],
         "the capacity in the metadata is not valid: it has no growth, ratio: b'{\"n\":3,\"p\":0.1}'"),
        (entries([(b"size", b'{"n":3,"p":0.1,"growth":1,"ratio":0.5}')]), [(3, 8, b"\1")],
         "the capacity in the metadata is not valid: growth must be at least 2, got 1"),
        (entries([(b"size", b'{"n":3,"p":1.5,"growth":2,"ratio":0.5}')]), [(3, 8, b"\1")],
         "the capacity in the metadata is not valid: p must be above 0 and below 1, got 1.5"),
        (entries([(b"size", b"[" * 100_000)]), [(3, 8, b"\1")],
         "the capacity in the metadata is not valid: maximum recursion depth exceeded"),
        (entries([(b"size", b'{"n":3,"p":0.1,"growth":2,"ratio":0.5}')]), [(3, 8, b"\1"), (0, 8, b"\1")],
         "layer 1 cannot be loaded: k = 0 and m = 8 make no layer"),
        (entries([(b"size", b'{"n":3,"p":0.1,"growth":2,"ratio":0.5}')]), [(5000, 8, b"\1")],
         "layer 0 cannot be loaded: a layer's k must be from 1 to 4096, not 5000"),
        (entries([(b"size", b'{"n":3,"p":0.1,"growth":2,"ratio":0.5}')]), [],
         "the header contradicts itself: a growing filter of 0 layers"),
    ],
)
def test_an_intact_file_that_no_growing_filter_makes_is_refused(metadata, layers, message):
    with pytest.raises(tools.FormatError) as err:
        KeyedFilter.load(io.BytesIO(stored_layers(layers, metadata)))
    assert str(err.value).startswith(message)


def grown_filter(rows, n=1000, growth=2):
    keyed = KeyedFilter.sized(n, 0.01, key="id", growth=growth)
    keyed.insert(pa.table({"id": np.asarray(rows, dtype=np.int64)}))
    return keyed


RULE = "growing filters combine layer by layer, so their layers must match in number and in k and m"


def layer_differs(i, mine, theirs):
    (k, m), (their_k, their_m) = tools.parameters(*mine), tools.parameters(*theirs)
    return f"layer {i} has k = {k}, m = {m:,} in this filter but k = {their_k}, m = {their_m:,} in the other: {RULE}"


def test_union_works_layer_by_layer_and_intersect_of_one_layer():
    a, b = grown_filter(range(0, 7000)), grown_filter(range(7000, 14000))
    assert len(layer_bytes(a)) == len(layer_bytes(b)) == 3
    expected = [(k, m, bytes(x | y for x, y in zip(mine, theirs)))
                for (k, m, mine), (_, _, theirs) in zip(layer_bytes(a), layer_bytes(b))]
    a.union(b)
    assert layer_bytes(a) == expected
    assert a.test(pa.table({"id": np.arange(14000, dtype=np.int64)})).all()

    c, d = grown_filter(range(0, 600)), grown_filter(range(300, 900))
    expected = [(k, m, bytes(x & y for x, y in zip(mine, theirs)))
                for (k, m, mine), (_, _, theirs) in zip(layer_bytes(c), layer_bytes(d))]
    c.intersect(d)
    assert layer_bytes(c) == expected and len(expected) == 1
    assert c.test(pa.table({"id": np.arange(300, 600, dtype=np.int64)})).all()


@pytest.mark.parametrize(
    "mine, theirs, operation, message",
    [
        (lambda: grown_filter(range(3000)), lambda: grown_filter(range(8000)), "union",
         f"this filter has 2 layers and the other 4: {RULE}"),
        (lambda: grown_filter(range(3000)), lambda: grown_filter(range(3000), n=999), "union",
         layer_differs(0, (1000, 0.01 * (1 - 0.8)), (999, 0.01 * (1 - 0.8)))),
        (lambda: grown_filter(range(3000)), lambda: grown_filter(range(3000), growth=3), "union",
         layer_differs(1, (2000, 0.01 * (1 - 0.8) * 0.8), (3000, 0.01 * (1 - 0.8) * 0.8))),
        (lambda: grown_filter(range(3000)), lambda: grown_filter(range(3000, 4500)), "intersect",
         "growing filters of 2 layers cannot intersect: a row inserted into both may sit in one layer of one "
         "filter and another layer of the other, and intersecting layer by layer would clear its bits; test "
         "each filter and keep the rows both answer \"maybe\" for"),
        (lambda: grown_filter(range(10)), lambda: KeyedFilter.sized(1000, 0.01, key="id"), "union",
         "a growing filter and a fixed one do not union: their bits lie in layers of other sizes"),
        (lambda: KeyedFilter.sized(1000, 0.01, key="id"), lambda: grown_filter(range(10)), "intersect",
         "a growing filter and a fixed one do not intersect: their bits lie in layers of other sizes"),
    ],
)
def test_combining_layers_that_do_not_match_is_refused_and_changes_nothing(mine, theirs, operation, message):
    a, b = mine(), theirs()
    before = saved(a)
    with pytest.raises(ValueError) as err:
        getattr(a, operation)(b)
    assert str(err.value) == message
    assert saved(a) == before


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (dict(growth=1), ValueError, "growth must be at least 2, got 1"),
        (dict(growth=2.0), TypeError, "growth must be an integer, not float"),
        (dict(growth=True), TypeError, "growth must be an integer, not bool"),
        (dict(growth=2, ratio=1), ValueError, "ratio must be above 0 and below 1, got 1.0"),
        (dict(growth=2, ratio=math.nan), ValueError, "ratio must be above 0 and below 1, got nan"),
        (dict(growth=2, ratio="0.5"), TypeError, "ratio must be a real number, not str"),
        (dict(ratio=0.5), TypeError, "ratio is for a growing filter: give growth too"),
        (dict(n=0, growth=2), ValueError, "n must be at least 1, got 0"),
        (dict(p=1.0, growth=2), ValueError, "p must be above 0 and below 1, got 1.0"),
    ],
)
def test_sizing_arguments_are_checked(arguments, error, message):
    n, p = arguments.pop("n", 1000), arguments.pop("p", 0.01)
    with pytest.raises(error) as err:
        KeyedFilter.sized(n, p, **arguments)
    assert str(err.value) == message


def popcount(data):
    return int(np.unpackbits(np.frombuffer(data, dtype=np.uint8)).sum())


def test_status_describes_each_layer_and_the_whole_from_its_bits():
    keyed = grown_filter(range(5000), n=1000)
    status = keyed.status()
    assert (status.capacity, status.growth, status.ratio) == (Capacity(1000, 0.01), 2, 0.8)
    assert not status.passed
    layers = layer_bytes(keyed)
    assert len(status.layers) == len(layers) == 3
    rates = []
    for i, (layer, (k, m, data)) in enumerate(zip(status.layers, layers)):
        fill = popcount(data) / m
        assert (layer.k, layer.m, layer.fill) == (k, m, fill)
        assert layer.capacity == (1000 * 2**i, 0.01 * (1 - 0.8) * 0.8**i)
        assert layer.estimated_rows == pytest.approx(-(m / k) * math.log(1 - fill), rel=1e-12)
        assert layer.rate == pytest.approx(fill**k, rel=1e-12)
        rates.append(fill**k)
    assert status.rate == pytest.approx(1 - math.prod(1 - rate for rate in rates), rel=1e-12)
    assert status.estimated_rows == pytest.approx(sum(layer.estimated_rows for layer in status.layers))
    # The first two layers are full, the newest holds the rest.
    assert [round(layer.estimated_rows, -2) for layer in status.layers] == [1000, 2000, 2000]

    with pytest.raises(TypeError) as err:
        keyed.filter
    assert str(err.value) == "a growing filter has no one bloomfilter underneath: it holds 3 layers, which status() describes"
    assert repr(keyed) == (
        "KeyedFilter(layers=3, n=1000, p=0.01, growth=2, ratio=0.8, key=('id',), layout='a table: id int64')"
    )


def plain_filter(k, m):
    f = bloomfilter()
    f.configure(k, m)
    return f


@pytest.mark.parametrize("fixed, old, first", [
    # Sized, and below its capacity: full at the capacity it was sized for.
    (lambda: KeyedFilter.sized(1000, 0.01), range(600), lambda k, m, set_bits: Capacity(1000, 0.01)),
    # Sized and past it, far or by less than the estimate errs: full at the
    # rows it holds, at the rate it has.
    (lambda: KeyedFilter.sized(1000, 0.01), range(2000),
     lambda k, m, set_bits: rows_and_rate(k, m, math.ceil(-(m / k) * math.log1p(-set_bits / m)))),
    (lambda: KeyedFilter.sized(1000, 0.01), range(1040),
     lambda k, m, set_bits: rows_and_rate(k, m, math.ceil(-(m / k) * math.log1p(-set_bits / m)))),
    # Stored without a capacity: the rows its k and m suit, where half its bits are set.
    (lambda: KeyedFilter(plain_filter(7, 9586)), range(600),
     lambda k, m, set_bits: rows_and_rate(k, m, round(m * math.log(2) / k))),
    (lambda: KeyedFilter(plain_filter(5, 20_000)), range(5000),
     lambda k, m, set_bits: rows_and_rate(k, m, math.ceil(-(m / k) * math.log1p(-set_bits / m)))),
    (lambda: KeyedFilter(plain_filter(3, 64)), range(0), lambda k, m, set_bits: rows_and_rate(k, m, 15)),
])
def test_a_fixed_filter_becomes_the_first_layer_of_a_growing_one(fixed, old, first):
    """Its bits kept, every row it held stays present; new rows go into
    layers after it, as the model routes them from a first layer of its bits,
    full at the capacity the rules give it, with a ratio of 0.5: the whole
    stays below twice the first layer's rate."""
    keyed = fixed()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CapacityWarning)  # the filter past its capacity
        keyed.insert(int_rows(old))
    f = keyed.filter
    k, m, bits = f.get_k(), f.get_m(), f.to_bytes()
    n, p = first(k, m, popcount(bits))
    grown = _keys.grown(keyed, 2, 0.5)
    assert grown.status().capacity == (n, pytest.approx(p * 2, rel=1e-12))
    assert layer_bytes(grown) == [(k, m, bits)]
    assert (grown.key, grown.layout) == (keyed.key, keyed.layout)
    model = LayersModel(n, p * 2, 2, 0.5)
    model.layers[0] = [k, m, np.unpackbits(np.frombuffer(bits, dtype=np.uint8), count=m, bitorder="little").astype(bool), []]
    new = range(10**6, 10**6 + 3000)
    grown.insert(int_rows(new))
    for value in new:
        model.insert(struct.pack("<q", value))
    assert len(model.layers) > 1
    assert layer_bytes(grown) == [(k, m, np.packbits(bits, bitorder="little").tobytes()) for k, m, bits, _ in model.layers]
    assert grown.test(int_rows([*old, *new])).all()
    assert layer_bytes(round_trip(grown, "save")) == layer_bytes(grown)


def rows_and_rate(k, m, n):
    return Capacity(n, (-math.expm1(-k * n / m)) ** k)


@pytest.mark.parametrize("f, rows, message", [
    (lambda: plain_filter(3, 64), 1000, "every bit of the filter is set, so it answers \"maybe\" for every row: build a new filter"),
    (lambda: tools.sized(100, 0.01), 420, "a filter that answers \"maybe\" for {p:.3g} % of rows never inserted at its capacity "
     "cannot start a growing filter of ratio 0.5: the rates of its layers would add up to {whole:.3g} %; build a new filter"),
    (lambda: plain_filter(0, 64), 0, "a filter of k = 0 and m = 64 holds no rows by bits, so it cannot be a layer"),
])
def test_a_fixed_filter_that_cannot_be_a_layer_is_refused(f, rows, message):
    keyed = KeyedFilter(f())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CapacityWarning)
        keyed.insert(int_rows(range(rows)))
    before = keyed.filter.to_bytes()
    if "{p" in message:  # past its capacity: full at the rows it holds, at the rate it has
        k, m = keyed.filter.get_k(), keyed.filter.get_m()
        _, p = rows_and_rate(k, m, math.ceil(-(m / k) * math.log1p(-popcount(before) / m)))
        message = message.format(p=p * 100, whole=p * 200)
    with pytest.raises(ValueError) as err:
        _keys.grown(keyed, 2, 0.5)
    assert str(err.value) == message
    assert keyed.filter.to_bytes() == before
