#include "module/workaround_base_new.hpp"

#include <exception>

#include "module/workaround_checked.hpp"

namespace tarvelin {
namespace {

newfunc unguarded_base_new = nullptr;

PyObject* guarded_base_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return unguarded_base_new(type, args, kwargs);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_TypeError, "cannot create an instance of this type");
    }
    return nullptr;
}

} // namespace

constexpr const char* here = "src/module/workaround_base_new.hpp";

void guard_base_constructor() {
    auto* base = reinterpret_cast<PyTypeObject*>(pybind11::detail::get_internals().instance_base);
    if (base == nullptr || base->tp_new == nullptr)
        workaround_broken(here, "gives its base type a tp_new");
    if (base->tp_new == &guarded_base_new) return;
    unguarded_base_new = base->tp_new;
    base->tp_new = &guarded_base_new;
    PyType_Modified(base);
}

void check_base_constructor_guarded(pybind11::handle bound) {
    auto* type = reinterpret_cast<PyTypeObject*>(bound.ptr());
    auto* base = reinterpret_cast<PyTypeObject*>(pybind11::detail::get_internals().instance_base);
    if (!PyType_IsSubtype(type, base))
        workaround_broken(here, "derives every bound class from internals::instance_base");
    if (type->tp_new != &guarded_base_new)
        workaround_broken(here, "lets a bound class inherit its base's tp_new");
}

} // namespace tarvelin
