#include "module/workaround_init_once.hpp"

namespace tarvelin {

void own_init_check(pybind11::handle cls) {
    namespace py = pybind11;
    constexpr const char* here = "src/module/workaround_init_once.hpp";
    py::handle function = py::detail::get_function(cls.attr("__init__"));
    if (!function || !PyCFunction_Check(function.ptr()))
        workaround_broken(here, "binds __init__ as a built-in function");
    py::detail::function_record* record =
        py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()));
    if (record == nullptr) workaround_broken(here, "keeps a function record for __init__");
    if (!record->is_constructor)
        workaround_broken(here, "marks __init__ as a constructor (is_constructor)");
    record->is_constructor = false;
}

} // namespace tarvelin
