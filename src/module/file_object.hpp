// A binary file object read into an FFTokenizer, a chunk at a time.
//
// The chunk is read with the interpreter lock held, through the object's
// readinto1, readinto, read1 or read, the first it has: the "1" forms make one
// read of the stream beneath, so that a pipe or socket gives what it has
// instead of waiting for a whole chunk, as a path's FIFO does. A method that
// raises io.UnsupportedOperation or NotImplementedError (a stream class that
// defines read alone inherits readinto1 and read1 that refuse) gives way to
// the next one for good. Python's own
// readers release the lock while they block or decompress. The tokenizer
// then scans the chunk without the lock, so the chunk must be memory no
// Python code can reach: it is a
// bytearray of our own, lent to readinto as a memoryview that is released
// when the call returns. A reader that kept a way to it (the view, a slice of
// it, the bytearray itself) leaves it to the reader: its bytes are copied
// into a new buffer first.
//
// The object is never closed here; whoever gave it owns it.
//
// A read that raises passes its exception on. An Exception ends the input
// (the file failed), so that the next call drains what was read before it
// and nothing raises forever; an interruption (KeyboardInterrupt and other
// exceptions that are not an Exception, or BlockingIOError) leaves the input
// open and the next call reads again. readinto or read returning None (a
// non-blocking object with no bytes ready) raises BlockingIOError in the same
// way, so that the caller can wait for the object and call again.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <iterator>

#include "tokenizers/tokenizers.hpp"

namespace tarvelin {

// Bytes asked of the file object in one read.
inline constexpr std::size_t FILE_OBJECT_CHUNK = std::size_t{1} << 20;

// Whether `obj` can be read as a file object (it has readinto or read).
bool is_readable_object(pybind11::handle obj);

class FileObjectReader {
  public:
    // Takes the object to read; TypeError when it is open in text mode.
    void attach(pybind11::object file);
    bool attached() const noexcept { return static_cast<bool>(file_); }
    const pybind11::object& file() const noexcept { return file_; }

    // Reads the next chunk (the interpreter lock held) and feeds it to
    // `tokenizer`, or ends its input at the object's end; a failed read
    // raises as the header says.
    void read_next(FromFileTokenizer& tokenizer);

    // Drops the chunk (when the tokenizer stops reading).
    void release_buffer() noexcept { chunk_ = pybind11::object(); }

    // Visits the object and its methods (for the cyclic collector).
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(file_.ptr());
        for (const pybind11::object& method : methods_) Py_VISIT(method.ptr());
        return 0;
    }
    // Drops the object and its methods (for the cyclic collector); a read
    // then raises TypeError.
    void detach() noexcept {
        for (pybind11::object& method : methods_) method = pybind11::object();
        file_ = pybind11::object();
    }

  private:
    std::size_t read_chunk();
    std::size_t read_by_readinto(const pybind11::object& method, const char* name);
    std::size_t read_by_read(const pybind11::object& method, const char* name);
    void keep_private(std::size_t n);

    // The reading methods, in the order they are tried; null when absent.
    static constexpr const char* METHODS[] = {"readinto1", "readinto", "read1", "read"};
    static constexpr std::size_t READ_INTO = 2; // methods before this one fill a buffer

    pybind11::object file_;
    pybind11::object methods_[std::size(METHODS)];
    std::size_t use_ = 0; // the method in use
    pybind11::object chunk_; // bytearray of FILE_OBJECT_CHUNK bytes, ours alone between reads
};

} // namespace tarvelin
