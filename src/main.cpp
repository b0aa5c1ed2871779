// woxbloomfilter: a Bloom filter for the rows of NumPy arrays.
//
// The filter class comes first; the module definition after it only converts
// arguments and delegates to the class.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "murmur.hpp"

namespace py = pybind11;

namespace {

// Every stored filter depends on this seed: another one moves every bit.
constexpr uint32_t row_seed = 0xFFFEA282u;

// Row bytes go to the hash with a 32-bit signed length.
constexpr size_t max_row_bytes = 2147483647;

// Each row costs k position steps; far beyond any useful k (the best k for a
// false-positive rate p is about -log2(p)), a huge k would only hang a call.
constexpr size_t max_k = 4096;

// The bytes of row r of an array of two or more dimensions: for each column c
// the itemsize bytes of element [r, c, 0, ...], which start at
// data + r * strides[0] + c * strides[1]. Strides are followed, so every
// layout (Fortran order, transposes, reversed or broadcast views) gives the
// bytes of the row's logical content.
class RowReader {
public:
    // The column count comes from the array's own accessor, so an array with
    // fewer than two dimensions raises its invalid-axis error here.
    explicit RowReader(const py::array& a)
        : cols_(a.shape(1)),
          rows_(a.shape(0)),
          itemsize_(a.itemsize()),
          row_stride_(a.strides(0)),
          col_stride_(a.strides(1)),
          base_(static_cast<const unsigned char*>(a.data())) {
        // An axis of length 0 after the second leaves no element [r, c, 0, ...]
        // to read: such rows, like rows of zero-size items, have no bytes.
        has_bytes_ = itemsize_ > 0;
        for (py::ssize_t d = 2; d < a.ndim(); ++d) {
            if (a.shape(d) == 0) has_bytes_ = false;
        }
        too_long_ = has_bytes_ && static_cast<size_t>(cols_) > max_row_bytes / static_cast<size_t>(itemsize_);
        length_ = has_bytes_ && !too_long_ ? static_cast<size_t>(cols_ * itemsize_) : 0;
        contiguous_ = col_stride_ == itemsize_ || cols_ == 1;
    }

    py::ssize_t rows() const { return rows_; }
    py::ssize_t cols() const { return cols_; }
    size_t length() const { return length_; }

    // The hash takes a 32-bit length; a longer row is refused, never wrapped.
    void check_length() const {
        if (too_long_) {
            throw std::length_error("a row of " + std::to_string(cols_) + " columns of " + std::to_string(itemsize_) +
                                    " bytes is longer than the " + std::to_string(max_row_bytes) +
                                    " bytes a row may have");
        }
    }

    // Same wording as the array accessor's, for negative rows too.
    void check_row(py::ssize_t row) const {
        if (row < 0 || row >= rows_) {
            throw py::index_error("index " + std::to_string(row) + " is out of bounds for axis 0 with size " +
                                  std::to_string(rows_));
        }
    }

    // The bytes of row r: in place when the row's items lie back to back,
    // otherwise gathered into scratch (length() bytes).
    const unsigned char* row(py::ssize_t r, unsigned char* scratch) const {
        if (length_ == 0) return scratch;
        const unsigned char* first = base_ + r * row_stride_;
        if (contiguous_) return first;
        switch (itemsize_) {
        case 1: gather<1>(first, scratch); break;
        case 2: gather<2>(first, scratch); break;
        case 4: gather<4>(first, scratch); break;
        case 8: gather<8>(first, scratch); break;
        case 16: gather<16>(first, scratch); break;
        default:
            for (py::ssize_t c = 0; c < cols_; ++c) {
                std::memcpy(scratch + c * itemsize_, first + c * col_stride_, static_cast<size_t>(itemsize_));
            }
        }
        return scratch;
    }

private:
    template <size_t N>
    void gather(const unsigned char* first, unsigned char* out) const {
        for (py::ssize_t c = 0; c < cols_; ++c) std::memcpy(out + c * N, first + c * col_stride_, N);
    }

    py::ssize_t cols_, rows_, itemsize_, row_stride_, col_stride_;
    const unsigned char* base_;
    bool has_bytes_ = false, too_long_ = false, contiguous_ = false;
    size_t length_ = 0;
};

// The bit vector's storage: bit i lives in word i / 64 at the bit of value
// 2**(i % 64). The hot loops and whole-filter operations work on these words
// directly; this reaches them through the standard library's own iterator.
#if !defined(__GLIBCXX__)
#error "the filter reaches the words of std::vector<bool> through libstdc++'s iterator"
#endif
static_assert(sizeof(std::_Bit_type) == sizeof(uint64_t), "64-bit words expected");
// Read as bytes, the words are the byte form itself: bit p in byte p / 8 at the
// bit of value 2**(p % 8).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian words expected");

inline uint64_t* bit_words(std::vector<bool>& bits) { return reinterpret_cast<uint64_t*>(bits.begin()._M_p); }

inline const uint64_t* bit_words(const std::vector<bool>& bits) {
    return reinterpret_cast<const uint64_t*>(bits.begin()._M_p);
}

// Elements of a dtype that holds references (object, structured with an object
// field, variable-width strings) are pointers or arena handles: their bytes
// say nothing about the values and change from run to run.
void refuse_references(const py::array& a) {
    const py::dtype dtype = a.dtype();
    if (dtype.attr("hasobject").cast<bool>()) {
        throw py::type_error("rows of dtype " + std::string(py::str(static_cast<const py::handle&>(dtype))) +
                             " cannot be hashed: its elements are references, not values; "
                             "convert them to fixed-width bytes or numbers first");
    }
}

}  // namespace

class BloomFilterFacade {
    void hash(const void* data, const size_t len, uint64_t* v1, uint64_t* v2) {
        uint64_t out[2];
        tessvane::murmur::MurmurHash3_x86_128(data, static_cast<int>(len), row_seed, out);
        *v1 = out[0];
        *v2 = out[1];
    }

    std::vector<unsigned char> row_as_array(const py::array& mat, int row) {
        refuse_references(mat);
        const RowReader rows(mat);
        std::vector<unsigned char> bytes;
        if (rows.cols() == 0) return bytes;  // no element is read, so the row is not checked
        rows.check_row(row);
        rows.check_length();
        bytes.resize(rows.length());
        const unsigned char* data = rows.row(row, bytes.data());
        if (data != bytes.data()) std::memcpy(bytes.data(), data, bytes.size());
        return bytes;
    }

    // Refuses, before any bit changes, a configuration whose positions cannot
    // be placed: k >= 1 with no bits at all, or a k beyond the limit.
    void check_positions() const {
        if (k > max_k) {
            throw std::invalid_argument("k = " + std::to_string(k) + " is above the limit of " +
                                        std::to_string(max_k) + " bit positions per row");
        }
        if (k > 0 && m == 0) {
            throw std::invalid_argument("k = " + std::to_string(k) +
                                        " bit positions cannot be placed in a filter of m = 0 bits");
        }
    }

    // Rows are hashed a block at a time and the words of all their positions
    // fetched ahead, so the cache misses of a large filter overlap.
    static constexpr size_t block_positions = 256;
    static constexpr uint64_t prefetch_bits = uint64_t{1} << 24;

    // Hashes rows [first, first + count) into positions, k per row, and starts
    // fetching the words they fall in.
    void block_positions_of(const RowReader& rows, py::ssize_t first, size_t count, uint64_t wrap,
                            unsigned char* scratch, uint64_t* out) {
        const uint64_t* words = bit_words(filter);
        for (size_t i = 0; i < count; ++i) {
            uint64_t h1, h2;
            hash(rows.row(first + static_cast<py::ssize_t>(i), scratch), rows.length(), &h1, &h2);
            positions(h1, h2, wrap, out + i * k);
        }
        if (m >= prefetch_bits) {
            for (size_t i = 0; i < count * k; ++i) __builtin_prefetch(words + out[i] / 64);
        }
    }

    // Positions ((h1 + j * h2) mod 2**64) mod m for j = 1..k, with two divisions
    // per row rather than one per position: each step adds h2 mod m, and when the
    // 64-bit sum wraps it takes 2**64 mod m back off, so every position equals
    // the reduction of the wrapped sum. pos + step stays below 2**64 because m
    // is at most 2**63 - 64.
    void positions(uint64_t h1, uint64_t h2, uint64_t wrap, uint64_t* out) const {
        uint64_t v = h1 + h2;
        uint64_t pos = v % m;
        const uint64_t step = h2 % m;
        for (size_t j = 0; j < k; ++j) {
            out[j] = pos;
            const uint64_t next = v + h2;
            // Branch-free: both conditions are coin flips for random hashes.
            pos += step;
            pos -= pos >= m ? m : 0;
            const uint64_t unwrap = pos >= wrap ? wrap : wrap - m;  // pos - (wrap - m) is pos + m - wrap
            pos -= next < v ? unwrap : 0;
            v = next;
        }
    }

    // Visits the rows of mat a block at a time: visit(first_row, count, positions).
    template <typename Visit>
    void for_each_block(const py::array& mat, Visit visit) {
        const RowReader rows(mat);
        rows.check_length();
        if (k == 0) {
            visit(py::ssize_t{0}, static_cast<size_t>(rows.rows()), nullptr);
            return;
        }
        const size_t per_block = std::max<size_t>(1, block_positions / k);
        const uint64_t wrap = (UINT64_MAX % m + 1) % m;  // 2**64 mod m
        std::vector<unsigned char> scratch(rows.length());
        std::vector<uint64_t> pos(per_block * k);
        for (py::ssize_t first = 0; first < rows.rows(); first += static_cast<py::ssize_t>(per_block)) {
            const size_t count = std::min<size_t>(per_block, static_cast<size_t>(rows.rows() - first));
            block_positions_of(rows, first, count, wrap, scratch.data(), pos.data());
            visit(first, count, pos.data());
            // The interpreter lock is held throughout, so Ctrl-C is only seen
            // here; an interrupted insert keeps the blocks it finished.
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

public:
    size_t k = 0;  // bit positions per row
    size_t m = 0;  // bits in the filter
    std::vector<bool> filter;  // exactly m bits; bit i is position i

    // The binding library hands the methods of an object whose __init__ never
    // ran (one made by bloomfilter.__new__, or left by a failed __setstate__)
    // storage that no constructor touched. Filters are allocated zeroed, so
    // there this reads false, and the bindings refuse such an object.
    bool constructed = true;

    static void* operator new(size_t size) {
        if (void* p = std::calloc(1, size)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void* p) noexcept { std::free(p); }

    std::vector<unsigned char> debug_getrow(const py::array& mat, int row_index) {
        return row_as_array(mat, row_index);
    }

    // Each byte in lower-case hex without leading zeros, nothing between them.
    std::string debug_gethex(const py::array& mat, int row_index) {
        const std::vector<unsigned char> bytes = row_as_array(mat, row_index);
        std::stringstream text;
        text << std::hex;
        for (unsigned char byte : bytes) text << static_cast<unsigned>(byte);
        return text.str();
    }

    // Starts the filter over with m clear bits. The fields change only once the
    // bit storage exists, so a length error or a failed allocation leaves the
    // filter exactly as it was.
    void configure(size_t _k, size_t _m) {
        filter.resize(_m);
        std::fill(filter.begin(), filter.end(), false);
        k = _k;
        m = _m;
    }

    // Sets the k positions of every row of mat; rows run along the first axis,
    // whatever axis says.
    void insert(py::array mat, int /*axis*/) {
        refuse_references(mat);
        check_positions();
        if (mat.shape(0) == 0) return;
        uint64_t* words = bit_words(filter);
        for_each_block(mat, [&](py::ssize_t, size_t count, const uint64_t* pos) {
            for (size_t i = 0; i < count * k; ++i) words[pos[i] / 64] |= uint64_t{1} << (pos[i] % 64);
        });
    }

    // One entry per row of mat: true when all k positions of the row are set.
    std::vector<bool> test(py::array mat, int /*axis*/) {
        refuse_references(mat);
        check_positions();
        const py::ssize_t n = mat.shape(0);
        std::vector<bool> found(static_cast<size_t>(n), false);
        if (n == 0) return found;
        const uint64_t* words = bit_words(filter);
        for_each_block(mat, [&](py::ssize_t first, size_t count, const uint64_t* pos) {
            for (size_t i = 0; i < count; ++i) {
                const uint64_t* row = pos + i * k;
                size_t j = 0;
                while (j < k && (words[row[j] / 64] >> (row[j] % 64) & 1)) ++j;
                found[static_cast<size_t>(first) + i] = j == k;
            }
        });
        return found;
    }

    // Appends the byte form: (m + 7) / 8 bytes, bit p in byte p / 8 at the bit
    // of value 2**(p % 8). Storage bits beyond m may hold leftovers of a larger
    // configuration, so the last byte is masked.
    void tobuffer(std::vector<char>& buf) const {
        const size_t nbytes = (filter.size() + 7) / 8;
        const char* bytes = reinterpret_cast<const char*>(bit_words(filter));
        buf.insert(buf.end(), bytes, bytes + nbytes);
        if (filter.size() % 8 != 0) buf.back() = static_cast<char>(buf.back() & ((1 << (filter.size() % 8)) - 1));
    }

    // The union: sets every bit that is set in other.
    void insert(const BloomFilterFacade& other) {
        if (other.m != m || other.k != k) throw std::runtime_error("Configuration Mismatch in union");
        uint64_t* words = bit_words(filter);
        const uint64_t* theirs = bit_words(other.filter);
        for (size_t i = 0; i < word_count(); ++i) words[i] |= theirs[i];
    }

    void intersect(const BloomFilterFacade& other) {
        if (other.m != m || other.k != k) throw std::runtime_error("Configuration Mismatch in intersect");
        uint64_t* words = bit_words(filter);
        const uint64_t* theirs = bit_words(other.filter);
        for (size_t i = 0; i < word_count(); ++i) words[i] &= theirs[i];
    }

    // Overwrites bits 0 .. min(m, 8 * buf.size()) - 1 from a byte form; the
    // other bits keep their values. Input bits at m and above are ignored.
    void frombuffer(const std::vector<char>& buf) {
        const size_t nbits = std::min<size_t>(m, buf.size() * size_t{8});
        if (nbits == 0) return;
        auto* bytes = reinterpret_cast<unsigned char*>(bit_words(filter));
        std::memcpy(bytes, buf.data(), nbits / 8);
        if (nbits % 8 != 0) {
            const unsigned mask = (1u << (nbits % 8)) - 1;
            const auto in = static_cast<unsigned char>(buf[nbits / 8]);
            bytes[nbits / 8] = static_cast<unsigned char>((bytes[nbits / 8] & ~mask) | (in & mask));
        }
    }

private:
    size_t word_count() const { return (filter.size() + 63) / 64; }
};

namespace {

// A filter of k and m loaded from the byte form at data. It is built apart and
// only then handed over, so a caller that fails to build one (a length error,
// no memory) keeps what it had.
BloomFilterFacade loaded_filter(size_t k, size_t m, const char* data, size_t len) {
    BloomFilterFacade loaded;
    loaded.configure(k, m);
    if (len > 0) {
        // Bytes beyond the (m + 7) / 8 that hold bits would be ignored anyway.
        const std::vector<char> buf(data, data + std::min(len, (m + 7) / 8));
        if (!buf.empty()) loaded.frombuffer(buf);
    }
    return loaded;
}

template <typename Filter>
Filter& filter_of(Filter& f) {
    if (!f.constructed) throw py::type_error("bloomfilter object has no filter: __init__ or __setstate__ did not complete");
    return f;
}

py::bytes byte_form(const BloomFilterFacade& f) {
    std::vector<char> out;
    f.tobuffer(out);
    return py::bytes(out.data(), out.size());
}

}  // namespace

PYBIND11_MODULE(woxbloomfilter, mod) {
    mod.doc() = "\n        Bloom Filter - Brenvald RKVS Version\n        -----------------------\n\n"
                "        .. currentmodule:: python_example\n\n        .. autosummary::\n"
                "           :toctree: _generate\n\n\tbloomfilter\n    ";

    py::class_<BloomFilterFacade>(mod, "bloomfilter", py::module_local())
        .def(py::init<>())
        .def("configure", [](BloomFilterFacade& self, size_t k, size_t m) { filter_of(self).configure(k, m); })
        .def("insert", [](BloomFilterFacade& self, py::array& a) { filter_of(self).insert(a, 0); })
        .def("test", [](BloomFilterFacade& self, py::array& a) { return filter_of(self).test(a, 0); })
        .def("insert_along", [](BloomFilterFacade& self, py::array& a, int axis) { filter_of(self).insert(a, axis); })
        .def("dbg_getrow", [](BloomFilterFacade& self, py::array& a, int row) { return filter_of(self).debug_getrow(a, row); })
        .def("dbg_gethex", [](BloomFilterFacade& self, py::array& a, int row) { return filter_of(self).debug_gethex(a, row); })
        .def("to_bytes", [](BloomFilterFacade& self) { return byte_form(filter_of(self)); })
        .def("from_bytes",
             [](BloomFilterFacade& self, py::bytes bytedata, size_t k, size_t m) {
                 BloomFilterFacade& f = filter_of(self);  // before allocating anything
                 const auto data = static_cast<std::string_view>(bytedata);
                 f = loaded_filter(k, m, data.data(), data.size());
             })
        .def(py::pickle(
            [](const BloomFilterFacade& p) { return py::make_tuple(filter_of(p).k, p.m, byte_form(p)); },
            [](py::tuple t) {
                if (t.size() != 3) throw std::runtime_error("Invalid State in __setstate__");
                const auto m = t[1].cast<size_t>();
                const auto k = t[0].cast<size_t>();
                const py::buffer state = py::object(t[2]);  // TypeError without the buffer protocol
                const py::buffer_info view = state.request();
                if (!PyBuffer_IsContiguous(view.view(), 'C')) {
                    throw py::buffer_error("the byte form in the state must be a C-contiguous buffer");
                }
                return loaded_filter(k, m, static_cast<const char*>(view.ptr), static_cast<size_t>(view.view()->len));
            }))
        .def("union", [](BloomFilterFacade& self, BloomFilterFacade& other) { filter_of(self).insert(filter_of(other)); })
        .def("intersect", [](BloomFilterFacade& self, BloomFilterFacade& other) { filter_of(self).intersect(filter_of(other)); })
        .def("get_k", [](BloomFilterFacade& self) { return filter_of(self).k; })
        .def("get_m", [](BloomFilterFacade& self) { return filter_of(self).m; })
        // The reduction that pickle protocols 2 and above make by themselves.
        // Without it, protocols 0 and 1 have copyreg call the binding library's
        // base class on the filter, which aborts the interpreter.
        .def("__reduce__", [](const py::object& self) {
            return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                                  py::make_tuple(py::type::of(self)), self.attr("__getstate__")());
        });
}
