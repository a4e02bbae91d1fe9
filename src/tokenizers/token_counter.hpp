// How many times each distinct token text occurs, counted natively from
// finished batches.
//
// One-byte tokens (spaces, line feeds, ASCII punctuation, one-letter words:
// about half of all tokens) are counted in a table indexed by the byte. Longer
// texts live once each in an arena, found through an open-addressing hash
// table. Memory grows with the distinct texts only; storage for a whole batch
// is reserved before the batch is counted, so counting itself cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tokenizers/batch_buffer.hpp"

namespace tarvelin {

class TokenCounter {
  public:
    TokenCounter() = default;
    TokenCounter(const TokenCounter&) = delete;
    TokenCounter& operator=(const TokenCounter&) = delete;
    ~TokenCounter() { clear(); }

    // Counts every token of the finished batch. False (and nothing counted)
    // when memory for its texts cannot be had.
    bool add_batch(const BatchBuffer& batch) noexcept;

    // Calls f(bytes, size, count) once for every distinct text: the one-byte
    // texts first, in byte order, then the others in the order first seen.
    template <class F>
    void for_each(F&& f) const {
        for (std::uint32_t b = 0; b < 0x80; ++b)
            if (byte_counts_[b] != 0) {
                const std::uint8_t text = static_cast<std::uint8_t>(b);
                f(&text, std::size_t{1}, byte_counts_[b]);
            }
        for (std::uint64_t i = 0; i < entry_count_; ++i) {
            const Entry& e = entries_[i];
            f(arena_ + e.offset, static_cast<std::size_t>(e.size), e.count);
        }
    }

    // Distinct texts counted so far.
    std::uint64_t distinct() const noexcept;

    // Forgets every count and frees the storage.
    void clear() noexcept;

  private:
    // A text's first bytes are kept in its entry too, so that most lookups
    // (tokens are short) compare without reading the arena.
    static constexpr std::size_t INLINE_BYTES = 16;
    struct Entry {
        std::uint64_t count;
        std::uint64_t offset;  // of the text in the arena
        std::uint64_t size;    // bytes
        std::uint64_t head[2]; // the first INLINE_BYTES bytes, zero-padded
    };
    // A text to count: where it is, its size, hash and first bytes.
    struct Text {
        const std::uint8_t* bytes;
        std::uint64_t size, hash, head[2];
    };

    bool reserve(std::uint64_t tokens, std::uint64_t bytes) noexcept;
    // Counts one text of two bytes or more.
    void count(const Text& t) noexcept;

    std::uint64_t byte_counts_[0x80] = {};
    Entry* entries_ = nullptr; // in the order first seen
    std::uint64_t entry_count_ = 0, entry_capacity_ = 0;
    // A power of two of slots, each 0 (free) or the entry's number + 1 in its
    // low half and the upper half of the text's hash in its high half, which
    // settles most mismatches without reading the entry.
    std::uint64_t* index_ = nullptr;
    std::uint64_t index_mask_ = 0;   // slots - 1 (0 while there is no index)
    std::uint8_t* arena_ = nullptr;
    std::uint64_t arena_size_ = 0, arena_capacity_ = 0;
};

} // namespace tarvelin
