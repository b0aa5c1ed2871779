// woxbloomfilter_tools._native: the key rows of tables that export the Arrow
// PyCapsule interface, and the answers of test as a NumPy mask. The bindings
// take the capsules' structs over, convert, and delegate to keys.hpp.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../entry.hpp"
#include "arrow.hpp"
#include "keys.hpp"

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

// (rows, [(column name, type name), ...]): the rows as a C-contiguous uint8
// array. A batch is filled without the interpreter lock, which only its
// memory needs; signals are handled between batches.
py::tuple key_rows(const Table& table, const std::optional<std::vector<std::string>>& key) {
    keys::KeyRows rows(table, key ? &*key : nullptr);
    py::array_t<uint8_t> out(std::vector<py::ssize_t>{rows.rows(), static_cast<py::ssize_t>(rows.width())});
    uint8_t* data = out.mutable_data();
    for (size_t b = 0; b < rows.batch_count(); ++b) {
        {
            py::gil_scoped_release unlocked;
            rows.fill_batch(b, data);
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    py::list columns;
    for (const keys::Column& column : rows.columns()) columns.append(py::make_tuple(column.name, column.type.name));
    return py::make_tuple(out, columns);
}

py::tuple rows_of_stream(const py::object& capsule, const std::optional<std::vector<std::string>>& key) {
    arrow::Stream stream(in_capsule<arrow::ArrowArrayStream>(capsule, "arrow_array_stream"));
    const Table table = Table::from_stream(std::move(stream));
    return key_rows(table, key);
}

py::tuple rows_of_array(const py::object& schema_capsule, const py::object& array_capsule,
                        const std::optional<std::vector<std::string>>& key) {
    auto* raw_schema = in_capsule<arrow::ArrowSchema>(schema_capsule, "arrow_schema");
    auto* raw_array = in_capsule<arrow::ArrowArray>(array_capsule, "arrow_array");
    arrow::Schema schema(raw_schema);
    std::vector<arrow::Array> batches;
    batches.emplace_back(raw_array);
    const Table table(std::move(schema), std::move(batches));
    return key_rows(table, key);
}

// test's list of True and False as a bool array. The items are compared with
// the two immortal objects, without a branch; anything else is refused after.
py::array_t<bool> mask(const py::list& answers) {
    const py::ssize_t n = PyList_GET_SIZE(answers.ptr());
    py::array_t<bool> out(n);
    bool* data = out.mutable_data();
    PyObject* const* items = reinterpret_cast<PyListObject*>(answers.ptr())->ob_item;
    bool other = false;
    for (py::ssize_t i = 0; i < n; ++i) {
        data[i] = items[i] == Py_True;
        other |= (items[i] != Py_True) & (items[i] != Py_False);
    }
    if (other) {
        for (py::ssize_t i = 0; i < n; ++i) {
            if (items[i] != Py_True && items[i] != Py_False) {
                throw py::type_error("answers must be True or False, not " +
                                     std::string(py::str(py::type::of(answers[static_cast<size_t>(i)]).attr("__name__"))) +
                                     " (item " + std::to_string(i) + ")");
            }
        }
    }
    return out;
}

}  // namespace

WOXBLOOM_MODULE_ENTRY(_native)

PYBIND11_MODULE_EXEC(_native, mod) {
    mod.doc() = "Key rows of Arrow data and masks of answers, for woxbloomfilter_tools.";
    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const keys::UnknownColumn& e) {
            PyErr_SetString(PyExc_KeyError, e.what());
        } catch (const keys::UnsupportedType& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        } catch (const keys::BadKey& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const arrow::DataError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
    mod.attr("LAYOUT_VERSION") = keys::layout_version;
    mod.attr("DIGEST_SEED") = keys::digest_seed;
    mod.def("rows_of_stream", &rows_of_stream);
    mod.def("rows_of_array", &rows_of_array);
    mod.def("mask", &mask);
}
