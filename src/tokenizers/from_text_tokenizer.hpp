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

    // The same over `count` code points stored in units of `unit_size` bytes
    // (1, 2 or 4; no surrogates), read in place; the batches are those of
    // their UTF-8 form.
    bool open_units(const void* data, unsigned unit_size, std::size_t count,
                    TextKeeper keeper) noexcept {
        return source.borrow_units(data, unit_size, count, keeper) && batch.allocate();
    }

    // Bytes of the text (of its UTF-8 form, for units).
    std::uint64_t size() const noexcept { return source.size(); }

    // About how much of the text is left to read: bytes, or for units the
    // units (each at most 4 bytes of UTF-8).
    std::uint64_t in_memory_left() const noexcept { return source.bytes_left(); }
};

// A non-owning handle on a tokenizer: all streams of one tokenizer and its own
// get_batch share one reading position. Whoever hands a stream out keeps the
// tokenizer alive for as long as the stream lives.
struct FromTextStream {
    FromTextTokenizer* tokenizer;
};

} // namespace tarvelin
