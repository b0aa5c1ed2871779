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

#include "batch.hpp"
#include "bits.hpp"
#include "murmur.hpp"
#include "rows.hpp"

namespace py = pybind11;

namespace {

// Every stored filter depends on this seed: another one moves every bit.
constexpr uint32_t row_seed = 0xFFFEA282u;

// Each row costs k positions; far beyond any useful k (the best k for a
// false-positive rate p is about -log2(p)), a huge k would only hang a call.
constexpr size_t max_k = 4096;

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

// The rows of an array. The array's own accessor reads axis 1 first, so an
// array of fewer than two dimensions raises its invalid-axis error here.
woxbloom::RowReader rows_of(const py::array& a) {
    a.shape(1);
    return woxbloom::RowReader(a.data(), a.ndim(), a.shape(), a.strides(), a.itemsize());
}

// Same wording as the array accessor's, for negative rows too.
void check_row(const woxbloom::RowReader& rows, py::ssize_t row) {
    if (row < 0 || row >= rows.rows()) {
        throw py::index_error("index " + std::to_string(row) + " is out of bounds for axis 0 with size " +
                              std::to_string(rows.rows()));
    }
}

// A block of rows on its way through the pipeline: where it starts, how many
// rows it has, their hash halves and, when the filter wants them ahead of
// time, their positions (k a row).
struct Block {
    py::ssize_t first = 0;
    size_t count = 0;
    std::vector<uint64_t> h1, h2, positions;
};

// Rows travel in blocks through one pipeline: gather their bytes, hash them,
// turn each hash into k positions, fetch the words of those positions ahead,
// then set or check the bits. Block b + 1 is hashed and its words requested
// before block b is set or checked, so the cache misses of a large filter
// overlap with useful work.
class RowPipeline {
public:
    // Blocks of `wanted` rows: fewer when gathered rows are long.
    RowPipeline(const woxbloom::RowReader& rows, size_t wanted) : rows_(rows), per_block_(rows_per_block(rows, wanted)) {
        if (!rows.in_place()) scratch_.resize(per_block_ * rows.length());
        row_ptrs_.resize(per_block_);
        for (Block& block : blocks_) {
            block.h1.resize(per_block_);
            block.h2.resize(per_block_);
        }
    }

    size_t rows_per_block() const { return per_block_; }

    // Calls prepare(block) as soon as a block is hashed (to place its
    // positions and fetch their words), and visit(block) for each block in
    // order. Between blocks, pending signals are handled: the interpreter lock
    // is held throughout, so this is where Ctrl-C is seen. An interrupted
    // insert keeps the blocks it finished.
    template <typename Prepare, typename Visit>
    void run(Prepare prepare, Visit visit) {
        Block* current = &blocks_[0];
        Block* next = &blocks_[1];
        hash_block(0, *current);
        prepare(*current);
        while (current->count > 0) {
            hash_block(current->first + static_cast<py::ssize_t>(current->count), *next);
            if (next->count > 0) prepare(*next);
            visit(*current);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            std::swap(current, next);
        }
    }

private:
    static size_t rows_per_block(const woxbloom::RowReader& rows, size_t wanted) {
        size_t per_block = wanted;
        if (!rows.in_place() && rows.length() > 0) {
            per_block = std::clamp<size_t>((size_t{1} << 20) / rows.length(), 1, per_block);
        }
        return std::min(per_block, static_cast<size_t>(rows.rows()));
    }

    // Gathers and hashes the rows from first on; none past the last row.
    void hash_block(py::ssize_t first, Block& block) {
        block.first = first;
        block.count = std::min(per_block_, static_cast<size_t>(rows_.rows() - first));
        rows_.rows_at(first, block.count, scratch_.data(), row_ptrs_.data());
        woxbloom::hash_rows(row_ptrs_.data(), block.count, static_cast<int>(rows_.length()), row_seed,
                            block.h1.data(), block.h2.data());
    }

    const woxbloom::RowReader& rows_;
    const size_t per_block_;
    std::vector<unsigned char> scratch_;
    std::vector<const unsigned char*> row_ptrs_;
    Block blocks_[2];
};

// The answers of test, one byte a row.
struct Answers {
    std::vector<uint8_t> found;
};

}  // namespace

// Answers become a list of bools in one pass, shown as list[bool] like any
// std::vector<bool>; the binding library's own conversion of a vector<bool>
// costs more than a third of a fast test.
namespace pybind11::detail {
template <>
struct type_caster<Answers> {
    PYBIND11_TYPE_CASTER(Answers, io_name("collections.abc.Sequence", "list") + const_name("[bool]"));

    bool load(handle, bool) { return false; }  // a result only

    static handle cast(const Answers& answers, return_value_policy, handle) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(answers.found.size()));
        if (list == nullptr) return handle();
        // Picked by index, not by a branch: answers of a test are coin flips.
        PyObject* const choices[2] = {Py_False, Py_True};
        for (size_t i = 0; i < answers.found.size(); ++i) {
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(choices[answers.found[i]]));
        }
        return list;
    }
};
}  // namespace pybind11::detail

class BloomFilterFacade {
    std::vector<unsigned char> row_as_array(const py::array& mat, int row) {
        refuse_references(mat);
        const woxbloom::RowReader rows = rows_of(mat);
        std::vector<unsigned char> bytes;
        if (rows.cols() == 0) return bytes;  // no element is read, so the row is not checked
        check_row(rows, row);
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

    // How far ahead the words of a block are fetched. Up to a few MiB the
    // out-of-order core overlaps the misses by itself, and fetching ahead only
    // costs; beyond, fetch every word a block touches; beyond the last-level
    // cache, a test fetches probe j + 1 of a row only when probe j hit, since
    // most absent rows stop after a probe or two.
    static constexpr uint64_t prefetch_bits = uint64_t{1} << 26;  // 8 MiB
    static constexpr uint64_t rounds_bits = uint64_t{1} << 28;    // 32 MiB

    // Rows a block: two groups of hash lanes when the words are at hand; when
    // they are fetched ahead, one group, so that the fetches of a block fit in
    // the memory system's queues.
    static constexpr size_t wide_block = 2 * woxbloom::lane_count;
    static constexpr size_t narrow_block = woxbloom::lane_count;

    // Requests the word of position p into the L2 cache. A request for the
    // L1 cache too would evict the lines of the block being worked on.
    static void fetch(const uint64_t* words, uint64_t p) { __builtin_prefetch(words + p / 64, 0, 2); }

public:
    size_t k = 0;  // bit positions per row
    size_t m = 0;  // bits in the filter
    woxbloom::BitArray filter;  // exactly m bits; bit i is position i

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

    // Starts the filter over with m clear bits in new storage, giving the old
    // back. The fields change only once the storage exists, so a length error
    // or a failed allocation leaves the filter exactly as it was.
    void configure(size_t _k, size_t _m) {
        filter.assign_zero(_m);
        k = _k;
        m = _m;
    }

    // Sets the k positions of every row of mat; rows run along the first axis,
    // whatever axis says.
    void insert(py::array mat, int /*axis*/) {
        refuse_references(mat);
        check_positions();
        if (mat.shape(0) == 0) return;
        const woxbloom::RowReader rows = rows_of(mat);
        rows.check_length();
        if (k == 0) return;
        woxbloom::with_reducer(m, [&](auto reduce) { insert_rows(rows, reduce); });
    }

    // One answer per row of mat: true when all k positions of the row are set.
    Answers test(py::array mat, int /*axis*/) {
        refuse_references(mat);
        check_positions();
        Answers answers;
        answers.found.assign(static_cast<size_t>(mat.shape(0)), k == 0);
        if (answers.found.empty()) return answers;
        const woxbloom::RowReader rows = rows_of(mat);
        rows.check_length();
        if (k == 0) return answers;
        woxbloom::with_reducer(m, [&](auto reduce) { test_rows(rows, reduce, answers.found.data()); });
        return answers;
    }

    // Writes the byte form, (m + 7) / 8 bytes, to out: bit p in byte p / 8 at
    // the bit of value 2**(p % 8).
    void tobuffer(unsigned char* out) const { filter.copy_bytes(out); }

    // Starts the filter over with k, m and the bits of a byte form; bytes
    // beyond the (m + 7) / 8 that hold bits are ignored, bits beyond the input
    // are clear. As with configure, a failure leaves the filter as it was.
    void frombuffer(size_t _k, size_t _m, const unsigned char* data, size_t len) {
        filter.assign_bytes(_m, data, len);
        k = _k;
        m = _m;
    }

    // The union: sets every bit that is set in other.
    void insert(const BloomFilterFacade& other) {
        if (other.m != m || other.k != k) throw std::runtime_error("Configuration Mismatch in union");
        filter.or_with(other.filter);
    }

    void intersect(const BloomFilterFacade& other) {
        if (other.m != m || other.k != k) throw std::runtime_error("Configuration Mismatch in intersect");
        filter.and_with(other.filter);
    }

private:
    // A filter of a few MiB sets bits as positions are made. A larger one
    // places a block's positions first and fetches their words, which arrive
    // while the block before is set.
    template <typename Reduce>
    void insert_rows(const woxbloom::RowReader& rows, Reduce reduce) {
        const size_t k_ = k;
        uint64_t* const words = filter.words();
        const auto set = [words](uint64_t p) { words[p / 64] |= uint64_t{1} << (p % 64); };
        if (m < prefetch_bits) {
            RowPipeline(rows, wide_block).run([](Block&) {}, [&](const Block& b) {
                for (size_t i = 0; i < b.count; ++i) woxbloom::for_positions(b.h1[i], b.h2[i], k_, reduce, set);
            });
            return;
        }
        RowPipeline(rows, narrow_block)
            .run([&](Block& b) { place_and_fetch(b, reduce); },
                 [&](const Block& b) {
                     for (size_t i = 0; i < b.count * k_; ++i) set(b.positions[i]);
                 });
    }

    // Within the last-level cache every probe of every row is read, without
    // an early exit: the loads are cheap and a branch on each would be a coin
    // flip. Beyond it, probes go in rounds.
    template <typename Reduce>
    void test_rows(const woxbloom::RowReader& rows, Reduce reduce, uint8_t* found) const {
        const size_t k_ = k;
        const uint64_t* const words = filter.words();
        const auto check_all = [&](const Block& b, auto positions_of) {
            for (size_t i = 0; i < b.count; ++i) {
                uint64_t all = 1;
                positions_of(b, i, [&](uint64_t p) { all &= words[p / 64] >> (p % 64); });
                found[static_cast<size_t>(b.first) + i] = static_cast<uint8_t>(all & 1);
            }
        };
        if (m < prefetch_bits) {
            RowPipeline(rows, wide_block).run([](Block&) {}, [&](const Block& b) {
                check_all(b, [&](const Block& b, size_t i, auto each) {
                    woxbloom::for_positions(b.h1[i], b.h2[i], k_, reduce, each);
                });
            });
        } else if (m < rounds_bits) {
            RowPipeline(rows, narrow_block)
                .run([&](Block& b) { place_and_fetch(b, reduce); },
                     [&](const Block& b) {
                         check_all(b, [&](const Block& b, size_t i, auto each) {
                             for (size_t j = 0; j < k_; ++j) each(b.positions[i * k_ + j]);
                         });
                     });
        } else {
            RowPipeline pipeline(rows, wide_block);
            test_in_rounds(pipeline, reduce, found);
        }
    }

    // Probe j of the rows still standing, fetching probe j + 1 of those that
    // hit: beyond the last-level cache every probe is a trip to memory, and an
    // absent row mostly fails within a probe or two.
    template <typename Reduce>
    void test_in_rounds(RowPipeline& pipeline, Reduce reduce, uint8_t* found) const {
        const size_t k_ = k;
        const uint64_t* const words = filter.words();
        std::vector<uint32_t> standing(pipeline.rows_per_block());
        pipeline.run(
            [&](Block& b) {
                place(b, reduce);
                for (size_t i = 0; i < b.count; ++i) fetch(words, b.positions[i * k_]);
            },
            [&](const Block& b) {
                size_t left = b.count;
                for (size_t i = 0; i < left; ++i) standing[i] = static_cast<uint32_t>(i);
                for (size_t j = 0; j < k_ && left > 0; ++j) {
                    size_t kept = 0;
                    for (size_t s = 0; s < left; ++s) {
                        const uint32_t i = standing[s];
                        const uint64_t p = b.positions[i * k_ + j];
                        if (!(words[p / 64] >> (p % 64) & 1)) continue;
                        standing[kept++] = i;
                        if (j + 1 < k_) fetch(words, b.positions[i * k_ + j + 1]);
                    }
                    left = kept;
                }
                for (size_t s = 0; s < left; ++s) found[static_cast<size_t>(b.first) + standing[s]] = 1;
            });
    }

    // The positions of a block's rows, k a row.
    template <typename Reduce>
    void place(Block& b, Reduce reduce) const {
        b.positions.resize(b.count * k);
        woxbloom::positions(b.h1.data(), b.h2.data(), b.count, k, reduce, b.positions.data());
    }

    // The positions of a block's rows, with every word they fall in requested.
    template <typename Reduce>
    void place_and_fetch(Block& b, Reduce reduce) const {
        place(b, reduce);
        const uint64_t* const words = filter.words();
        for (const uint64_t p : b.positions) fetch(words, p);
    }
};

namespace {

// A filter of k and m loaded from the byte form at data. It is built apart and
// only then handed over, so a caller that fails to build one (a length error,
// no memory) keeps what it had.
BloomFilterFacade loaded_filter(size_t k, size_t m, const void* data, size_t len) {
    BloomFilterFacade loaded;
    loaded.frombuffer(k, m, static_cast<const unsigned char*>(data), len);
    return loaded;
}

// Whether a buffer's struct format has object items ('O'): their bytes are
// pointers, which would load different bits in every process. Field names
// stand between colons and are skipped.
bool holds_references(const std::string& format) {
    bool in_name = false;
    for (char c : format) {
        if (c == ':') in_name = !in_name;
        if (!in_name && c == 'O') return true;
    }
    return false;
}

template <typename Filter>
Filter& filter_of(Filter& f) {
    if (!f.constructed) throw py::type_error("bloomfilter object has no filter: __init__ or __setstate__ did not complete");
    return f;
}

// Written straight into a new bytes object: no copy in between.
py::bytes byte_form(const BloomFilterFacade& f) {
    py::bytes out(nullptr, f.filter.byte_count());
    auto* data = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.ptr()));
    woxbloom::advise_huge_pages(data, f.filter.byte_count());
    f.tobuffer(data);
    return out;
}

}  // namespace

// The module runs in the main interpreter only, and the binding library's
// per-process state must never be set up on behalf of another: Python 3.13
// calls the entry point of a sub-interpreter's import under a temporary thread
// state of the main interpreter, the library keeps the thread state it was set
// up under, and the first array argument afterwards, in any interpreter, ended
// the process. So the entry point is PYBIND11_MODULE's, except that for a
// sub-interpreter it sets nothing up: an isolated sub-interpreter then refuses
// the module by itself, and a legacy one is refused by the execution step.
constexpr const char* subinterpreters_refused = "module woxbloomfilter does not support loading in subinterpreters";

static bool for_a_subinterpreter() {
    // Python 3.13's _PyThreadState_WHENCE_EXEC, which its public header
    // defines for the core only; the module loads in 3.13 alone.
    static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 13, "check how this Python marks thread states");
    constexpr int made_for_exec = 5;
    const PyThreadState* current = PyThreadState_Get();
    return current->interp != PyInterpreterState_Main() || current->_whence == made_for_exec;
}

static int pybind11_exec_woxbloomfilter(PyObject* module);

static int exec_in_main_interpreter(PyObject* module) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, subinterpreters_refused);
        return -1;
    }
    return pybind11_exec_woxbloomfilter(module);
}

extern "C" PYBIND11_EXPORT PyObject* PyInit_woxbloomfilter() {
    PYBIND11_CHECK_PYTHON_VERSION
    static py::detail::slots_array slots = py::detail::init_slots(&exec_in_main_interpreter);
    static PyModuleDef def{PyModuleDef_HEAD_INIT, "woxbloomfilter", nullptr, 0, nullptr, slots.data(),
                           nullptr, nullptr, nullptr};
    if (!for_a_subinterpreter()) {
        py::detail::get_num_interpreters_seen() += 1;
        PYBIND11_ENSURE_INTERNALS_READY
    }
    return PyModuleDef_Init(&def);
}

PYBIND11_MODULE_EXEC(woxbloomfilter, mod) {
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
                if (holds_references(view.format)) {
                    throw py::type_error("the byte form in the state must hold bytes, not object references");
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
