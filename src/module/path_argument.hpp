// The path given to FFTokenizer, as the bytes the operating system takes, or
// the file object it reads instead.
//
// Any path Python passes is accepted as open() accepts it: a str (encoded with
// the file system encoding and its error handler, so that every name
// os.listdir returns, undecodable bytes included, opens again), bytes, a
// bytearray (copied, since it may change), or any os.PathLike giving one of
// those. It appears in signatures as `str`, as the standard string conversion
// does. Anything else that has readinto or read is taken as a file object
// (whether it reads bytes is for the tokenizer to check).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "module/file_object.hpp"

namespace tarvelin {

struct PathArgument {
    std::string bytes;
    pybind11::object file; // the file object, null for a path
};

} // namespace tarvelin

namespace pybind11::detail {

template <>
struct type_caster<tarvelin::PathArgument> {
    PYBIND11_TYPE_CASTER(tarvelin::PathArgument, const_name("str"));

    bool load(handle src, bool) {
        if (PyByteArray_Check(src.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(src.ptr()),
                               static_cast<std::size_t>(PyByteArray_GET_SIZE(src.ptr())));
            return true;
        }
        // str, bytes and os.PathLike, else a file object; anything else is refused.
        auto path = reinterpret_steal<object>(PyOS_FSPath(src.ptr()));
        if (!path) {
            PyErr_Clear();
            if (!tarvelin::is_readable_object(src)) return false;
            value.file = reinterpret_borrow<object>(src);
            return true;
        }
        if (PyUnicode_Check(path.ptr())) {
            path = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(path.ptr()));
            if (!path) { // a surrogate that the file system's error handler cannot take
                PyErr_Clear();
                return false;
            }
        }
        value.bytes.assign(PyBytes_AS_STRING(path.ptr()),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
        return true;
    }

    static handle cast(const tarvelin::PathArgument&, return_value_policy, handle) = delete;
};

} // namespace pybind11::detail
