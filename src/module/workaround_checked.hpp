// The binding library release that each workaround (module/workaround_*) was
// last checked against. Each one reaches into the library's internals or
// replaces one of its parts; an upgrade may change what it relies on. The
// import checks what can be checked at run time (ImportError naming the
// workaround), and the Python suite's test_binding_workarounds fails while the
// library the module is built with is not this release: check each workaround
// against the new release, then update the version here.
#pragma once

#include <pybind11/pybind11.h>

namespace tarvelin {

static_assert(PYBIND11_VERSION_MAJOR == 3,
              "the binding library workarounds (src/module/workaround_*) were written for "
              "pybind11 3; check each of them against this release");

inline constexpr const char* BINDING_LIBRARY_CHECKED = "3.1.0";
inline constexpr const char* BINDING_LIBRARY_BUILT =
    PYBIND11_TOSTRING(PYBIND11_VERSION_MAJOR) "." PYBIND11_TOSTRING(
        PYBIND11_VERSION_MINOR) "." PYBIND11_TOSTRING(PYBIND11_VERSION_MICRO);

// An ImportError that names the workaround whose assumption failed.
[[noreturn]] inline void workaround_broken(const char* workaround, const char* what) {
    throw pybind11::import_error(std::string("the binding library (pybind11 ") +
                                 BINDING_LIBRARY_BUILT + ", workarounds checked against " +
                                 BINDING_LIBRARY_CHECKED + ") no longer " + what + "; see " +
                                 workaround);
}

} // namespace tarvelin
