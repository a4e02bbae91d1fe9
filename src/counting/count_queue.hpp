// Where the vector kernel puts the tokens it counts instead of appending them
// to a batch: one-byte texts straight into their counters, longer ones hashed
// into a short queue, whose hash table slots are fetched at once, for the
// token counter to look up when the kernel returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "counting/text_hash.hpp"

namespace tarvelin {

// A text of two bytes or more, waiting to be counted: where it is (16 bytes
// past its end may be read there), its size, hash and first 16 bytes.
struct PendingText {
    const std::uint8_t* bytes;
    std::uint64_t size, hash, head[2];
};

// Sets t to the text of `size` bytes at `bytes`, 16 of which may be read
// past its end: its first 16 bytes (zero-padded) and its hash.
[[gnu::always_inline]] inline void set_pending(PendingText& t, const std::uint8_t* bytes,
                                               std::uint64_t size) noexcept {
    using namespace text_hash;
    t.bytes = bytes;
    t.size = size;
    const std::uint64_t* keep = MASKS[size < 16 ? size : 16];
    t.head[0] = load_word(bytes) & keep[0];
    t.head[1] = load_word(bytes + 8) & keep[1];
    t.hash = hash(t.head[0], t.head[1], size, bytes + 16);
}

// Bytes of a hash table slot, whose address the sink fetches ahead.
inline constexpr std::size_t COUNT_SLOT_BYTES = 32;
// Texts the kernel may queue before the counter must take them, and the most
// it queues beyond COUNT_QUEUE_AT (a block of 64 bytes holds at most 64 tokens).
// A long queue lets the kernel stop for the counter rarely, and gives the
// slots fetched ahead time to arrive; its slots' lines still fit in the
// first-level cache.
inline constexpr std::size_t COUNT_QUEUE_AT = 256;
inline constexpr std::size_t COUNT_QUEUE = COUNT_QUEUE_AT + 64;
// Room for copies of texts too close to the end of the input for 16 bytes
// past them to be read: those of the input's last 80 bytes, padded.
inline constexpr std::size_t COUNT_TAIL_BYTES = 256;

// The counting state the kernel works on, made by the token counter for one
// kernel call and taken back by it afterwards. The accept rule is a batch's;
// `kept` counts the tokens that passed it, up to `limit` (the room left in
// the batch the tokens stand for).
struct CountSink {
    std::uint64_t* byte_counts;  // [0x80]: the counts of the one-byte texts
    PendingText* pending;        // [COUNT_QUEUE]
    std::size_t queued;
    const std::uint8_t* slots;   // the hash table, whose slot hash & slot_mask is fetched
    std::uint64_t slot_mask;
    std::uint8_t* tail;          // [COUNT_TAIL_BYTES]
    std::size_t tail_used;
    std::uint64_t kept, limit;
    std::uint64_t filter, min_len, max_len;
    std::uint64_t chars; // characters of the bytes the kernel settled, passing or not
};

// Whether the kernel must stop for the counter: the batch the tokens stand
// for is full, or a block's tokens might not fit in the queue.
inline bool count_sink_full(const CountSink& s) noexcept {
    return s.kept >= s.limit || s.queued > COUNT_QUEUE_AT;
}

// Queues a text of two bytes or more at `bytes`, from which `readable` bytes
// may be read, with its slot fetched ahead. A text that lacks 16 readable
// bytes after it is copied to the tail first.
[[gnu::always_inline]] inline void count_queue_text(CountSink& s, const std::uint8_t* bytes,
                                                    std::size_t readable,
                                                    std::size_t size) noexcept {
    if (readable < size + 16) [[unlikely]] {
        std::uint8_t* copy = s.tail + s.tail_used;
        std::memcpy(copy, bytes, size);
        std::memset(copy + size, 0, 16);
        s.tail_used += size;
        bytes = copy;
    }
    PendingText& t = s.pending[s.queued++];
    set_pending(t, bytes, size);
    __builtin_prefetch(s.slots + (t.hash & s.slot_mask) * COUNT_SLOT_BYTES);
}

// Counts a token of well-formed text: `size` bytes at `bytes` (readable as
// for count_queue_text), `chars` characters; `kind_passes`: the filter takes
// its kind. Only while !count_sink_full.
[[gnu::always_inline]] inline void count_put(CountSink& s, const std::uint8_t* bytes,
                                                   std::size_t readable, std::size_t size,
                                                   std::uint64_t chars,
                                                   bool kind_passes) noexcept {
    if (!kind_passes || chars < s.min_len || chars > s.max_len) return;
    ++s.kept;
    if (size == 1) ++s.byte_counts[bytes[0] & 0x7F];
    else count_queue_text(s, bytes, readable, size);
}

} // namespace tarvelin
