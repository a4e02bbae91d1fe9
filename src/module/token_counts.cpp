#include "module/token_counts.hpp"

#include <cstring>

#include "text/transcode.hpp"

namespace py = pybind11;

namespace tarvelin {
namespace {

// A str of well-formed UTF-8, made in its final storage width at once: the
// width follows from the largest lead byte, the length from the lead bytes.
// (The general decoder guesses a size, writes, then shrinks the object.)
PyObject* str_of_well_formed(const std::uint8_t* bytes, std::size_t size) {
    std::size_t chars = 0;
    std::uint8_t top = 0;
    for (std::size_t i = 0; i < size; ++i) {
        chars += (bytes[i] & 0xC0) != 0x80;
        top = bytes[i] > top ? bytes[i] : top;
    }
    // Leads up to C3 encode at most U+00FF, up to EF at most U+FFFF.
    const Py_UCS4 max_char = top < 0x80 ? 0x7F : top <= 0xC3 ? 0xFF : top <= 0xEF ? 0xFFFF : 0x10FFFF;
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char);
    if (s == nullptr) return nullptr;
    void* data = PyUnicode_DATA(s);
    // A key is a word or so, too short for the vector transcoders to pay for
    // their set-up: the scalar loop up to SHORT bytes.
    constexpr std::size_t SHORT = 64;
    if (top < 0x80) std::memcpy(data, bytes, size);
    else if (max_char == 0xFF && size <= SHORT)
        short_utf8_to_units(bytes, size, static_cast<std::uint8_t*>(data));
    else if (max_char == 0xFF) utf8_to_ucs1(bytes, size, static_cast<std::uint8_t*>(data));
    else if (max_char == 0xFFFF && size <= SHORT)
        short_utf8_to_units(bytes, size, static_cast<std::uint16_t*>(data));
    else if (max_char == 0xFFFF) utf8_to_ucs2(bytes, size, static_cast<std::uint16_t*>(data));
    else utf8_to_ucs4(bytes, size, static_cast<std::uint32_t*>(data));
    return s;
}

} // namespace

py::dict take_counts(TokenCounter& counter) {
    // Sized for every text at once, so that it never grows while filled.
    auto counts = py::reinterpret_steal<py::dict>(
        _PyDict_NewPresized(static_cast<Py_ssize_t>(counter.distinct())));
    if (!counts) throw py::error_already_set();
    const bool well_formed = counter.well_formed();
    py::object decoding_error;
    bool failed = false;
    counter.for_each([&](const std::uint8_t* bytes, std::size_t size, std::uint64_t count) {
        if (failed) return;
        PyObject* key = well_formed
                            ? str_of_well_formed(bytes, size)
                            : PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes),
                                                   static_cast<Py_ssize_t>(size), "strict");
        if (key == nullptr) {
            if (well_formed || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
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
