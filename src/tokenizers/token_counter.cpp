#include "tokenizers/token_counter.hpp"

#include <cstdlib>
#include <cstring>

#include "classify/utf8_char.hpp"
#include "tokens/token_type.hpp"

namespace tarvelin {
namespace {

// A quick hash of a short byte string: 8-byte words folded by multiplication,
// then mixed so that the low bits (the index) depend on all of them.
std::uint64_t hash_bytes(const std::uint8_t* p, std::uint64_t n) noexcept {
    constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xC2B2AE3D27D4EB4Full;
    std::uint64_t h = n * k2;
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k1;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n != 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, static_cast<std::size_t>(n));
        h = (h ^ w) * k1;
    }
    h ^= h >> 32;
    h *= k2;
    h ^= h >> 29;
    return h;
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
// index at most half full.
bool TokenCounter::reserve(std::uint64_t tokens, std::uint64_t bytes) noexcept {
    if (!grow_block(entries_, entry_capacity_, entry_count_ + tokens)) return false;
    if (!grow_block(arena_, arena_capacity_, arena_size_ + bytes)) return false;
    const std::uint64_t wanted = 2 * (entry_count_ + tokens);
    if (index_ != nullptr && wanted <= index_mask_ + 1) return true;
    std::uint64_t slots = index_mask_ + 1 < 1024 ? 1024 : index_mask_ + 1;
    while (slots < wanted) slots *= 2;
    if (slots > 0xFFFFFFFFull) return false; // entry numbers are 32 bits
    auto* index = static_cast<std::uint32_t*>(std::calloc(slots, sizeof(std::uint32_t)));
    if (index == nullptr) return false;
    const std::uint64_t mask = slots - 1;
    for (std::uint64_t i = 0; i < entry_count_; ++i) {
        std::uint64_t slot = entries_[i].hash & mask;
        while (index[slot] != 0) slot = (slot + 1) & mask;
        index[slot] = static_cast<std::uint32_t>(i + 1);
    }
    std::free(index_);
    index_ = index;
    index_mask_ = mask;
    return true;
}

void TokenCounter::count(const std::uint8_t* text, std::uint64_t size) noexcept {
    if (size == 1) {
        ++byte_counts_[text[0] & 0x7F]; // a one-byte token is an ASCII character
        return;
    }
    const std::uint64_t h = hash_bytes(text, size);
    std::uint64_t slot = h & index_mask_;
    for (;;) {
        const std::uint32_t n = index_[slot];
        if (n == 0) break;
        Entry& e = entries_[n - 1];
        if (e.hash == h && e.size == size && std::memcmp(arena_ + e.offset, text, size) == 0) {
            ++e.count;
            return;
        }
        slot = (slot + 1) & index_mask_;
    }
    std::memcpy(arena_ + arena_size_, text, static_cast<std::size_t>(size));
    entries_[entry_count_] = {h, arena_size_, size, 1};
    index_[slot] = static_cast<std::uint32_t>(++entry_count_);
    arena_size_ += size;
}

// A batch's text is each token followed by a NUL. A word token runs to the
// next NUL; any other token is one character, whose bytes its lead byte
// announces (the batch holds only whole characters), so a U+0000 token reads
// right too.
bool TokenCounter::add_batch(const BatchBuffer& batch) noexcept {
    if (batch.token_count == 0) return true;
    if (!reserve(batch.token_count, batch.text_bytes)) return false;
    const std::uint8_t* p = batch.text_buffer;
    for (std::uint64_t i = 0; i < batch.token_count; ++i) {
        std::uint64_t size;
        if (is_word_type(batch.types_buffer[i])) {
            size = static_cast<std::uint64_t>(
                static_cast<const std::uint8_t*>(std::memchr(p, 0, TOKEN_SLOT_BYTES)) - p);
        } else {
            size = utf8_lead_length(p[0]);
            if (size == 0) size = 1; // never: every character begins with a lead byte
        }
        count(p, size);
        p += size + 1;
    }
    return true;
}

} // namespace tarvelin
