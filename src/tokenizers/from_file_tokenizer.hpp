// Tokenizer over a file, read lazily as batches need it, and its stream.
#pragma once

#include <cstddef>

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

    // Whether the file was opened; stays true after its end.
    bool is_fopen() const noexcept { return source.is_open(); }
};

// A non-owning handle on a tokenizer; see FromTextStream.
struct FromFileStream {
    FromFileTokenizer* tokenizer;
};

} // namespace tarvelin
