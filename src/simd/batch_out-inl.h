// The walk's outputs that append tokens to a batch (see scan/batch_sink.hpp),
// or write them as spans, and the entry points ScanKernel and ScanInto. Per
// target, as block_walk-inl.h, which must come first.

// Compiled once, for the baseline.
#ifndef TARVELIN_SIMD_BATCH_OUT_INL_H_ONCE
#define TARVELIN_SIMD_BATCH_OUT_INL_H_ONCE

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scan/batch_sink.hpp"
#include "simd/kernel_tables.hpp"
#include "simd/scan_kernel.hpp"

namespace tarvelin::kernel_detail {

// Copies eight bytes with a NUL after each one the mask picks (index 0x80
// selects zero); the rest of the 16 lanes is don't-care.
inline constexpr ShuffleTable nul_table = make_shuffle_table(
    [](unsigned mask, auto push) {
        for (unsigned lane = 0; lane < 8; ++lane) {
            push(lane);
            if (mask_has(mask, lane)) push(0x80);
        }
    },
    0x80);

// Moves the bytes of eight that the mask picks to the front, in order; the
// lanes after them repeat lane 0.
inline constexpr ShuffleTable pick_table = make_shuffle_table(
    [](unsigned mask, auto push) {
        for (unsigned lane = 0; lane < 8; ++lane)
            if (mask_has(mask, lane)) push(lane);
    },
    0);

} // namespace tarvelin::kernel_detail

#endif // TARVELIN_SIMD_BATCH_OUT_INL_H_ONCE

// Per-target part: the include guard toggles with each foreach_target pass.
#if defined(TARVELIN_SIMD_BATCH_OUT_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARVELIN_SIMD_BATCH_OUT_INL_H_
#undef TARVELIN_SIMD_BATCH_OUT_INL_H_
#else
#define TARVELIN_SIMD_BATCH_OUT_INL_H_
#endif

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace tarvelin {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
// BLOCK, KernelTables, WalkToken and Walk: block_walk-inl.h, included before this file.

// Where the walk puts the tokens it settles: TokenSpans, at most max of them.
struct SpanOut {
    TokenSpan* out;
    std::size_t max;
    std::size_t spans = 0;

    static constexpr bool FILTERS = false;
    static constexpr bool BULK = false;
    static constexpr bool prefixes() { return false; }
    bool full() const { return spans == max; }
    HWY_INLINE void put(const WalkToken& t) {
        const FoundToken& f = t.found;
        out[spans++] = {static_cast<std::uint32_t>(t.offset), static_cast<std::uint16_t>(f.size),
                        static_cast<std::uint8_t>(f.chars), static_cast<std::uint8_t>(f.type),
                        f.bits};
    }
};

#if HWY_TARGET == HWY_AVX3_DL
// The 64-bit mask as a mask of the block's 64 lanes.
HWY_INLINE hn::Mask<hn::Full512<std::uint8_t>> LaneMask(std::uint64_t bits) {
    std::uint8_t bytes[8];
    std::memcpy(bytes, &bits, 8);
    return hn::LoadMaskBits(hn::Full512<std::uint8_t>(), bytes);
}

// Stores at `out` the types of the `tokens` tokens (at most 32) that begin
// at the bits of `first` in the block `v`: the first bytes' (see StartTypes)
// compressed and widened. 32 are stored, those past the last kinds too (see
// WholeBatchOut::put_types).
HWY_INLINE void PutTypesCompressed(const KernelTables& t, hn::Vec512<std::uint8_t> v,
                                   std::uint64_t first, std::uint64_t tokens,
                                   std::uint64_t* HWY_RESTRICT out) {
    const hn::Full512<std::uint8_t> d;
    const auto every = StartTypes(d, t, v);
    const auto types =
        hn::IfThenElse(hn::FirstN(d, tokens), hn::Compress(every, LaneMask(first)), every);
    const hn::Full128<std::uint8_t> d16;
    const hn::Full512<std::uint64_t> d64;
    const hn::Rebind<std::uint32_t, decltype(d64)> d32;
    const auto widen = [&](hn::Vec128<std::uint8_t> q) {
        return hn::PromoteTo(d64, hn::PromoteTo(d32, hn::LowerHalf(q)));
    };
    const auto low = hn::LowerHalf(types);
    for (const auto q : {hn::LowerHalf(low), hn::UpperHalf(d16, low)}) {
        hn::StoreU(widen(q), d64, out);
        hn::StoreU(widen(hn::ShiftRightBytes<8>(d16, q)), d64, out + 8);
        out += 16;
    }
}

// Takes the kept tokens of a block at once by byte compression, where no
// kept token follows another directly (so there are at most 32): the text is
// the kept bytes (`covered`) together with the first byte of the rejected
// token after each one (`terminators`), made zero to be its NUL; a kept token
// that reaches the prefix's end gets its NUL apart. The types are the first
// bytes' (see StartTypes) compressed by `kept` and widened, 32 of them stored:
// those past the last are kinds too (see WholeBatchOut::put_types). Stores up to
// 64 bytes past the text it keeps; the batch must have room for 32 types.
HWY_INLINE void PutCompressed(const KernelTables& t, const std::uint8_t* HWY_RESTRICT blk,
                              std::uint64_t kept, std::uint64_t covered,
                              std::uint64_t terminators, std::uint64_t tokens, BatchSink& sink) {
    const hn::Full512<std::uint8_t> d;
    const auto v = hn::LoadU(d, blk);
    const std::uint64_t moved = covered | terminators;
    hn::StoreU(hn::Compress(hn::IfThenElseZero(LaneMask(covered), v), LaneMask(moved)), d,
               sink.text);
    std::size_t length = hwy::PopCount(moved);
    if (tokens != hwy::PopCount(terminators)) sink.text[length++] = 0;
    sink.text += length;
    PutTypesCompressed(t, v, kept, tokens, sink.types + sink.count);
    sink.count += tokens;
}

// Writes the bytes of the block v with a NUL after each one that nul_after marks,
// `length` bytes in all (at most 128), by two byte expansions into 64 bytes
// each. Where the output's bytes go: in 64 slots per half block, slot 2i is
// byte i and slot 2i + 1 the NUL after it, taken where nul_after has it;
// extracting the bytes' slots from the slots taken gives the output's mask of
// bytes for that half, the NULs being the zeros. Stores up to 64 bytes past
// the output. (The expansion is written with the instruction itself, which
// this version of Highway does not wrap.)
HWY_INLINE void ExpandWithNuls(hn::Vec512<std::uint8_t> v, std::uint64_t nul_after,
                               std::size_t length, std::uint8_t* HWY_RESTRICT o) {
    constexpr std::uint64_t byte_slots = 0x5555555555555555u;
    const auto bytes_of = [&](std::uint64_t half) {
        return _pext_u64(byte_slots, _pdep_u64(half, ~byte_slots) | byte_slots);
    };
    const std::uint64_t half0 = nul_after & 0xFFFFFFFFu;
    const std::uint64_t bytes0 = bytes_of(half0), bytes1 = bytes_of(nul_after >> 32);
    const std::size_t length0 = 32 + hwy::PopCount(half0); // output of the first half
    const std::uint64_t low = length0 < 64 ? bytes0 | (bytes1 << length0) : bytes0;
    const std::uint64_t high = length0 < 64 ? bytes1 >> (64 - length0) : bytes1;
    const hn::Full512<std::uint8_t> d;
    hn::StoreU(hn::Vec512<std::uint8_t>{_mm512_maskz_expand_epi8(low, v.raw)}, d, o);
    // The bytes not yet written, moved to the front.
    const std::size_t used = hwy::PopCount(low);
    const auto rest = hn::Compress(v, hn::Not(hn::FirstN(d, used)));
    hn::BlendedStore(hn::Vec512<std::uint8_t>{_mm512_maskz_expand_epi8(high, rest.raw)},
                     hn::FirstN(d, length > 64 ? length - 64 : 0), d, o + 64);
}
#endif

// ... or straight into a batch (see BatchSink), through a copy of the sink
// whose address is not taken, so its fields stay in registers (byte stores of
// the text could otherwise alias them).
// The walk tells whether each token's kind passes the filter from a mask
// made for the whole block, so that no token's place in the text waits for
// its kind to be looked up, and visits only the tokens that may pass (see
// FILTERS), with each one's first character counted from the block's masks.
// The sink's char_pos stays as it was at the start of the walk.
struct FilteringBatchOut {
    BatchSink sink;
    kernel_detail::AsciiPassing ascii; // the ASCII bytes whose kind the filter takes

    bool bulk; // prefixes are taken: no offsets, and no length bound that a prefix's token breaks
    // Where the walk's current block begins, and the characters before it.
    std::size_t block_base = 0;
    std::uint64_t chars_before = 0;

    static constexpr bool FILTERS = true;
    static constexpr bool BULK = HWY_TARGET != HWY_SCALAR;
    bool prefixes() const { return bulk; }
    bool full() const { return sink.count >= sink.limit; }
    bool passes_kind(std::uint64_t type) const { return (sink.filter & type) != 0; }
    HWY_INLINE void put(const WalkToken& t) {
        batch_put_if(sink, t.found, sink.char_pos + t.first_char, t.kind_passes);
    }

    // Takes the tokens of blk[0..end) whose first bytes are in `pass` (see
    // WholeBatchOut::put_prefix for the rest), from which `readable` bytes may be
    // read, one token at a time: each one's text in one or two 32-byte moves,
    // from a copy of the block where they would read past what may be read
    // (or, with byte compression, all at once: see PutCompressed).
    HWY_INLINE bool put_prefix(const KernelTables& t, const std::uint8_t* HWY_RESTRICT blk,
                               const BlockMasks& k, std::uint64_t starts, std::size_t end,
                               std::uint64_t pass, std::size_t readable) {
#if HWY_TARGET == HWY_SCALAR
        (void)t, (void)blk, (void)k, (void)starts, (void)end, (void)pass, (void)readable;
        return false;
#else
        const std::uint64_t region = Below(end);
        const std::uint64_t first = starts & region;
        std::uint64_t kept = first & pass;
        const std::uint64_t tokens = hwy::PopCount(kept);
        // A batch that they would fill must stop right after its last
        // token, not at end (rejected tokens after it belong to the next
        // batch, whose settings may differ): the walk takes them.
        if (sink.count + tokens >= sink.limit) return false;
        // The start after each kept one: a carry from the bit after it runs
        // over the bytes that are not starts and stops at the next start (or
        // at end); `covered`, from each kept start up to the one after it,
        // holds the kept tokens' bytes.
        const std::uint64_t bounds = first | (end < BLOCK ? std::uint64_t{1} << end : 0);
        std::uint64_t next = (~bounds + (kept << 1)) & bounds;
        const std::uint64_t covered = next - kept;
        sink.chars += hwy::PopCount(~k.cont & covered) + tokens;
        sink.char_bits |= (k.ru_lead & covered) != 0 ? RUSSIAN_LETTER_BITS : 0u;
        if (tokens == 0) return true;
#if HWY_TARGET == HWY_AVX3_DL
        if ((next & kept) == 0 && sink.count + 32 <= sink.limit) {
            PutCompressed(t, blk, kept, covered, next & region, tokens, sink);
            return true;
        }
#endif
        const hn::CappedTag<std::uint8_t, 32> d; // moves of 32 bytes (or two of 16)
        const std::size_t N = hn::Lanes(d);
        HWY_ALIGN std::uint8_t copy[BLOCK + 64];
        const std::uint8_t* src = blk;
        if (readable < BLOCK + 64) { // the moves read up to 63 bytes past the block
            std::memcpy(copy, blk, BLOCK);
            std::memset(copy + BLOCK, 0, 64);
            src = copy;
        }
        std::uint64_t* types = sink.types + sink.count;
        std::uint8_t* o = sink.text;
        for (; kept != 0; kept &= kept - 1, next &= next - 1) {
            const std::size_t s = LowestBit(kept);
            const std::size_t e = LowestBitOr64(next);
            const std::size_t bytes = e - s;
            *types++ = t.start_type[blk[s]];
            for (std::size_t i = 0; i < 32; i += N) hn::StoreU(hn::LoadU(d, src + s + i), d, o + i);
            if (HWY_UNLIKELY(bytes > 32))
                for (std::size_t i = 32; i < 64; i += N)
                    hn::StoreU(hn::LoadU(d, src + s + i), d, o + i);
            o[bytes] = 0;
            o += bytes + 1;
        }
        sink.text = o;
        sink.count += tokens;
        return true;
#endif
    }
};

// ... or into a batch that keeps every token (see batch_keeps_everything).
// Besides taking tokens one by one, it takes a block's settled prefix (see
// SettledPrefix) at once where there is a vector shuffle to do it (BULK).
struct WholeBatchOut {
    BatchSink sink;

    static constexpr bool FILTERS = false;
    static constexpr bool BULK = HWY_TARGET != HWY_SCALAR;
    static constexpr bool prefixes() { return true; }
    bool full() const { return sink.count >= sink.limit; }
    HWY_INLINE void put(const WalkToken& t) { batch_put_kept(sink, t.found); }

    // Takes the tokens of blk[0..end), which begin at the bits of `starts`
    // below end and each reach the next one (the last reaches end): the
    // types from the first bytes, the text as the bytes with a NUL after each
    // token, both eight bytes a shuffle (or, with byte compression, the
    // whole block at once: see PutTypesCompressed and ExpandWithNuls). False,
    // taking nothing, when the batch has no room for them all. Stores up to
    // 16 bytes past the text it keeps (64 with compression) and, while the
    // batch has room for them, 8 types past its types (32).
    HWY_INLINE bool put_prefix(const KernelTables& t, const std::uint8_t* HWY_RESTRICT blk,
                               const BlockMasks& k, std::uint64_t starts, std::size_t end,
                               std::uint64_t, std::size_t) {
#if HWY_TARGET == HWY_SCALAR
        (void)t, (void)blk, (void)k, (void)starts, (void)end;
        return false;
#else
        const std::uint64_t region = Below(end);
        const std::uint64_t first = starts & region;
        const std::uint64_t tokens = hwy::PopCount(first);
        if (sink.count + tokens > sink.limit) return false;
#if HWY_TARGET == HWY_AVX3_DL
        const auto v = hn::LoadU(hn::Full512<std::uint8_t>(), blk);
        if (tokens <= 32 && sink.count + 32 <= sink.limit)
            PutTypesCompressed(t, v, first, tokens, sink.types + sink.count);
        else
#endif
        if (sink.count + tokens + 8 <= sink.limit) {
            put_types(t, blk, first);
        } else {
            std::uint64_t* types = sink.types + sink.count;
            for (std::uint64_t rest = first; rest != 0; rest &= rest - 1)
                *types++ = t.start_type[blk[LowestBit(rest)]];
        }
        // The last byte of each token: the byte before each later start, and end - 1.
        const std::uint64_t nul_after = (first >> 1) | (std::uint64_t{1} << (end - 1));
#if HWY_TARGET == HWY_AVX3_DL
        ExpandWithNuls(v, nul_after, end + tokens, sink.text);
        sink.text += end + tokens;
#else
        // Where each group of eight goes: byte j of `ends` is the text up
        // to the end of group j, its bytes kept and the NULs after them
        // (at most 128 in all, so no byte carries into the next).
        const std::uint64_t ends =
            (kernel_detail::byte_counts(region) + kernel_detail::byte_counts(nul_after)) *
            0x0101010101010101u;
        const hn::FixedTag<std::uint8_t, 16> d16;
        const hn::FixedTag<std::uint8_t, 8> d8;
        std::uint8_t* const o = sink.text;
        for (std::size_t g = 0; g < BLOCK; g += 8) { // past end: nothing kept
            const unsigned after = static_cast<unsigned>(nul_after >> g) & 0xFFu;
            const auto bytes = hn::ZeroExtendVector(d16, hn::LoadU(d8, blk + g));
            const auto index = hn::Load(d16, kernel_detail::nul_table.index[after]);
            hn::StoreU(hn::TableLookupBytesOr0(bytes, index), d16,
                       o + (static_cast<unsigned>((ends << 8) >> g) & 0xFFu));
        }
        sink.text = o + (ends >> 56);
#endif
        sink.chars += hwy::PopCount(~k.cont & region) + tokens;
        sink.char_bits |= (k.ru_lead & region) != 0 ? RUSSIAN_LETTER_BITS : 0u;
        sink.count += tokens;
        return true;
#endif
    }

#if HWY_TARGET != HWY_SCALAR
    // The types of the tokens that begin at the bits of `first`: each
    // byte's type as the first byte of a token (an ASCII character's from the
    // table, a Russian letter's lead byte RUWORD, any other byte UNKNWN),
    // picked by the mask eight bytes at a time and widened. Stores up to 8
    // types past the last, each a token kind: arrays of earlier batches that
    // view the storage never see anything else.
    HWY_INLINE void put_types(const KernelTables& t, const std::uint8_t* HWY_RESTRICT blk,
                              std::uint64_t first) {
        const hn::CappedTag<std::uint8_t, BLOCK> d;
        const std::size_t N = hn::Lanes(d);
        HWY_ALIGN std::uint8_t type_of[BLOCK];
        for (std::size_t i = 0; i < BLOCK; i += N) {
            const auto v = hn::LoadU(d, blk + i);
            const auto type = StartTypes(d, t, v);
            hn::Store(type, d, type_of + i);
        }
        const hn::FixedTag<std::uint8_t, 16> d16;
        const hn::FixedTag<std::uint8_t, 8> d8;
        const hn::ScalableTag<std::uint64_t> d64;
        const hn::Rebind<std::uint32_t, decltype(d64)> d32w;
        constexpr std::size_t W = hn::MaxLanes(d64); // 2, 4 or 8 (the targets have fixed widths)
        std::uint64_t* types = sink.types + sink.count;
        for (std::size_t g = 0; g < BLOCK; g += 8) {
            const unsigned pick = static_cast<unsigned>(first >> g) & 0xFFu;
            const auto bytes = hn::ZeroExtendVector(d16, hn::LoadU(d8, type_of + g));
            const auto index = hn::Load(d16, kernel_detail::pick_table.index[pick]);
            const auto picked = hn::TableLookupBytes(bytes, index);
            // Widened in registers, W lanes at a time from lane 0 on.
            const auto widen = [&](auto from) {
                const auto low8 = hn::LowerHalf(from); // lanes 0..7
                if constexpr (W == 8) return hn::PromoteTo(d64, hn::PromoteTo(d32w, low8));
                else if constexpr (W == 4)
                    return hn::PromoteTo(d64, hn::PromoteTo(d32w, hn::LowerHalf(low8)));
                else
                    return hn::PromoteTo(d64,
                                         hn::PromoteTo(d32w, hn::LowerHalf(hn::LowerHalf(low8))));
            };
            hn::StoreU(widen(picked), d64, types);
            if constexpr (W <= 4)
                hn::StoreU(widen(hn::ShiftRightBytes<W>(d16, picked)), d64, types + W);
            if constexpr (W <= 2) {
                hn::StoreU(widen(hn::ShiftRightBytes<2 * W>(d16, picked)), d64, types + 2 * W);
                hn::StoreU(widen(hn::ShiftRightBytes<3 * W>(d16, picked)), d64, types + 3 * W);
            }
            types += hwy::PopCount(pick);
        }
    }
#endif
};

KernelScan ScanKernel(const KernelTables& t, const std::uint8_t* p, std::size_t n, bool final,
                      TokenSpan* out, std::size_t max_spans) {
    SpanOut o{out, max_spans};
    const std::size_t consumed = Walk(t, p, n, final, o);
    return {consumed, o.spans};
}

std::size_t ScanInto(const KernelTables& t, const std::uint8_t* p, std::size_t n, bool final,
                     BatchSink& sink) {
    if (batch_keeps_everything(sink)) {
        WholeBatchOut o{sink};
        const std::size_t consumed = Walk(t, p, n, final, o);
        batch_settle_position(o.sink, sink);
        sink = o.sink;
        return consumed;
    }
    // A token of a prefix has 1 to BLOCK characters.
    const bool bulk = sink.offsets == nullptr && sink.min_len <= 1 && sink.max_len >= BLOCK;
    FilteringBatchOut o{sink, kernel_detail::ascii_passing(t, sink.filter), bulk};
    const std::size_t consumed = Walk(t, p, n, final, o);
    // The characters of the blocks before the one it stopped in are known.
    const std::size_t from = o.block_base < consumed ? o.block_base : consumed;
    o.sink.char_pos += o.chars_before + CountChars(p + from, consumed - from);
    sink = o.sink;
    return consumed;
}

} // namespace HWY_NAMESPACE
} // namespace tarvelin
HWY_AFTER_NAMESPACE();

#endif // per-target include guard
