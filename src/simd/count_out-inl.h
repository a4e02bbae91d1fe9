// The walk's output that counts tokens instead of keeping them (see
// counting/count_queue.hpp), and the entry point ScanCount. Per target, as
// block_walk-inl.h, which must come first.

// Compiled once, for the baseline.
#ifndef TARVELIN_SIMD_COUNT_OUT_INL_H_ONCE
#define TARVELIN_SIMD_COUNT_OUT_INL_H_ONCE

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "counting/count_queue.hpp"
#include "simd/kernel_tables.hpp"
#include "tokens/accept_rule.hpp"

#endif // TARVELIN_SIMD_COUNT_OUT_INL_H_ONCE

// Per-target part: the include guard toggles with each foreach_target pass.
#if defined(TARVELIN_SIMD_COUNT_OUT_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARVELIN_SIMD_COUNT_OUT_INL_H_
#undef TARVELIN_SIMD_COUNT_OUT_INL_H_
#else
#define TARVELIN_SIMD_COUNT_OUT_INL_H_
#endif

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace tarvelin {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
// BLOCK, KernelTables, WalkToken and Walk: block_walk-inl.h, included before this file.


// Queues the texts of two bytes or more of a block, each with its slot
// fetched ahead: each begins at a bit of `longer` and ends before the
// matching bit of `ends` (64 for none). Only where BLOCK + 16 bytes may be
// read from blk, so 16 past any of them. Apart from the kernel's loop, with
// the queue's state in locals, so that it all stays in registers.
HWY_NOINLINE void QueueLonger(CountSink& sink, const std::uint8_t* HWY_RESTRICT blk,
                              std::uint64_t longer, std::uint64_t ends) {
    PendingText* HWY_RESTRICT q = sink.pending + sink.queued;
    const std::uint8_t* const slots = sink.slots;
    const std::uint64_t mask = sink.slot_mask;
    for (; longer != 0; longer &= longer - 1, ends &= ends - 1, ++q) {
        const std::size_t s = LowestBit(longer);
        set_pending(*q, blk + s, LowestBitOr64(ends) - s);
        __builtin_prefetch(slots + (q->hash & mask) * COUNT_SLOT_BYTES);
    }
    sink.queued = static_cast<std::size_t>(q - sink.pending);
}

// ... or counted (see CountSink) instead of kept in a batch. Where the sink
// keeps every token (FILTERS false), the walk visits every start; otherwise
// as FilteringBatchOut, with the same accept rule. A settled prefix is counted at once
// from its masks: the one-byte tokens by their bytes (spaces by a population
// count), the longer ones hashed and queued.
template <bool Filters>
struct CountOut {
    CountSink sink;
    kernel_detail::AsciiPassing ascii; // as FilteringBatchOut's (unused without Filters)
    // As FilteringBatchOut's: no length bound that a prefix's token breaks.
    bool bulk;
    std::size_t block_base = 0; // kept for the walk, which counts characters where FILTERS
    std::uint64_t chars_before = 0;

    static constexpr bool FILTERS = Filters;
    static constexpr bool BULK = HWY_TARGET != HWY_SCALAR;
    bool prefixes() const { return bulk; }
    bool full() const { return count_sink_full(sink); }
    bool passes_kind(std::uint64_t type) const { return (sink.filter & type) != 0; }
    HWY_INLINE void put(const WalkToken& t) {
        const FoundToken& f = t.found;
        count_put(sink, f.bytes, f.readable, f.size, f.chars, !Filters || t.kind_passes);
    }

    // Counts the tokens of blk[0..end) that begin at the bits of `starts`
    // (and, with Filters, of `pass`). Declines (false) where the walk's copy
    // of the range's last block may stand in for the input, or a text's 16
    // bytes after it might not be readable: the walk then puts the tokens
    // one by one, at their places in the input.
    HWY_INLINE bool put_prefix(const KernelTables&, const std::uint8_t* HWY_RESTRICT blk,
                               const BlockMasks&, std::uint64_t starts, std::size_t end,
                               std::uint64_t pass, std::size_t readable) {
#if HWY_TARGET == HWY_SCALAR
        (void)blk, (void)starts, (void)end, (void)pass, (void)readable;
        return false;
#else
        // The walk looks at full() only between single tokens: a queue with
        // no room for a whole block declines, for the walk to stop.
        if (readable < BLOCK + 16 || count_sink_full(sink)) return false;
        const std::uint64_t first = starts & Below(end);
        const std::uint64_t kept = Filters ? first & pass : first;
        const std::uint64_t tokens = hwy::PopCount(kept);
        // As FilteringBatchOut: a batch that they would fill stops right after its last token.
        if (sink.kept + tokens >= sink.limit) return false;
        // The start after each kept one (see FilteringBatchOut::put_prefix).
        const std::uint64_t bounds = first | (end < BLOCK ? std::uint64_t{1} << end : 0);
        const std::uint64_t next = (~bounds + (kept << 1)) & bounds;
        // One-byte tokens end where the next start (or the end of the
        // block) is the byte after them.
        const std::uint64_t ones =
            kept & ((next >> 1) | (end == BLOCK ? std::uint64_t{1} << 63 : 0));
        const hn::CappedTag<std::uint8_t, BLOCK> d;
        const std::size_t N = hn::Lanes(d);
        // The commonest one-byte tokens are counted by population counts:
        // spaces, and with vectors of 32 bytes or more (where the compares
        // cost less than the loop's steps they save) line feeds, full stops
        // and commas too.
        constexpr bool WIDE = hn::MaxLanes(d) >= 32;
        constexpr std::uint8_t BY_MASK[] = {' ', '\n', '.', ','};
        constexpr std::size_t KINDS = WIDE ? std::size(BY_MASK) : 1;
        std::uint64_t masks[KINDS] = {};
        for (std::size_t i = 0; i < BLOCK; i += N) {
            const auto v = hn::LoadU(d, blk + i);
            for (std::size_t c = 0; c < KINDS; ++c)
                masks[c] |= MaskBits(d, hn::Eq(v, hn::Set(d, BY_MASK[c]))) << i;
        }
        std::uint64_t rest = ones;
        for (std::size_t c = 0; c < KINDS; ++c) {
            sink.byte_counts[BY_MASK[c]] += hwy::PopCount(masks[c] & ones);
            rest &= ~masks[c];
        }
        for (std::uint64_t o = rest; o != 0; o &= o - 1)
            ++sink.byte_counts[blk[LowestBit(o)] & 0x7F];
        QueueLonger(sink, blk, kept & ~ones, next & ~(ones << 1));
        sink.kept += tokens; // no length test: a prefix's tokens have 1 to 64 characters
        return true;
#endif
    }
};

std::size_t ScanCount(const KernelTables& t, const std::uint8_t* p, std::size_t n, bool final,
                      CountSink& sink) {
    if (keeps_every_token(sink.filter, sink.min_len, sink.max_len)) {
        CountOut<false> o{sink, {}, true};
        const std::size_t consumed = Walk(t, p, n, final, o);
        sink = o.sink;
        sink.chars += CountChars(p, consumed);
        return consumed;
    }
    CountOut<true> o{sink, kernel_detail::ascii_passing(t, sink.filter),
                     sink.min_len <= 1 && sink.max_len >= BLOCK};
    const std::size_t consumed = Walk(t, p, n, final, o);
    sink = o.sink;
    sink.chars += CountChars(p, consumed);
    return consumed;
}

} // namespace HWY_NAMESPACE
} // namespace tarvelin
HWY_AFTER_NAMESPACE();

#endif // per-target include guard
