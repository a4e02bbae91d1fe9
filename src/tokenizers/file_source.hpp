// Byte source over a file opened for reading in text mode.
//
// Bytes are read ahead in blocks of up to FILE_READ_AHEAD, one system call
// each, instead of one locked library call per byte: every byte is still read
// once, in order, and never more than one block beyond what a batch needs.
//
// A file that can seek is read at the source's own position (pread), never
// through the offset that the open file shares with every copy of its
// descriptor: after a fork, parent and child each go on from where the source
// stood, independently. A pipe, FIFO or terminal has no position of its own;
// its bytes go to whichever process reads them first.
//
// A read may block (a pipe, a terminal): it touches nothing but this source,
// so the caller may run it without holding any lock of its own. A read that
// a signal interrupts gives an empty window that is not the end, so that the
// caller can look at the signal; a read that fails ends the input and keeps
// its errno for the caller to report once.
//
// Fed mode (open_fed) reads no file itself: whoever opened it hands over the
// input one chunk at a time (feed), memory that must stay unchanged until
// the next feed or close, and says where it ends (end_input). An empty window
// that is not the end then means the source wants its next chunk
// (wants_bytes). The binding feeds it from a Python file object, since only
// it may call Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

namespace tarvelin {

inline constexpr std::size_t FILE_READ_AHEAD = 65536;

struct FileSource {
    std::FILE* file = nullptr; // owned; null when the path could not be opened
    std::size_t pos = 0;       // next unread byte of `ahead`
    std::size_t len = 0;       // bytes held in `ahead`
    bool eof = false;          // the file reported its end (or a read error)
    bool error_pending = false; // a read failed and the caller has not been told
    int error = 0;              // errno of the failed read, 0 while none failed
    char* path_copy = nullptr;  // the path as given, NUL-terminated (owned)
    std::size_t path_size = 0;
    std::uint64_t consumed = 0; // bytes of the file read so far
    std::uint64_t offset = 0;   // where the next pread starts (seekable files)
    bool seekable = false;      // read by pread at `offset`, else by read
    bool closed = false;        // close() was called
    bool fed = false;           // open_fed(): the bytes come from feed(), not a file
    const std::uint8_t* fed_bytes = nullptr; // the chunk fed last (not owned)
    int open_error = 0;         // errno of the failed open, 0 when it opened
    std::uint8_t ahead[FILE_READ_AHEAD];

    FileSource() = default;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource();

    // Opens `path` (size bytes, not NUL-terminated) for reading. A path that
    // cannot be opened, and a directory, leave `file` null with the errno in
    // `open_error` (EISDIR for a directory). A path holding a NUL byte would
    // name another file if cut there, so it opens nothing (`open_error`
    // EINVAL). False only when memory for the copy of the path cannot be had.
    bool open(const char* path, std::size_t size) noexcept;

    // Opens the source in fed mode, with no bytes yet and no path.
    void open_fed() noexcept;

    // Fed mode: the next chunk of input, n bytes at `bytes`, read from now on
    // instead of the last one (which must have been consumed).
    void feed(const std::uint8_t* bytes, std::size_t n) noexcept {
        fed_bytes = bytes;
        pos = 0;
        len = n;
    }
    // Fed mode: no bytes follow what was fed.
    void end_input() noexcept { eof = true; }
    // Fed mode: every byte fed was consumed and more may follow.
    bool wants_bytes() const noexcept { return fed && !closed && !eof && pos == len; }

    // Closes the file (the path stays known); the source then gives no more bytes.
    void close() noexcept {
        release();
        closed = true;
    }

    bool is_open() const noexcept { return file != nullptr || (fed && !closed); }
    std::string_view path() const noexcept { return {path_copy, path_size}; }

    // True once after a read failed (its errno stays in `error`).
    bool take_error() noexcept {
        const bool pending = error_pending;
        error_pending = false;
        return pending;
    }

    // Whether more follows a block is known only when the next read says so.
    static constexpr bool windows_are_final = false;

    std::span<const std::uint8_t> window() noexcept {
        if (fed) return {fed_bytes + pos, len - pos};
        if (pos == len && !eof) refill();
        return {ahead + pos, len - pos};
    }
    void consume(std::size_t n) noexcept {
        pos += n;
        consumed += n;
    }
    std::uint64_t position() const noexcept { return consumed; }
    bool at_end() const noexcept { return pos == len && (eof || !is_open()); }
    // About how many bytes are left to read: from the size of a regular
    // file, 0 when it is not known.
    std::uint64_t bytes_left() const noexcept;

  private:
    void release() noexcept;
    void refill() noexcept;
    std::ptrdiff_t read_block() noexcept;
};

} // namespace tarvelin
