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

#include "bits.hpp"
#include "entry.hpp"
#include "pipeline.hpp"
#include "rows.hpp"

namespace py = pybind11;

namespace {

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

// Between blocks of rows, pending signals are handled: the interpreter lock
// is held throughout, so this is where Ctrl-C is seen.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// The answers of test: a list of bools, filled in place by the pipeline.
struct Answers {
    py::list list;
};

}  // namespace

// Shown as list[bool], like any std::vector<bool>.
namespace pybind11::detail {
template <>
struct type_caster<Answers> {
    PYBIND11_TYPE_CASTER(Answers, io_name("collections.abc.Sequence", "list") + const_name("[bool]"));

    bool load(handle, bool) { return false; }  // a result only

    static handle cast(const Answers& answers, return_value_policy, handle) { return answers.list.inc_ref(); }
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
        woxbloom::insert_rows(rows, bits(), woxbloom::Regimes{}, check_signals);
    }

    // One answer per row of mat: true when all k positions of the row are set.
    Answers test(py::array mat, int /*axis*/) {
        refuse_references(mat);
        check_positions();
        const auto n = static_cast<Py_ssize_t>(mat.shape(0));
        Answers answers{py::reinterpret_steal<py::list>(PyList_New(n))};
        if (!answers.list) throw py::error_already_set();
        if (n == 0) return answers;
        const woxbloom::RowReader rows = rows_of(mat);
        rows.check_length();
        // The items are written in place, and True and False are immortal, so
        // they take no references. Until every item is in place the list is
        // kept from the garbage collector, where a signal handler could reach
        // it through gc.get_objects().
        PyObject** items = reinterpret_cast<PyListObject*>(answers.list.ptr())->ob_item;
        if (k == 0) {
            std::fill(items, items + n, Py_True);
            return answers;
        }
        PyObject_GC_UnTrack(answers.list.ptr());
        PyObject* const answer[2] = {Py_False, Py_True};
        woxbloom::test_rows(rows, bits(), woxbloom::Regimes{}, answer, items, check_signals);
        PyObject_GC_Track(answers.list.ptr());
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
    woxbloom::FilterBits bits() { return {filter.words(), m, k}; }
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
    if (woxbloom::huge_page_advice & woxbloom::advise_byte_form) {
        woxbloom::advise_pages(data, f.filter.byte_count(), MADV_HUGEPAGE);
    }
    f.tobuffer(data);
    return out;
}

}  // namespace

WOXBLOOM_MODULE_ENTRY(woxbloomfilter)

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
