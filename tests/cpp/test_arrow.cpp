// The Arrow C Data Interface reader and the key rows, on structs built by hand
// as producers lay them out: slices, validity, the string layouts,
// dictionaries, the layout's type names and widths, both layout versions'
// floats and empty values, null columns conformed to a layout, a table of
// malformed structs each refused by what it gets wrong, and the release of
// every struct exactly once, after errors too. Expected rows are built byte by
// byte here, the digests with the tested MurmurHash3 under the layout's seed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <climits>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "murmur.hpp"
#include "tools/keys.hpp"

namespace arrow = woxbloom::arrow;
namespace keys = woxbloom::keys;
using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;
using Texts = std::vector<std::optional<std::string>>;

static int failures = 0;

static void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    ++failures;
}

// What a struct's private_data points to: its releases, and what it holds.
// A stream holds its schema and batches, and releases those not handed out.
struct Made {
    std::string what;
    int releases = 0;
    std::vector<const void*> buffers;
    std::vector<ArrowArray*> arrays;
    std::vector<ArrowSchema*> schemas;
    // What it releases: apart from the lists above, which the structs point
    // into and a test may spoil.
    std::vector<void*> owned;
    void* dictionary = nullptr;
    std::string format, name, metadata;
    size_t next = 0;   // of a stream: the batch that get_next hands out next
    int fail_at = -1;  // get_next fails when asked for this batch; -2: get_schema fails
    std::string error;
};

template <typename Raw>
static void release_if_set(Raw* raw) {
    if (raw->release != nullptr) raw->release(raw);
}

// Releases the children and the dictionary too, as producers do: those it
// made, whatever a test has done to the struct since.
template <typename Raw>
static void release(Raw* raw) {
    Made& m = *static_cast<Made*>(raw->private_data);
    ++m.releases;
    for (void* child : m.owned) release_if_set(static_cast<Raw*>(child));
    if (m.dictionary != nullptr) release_if_set(static_cast<Raw*>(m.dictionary));
    raw->release = nullptr;
}

// The interface moves a struct by copying it and marking the source released.
template <typename Raw>
static int hand_out(Raw* source, Raw* out) {
    *out = *source;
    source->release = nullptr;
    return 0;
}

static Made& made_of(ArrowArrayStream* s) { return *static_cast<Made*>(s->private_data); }

// Everything a test hands over, kept until the test ends.
struct Pool {
    std::deque<Made> made;
    std::deque<ArrowArray> arrays;
    std::deque<ArrowSchema> schemas;
    std::deque<ArrowArrayStream> streams;
    std::deque<std::vector<uint8_t>> bytes;

    template <typename T>
    uint8_t* buffer(const std::vector<T>& values) {
        const auto* data = reinterpret_cast<const uint8_t*>(values.data());
        return bytes.emplace_back(data, data + values.size() * sizeof(T)).data();
    }
    uint8_t* buffer(const std::string& text) { return buffer(std::vector<char>(text.begin(), text.end())); }

    ArrowArray* array(int64_t length, int64_t null_count, int64_t offset, std::vector<const void*> buffers,
                      std::vector<ArrowArray*> children = {}, ArrowArray* dictionary = nullptr) {
        Made& m = made.emplace_back();
        m.what = "array #" + std::to_string(arrays.size()) + " of " + std::to_string(length);
        m.buffers = std::move(buffers);
        m.arrays = std::move(children);
        m.owned.assign(m.arrays.begin(), m.arrays.end());
        m.dictionary = dictionary;
        return &arrays.emplace_back(ArrowArray{length, null_count, offset, static_cast<int64_t>(m.buffers.size()),
                                               static_cast<int64_t>(m.arrays.size()), m.buffers.data(), m.arrays.data(),
                                               dictionary, release<ArrowArray>, &m});
    }
    ArrowSchema* schema(const std::string& format, const std::string& name, std::vector<ArrowSchema*> children = {},
                        ArrowSchema* dictionary = nullptr, const std::string& metadata = "") {
        Made& m = made.emplace_back();
        m.what = "schema '" + format + "' '" + name + "'";
        m.format = format;
        m.name = name;
        m.metadata = metadata;
        m.schemas = std::move(children);
        m.owned.assign(m.schemas.begin(), m.schemas.end());
        m.dictionary = dictionary;
        return &schemas.emplace_back(ArrowSchema{m.format.c_str(), m.name.c_str(), metadata.empty() ? nullptr : m.metadata.data(),
                                                 0, static_cast<int64_t>(m.schemas.size()), m.schemas.data(), dictionary,
                                                 release<ArrowSchema>, &m});
    }
    ArrowArrayStream* stream(ArrowSchema* schema, std::vector<ArrowArray*> batches, int fail_at = -1) {
        Made& m = made.emplace_back();
        m.what = "stream";
        m.schemas = {schema};
        m.arrays = std::move(batches);
        m.fail_at = fail_at;
        auto get_schema = [](ArrowArrayStream* s, ArrowSchema* out) {
            return made_of(s).fail_at == -2 ? 5 : hand_out(made_of(s).schemas[0], out);  // 5 with no text for the error
        };
        auto get_next = [](ArrowArrayStream* s, ArrowArray* out) {
            Made& f = made_of(s);
            if (static_cast<int>(f.next) == f.fail_at) {
                f.error = "batch " + std::to_string(f.next) + " is damaged";
                return 22;
            }
            if (f.next < f.arrays.size()) return hand_out(f.arrays[f.next++], out);
            out->release = nullptr;  // the end
            return 0;
        };
        auto last_error = [](ArrowArrayStream* s) { return made_of(s).error.c_str(); };
        auto release_stream = [](ArrowArrayStream* s) {
            Made& f = made_of(s);
            ++f.releases;
            release_if_set(f.schemas[0]);
            for (ArrowArray* batch : f.arrays) release_if_set(batch);
            s->release = nullptr;
        };
        return &streams.emplace_back(ArrowArrayStream{get_schema, get_next, last_error, release_stream, &m});
    }

    void check_released(const std::string& what) const {
        for (const Made& m : made) {
            if (m.releases != 1) fail(what + ": " + m.what + " released " + std::to_string(m.releases) + " times");
        }
    }
};

// Bit i of the result is pattern[i] == '1'.
static std::vector<uint8_t> bitmap(const std::string& pattern) {
    std::vector<uint8_t> out((pattern.size() + 7) / 8);
    for (size_t i = 0; i < pattern.size(); ++i) out[i / 8] |= static_cast<uint8_t>((pattern[i] == '1') << (i % 8));
    return out;
}

// Rows from `offset` of fixed-width values; validity "" means no validity buffer.
template <typename T>
static ArrowArray* fixed_array(Pool& pool, const std::vector<T>& values, const std::string& valid, int64_t null_count,
                               int64_t offset) {
    const void* validity = valid.empty() ? nullptr : pool.buffer(bitmap(valid));
    return pool.array(static_cast<int64_t>(values.size()) - offset, null_count, offset, {validity, pool.buffer(values)});
}

// Rows from `offset` of texts as `format` (u, U, z, Z, vu, vz), null_count -1.
// A null's slot holds bytes, so only the validity makes it null. Views longer
// than 12 bytes go to one of two data buffers by their row's parity, each
// buffer starting with some padding.
static ArrowArray* text_array(Pool& pool, const std::string& format, const Texts& values, int64_t offset) {
    std::string valid, data, long_data[2] = {"pad", "more padding"};
    std::vector<int64_t> ends{0};
    std::vector<int32_t> views;  // size, then 12 bytes inline, or a prefix, buffer index and offset
    for (const auto& value : values) {
        valid += value ? '1' : '0';
        const std::string slot = value ? *value : "under a null";
        ends.push_back(static_cast<int64_t>((data += slot).size()));
        const bool inline_value = slot.size() <= 12;
        views.insert(views.end(), {static_cast<int32_t>(slot.size()), 0, 0, 0});
        int32_t* view = &views[views.size() - 4];
        std::memcpy(view + 1, slot.data(), inline_value ? slot.size() : 4);
        if (inline_value) continue;
        view[2] = static_cast<int32_t>(views.size() / 4 % 2);
        view[3] = static_cast<int32_t>(long_data[view[2]].size());
        long_data[view[2]] += slot;
    }
    const void* validity = pool.buffer(bitmap(valid));
    const int64_t length = static_cast<int64_t>(values.size()) - offset;
    if (format[0] == 'v') {
        const std::vector<int64_t> sizes{static_cast<int64_t>(long_data[0].size()), static_cast<int64_t>(long_data[1].size())};
        return pool.array(length, -1, offset,
                          {validity, pool.buffer(views), pool.buffer(long_data[0]), pool.buffer(long_data[1]), pool.buffer(sizes)});
    }
    const void* offsets =
        format == "u" || format == "z" ? pool.buffer(std::vector<int32_t>(ends.begin(), ends.end())) : pool.buffer(ends);
    return pool.array(length, -1, offset, {validity, offsets, pool.buffer(data)});
}

// Expected key bytes, appended column after column, row after row, by the
// rules of a layout version: from 2 on, an empty string is a null.
struct Expect {
    std::vector<uint8_t> bytes;
    int version = keys::layout_version;

    explicit Expect(int layout = keys::layout_version) : version(layout) {}

    Expect& null(size_t width) { return bytes.insert(bytes.end(), 1 + width, 0), *this; }
    Expect& value(uint64_t v, int width) { return fixed("").little_endian(v, width); }
    Expect& fixed(const std::string& raw) {
        bytes.push_back(1);
        return bytes.insert(bytes.end(), raw.begin(), raw.end()), *this;
    }
    Expect& text(const std::optional<std::string>& s) {
        if (!s || (version >= 2 && s->empty())) return null(16);
        uint64_t h[2];
        tessvane::murmur::MurmurHash3_x64_128(s->data(), static_cast<int>(s->size()), keys::digest_seed, h);
        return value(h[0], 8).little_endian(h[1], 8);
    }
    Expect& little_endian(uint64_t v, int width) {
        for (int k = 0; k < width; ++k) bytes.push_back(static_cast<uint8_t>(v >> (8 * k)));
        return *this;
    }
};

// Takes a struct over as the module takes it from a capsule, whose destructor
// then releases the source unless it is marked released.
template <typename Raw>
static arrow::Owned<Raw> take(Raw* source) {
    arrow::Owned<Raw> owned(source);
    if (source->release != nullptr) fail("a struct taken over is not marked released at its source");
    return owned;
}

static arrow::Table make_table(ArrowSchema* schema, const std::vector<ArrowArray*>& batches) {
    std::vector<arrow::Array> owned;
    for (ArrowArray* batch : batches) owned.push_back(take(batch));
    return arrow::Table(take(schema), std::move(owned));
}

// Poisoned first, so a byte the rows leave unwritten shows.
static std::vector<uint8_t> rows_of(const arrow::Table& table, const std::vector<std::string>* key = nullptr,
                                    int version = keys::layout_version) {
    keys::KeyRows rows(table, key, version);
    std::vector<uint8_t> out(static_cast<size_t>(rows.rows()) * rows.width(), 0xAA);
    rows.fill(out.data());
    return out;
}

static void same(const std::string& what, const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    if (got != want) fail(what + ": key rows differ from byte " + std::to_string(i) + " of " + std::to_string(want.size()));
}

template <typename Error, typename Call>
static void expect_error(const std::string& what, const std::string& message, Call call) {
    try {
        call();
        fail(what + ": no error");
    } catch (const Error& e) {
        if (e.what() != message) fail(what + ": said \"" + e.what() + "\"");
    } catch (const std::exception& e) {
        fail(what + ": the wrong kind of error: " + e.what());
    }
}

// The rows of a table against `want`, or refused with `error`; then every
// struct must have been released once.
static void check_rows(const std::string& what, Pool& pool, ArrowSchema* schema, const std::vector<ArrowArray*>& batches,
                       const Expect& want, const char* error = nullptr) {
    if (error == nullptr) {
        same(what, rows_of(make_table(schema, batches), nullptr, want.version), want.bytes);
    } else {
        expect_error<arrow::DataError>(what, error, [&] { rows_of(make_table(schema, batches), nullptr, want.version); });
    }
    pool.check_released(what);
}

static const std::string refused =
    ", which cannot be part of a key: key columns hold numbers, bools, dates, times, timestamps, durations, decimals, "
    "fixed-size binaries, strings or binaries";

static void test_slices_and_validity() {
    Pool pool;
    // From row 2, null_count unknown: a null over 5, and a 0 that is not null.
    check_rows("int16 sliced", pool, pool.schema("s", "n"), {fixed_array<int16_t>(pool, {7, 8, -2, 5, 0, 9}, "111011", -1, 2)},
               Expect().value(static_cast<uint64_t>(-2), 2).null(2).value(0, 2).value(9, 2));
    check_rows("fixed_size_binary without validity", pool, pool.schema("w:3", "f"),
               {pool.array(3, -1, 1, {nullptr, pool.buffer(std::string("abcdefghijkl"))})},
               Expect().fixed("def").fixed("ghi").fixed("jkl"));
    // Bits 5 to 13: across a byte, with a null over a true bit.
    const std::string values = "0110100111010110", valid = "1111111011111111";
    Expect bools;
    for (size_t b = 5; b < 14; ++b) valid[b] == '1' ? bools.value(values[b] == '1', 1) : bools.null(1);
    check_rows("bool sliced", pool, pool.schema("b", "flag"),
               {pool.array(9, 1, 5, {pool.buffer(bitmap(valid)), pool.buffer(bitmap(values))})}, bools);

    // The same texts in every layout give the same rows; row 0 is sliced off.
    // The last value ends its buffer, which the digest must not read past.
    const Texts texts = {"a value sliced off", "", "hello", std::nullopt, "exactly12byt", "thirteen byte",
                         "a longer value in the other buffer", "tail"};
    Expect want;
    for (size_t i = 1; i < texts.size(); ++i) want.text(texts[i]);
    for (const char* format : {"u", "U", "z", "Z", "vu", "vz"}) {
        check_rows(std::string("texts as ") + format, pool, pool.schema(format, "t"), {text_array(pool, format, texts, 1)}, want);
    }

    // A record batch sliced on the parent, its children whole: child row =
    // parent offset 2 + child offset + i. Row 1 is null in the parent, row 2 in "a".
    ArrowSchema* schema = pool.schema("+s", "", {pool.schema("i", "a"), pool.schema("U", "b"), pool.schema("b", "c")});
    ArrowArray* a = fixed_array<int32_t>(pool, {100, 101, 102, 103, 104, 105}, "111110", 1, 1);
    ArrowArray* b = text_array(pool, "U", {"j", "j", "j", "x", "y", "z"}, 1);
    ArrowArray* c = pool.array(5, 0, 0, {nullptr, pool.buffer(bitmap("00101"))});
    check_rows("sliced record batch", pool, schema, {pool.array(3, 1, 2, {pool.buffer(bitmap("11101"))}, {a, b, c})},
               Expect().value(103, 4).text("x").value(1, 1).null(4).null(16).null(1).null(4).text("z").value(1, 1));
}

static void test_views_out_of_bounds() {
    // One binary view into a data buffer of 29 bytes; a lone column has no name.
    const struct {
        int32_t size, index, start;
        const char* error;
    } cases[] = {
        {20, 0, 9, nullptr},  // ends at the buffer's end
        {20, 0, 10, "column '': a view points outside its data buffers"},
        {13, 1, 0, "column '': a view points outside its data buffers"},
        {13, -1, 0, "column '': a view points outside its data buffers"},
        {-1, 0, 0, "column '': a view has a negative length"},
    };
    const std::string data = "abcdefghijklmnopqrstuvwxyz012";
    for (const auto& c : cases) {
        Pool pool;
        std::vector<int32_t> view{c.size, 0, c.index, c.start};
        std::memcpy(&view[1], data.data() + c.start, 4);
        const std::vector<int64_t> sizes{static_cast<int64_t>(data.size())};
        check_rows("view of " + std::to_string(c.size) + " at " + std::to_string(c.start) + " in buffer " + std::to_string(c.index),
                   pool, pool.schema("vz", "v"),
                   {pool.array(1, 0, 0, {nullptr, pool.buffer(view), pool.buffer(data), pool.buffer(sizes)})},
                   Expect().text(data.substr(9)), c.error);
    }
}

// A stream sends the dictionary again with every batch: batches 0 and 1 over
// the same buffers, batch 2 over a slice of them. The data changes after batch
// 0: batch 1 keeps the digests made once, batch 2's slice is read afresh.
static void test_dictionaries() {
    {
        Pool pool;
        uint8_t* data = pool.buffer(std::string("redblue"));
        const void* offsets = pool.buffer(std::vector<int32_t>{0, 3, 3, 7});
        auto batch = [&](int64_t length, int64_t offset, std::vector<int8_t> indices, const void* validity, int64_t first,
                         int64_t values) {
            ArrowArray* dictionary = pool.array(values, 0, first, {nullptr, offsets, data});
            return pool.array(length, 0, 0, {nullptr},
                              {pool.array(length, -1, offset, {validity, pool.buffer(indices)}, {}, dictionary)});
        };
        // Batch 0 from row 1, its null index over 7 (out of range, not read).
        ArrowArray* b0 = batch(4, 1, {9, 2, 0, 7, 1}, pool.buffer(bitmap("11101")), 0, 3);
        ArrowArray* b1 = batch(2, 0, {1, 2}, nullptr, 0, 3);
        ArrowArray* b2 = batch(2, 0, {1, 0}, nullptr, 1, 2);
        ArrowSchema* schema = pool.schema("+s", "", {pool.schema("c", "colour", {}, pool.schema("u", ""))});
        {
            const arrow::Table table = arrow::Table::from_stream(take(pool.stream(schema, {b0, b1, b2})));
            keys::KeyRows rows(table, nullptr);
            if (table.rows() != 8 || rows.width() != 17) return fail("dictionary stream: not 8 rows of 17 bytes");
            std::vector<uint8_t> out(8 * 17, 0xAA);
            rows.fill_rows(0, 3, out.data());
            std::memcpy(data + 3, "BLUE", 4);
            // From the last row of batch 0 across batches 1 and 2, in two pieces.
            rows.fill_rows(3, 2, out.data() + 3 * 17);
            rows.fill_rows(5, 3, out.data() + 5 * 17);
            same("dictionary across batches", out,
                 Expect().text("blue").text("red").null(16).text("").text("").text("blue").text("BLUE").text("").bytes);
        }
        pool.check_released("dictionary stream");
    }
    // uint32 indices over string views with a null value, as polars sends
    // categoricals, and indices out of range of either sign.
    const struct {
        const char* format;
        std::vector<uint8_t> indices;  // little-endian
        const char* error;
    } cases[] = {
        {"I", {2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, nullptr},
        {"I", {3, 0, 0, 0}, "column '': dictionary index 3 is outside its 3 values"},
        {"c", {0xFF}, "column '': dictionary index -1 is outside its 3 values"},
    };
    for (const auto& c : cases) {
        Pool pool;
        ArrowArray* dictionary = text_array(pool, "vu", {"short", std::nullopt, "a value longer than twelve bytes"}, 0);
        const int64_t length = static_cast<int64_t>(c.indices.size()) / (c.format[0] == 'I' ? 4 : 1);
        check_rows(std::string("dictionary<") + c.format + ", string_view>", pool,
                   pool.schema(c.format, "cat", {}, pool.schema("vu", "")),
                   {pool.array(length, 0, 0, {nullptr, pool.buffer(c.indices)}, {}, dictionary)},
                   Expect().text("a value longer than twelve bytes").text("short").null(16), c.error);
    }
}

static void test_types() {
    const struct {
        const char* format;
        const char* name;
        size_t width;
    } cases[] = {
        {"l", "int64", 8}, {"b", "bool", 1}, {"tsu:UTC", "timestamp[us, tz=UTC]", 8}, {"tsn:", "timestamp[ns]", 8},
        {"d:10,2", "decimal128(10, 2)", 16}, {"d:5,1,256", "decimal256(5, 1)", 32}, {"w:7", "fixed_size_binary(7)", 7},
        {"tdD", "date32", 4}, {"ttn", "time64[ns]", 8}, {"tDm", "duration[ms]", 8}, {"u", "string", 16},
        {"U", "string", 16}, {"vu", "string", 16}, {"z", "binary", 16},
    };
    Pool pool;
    for (const auto& c : cases) {
        const keys::ColumnType type = keys::column_type(*pool.schema(c.format, "col"), "col");
        if (type.name != c.name || type.width != c.width || type.index_bytes != 0) {
            fail(std::string("format '") + c.format + "': " + type.name + ", " + std::to_string(type.width) + " bytes");
        }
    }
    const keys::ColumnType indexed = keys::column_type(*pool.schema("S", "col", {}, pool.schema("U", "")), "col");
    if (indexed.name != "string" || indexed.width != 16 || indexed.index_bytes != 2 || indexed.index_signed) {
        fail("dictionary<uint16, large_string>: read as " + indexed.name);
    }
    // Two pairs, the name second, as a producer may order them.
    auto int32 = [](size_t v) {
        const auto n = static_cast<int32_t>(v);
        return std::string(reinterpret_cast<const char*>(&n), 4);
    };
    std::string metadata = int32(2);
    for (const std::string text : {"ARROW:extension:metadata", "", "ARROW:extension:name", "demo.tagged"}) {
        metadata += int32(text.size()) + text;
    }
    const std::string extension = "column 'col' has type extension<demo.tagged>" + refused + "; cast it to its storage type first";
    const struct {
        const char* format;
        const char* dictionary;
        std::string metadata, message;
    } refusals[] = {
        {"+l", nullptr, "", "column 'col' has type list" + refused},
        {"e", nullptr, "", "column 'col' has type float16" + refused},
        {"+s", nullptr, "", "column 'col' has type struct" + refused},
        {"d:10,2,512", nullptr, "", "column 'col' has type of format 'd:10,2,512'" + refused},
        {"u", nullptr, metadata, extension},
        {"c", "u", metadata, extension},  // stored as a dictionary
    };
    for (const auto& r : refusals) {
        ArrowSchema* schema = pool.schema(r.format, "col", {}, r.dictionary ? pool.schema(r.dictionary, "") : nullptr, r.metadata);
        expect_error<keys::UnsupportedType>(std::string("format '") + r.format + "'", r.message,
                                            [&] { keys::column_type(*schema, "col"); });
    }
}

// Columns chosen by name, from a stream; the table is released once after the refusals.
static void test_key_columns() {
    Pool pool;
    ArrowSchema* schema = pool.schema("+s", "", {pool.schema("i", "a"), pool.schema("u", "b"), pool.schema("s", "x"),
                                                 pool.schema("s", "x"), pool.schema("e", "h")});
    ArrowArray* batch = pool.array(2, 0, 0, {nullptr},
                                   {fixed_array<int32_t>(pool, {1, -1}, "", 0, 0), text_array(pool, "u", {"p", "q"}, 0),
                                    fixed_array<int16_t>(pool, {3, 4}, "", 0, 0), fixed_array<int16_t>(pool, {5, 6}, "", 0, 0),
                                    fixed_array<uint16_t>(pool, {0x3C00, 0}, "", 0, 0)});
    {
        const arrow::Table table = arrow::Table::from_stream(take(pool.stream(schema, {batch})));
        const std::vector<std::string> key{"b", "a"}, unknown{"a", "zz"}, shared{"x"}, none{};
        keys::KeyRows rows(table, &key);
        std::string described;
        for (const keys::Column& column : rows.columns()) described += column.name + ":" + column.type.name + " ";
        if (described != "b:string a:int32 " || rows.width() != 22) fail("columns b, a: read as " + described);
        same("columns b, a", rows_of(table, &key), Expect().text("p").value(1, 4).text("q").value(static_cast<uint64_t>(-1), 4).bytes);
        expect_error<keys::UnsupportedType>("every column", "column 'h' has type float16" + refused, [&] { rows_of(table); });
        expect_error<keys::UnknownColumn>("column zz", "column 'zz' is not in the data, whose columns are 'a', 'b', 'x', 'x', 'h'",
                                          [&] { rows_of(table, &unknown); });
        expect_error<keys::BadKey>("column x", "the key column 'x' is ambiguous: 2 columns of the data have that name",
                                   [&] { rows_of(table, &shared); });
        expect_error<keys::BadKey>("no columns", "the key names no columns", [&] { rows_of(table, &none); });
    }
    pool.check_released("key columns");
}

// A stream failing part-way, after two batches, or at its schema.
static void test_failing_streams() {
    for (int fail_at : {2, -2}) {
        const std::string what = fail_at == 2 ? "get_next failing" : "get_schema failing";
        Pool pool;
        std::vector<ArrowArray*> batches;
        for (int64_t b = 0; b < 3; ++b) batches.push_back(fixed_array<int64_t>(pool, {b, b + 1}, "01", 1, 0));
        ArrowArrayStream* stream = pool.stream(pool.schema("l", ""), batches, fail_at);
        expect_error<arrow::DataError>(what, fail_at == 2 ? "the data's stream failed: batch 2 is damaged"
                                                          : "the data's stream failed: error code 5",
                                       [&] { arrow::Table::from_stream(take(stream)); });
        pool.check_released(what);
    }
}


// Floats bit for bit in layout version 1; in version 2 every NaN is a null
// and -0.0 is +0.0. Each case: its bits, and what version 2 writes (nullopt:
// a null), as a plain column sliced by one row behind a validity buffer, and
// as the values of a dictionary.
template <typename Bits>
static void check_floats(const char* format, const std::vector<std::pair<Bits, std::optional<Bits>>>& cases) {
    std::vector<Bits> values{0};  // row 0 is sliced off
    std::string valid = "0";
    for (const auto& c : cases) {
        values.push_back(c.first);
        valid += '1';
    }
    // Nulls over a NaN and over -0.0 stay nulls in both versions.
    values.insert(values.end(), {cases.front().first, static_cast<Bits>(Bits{1} << (8 * sizeof(Bits) - 1))});
    valid += "00";
    const int width = static_cast<int>(sizeof(Bits));
    for (int version : {1, 2}) {
        Expect want(version), dictionary_want(version);
        for (const auto& c : cases) {
            if (version == 1) {
                want.value(c.first, width);
            } else if (c.second) {
                want.value(*c.second, width);
            } else {
                want.null(sizeof(Bits));
            }
        }
        want.null(sizeof(Bits)).null(sizeof(Bits));
        const std::string what = std::string(format) + " under version " + std::to_string(version);
        Pool pool;
        check_rows(what, pool, pool.schema(format, "x"), {fixed_array<Bits>(pool, values, valid, -1, 1)}, want);
        // The same values through a dictionary, indexed backwards from the
        // null over a NaN; the last index is null.
        std::vector<int16_t> indices;
        for (size_t i = values.size() - 2; i >= 1; --i) indices.push_back(static_cast<int16_t>(i));
        indices.push_back(0);
        const std::vector<uint8_t> bytes = want.bytes;
        const size_t entry = 1 + sizeof(Bits);
        dictionary_want.null(sizeof(Bits));
        for (size_t i = cases.size(); i >= 1; --i) {
            dictionary_want.bytes.insert(dictionary_want.bytes.end(), bytes.begin() + static_cast<int64_t>((i - 1) * entry),
                                         bytes.begin() + static_cast<int64_t>(i * entry));
        }
        dictionary_want.null(sizeof(Bits));  // the null index
        ArrowArray* dictionary = fixed_array<Bits>(pool, values, valid, -1, 0);
        check_rows(what + ", dictionary-encoded", pool, pool.schema("s", "x", {}, pool.schema(format, "")),
                   {pool.array(static_cast<int64_t>(indices.size()), 1, 0,
                               {pool.buffer(bitmap(std::string(indices.size() - 1, '1') + "0")), pool.buffer(indices)}, {},
                               dictionary)},
                   dictionary_want);
    }
}

static void test_floats() {
    using D = std::pair<uint64_t, std::optional<uint64_t>>;
    check_floats<uint64_t>("g", {
        D{0x7FF8000000000000, std::nullopt},  // the quiet NaN
        D{0xFFF8000000000000, std::nullopt},  // negative
        D{0x7FF0000000000001, std::nullopt},  // signalling, least payload
        D{0x7FFFFFFFFFFFFFFF, std::nullopt},  // most payload
        D{0xFFF0000000000001, std::nullopt},
        D{0x8000000000000000, 0},             // -0.0
        D{0, 0},
        D{0x7FF0000000000000, 0x7FF0000000000000},  // infinities
        D{0xFFF0000000000000, 0xFFF0000000000000},
        D{1, 1},                                    // subnormals
        D{0x8000000000000001, 0x8000000000000001},
        D{0x3FF0000000000000, 0x3FF0000000000000},  // 1.0
        D{0x7FEFFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF},  // the largest
        D{0xBFF0000000000000, 0xBFF0000000000000},  // -1.0
    });
    using F = std::pair<uint32_t, std::optional<uint32_t>>;
    check_floats<uint32_t>("f", {
        F{0x7FC00000, std::nullopt}, F{0xFFC00000, std::nullopt}, F{0x7F800001, std::nullopt},
        F{0x7FFFFFFF, std::nullopt}, F{0xFF800001, std::nullopt}, F{0x80000000, 0}, F{0, 0},
        F{0x7F800000, 0x7F800000}, F{0xFF800000, 0xFF800000}, F{1, 1}, F{0x80000001, 0x80000001},
        F{0x3F800000, 0x3F800000}, F{0x7F7FFFFF, 0x7F7FFFFF}, F{0xBF800000, 0xBF800000},
    });
}

// An empty string or binary, in every layout and as a dictionary's value:
// digested in version 1, a null in version 2, its bytes written out here.
static void test_empty_values() {
    uint64_t h[2];
    tessvane::murmur::MurmurHash3_x64_128("", 0, keys::digest_seed, h);
    const Texts texts = {"sliced off", "", std::nullopt, "", "x", "a value longer than twelve"};
    for (int version : {1, 2}) {
        Expect want(version);
        for (const auto& text : {std::optional<std::string>(""), std::optional<std::string>(), std::optional<std::string>(""),
                                 std::optional<std::string>("x"), std::optional<std::string>("a value longer than twelve")}) {
            if (text && text->empty()) {
                version == 1 ? want.value(h[0], 8).little_endian(h[1], 8) : want.null(16);
            } else {
                want.text(text);
            }
        }
        for (const char* format : {"u", "U", "z", "Z", "vu", "vz"}) {
            Pool pool;
            const std::string what = std::string("empty values as ") + format + " under version " + std::to_string(version);
            check_rows(what, pool, pool.schema(format, "t"), {text_array(pool, format, texts, 1)}, want);
            check_rows(what + ", dictionary-encoded", pool, pool.schema("c", "t", {}, pool.schema(format, "")),
                       {pool.array(5, 0, 0, {nullptr, pool.buffer(std::vector<int8_t>{1, 2, 3, 4, 5})}, {},
                                   text_array(pool, format, texts, 0))},
                       want);
        }
    }
}

// Columns of type null, plain and dictionary-encoded, take the width of the
// types they are conformed to, their rows all null; the others must keep
// their type; conform comes before any fill.
static void test_null_columns() {
    Pool pool;
    ArrowSchema* schema = pool.schema("+s", "", {pool.schema("n", "a"), pool.schema("i", "b"), pool.schema("c", "c", {}, pool.schema("n", "")),
                                                 pool.schema("n", "d")});
    ArrowArray* batch = pool.array(3, 0, 0, {nullptr},
                                   {pool.array(3, 3, 0, {}), fixed_array<int32_t>(pool, {5, 6, 7}, "", 0, 0),
                                    pool.array(3, 0, 0, {nullptr, pool.buffer(std::vector<int8_t>{0, 0, 9})}, {}, pool.array(1, 1, 0, {})),
                                    pool.array(3, 3, 0, {})});
    {
        const arrow::Table table = make_table(schema, {batch});
        {
            keys::KeyRows rows(table, nullptr);
            std::string described;
            for (const keys::Column& column : rows.columns()) described += column.name + ":" + column.type.name + " ";
            if (described != "a:null b:int32 c:null d:null " || rows.width() != 8) fail("null columns: read as " + described);
            expect_error<std::invalid_argument>("conform to three types", "conform takes one type per key column: 4 columns, 3 types",
                                                [&] { rows.conform({"string", "int32", "float64"}); });
            expect_error<std::invalid_argument>("conform int32 to int64", "column 'b' has type int32, not the int64 it must conform to",
                                                [&] { rows.conform({"string", "int64", "float64", "null"}); });
            expect_error<std::invalid_argument>("conform to no type", "column 'c': 'float' is not the name of a key type",
                                                [&] { rows.conform({"string", "int32", "float", "null"}); });
            if (rows.width() != 8) fail("a refused conform changed the width");
            rows.conform({"string", "int32", "decimal256(40, 3)", "null"});
            described.clear();
            for (const keys::Column& column : rows.columns()) described += column.name + ":" + column.type.name + " ";
            if (described != "a:string b:int32 c:decimal256(40, 3) d:null " || rows.width() != 17 + 5 + 33 + 1) {
                fail("conformed: read as " + described + ", " + std::to_string(rows.width()) + " bytes");
            }
            std::vector<uint8_t> out(3 * rows.width(), 0xAA);
            rows.fill_rows(1, 2, out.data());
            rows.fill_rows(0, 1, out.data() + 2 * rows.width());
            Expect want;
            for (uint64_t b : {6, 7, 5}) want.null(16).value(b, 4).null(32).null(0);
            same("conformed null columns", out, want.bytes);
            expect_error<std::invalid_argument>("conform after a fill",
                                                "conform must come before the first fill: it changes the width of the rows",
                                                [&] { rows.conform({"string", "int32", "float64", "null"}); });
        }
        // Version 1 conforms alike: a null is the same bytes in both.
        keys::KeyRows rows(table, nullptr, 1);
        rows.conform({"bool", "int32", "null", "fixed_size_binary(3)"});
        std::vector<uint8_t> out(3 * rows.width(), 0xAA);
        rows.fill(out.data());
        Expect want(1);
        for (uint64_t b : {5, 6, 7}) want.null(1).value(b, 4).null(0).null(3);
        same("conformed under version 1", out, want.bytes);
    }
    pool.check_released("null columns");
}

// Every type name the reader gives, from every format family, back to its
// width; what is not such a name is refused. Versions other than 1 and 2 too.
static void test_type_names() {
    std::vector<std::string> formats = {"c", "C", "s", "S", "i", "I", "l", "L", "f", "g", "tdD", "tdm", "tts", "ttm",
                                        "ttu", "ttn", "tDs", "tDm", "tDu", "tDn", "b", "u", "U", "vu", "z", "Z", "vz",
                                        "w:0", "w:1", "w:2147483647", "d:1,0", "d:9,-2,32", "d:18,30,64", "d:38,38",
                                        "d:76,2147483647,256", "d:5,-2147483648,128"};
    for (const char* unit : {"s", "m", "u", "n"}) {
        for (const char* zone : {"", "UTC", "America/Asuncion", "+07:30", "a, tz=b]"}) formats.push_back(std::string("ts") + unit + ":" + zone);
    }
    Pool pool;
    for (const std::string& format : formats) {
        const keys::ColumnType type = keys::column_type(*pool.schema(format, "col"), "col");
        try {
            if (keys::type_width(type.name) != type.width) fail("type '" + type.name + "': another width");
        } catch (const std::exception& e) {
            fail("type '" + type.name + "' of format '" + format + "': " + e.what());
        }
    }
    for (const char* name : {"null", "", "float", "int65", "Int64", "string ", "decimal128(10,2)", "decimal128(39, 2)",
                             "decimal(10, 2)", "decimal128(010, 2)", "decimal512(10, 2)", "decimal128(10, +2)",
                             "fixed_size_binary(07)", "fixed_size_binary(-1)", "fixed_size_binary(-0)",
                             "fixed_size_binary(2147483648)", "fixed_size_binary()", "timestamp[us, tz=]", "timestamp[xs]",
                             "timestamp[]", "timestamp[us", "timestamp[ms, UTC]", "list", "dictionary<int8, string>"}) {
        expect_error<std::invalid_argument>(std::string("type name '") + name + "'",
                                            std::string("'") + name + "' is not the name of a key type",
                                            [&] { keys::type_width(name); });
    }
    for (int version : {0, 3, -1}) {
        expect_error<std::invalid_argument>("version " + std::to_string(version),
                                            "version must be a key row layout version, 1 or 2, not " + std::to_string(version),
                                            [&] { keys::check_version(version); });
    }
    // A schema's columns as a layout names them; a lone type is named "".
    std::string described;
    for (const keys::Column& column : keys::schema_columns(
             *pool.schema("+s", "", {pool.schema("tsu:UTC", "t"), pool.schema("i", "s", {}, pool.schema("vu", ""))}))) {
        described += column.name + ":" + column.type.name + " ";
    }
    for (const keys::Column& column : keys::schema_columns(*pool.schema("g", "ignored"))) described += column.name + ":" + column.type.name;
    if (described != "t:timestamp[us, tz=UTC] s:string :float64") fail("schema columns: " + described);
    // Names must decode as Python decodes UTF-8, strictly.
    for (const auto& [text, valid] : std::vector<std::pair<std::string, bool>>{
             {"", true}, {"Asunci\xc3\xb3n", true}, {"\xe2\x82\xac", true}, {"\xf0\x9f\x98\x80", true},
             {"\xf4\x8f\xbf\xbf", true}, {"\xed\x9f\xbf", true}, {"\xee\x80\x80", true},
             {"\xff", false}, {"\xc0\x80", false}, {"\xc1\xbf", false}, {"\xe0\x80\xaf", false},
             {"\xed\xa0\x80", false}, {"\xf0\x80\x80\xaf", false}, {"\xf4\x90\x80\x80", false},
             {"\xf5\x80\x80\x80", false}, {"\xc3", false}, {"a\xe2\x82", false}, {"\x80", false},
             {"\xc3\x28", false}}) {
        if (arrow::is_utf8(text) != valid) fail("UTF-8 of a text of " + std::to_string(text.size()) + " bytes: misjudged");
    }
    expect_error<keys::UnsupportedType>("a schema's null", "column 'n' has type null" + refused,
                                        [&] { keys::schema_columns(*pool.schema("+s", "", {pool.schema("n", "n")})); });
}


// What a bad-struct case hands over: a schema and its batches, or a stream.
struct Input {
    ArrowSchema* schema = nullptr;
    std::vector<ArrowArray*> batches;
    ArrowArrayStream* stream = nullptr;
};

// The structs of a table of two columns, a: int64 and b: string, three rows,
// for a case to spoil: the schema, the batch and its two columns.
struct Plain {
    ArrowSchema* schema;
    ArrowArray* batch;
    ArrowArray* a;
    ArrowArray* b;

    explicit Plain(Pool& pool, const std::string& a_format = "l") {
        schema = pool.schema("+s", "", {pool.schema(a_format, "a"), pool.schema("u", "b")});
        a = fixed_array<int64_t>(pool, {1, 2, 3}, "", 0, 0);
        b = text_array(pool, "u", {"x", "y", "z"}, 0);
        batch = pool.array(3, 0, 0, {nullptr}, {a, b});
    }
    Input input() const { return Input{schema, {batch}}; }
};

// A column "c" of three entries of a dictionary of three strings, indexed by
// `format`, for a case to spoil.
static Input dictionary_column(Pool& pool, const std::string& format, std::vector<uint8_t> indices) {
    ArrowArray* dictionary = text_array(pool, "u", {"p", "q", "r"}, 0);
    const int64_t length = static_cast<int64_t>(indices.size()) / (format == "c" ? 1 : format == "L" || format == "l" ? 8 : 4);
    ArrowArray* c = pool.array(length, 0, 0, {nullptr, pool.buffer(indices)}, {}, dictionary);
    return Input{pool.schema("+s", "", {pool.schema(format, "c", {}, pool.schema("u", ""))}),
                 {pool.array(length, 0, 0, {nullptr}, {c})}};
}

static std::vector<uint8_t> little_endian(uint64_t v) {
    std::vector<uint8_t> out;
    for (int k = 0; k < 8; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    return out;
}

static std::string metadata_of(const std::vector<int32_t>& lengths, const std::string& bytes) {
    std::string out(reinterpret_cast<const char*>(lengths.data()), lengths.size() * 4);
    return out + bytes;
}

// One row per malformed struct: each is refused with a DataError (a
// ValueError in Python) naming what is wrong, before a byte past what the
// producer vouches for is read, and every struct is released once.
static void test_bad_structs() {
    const int64_t huge = INT64_MAX;
    const struct {
        const char* what;
        std::function<Input(Pool&)> make;
        const char* message;
    } cases[] = {
        // Formats, fields and children of schemas.
        {"two fixed_size_binary of width 2^63 - 1",
         [](Pool& pool) {
             ArrowSchema* schema = pool.schema("+s", "", {pool.schema("w:9223372036854775807", "a"), pool.schema("w:9223372036854775807", "b")});
             return Input{schema, {pool.array(0, 0, 0, {nullptr}, {pool.array(0, 0, 0, {nullptr, nullptr}), pool.array(0, 0, 0, {nullptr, nullptr})})}};
         },
         "column 'a': its format 'w:9223372036854775807' is malformed: a fixed-size binary's is w:WIDTH, of 0 to 2147483647 bytes"},
        {"one fixed_size_binary of width 2^31",
         [](Pool& pool) {
             return Input{pool.schema("w:2147483648", "ignored"), {pool.array(1, 0, 0, {nullptr, pool.buffer(std::string("x"))})}};
         },
         "column '': its format 'w:2147483648' is malformed"},
        {"two fixed_size_binary(2^31 - 1): rows wider than a row may be",
         [](Pool& pool) {
             ArrowSchema* schema = pool.schema("+s", "", {pool.schema("w:2147483647", "a"), pool.schema("w:2147483647", "b")});
             return Input{schema, {pool.array(0, 0, 0, {nullptr}, {pool.array(0, 0, 0, {nullptr, nullptr}), pool.array(0, 0, 0, {nullptr, nullptr})})}};
         },
         "the key's rows would be wider than the 2147483647 bytes a row may have: column 'a' has type fixed_size_binary(2147483647)"},
        {"decimal with trailing text", [](Pool& pool) { Plain p(pool, "d:10,2x"); return p.input(); },
         "column 'a': its format 'd:10,2x' is malformed: a decimal's is d:PRECISION,SCALE or d:PRECISION,SCALE,BITS"},
        {"decimal precision past int32", [](Pool& pool) { Plain p(pool, "d:99999999999999999999,2"); return p.input(); },
         "column 'a': its format 'd:99999999999999999999,2' is malformed"},
        {"decimal128 of precision 39", [](Pool& pool) { Plain p(pool, "d:39,2"); return p.input(); },
         "column 'a': its format 'd:39,2' is malformed"},
        {"decimal without scale", [](Pool& pool) { Plain p(pool, "d:10"); return p.input(); },
         "column 'a': its format 'd:10' is malformed"},
        {"NULL format of the schema",
         [](Pool& pool) {
             ArrowArray* array = fixed_array<int64_t>(pool, {1}, "", 0, 0);
             ArrowSchema* schema = pool.schema("l", "x");
             schema->format = nullptr;
             return Input{schema, {array}};
         },
         "the data's schema has no format"},
        {"NULL format of a field", [](Pool& pool) { Plain p(pool); p.schema->children[1]->format = nullptr; return p.input(); },
         "column 'b': its schema has no format"},
        {"NULL format of a dictionary's schema",
         [](Pool& pool) { Input in = dictionary_column(pool, "c", {0, 1, 2}); in.schema->children[0]->dictionary->format = nullptr; return in; },
         "column 'c': the schema of its dictionary has no format"},
        {"NULL children of the schema", [](Pool& pool) { Plain p(pool); p.schema->children = nullptr; return p.input(); },
         "the data's schema lacks its columns"},
        {"NULL field of the schema", [](Pool& pool) { Plain p(pool); p.schema->children[1] = nullptr; return p.input(); },
         "the data's schema lacks column 1"},
        {"a negative number of fields", [](Pool& pool) { Plain p(pool); p.schema->n_children = -1; return p.input(); },
         "the data's schema has a negative number of columns"},
        {"more fields than the batch has columns", [](Pool& pool) { Plain p(pool); p.schema->n_children = 5; return p.input(); },
         "a record batch has 2 columns where its schema has 5"},
        {"a field name that is not UTF-8",
         [](Pool& pool) { Plain p(pool); static const char name[] = "caf\xe9"; p.schema->children[1]->name = name; return p.input(); },
         "the name of column 1 of the data is not UTF-8"},
        {"a time zone that is not UTF-8", [](Pool& pool) { Plain p(pool, "tsu:\xed\xa0\x80"); return p.input(); },
         "column 'a': its format 'tsu:\xed\xa0\x80' is malformed: a timestamp's time zone is UTF-8 text"},
        {"metadata: a key of 2^31 - 1 bytes",
         [](Pool& pool) {
             Plain p(pool);
             pool.made[pool.made.size() - 6].metadata = metadata_of({1, INT32_MAX}, "abc");
             p.schema->children[0]->metadata = pool.made[pool.made.size() - 6].metadata.data();
             return p.input();
         },
         "malformed schema metadata: longer than the 67108864 bytes it may have"},
        {"metadata: a negative count",
         [](Pool& pool) { Plain p(pool); static const std::string m = metadata_of({-1}, ""); p.schema->children[1]->metadata = m.data(); return p.input(); },
         "malformed schema metadata: a negative count"},
        {"metadata: a negative length",
         [](Pool& pool) { Plain p(pool); static const std::string m = metadata_of({1, 2}, "ab") + metadata_of({-5}, ""); p.schema->children[1]->metadata = m.data(); return p.input(); },
         "malformed schema metadata: a negative length"},
        // Record batches.
        {"NULL children of a batch", [](Pool& pool) { Plain p(pool); p.batch->children = nullptr; return p.input(); },
         "a record batch lacks its columns"},
        {"NULL column of a batch", [](Pool& pool) { Plain p(pool); p.batch->children[1] = nullptr; return p.input(); },
         "a record batch lacks its column 1"},
        {"a batch without buffers", [](Pool& pool) { Plain p(pool); p.batch->n_buffers = 0; return p.input(); },
         "a record batch has 0 buffers where a struct has 1"},
        {"NULL buffers of a batch", [](Pool& pool) { Plain p(pool); p.batch->buffers = nullptr; return p.input(); },
         "a record batch lacks its buffers"},
        {"a batch of negative length", [](Pool& pool) { Plain p(pool); p.batch->length = -1; return p.input(); },
         "a record batch has a negative length or offset"},
        {"a batch whose offset and length overflow", [](Pool& pool) { Plain p(pool); p.batch->offset = INT64_MAX; return p.input(); },
         "a record batch of 3 values from offset 9223372036854775807 ends past the 9223372036854775807 values an array may have"},
        {"a batch's null count past its length", [](Pool& pool) { Plain p(pool); p.batch->null_count = 4; return p.input(); },
         "a record batch of 3 values has a null count of 4"},
        {"a batch of 10^7 rows over columns of 3", [](Pool& pool) { Plain p(pool); p.batch->length = 10000000; return p.input(); },
         "column 'a': an array of 3 values is shorter than its record batch, which reads 10000000 rows from row 0"},
        {"a sliced batch past its columns' end",
         [](Pool& pool) { Plain p(pool); p.batch->offset = 2, p.batch->length = 2; return p.input(); },
         "column 'a': an array of 3 values is shorter than its record batch, which reads 2 rows from row 2"},
        {"batches of more than 2^63 - 1 rows in all",
         [huge](Pool& pool) {
             std::vector<ArrowArray*> batches;
             for (int b = 0; b < 2; ++b) {
                 batches.push_back(pool.array(huge / 2 + 1, 0, 0, {nullptr}, {pool.array(huge / 2 + 1, 0, 0, {nullptr, nullptr})}));
             }
             return Input{nullptr, {}, pool.stream(pool.schema("+s", "", {pool.schema("c", "a")}), batches)};
         },
         "the data's batches hold more than the 9223372036854775807 rows a table may have"},
        {"more rows than an array can hold",
         [huge](Pool& pool) {
             ArrowArray* a = pool.array(huge / 8, 0, 0, {nullptr, nullptr});
             return Input{pool.schema("+s", "", {pool.schema("l", "a")}), {pool.array(huge / 8, 0, 0, {nullptr}, {a})}};
         },
         "the data's 1152921504606846975 rows of 9 bytes are more than an array can hold"},
        {"a stream without get_next",
         [](Pool& pool) {
             ArrowArrayStream* stream = pool.stream(pool.schema("l", ""), {fixed_array<int64_t>(pool, {1}, "", 0, 0)});
             stream->get_next = nullptr;
             return Input{nullptr, {}, stream};
         },
         "the data's stream lacks its callbacks"},
        // The arrays of key columns.
        {"a lone array of negative length",
         [](Pool& pool) { ArrowArray* a = fixed_array<int64_t>(pool, {1}, "", 0, 0); a->length = -3; return Input{pool.schema("l", ""), {a}}; },
         "an array has a negative length or offset"},
        {"a column of negative offset", [](Pool& pool) { Plain p(pool); p.a->offset = -1; return p.input(); },
         "column 'a': an array has a negative length or offset"},
        {"a column's null count below -1", [](Pool& pool) { Plain p(pool); p.b->null_count = -2; return p.input(); },
         "column 'b': an array of 3 values has a null count of -2"},
        {"an int64 column at offset 2^61",
         [](Pool& pool) { Plain p(pool); p.a->offset = int64_t{1} << 61; p.a->length += p.a->offset; return p.input(); },
         "column 'a': an array of 2305843009213693955 values from offset 2305843009213693952 reaches past the 9223372036854775807 bytes a buffer may have"},
        {"an int64 column with one buffer", [](Pool& pool) { Plain p(pool); p.a->n_buffers = 1; return p.input(); },
         "column 'a': an array has 1 buffers, where its type, int64, has 2"},
        {"a string column with two buffers", [](Pool& pool) { Plain p(pool); p.b->n_buffers = 2; return p.input(); },
         "column 'b': an array has 2 buffers, where its type, string, has 3"},
        {"a null column with two buffers",
         [](Pool& pool) { return Input{pool.schema("n", ""), {pool.array(2, 2, 0, {nullptr, nullptr})}}; },
         "column '': an array has 2 buffers, where its type, null, has 0 or 1"},
        {"a view column with two buffers",
         [](Pool& pool) { ArrowArray* a = text_array(pool, "vu", {"a"}, 0); a->n_buffers = 2; return Input{pool.schema("vu", ""), {a}}; },
         "column '': an array has 2 buffers, where its type, string, has at least 3"},
        {"NULL buffers of a column", [](Pool& pool) { Plain p(pool); p.a->buffers = nullptr; return p.input(); },
         "column 'a': an array lacks its buffers"},
        {"NULL values of a column", [](Pool& pool) { Plain p(pool); p.a->buffers[1] = nullptr; return p.input(); },
         "column 'a': an array of 3 values lacks its buffer 1"},
        {"NULL offsets of a column", [](Pool& pool) { Plain p(pool); p.b->buffers[1] = nullptr; return p.input(); },
         "column 'b': an array of 3 values lacks its buffer 1"},
        {"NULL data of a column of texts", [](Pool& pool) { Plain p(pool); p.b->buffers[2] = nullptr; return p.input(); },
         "column 'b': its values lack their data"},
        {"a column with children", [](Pool& pool) { Plain p(pool); p.a->n_children = 1; return p.input(); },
         "column 'a': an array has 1 children, where its type has none"},
        {"NULL sizes of a view's data buffers",
         [](Pool& pool) {
             ArrowArray* a = text_array(pool, "vz", {"longer than twelve bytes"}, 0);
             a->buffers[a->n_buffers - 1] = nullptr;
             return Input{pool.schema("vz", ""), {a}};
         },
         "column '': a view array lacks its buffer sizes"},
        {"string offsets that decrease",
         [](Pool& pool) { Plain p(pool); p.b->buffers[1] = pool.buffer(std::vector<int32_t>{0, 2, 1, 3}); return p.input(); },
         "column 'b': its offsets are not ascending"},
        {"string offsets below 0",
         [](Pool& pool) { Plain p(pool); p.b->buffers[1] = pool.buffer(std::vector<int32_t>{-1, 1, 2, 3}); return p.input(); },
         "column 'b': its offsets are not ascending"},
        {"an offset past the array's last, in a slice that ends before it",
         [](Pool& pool) {
             Plain p(pool);
             p.b->buffers[1] = pool.buffer(std::vector<int32_t>{0, 1, 500, 3});
             p.batch->offset = 1, p.batch->length = 1;
             return p.input();
         },
         "column 'b': its offsets are not ascending"},
        // Dictionaries.
        {"a dictionary column without its dictionary",
         [](Pool& pool) { Input in = dictionary_column(pool, "c", {0, 1, 2}); in.batches[0]->children[0]->dictionary = nullptr; return in; },
         "column 'c': its dictionary is missing"},
        {"a dictionary of negative length",
         [](Pool& pool) { Input in = dictionary_column(pool, "c", {0, 1, 2}); in.batches[0]->children[0]->dictionary->length = -1; return in; },
         "column 'c': its dictionary has a negative length or offset"},
        {"a dictionary of strings with two buffers",
         [](Pool& pool) { Input in = dictionary_column(pool, "c", {0, 1, 2}); in.batches[0]->children[0]->dictionary->n_buffers = 2; return in; },
         "column 'c': its dictionary has 2 buffers, where its type, string, has 3"},
        {"dictionary indices with three buffers",
         [](Pool& pool) { Input in = dictionary_column(pool, "c", {0, 1, 2}); in.batches[0]->children[0]->n_buffers = 3; return in; },
         "column 'c': an array has 3 buffers, where dictionary indices have 2"},
        {"a uint64 index of 2^63 + 5", [](Pool& pool) { return dictionary_column(pool, "L", little_endian((uint64_t{1} << 63) + 5)); },
         "column 'c': dictionary index 9223372036854775813 is outside its 3 values"},
        {"an int64 index of -7", [](Pool& pool) { return dictionary_column(pool, "l", little_endian(static_cast<uint64_t>(-7))); },
         "column 'c': dictionary index -7 is outside its 3 values"},
        {"a uint32 index of 2^32 - 1", [](Pool& pool) { return dictionary_column(pool, "I", {0xFF, 0xFF, 0xFF, 0xFF}); },
         "column 'c': dictionary index 4294967295 is outside its 3 values"},
        {"an int8 index of 3", [](Pool& pool) { return dictionary_column(pool, "c", {0, 3, 1}); },
         "column 'c': dictionary index 3 is outside its 3 values"},
    };
    for (const auto& c : cases) {
        Pool pool;
        const Input input = c.make(pool);
        try {
            const arrow::Table table = input.stream != nullptr ? arrow::Table::from_stream(take(input.stream))
                                                               : make_table(input.schema, input.batches);
            keys::KeyRows rows(table, nullptr);
            if (static_cast<uint64_t>(rows.rows()) * rows.width() > (uint64_t{1} << 20)) {
                fail(std::string(c.what) + ": not refused, and too large to read");
            } else {
                std::vector<uint8_t> out(static_cast<size_t>(rows.rows()) * rows.width());
                rows.fill(out.data());
                fail(std::string(c.what) + ": no error");
            }
        } catch (const arrow::DataError& e) {
            if (std::string(e.what()).find(c.message) != 0) fail(std::string(c.what) + ": said \"" + e.what() + "\"");
        } catch (const std::exception& e) {
            fail(std::string(c.what) + ": the wrong kind of error: " + e.what());
        }
        pool.check_released(c.what);
    }
}

int main() {
    for (auto test : {test_slices_and_validity, test_views_out_of_bounds, test_dictionaries, test_types, test_key_columns,
                      test_failing_streams, test_floats, test_empty_values, test_null_columns, test_type_names,
                      test_bad_structs}) {
        try {
            test();
        } catch (const std::exception& e) {
            fail(std::string("unexpected error: ") + e.what());
        }
    }
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all Arrow reader and key row checks passed\n");
    return 0;
}
