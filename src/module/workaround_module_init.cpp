// Workaround: the module's entry point, written out.
//
// What the binding library does: PYBIND11_MODULE writes PyInit_<name>, which
// checks the interpreter's version with an inline macro and then hands CPython
// a multi-phase module definition whose exec slot runs the module's body.
//
// What we need instead: the same entry point with the version check made by
// interpreter_version_matches (module/version_gate.hpp), a function the test
// suite checks against version strings, and the module declared as not
// supporting several interpreters. The body is PYBIND11_MODULE_EXEC's
// (module.cpp); this file replaces only PYBIND11_MODULE_PYINIT, and follows it
// line by line otherwise (ensure_internals, init_slots, PyModuleDef_Init,
// PYBIND11_CATCH_INIT_EXCEPTIONS).
//
// Checked against pybind11 3.1.0 (see workaround_checked.hpp): relies on
// detail::init_slots, detail::slots_array and the exec function's name
// pybind11_exec_<name>; a change to any of them fails the build here.
#include <pybind11/pybind11.h>

#include "module/version_gate.hpp"
#include "module/workaround_checked.hpp"

int pybind11_exec_tarvelinCXX(PyObject*);

// Entry point: refuses any interpreter other than the 3.13 series it was built
// for, then hands CPython the multi-phase module definition.
extern "C" PYBIND11_EXPORT PyObject* PyInit_tarvelinCXX() {
    namespace py = pybind11;
    constexpr const char* compiled =
        PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
    const char* runtime = Py_GetVersion();
    if (!tarvelin::interpreter_version_matches(runtime, compiled)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, "
                     "but the interpreter version is incompatible: %s.",
                     compiled, runtime);
        return nullptr;
    }
    try {
        py::detail::ensure_internals();
        static py::detail::slots_array slots = py::detail::init_slots(
            &pybind11_exec_tarvelinCXX, py::multiple_interpreters::not_supported());
        static PyModuleDef def{PyModuleDef_HEAD_INIT, "tarvelinCXX", nullptr, 0,      nullptr,
                               slots.data(),          nullptr,       nullptr, nullptr};
        return PyModuleDef_Init(&def);
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}
