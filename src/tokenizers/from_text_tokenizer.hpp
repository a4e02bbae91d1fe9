// Tokenizer over a text held in memory, and its stream.
#pragma once

#include <cstddef>

#include "tokenizers/text_source.hpp"
#include "tokenizers/tokenizer.hpp"

namespace tarvelin {

class FromTextTokenizer : public Tokenizer<TextSource> {
  public:
    FromTextTokenizer() = default;

    // Copies the text and allocates the default batch storage; false when
    // either allocation fails (the object must then not be used).
    bool open(const char* data, std::size_t size) noexcept {
        return source.assign(data, size) && batch.allocate();
    }

    // The same over bytes that stay unchanged while `keeper` holds their
    // owner, without a copy; the keeper is released with the tokenizer.
    bool open_borrowed(const char* data, std::size_t size, TextKeeper keeper) noexcept {
        source.borrow(data, size, keeper);
        return batch.allocate();
    }

    // Bytes of the text.
    std::uint64_t size() const noexcept { return source.text_size; }
};

// A non-owning handle on a tokenizer: all streams of one tokenizer and its own
// get_batch share one reading position. Whoever hands a stream out keeps the
// tokenizer alive for as long as the stream lives.
struct FromTextStream {
    FromTextTokenizer* tokenizer;
};

} // namespace tarvelin
