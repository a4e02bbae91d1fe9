#include "module/token_counts.hpp"

namespace py = pybind11;

namespace tarvelin {

py::dict take_counts(TokenCounter& counter) {
    py::dict counts;
    py::object decoding_error;
    bool failed = false;
    counter.for_each([&](const std::uint8_t* bytes, std::size_t size, std::uint64_t count) {
        if (failed) return;
        PyObject* key = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes),
                                             static_cast<Py_ssize_t>(size), "strict");
        if (key == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                failed = true; // out of memory: raised below
                return;
            }
            PyObject* error = PyErr_GetRaisedException();
            if (!decoding_error) decoding_error = py::reinterpret_steal<py::object>(error);
            else Py_DECREF(error);
            return;
        }
        auto text = py::reinterpret_steal<py::object>(key);
        auto n = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(count));
        if (!n || PyDict_SetItem(counts.ptr(), text.ptr(), n.ptr()) != 0) failed = true;
    });
    counter.clear();
    if (failed) throw py::error_already_set();
    if (decoding_error) {
        if (PyObject_SetAttrString(decoding_error.ptr(), "counts", counts.ptr()) != 0)
            throw py::error_already_set();
        PyErr_SetRaisedException(decoding_error.release().ptr());
        throw py::error_already_set();
    }
    return counts;
}

} // namespace tarvelin
