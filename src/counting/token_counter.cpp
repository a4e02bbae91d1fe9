#include "counting/token_counter.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarvelin {
namespace {

static_assert(TOKEN_MAX_CHARS * 4 < (1u << 16), "a token's size fits the slot's size field");

using text_hash::load_word;
using text_hash::MASKS;

// The set bits of x. Without a population count instruction in the build's
// baseline the library call would cost more than these few steps.
inline std::uint64_t count_bits(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || defined(__aarch64__)
    return static_cast<std::uint64_t>(std::popcount(x));
#else
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (x * 0x0101010101010101ull) >> 56;
#endif
}

// Bit i set where the byte p[i] (of 64) is `c`.
inline std::uint64_t bytes_equal(const std::uint8_t* p, std::uint8_t c) noexcept {
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi8(static_cast<char>(c));
    std::uint64_t m = 0;
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, want)));
        m |= static_cast<std::uint64_t>(bits) << (16 * i);
    }
    return m;
#else
    constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t spread = 0x0101010101010101ull * c;
    std::uint64_t m = 0;
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint64_t w = load_word(p + 8 * i) ^ spread;
        // 0x80 exactly in the zero bytes, then one bit a byte, in order.
        const std::uint64_t z = ~(((w & LOW7) + LOW7) | w | LOW7);
        m |= (((z >> 7) * 0x0102040810204080ull) >> 56) << (8 * i);
    }
    return m;
#endif
}

// Whether the n bytes at a and b are the same, compared a word at a time
// (texts are short: a library call would cost more than the comparison).
// Both may be read up to 7 bytes past their end.
inline bool same_tail(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n) noexcept {
    for (; n > 8; n -= 8, a += 8, b += 8)
        if (load_word(a) != load_word(b)) return false;
    return ((load_word(a) ^ load_word(b)) & MASKS[n][0]) == 0;
}

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

} // namespace

// Zeroed storage for a table. Lookups land anywhere in it, so a large one is
// mapped on its own, aligned to huge pages and asked for in them where the
// system has them: with small pages nearly every lookup in it would also miss
// the address translation cache. (Fresh mappings are zeroed already, and
// keep the allocator's own sizing out of it.)
TokenCounter::Slot* TokenCounter::alloc_table(std::size_t bytes) noexcept {
#if defined(__linux__)
    if (bytes >= HUGE_PAGE) {
        void* p = mmap(nullptr, bytes + HUGE_PAGE, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        const auto start = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(std::uintptr_t{HUGE_PAGE} - 1);
        if (aligned > start) munmap(p, aligned - start);
        const std::uintptr_t after = aligned + bytes, end = start + bytes + HUGE_PAGE;
        if (end > after) munmap(reinterpret_cast<void*>(after), end - after);
#if defined(MADV_HUGEPAGE)
        madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE); // a hint
#endif
        return reinterpret_cast<Slot*>(aligned);
    }
#endif
    void* p = std::aligned_alloc(64, bytes);
    if (p == nullptr) return nullptr;
    std::memset(p, 0, bytes);
    return static_cast<Slot*>(p);
}

void TokenCounter::free_table(Slot* table, std::size_t bytes) noexcept {
#if defined(__linux__)
    if (table != nullptr && bytes >= HUGE_PAGE) {
        munmap(table, bytes);
        return;
    }
#endif
    std::free(table);
}

std::uint64_t TokenCounter::distinct() const noexcept {
    std::uint64_t n = used_;
    for (std::uint64_t c : byte_counts_) n += c != 0;
    return n;
}

void TokenCounter::clear() noexcept {
    free_table(slots_, (slot_mask_ + 1) * sizeof(Slot));
    std::free(order_);
    std::free(arena_);
    slots_ = nullptr;
    order_ = nullptr;
    arena_ = nullptr;
    slot_mask_ = grow_at_ = used_ = arena_size_ = arena_capacity_ = 0;
    malformed_ = false;
    std::memset(byte_counts_, 0, sizeof byte_counts_);
}

std::uint64_t TokenCounter::hash_of(const Slot& s) const noexcept {
    return text_hash::hash(s.head[0], s.head[1], s.where & SIZE_MASK,
                           arena_ + (s.where >> SIZE_BITS) + HEAD_BYTES);
}

// The table at most three quarters full with `more` texts added: when it is
// not, a table twice as large (or the first one) with every text moved over,
// in the order first seen.
bool TokenCounter::make_room(std::uint64_t more) noexcept {
    if (used_ + more <= grow_at_) return true;
    if (used_ + more > text_limit_) return false;
    std::uint64_t slots = slots_ == nullptr ? 256 : (slot_mask_ + 1) * 2;
    while ((used_ + more) * 4 > slots * 3) slots *= 2;
    if (slots > (std::uint64_t{1} << 32)) return false; // slot numbers are 32 bits
    auto* table = alloc_table(slots * sizeof(Slot));
    if (table == nullptr) return false;
    auto* order = static_cast<std::uint32_t*>(
        std::realloc(order_, slots * 3 / 4 * sizeof(std::uint32_t)));
    if (order == nullptr) {
        free_table(table, slots * sizeof(Slot));
        return false;
    }
    order_ = order;
    const std::uint64_t mask = slots - 1;
    for (std::uint64_t i = 0; i < used_; ++i) {
        const Slot& s = slots_[order_[i]];
        std::uint64_t at = hash_of(s) & mask;
        while (table[at].where != 0) at = (at + 1) & mask;
        table[at] = s;
        order_[i] = static_cast<std::uint32_t>(at);
    }
    free_table(slots_, (slot_mask_ + 1) * sizeof(Slot));
    slots_ = table;
    slot_mask_ = mask;
    grow_at_ = slots * 3 / 4;
    return true;
}

void TokenCounter::count(const PendingText* texts, std::size_t n) noexcept {
    Slot* const slots = slots_;
    const std::uint64_t mask = slot_mask_;
    for (const PendingText* t = texts; t != texts + n; ++t) {
        std::uint64_t at = t->hash & mask;
        for (;; at = (at + 1) & mask) {
            Slot& s = slots[at];
            if (s.where == 0) {
                add(s, *t);
                break;
            }
            if ((s.where & SIZE_MASK) == t->size && s.head[0] == t->head[0] &&
                s.head[1] == t->head[1] &&
                (t->size <= HEAD_BYTES ||
                 same_tail(arena_ + (s.where >> SIZE_BITS) + HEAD_BYTES, t->bytes + HEAD_BYTES,
                           t->size - HEAD_BYTES))) {
                ++s.count;
                break;
            }
        }
    }
}

// In moves of 16 bytes: the text may be read 16 bytes past its end, and
// the arena written 16 bytes past its capacity.
void TokenCounter::add(Slot& s, const PendingText& t) noexcept {
    std::uint8_t* const to = arena_ + arena_size_;
    for (std::uint64_t i = 0; i < t.size; i += 16) std::memcpy(to + i, t.bytes + i, 16);
    s.head[0] = t.head[0];
    s.head[1] = t.head[1];
    s.count = 1;
    s.where = arena_size_ << SIZE_BITS | t.size;
    order_[used_++] = static_cast<std::uint32_t>(&s - slots_);
    arena_size_ += t.size;
}

// A batch's text is each token followed by a NUL, and no token holds a NUL
// but the U+0000 token, which is one byte: so the NULs of each 64 bytes, as
// a bit mask, give the ends of the tokens there (a NUL right where a token
// starts is the U+0000 token, the NUL after it its end). The texts of two
// bytes or more that end in four such windows are hashed first, their slots
// fetched ahead, and then counted, when the fetches have had time to arrive.
// The text storage is padded, so the 64 bytes and a text's first 16 may be
// read past the batch's end.
bool TokenCounter::add_batch(const BatchText& batch, CountCursor& at) noexcept {
    malformed_ = malformed_ || batch.malformed;
    if (!reserve_arena(batch.bytes - at.bytes)) return false;
    const std::uint8_t* const text = batch.text;
    constexpr unsigned WINDOWS = 16; // counted together, so that many fetches overlap
    // A text of two bytes takes three with its NUL.
    PendingText texts[WINDOWS * 21 + 1];
    std::size_t queued = 0;
    const auto queue = [&](const std::uint8_t* bytes, std::uint64_t size) {
        PendingText& t = texts[queued++];
        set_pending(t, bytes, size);
        __builtin_prefetch(&slots_[t.hash & slot_mask_]);
    };
    while (at.tokens < batch.tokens) {
        if (!make_room(std::size(texts))) return false;
        queued = 0;
        for (unsigned w = 0; w < WINDOWS && at.tokens < batch.tokens; ++w) {
            const std::uint8_t* const p = text + at.bytes;
            const std::uint64_t left = batch.bytes - at.bytes;
            std::uint64_t ends = bytes_equal(p, 0);
            if (left < 64) ends &= (std::uint64_t{1} << left) - 1;
            if (ends == 0) {
                // A text of 64 bytes or more: its NUL lies further on.
                std::uint64_t size = 64, rest;
                while ((rest = bytes_equal(p + size, 0)) == 0) size += 64;
                size += static_cast<std::uint64_t>(std::countr_zero(rest));
                queue(p, size);
                at.tokens += 1;
                at.bytes += size + 1;
                break; // no other text fits beside it
            }
            if ((ends & 1) != 0 || (ends & (ends >> 1)) != 0) {
                // A U+0000 token (a NUL where a token starts): one at a time.
                std::uint64_t start = 0;
                for (; ends != 0; ends &= ends - 1) {
                    const std::uint64_t end = static_cast<std::uint64_t>(std::countr_zero(ends));
                    if (end < start) continue; // the NUL after a U+0000 token
                    const std::uint64_t size = end - start;
                    ++at.tokens;
                    if (size <= 1) ++byte_counts_[p[start] & 0x7F];
                    else queue(p + start, size);
                    start = end + 1 + (size == 0);
                }
                at.bytes += start;
                continue;
            }
            // Every NUL ends a token, and a token starts at 0 and after each
            // NUL. A one-byte token (an ASCII character, counted by its byte)
            // is a start with a NUL right after it; spaces, the most common
            // of them, are counted all at once.
            const std::uint64_t starts = ends << 1 | 1;
            const std::uint64_t ones = starts & ends >> 1;
            const std::uint64_t spaces = ones & bytes_equal(p, ' ');
            byte_counts_[0x20] += count_bits(spaces); // ' '
            for (std::uint64_t o = ones & ~spaces; o != 0; o &= o - 1)
                ++byte_counts_[p[std::countr_zero(o)] & 0x7F];
            for (std::uint64_t longer = ends & ~(ones << 1); longer != 0; longer &= longer - 1) {
                const int end = std::countr_zero(longer);
                const std::uint64_t before = ends & ((std::uint64_t{1} << end) - 1);
                const int start = 64 - std::countl_zero(before); // 0 when there is none
                queue(p + start, static_cast<std::uint64_t>(end - start));
            }
            at.tokens += count_bits(ends);
            at.bytes += static_cast<std::uint64_t>(64 - std::countl_zero(ends));
        }
        count(texts, queued);
    }
    return true;
}

bool TokenCounter::open_sink(CountSink& sink, const AcceptRule& rule,
                             std::uint64_t limit) noexcept {
    // A queued text ends inside a block of the kernel: at most 64 bytes.
    if (!make_room(COUNT_QUEUE) || !reserve_arena(COUNT_QUEUE * 64)) return false;
    sink = {byte_counts_, pending_, 0, reinterpret_cast<const std::uint8_t*>(slots_),
            slot_mask_, tail_, 0, 0, limit, rule.filter, rule.min_len, rule.max_len, 0};
    return true;
}

void TokenCounter::take_queued(const CountSink& sink) noexcept {
    count(sink.pending, sink.queued);
}

// Room in the arena for `bytes` more, and 16 bytes beyond its capacity that
// may be read and written (but are never kept), so that a text's words can
// be loaded and stored whatever its size.
bool TokenCounter::reserve_arena(std::uint64_t bytes) noexcept {
    const std::uint64_t needed = arena_size_ + bytes;
    if (needed <= arena_capacity_) return true;
    std::uint64_t size = arena_capacity_ < 4096 ? 4096 : arena_capacity_;
    while (size < needed) {
        if (size > (~std::uint64_t{0} >> 2)) return false;
        size *= 2;
    }
    auto* grown = static_cast<std::uint8_t*>(std::realloc(arena_, size + 16));
    if (grown == nullptr) return false;
    arena_ = grown;
    arena_capacity_ = size;
    return true;
}

} // namespace tarvelin
