// Workaround: calling the library's common base class raises TypeError.
//
// What the binding library does: the common base of all its classes
// (pybind11_object, internals::instance_base) throws a C++ exception out of
// its tp_new when it is called directly rather than through one of our
// classes; the exception leaves through CPython's C frames and aborts the
// process. Python reaches it that way from pickle protocols 0 and 1 (copyreg
// calls the first non-heap base with the object) or by calling the base class.
//
// What we do instead: the base's tp_new is wrapped once per process in a
// function that turns any exception into TypeError, before the module binds
// its classes, which inherit it.
//
// Checked against pybind11 3.1.0 (see workaround_checked.hpp): relies on
// internals::instance_base being the base type of every bound class and on
// its tp_new being inherited (both checked at import).
#pragma once

#include <pybind11/pybind11.h>

namespace tarvelin {

// Wraps the base's tp_new, once; before any class is bound, so that every
// class inherits the wrapper.
void guard_base_constructor();

// ImportError unless `bound`, one of the module's classes, has inherited the
// wrapper (it derives from the base and was bound after the patch).
void check_base_constructor_guarded(pybind11::handle bound);

} // namespace tarvelin
