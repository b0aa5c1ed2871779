// woxbloomfilter_tools._native: the key rows of tables that export the Arrow
// PyCapsule interface, and the answers of test as a mask. The bindings take
// the capsules' structs over, convert, and delegate to keys.hpp; the Python
// side gives the buffers to fill.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../bits.hpp"
#include "../entry.hpp"
#include "arrow.hpp"
#include "keys.hpp"
#include "layers.hpp"

namespace py = pybind11;
using woxbloom::arrow::Table;
namespace arrow = woxbloom::arrow;
namespace keys = woxbloom::keys;

namespace {

// The struct in a capsule of the interface, still to be taken over.
template <typename Raw>
Raw* in_capsule(const py::object& capsule, const char* name) {
    if (!PyCapsule_IsValid(capsule.ptr(), name)) {
        throw py::type_error(std::string("expected a PyCapsule named '") + name + "', not " +
                             std::string(py::str(py::type::of(capsule).attr("__name__"))));
    }
    auto* raw = static_cast<Raw*>(PyCapsule_GetPointer(capsule.ptr(), name));
    if (raw->release == nullptr) throw py::value_error(std::string("the ") + name + " in the capsule was taken already");
    return raw;
}

// A table taken over from its producer, and its key rows, made a range of
// rows at a time into buffers that the caller gives. The table is released
// with the reader.
class Reader {
public:
    Reader(Table table, const std::optional<std::vector<std::string>>& key, int version)
        : table_(std::move(table)), rows_(table_, key ? &*key : nullptr, version) {}

    int64_t rows() const { return rows_.rows(); }
    size_t width() const { return rows_.width(); }

    py::list columns() const {
        py::list columns;
        for (const keys::Column& column : rows_.columns()) columns.append(py::make_tuple(column.name, column.type.name));
        return columns;
    }

    // Null columns take the types of a layout; refused once a fill has
    // started. It runs under the interpreter lock throughout, and every fill
    // fixes the width under that lock before giving it up, so no fill is
    // under way here.
    void conform(const std::vector<std::string>& types) { rows_.conform(types); }

    // Writes rows first .. first + n - 1 into `out`, a writable C-contiguous
    // buffer of n rows of width() bytes, n at most rows() - first. A range is
    // filled without the interpreter lock, which only its memory needs, a
    // million bytes at a time, with signals handled in between. Fills from
    // several threads take turns, a range at a time: the dictionaries' digests
    // are made once and shared. The lock of the rows is only ever waited for
    // without the interpreter lock, which is what rules out a deadlock.
    void fill(int64_t first, const py::buffer& out) {
        const py::buffer_info view = out.request(true);  // may run Python code, conform among it
        rows_.freeze();
        if (view.itemsize != 1 || !PyBuffer_IsContiguous(view.view(), 'C')) {
            throw py::type_error("out must be a writable C-contiguous buffer of bytes");
        }
        const auto width = static_cast<int64_t>(rows_.width());
        const int64_t n = view.size / width;
        if (view.size % width != 0 || first < 0 || n > rows() - first) {
            throw py::value_error("out must hold whole rows of " + std::to_string(width) + " bytes within the table");
        }
        auto* data = static_cast<uint8_t*>(view.ptr);
        woxbloom::advise_pages(data, static_cast<size_t>(view.size), MADV_NOHUGEPAGE);  // written once, in order
        const int64_t step = std::max<int64_t>(1, (int64_t{1} << 20) / width);
        for (int64_t done = 0; done < n; done += step) {
            const int64_t count = std::min(step, n - done);
            {
                py::gil_scoped_release unlocked;
                const std::lock_guard<std::mutex> turn(filling_);
                rows_.fill_rows(first + done, count, data + done * width);
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

private:
    Table table_;
    keys::KeyRows rows_;  // reads table_, which it must not outlive
    std::mutex filling_;
};

std::unique_ptr<Reader> read_stream(const py::object& capsule, const std::optional<std::vector<std::string>>& key,
                                    int version) {
    keys::check_version(version);
    arrow::Stream stream(in_capsule<arrow::ArrowArrayStream>(capsule, "arrow_array_stream"));
    return std::make_unique<Reader>(Table::from_stream(std::move(stream)), key, version);
}

std::unique_ptr<Reader> read_array(const py::object& schema_capsule, const py::object& array_capsule,
                                   const std::optional<std::vector<std::string>>& key, int version) {
    keys::check_version(version);
    auto* raw_schema = in_capsule<arrow::ArrowSchema>(schema_capsule, "arrow_schema");
    auto* raw_array = in_capsule<arrow::ArrowArray>(array_capsule, "arrow_array");
    arrow::Schema schema(raw_schema);
    std::vector<arrow::Array> batches;
    batches.emplace_back(raw_array);
    return std::make_unique<Reader>(Table(std::move(schema), std::move(batches)), key, version);
}

// The (name, layout type) of each field of a schema, which stays its
// producer's: a type that a layout may be given in, so null is refused too.
py::list schema_types(const py::object& capsule) {
    const arrow::ArrowSchema& schema = *in_capsule<arrow::ArrowSchema>(capsule, "arrow_schema");
    py::list types;
    for (const keys::Column& column : keys::schema_columns(schema)) types.append(py::make_tuple(column.name, column.type.name));
    return types;
}

// test's list of True and False into a bool buffer of its length. The items
// are compared with the two immortal objects, without a branch; anything else
// is refused after. The out buffer is asked for first: its exporter may run
// Python code, which may change the list; from then on nothing runs Python
// code until the items are read.
void mask(const py::list& answers, const py::buffer& out) {
    const py::buffer_info view = out.request(true);
    const py::ssize_t n = PyList_GET_SIZE(answers.ptr());
    if (view.itemsize != 1 || view.size != n || !PyBuffer_IsContiguous(view.view(), 'C')) {
        throw py::value_error("out must be a writable contiguous buffer of " + std::to_string(n) + " bytes");
    }
    auto* data = static_cast<bool*>(view.ptr);
    woxbloom::advise_pages(data, static_cast<size_t>(n), MADV_NOHUGEPAGE);
    PyObject* const* items = reinterpret_cast<PyListObject*>(answers.ptr())->ob_item;
    bool other = false;
    for (py::ssize_t i = 0; i < n; ++i) {
        data[i] = items[i] == Py_True;
        other |= (items[i] != Py_True) & (items[i] != Py_False);
    }
    if (!other) return;
    py::ssize_t i = 0;
    while (items[i] == Py_True || items[i] == Py_False) ++i;
    // Held: naming its type may run Python code, which may change the list.
    const auto item = py::reinterpret_borrow<py::object>(items[i]);
    throw py::type_error("answers must be True or False, not " + std::string(py::str(py::type::of(item).attr("__name__"))) +
                         " (item " + std::to_string(i) + ")");
}

// A message may quote what the data holds (a format, an extension's name, a
// stream's error), which need not be UTF-8: such bytes are escaped.
void set_error(PyObject* type, const std::exception& error) {
    const char* what = error.what();
    PyObject* message = PyUnicode_DecodeUTF8(what, static_cast<py::ssize_t>(std::strlen(what)), "backslashreplace");
    if (message == nullptr) return;  // the decoder's own error stands
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

}  // namespace

// Growing filters: the layers' bits, owned here, and the kernels of layers.hpp
// over them. The Python side sizes each layer and decides when to add one;
// this side checks what it is given once, then inserts and tests.
namespace {

// As for the filter itself: past any useful k, a huge one would only hang a call.
constexpr size_t max_layer_k = 4096;

struct Layer {
    woxbloom::BitArray bits;
    size_t k;
    uint64_t full_at;  // set bits at which the layer is full
    woxbloom::FilterBits filter_bits() { return {bits.words(), bits.size(), k}; }
};

// The rows of a buffer of two dimensions, any item size and strides, as the
// filter reads the rows of an array.
woxbloom::RowReader layer_rows(const py::buffer_info& view) {
    if (view.ndim != 2) throw py::value_error("rows must have two dimensions, not " + std::to_string(view.ndim));
    if (view.format.find('O') != std::string::npos) throw py::type_error("rows must hold values, not object references");
    const std::ptrdiff_t shape[2] = {view.shape[0], view.shape[1]};
    const std::ptrdiff_t strides[2] = {view.strides[0], view.strides[1]};
    woxbloom::RowReader rows(view.ptr, 2, shape, strides, view.itemsize);
    rows.check_length();
    return rows;
}

void check_layer_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

class Layers {
public:
    size_t count() const { return layers_.size(); }

    // A new, clear layer, which becomes the newest.
    void add(size_t k, uint64_t m, uint64_t full_at) {
        Layer layer = shaped(k, m, full_at);
        layer.bits.assign_zero(m);
        append(std::move(layer));
    }

    // A layer from its byte form, exactly (m + 7) / 8 bytes, which becomes the newest.
    void add_bytes(size_t k, uint64_t m, uint64_t full_at, const py::buffer& data) {
        Layer layer = shaped(k, m, full_at);
        const py::buffer_info view = data.request();
        if (!PyBuffer_IsContiguous(view.view(), 'C') || static_cast<uint64_t>(view.view()->len) != (m + 7) / 8) {
            throw py::value_error("the byte form of a layer of m = " + std::to_string(m) + " bits must be " +
                                  std::to_string((m + 7) / 8) + " contiguous bytes");
        }
        layer.bits.assign_bytes(m, static_cast<const unsigned char*>(view.ptr), static_cast<size_t>(view.view()->len));
        append(std::move(layer));
    }

    // Inserts rows into the newest layer until it is full; the rows done.
    size_t insert(const py::buffer& data) {
        const py::buffer_info view = data.request();
        const woxbloom::RowReader rows = layer_rows(view);
        Busy busy(*this);
        if (rows.rows() == 0) return 0;
        std::vector<woxbloom::FilterBits> bits = all_bits();
        Layer& newest = layers_.back();
        return woxbloom::layers::insert_rows(rows, bits.data(), bits.size(), {bits.back(), newest_set_, newest.full_at},
                                             woxbloom::Regimes{}, check_layer_signals);
    }

    // Writes to `out`, a writable C-contiguous buffer of one byte a row, 1
    // where some layer holds the row and 0 where none does.
    void test(const py::buffer& data, const py::buffer& out) {
        const py::buffer_info view = data.request();
        const py::buffer_info answers = out.request(true);
        const woxbloom::RowReader rows = layer_rows(view);
        if (answers.itemsize != 1 || answers.size != rows.rows() || !PyBuffer_IsContiguous(answers.view(), 'C')) {
            throw py::value_error("out must be a writable contiguous buffer of " + std::to_string(rows.rows()) +
                                  " bytes");
        }
        Busy busy(*this);
        if (rows.rows() == 0) return;
        std::vector<woxbloom::FilterBits> bits = all_bits();
        const unsigned char answer[2] = {0, 1};
        woxbloom::layers::test_rows(rows, bits.data(), bits.size(), woxbloom::Regimes{}, answer,
                                    static_cast<unsigned char*>(answers.ptr), check_layer_signals);
    }

    // ORs (or ANDs) every layer of `other` into the layer of the same place,
    // which must have the same k and m.
    void combine(const Layers& other, bool intersect) {
        Busy busy(*this);
        if (other.layers_.size() != layers_.size()) throw py::value_error("the filters have other numbers of layers");
        for (size_t i = 0; i < layers_.size(); ++i) {
            if (other.layers_[i].k != layers_[i].k || other.layers_[i].bits.size() != layers_[i].bits.size()) {
                throw py::value_error("layer " + std::to_string(i) + " has another k or m in the other filter");
            }
        }
        for (size_t i = 0; i < layers_.size(); ++i) {
            if (intersect) {
                layers_[i].bits.and_with(other.layers_[i].bits);
            } else {
                layers_[i].bits.or_with(other.layers_[i].bits);
            }
        }
        newest_set_ = set_bits(layers_.size() - 1);
    }

    size_t k(size_t i) const { return at(i).k; }
    uint64_t m(size_t i) const { return at(i).bits.size(); }
    uint64_t full_at(size_t i) const { return at(i).full_at; }
    uint64_t set_bits(size_t i) const {
        const Layer& layer = at(i);
        return woxbloom::layers::count_bits(layer.bits.words(), layer.bits.word_count());
    }

    py::bytes to_bytes(size_t i) const {
        const Layer& layer = at(i);
        py::bytes out(nullptr, layer.bits.byte_count());
        layer.bits.copy_bytes(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.ptr())));
        return out;
    }

private:
    // A call that works on the bits holds the filter for its length; a signal
    // handler run between blocks that calls the filter again is refused, as it
    // would change the layers under the running call.
    class Busy {
    public:
        explicit Busy(Layers& layers) : layers_(layers) {
            if (layers.busy_) throw py::value_error("the growing filter is in use by a call that has not returned");
            if (layers.layers_.empty()) throw py::value_error("the growing filter has no layer");
            layers.busy_ = true;
        }
        ~Busy() { layers_.busy_ = false; }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        Layers& layers_;
    };

    static Layer shaped(size_t k, uint64_t m, uint64_t full_at) {
        if (k < 1 || k > max_layer_k) {
            throw py::value_error("a layer's k must be from 1 to " + std::to_string(max_layer_k) + ", not " +
                                  std::to_string(k));
        }
        if (m < 1 || m > woxbloom::BitArray::max_bits) {
            throw py::value_error("a layer's m must be from 1 to 2**63 - 64, not " + std::to_string(m));
        }
        if (full_at > m) {
            throw py::value_error("a layer of m = " + std::to_string(m) + " bits cannot be full at " +
                                  std::to_string(full_at));
        }
        return Layer{woxbloom::BitArray(), k, full_at};
    }

    void append(Layer layer) {
        if (busy_) throw py::value_error("the growing filter is in use by a call that has not returned");
        layers_.reserve(layers_.size() + 1);  // the one step that may fail comes before the layer moves in
        const uint64_t set = woxbloom::layers::count_bits(layer.bits.words(), layer.bits.word_count());
        layers_.push_back(std::move(layer));
        newest_set_ = set;
    }

    const Layer& at(size_t i) const {
        if (i >= layers_.size()) {
            throw py::index_error("layer " + std::to_string(i) + " of " + std::to_string(layers_.size()));
        }
        return layers_[i];
    }

    std::vector<woxbloom::FilterBits> all_bits() {
        std::vector<woxbloom::FilterBits> bits;
        for (Layer& layer : layers_) bits.push_back(layer.filter_bits());
        return bits;
    }

    std::vector<Layer> layers_;
    uint64_t newest_set_ = 0;  // set bits of the newest layer, kept by insert
    bool busy_ = false;
};

}  // namespace

WOXBLOOM_MODULE_ENTRY(_native)

PYBIND11_MODULE_EXEC(_native, mod) {
    mod.doc() = "Key rows of Arrow data and masks of answers, for woxbloomfilter_tools.";
    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const keys::UnknownColumn& e) {
            set_error(PyExc_KeyError, e);
        } catch (const keys::UnsupportedType& e) {
            set_error(PyExc_TypeError, e);
        } catch (const keys::BadKey& e) {
            set_error(PyExc_ValueError, e);
        } catch (const arrow::DataError& e) {
            set_error(PyExc_ValueError, e);
        } catch (const std::invalid_argument& e) {
            set_error(PyExc_ValueError, e);
        }
    });
    mod.attr("LAYOUT_VERSION") = keys::layout_version;
    mod.attr("DIGEST_SEED") = keys::digest_seed;
    py::class_<Reader>(mod, "Reader", py::module_local())
        .def_property_readonly("rows", &Reader::rows)
        .def_property_readonly("width", &Reader::width)
        .def_property_readonly("columns", &Reader::columns)
        .def("conform", &Reader::conform)
        .def("fill", &Reader::fill);
    mod.def("read_stream", &read_stream);
    mod.def("read_array", &read_array);
    mod.def("type_width", &keys::type_width);
    mod.def("schema_types", &schema_types);
    mod.def("mask", &mask);

    // Growing filters.
    py::class_<Layers>(mod, "Layers", py::module_local())
        .def(py::init<>())
        .def_property_readonly("count", &Layers::count)
        .def("add", &Layers::add)
        .def("add_bytes", &Layers::add_bytes)
        .def("insert", &Layers::insert)
        .def("test", &Layers::test)
        .def("combine", &Layers::combine)
        .def("k", &Layers::k)
        .def("m", &Layers::m)
        .def("full_at", &Layers::full_at)
        .def("set_bits", &Layers::set_bits)
        .def("to_bytes", &Layers::to_bytes);
}
