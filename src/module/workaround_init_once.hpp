// Workaround: a second __init__ on a live object raises TypeError.
//
// What the binding library does: it treats every function named __init__ as a
// constructor (function_record::is_constructor), hands it the object's fresh
// value block, and on an object whose holder is already constructed skips the
// call silently. A tokenizer's streams, arrays and running calls refer to its
// native object, so replacing it, or pretending to, is wrong either way.
//
// What we do instead: __init__ is an ordinary method whose `self` is the raw
// instance (SelfToInit, with its own caster), init_once checks the holder
// itself and constructs it through the library's initimpl::construct, and
// own_init_check clears is_constructor on the bound function so that the
// library's own check and skip are off.
//
// Checked against pybind11 3.1.0 (see workaround_checked.hpp): relies on
// function_record::is_constructor being set for __init__ (checked at import),
// on instance::get_value_and_holder and on initimpl::construct.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>

#include "module/workaround_checked.hpp"
#include "module/workaround_initialised_caster.hpp"

namespace tarvelin {

// `self` of __init__: the Python object, initialised or not.
template <class T>
struct SelfToInit {
    pybind11::detail::instance* inst;
};

// __init__: builds the native object with `open` and hands it to the Python
// object, whose own `self` it records. A live object is never replaced.
template <class T, class Argument, std::unique_ptr<T> (*open)(Argument)>
void init_once(SelfToInit<T> self, Argument argument) {
    namespace py = pybind11;
    const auto refuse = [&] {
        throw py::type_error(std::string(Py_TYPE(self.inst)->tp_name) +
                             ".__init__() called on an initialised object; make a new one");
    };
    const auto holder = [&] { return self.inst->get_value_and_holder(registered_type<T>(), true); };
    if (holder().holder_constructed()) refuse();
    std::unique_ptr<T> native = open(std::move(argument));
    py::detail::value_and_holder v_h = holder();
    if (v_h.holder_constructed()) refuse(); // another thread's __init__ ran meanwhile
    native->self = reinterpret_cast<PyObject*>(self.inst);
    py::detail::initimpl::construct<py::class_<T>>(v_h, std::move(native), false);
}

// Turns the library's constructor handling off for the __init__ of `cls`,
// which must be an init_once. ImportError when the library no longer marks
// __init__ as a constructor (this workaround then needs a new look).
void own_init_check(pybind11::handle cls);

} // namespace tarvelin

namespace pybind11::detail {

template <class T>
struct type_caster<tarvelin::SelfToInit<T>> {
    PYBIND11_TYPE_CASTER(tarvelin::SelfToInit<T>, const_name<T>());

    bool load(handle src, bool) {
        if (!tarvelin::is_bound_instance<T>(src)) return false;
        value.inst = reinterpret_cast<instance*>(src.ptr());
        return true;
    }
};

} // namespace pybind11::detail
