// Key rows: one fixed-width row of bytes per row of a table, made from the
// columns of its key, so that a filter can take them as the rows of a
// two-dimensional array. Column after column in key order:
//
//   1 byte        1 when the value is there, 0 when it is null
//   width bytes   fixed-width types: the value's own bytes, little-endian
//                 strings and binaries: the value's MurmurHash3_x64_128 digest
//                 under digest_seed, h1 then h2, little-endian (16 bytes)
//                 null: all zero
//
// Layout version 2, the one new rows follow, gives one key to the values that
// two readings of the same data may tell apart (one library exports NaN as
// null, another keeps it; CSV writers disagree on "" and null):
//
//   float32, float64   NaN, whatever its sign and payload, is written as a
//                      null (validity 0, value bytes zero); -0.0 as +0.0
//   strings, binaries  an empty value is written as a null (validity 0,
//                      16 zero bytes)
//
// Layout version 1 writes floats bit for bit and digests an empty value like
// any other; filters stored with it are answered by its rules. In both, a
// column of type null has width 0 until it is conformed to the type that it
// stands for in a layout; its rows are then the nulls of that type.
//
// The width depends on the type alone, never on the values, so the layout of
// a key is the names and types of its columns. A dictionary-encoded column is
// read as its values; string, large_string and string_view give the same
// bytes for the same text, and the three binary types likewise. A stored
// filter depends on every byte of this: it is a stored-data format.
//
// No Python in this header: the C++ tests drive it with hand-built arrays.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "../murmur.hpp"
#include "arrow.hpp"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "key rows copy values little-endian as they lie in memory");

namespace woxbloom::keys {

using arrow::ArrowArray;
using arrow::ArrowSchema;
using arrow::DataError;

// The version new rows follow; readers make version 1 too, for stored filters.
constexpr int layout_version = 2;
constexpr uint32_t digest_seed = 0x6B657931;  // "key1"
constexpr size_t digest_bytes = 16;
// MurmurHash3 takes a 32-bit signed length.
constexpr int64_t max_value_bytes = INT_MAX;

inline void check_version(int version) {
    if (version != 1 && version != 2) {
        throw std::invalid_argument("version must be a key row layout version, 1 or 2, not " + std::to_string(version));
    }
}

// The caller named a column the data does not have.
struct UnknownColumn : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A column whose type has no key layout.
struct UnsupportedType : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The caller asked for no columns, or for a name two columns share.
struct BadKey : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// float: written as fixed in layout version 1, normalised in version 2.
enum class Kind { null, boolean, fixed, floating, text };
enum class Offsets { none, small, large, view };

// A type as the key row holds it.
struct ValueType {
    std::string name;  // as the layout records it: "int64", "string", "timestamp[us, tz=UTC]"
    Kind kind = Kind::fixed;
    size_t width = 0;  // value bytes after the validity byte
    Offsets offsets = Offsets::none;
};

// A column's type: its values' type, and for a dictionary-encoded column the
// index type (index_bytes 0 otherwise).
struct ColumnType : ValueType {
    int index_bytes = 0;
    bool index_signed = false;
};

// A key row the filter can take: it hashes rows of at most this many bytes.
constexpr size_t max_row_bytes = INT_MAX;

namespace detail {

inline std::string quoted(const std::string& name) { return "'" + name + "'"; }

// A readable name for a type without a layout, for the error message.
inline std::string unsupported_name(const std::string& format) {
    static const std::map<std::string, std::string> names = {
        {"e", "float16"},     {"+l", "list"},         {"+L", "large_list"},    {"+vl", "list_view"},
        {"+vL", "large_list_view"}, {"+s", "struct"}, {"+m", "map"},           {"+r", "run_end_encoded"},
        {"tiM", "month_interval"}, {"tiD", "day_time_interval"}, {"tin", "month_day_nano_interval"},
    };
    if (auto found = names.find(format); found != names.end()) return found->second;
    if (format.rfind("+w:", 0) == 0) return "fixed_size_list";
    if (format.rfind("+u", 0) == 0) return "union";
    return "of format '" + format + "'";
}

[[noreturn]] inline void unsupported(const std::string& column, const std::string& type, const std::string& hint = "") {
    throw UnsupportedType("column " + quoted(column) + " has type " + type +
                          ", which cannot be part of a key: key columns hold numbers, bools, dates, times, "
                          "timestamps, durations, decimals, fixed-size binaries, strings or binaries" + hint);
}

// The fixed-width types whose format is their whole description.
struct Named {
    const char* format;
    const char* name;
    size_t width;
    Kind kind;
};
inline const std::vector<Named>& named_types() {
    static const std::vector<Named> types = {
        {"c", "int8", 1, Kind::fixed},           {"C", "uint8", 1, Kind::fixed},
        {"s", "int16", 2, Kind::fixed},          {"S", "uint16", 2, Kind::fixed},
        {"i", "int32", 4, Kind::fixed},          {"I", "uint32", 4, Kind::fixed},
        {"l", "int64", 8, Kind::fixed},          {"L", "uint64", 8, Kind::fixed},
        {"f", "float32", 4, Kind::floating},     {"g", "float64", 8, Kind::floating},
        {"tdD", "date32", 4, Kind::fixed},       {"tdm", "date64", 8, Kind::fixed},
        {"tts", "time32[s]", 4, Kind::fixed},    {"ttm", "time32[ms]", 4, Kind::fixed},
        {"ttu", "time64[us]", 8, Kind::fixed},   {"ttn", "time64[ns]", 8, Kind::fixed},
        {"tDs", "duration[s]", 8, Kind::fixed},  {"tDm", "duration[ms]", 8, Kind::fixed},
        {"tDu", "duration[us]", 8, Kind::fixed}, {"tDn", "duration[ns]", 8, Kind::fixed},
        {"b", "bool", 1, Kind::boolean},
    };
    return types;
}

inline const char* unit_name(char unit) {
    switch (unit) {
    case 's': return "s";
    case 'm': return "ms";
    case 'u': return "us";
    case 'n': return "ns";
    default: return nullptr;
    }
}

// A decimal integer in [low, high] at the start of text, no sign but '-';
// false when there is none or it is out of range. No overflow on any input.
inline bool parse_int(const char*& text, int64_t low, int64_t high, int64_t* value) {
    const char* p = text;
    const bool negative = *p == '-';
    if (negative) ++p;
    if (*p < '0' || *p > '9') return false;
    int64_t magnitude = 0;  // at most high or -low, both well inside int64
    const int64_t limit = negative ? -low : high;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) return false;
    }
    *value = negative ? -magnitude : magnitude;
    text = p;
    return true;
}

// The reading of a format of a family that carries numbers.
enum class Parsed { type, unknown, malformed };

// "d:P,S" or "d:P,S,BITS" of a decimal; its precision must fit its bits. A
// width other than the four Arrow has is a type unknown here.
inline Parsed decimal(const std::string& format, std::string* name, size_t* width) {
    const char* p = format.c_str() + 2;
    int64_t precision = 0, scale = 0, bits = 128;
    if (!parse_int(p, 1, 76, &precision) || *p++ != ',' || !parse_int(p, INT32_MIN, INT32_MAX, &scale)) return Parsed::malformed;
    if (*p == ',' && !parse_int(++p, 1, INT32_MAX, &bits)) return Parsed::malformed;
    if (*p != '\0') return Parsed::malformed;
    const int64_t most = bits == 32 ? 9 : bits == 64 ? 18 : bits == 128 ? 38 : bits == 256 ? 76 : 0;
    if (most == 0) return Parsed::unknown;
    if (precision > most) return Parsed::malformed;
    *name = "decimal" + std::to_string(bits) + "(" + std::to_string(precision) + ", " + std::to_string(scale) + ")";
    *width = static_cast<size_t>(bits / 8);
    return Parsed::type;
}

// "w:N" of a fixed-size binary, N within Arrow's int32 widths.
inline Parsed fixed_binary(const std::string& format, int64_t* bytes) {
    const char* p = format.c_str() + 2;
    return format[2] != '-' && parse_int(p, 0, INT32_MAX, bytes) && *p == '\0' ? Parsed::type : Parsed::malformed;
}

[[noreturn]] inline void malformed(const std::string& column, const std::string& format, const char* rule) {
    throw DataError("column " + quoted(column) + ": its format '" + format + "' is malformed: " + rule);
}

// An extension type's metadata sits on its field, also when its storage is
// dictionary-encoded.
inline void refuse_extension(const ArrowSchema& schema, const std::string& column) {
    arrow::Text extension{};
    if (arrow::metadata_value(schema.metadata, "ARROW:extension:name", &extension)) {
        unsupported(column, "extension<" + std::string(extension.data, static_cast<size_t>(extension.size)) + ">",
                    "; cast it to its storage type first");
    }
}

inline ValueType value_type(const ArrowSchema& schema, const std::string& column) {
    refuse_extension(schema, column);
    const std::string format = schema.format != nullptr ? schema.format : "";
    for (const Named& named : named_types()) {
        if (format == named.format) return ValueType{named.name, named.kind, named.width};
    }
    if (format == "n") return ValueType{"null", Kind::null, 0};
    if (format == "u" || format == "U" || format == "vu" || format == "z" || format == "Z" || format == "vz") {
        const Offsets offsets = format.size() == 2 ? Offsets::view : format[0] == 'u' || format[0] == 'z' ? Offsets::small : Offsets::large;
        const bool text = format.back() == 'u' || format.back() == 'U';
        return ValueType{text ? "string" : "binary", Kind::text, digest_bytes, offsets};
    }
    // Timestamps: "ts" and the unit, a colon, then the time zone, empty for none.
    if (format.size() >= 4 && format.compare(0, 2, "ts") == 0 && format[3] == ':' && unit_name(format[2])) {
        const std::string zone = format.substr(4);
        if (!arrow::is_utf8(zone)) malformed(column, format, "a timestamp's time zone is UTF-8 text");
        return ValueType{"timestamp[" + std::string(unit_name(format[2])) + (zone.empty() ? "" : ", tz=" + zone) + "]",
                         Kind::fixed, 8};
    }
    if (format.rfind("d:", 0) == 0) {
        std::string name;
        size_t width = 0;
        switch (decimal(format, &name, &width)) {
        case Parsed::type: return ValueType{name, Kind::fixed, width};
        case Parsed::unknown: break;
        case Parsed::malformed:
            malformed(column, format, "a decimal's is d:PRECISION,SCALE or d:PRECISION,SCALE,BITS, its precision 1 to 9, "
                                      "18, 38 or 76 for 32, 64, 128 or 256 bits");
        }
    }
    if (format.rfind("w:", 0) == 0) {
        int64_t bytes = 0;
        if (fixed_binary(format, &bytes) == Parsed::malformed) {
            malformed(column, format, "a fixed-size binary's is w:WIDTH, of 0 to 2147483647 bytes");
        }
        return ValueType{"fixed_size_binary(" + std::to_string(bytes) + ")", Kind::fixed, static_cast<size_t>(bytes)};
    }
    unsupported(column, unsupported_name(format));
}

}  // namespace detail

// The key type of a column, or UnsupportedType naming the column and its type.
inline ColumnType column_type(const ArrowSchema& schema, const std::string& column) {
    if (schema.dictionary == nullptr) {
        ColumnType type;
        static_cast<ValueType&>(type) = detail::value_type(schema, column);
        return type;
    }
    detail::refuse_extension(schema, column);
    static const std::map<std::string, std::pair<int, bool>> indices = {
        {"c", {1, true}}, {"C", {1, false}}, {"s", {2, true}}, {"S", {2, false}},
        {"i", {4, true}}, {"I", {4, false}}, {"l", {8, true}}, {"L", {8, false}},
    };
    const auto index = indices.find(schema.format != nullptr ? schema.format : "");
    if (index == indices.end()) throw DataError("column " + detail::quoted(column) + ": a dictionary index must be an integer");
    if (schema.dictionary->dictionary != nullptr) detail::unsupported(column, "dictionary of dictionaries");
    ColumnType type;
    static_cast<ValueType&>(type) = detail::value_type(*schema.dictionary, column);
    type.index_bytes = index->second.first;
    type.index_signed = index->second.second;
    return type;
}

// The value width of a key type as the layout names it ("int64" 8, "string"
// 16, "fixed_size_binary(7)" 7): the names column_type gives, written the way
// it writes them, and nothing else; null is no type to stand for.
inline size_t type_width(const std::string& name) {
    const auto refuse = [&]() -> size_t {
        throw std::invalid_argument("'" + name + "' is not the name of a key type");
    };
    for (const detail::Named& named : detail::named_types()) {
        if (name == named.name) return named.width;
    }
    if (name == "string" || name == "binary") return digest_bytes;
    const auto within = [&](const char* prefix, const char* suffix) {
        const size_t a = std::strlen(prefix), b = std::strlen(suffix);
        return name.size() > a + b && name.compare(0, a, prefix) == 0 && name.compare(name.size() - b, b, suffix) == 0
                   ? name.substr(a, name.size() - a - b)
                   : std::string();
    };
    if (const std::string inner = within("timestamp[", "]"); !inner.empty()) {
        const size_t comma = inner.find(", tz=");
        const std::string unit = inner.substr(0, comma);
        const bool zone = comma == std::string::npos || comma + 5 < inner.size();
        return zone && (unit == "s" || unit == "ms" || unit == "us" || unit == "ns") ? 8 : refuse();
    }
    // The rest carry numbers: parsed as a format, they must print back the same.
    if (const std::string inner = within("fixed_size_binary(", ")"); !inner.empty()) {
        int64_t bytes = 0;
        return detail::fixed_binary("w:" + inner, &bytes) == detail::Parsed::type &&
                       name == "fixed_size_binary(" + std::to_string(bytes) + ")"
                   ? static_cast<size_t>(bytes)
                   : refuse();
    }
    for (const char* bits : {"32", "64", "128", "256"}) {
        const std::string inner = within(("decimal" + std::string(bits) + "(").c_str(), ")");
        const size_t comma = inner.find(", ");
        if (inner.empty() || comma == std::string::npos) continue;
        std::string printed;
        size_t width = 0;
        const std::string format = "d:" + inner.substr(0, comma) + "," + inner.substr(comma + 2) + "," + bits;
        return detail::decimal(format, &printed, &width) == detail::Parsed::type && printed == name ? width : refuse();
    }
    return refuse();
}

namespace detail {

struct Validity {
    const uint8_t* bits = nullptr;  // nullptr: every row is valid
    int64_t offset = 0;

    bool operator()(int64_t i) const {
        if (bits == nullptr) return true;
        const int64_t b = offset + i;
        return (bits[b >> 3] >> (b & 7)) & 1;
    }
};

// A null type's array may come without buffers: it has no validity to read.
inline Validity own_validity(const ArrowArray& array, int64_t offset) {
    if (array.null_count == 0 || array.n_buffers < 1) return Validity{};
    return Validity{static_cast<const uint8_t*>(array.buffers[0]), offset};
}

// Buffer i of an array that check_array has passed.
template <typename T>
const T* buffer(const ArrowArray& array, int64_t i) {
    return static_cast<const T*>(array.buffers[i]);
}

// The checks of an array of a key column (or of its dictionary) that come
// before any of its buffers is read: `rows` rows are read from row `skip`
// after its own offset. Its buffer count must be its type's, the buffers it
// is read through must be there, and its last row must lie within 2^63 - 1
// bytes of each buffer's start.
inline void check_array(const ColumnType& type, const ArrowArray& array, int64_t skip, int64_t rows, const std::string& column,
                        bool dictionary = false) {
    const auto what = [&] { return "column " + quoted(column) + (dictionary ? ": its dictionary" : ": an array"); };
    arrow::check_extent(array, what);
    if (rows > array.length - skip) {
        throw DataError(what() + " of " + std::to_string(array.length) + " values is shorter than its record batch, which reads " +
                        std::to_string(rows) + " rows from row " + std::to_string(skip));
    }
    if (array.n_children != 0) {
        throw DataError(what() + " has " + std::to_string(array.n_children) + " children, where its type has none");
    }
    const bool indexed = type.index_bytes != 0;
    // The type's count of buffers, least and most; the bytes of buffer 1 per
    // row, and its entries past the last row.
    int64_t least = 2, most = 2, item = static_cast<int64_t>(type.width), extra = 0;
    if (indexed) {
        item = type.index_bytes;
    } else if (type.kind == Kind::null) {
        least = 0;  // no buffer of a null array is read
        most = 1;
        item = 0;
    } else if (type.kind == Kind::boolean) {
        item = 0;  // bits
    } else if (type.kind == Kind::text && type.offsets == Offsets::view) {
        least = 3;  // validity, views, the data buffers, their sizes
        most = INT64_MAX;
        item = 16;
    } else if (type.kind == Kind::text) {
        least = most = 3;
        item = type.offsets == Offsets::small ? 4 : 8;
        extra = 1;
    }
    if (array.n_buffers < least || array.n_buffers > most) {
        throw DataError(what() + " has " + std::to_string(array.n_buffers) + " buffers, where " +
                        (indexed ? std::string("dictionary indices have 2") :
                                   "its type, " + type.name + ", has " + (most == INT64_MAX ? "at least " : "") +
                                       std::to_string(least) + (most == least + 1 ? " or " + std::to_string(most) : "")));
    }
    if (array.n_buffers > 0 && array.buffers == nullptr) throw DataError(what() + " lacks its buffers");
    const int64_t end = array.offset + skip + rows;  // within offset + length
    if (item > 0 && end > (INT64_MAX - extra * item) / item) {
        throw DataError(what() + " of " + std::to_string(array.length) + " values from offset " + std::to_string(array.offset) +
                        " reaches past the 9223372036854775807 bytes a buffer may have");
    }
    if (rows > 0 && (item > 0 || type.kind == Kind::boolean) && array.buffers[1] == nullptr) {
        throw DataError(what() + " of " + std::to_string(array.length) + " values lacks its buffer 1");
    }
    if (!indexed && type.offsets == Offsets::view && array.n_buffers > 3 && array.buffers[array.n_buffers - 1] == nullptr) {
        throw DataError("column " + quoted(column) + (dictionary ? ": its dictionary, a view array," : ": a view array") +
                        " lacks its buffer sizes");
    }
    if (indexed) {
        if (array.dictionary == nullptr) throw DataError("column " + quoted(column) + ": its dictionary is missing");
        ColumnType values = type;
        values.index_bytes = 0;
        check_array(values, *array.dictionary, 0, array.dictionary->length, column, true);
    }
}

// Item i of a buffer of T. Buffers need not be aligned: one that arrives
// through a pickle, say, may start at any byte.
template <typename T>
T load(const T* items, int64_t i) {
    T item;
    std::memcpy(&item, reinterpret_cast<const unsigned char*>(items) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return item;
}

// The digest of a value whose buffer holds at least `room` bytes from its
// start: with 16 to spare past the value, the hash reads on without a branch
// on the value's length.
inline void digest(const uint8_t* data, int64_t size, int64_t room, const std::string& column, uint8_t* out) {
    if (size > max_value_bytes) {
        throw DataError("column " + quoted(column) + " holds a value of " + std::to_string(size) +
                        " bytes, longer than the 2147483647 bytes a key value may have");
    }
    if (room - size >= 16) {
        tessvane::murmur::MurmurHash3_x64_128_over(data, static_cast<int>(size), digest_seed, out);
    } else {
        tessvane::murmur::MurmurHash3_x64_128(data, static_cast<int>(size), digest_seed, out);
    }
}

[[noreturn]] inline void bad_offsets(const std::string& column) {
    throw DataError("column " + quoted(column) + ": its offsets are not ascending");
}

// Calls write(i, out) for each valid row i and zeroes the rows that are null
// in the parent or in the array.
template <typename Write>
void each_row(int64_t rows, Validity parent, Validity own, size_t width, uint8_t* out, size_t stride, Write write) {
    for (int64_t i = 0; i < rows; ++i, out += stride) {
        if (parent(i) && own(i)) {
            out[0] = 1;
            write(i, out + 1);
        } else {
            std::memset(out, 0, 1 + width);
        }
    }
}

template <size_t Width>
void copy_fixed(int64_t rows, Validity parent, Validity own, const uint8_t* values, uint8_t* out, size_t stride) {
    each_row(rows, parent, own, Width, out, stride,
             [values](int64_t i, uint8_t* value) { std::memcpy(value, values + i * Width, Width); });
}

// Floats by layout version 2, without a branch on the value: a NaN (any
// magnitude above infinity's) is written as a null, a zero of either sign as
// +0.0; every other value keeps its bits.
template <typename Bits>
void copy_floats(int64_t rows, Validity parent, Validity own, const uint8_t* values, uint8_t* out, size_t stride) {
    constexpr Bits sign = Bits{1} << (8 * sizeof(Bits) - 1);
    constexpr Bits infinity = sizeof(Bits) == 4 ? Bits{0x7F800000} : static_cast<Bits>(0x7FF0000000000000);
    for (int64_t i = 0; i < rows; ++i, out += stride) {
        const Bits bits = load(reinterpret_cast<const Bits*>(values), i);
        const Bits magnitude = bits & ~sign;
        // & on purpose, as unsigned: every row evaluates all three, with no branch
        const bool there = (unsigned{parent(i)} & unsigned{own(i)} & unsigned{magnitude <= infinity}) != 0;
        // 0 < magnitude <= infinity keeps the bits; zero, NaN and a null give 0
        const Bits kept = bits & (Bits{0} - static_cast<Bits>(there & (magnitude - 1 < infinity)));
        out[0] = there;
        std::memcpy(out + 1, &kept, sizeof kept);
    }
}

// The validity byte and value of `rows` rows of `array` from row `offset`
// (its own offset included), at out, out + stride, ..., by the rules of
// layout `version`.
inline void write_values(const ValueType& type, const ArrowArray& array, int64_t offset, Validity parent, int64_t rows,
                         uint8_t* out, size_t stride, const std::string& column, int version) {
    if (rows == 0) return;
    const Validity own = own_validity(array, offset);
    switch (type.kind) {
    case Kind::null:
        for (int64_t i = 0; i < rows; ++i) std::memset(out + i * static_cast<int64_t>(stride), 0, 1 + type.width);
        return;
    case Kind::boolean: {
        const auto* bits = buffer<uint8_t>(array, 1);
        each_row(rows, parent, own, 1, out, stride, [bits, offset](int64_t i, uint8_t* value) {
            const int64_t b = offset + i;
            *value = (bits[b >> 3] >> (b & 7)) & 1;
        });
        return;
    }
    case Kind::floating:
        if (version >= 2) {
            const uint8_t* values = buffer<uint8_t>(array, 1) + offset * static_cast<int64_t>(type.width);
            if (type.width == 4) return copy_floats<uint32_t>(rows, parent, own, values, out, stride);
            return copy_floats<uint64_t>(rows, parent, own, values, out, stride);
        }
        [[fallthrough]];  // version 1: bit for bit
    case Kind::fixed: {
        const size_t width = type.width;
        const uint8_t* values = width == 0 ? nullptr : buffer<uint8_t>(array, 1) + offset * static_cast<int64_t>(width);
        switch (width) {
        case 1: return copy_fixed<1>(rows, parent, own, values, out, stride);
        case 2: return copy_fixed<2>(rows, parent, own, values, out, stride);
        case 4: return copy_fixed<4>(rows, parent, own, values, out, stride);
        case 8: return copy_fixed<8>(rows, parent, own, values, out, stride);
        case 16: return copy_fixed<16>(rows, parent, own, values, out, stride);
        default:
            each_row(rows, parent, own, width, out, stride, [values, width](int64_t i, uint8_t* value) {
                if (width > 0) std::memcpy(value, values + i * static_cast<int64_t>(width), width);
            });
            return;
        }
    }
    case Kind::text:
        break;
    }
    // Version 2 writes an empty value as a null: the byte before `value` is
    // its validity.
    const bool empty_is_null = version >= 2;
    const auto digest_or_null = [&](const uint8_t* data, int64_t size, int64_t room, uint8_t* value) {
        if (size == 0 && empty_is_null) {
            std::memset(value - 1, 0, 1 + digest_bytes);
            return;
        }
        digest(data, size, room, column, value);
    };
    if (type.offsets == Offsets::view) {
        const int64_t data_buffers = array.n_buffers - 3;  // validity, views, the data buffers, their sizes
        const auto* views = buffer<uint8_t>(array, 1) + offset * 16;
        const uint8_t* views_end = views + rows * 16;
        const auto* sizes = buffer<int64_t>(array, array.n_buffers - 1);
        each_row(rows, parent, own, digest_bytes, out, stride, [&](int64_t i, uint8_t* value) {
            const uint8_t* view = views + i * 16;
            int32_t size, index, start;
            std::memcpy(&size, view, 4);
            if (size < 0) throw DataError("column " + quoted(column) + ": a view has a negative length");
            if (size <= 12) return digest_or_null(view + 4, size, views_end - (view + 4), value);
            std::memcpy(&index, view + 8, 4);
            std::memcpy(&start, view + 12, 4);
            if (index < 0 || index >= data_buffers || start < 0 || start + int64_t{size} > load(sizes, index) ||
                array.buffers[2 + index] == nullptr) {
                throw DataError("column " + quoted(column) + ": a view points outside its data buffers");
            }
            digest(static_cast<const uint8_t*>(array.buffers[2 + index]) + start, size, load(sizes, index) - start, column, value);
        });
        return;
    }
    const auto* data = static_cast<const uint8_t*>(array.n_buffers > 2 ? array.buffers[2] : nullptr);
    auto text = [&](auto* offsets) {
        // The data holds the array's last offset of bytes: what its producer
        // vouches for, whatever the offsets before say. The interface gives
        // the data buffer no size of its own.
        const int64_t limit = load(offsets, array.offset + array.length);
        if (limit > 0 && data == nullptr) throw DataError("column " + quoted(column) + ": its values lack their data");
        each_row(rows, parent, own, digest_bytes, out, stride, [&](int64_t i, uint8_t* value) {
            const int64_t start = load(offsets, offset + i), end = load(offsets, offset + i + 1);
            if (start < 0 || end < start || end > limit) bad_offsets(column);
            digest_or_null(data + start, end - start, limit - start, value);
        });
    };
    if (type.offsets == Offsets::small) {
        text(buffer<int32_t>(array, 1));
    } else {
        text(buffer<int64_t>(array, 1));
    }
}

// The rows of a dictionary-encoded column: each index's entry of `entries`
// (validity byte and value, `entry` bytes each, `values` of them). An index
// outside them is refused with its own value, of whatever sign and width.
template <typename Index>
void write_indexed(int64_t rows, Validity parent, Validity own, const uint8_t* indices, const uint8_t* entries,
                   int64_t values, size_t entry, uint8_t* out, size_t stride, const std::string& column) {
    const auto* items = reinterpret_cast<const Index*>(indices);
    each_row(rows, parent, own, entry - 1, out, stride, [&](int64_t i, uint8_t* value) {
        const Index index = load(items, i);
        bool outside = static_cast<uint64_t>(index) >= static_cast<uint64_t>(values);
        if constexpr (std::is_signed_v<Index>) outside |= index < 0;
        if (outside) {
            throw DataError("column " + quoted(column) + ": dictionary index " + std::to_string(index) + " is outside its " +
                            std::to_string(values) + " values");
        }
        std::memcpy(value - 1, entries + static_cast<int64_t>(index) * static_cast<int64_t>(entry), entry);
    });
}

}  // namespace detail

// The key bytes of each value of the dictionaries of one column, made once per
// dictionary: a stream hands the same dictionary again with every batch.
// Dictionaries are told apart by their buffers, offset and length, which are
// those of the one array while the table holds it.
class DictionaryCache {
public:
    const std::vector<uint8_t>& entries(const ValueType& type, const ArrowArray& dictionary, const std::string& column,
                                        int version) {
        Identity identity{std::vector<const void*>(dictionary.buffers, dictionary.buffers + dictionary.n_buffers),
                          dictionary.offset, dictionary.length};
        auto found = cache_.find(identity);
        if (found != cache_.end()) return found->second;
        std::vector<uint8_t> entries(static_cast<size_t>(dictionary.length) * (1 + type.width));
        detail::write_values(type, dictionary, dictionary.offset, detail::Validity{}, dictionary.length, entries.data(),
                             1 + type.width, column, version);
        return cache_.emplace(std::move(identity), std::move(entries)).first->second;
    }

private:
    using Identity = std::tuple<std::vector<const void*>, int64_t, int64_t>;
    std::map<Identity, std::vector<uint8_t>> cache_;
};

struct Column {
    std::string name;
    ColumnType type;
};

// The columns of a schema as a layout names them: each field of a struct
// schema, or the one type of another, named "" as a lone column is. Null is
// refused: a layout's type stands for values.
inline std::vector<Column> schema_columns(const ArrowSchema& schema) {
    arrow::check_schema(schema);
    const bool table = arrow::is_struct(schema);
    std::vector<Column> columns;
    for (int64_t c = 0; c < (table ? schema.n_children : 1); ++c) {
        const ArrowSchema& field = table ? *schema.children[c] : schema;
        const std::string name = table ? arrow::field_name(field) : "";
        columns.push_back(Column{name, column_type(field, name)});
        if (columns.back().type.kind == Kind::null) detail::unsupported(name, "null");
    }
    return columns;
}

// The key rows of a table for the named columns, in that order, or every
// column when key is nullptr, by the rules of layout `version`.
class KeyRows {
public:
    KeyRows(const arrow::Table& table, const std::vector<std::string>* key, int version = layout_version)
        : table_(table), version_(version) {
        check_version(version);
        const std::vector<std::string>& names = table.names();
        if (key == nullptr) {
            for (size_t c = 0; c < names.size(); ++c) indices_.push_back(static_cast<int64_t>(c));
        } else {
            for (const std::string& wanted : *key) indices_.push_back(find(wanted));
        }
        if (indices_.empty()) throw BadKey(key == nullptr ? "the data has no columns" : "the key names no columns");
        std::vector<Column> columns;
        for (int64_t c : indices_) {
            columns.push_back(Column{names[static_cast<size_t>(c)], column_type(table.column_schema(c), names[static_cast<size_t>(c)])});
        }
        set_columns(std::move(columns));
        caches_.resize(columns_.size());
        int64_t first = 0;
        for (const arrow::Array& batch : table.batches()) {
            starts_.push_back(first);
            first += batch->length;
            for (size_t c = 0; c < columns_.size(); ++c) {
                const ArrowArray* array = table.nested() ? batch->children[indices_[c]] : batch.operator->();
                detail::check_array(columns_[c].type, *array, table.nested() ? batch->offset : 0, batch->length, columns_[c].name);
            }
        }
    }

    const std::vector<Column>& columns() const { return columns_; }
    size_t width() const { return width_; }
    int64_t rows() const { return table_.rows(); }

    // Gives each column of type null the type that it stands for in a
    // layout: `types` names one type per key column, in key order. A column
    // of another type must have the type named already. All or nothing, and
    // only before the first rows are made, whose width it changes.
    void conform(const std::vector<std::string>& types) {
        if (frozen_.load()) {
            throw std::invalid_argument("conform must come before the first fill: it changes the width of the rows");
        }
        if (types.size() != columns_.size()) {
            throw std::invalid_argument("conform takes one type per key column: " + std::to_string(columns_.size()) +
                                        " columns, " + std::to_string(types.size()) + " types");
        }
        std::vector<Column> columns = columns_;
        for (size_t c = 0; c < columns.size(); ++c) {
            ColumnType& type = columns[c].type;
            const std::string& wanted = types[c];
            if (type.kind != Kind::null) {
                if (type.name != wanted) {
                    throw std::invalid_argument("column " + detail::quoted(columns[c].name) + " has type " + type.name +
                                                ", not the " + wanted + " it must conform to");
                }
            } else if (wanted != "null") {
                try {
                    type = ColumnType{ValueType{wanted, Kind::null, type_width(wanted)}};
                } catch (const std::invalid_argument& e) {
                    throw std::invalid_argument("column " + detail::quoted(columns[c].name) + ": " + e.what());
                }
            }
        }
        set_columns(std::move(columns));
    }

    // Fixes the width: conform is refused from now on.
    void freeze() { frozen_.store(true); }

    // Writes rows first .. first + count - 1 of the table at out, width()
    // bytes each, whichever batches they lie in.
    void fill_rows(int64_t first, int64_t count, uint8_t* out) {
        freeze();
        if (first < 0 || count < 0 || first > rows() - count) throw std::out_of_range("rows outside the table");
        const auto& batches = table_.batches();
        // The last batch that starts at or before `first`.
        size_t b = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), first) - starts_.begin());
        for (b = b == 0 ? 0 : b - 1; count > 0 && b < batches.size(); ++b) {
            const ArrowArray& batch = *batches[b];
            const int64_t skip = first - starts_[b];  // rows of the batch before the range
            const int64_t take = std::min(count, batch.length - skip);
            if (take <= 0) continue;
            uint8_t* row = out;
            for (size_t c = 0; c < columns_.size(); ++c) {
                const arrow::Table::Slice slice = table_.column(batch, indices_[c]);
                const detail::Validity parent{slice.parent_validity, slice.parent_offset + skip};
                write_column(columns_[c], *slice.array, slice.offset + skip, parent, take, row, caches_[c]);
                row += 1 + columns_[c].type.width;
            }
            out += take * static_cast<int64_t>(width_);
            first += take;
            count -= take;
        }
    }

    void fill(uint8_t* out) { fill_rows(0, rows(), out); }

private:
    // The columns and their width, which a key row and an array of the
    // table's rows must be able to hold.
    void set_columns(std::vector<Column> columns) {
        size_t width = 0;
        for (const Column& column : columns) {
            if (column.type.width >= max_row_bytes - width) {
                throw DataError("the key's rows would be wider than the " + std::to_string(max_row_bytes) +
                                " bytes a row may have: column " + detail::quoted(column.name) + " has type " +
                                column.type.name);
            }
            width += 1 + column.type.width;
        }
        if (rows() > INT64_MAX / static_cast<int64_t>(width)) {
            throw DataError("the data's " + std::to_string(rows()) + " rows of " + std::to_string(width) +
                            " bytes are more than an array can hold");
        }
        columns_ = std::move(columns);
        width_ = width;
    }

    int64_t find(const std::string& wanted) const {
        if (!table_.nested()) {
            throw BadKey("the data is a single column (an array or a series), whose name is not part of a key: "
                         "key must be None");
        }
        const std::vector<std::string>& names = table_.names();
        int64_t found = -1, count = 0;
        for (size_t c = 0; c < names.size(); ++c) {
            if (names[c] == wanted) {
                if (found < 0) found = static_cast<int64_t>(c);
                ++count;
            }
        }
        if (count > 1) {
            throw BadKey("the key column " + detail::quoted(wanted) + " is ambiguous: " + std::to_string(count) +
                         " columns of the data have that name");
        }
        if (found < 0) {
            std::string listed;
            for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + detail::quoted(name);
            throw UnknownColumn("column " + detail::quoted(wanted) + " is not in the data, whose columns are " +
                                (listed.empty() ? "none" : listed));
        }
        return found;
    }

    void write_column(const Column& column, const ArrowArray& array, int64_t offset, detail::Validity parent,
                      int64_t rows, uint8_t* out, DictionaryCache& cache) const {
        const ColumnType& type = column.type;
        if (type.index_bytes == 0 || type.kind == Kind::null) {  // a null column's indices say nothing
            return detail::write_values(type, array, offset, parent, rows, out, width_, column.name, version_);
        }
        if (rows == 0) return;
        const uint8_t* entries = cache.entries(type, *array.dictionary, column.name, version_).data();
        const int64_t values = array.dictionary->length;
        const size_t entry = 1 + type.width;
        const uint8_t* indices = detail::buffer<uint8_t>(array, 1) + offset * type.index_bytes;
        const detail::Validity own = detail::own_validity(array, offset);
        const auto write = [&](auto index) {
            detail::write_indexed<decltype(index)>(rows, parent, own, indices, entries, values, entry, out, width_, column.name);
        };
        switch (type.index_bytes * (type.index_signed ? -1 : 1)) {
        case -1: return write(int8_t{});
        case 1: return write(uint8_t{});
        case -2: return write(int16_t{});
        case 2: return write(uint16_t{});
        case -4: return write(int32_t{});
        case 4: return write(uint32_t{});
        case -8: return write(int64_t{});
        default: return write(uint64_t{});
        }
    }

    const arrow::Table& table_;
    const int version_;
    std::atomic<bool> frozen_{false};
    std::vector<int64_t> indices_;
    std::vector<Column> columns_;
    std::vector<DictionaryCache> caches_;
    std::vector<int64_t> starts_;  // the first row of each batch
    size_t width_ = 0;
};

}  // namespace woxbloom::keys
