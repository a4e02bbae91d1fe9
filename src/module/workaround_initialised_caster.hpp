// Workaround: methods refuse an object whose __init__ never ran.
//
// What the binding library does: an object made by __new__ alone (pickle
// protocols 0 and 1, copy, a subclass's __new__, or cls.__new__(cls)) holds no
// native object, and the library's conversion of `self` hands the method the
// object's uninitialised value block instead, which the method would read as
// a tokenizer.
//
// What we do instead: initialised_caster looks at the holder before the
// standard conversion runs and raises TypeError when it was never
// constructed; is_initialised asks the same for code that takes any object
// (the reprs).
//
// Checked against pybind11 3.1.0 (see workaround_checked.hpp): relies on
// instance::get_value_and_holder(type, false) and holder_constructed(), and on
// type_caster_base's load. The Python suite calls every method on such an
// object.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

#include "module/workaround_checked.hpp"

namespace tarvelin {

// Whether `obj` is a T whose holder was constructed (its __init__ ran).
template <class T>
bool is_initialised(pybind11::handle obj) {
    namespace py = pybind11;
    if (!obj || !py::isinstance<T>(obj)) return false;
    auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
    const py::detail::value_and_holder v_h =
        inst->get_value_and_holder(py::detail::get_type_info(typeid(T)), false);
    return v_h && v_h.holder_constructed();
}

} // namespace tarvelin

namespace pybind11::detail {

// Loads `self` like the standard conversion, but refuses an object whose
// __init__ never ran with TypeError.
template <class T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        if (!src || !isinstance<T>(src)) return false;
        if (!tarvelin::is_initialised<T>(src))
            throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) +
                             " object is not initialised (its __init__ never ran)");
        return type_caster_base<T>::load(src, convert);
    }
};

} // namespace pybind11::detail
