// Tables read through the Arrow C Data Interface, with no Arrow library: the
// three structs of its ABI, owners that release each exactly once, and a
// table of record batches taken from a stream or from one array.
//
// The structs are the interface's own layout, written out here from its
// published ABI (the producers hand them over in PyCapsules). A struct is
// taken from its producer by copying it bitwise and marking the source as
// released, which the interface allows; from then on the copy is ours to
// release. Arrays that a stream hands out outlive the stream.
//
// No Python in this header: the C++ tests build tables by hand.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace woxbloom::arrow {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// What the data itself gets wrong (a malformed array, a stream that fails),
// as against what the caller asks for.
struct DataError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One struct of the interface, moved out of its producer and released once,
// when the owner goes. Empty (released) when default-made or moved from.
template <typename Raw>
class Owned {
public:
    Owned() { std::memset(&raw_, 0, sizeof raw_); }
    // Takes *source over: the source is left released, as the interface moves structs.
    explicit Owned(Raw* source) : raw_(*source) { source->release = nullptr; }
    Owned(Owned&& other) noexcept : raw_(other.raw_) { other.raw_.release = nullptr; }
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = other.raw_;
            other.raw_.release = nullptr;
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    void reset() {
        if (raw_.release != nullptr) raw_.release(&raw_);  // the callback marks it released
        raw_.release = nullptr;
    }
    bool empty() const { return raw_.release == nullptr; }
    Raw* get() { return &raw_; }
    const Raw& operator*() const { return raw_; }
    const Raw* operator->() const { return &raw_; }

private:
    Raw raw_;
};

using Schema = Owned<ArrowSchema>;
using Array = Owned<ArrowArray>;
using Stream = Owned<ArrowArrayStream>;

// Finds `key` in a schema's metadata. Metadata is an int32 count of pairs,
// then per pair an int32 length and the bytes of the key, then the same for
// the value. It carries no total size: it is read as its count and lengths
// lay it out, which the producer vouches for. A negative count or length is
// refused, and so is metadata that would reach past max_metadata_bytes, far
// beyond what a field's metadata holds, before any byte past it is read.
struct Text {
    const char* data;
    int32_t size;
};

constexpr int64_t max_metadata_bytes = int64_t{1} << 26;

inline bool metadata_value(const char* metadata, const std::string& key, Text* value) {
    if (metadata == nullptr) return false;
    int64_t read = 0;  // bytes read or skipped so far
    auto skip = [&](int64_t bytes) {
        if (bytes > max_metadata_bytes - read) {
            throw DataError("malformed schema metadata: longer than the " + std::to_string(max_metadata_bytes) +
                            " bytes it may have");
        }
        read += bytes;
        return metadata + read - bytes;
    };
    auto length = [&](const char* what) {
        int32_t v;
        std::memcpy(&v, skip(4), 4);
        if (v < 0) throw DataError(std::string("malformed schema metadata: a negative ") + what);
        return v;
    };
    const int32_t pairs = length("count");
    for (int32_t i = 0; i < pairs; ++i) {
        const int32_t key_size = length("length");
        const char* key_data = skip(key_size);
        const int32_t value_size = length("length");
        const char* value_data = skip(value_size);
        if (static_cast<size_t>(key_size) == key.size() && std::memcmp(key_data, key.data(), key.size()) == 0) {
            *value = Text{value_data, value_size};
            return true;
        }
    }
    return false;
}

inline std::string field_name(const ArrowSchema& field) { return field.name != nullptr ? field.name : ""; }

// Whether text is well-formed UTF-8, as the interface requires of names and
// as Python must decode them: no overlong forms, no surrogates, nothing past
// U+10FFFF.
inline bool is_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p++;
        if (c < 0x80) continue;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        if (c < 0xC2 || c > 0xF4 || end - p < more) return false;
        // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
        const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        if (*p < low || *p > high) return false;
        for (++p, --more; more > 0; --more, ++p) {
            if ((*p & 0xC0) != 0x80) return false;
        }
    }
    return true;
}

// A table's schema: a struct of columns, not dictionary-encoded. Its format
// must have been checked.
inline bool is_struct(const ArrowSchema& schema) {
    return std::strcmp(schema.format, "+s") == 0 && schema.dictionary == nullptr;
}

// What a key reads of a field before its type: its format, and that of its
// dictionary.
inline void check_field(const ArrowSchema& field, const std::string& column) {
    if (field.format == nullptr) throw DataError("column '" + column + "': its schema has no format");
    if (field.dictionary != nullptr && field.dictionary->format == nullptr) {
        throw DataError("column '" + column + "': the schema of its dictionary has no format");
    }
}

// The top of a schema: its format and, for a struct, its list of fields.
inline void check_schema_top(const ArrowSchema& schema) {
    if (schema.format == nullptr) throw DataError("the data's schema has no format");
    if (!is_struct(schema)) return;
    if (schema.n_children < 0) throw DataError("the data's schema has a negative number of columns");
    if (schema.n_children > 0 && schema.children == nullptr) throw DataError("the data's schema lacks its columns");
}

// A schema whose formats, fields and dictionaries are there to be read. Its
// n_children fields are read: a table checks its batches against the count
// first.
inline void check_schema(const ArrowSchema& schema) {
    check_schema_top(schema);
    if (!is_struct(schema)) return check_field(schema, "");
    for (int64_t c = 0; c < schema.n_children; ++c) {
        if (schema.children[c] == nullptr) throw DataError("the data's schema lacks column " + std::to_string(c));
        const std::string name = field_name(*schema.children[c]);
        if (!is_utf8(name)) throw DataError("the name of column " + std::to_string(c) + " of the data is not UTF-8");
        check_field(*schema.children[c], name);
    }
}

// An array's length, offset and null count, each within what the others
// allow; what() names it in the error (made only then: a stream may bring
// many batches).
template <typename What>
void check_extent(const ArrowArray& array, What what) {
    if (array.length < 0 || array.offset < 0) throw DataError(what() + " has a negative length or offset");
    if (array.offset > INT64_MAX - array.length) {
        throw DataError(what() + " of " + std::to_string(array.length) + " values from offset " + std::to_string(array.offset) +
                        " ends past the 9223372036854775807 values an array may have");
    }
    if (array.null_count < -1 || array.null_count > array.length) {
        throw DataError(what() + " of " + std::to_string(array.length) + " values has a null count of " +
                        std::to_string(array.null_count));
    }
}

// A table: a schema and its record batches. Its columns are the children of a
// struct schema (a table, a record batch), or else the one column the schema
// describes (an array, a chunked array, a series), named "" whatever the
// producer calls it.
//
// What the interface lets a consumer check is checked once, here and in
// keys::KeyRows, before any buffer is read; the rest is the producer's word.
// A struct's pointers, counts, lengths and offsets are checked: against the
// format, against each other and in 64-bit arithmetic. A buffer carries no
// size: each is trusted to hold what its array's type, offset and length
// declare, a string's data what its last offset declares, and a view's data
// buffer the size that the array's buffer of sizes gives it.
class Table {
public:
    Table(Schema schema, std::vector<Array> batches) : schema_(std::move(schema)), batches_(std::move(batches)) {
        if (schema_.empty()) throw DataError("the data's schema was released");
        check_schema_top(*schema_);
        nested_ = is_struct(*schema_);
        const int64_t count = nested_ ? schema_->n_children : 1;
        // The batches first: a schema that claims more fields than its
        // batches' columns is refused before its fields are read.
        for (const Array& batch : batches_) {
            check_extent(*batch, [this] { return std::string(nested_ ? "a record batch" : "an array"); });
            if (nested_) check_struct(*batch, count);
            if (batch->length > INT64_MAX - rows_) {
                throw DataError("the data's batches hold more than the 9223372036854775807 rows a table may have");
            }
            rows_ += batch->length;
        }
        check_schema(*schema_);
        // A lone column's name is the producer's whim (one library exports a
        // series' name, another does not), so it has none.
        for (int64_t c = 0; c < count; ++c) {
            const ArrowSchema& field = column_schema(c);
            names_.emplace_back(nested_ ? field_name(field) : "");
        }
    }

    // The arrays of a stream, taken to its end. The stream is released after,
    // and on an error part-way the arrays taken so far are released too.
    static Table from_stream(Stream stream) {
        Schema schema;
        ArrowArrayStream* raw = stream.get();
        if (raw->get_schema == nullptr || raw->get_next == nullptr) throw DataError("the data's stream lacks its callbacks");
        if (int code = raw->get_schema(raw, schema.get()); code != 0) throw stream_error(raw, code);
        std::vector<Array> batches;
        while (true) {
            ArrowArray next;
            std::memset(&next, 0, sizeof next);
            if (int code = raw->get_next(raw, &next); code != 0) throw stream_error(raw, code);
            if (next.release == nullptr) break;  // the end of the stream
            batches.emplace_back(&next);
        }
        return Table(std::move(schema), std::move(batches));
    }

    const std::vector<std::string>& names() const { return names_; }
    int64_t rows() const { return rows_; }
    const std::vector<Array>& batches() const { return batches_; }
    bool nested() const { return nested_; }

    const ArrowSchema& column_schema(int64_t c) const { return nested_ ? *schema_->children[c] : *schema_; }

    // Column c of a batch, with what the batch adds when it is a struct: its
    // own offset (a sliced record batch keeps its children whole) and its
    // validity, a null struct row counting as null in every column.
    struct Slice {
        const ArrowArray* array;
        int64_t offset;                   // of row 0 of the batch within `array`
        const uint8_t* parent_validity;   // nullptr: every row valid
        int64_t parent_offset;
    };

    Slice column(const ArrowArray& batch, int64_t c) const {
        if (!nested_) return Slice{&batch, batch.offset, nullptr, 0};
        const ArrowArray* child = batch.children[c];
        const uint8_t* validity = batch.null_count != 0 ? static_cast<const uint8_t*>(batch.buffers[0]) : nullptr;
        return Slice{child, child->offset + batch.offset, validity, batch.offset};
    }

private:
    // A record batch: a struct array of `count` columns, each there.
    static void check_struct(const ArrowArray& batch, int64_t count) {
        if (batch.n_children != count) {
            throw DataError("a record batch has " + std::to_string(batch.n_children) + " columns where its schema has " +
                            std::to_string(count));
        }
        if (batch.n_buffers != 1) {
            throw DataError("a record batch has " + std::to_string(batch.n_buffers) + " buffers where a struct has 1");
        }
        if (batch.buffers == nullptr) throw DataError("a record batch lacks its buffers");
        if (count > 0 && batch.children == nullptr) throw DataError("a record batch lacks its columns");
        for (int64_t c = 0; c < count; ++c) {
            if (batch.children[c] == nullptr) throw DataError("a record batch lacks its column " + std::to_string(c));
        }
    }

    static DataError stream_error(ArrowArrayStream* stream, int code) {
        const char* text = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
        return DataError(std::string("the data's stream failed: ") +
                         (text != nullptr && *text != '\0' ? text : "error code " + std::to_string(code)));
    }

    Schema schema_;
    std::vector<Array> batches_;
    std::vector<std::string> names_;
    int64_t rows_ = 0;
    bool nested_ = false;
};

}  // namespace woxbloom::arrow
