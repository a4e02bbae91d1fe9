#include "module/arrow_argument.hpp"

#include <cerrno>
#include <string>

namespace py = pybind11;

namespace tarvelin {

namespace {

// The attribute `name` of obj, or an empty object when it has none or it is
// None (how a class disowns a method it inherits).
py::object optional_attr(py::handle obj, const char* name) {
    PyObject* attr = nullptr;
    if (PyObject_GetOptionalAttrString(obj.ptr(), name, &attr) < 0) throw py::error_already_set();
    auto result = py::reinterpret_steal<py::object>(attr);
    return result.is_none() ? py::object() : result;
}

// The structure a capsule returned by `method` holds; the capsule must bear
// `name`, as the interface fixes for what it holds.
template <class T>
T* capsule_content(py::handle capsule, const char* name, const char* method) {
    if (PyCapsule_IsValid(capsule.ptr(), name))
        return static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
    std::string what = Py_TYPE(capsule.ptr())->tp_name;
    if (PyCapsule_CheckExact(capsule.ptr())) {
        const char* other = PyCapsule_GetName(capsule.ptr());
        what = other != nullptr ? std::string("a PyCapsule named '") + other + "'"
                                : std::string("a PyCapsule without a name");
    }
    throw py::type_error(std::string(method) + "() returned " + what + ", not a PyCapsule named '" +
                         name + "'");
}

[[noreturn]] void raise_with(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw py::error_already_set();
}

// The exception for a failed add_array / add_stream. A stream's failure is
// told by its errno value, as producers use them.
[[noreturn]] void raise_column_error(const StringColumn& column, ColumnStatus status) {
    switch (status) {
    case ColumnStatus::unsupported_type: raise_with(PyExc_TypeError, column.error());
    case ColumnStatus::invalid_array: raise_with(PyExc_ValueError, column.error());
    case ColumnStatus::no_memory: raise_with(PyExc_MemoryError, column.error());
    case ColumnStatus::stream_error:
    case ColumnStatus::ok: break;
    }
    switch (column.stream_code()) {
    case ENOMEM: raise_with(PyExc_MemoryError, column.error());
    case EINVAL: raise_with(PyExc_ValueError, column.error());
    default: raise_with(PyExc_OSError, column.error());
    }
}

} // namespace

std::unique_ptr<StringColumn> arrow_column_of(py::handle obj) {
    const py::object stream_method = optional_attr(obj, "__arrow_c_stream__");
    const py::object array_method =
        stream_method ? py::object() : optional_attr(obj, "__arrow_c_array__");
    if (!stream_method && !array_method) return nullptr;
    auto column = std::make_unique<StringColumn>();
    ColumnStatus status;
    if (stream_method) {
        const py::object capsule = stream_method();
        // add_stream moves the stream out of the capsule, whose destructor
        // then frees only the structure's memory.
        status = column->add_stream(
            capsule_content<ArrowArrayStream>(capsule, "arrow_array_stream", "__arrow_c_stream__"));
    } else {
        const py::object pair = array_method();
        if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
            throw py::type_error(std::string("__arrow_c_array__() returned ") +
                                 Py_TYPE(pair.ptr())->tp_name +
                                 ", not a pair of PyCapsules (schema, array)");
        const py::handle schema = PyTuple_GET_ITEM(pair.ptr(), 0),
                         array = PyTuple_GET_ITEM(pair.ptr(), 1);
        // Both capsules are checked before either structure is taken over.
        auto* schema_struct =
            capsule_content<ArrowSchema>(schema, "arrow_schema", "__arrow_c_array__");
        auto* array_struct = capsule_content<ArrowArray>(array, "arrow_array", "__arrow_c_array__");
        status = column->add_array(schema_struct, array_struct);
    }
    if (status != ColumnStatus::ok) raise_column_error(*column, status);
    return column;
}

} // namespace tarvelin
