// Where the vector kernel puts the tokens it counts instead of appending them
// to a batch: one-byte texts straight into their counters, longer ones hashed
// into a short queue, whose hash table slots are fetched at once, for the
// token counter to look up when the kernel returns.
//
// The hash of a text is defined here, once for the kernel and the counter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvelin {

namespace text_hash {

static_assert(std::endian::native == std::endian::little,
              "the word loads below put a text's first byte in the lowest bits");

__extension__ typedef unsigned __int128 Wide;

inline constexpr std::uint64_t K0 = 0x9E3779B97F4A7C15ull, K1 = 0xC2B2AE3D27D4EB4Full,
                               K2 = 0x165667B19E3779F9ull, K3 = 0xD6E8FEB86659FD93ull;

// The two halves of the full product, folded: every bit of either factor
// reaches the low bits, which pick the slot.
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const Wide r = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load_word(const std::uint8_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// MASKS[n]: the first n (0..16) bytes of two words, the rest zero.
inline constexpr std::uint64_t MASKS[17][2] = {
    {0, 0}, {0xFFull, 0}, {0xFFFFull, 0}, {0xFFFFFFull, 0}, {0xFFFFFFFFull, 0},
    {0xFFFFFFFFFFull, 0}, {0xFFFFFFFFFFFFull, 0}, {0xFFFFFFFFFFFFFFull, 0},
    {~0ull, 0}, {~0ull, 0xFFull}, {~0ull, 0xFFFFull}, {~0ull, 0xFFFFFFull},
    {~0ull, 0xFFFFFFFFull}, {~0ull, 0xFFFFFFFFFFull}, {~0ull, 0xFFFFFFFFFFFFull},
    {~0ull, 0xFFFFFFFFFFFFFFull}, {~0ull, ~0ull}};

// The hash of a text from its first 16 bytes (zero-padded), its size and,
// for longer texts, the bytes after the first 16 at `rest`, which may be read
// up to 16 bytes past the text's end.
inline std::uint64_t hash(std::uint64_t head0, std::uint64_t head1, std::uint64_t size,
                          const std::uint8_t* rest) noexcept {
    std::uint64_t h = mix(head0 ^ K0, head1 ^ K1 ^ (size << 48));
    for (std::uint64_t n = size > 16 ? size - 16 : 0; n > 0; rest += 16) {
        const std::uint64_t take = n < 16 ? n : 16;
        h = mix(h ^ (load_word(rest) & MASKS[take][0]) ^ K2,
                (load_word(rest + 8) & MASKS[take][1]) ^ K3);
        n -= take;
    }
    return h;
}

} // namespace text_hash

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
