// The text given to FTTokenizer: the UTF-8 bytes of a str, or the bytes of a
// bytes or bytearray object, as the binding's standard byte-string conversion
// gives them, together with the object they come from.
//
// A str's UTF-8 form and a bytes object's contents never change while the
// object lives, so the tokenizer can read them in place and keep the object
// alive instead of copying them. A bytearray can change or move at any time
// and is copied.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

namespace tarvelin {

struct TextArgument {
    std::string_view bytes;
    pybind11::object owner; // the str, bytes or bytearray object
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
