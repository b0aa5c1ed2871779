"""Same data, same answers: the command line reads a row's key the same from
Parquet and from CSV, whatever the CSV's first rows look like, and writes the
rows of a CSV file back as the text they had. The readers are checked here in
this process on many files; the command line's own cases run it in a process
of its own."""
import datetime
import decimal

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
import pytest
from hypothesis import example, given, settings, strategies as st

from woxbloomfilter_tools import KeyedFilter, key_rows
from woxbloomfilter_tools.cli import filters, sources

from test_cli import run, saved

# Words that other readers take for null; here each is a value.
NULL_WORDS = ["NA", "N/A", "null", "NULL", "NaN", "nan", "#N/A", "-nan", "None", "n/a"]


def layout_name(type_):
    keyed = KeyedFilter(filters.probe(), "c")
    keyed.insert(pa.table({"c": pa.array([], type_)}))
    return keyed.layout.columns[0][1]


@pytest.mark.parametrize("type_", [
    pa.int8(), pa.uint64(), pa.float32(), pa.bool_(), pa.string(), pa.large_string(), pa.binary(), pa.date32(),
    pa.date64(), pa.time32("ms"), pa.time64("ns"), pa.duration("s"), pa.timestamp("us"),
    pa.timestamp("ns", tz="Europe/Paris"), pa.timestamp("s", tz="+05:30"), pa.decimal128(10, 2),
    pa.decimal256(40, 0), pa.decimal32(5, 1), pa.binary(7),
])
def test_a_layout_type_name_gives_a_type_of_that_layout(type_):
    """What 'info' prints and --types takes maps back to an Arrow type whose
    key rows have that layout."""
    name = layout_name(type_)
    assert layout_name(sources.arrow_type(name)) == name


@pytest.mark.parametrize("name", ["int", "string ", "decimal128(10,2)", "timestamp[us, tz=]", "time32[us]",
                                  "decimal128(80, 2)", "fixed_size_binary[7]"])
def test_no_other_type_name(name):
    with pytest.raises(ValueError) as refused:
        sources.arrow_type(name)
    assert str(refused.value) == f"no key column has type {name!r}"


TEXT = st.one_of(st.none(), st.sampled_from(["", "007", "7", "Ana", 'say "hi"', "a,b", "a;b", "x\ty", " 7", "SAVE10", "a\nb",
                                             *NULL_WORDS]), st.text(max_size=6))
INTEGER = st.one_of(st.none(), st.integers(-2**63, 2**63 - 1))
DATE = st.one_of(st.none(), st.dates(datetime.date(1, 1, 1), datetime.date(9999, 12, 31)))
MOMENT = st.one_of(st.none(), st.datetimes(datetime.datetime(1900, 1, 1), datetime.datetime(2200, 1, 1)))
MONEY = st.one_of(st.none(), st.decimals(-10**7, 10**7, places=2))
# (column, Arrow type, values)
COLUMNS = [
    ("s", pa.string(), TEXT),
    ("i", pa.int64(), INTEGER),
    ("b", pa.bool_(), st.one_of(st.none(), st.booleans())),
    ("f", pa.float64(), st.one_of(st.none(), st.floats(allow_nan=False, allow_infinity=True))),
    ("d", pa.date32(), DATE),
    ("t", pa.timestamp("us", tz="UTC"), MOMENT.map(lambda t: t and t.replace(tzinfo=datetime.timezone.utc))),
    ("m", pa.decimal128(10, 2), MONEY),
]


@st.composite
def files(draw):
    """A table of some key columns and their rows, the delimiter of its CSV
    file and the first block of the readers (small, so that rows straddle
    blocks and the reader grows them)."""
    chosen = draw(st.lists(st.sampled_from(COLUMNS), min_size=1, max_size=4, unique_by=lambda c: c[0]))
    count = draw(st.integers(0, 30))
    table = pa.table({name: pa.array(draw(st.lists(values, min_size=count, max_size=count)), type_)
                      for name, type_, values in chosen})
    return table, draw(st.sampled_from([",", "\t", ";"])), draw(st.sampled_from([sources.BLOCK, 16]))


@settings(max_examples=settings().max_examples // 2)
@given(files())
@example((pa.table({"s": NULL_WORDS + ["", None, "007"]}), ",", sources.BLOCK))
@example((pa.table({"s": [None] * 5 + ["SAVE10"], "i": pa.array([None] * 5 + [7], pa.int64())}), ",", 16))
@example((pa.table({"s": pa.array([], pa.string())}), "\t", sources.BLOCK))
@example((pa.table({"m": pa.array([decimal.Decimal("1.50"), None], pa.decimal128(10, 2)),
                    "b": [True, None]}), ";", 16))
def test_csv_gives_the_key_rows_of_the_table_it_was_written_from(tmp_path_factory, case):
    """Written as pyarrow writes CSV, read back with the key's types, or as
    text and then the key columns made from their text: both give the key
    rows of the table itself, and the text read is every row once, in order,
    however the blocks grew."""
    table, delimiter, block = case
    folder = tmp_path_factory.mktemp("csv")
    path = folder / "t.csv"
    pcsv.write_csv(table, path, pcsv.WriteOptions(delimiter=delimiter))
    names = table.schema.names
    types = {field.name: field.type for field in table.schema}
    expected = key_rows(table, names)

    def source():
        [found] = sources.expand([str(path)], None, delimiter)
        found.block = block
        return found

    typed = list(sources.batches(source(), names, types))
    assert np.array_equal(key_rows(pa.Table.from_batches(typed, pa.schema(table.schema)), names), expected)

    text_source = source()
    text = list(sources.batches(text_source, None, types, text=True))
    keys = [key_rows(sources.key_columns(batch, text_source, names, types, True), names) for batch in text]
    assert np.array_equal(np.concatenate([expected[:0], *keys]), expected)
    # pyarrow writes no empty line but the null of a file of one column.
    as_text = pcsv.read_csv(path, parse_options=pcsv.ParseOptions(delimiter=delimiter, ignore_empty_lines=False,
                                                                  newlines_in_values=True),
                            convert_options=pcsv.ConvertOptions(column_types=dict.fromkeys(names, pa.string()),
                                                                strings_can_be_null=True,
                                                                quoted_strings_can_be_null=False))
    assert pa.Table.from_batches(text, as_text.schema).equals(as_text)


def test_no_word_is_null_in_csv(tmp_path):
    """Built from Parquet, tested as CSV: every word others read as null is
    the value it says, in a string key and beside it."""
    words = pa.table({"name": NULL_WORDS, "n": range(len(NULL_WORDS))})
    pq.write_table(words, tmp_path / "people.parquet")
    (tmp_path / "fresh.csv").write_text("name,n,note\n" + "".join(f"{w},{i},{w}\n" for i, w in enumerate(NULL_WORDS))
                                        + "Ana,99,NA\n")
    assert run(tmp_path, "build", "people.wbf", "people.parquet", "--key", "name,n").returncode == 0
    done = run(tmp_path, "test", "people.wbf", "fresh.csv", "-o", "out.csv")
    assert done.stderr.splitlines()[0] == (
        f"woxbloom: {len(NULL_WORDS) + 1} rows read, 1 written to out.csv (surely not in people.wbf)")
    assert (tmp_path / "out.csv").read_text() == '"name","n","note"\n"Ana","99","NA"\n'


def test_rows_from_csv_keep_their_text(tmp_path):
    """test -o from CSV to CSV and TSV: the kept rows are the input's fields,
    text for text, the key's too; only an empty field is null."""
    pq.write_table(pa.table({"id": pa.array([5], pa.int64())}), tmp_path / "seen.parquet")
    lines = ["id,zip,word,flag,price,nothing,empty", '007,02134,NA,TRUE,1.50,,""', "5,1,x,0,1e3,,",
             '08,00000,"a,b",yes,-0.0,,']
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    assert run(tmp_path, "build", "seen.wbf", "seen.parquet", "--key", "id").returncode == 0
    for out, separator in (("out.csv", ","), ("out.tsv", "\t")):
        done = run(tmp_path, "test", "seen.wbf", "in.csv", "-o", out)
        assert done.stderr.splitlines()[0] == f"woxbloom: 3 rows read, 2 written to {out} (surely not in seen.wbf)"
        assert (tmp_path / out).read_text().splitlines() == [
            separator.join(f'"{name}"' for name in lines[0].split(",")),
            separator.join(['"007"', '"02134"', '"NA"', '"TRUE"', '"1.50"', "", '""']),
            separator.join(['"08"', '"00000"', '"a,b"', '"yes"', '"-0.0"', "", ""]),
        ]


def test_every_file_of_a_directory_has_the_key_types(tmp_path):
    """A file whose key column has another type is refused by name, in a
    directory as when the files are named one by one, and nothing is
    written; --types does not cast a typed file either."""
    (tmp_path / "dir").mkdir()
    pq.write_table(pa.table({"id": pa.array([1, 2], pa.int64())}), tmp_path / "dir" / "a.parquet")
    pq.write_table(pa.table({"id": ["007", "x"]}), tmp_path / "dir" / "b.parquet")
    message = "woxbloom: error: dir/b.parquet: column 'id' has type int64 in the filter's key but string in the data"
    for data in (["dir"], ["dir/a.parquet", "dir/b.parquet"]):
        done = run(tmp_path, "build", "f.wbf", *data, "--key", "id")
        assert (done.returncode, done.stderr) == (1, message + "\n")
    done = run(tmp_path, "build", "f.wbf", "dir", "--key", "id", "--types", "id=string")
    assert (done.returncode, done.stderr) == (
        1, "woxbloom: error: dir/a.parquet: column 'id' has type string in the filter's key but int64 in the data\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir"]


def test_a_key_column_empty_at_first_takes_the_key_type(tmp_path):
    """A header-only CSV, or one whose key column is empty for its whole
    first block, is refused by build with the option that types it; given
    the types, or tested against a filter, it is read to the end."""
    (tmp_path / "header.csv").write_text("id,code\n")
    rows = 200_000  # more than the first block of 1 MiB
    (tmp_path / "late.csv").write_text("id,code\n" + "".join(f"{i},\n" for i in range(rows)) + "7,SAVE10\n")
    for data in ("header.csv", "late.csv"):
        done = run(tmp_path, "build", "f.wbf", data, "--key", "code")
        assert (done.returncode, done.stderr) == (1, "woxbloom: error: key column 'code' has no value in the first "
                                                     "rows of any DATA to tell its type: name it with --types code=TYPE\n")
    assert run(tmp_path, "build", "f.wbf", "header.csv", "--key", "id,code", "--types", "code=string,id=int64",
               "--rows", "10").returncode == 0
    assert KeyedFilter.load(tmp_path / "f.wbf").layout.columns == (("id", "int64"), ("code", "string"))
    assert run(tmp_path, "test", "f.wbf", "header.csv").stderr.splitlines()[0] == (
        "woxbloom: 0 rows read, 0 surely not in f.wbf")
    done = run(tmp_path, "test", "f.wbf", "late.csv", "--present")
    assert done.stderr.splitlines()[0] == f"woxbloom: {rows + 1:,} rows read, 0 may be in f.wbf"
    assert run(tmp_path, "build", "f.wbf", "late.csv", "--append").returncode == 0
    assert run(tmp_path, "test", "f.wbf", "late.csv").stderr.splitlines()[0] == (
        f"woxbloom: {rows + 1:,} rows read, 0 surely not in f.wbf")
    # JSON too: its reader would fix the type null for the file's first block.
    (tmp_path / "late.json").write_text('{"id": 1, "code": null}\n' * rows + '{"id": 7, "code": "SAVE11"}\n')
    assert run(tmp_path, "build", "code.wbf", "late.csv", "--key", "code", "--types", "code=string").returncode == 0
    assert run(tmp_path, "test", "code.wbf", "late.json").stderr.splitlines()[0] == (
        f"woxbloom: {rows + 1:,} rows read, 1 surely not in code.wbf")


def test_long_rows_and_standard_input(tmp_path):
    """A field of 3 MB, longer than the reader's first block, is read; a
    standard input cannot be counted, so a growing filter starts at a million
    rows there, and a fixed one needs --rows."""
    long = "x" * 3_000_000
    text = f"id,name\n1,a\n2,{long}\n3,c\n"
    (tmp_path / "long.csv").write_text(text)
    assert run(tmp_path, "build", "f.wbf", "long.csv", "--key", "name").returncode == 0
    expected = KeyedFilter.sized(3 + 6, 0.01, "name", growth=2)  # 3 rows, and room for 3 sqrt(3) more
    expected.insert(pa.table({"name": ["a", long, "c"]}))
    assert (tmp_path / "f.wbf").read_bytes() == saved(expected)

    assert run(tmp_path, "build", "g.wbf", "-", "--key", "name", "--format", "csv", stdin=text).returncode == 0
    assert KeyedFilter.load(tmp_path / "g.wbf").capacity == (1_000_000, 0.01)
    assert KeyedFilter.load(tmp_path / "g.wbf").test(pa.table({"name": ["a", long, "c"]})).all()
    refused = run(tmp_path, "build", "h.wbf", "-", "--key", "name", "--format", "csv", "--fixed", stdin=text)
    assert (refused.returncode, refused.stderr) == (2, "woxbloom: error: standard input can be read only once, and "
                                                       "a fixed filter's size needs the rows counted first: give --rows "
                                                       "N (a bound above the rows will do), or leave out --fixed (see "
                                                       "woxbloom build --help)\n")
    semicolons = "id;name\n4;d\n5;a\n"
    assert run(tmp_path, "build", "f.wbf", "-", "--append", "--format", "csv", "--delimiter", ";",
               stdin=semicolons).returncode == 0
    expected.insert(pa.table({"name": ["d", "a"]}))
    assert (tmp_path / "f.wbf").read_bytes() == saved(expected)
    done = run(tmp_path, "test", "f.wbf", "-", "--format", "csv", "-o", "new.csv", stdin="name\ne\nd\n")
    assert done.stderr.splitlines()[0] == "woxbloom: 2 rows read, 1 written to new.csv (surely not in f.wbf)"
    assert (tmp_path / "new.csv").read_text() == '"name"\n"e"\n'
