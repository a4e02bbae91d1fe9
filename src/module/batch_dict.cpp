#include "module/batch_dict.hpp"

#include <pybind11/numpy.h>

#include <cstring>

#include "tokens/scan_kernel.hpp"

namespace py = pybind11;

namespace tarvelin {
namespace {

[[noreturn]] void raise_string_failure() {
    if (PyErr_Occurred()) throw py::error_already_set(); // e.g. UnicodeDecodeError
    throw std::runtime_error("Could not allocate string object!");
}

py::str new_str(const char* data, std::uint64_t size) {
    PyObject* s = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
    if (s == nullptr) raise_string_failure();
    return py::reinterpret_steal<py::str>(s);
}

// The batch's text as a str, written once in its final storage width:
// copied when it is ASCII, else transcoded from the UTF-8 bytes. A batch with
// a malformed character is decoded strictly, which raises the decoding error.
py::str batch_text(const BatchBuffer& batch) {
    if (batch.malformed)
        return new_str(reinterpret_cast<const char*>(batch.text_buffer), batch.text_bytes);
    // char_bits lies in the storage class of the largest character.
    const Py_UCS4 max_char = batch.char_bits < 0x10FFFFu ? batch.char_bits : 0x10FFFFu;
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(batch.text_chars), max_char);
    if (s == nullptr) raise_string_failure();
    void* data = PyUnicode_DATA(s);
    const std::uint8_t* text = batch.text_buffer;
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        if (max_char < 0x80u) std::memcpy(data, text, batch.text_bytes);
        else utf8_to_ucs1(text, batch.text_bytes, static_cast<std::uint8_t*>(data));
        break;
    case PyUnicode_2BYTE_KIND:
        utf8_to_ucs2(text, batch.text_bytes, static_cast<std::uint16_t*>(data));
        break;
    default: utf8_to_ucs4(text, batch.text_bytes, static_cast<std::uint32_t*>(data)); break;
    }
    return py::reinterpret_steal<py::str>(s);
}

} // namespace

py::dict batch_to_dict(const BatchBuffer& batch, py::handle owner) {
    PyObject* raw = PyDict_New();
    if (raw == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    auto result = py::reinterpret_steal<py::dict>(raw);
    if (batch.token_count == 0) return result;

    py::str text = batch_text(batch);
    py::str text_key = new_str("text", 4);
    if (PyDict_SetItem(result.ptr(), text_key.ptr(), text.ptr()) != 0) throw py::error_already_set();

    // Not owning the data, writable, and holding a reference to `owner`.
    py::array_t<std::uint64_t> types({static_cast<py::ssize_t>(batch.token_count)},
                                     {static_cast<py::ssize_t>(sizeof(std::uint64_t))},
                                     batch.types_buffer, owner);
    py::str types_key = new_str("types", 5);
    if (PyDict_SetItem(result.ptr(), types_key.ptr(), types.ptr()) != 0) throw py::error_already_set();
    return result;
}

} // namespace tarvelin
