#include "module/file_object.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace py = pybind11;

namespace tarvelin {

namespace {

const char* const BINARY_MODE =
    "FFTokenizer reads bytes: open the file in binary mode ('rb'), not text mode";

py::object steal_or_raise(PyObject* obj) {
    if (obj == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(obj);
}

py::object method_or_null(py::handle obj, const char* name) {
    if (!py::hasattr(obj, name)) return {};
    py::object method = obj.attr(name);
    return PyCallable_Check(method.ptr()) ? method : py::object();
}

[[noreturn]] void raise_not_ready(const char* method) {
    py::object exc = steal_or_raise(PyObject_CallFunction(
        PyExc_BlockingIOError, "is", EAGAIN,
        (std::string(method) + "() had no bytes ready (a non-blocking file); call again once it "
                               "has some")
            .c_str()));
    PyErr_SetObject(PyExc_BlockingIOError, exc.ptr());
    throw py::error_already_set();
}

// Whether a read that raised `e` ends the input: a failure does, an
// interruption or a non-blocking object with nothing ready does not.
bool ends_input(const py::error_already_set& e) {
    return e.matches(PyExc_Exception) && !e.matches(PyExc_BlockingIOError);
}

} // namespace

// Whether a read that raised `e` refused the method rather than failed.
bool refuses_method(const py::error_already_set& e) {
    return e.matches(PyExc_NotImplementedError) ||
           e.matches(py::module_::import("io").attr("UnsupportedOperation"));
}

bool is_readable_object(py::handle obj) {
    return method_or_null(obj, "readinto") || method_or_null(obj, "read");
}

void FileObjectReader::attach(py::object file) {
    const py::object text_io = py::module_::import("io").attr("TextIOBase");
    if (py::isinstance(file, text_io)) throw py::type_error(BINARY_MODE);
    for (std::size_t i = 0; i < std::size(METHODS); ++i) methods_[i] = method_or_null(file, METHODS[i]);
    use_ = 0;
    while (use_ < std::size(METHODS) && !methods_[use_]) ++use_;
    file_ = std::move(file);
}

void FileObjectReader::read_next(FromFileTokenizer& tokenizer) {
    std::size_t n;
    try {
        n = read_chunk();
    } catch (py::error_already_set& e) {
        if (ends_input(e)) tokenizer.end_input();
        throw;
    } catch (...) { // MemoryError and the like from the binding library
        tokenizer.end_input();
        throw;
    }
    if (n == 0) {
        tokenizer.end_input();
        return;
    }
    tokenizer.feed(reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(chunk_.ptr())), n);
}

std::size_t FileObjectReader::read_chunk() {
    if (!chunk_)
        chunk_ = steal_or_raise(
            PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(FILE_OBJECT_CHUNK)));
    for (;;) {
        if (use_ == std::size(METHODS)) throw py::type_error("the file object has no read method left");
        const py::object& method = methods_[use_];
        try {
            return use_ < READ_INTO ? read_by_readinto(method, METHODS[use_])
                                    : read_by_read(method, METHODS[use_]);
        } catch (py::error_already_set& e) {
            std::size_t next = use_ + 1;
            while (next < std::size(METHODS) && !methods_[next]) ++next;
            if (next == std::size(METHODS) || !refuses_method(e)) throw;
            use_ = next;
        }
    }
}

std::size_t FileObjectReader::read_by_readinto(const py::object& method, const char* name) {
    const py::object view = steal_or_raise(PyMemoryView_FromObject(chunk_.ptr()));
    PyObject* got = PyObject_CallOneArg(method.ptr(), view.ptr());
    // The view is released whatever the call did; a view the reader still
    // exports refuses, which keep_private then sees.
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* released = PyObject_CallMethod(view.ptr(), "release", nullptr);
    Py_XDECREF(released);
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    const py::object result = steal_or_raise(got);
    if (result.is_none()) raise_not_ready(name);
    if (!PyLong_Check(result.ptr()))
        throw py::type_error(std::string(name) + "() returned " +
                             py::repr(result).cast<std::string>() + ", not an int");
    const Py_ssize_t n = PyLong_AsSsize_t(result.ptr());
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (n < 0 || static_cast<std::size_t>(n) > FILE_OBJECT_CHUNK)
        throw py::value_error(std::string(name) + "() returned " + std::to_string(n) +
                              ", outside 0.." + std::to_string(FILE_OBJECT_CHUNK));
    keep_private(static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
}

std::size_t FileObjectReader::read_by_read(const py::object& method, const char* name) {
    const py::object result = steal_or_raise(
        PyObject_CallFunction(method.ptr(), "n", static_cast<Py_ssize_t>(FILE_OBJECT_CHUNK)));
    if (result.is_none()) raise_not_ready(name);
    if (PyUnicode_Check(result.ptr())) throw py::type_error(BINARY_MODE);
    Py_buffer bytes;
    if (PyObject_GetBuffer(result.ptr(), &bytes, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + "() returned " +
                             std::string(Py_TYPE(result.ptr())->tp_name) + ", not bytes");
    }
    const auto n = static_cast<std::size_t>(bytes.len);
    if (n <= FILE_OBJECT_CHUNK && n != 0)
        std::memcpy(PyByteArray_AS_STRING(chunk_.ptr()), bytes.buf, n);
    PyBuffer_Release(&bytes);
    if (n > FILE_OBJECT_CHUNK)
        throw py::value_error(std::string(name) + "() returned " + std::to_string(n) +
                              " bytes, more than the " + std::to_string(FILE_OBJECT_CHUNK) +
                              " asked for");
    return n;
}

// After readinto: the chunk is scanned without the interpreter lock, so no
// Python code may reach it. When the reader kept a reference to it or to a
// view of it (or changed its size), its bytes move to a new chunk.
void FileObjectReader::keep_private(std::size_t n) {
    PyObject* chunk = chunk_.ptr();
    const auto size = static_cast<std::size_t>(PyByteArray_GET_SIZE(chunk));
    if (Py_REFCNT(chunk) == 1 && reinterpret_cast<PyByteArrayObject*>(chunk)->ob_exports == 0 &&
        size == FILE_OBJECT_CHUNK)
        return;
    if (n > size)
        throw py::value_error("readinto() returned " + std::to_string(n) +
                              " after the buffer was shrunk to " + std::to_string(size));
    py::object fresh = steal_or_raise(
        PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(FILE_OBJECT_CHUNK)));
    if (n != 0) std::memcpy(PyByteArray_AS_STRING(fresh.ptr()), PyByteArray_AS_STRING(chunk), n);
    chunk_ = std::move(fresh);
}

} // namespace tarvelin
