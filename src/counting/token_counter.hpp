// How many times each distinct token text occurs, counted natively from
// finished batches.
//
// One-byte tokens (spaces, line feeds, ASCII punctuation, one-letter words:
// about half of all tokens) are counted in a table indexed by the byte. Longer
// texts live once each in an arena and are found through an open-addressing
// hash table whose slots hold a text's first bytes, size and count, so that a
// lookup of a short text reads one slot and nothing else. Memory grows with
// the distinct texts only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "counting/count_queue.hpp"
#include "tokens/accept_rule.hpp"
#include "tokens/token.hpp"

namespace tarvelin {

// How far counting of a batch has got: the tokens and text bytes before the
// next one to count. Kept by the caller, so that a batch whose counting ran
// out of memory is finished later without counting any token twice.
struct CountCursor {
    std::uint64_t tokens = 0, bytes = 0;
};

// The text of a finished batch: `tokens` tokens, each followed by a NUL, in
// `bytes` bytes at `text`, which may be read 64 bytes past them (a batch's
// text storage is padded so); `malformed`: a character is not well-formed UTF-8.
struct BatchText {
    const std::uint8_t* text;
    std::uint64_t bytes, tokens;
    bool malformed;
};

class TokenCounter {
  public:
    TokenCounter() = default;
    TokenCounter(const TokenCounter&) = delete;
    TokenCounter& operator=(const TokenCounter&) = delete;
    ~TokenCounter() { clear(); }

    // Counts the tokens of the finished batch from `at` on, advancing it.
    // True once the whole batch is counted (`at` is then at its end); false
    // when memory ran out, with the tokens before `at` counted and the others
    // not: calling again with the same batch and cursor goes on from there.
    bool add_batch(const BatchText& batch, CountCursor& at) noexcept;
    // The whole batch at once (for callers that do not resume).
    bool add_batch(const BatchText& batch) noexcept {
        CountCursor at;
        return add_batch(batch, at);
    }

    // Sizes the table at once for the texts that about `bytes` more input
    // may hold, when there is no table yet, so that it does not grow through
    // every size on the way: a guess of one text in 128 bytes, at most 65,536
    // texts (a table of 4 MiB). Only a hint: nothing happens when the storage
    // cannot be had.
    void expect_input(std::uint64_t bytes) noexcept {
        constexpr std::uint64_t most = 65536;
        const std::uint64_t texts = bytes / 128 < most ? bytes / 128 : most;
        if (slots_ == nullptr && texts > 256) (void)make_room(texts);
    }

    // A sink for the vector kernel to count tokens into (see CountSink), with
    // a batch's accept rule and room for `limit` more of its tokens; room
    // is made for every text the kernel may queue. False when that room
    // cannot be had. The sink lives until take_queued.
    bool open_sink(CountSink& sink, const AcceptRule& rule, std::uint64_t limit) noexcept;
    // Counts the texts the kernel queued in the sink, which it closes.
    void take_queued(const CountSink& sink) noexcept;

    // Calls f(bytes, size, count) once for every distinct text: the one-byte
    // texts first, in byte order, then the others in the order first seen.
    template <class F>
    void for_each(F&& f) const {
        for (std::uint32_t b = 0; b < 0x80; ++b)
            if (byte_counts_[b] != 0) {
                const std::uint8_t text = static_cast<std::uint8_t>(b);
                f(&text, std::size_t{1}, byte_counts_[b]);
            }
        for (std::uint64_t i = 0; i < used_; ++i) {
            // The slots are visited in no order of their own: fetched ahead.
            if (i + 16 < used_) __builtin_prefetch(&slots_[order_[i + 16]]);
            const Slot& s = slots_[order_[i]];
            f(arena_ + (s.where >> SIZE_BITS), static_cast<std::size_t>(s.where & SIZE_MASK),
              s.count);
        }
    }

    // Distinct texts counted so far.
    std::uint64_t distinct() const noexcept;

    // Whether every batch counted so far was well-formed UTF-8, so that
    // every text is.
    bool well_formed() const noexcept { return !malformed_; }

    // Forgets every count and frees the storage.
    void clear() noexcept;

    // Refuses room for more than n texts of two bytes or more, as if memory
    // had run out (for tests of the paths that follow).
    void set_text_limit(std::uint64_t n) noexcept { text_limit_ = n; }

  private:
    // A text's first HEAD_BYTES bytes are kept in its slot, zero-padded:
    // texts that long or shorter compare without reading the arena.
    static constexpr std::uint64_t HEAD_BYTES = 16;
    static constexpr unsigned SIZE_BITS = 16; // a token has at most 513 bytes
    static constexpr std::uint64_t SIZE_MASK = (std::uint64_t{1} << SIZE_BITS) - 1;
    struct Slot {
        std::uint64_t head[2];
        std::uint64_t count;
        std::uint64_t where; // arena offset << SIZE_BITS | size; 0: the slot is free
    };
    static_assert(sizeof(Slot) == COUNT_SLOT_BYTES, "the sink fetches slots of this size");

    static Slot* alloc_table(std::size_t bytes) noexcept;
    static void free_table(Slot* table, std::size_t bytes) noexcept; // table may be null
    // Room for `more` new texts in the table; false when it cannot be had.
    bool make_room(std::uint64_t more) noexcept;
    bool reserve_arena(std::uint64_t bytes) noexcept;
    // Counts n texts of two bytes or more; room for them was made.
    void count(const PendingText* texts, std::size_t n) noexcept;
    // Puts a text not seen before into the free slot s.
    [[gnu::noinline]] void add(Slot& s, const PendingText& t) noexcept;
    std::uint64_t hash_of(const Slot& s) const noexcept;

    std::uint64_t byte_counts_[0x80] = {};
    Slot* slots_ = nullptr;        // a power of two of them, 32-byte aligned
    std::uint64_t slot_mask_ = 0;  // slots - 1 (0 while there is no table)
    std::uint64_t grow_at_ = 0;    // texts the table takes before it grows
    std::uint32_t* order_ = nullptr; // the texts' slots in the order first seen
    std::uint64_t used_ = 0;         // texts in the table
    std::uint8_t* arena_ = nullptr;
    std::uint64_t arena_size_ = 0, arena_capacity_ = 0;
    std::uint64_t text_limit_ = ~std::uint64_t{0};
    bool malformed_ = false;
    PendingText pending_[COUNT_QUEUE]; // the queue of an open sink
    std::uint8_t tail_[COUNT_TAIL_BYTES];
};

} // namespace tarvelin
