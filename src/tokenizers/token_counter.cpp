#include "tokenizers/token_counter.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>


namespace tarvelin {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the word-at-a-time scan below finds the first byte in the lowest bits");

constexpr std::uint64_t K1 = 0x9E3779B97F4A7C15ull, K2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t LOW_BITS = 0x0101010101010101ull, HIGH_BITS = 0x8080808080808080ull;

// The hash of a text read as 8-byte words, the last one zero-padded: each
// word folded in by multiplication, the size last, then mixed so that the
// low bits (the index) depend on all of it. Texts are short, so this is a
// few multiplications.
constexpr std::uint64_t fold(std::uint64_t h, std::uint64_t w) noexcept {
    h = (h ^ w) * K1;
    return h ^ (h >> 29);
}

constexpr std::uint64_t finish_hash(std::uint64_t h, std::uint64_t size) noexcept {
    h = (h ^ size) * K2;
    h ^= h >> 32;
    h *= K1;
    return h ^ (h >> 29);
}

std::uint64_t load_word(const std::uint8_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The first `n` (0..7) bytes of a word, the rest zero.
constexpr std::uint64_t keep_bytes(std::uint64_t w, unsigned n) noexcept {
    return n == 0 ? 0 : w & (~std::uint64_t{0} >> (64 - 8 * n));
}

// The hash of `size` bytes at p (with their first bytes): as the batch scan
// computes it, for texts already in the arena.
std::uint64_t hash_bytes(const std::uint8_t* p, std::uint64_t size) noexcept {
    std::uint64_t h = 0, n = size;
    for (; n >= 8; n -= 8, p += 8) h = fold(h, load_word(p));
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, static_cast<std::size_t>(n));
    return finish_hash(fold(h, tail), size);
}

template <class T>
bool grow_block(T*& block, std::uint64_t& capacity, std::uint64_t needed) noexcept {
    if (needed <= capacity) return true;
    std::uint64_t size = capacity < 64 ? 64 : capacity;
    while (size < needed) size *= 2;
    if (size > ~std::uint64_t{0} / sizeof(T)) return false;
    auto* grown = static_cast<T*>(std::realloc(block, size * sizeof(T)));
    if (grown == nullptr) return false;
    block = grown;
    capacity = size;
    return true;
}

} // namespace

std::uint64_t TokenCounter::distinct() const noexcept {
    std::uint64_t n = entry_count_;
    for (std::uint64_t c : byte_counts_) n += c != 0;
    return n;
}

void TokenCounter::clear() noexcept {
    std::free(entries_);
    std::free(index_);
    std::free(arena_);
    entries_ = nullptr;
    index_ = nullptr;
    arena_ = nullptr;
    entry_count_ = entry_capacity_ = index_mask_ = arena_size_ = arena_capacity_ = 0;
    std::memset(byte_counts_, 0, sizeof byte_counts_);
}

// Room for `tokens` more distinct texts of `bytes` bytes in all, with the
// index at most two thirds full.
bool TokenCounter::reserve(std::uint64_t tokens, std::uint64_t bytes) noexcept {
    if (!grow_block(entries_, entry_capacity_, entry_count_ + tokens)) return false;
    if (!grow_block(arena_, arena_capacity_, arena_size_ + bytes)) return false;
    const std::uint64_t wanted = (entry_count_ + tokens) * 3 / 2 + 1;
    if (index_ != nullptr && wanted <= index_mask_ + 1) return true;
    std::uint64_t slots = index_mask_ + 1 < 1024 ? 1024 : index_mask_ + 1;
    while (slots < wanted) slots *= 2;
    if (entry_count_ + tokens > 0xFFFFFFFFull) return false; // entry numbers are 32 bits
    auto* index = static_cast<std::uint64_t*>(std::calloc(slots, sizeof(std::uint64_t)));
    if (index == nullptr) return false;
    const std::uint64_t mask = slots - 1;
    for (std::uint64_t i = 0; i < entry_count_; ++i) {
        const std::uint64_t h = hash_bytes(arena_ + entries_[i].offset, entries_[i].size);
        std::uint64_t slot = h & mask;
        while (index[slot] != 0) slot = (slot + 1) & mask;
        index[slot] = (h & ~0xFFFFFFFFull) | (i + 1);
    }
    std::free(index_);
    index_ = index;
    index_mask_ = mask;
    return true;
}

void TokenCounter::count(const Text& t) noexcept {
    const std::uint64_t tag = t.hash & ~0xFFFFFFFFull;
    std::uint64_t slot = t.hash & index_mask_;
    for (;;) {
        const std::uint64_t v = index_[slot];
        if (v == 0) break;
        if ((v & ~0xFFFFFFFFull) == tag) {
            Entry& e = entries_[(v & 0xFFFFFFFFull) - 1];
            if (e.size == t.size && e.head[0] == t.head[0] && e.head[1] == t.head[1] &&
                (t.size <= INLINE_BYTES ||
                 std::memcmp(arena_ + e.offset + INLINE_BYTES, t.bytes + INLINE_BYTES,
                             static_cast<std::size_t>(t.size - INLINE_BYTES)) == 0)) {
                ++e.count;
                return;
            }
        }
        slot = (slot + 1) & index_mask_;
    }
    const std::uint8_t* text = t.bytes;
    const std::uint64_t size = t.size;
    std::memcpy(arena_ + arena_size_, text, static_cast<std::size_t>(size));
    Entry& e = entries_[entry_count_];
    e.count = 1;
    e.offset = arena_size_;
    e.size = size;
    e.head[0] = t.head[0];
    e.head[1] = t.head[1];
    index_[slot] = tag | ++entry_count_;
    arena_size_ += size;
}

// A batch's text is each token followed by a NUL, and no token holds a NUL
// but the U+0000 token, which is one byte: so a token is one byte when a NUL
// follows its first byte, and otherwise runs to the next NUL. Its bytes are
// read eight at a time, finding that NUL, hashing and taking the first bytes
// in one pass (the text storage is padded, so a word read past the end stays
// inside it).
//
// Most lookups miss the caches (the index and the entries of a large
// vocabulary do not fit), so they are pipelined: a token's index slot is
// fetched ahead when it is met, its entry a few tokens later, and it is
// counted a few tokens after that, by then usually from the cache. The
// fetches are only hints; counting reads everything afresh.
bool TokenCounter::add_batch(const BatchBuffer& batch) noexcept {
    if (batch.token_count == 0) return true;
    if (!reserve(batch.token_count, batch.text_bytes)) return false;
    constexpr std::uint64_t DEPTH = 16, HALF = DEPTH / 2; // a power of two
    Text ring[DEPTH];
    std::uint64_t queued = 0, counted = 0;
    const std::uint8_t* p = batch.text_buffer;
    for (std::uint64_t i = 0; i < batch.token_count; ++i) {
        if (p[1] == 0) {
            ++byte_counts_[p[0] & 0x7F]; // a one-byte token is an ASCII character
            p += 2;
            continue;
        }
        // Each field is stored once, into the text's place in the ring: a
        // record built elsewhere and copied in whole would be read back
        // before its stores were done, which stalls.
        if (queued - counted == DEPTH) count(ring[counted++ % DEPTH]);
        std::uint64_t size = 0, h = 0, head[2] = {0, 0};
        for (unsigned word = 0;; ++word) {
            const std::uint64_t w = load_word(p + size);
            const std::uint64_t zeros = (w - LOW_BITS) & ~w & HIGH_BITS;
            if (zeros == 0) {
                if (word < 2) head[word] = w;
                h = fold(h, w);
                size += 8;
                continue;
            }
            const unsigned n = static_cast<unsigned>(__builtin_ctzll(zeros)) / 8;
            const std::uint64_t tail = keep_bytes(w, n);
            if (word < 2) head[word] = tail;
            size += n;
            h = finish_hash(fold(h, tail), size);
            break;
        }
        Text& t = ring[queued++ % DEPTH];
        t.bytes = p;
        t.size = size;
        t.hash = h;
        t.head[0] = head[0];
        t.head[1] = head[1];
        __builtin_prefetch(&index_[t.hash & index_mask_]);
        if (queued - counted > HALF) {
            const std::uint64_t v = index_[ring[(queued - HALF - 1) % DEPTH].hash & index_mask_];
            if (v != 0) __builtin_prefetch(&entries_[(v & 0xFFFFFFFFull) - 1]);
        }
        p += t.size + 1;
    }
    while (counted < queued) count(ring[counted++ % DEPTH]);
    return true;
}

} // namespace tarvelin
