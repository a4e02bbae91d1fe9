// The text given to FTTokenizer: the UTF-8 bytes of a str, or the bytes of a
// bytes or bytearray object, as the binding's standard byte-string conversion
// gives them, together with the object they come from.
//
// A bytes object's contents and an ASCII str's characters (which are their
// own UTF-8 form) never change while the object lives, so the tokenizer can
// read them in place and keep the object alive instead of copying them. Any
// other str is encoded once into a new bytes object that the tokenizer keeps
// (rather than into the UTF-8 form that a str caches for as long as it lives).
// A bytearray can change or move at any time and is copied.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

namespace tarvelin {

struct TextArgument {
    std::string_view bytes;
    pybind11::object owner; // the object whose bytes these are
    bool immutable = false; // bytes stay valid and unchanged while owner lives
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
            PyObject* encoded = PyUnicode_AsUTF8String(src.ptr());
            if (encoded == nullptr) { // a lone surrogate: not a text this accepts
                PyErr_Clear();
                return false;
            }
            value.owner = reinterpret_steal<object>(encoded);
            value.bytes = {PyBytes_AS_STRING(encoded),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))};
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
