// Why a file tokenizer has no file to read, as Python's own files say it.
//
// Batches of such a tokenizer are simply empty; count_tokens, whose answer
// would then be an empty count that looks like an empty file, raises instead:
// the OSError of the failed open (its subclass, errno and filename as open()
// gives them), or ValueError once the tokenizer was closed.
#pragma once

#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "tokenizers/tokenizers.hpp"

namespace tarvelin {

// Raises the OSError for `code` on the file `path` (bytes as the operating
// system takes them, decoded as os.fsdecode does).
[[noreturn]] inline void raise_file_error(std::string_view path, int code) {
    pybind11::object name = pybind11::reinterpret_steal<pybind11::object>(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!name) throw pybind11::error_already_set();
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw pybind11::error_already_set();
}

inline bool path_holds_nul(const FromFileTokenizer& t) noexcept {
    const std::string_view path = t.path();
    return path.find('\0') != std::string_view::npos;
}

// Raises why the tokenizer has no file to read; returns when it has one.
inline void require_input(const FromFileTokenizer& t) {
    if (t.closed()) throw pybind11::value_error("I/O operation on closed file.");
    if (t.is_fopen()) return;
    if (path_holds_nul(t)) throw pybind11::value_error("embedded null byte");
    raise_file_error(t.path(), t.open_error_code());
}

// A text is always there to read.
inline void require_input(const FromTextTokenizer&) noexcept {}

// The state of the file for the repr: "open", "closed", or "not open: " and
// the reason the open failed.
inline std::string file_state(const FromFileTokenizer& t) {
    if (t.closed()) return "closed";
    if (t.is_fopen()) return "open";
    if (path_holds_nul(t)) return "not open: embedded null byte";
    return std::string("not open: ") + std::strerror(t.open_error_code());
}

} // namespace tarvelin
