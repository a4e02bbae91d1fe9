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
// instance::get_value_and_holder(type, false), holder_constructed() and
// value_ptr(), and on type_caster_base's `value` being what its load sets.
// The Python suite calls every method on such an object.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

#include "module/workaround_checked.hpp"

namespace tarvelin {

// The library's record of the bound class T, looked up once: every call of a
// method converts `self`, and the library's lookup (a locked table search)
// costs as much as a short text's tokenizing. Registered types stay for the
// life of the module. Called with the interpreter lock held.
template <class T>
pybind11::detail::type_info* registered_type() {
    static pybind11::detail::type_info* info = nullptr;
    if (info == nullptr) info = pybind11::detail::get_type_info(typeid(T));
    return info;
}

// Whether `obj` is a T (or of a subclass), as the library's isinstance says.
template <class T>
bool is_bound_instance(pybind11::handle obj) {
    pybind11::detail::type_info* info = registered_type<T>();
    return obj && info != nullptr && PyObject_TypeCheck(obj.ptr(), info->type);
}

// The value and holder of a T in `obj`, which must be one (is_bound_instance).
template <class T>
pybind11::detail::value_and_holder value_and_holder_of(pybind11::handle obj) {
    auto* inst = reinterpret_cast<pybind11::detail::instance*>(obj.ptr());
    return inst->get_value_and_holder(registered_type<T>(), false);
}

// Whether `obj` is a T whose holder was constructed (its __init__ ran).
template <class T>
bool is_initialised(pybind11::handle obj) {
    if (!is_bound_instance<T>(obj)) return false;
    const pybind11::detail::value_and_holder v_h = value_and_holder_of<T>(obj);
    return v_h && v_h.holder_constructed();
}

} // namespace tarvelin

namespace pybind11::detail {

// Loads `self` as the standard conversion does for a class of one base (its
// value in the holder's instance), but refuses an object whose __init__ never
// ran with TypeError.
template <class T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool) {
        if (!tarvelin::is_bound_instance<T>(src)) return false;
        const value_and_holder v_h = tarvelin::value_and_holder_of<T>(src);
        if (!v_h || !v_h.holder_constructed())
            throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) +
                             " object is not initialised (its __init__ never ran)");
        this->value = v_h.value_ptr();
        return true;
    }
};

} // namespace pybind11::detail
