// The entry point of the module and of the companion's native helper:
// pybind11's own, except that it never sets up the binding library on behalf
// of a sub-interpreter.
//
// The module runs in the main interpreter only, and the library's
// per-process state must never be set up for another: Python 3.13 calls the
// entry point of a sub-interpreter's import under a temporary thread state of
// the main interpreter, the library keeps the thread state it was set up
// under, and the first array argument afterwards, in any interpreter, ended
// the process. For a sub-interpreter nothing is set up: an isolated one then
// refuses the module by itself, and a legacy one is refused by the execution
// step.
//
// What follows is PYBIND11_MODULE_PYINIT of pybind11 3.0.1
// (include/pybind11/detail/common.h) with that one condition added; the
// execution step is still the library's PYBIND11_MODULE_EXEC.
#pragma once

#include <pybind11/pybind11.h>

static_assert(PYBIND11_VERSION_HEX == 0x030001F0, "the entry point below copies pybind11 3.0.1's; compare it anew");
static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 13, "check how this Python marks thread states");

namespace woxbloom::entry {

// PyThreadState._whence of a thread state made to run a sub-interpreter's
// import: _PyThreadState_WHENCE_EXEC in CPython 3.13's
// Include/cpython/pystate.h, which defines it for the core only.
constexpr int thread_state_made_for_exec = 5;

inline bool for_a_subinterpreter() {
    const PyThreadState* current = PyThreadState_Get();
    return current->interp != PyInterpreterState_Main() || current->_whence == thread_state_made_for_exec;
}

// The execution step, refused outside the main interpreter with the name the
// module is imported by ("module woxbloomfilter does not support loading in
// subinterpreters").
template <int (*exec)(PyObject*)>
int exec_in_main_interpreter(PyObject* module) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        const char* name = PyModule_GetName(module);
        if (name == nullptr) return -1;
        PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters", name);
        return -1;
    }
    return exec(module);
}

}  // namespace woxbloom::entry

// Defines PyInit_<name> around the execution step that PYBIND11_MODULE_EXEC
// defines for the same name.
#define WOXBLOOM_MODULE_ENTRY(name)                                                                             \
    static int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject*);                                                \
    extern "C" PYBIND11_EXPORT PyObject* PYBIND11_CONCAT(PyInit_, name)() {                                     \
        PYBIND11_CHECK_PYTHON_VERSION                                                                           \
        static ::pybind11::detail::slots_array slots = ::pybind11::detail::init_slots(                          \
            &::woxbloom::entry::exec_in_main_interpreter<PYBIND11_CONCAT(pybind11_exec_, name)>);               \
        static PyModuleDef def{PyModuleDef_HEAD_INIT, PYBIND11_TOSTRING(name), nullptr, 0, nullptr, slots.data(), \
                               nullptr, nullptr, nullptr};                                                       \
        if (!::woxbloom::entry::for_a_subinterpreter()) {                                                       \
            ::pybind11::detail::get_num_interpreters_seen() += 1;                                               \
            PYBIND11_ENSURE_INTERNALS_READY                                                                     \
        }                                                                                                       \
        return PyModuleDef_Init(&def);                                                                          \
    }
