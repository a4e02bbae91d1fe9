// Byte source over a file opened for reading in text mode.
//
// Bytes are read ahead in blocks of up to FILE_READ_AHEAD, one system call
// each, instead of one locked library call per byte: every byte is still read
// once, in order, and never more than one block beyond what a batch needs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

namespace tarvelin {

inline constexpr std::size_t FILE_READ_AHEAD = 65536;

struct FileSource {
    std::FILE* file = nullptr; // owned; null when the path could not be opened
    std::size_t pos = 0;       // next unread byte of `ahead`
    std::size_t len = 0;       // bytes held in `ahead`
    bool eof = false;          // the file reported its end (or a read error)
    std::uint8_t ahead[FILE_READ_AHEAD];

    FileSource() = default;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource() {
        if (file != nullptr) std::fclose(file);
    }

    // Opens `path` (size bytes, not NUL-terminated). A path that cannot be
    // opened leaves `file` null. A path holding a NUL byte would name another
    // file if cut there, so it opens nothing. False only when memory for the
    // terminated path cannot be had.
    bool open(const char* path, std::size_t size) noexcept;

    bool is_open() const noexcept { return file != nullptr; }

    // Whether more follows a block is known only when the next read says so.
    static constexpr bool windows_are_final = false;

    std::span<const std::uint8_t> window() noexcept {
        if (pos == len && !eof) refill();
        return {ahead + pos, len - pos};
    }
    void consume(std::size_t n) noexcept { pos += n; }
    bool at_end() const noexcept { return pos == len && (eof || file == nullptr); }

  private:
    void refill() noexcept;
};

} // namespace tarvelin
