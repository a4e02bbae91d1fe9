// Tokenizer over a file, read lazily as batches need it, and its stream.
// The file is a path it opens itself, or input fed to it a chunk at a time
// (open_fed; the binding reads a Python file object into it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tokenizers/file_source.hpp"
#include "tokenizers/tokenizer.hpp"

namespace tarvelin {

class FromFileTokenizer : public Tokenizer<FileSource> {
  public:
    FromFileTokenizer() = default;

    // Opens the file (a failure to open is not an error: is_fopen() says it)
    // and allocates the default batch storage; false when memory runs out.
    bool open(const char* path, std::size_t size) noexcept {
        return source.open(path, size) && batch.allocate();
    }

    // Opens in fed mode (see FileSource) and allocates the default batch
    // storage; false when memory runs out.
    bool open_fed() noexcept {
        source.open_fed();
        return batch.allocate();
    }
    bool is_fed() const noexcept { return source.fed; }
    // Fed mode: whether every byte fed was read and more may follow.
    bool wants_bytes() const noexcept { return source.wants_bytes(); }
    // Fed mode: the next chunk (unchanged until the next feed or close).
    void feed(const std::uint8_t* bytes, std::size_t n) noexcept { source.feed(bytes, n); }
    // Fed mode: the input has ended (after its last chunk, or a failed read).
    void end_input() noexcept { source.end_input(); }

    // Whether the file was opened; stays true after its end.
    bool is_fopen() const noexcept { return source.is_open(); }

    // Closes the file: from now on the input has ended, and batches are
    // empty (what the assembler still held is dropped with it).
    void close() noexcept {
        source.close();
        if (TokenAssembler* const a = assembler.made()) a->reset(0);
        utf8_char = Utf8Char{};
        mode.replacer = Utf8Replacing{};
        mode.use_assembler = false;
        mode.batch_open = false;
        drain_steps = DRAIN_STEPS;
        batch.begin_batch();
    }

    // The path as given to open().
    std::string_view path() const noexcept { return source.path(); }

    // The errno of the read that failed (read_some said read_error), else 0.
    int read_error_code() const noexcept { return source.error; }

    // The errno of the open that failed (EINVAL for a path holding NUL), 0
    // when the file opened.
    int open_error_code() const noexcept { return source.open_error; }

    // Whether close() was called.
    bool closed() const noexcept { return source.closed; }
};

// A non-owning handle on a tokenizer; see FromTextStream.
struct FromFileStream {
    FromFileTokenizer* tokenizer;
};

} // namespace tarvelin
