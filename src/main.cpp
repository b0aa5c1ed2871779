// woxbloomfilter: a Bloom filter for the rows of NumPy arrays.
//
// The filter class comes first; the module definition after it only converts
// arguments and delegates to the class.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "murmur.hpp"

namespace py = pybind11;

class BloomFilterFacade {
public:
    size_t k = 0;  // bit positions per row
    size_t m = 0;  // bits in the filter
    std::vector<bool> filter;  // exactly m bits; bit i is position i

    // Starts the filter over with m clear bits. The fields change only once the
    // bit storage exists, so a length error or a failed allocation leaves the
    // filter exactly as it was.
    void configure(size_t _k, size_t _m) {
        filter.resize(_m);
        std::fill(filter.begin(), filter.end(), false);
        k = _k;
        m = _m;
    }
};

PYBIND11_MODULE(woxbloomfilter, mod) {
    mod.doc() = "\n        Bloom Filter - Brenvald RKVS Version\n        -----------------------\n\n"
                "        .. currentmodule:: python_example\n\n        .. autosummary::\n"
                "           :toctree: _generate\n\n\tbloomfilter\n    ";

    py::class_<BloomFilterFacade>(mod, "bloomfilter", py::module_local())
        .def(py::init<>())
        .def("configure", [](BloomFilterFacade& self, size_t k, size_t m) { self.configure(k, m); })
        .def("get_k", [](BloomFilterFacade& self) { return self.k; })
        .def("get_m", [](BloomFilterFacade& self) { return self.m; });
}
