// The text given to FTTokenizer: the UTF-8 bytes of a str, or the bytes of a
// bytes or bytearray object, as the binding's standard byte-string conversion
// gives them, together with the object they come from.
//
// A bytes object's contents and an ASCII str's characters (which are their
// own UTF-8 form) never change while the object lives, so the tokenizer can
// read them in place and keep the object alive instead of copying them. Any
// other str is read in place too, from its storage of one, two or four bytes
// a character (`units`), which the tokenizer transcodes to UTF-8 a window at a
// time; a str with a lone surrogate has no UTF-8 form and is refused. A
// bytearray can change or move at any time and is copied.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string_view>

#include "text/transcode.hpp"

namespace tarvelin {

struct TextArgument {
    std::string_view bytes;
    pybind11::object owner; // the object whose bytes these are
    bool immutable = false; // bytes stay valid and unchanged while owner lives
    // A non-ASCII str: its characters in units of unit_size bytes (else 0).
    const void* units = nullptr;
    unsigned unit_size = 0;
    std::size_t unit_count = 0;
};

} // namespace tarvelin

namespace pybind11::detail {

// Accepts exactly what the standard byte-string conversion accepts, and
// appears in signatures as `str`, as that conversion does.
template <>
struct type_caster<tarvelin::TextArgument> {
    PYBIND11_TYPE_CASTER(tarvelin::TextArgument, const_name("str"));

    bool load(handle src, bool convert) {
        if (PyUnicode_Check(src.ptr()) && !PyUnicode_IS_ASCII(src.ptr())) {
            PyObject* s = src.ptr();
            const void* data = PyUnicode_DATA(s);
            const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
            const int kind = PyUnicode_KIND(s);
            // A lone surrogate: not a text this accepts.
            if (kind == PyUnicode_2BYTE_KIND &&
                tarvelin::ucs2_has_surrogate(static_cast<const Py_UCS2*>(data), n))
                return false;
            if (kind == PyUnicode_4BYTE_KIND &&
                tarvelin::ucs4_has_surrogate(static_cast<const Py_UCS4*>(data), n))
                return false;
            value.owner = reinterpret_borrow<object>(src);
            value.units = data;
            value.unit_size = static_cast<unsigned>(kind);
            value.unit_count = n;
            value.immutable = true;
            return true;
        }
        make_caster<std::string_view> text;
        if (!text.load(src, convert)) return false;
        value.bytes = cast_op<std::string_view>(text);
        value.owner = reinterpret_borrow<object>(src);
        value.immutable = !PyByteArray_Check(src.ptr());
        return true;
    }

    static handle cast(const tarvelin::TextArgument&, return_value_policy, handle) = delete;
};

} // namespace pybind11::detail
