// The vector kernels of scan_kernel.hpp, written once for every instruction
// set. scan_kernel.cpp includes this file once per target (through
// hwy/foreach_target.h); each pass compiles the code below into its own
// namespace tarvelin::N_<TARGET> with that target's instruction set enabled by
// attributes, so no file needs a per-file -m flag and no inline function is
// shared between instruction sets.

// Plain includes, compiled once for the baseline.
#ifndef TARVELIN_SCAN_KERNEL_COMMON_H
#define TARVELIN_SCAN_KERNEL_COMMON_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "classify/char_class.hpp"
#include "text/transcode.hpp"
#include "text/utf8_strict.hpp"
#include "counting/count_queue.hpp"
#include "simd/scan_kernel.hpp"
#include "tokens/token.hpp"
#include "tokens/token_assembler.hpp"
#include "tokens/token_type.hpp"

namespace tarvelin::kernel_detail {

// Read-only data the scanning kernel needs, built once.
struct KernelTables {
    const CharClassTable* table;
    // The type of each ASCII character.
    std::uint8_t ascii_type[0x80];
    // For each kind 1 << k (k < 7), the ASCII bytes of that kind as a bitmap:
    // byte b is bit b & 7 of ascii_of_kind[k][b >> 3].
    alignas(16) std::uint8_t ascii_of_kind[7][16];
    // The type of a token of well-formed text by its first byte, where that
    // is ASCII or the lead byte of a Russian letter (D0, D1); 0 otherwise.
    std::uint64_t start_type[256];
};

// The characters of well-formed text p[0..n): the bytes that are not continuations.
inline std::uint64_t count_chars(const std::uint8_t* p, std::size_t n) noexcept {
    constexpr std::uint64_t HIGH = 0x8080808080808080ull;
    std::uint64_t continuations = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        continuations += static_cast<std::uint64_t>(__builtin_popcountll(w & ~(w << 1) & HIGH));
    }
    for (; i < n; ++i) continuations += (p[i] & 0xC0u) == 0x80u;
    return n - continuations;
}

// The ASCII bytes whose kind a type filter takes.
struct AsciiPassing {
    std::uint8_t bitmap[16];
    // Without kinds of other ASCII bytes than letters and digits, the walk
    // needs no bitmap: all ones where the filter takes ENWORD (NUMBER).
    bool others;
    std::uint64_t letters, digits;
};

inline AsciiPassing ascii_passing(const KernelTables& t, std::uint64_t filter) {
    AsciiPassing out{};
    for (unsigned kind = 0; kind < 7; ++kind)
        if ((filter >> kind) & 1u)
            for (unsigned i = 0; i < 16; ++i) out.bitmap[i] |= t.ascii_of_kind[kind][i];
    constexpr std::uint64_t words = type_value(TokenType::ENWORD) |
                                    type_value(TokenType::NUMBER) |
                                    type_value(TokenType::RUWORD);
    out.others = (filter & ~words) != 0;
    out.letters = (filter & type_value(TokenType::ENWORD)) != 0 ? ~std::uint64_t{0} : 0;
    out.digits = (filter & type_value(TokenType::NUMBER)) != 0 ? ~std::uint64_t{0} : 0;
    return out;
}

inline constexpr std::size_t BLOCK = 64;

// The bits set in each byte of x, in that byte.
constexpr std::uint64_t byte_counts(std::uint64_t x) noexcept {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    return (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
}
static_assert(byte_counts(0xFF00F00000000301u) == 0x0800040000000201u);

// A byte shuffle for each 8-bit mask, for 128-bit vectors.
struct ShuffleTable {
    alignas(16) std::uint8_t index[256][16];
};

// Builds a ShuffleTable: entry(mask, push) pushes, in order, the indexes of
// the lanes that mask's shuffle begins with; the lanes after them are `fill`.
template <class Entry>
constexpr ShuffleTable make_shuffle_table(Entry entry, std::uint8_t fill) {
    ShuffleTable t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned k = 0;
        entry(mask, [&](unsigned index) { t.index[mask][k++] = static_cast<std::uint8_t>(index); });
        while (k < 16) t.index[mask][k++] = fill;
    }
    return t;
}

constexpr bool mask_has(unsigned mask, unsigned lane) { return ((mask >> lane) & 1u) != 0; }

// Moves the 16-bit lanes picked by the mask to the front, in order (the rest
// of the lanes is don't-care).
inline constexpr ShuffleTable compact_table = make_shuffle_table(
    [](unsigned mask, auto push) {
        for (unsigned lane = 0; lane < 8; ++lane)
            if (mask_has(mask, lane)) push(2 * lane), push(2 * lane + 1);
    },
    0);

// Turns eight 16-bit lanes, each holding a character's UTF-8 form (its one
// byte low, or its two bytes low then high), into those bytes in order: for
// each bit of the mask (lanes of two bytes), the high byte follows the low
// one. Lanes past the characters select zero.
inline constexpr ShuffleTable expand_table = make_shuffle_table(
    [](unsigned mask, auto push) {
        for (unsigned lane = 0; lane < 8; ++lane) {
            push(2 * lane);
            if (mask_has(mask, lane)) push(2 * lane + 1);
        }
    },
    0x80);

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

#endif // TARVELIN_SCAN_KERNEL_COMMON_H

// Per-target part: the include guard toggles with each foreach_target pass.
#if defined(TARVELIN_SCAN_KERNEL_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARVELIN_SCAN_KERNEL_INL_H_
#undef TARVELIN_SCAN_KERNEL_INL_H_
#else
#define TARVELIN_SCAN_KERNEL_INL_H_
#endif

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace tarvelin {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using kernel_detail::BLOCK;
using kernel_detail::KernelTables;

// Bit i of each mask describes byte i of a block of 64.
struct BlockMasks {
    std::uint64_t letter;  // A..Z, a..z
    std::uint64_t digit;   // 0..9
    std::uint64_t hyphen;  // '-'
    std::uint64_t cont;    // 80..BF
    std::uint64_t lead;    // C0..FF: starts a character of two or more bytes
    std::uint64_t lead34;  // E0..FF: of three or more
    std::uint64_t lead4;   // F0..FF: of four
    std::uint64_t ru_lead; // first byte of a Russian letter (its second byte follows)
};

template <class D>
HWY_INLINE std::uint64_t MaskBits(D d, hn::Mask<D> m) {
    std::uint8_t bytes[8] = {};
    hn::StoreMaskBits(d, m, bytes);
    std::uint64_t bits;
    std::memcpy(&bits, bytes, sizeof bits);
    const std::size_t lanes = hn::Lanes(d);
    return lanes >= 64 ? bits : bits & ((std::uint64_t{1} << lanes) - 1);
}

// x <= c and x >= c for unsigned bytes (min/max exist on every target).
template <class D, class V>
HWY_INLINE hn::Mask<D> AtMost(D d, V x, std::uint8_t c) {
    return hn::Eq(hn::Min(x, hn::Set(d, c)), x);
}
template <class D, class V>
HWY_INLINE hn::Mask<D> AtLeast(D d, V x, std::uint8_t c) {
    return hn::Eq(hn::Max(x, hn::Set(d, c)), x);
}

// The ASCII letters A..Z, a..z and the digits 0..9 among the bytes of v.
template <class D>
HWY_INLINE hn::Mask<D> Letters(D d, hn::Vec<D> v) {
    return AtMost(d, hn::Sub(hn::Or(v, hn::Set(d, 0x20)), hn::Set(d, 'a')), 25);
}
template <class D>
HWY_INLINE hn::Mask<D> Digits(D d, hn::Vec<D> v) {
    return AtMost(d, hn::Sub(v, hn::Set(d, '0')), 9);
}

// Classifies blk[0..64); blk[64] must be readable (the byte after a lead).
// The masks of bytes from 0x80 up are made only for a block that has any.
HWY_INLINE void Classify(const std::uint8_t* HWY_RESTRICT blk, BlockMasks& k) {
    const hn::CappedTag<std::uint8_t, BLOCK> d;
    const std::size_t N = hn::Lanes(d);
    k = BlockMasks{};
    auto any = hn::Zero(d);
    for (std::size_t i = 0; i < BLOCK; i += N) {
        const auto v = hn::LoadU(d, blk + i);
        const auto letter = Letters(d, v);
        const auto digit = Digits(d, v);
        const auto hyphen = hn::Eq(v, hn::Set(d, '-'));
        k.letter |= MaskBits(d, letter) << i;
        k.digit |= MaskBits(d, digit) << i;
        k.hyphen |= MaskBits(d, hyphen) << i;
        any = hn::Or(any, v);
    }
    if (hn::AllTrue(d, AtMost(d, any, 0x7F))) return; // all ASCII
    for (std::size_t i = 0; i < BLOCK; i += N) {
        const auto v = hn::LoadU(d, blk + i);
        const auto next = hn::LoadU(d, blk + i + 1);
        const auto cont = AtMost(d, hn::Sub(v, hn::Set(d, 0x80)), 0x3F);
        const auto lead = AtLeast(d, v, 0xC0);
        const auto lead34 = AtLeast(d, v, 0xE0);
        const auto lead4 = AtLeast(d, v, 0xF0);
        // D0 81, D0 90..BF, D1 80..8F, D1 91.
        const auto d0 = hn::And(hn::Eq(v, hn::Set(d, 0xD0)),
                                hn::Or(hn::Eq(next, hn::Set(d, 0x81)),
                                       AtMost(d, hn::Sub(next, hn::Set(d, 0x90)), 0x2F)));
        const auto d1 = hn::And(hn::Eq(v, hn::Set(d, 0xD1)),
                                hn::Or(hn::Eq(next, hn::Set(d, 0x91)),
                                       AtMost(d, hn::Sub(next, hn::Set(d, 0x80)), 0x0F)));
        k.cont |= MaskBits(d, cont) << i;
        k.lead |= MaskBits(d, lead) << i;
        k.lead34 |= MaskBits(d, lead34) << i;
        k.lead4 |= MaskBits(d, lead4) << i;
        k.ru_lead |= MaskBits(d, hn::Or(d0, d1)) << i;
    }
}

// The lanes of v whose bytes are in the 128-bit bitmap `ascii` (byte b is
// bit b & 7 of ascii[b >> 3]; bytes from 0x80 up give arbitrary lanes).
template <class D>
HWY_INLINE hn::Mask<D> InBitmap(D d, hn::Vec<D> v, const std::uint8_t* ascii) {
    HWY_ALIGN static constexpr std::uint8_t bit_of[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                           1, 2, 4, 8, 16, 32, 64, 128};
    const auto byte =
        hn::TableLookupBytes(hn::LoadDup128(d, ascii), hn::And(hn::ShiftRight<3>(v), hn::Set(d, 15)));
    const auto bit = hn::TableLookupBytes(hn::LoadDup128(d, bit_of), hn::And(v, hn::Set(d, 7)));
    return hn::Ne(hn::And(byte, bit), hn::Zero(d));
}

// The bytes of blk[0..64) that are in the bitmap `ascii`, as InBitmap.
HWY_INLINE std::uint64_t InAsciiBitmap(const std::uint8_t* HWY_RESTRICT blk,
                                       const std::uint8_t* ascii) {
    const hn::CappedTag<std::uint8_t, BLOCK> d;
    const std::size_t N = hn::Lanes(d);
    std::uint64_t in = 0;
    for (std::size_t i = 0; i < BLOCK; i += N)
        in |= MaskBits(d, InBitmap(d, hn::LoadU(d, blk + i), ascii)) << i;
    return in;
}

HWY_INLINE std::size_t LowestBit(std::uint64_t x) {
    return static_cast<std::size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(x));
}

// The same, or 64 (BLOCK) for 0: one instruction where the target has BMI.
HWY_INLINE std::size_t LowestBitOr64(std::uint64_t x) {
#if HWY_ARCH_X86_64 && HWY_TARGET <= HWY_AVX2
    return static_cast<std::size_t>(_tzcnt_u64(x));
#else
    return x != 0 ? LowestBit(x) : 64;
#endif
}

// The type of a token that begins with each byte of v, for the bytes that
// begin the tokens of a settled prefix: the ASCII ones, and the lead bytes D0
// and D1 of a Russian letter. Any other byte gets some kind. The letters and
// digits are those of Classify; space, vertical tab and line feed are the
// one-character ASCII kinds besides punctuation, which comes from the tables.
template <class D>
HWY_INLINE hn::Vec<D> StartTypes(D d, const KernelTables& t, hn::Vec<D> v) {
    const auto kind = [&](TokenType type) {
        return hn::Set(d, static_cast<std::uint8_t>(type_value(type)));
    };
    const auto letter = Letters(d, v);
    const auto digit = Digits(d, v);
    const auto space = hn::Or(hn::Eq(v, hn::Set(d, ' ')), hn::Eq(v, hn::Set(d, 0x0B)));
    const auto russian = hn::Eq(hn::And(v, hn::Set(d, 0xFE)), hn::Set(d, 0xD0));
    const std::uint8_t* punctuation =
        t.ascii_of_kind[std::countr_zero(type_value(TokenType::PNCTTN))];
    auto type = hn::IfThenElse(InBitmap(d, v, punctuation), kind(TokenType::PNCTTN),
                               kind(TokenType::UNKNWN));
    type = hn::IfThenElse(space, kind(TokenType::WRDSPC), type);
    type = hn::IfThenElse(hn::Eq(v, hn::Set(d, '\n')), kind(TokenType::NWLINE), type);
    type = hn::IfThenElse(letter, kind(TokenType::ENWORD), type);
    type = hn::IfThenElse(digit, kind(TokenType::NUMBER), type);
    return hn::IfThenElse(russian, kind(TokenType::RUWORD), type);
}

// Where the walk puts the tokens it settles: TokenSpans, at most max of them.
struct SpanOut {
    TokenSpan* out;
    std::size_t max;
    std::size_t spans = 0;

    static constexpr bool FILTERS = false;
    static constexpr bool BULK = false;
    static constexpr bool prefixes() { return false; }
    bool full() const { return spans == max; }
    HWY_INLINE void put(const std::uint8_t*, std::size_t, std::size_t start, std::size_t bytes,
                        std::size_t chars, std::uint64_t type, std::uint32_t bits, bool,
                        std::uint64_t) {
        out[spans++] = {static_cast<std::uint32_t>(start), static_cast<std::uint16_t>(bytes),
                        static_cast<std::uint8_t>(chars), static_cast<std::uint8_t>(type), bits};
    }
};

// The bits below bit i (all 64 for i = 64).
HWY_INLINE std::uint64_t Below(std::size_t i) {
    return i >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << i) - 1;
}

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
// KeptOut::put_types).
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
// those past the last are kinds too (see KeptOut::put_types). Stores up to
// 64 bytes past the text it keeps; the batch must have room for 32 types.
HWY_INLINE void PutCompressed(const KernelTables& t, const std::uint8_t* HWY_RESTRICT blk,
                              std::uint64_t kept, std::uint64_t covered,
                              std::uint64_t terminators, std::uint64_t tokens, TokenSink& sink) {
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

// ... or straight into a batch (see TokenSink), through a copy of the sink
// whose address is not taken, so its fields stay in registers (byte stores of
// the text could otherwise alias them).
// The walk tells whether each token's kind passes the filter from a mask
// made for the whole block, so that no token's place in the text waits for
// its kind to be looked up, and visits only the tokens that may pass (see
// FILTERS), with each one's first character counted from the block's masks.
// The sink's char_pos stays as it was at the start of the walk.
struct SinkOut {
    TokenSink sink;
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
    HWY_INLINE void put(const std::uint8_t* token, std::size_t readable, std::size_t,
                        std::size_t bytes, std::size_t chars, std::uint64_t type,
                        std::uint32_t bits, bool kind_passes, std::uint64_t start_char) {
        sink_take_if(sink, sink.char_pos + start_char, token, readable, bytes, chars, type, bits,
                     kind_passes);
    }

    // Takes the tokens of blk[0..end) whose first bytes are in `pass` (see
    // KeptOut::put_prefix for the rest), from which `readable` bytes may be
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
        sink.char_bits |= (k.ru_lead & covered) != 0 ? 0x410u : 0u;
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

// ... or into a batch that keeps every token (see sink_keeps_everything).
// Besides taking tokens one by one, it takes a block's settled prefix (see
// SettledPrefix) at once where there is a vector shuffle to do it (BULK).
struct KeptOut {
    TokenSink sink;

    static constexpr bool FILTERS = false;
    static constexpr bool BULK = HWY_TARGET != HWY_SCALAR;
    static constexpr bool prefixes() { return true; }
    bool full() const { return sink.count >= sink.limit; }
    HWY_INLINE void put(const std::uint8_t* token, std::size_t readable, std::size_t,
                        std::size_t bytes, std::size_t chars, std::uint64_t type,
                        std::uint32_t bits, bool, std::uint64_t) {
        sink_take_kept(sink, token, readable, bytes, chars, type, bits);
    }

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
        sink.char_bits |= (k.ru_lead & region) != 0 ? 0x410u : 0u;
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
// as SinkOut, with the same accept rule. A settled prefix is counted at once
// from its masks: the one-byte tokens by their bytes (spaces by a population
// count), the longer ones hashed and queued.
template <bool Filters>
struct CountOut {
    CountSink sink;
    kernel_detail::AsciiPassing ascii; // as SinkOut's (unused without Filters)
    bool bulk;                      // as SinkOut's: no length bound that a prefix's token breaks
    std::size_t block_base = 0;     // kept for the walk, which counts characters where FILTERS
    std::uint64_t chars_before = 0;

    static constexpr bool FILTERS = Filters;
    static constexpr bool BULK = HWY_TARGET != HWY_SCALAR;
    bool prefixes() const { return bulk; }
    bool full() const { return count_sink_full(sink); }
    bool passes_kind(std::uint64_t type) const { return (sink.filter & type) != 0; }
    HWY_INLINE void put(const std::uint8_t* token, std::size_t readable, std::size_t,
                        std::size_t bytes, std::size_t chars, std::uint64_t, std::uint32_t,
                        bool kind_passes, std::uint64_t) {
        count_sink_take(sink, token, readable, bytes, chars, !Filters || kind_passes);
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
        // As SinkOut: a batch that they would fill stops right after its last token.
        if (sink.kept + tokens >= sink.limit) return false;
        // The start after each kept one (see SinkOut::put_prefix).
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

// The length of the block's prefix whose tokens are settled as they stand:
// they all end within it, and none is a special character, a word run that
// a hyphen or a special character follows, or a run that may go on past the
// range or the block. It ends at a token start, or at the end of the range
// or the block; 0 when the block's first token is not so settled.
HWY_INLINE std::size_t SettledPrefix(std::uint64_t starts, std::uint64_t word_start,
                                     std::uint64_t special, std::uint64_t check_end,
                                     std::size_t m) {
    if (starts == 0) return 0;
    std::size_t end = m; // a range that ends in the block: its last token ends there
    if (m == BLOCK) {    // the last start: a run may go on, an ASCII character ends
        const std::size_t last = 63 - hwy::Num0BitsAboveMS1Bit_Nonzero64(starts);
        end = last + ((word_start >> last) & 1u ? 0 : 1);
    }
    if (special != 0) end = HWY_MIN(end, LowestBit(special));
    if (check_end != 0) { // the run that ends at the first such place starts before it
        const std::uint64_t before = starts & Below(LowestBit(check_end));
        if (before == 0) return 0;
        end = HWY_MIN(end, 63 - hwy::Num0BitsAboveMS1Bit_Nonzero64(before));
    }
    return end;
}

// A word group of the block that goes on past its first run blk[s..e) with
// the hyphen at e: pieces alternate word runs and single hyphens, read off the
// masks, under the limits of GROUP_MAX_PIECES pieces and TOKEN_MAX_CHARS
// characters. Returns the group's end (a start, or m at the end of a final
// range) with its characters and the str storage bits of its pieces; 0 when
// the walk cannot settle it: it goes past the block, the range ends where it
// might go on, or the character after it is not well-formed.
template <class WellFormed>
HWY_INLINE std::size_t Compound(const BlockMasks& k, const std::uint8_t* blk,
                                std::uint64_t starts, std::uint64_t word_start,
                                std::uint64_t special, std::size_t s, std::size_t e,
                                std::size_t m, bool final, const WellFormed& well_formed,
                                std::uint64_t& chars, std::uint32_t& bits) {
    const auto run_is_ru = [&](std::size_t at) { return (k.ru_lead >> at) & 1u; };
    chars = (e - s) >> run_is_ru(s);
    bits = static_cast<std::uint32_t>(run_is_ru(s) * 0x410u);
    std::uint64_t pieces = 1;
    std::size_t pos = e; // a hyphen right after a word run
    for (;;) {
        if (pieces >= GROUP_MAX_PIECES || chars + 1 > TOKEN_MAX_CHARS) return pos;
        ++chars;
        ++pieces;
        ++pos;
        if (pos >= BLOCK) return 0;
        if (pos == m) return final ? pos : 0;
        if (!((word_start >> pos) & 1u)) { // the group ends with its hyphen
            if (((special >> pos) & 1u) && !well_formed(pos)) return 0;
            return pos;
        }
        // The word run from pos to the next start, settled (with the
        // character after it) before it is known whether it joins.
        const std::uint64_t later = starts & ~((std::uint64_t{2} << pos) - 1);
        if (later == 0) return 0;
        const std::size_t q = LowestBit(later);
        if (q == m ? !final : ((special >> q) & 1u) && !well_formed(q)) return 0;
        const std::uint64_t run_chars = (q - pos) >> run_is_ru(pos);
        if (pieces >= GROUP_MAX_PIECES || chars + run_chars > TOKEN_MAX_CHARS) return pos;
        chars += run_chars;
        ++pieces;
        bits |= static_cast<std::uint32_t>(run_is_ru(pos) * 0x410u);
        if (q == m || blk[q] != '-') return q;
        pos = q;
    }
}

// Joins the word groups of the block that begin with a word run followed by
// a hyphen (the places in `unsettled` that hold a hyphen, lowest first), as
// Compound settles them: the starts inside each group are cleared from
// `starts`, and the places up to its end from `unsettled`. Stops at the first
// place that is not such a hyphen, or whose group Compound cannot settle,
// which stays in `unsettled` (a prefix ends before its run).
template <class WellFormed>
HWY_INLINE void JoinGroups(const BlockMasks& k, const std::uint8_t* blk, std::uint64_t word_start,
                           std::uint64_t special, std::size_t m, bool final,
                           const WellFormed& well_formed, std::uint64_t& starts,
                           std::uint64_t& unsettled) {
    while (unsettled != 0) {
        const std::size_t e = LowestBit(unsettled);
        if (e == m || blk[e] != '-') return;
        const std::uint64_t before = starts & Below(e);
        if (before == 0) return;
        const std::size_t s = 63 - hwy::Num0BitsAboveMS1Bit_Nonzero64(before);
        std::uint64_t chars;
        std::uint32_t bits;
        const std::size_t end =
            Compound(k, blk, starts, word_start, special, s, e, m, final, well_formed, chars, bits);
        if (end == 0) return;
        starts &= ~(Below(end) & ~Below(s + 1));
        unsettled &= ~Below(end + 1);
    }
}

// The walk over the token starts of each block. The common tokens (ASCII
// characters, runs of ASCII letters, digits or Russian letters) all take one
// path without a branch on their kind: a token reaches the next start, its
// kind comes from its first byte, and a Russian run has half as many
// characters as bytes. The rest is marked in masks and branches off rarely:
// other multi-byte characters and stray bytes ("special" starts), and the
// starts where a word run must not simply end (a hyphen, a special character,
// or the end of a range that is not final, right after a word byte).
// Where the out takes prefixes (BULK), each block begins with its settled
// prefix, and the walk takes only the one token after it, from whose end the
// next block begins.
template <class Out>
HWY_INLINE std::size_t Walk(const KernelTables& t, const std::uint8_t* p, std::size_t n,
                            bool final, Out& out) {
    constexpr std::uint64_t RUWORD = type_value(TokenType::RUWORD);
    // The last block of a range is copied here, zero-padded, so that every
    // vector load stays inside memory that may be read.
    HWY_ALIGN std::uint8_t pad[2 * BLOCK];
    std::size_t base = 0; // the block starts here, always at a token start
    std::uint64_t block_chars = 0; // characters before it (counted only where FILTERS)
    while (base < n) {
        const std::size_t m = n - base < BLOCK ? n - base : BLOCK; // bytes of the range in it
        const std::uint8_t* blk = p + base;
        if (n - base <= BLOCK) {
            std::memcpy(pad, blk, m);
            std::memset(pad + m, 0, sizeof pad - m);
            blk = pad;
        }
        BlockMasks k;
        Classify(blk, k);
        const std::uint64_t valid = m == BLOCK ? ~std::uint64_t{0} : (std::uint64_t{1} << m) - 1;
        const std::uint64_t ru = k.ru_lead | (k.ru_lead << 1);
        // A word byte starts a run when the byte before is not of its run.
        const std::uint64_t word_start = (k.letter & ~(k.letter << 1)) |
                                         (k.digit & ~(k.digit << 1)) | (k.ru_lead & ~(ru << 1));
        const std::uint64_t ascii = ~(k.cont | k.lead);
        // Continuation bytes that the lead bytes before them call for; any
        // other one is a stray byte, made a start so the walk stops there.
        const std::uint64_t expected = (k.lead << 1) | (k.lead34 << 2) | (k.lead4 << 3);
        const std::uint64_t single =
            (ascii & ~k.letter & ~k.digit) | (k.lead & ~k.ru_lead) | (k.cont & ~expected);
        // A range that ends inside the block ends with a start bit at m.
        const std::uint64_t end_bit = m < BLOCK ? std::uint64_t{1} << m : 0;
        std::uint64_t starts = ((word_start | single) & valid) | end_bit;
        const std::uint64_t special = starts & valid & ~(ascii | k.ru_lead);
        const std::uint64_t word_byte = k.letter | k.digit | ru;
        const std::uint64_t check_end =
            (k.hyphen | special | (final ? 0 : end_bit)) & (word_byte << 1);
        // Where a token's kind passes the filter: an ASCII first byte in the
        // filter's bitmap (a letter or digit by its mask, where the filter
        // takes no other ASCII kind), or a Russian letter (other characters
        // are looked up).
        std::uint64_t pass = 0;
        if constexpr (Out::FILTERS)
            pass = (out.ascii.others
                        ? InAsciiBitmap(blk, out.ascii.bitmap) & ascii
                        : (k.letter & out.ascii.letters) | (k.digit & out.ascii.digits)) |
                   (out.passes_kind(RUWORD) ? k.ru_lead : 0);
        const std::uint64_t lead_bytes = ~k.cont;
        if constexpr (Out::BULK) {
            if (out.prefixes()) {
                // Word groups joined by hyphens lose the starts inside them.
                std::uint64_t group_starts = starts, unsettled = check_end;
                if (check_end != 0) {
                    const auto well_formed = [&](std::size_t at_block) {
                        DecodedChar c;
                        return decode_strict(p + base + at_block, p + n, c) == Utf8Decode::ok;
                    };
                    JoinGroups(k, blk, word_start, special, m, final, well_formed, group_starts,
                               unsettled);
                }
                const std::size_t end =
                    SettledPrefix(group_starts, word_start, special, unsettled, m);
                if (end != 0 && out.put_prefix(t, blk, k, group_starts, end, pass, n - base)) {
                    base += end;
                    if constexpr (Out::FILTERS) {
                        block_chars += hwy::PopCount(lead_bytes & Below(end));
                        out.block_base = base;
                        out.chars_before = block_chars;
                    }
                    continue;
                }
            }
        }

        // The starts visited: all of them, or where FILTERS, those whose
        // token may pass, the special ones and the last one (whose run may go
        // on), unless a word run in the block may join with what follows it.
        std::uint64_t visit = starts;
        if constexpr (Out::FILTERS) {
            if (check_end == 0) {
                const std::uint64_t last = std::uint64_t{1}
                                           << (63 - hwy::Num0BitsAboveMS1Bit_Nonzero64(starts));
                visit = (starts & (pass | special)) | last;
            }
        }
        // The first character of the token at s, counted from the walk's start.
        const auto char_at = [&](std::size_t s) -> std::uint64_t {
            if constexpr (!Out::FILTERS) return 0;
            return block_chars + hwy::PopCount(lead_bytes & ((std::uint64_t{1} << s) - 1));
        };
        const auto stop = [&](std::size_t s) { return base + s; };
        std::size_t next_base = base + BLOCK;
        while (visit != 0) {
            const std::size_t s = LowestBit(visit);
            // A full batch stops right after its last token (the lowest start
            // not yet taken), so that no token skipped after it is lost.
            if (out.full()) return stop(Out::FILTERS ? LowestBit(starts) : s);
            if (s == m) return n; // only with end_bit: the range is used up
            if constexpr (Out::FILTERS) {
                visit &= visit - 1;
                starts &= ~((std::uint64_t{2} << s) - 1); // s and the starts before it
            } else {
                starts &= starts - 1;
                visit = starts;
            }
            const std::uint64_t bit = std::uint64_t{1} << s;
            const std::size_t at = base + s;
            if (HWY_UNLIKELY(special & bit)) {
                const std::uint8_t b = blk[s];
                if (!(k.lead & bit)) return stop(s); // a stray continuation byte
                DecodedChar c;
                if (b >= 0xC2u && b < 0xE0u && s + 1 < BLOCK && ((k.cont >> (s + 1)) & 1u)) {
                    // Two bytes (Latin-1 signs among them): well-formed as they stand.
                    c = {((b & 0x1Fu) << 6) | (blk[s + 1] & 0x3Fu), 2};
                } else if (decode_strict(p + at, p + n, c) != Utf8Decode::ok) {
                    return stop(s);
                }
                const std::uint64_t type = char_class_to_type[t.table->lookup(c.code_point)];
                bool passes = true;
                if constexpr (Out::FILTERS) passes = out.passes_kind(type);
                out.put(p + at, n - at, at, c.length, 1, type, c.code_point, passes, char_at(s));
                const std::size_t after = s + c.length;
                if (after >= BLOCK) {
                    next_base = base + after;
                    break;
                }
                // Only continuation bytes lie between a character and the next start.
                if (starts == 0 || LowestBit(starts) != after) return stop(after);
                if (Out::BULK && out.prefixes()) { // back to prefixes after this one token
                    next_base = base + after;
                    break;
                }
                continue;
            }
            if (HWY_UNLIKELY(starts == 0)) {
                // The last start of a full block: an ASCII character ends in
                // it, a run may go on past it.
                if (!(word_start & bit)) {
                    out.put(p + at, n - at, at, 1, 1, t.ascii_type[blk[s]], 0, (pass >> s) & 1u,
                            char_at(s));
                    break;
                }
                if (s == 0) return stop(s);
                next_base = at;
                break;
            }
            const std::size_t e = LowestBit(starts);
            const std::uint64_t is_ru = (k.ru_lead >> s) & 1u;
            const std::uint64_t type = is_ru ? RUWORD : t.ascii_type[blk[s] & 0x7Fu];
            if (HWY_UNLIKELY((check_end >> e) & 1u)) {
                if (e == m) return stop(s); // the run may go on in the next range
                // The character after a run or group must be well-formed too.
                const auto well_formed = [&](std::size_t at_block) {
                    DecodedChar c;
                    return decode_strict(p + base + at_block, p + n, c) == Utf8Decode::ok;
                };
                if (blk[e] == '-') { // a compound, or a trailing hyphen
                    std::uint64_t chars;
                    std::uint32_t bits;
                    const std::size_t end =
                        Compound(k, blk, starts, word_start, special, s, e, m, final,
                                 well_formed, chars, bits);
                    if (end == 0) {
                        if (s == 0) return stop(s);
                        next_base = at; // the block begins again with the group
                        break;
                    }
                    out.put(p + at, n - at, at, end - s, chars, type, bits, (pass >> s) & 1u,
                            char_at(s));
                    starts &= ~((std::uint64_t{1} << end) - 1);
                    visit &= ~((std::uint64_t{1} << end) - 1);
                    if (Out::BULK && out.prefixes()) {
                        next_base = base + end;
                        break;
                    }
                    continue;
                }
                if (!well_formed(e)) return stop(s);
            }
            const std::size_t bytes = e - s;
            out.put(p + at, n - at, at, bytes, bytes >> is_ru, type,
                    static_cast<std::uint32_t>(is_ru * 0x410u), (pass >> s) & 1u, char_at(s));
            if (Out::BULK && out.prefixes()) {
                next_base = base + e;
                break;
            }
        }
        if constexpr (Out::FILTERS) {
            const std::size_t used = next_base - base; // bytes past the block are continuations
            const std::uint64_t counted =
                used >= BLOCK ? lead_bytes : lead_bytes & ((std::uint64_t{1} << used) - 1);
            block_chars += hwy::PopCount(counted);
            out.block_base = next_base;
            out.chars_before = block_chars;
        }
        base = next_base;
    }
    return n;
}

KernelScan ScanKernel(const KernelTables& t, const std::uint8_t* p, std::size_t n, bool final,
                      TokenSpan* out, std::size_t max_spans) {
    SpanOut o{out, max_spans};
    const std::size_t consumed = Walk(t, p, n, final, o);
    return {consumed, o.spans};
}

std::size_t ScanInto(const KernelTables& t, const std::uint8_t* p, std::size_t n, bool final,
                     TokenSink& sink) {
    if (sink_keeps_everything(sink)) {
        KeptOut o{sink};
        const std::size_t consumed = Walk(t, p, n, final, o);
        sink_settle_position(o.sink, sink);
        sink = o.sink;
        return consumed;
    }
    // A token of a prefix has 1 to BLOCK characters.
    const bool bulk = sink.offsets == nullptr && sink.min_len <= 1 && sink.max_len >= BLOCK;
    SinkOut o{sink, kernel_detail::ascii_passing(t, sink.filter), bulk};
    const std::size_t consumed = Walk(t, p, n, final, o);
    // The characters of the blocks before the one it stopped in are known.
    const std::size_t from = o.block_base < consumed ? o.block_base : consumed;
    o.sink.char_pos += o.chars_before + kernel_detail::count_chars(p + from, consumed - from);
    sink = o.sink;
    return consumed;
}

std::size_t ScanCount(const KernelTables& t, const std::uint8_t* p, std::size_t n, bool final,
                      CountSink& sink) {
    constexpr std::uint64_t every_kind = 0x7F;
    if ((sink.filter & every_kind) == every_kind && sink.min_len <= 1 &&
        sink.max_len >= TOKEN_MAX_CHARS) {
        CountOut<false> o{sink, {}, true};
        const std::size_t consumed = Walk(t, p, n, final, o);
        sink = o.sink;
        sink.chars += kernel_detail::count_chars(p, consumed);
        return consumed;
    }
    CountOut<true> o{sink, kernel_detail::ascii_passing(t, sink.filter),
                     sink.min_len <= 1 && sink.max_len >= BLOCK};
    const std::size_t consumed = Walk(t, p, n, final, o);
    sink = o.sink;
    sink.chars += kernel_detail::count_chars(p, consumed);
    return consumed;
}

// The code points of the characters led by the bytes of b0 (b1, b2: the
// bytes one and two further on), as 16-bit values, and which lanes hold one.
template <class D16, class V>
HWY_INLINE V DecodeLanes(D16 d16, V b0, V b1, V b2, hn::Mask<D16>& keep) {
    const auto low6 = hn::Set(d16, 0x3F);
    const auto two = hn::Or(hn::ShiftLeft<6>(hn::And(b0, hn::Set(d16, 0x1F))), hn::And(b1, low6));
    const auto three = hn::Or(hn::ShiftLeft<12>(b0), // the top bits of E0..EF fall off
                              hn::Or(hn::ShiftLeft<6>(hn::And(b1, low6)), hn::And(b2, low6)));
    const auto is3 = hn::Eq(hn::Max(b0, hn::Set(d16, 0xE0)), b0);
    const auto is2 = hn::Eq(hn::Max(b0, hn::Set(d16, 0xC0)), b0);
    keep = hn::Ne(hn::And(b0, hn::Set(d16, 0xC0)), hn::Set(d16, 0x80));
    return hn::IfThenElse(is3, three, hn::IfThenElse(is2, two, b0));
}

// Input bytes that must follow a chunk for its full-vector stores to stay
// within the output: the characters after it fill at least the lanes that a
// store writes past the characters of the chunk (at most 3 bytes a character,
// 2 of them possibly still part of the chunk's last character).
inline constexpr std::size_t TAIL_BYTES = 2 + 3 * 16;

#if HWY_TARGET != HWY_SCALAR
// The code points of the characters led in at[0..8) (at[8..10) readable),
// moved to the front of eight 16-bit lanes, and how many there are.
HWY_INLINE hn::Vec<hn::FixedTag<std::uint16_t, 8>> DecodeEight(const std::uint8_t* at,
                                                               std::size_t& count) {
    const hn::FixedTag<std::uint16_t, 8> d16;
    const hn::FixedTag<std::uint8_t, 16> d8x16;
    const hn::Rebind<std::uint8_t, decltype(d16)> d8;
    hn::Mask<decltype(d16)> keep;
    const auto value = DecodeLanes(d16, hn::PromoteTo(d16, hn::LoadU(d8, at)),
                                   hn::PromoteTo(d16, hn::LoadU(d8, at + 1)),
                                   hn::PromoteTo(d16, hn::LoadU(d8, at + 2)), keep);
    std::uint8_t bits = 0;
    hn::StoreMaskBits(d16, keep, &bits);
    count = static_cast<std::size_t>(hwy::PopCount(bits));
    const auto index = hn::LoadU(d8x16, kernel_detail::compact_table.index[bits]);
    return hn::BitCast(d16, hn::TableLookupBytes(hn::BitCast(d8x16, value), index));
}
#endif

#if HWY_TARGET == HWY_SCALAR
// One lane: no level uses this target; the scalar loop.
template <class Unit>
HWY_INLINE void Transcode(const std::uint8_t* in, std::size_t n, Unit* out) {
    utf8_to_units(in, 0, n, out);
}
#elif HWY_TARGET <= HWY_AVX3
// Native compress instructions: whole vectors of 16-bit lanes at a time.
template <class Unit>
HWY_INLINE void Transcode(const std::uint8_t* in, std::size_t n, Unit* out) {
    const hn::ScalableTag<std::uint16_t> d16;
    const hn::Rebind<std::uint8_t, decltype(d16)> d8;
    const std::size_t N = hn::Lanes(d16);
    std::size_t i = 0, o = 0;
    while (i + N + 2 <= n) {
        const auto v = hn::LoadU(d8, in + i);
        if (hn::AllTrue(d8, hn::Eq(hn::Min(v, hn::Set(d8, 0x7F)), v))) { // all ASCII
            if constexpr (sizeof(Unit) == 1) hn::StoreU(v, d8, out + o);
            else hn::StoreU(hn::PromoteTo(d16, v), d16, out + o);
            o += N;
        } else {
            hn::Mask<decltype(d16)> keep;
            const auto value = DecodeLanes(d16, hn::PromoteTo(d16, v),
                                           hn::PromoteTo(d16, hn::LoadU(d8, in + i + 1)),
                                           hn::PromoteTo(d16, hn::LoadU(d8, in + i + 2)), keep);
            // Compressed in a register, then stored: the compress that
            // stores to memory is microcoded and many times slower on Zen 4.
            const auto packed = hn::Compress(value, keep);
            const std::size_t count = hn::CountTrue(d16, keep);
            if constexpr (sizeof(Unit) == 1) {
                HWY_ALIGN std::uint8_t narrow[hn::MaxLanes(d8)];
                hn::Store(hn::TruncateTo(d8, packed), d8, narrow);
                std::memcpy(out + o, narrow, count);
            } else {
                hn::BlendedStore(packed, hn::FirstN(d16, count), d16, out + o);
            }
            o += count;
        }
        i += N;
    }
    utf8_to_units(in, i, n, out + o);
}
#else
// Eight 16-bit lanes at a time, packed by a byte shuffle from a table.
template <class Unit>
HWY_INLINE void Transcode(const std::uint8_t* in, std::size_t n, Unit* out) {
    const hn::FixedTag<std::uint16_t, 8> d16;
    const hn::Rebind<std::uint8_t, decltype(d16)> d8;
    const hn::ScalableTag<std::uint8_t> dv; // for the ASCII test and copy
    const std::size_t V = hn::Lanes(dv);
    std::size_t i = 0, o = 0;
    while (i + V + TAIL_BYTES <= n) {
        const auto all = hn::LoadU(dv, in + i);
        if (hn::AllTrue(dv, hn::Eq(hn::Min(all, hn::Set(dv, 0x7F)), all))) { // all ASCII
            if constexpr (sizeof(Unit) == 1) {
                hn::StoreU(all, dv, out + o);
            } else {
                for (std::size_t h = 0; h < V; h += 8)
                    hn::StoreU(hn::PromoteTo(d16, hn::LoadU(d8, in + i + h)), d16, out + o + h);
            }
            o += V;
            i += V;
            continue;
        }
        for (std::size_t h = 0; h < V; h += 8) {
            std::size_t count;
            const auto packed = DecodeEight(in + i + h, count);
            if constexpr (sizeof(Unit) == 1) hn::StoreU(hn::TruncateTo(d8, packed), d8, out + o);
            else hn::StoreU(packed, d16, out + o);
            o += count;
        }
        i += V;
    }
    utf8_to_units(in, i, n, out + o);
}
#endif

#if HWY_TARGET == HWY_SCALAR
HWY_INLINE void TranscodeWide(const std::uint8_t* in, std::size_t n, std::uint32_t* out) {
    utf8_to_units(in, 0, n, out);
}
#else
// Into four-byte storage, as Transcode into two-byte storage eight 16-bit
// lanes at a time, widened as they are stored; a piece that holds a lead
// byte of four (F0..FF) is decoded a character at a time (such characters
// are rare even where they occur).
HWY_INLINE void TranscodeWide(const std::uint8_t* in, std::size_t n, std::uint32_t* out) {
    const hn::FixedTag<std::uint16_t, 4> d16h;
    const hn::FixedTag<std::uint32_t, 4> d32;
    const hn::FixedTag<std::uint8_t, 16> d8x16;
    const hn::FixedTag<std::uint8_t, 4> d8x4;
    std::size_t i = 0, o = 0;
    while (i + 16 + TAIL_BYTES <= n) {
        const auto all = hn::LoadU(d8x16, in + i);
        if (hn::AllTrue(d8x16, hn::Eq(hn::Min(all, hn::Set(d8x16, 0x7F)), all))) { // all ASCII
            for (std::size_t h = 0; h < 16; h += 4)
                hn::StoreU(hn::PromoteTo(d32, hn::LoadU(d8x4, in + i + h)), d32, out + o + h);
            o += 16;
            i += 16;
            continue;
        }
        if (!hn::AllTrue(d8x16, hn::Lt(all, hn::Set(d8x16, 0xF0)))) {
            // The characters led in the piece, each read whole (its bytes
            // after the piece lie within the tail).
            o += utf8_to_units(in, i, i + 16, n, out + o);
            i += 16;
            continue;
        }
        for (std::size_t h = 0; h < 16; h += 8) {
            std::size_t count;
            const auto packed = DecodeEight(in + i + h, count);
            hn::StoreU(hn::PromoteTo(d32, hn::LowerHalf(d16h, packed)), d32, out + o);
            hn::StoreU(hn::PromoteTo(d32, hn::UpperHalf(d16h, packed)), d32, out + o + 4);
            o += count;
        }
        i += 16;
    }
    utf8_to_units(in, i, n, out + o);
}
#endif

#if HWY_TARGET == HWY_SCALAR
template <class Unit>
HWY_INLINE std::size_t Encode(const Unit* in, std::size_t n, std::uint8_t* out) {
    return units_to_utf8(in, n, out);
}
#else
// UTF-8 of code points in str storage of one, two or four bytes, eight at a
// time (or four whole vectors of ASCII ones in storage of one or two bytes):
// a plain narrowing where all eight are ASCII, both bytes of each made
// in its lane and packed by a byte shuffle from a table where all are below
// U+0800 (Latin-1 and Cyrillic), and the scalar encoder for the eight
// otherwise. Each step stores 16 bytes for at most 16 of output: `out` needs
// room for 4 bytes a unit.
template <class Unit>
HWY_INLINE std::size_t Encode(const Unit* in, std::size_t n, std::uint8_t* out) {
    const hn::FixedTag<std::uint16_t, 8> d16;
    const hn::FixedTag<std::uint8_t, 16> d8x16;
    const hn::Rebind<std::uint8_t, decltype(d16)> d8;
    std::uint8_t* o = out;
    std::size_t i = 0;
    bool ascii = true; // the last eight were ASCII
    for (; i + 8 <= n; i += 8) {
        if (sizeof(Unit) <= 2 && ascii) {
            // Whole vectors of ASCII units (four in a row) narrowed at once,
            // tried after eight ASCII ones.
            const hn::ScalableTag<Unit> du;
            const hn::Rebind<std::uint8_t, decltype(du)> dn;
            const std::size_t U = hn::Lanes(du);
            while (i + 4 * U <= n) {
                const auto a = hn::LoadU(du, in + i), b = hn::LoadU(du, in + i + U);
                const auto c2 = hn::LoadU(du, in + i + 2 * U), d2 = hn::LoadU(du, in + i + 3 * U);
                const auto any = hn::Or(hn::Or(a, b), hn::Or(c2, d2));
                if (!hn::AllTrue(du, hn::Eq(hn::Min(any, hn::Set(du, Unit{0x7F})), any))) break;
                if constexpr (sizeof(Unit) == 1) {
                    hn::StoreU(a, du, o);
                    hn::StoreU(b, du, o + U);
                    hn::StoreU(c2, du, o + 2 * U);
                    hn::StoreU(d2, du, o + 3 * U);
                } else {
                    hn::StoreU(hn::TruncateTo(dn, a), dn, o);
                    hn::StoreU(hn::TruncateTo(dn, b), dn, o + U);
                    hn::StoreU(hn::TruncateTo(dn, c2), dn, o + 2 * U);
                    hn::StoreU(hn::TruncateTo(dn, d2), dn, o + 3 * U);
                }
                o += 4 * U;
                i += 4 * U;
            }
            if (i + 8 > n) break;
        }
        hn::Vec<decltype(d16)> c;
        if constexpr (sizeof(Unit) == 1) {
            c = hn::PromoteTo(d16, hn::LoadU(d8, in + i));
        } else if constexpr (sizeof(Unit) == 2) {
            c = hn::LoadU(d16, in + i);
        } else {
            // Four-byte units below U+0800 (as all are when their OR is)
            // narrowed to their low halves, in order.
            const hn::FixedTag<std::uint32_t, 4> d32;
            const auto low = hn::LoadU(d32, in + i), high = hn::LoadU(d32, in + i + 4);
            if (!hn::AllTrue(d32, hn::Eq(hn::And(hn::Or(low, high), hn::Set(d32, ~0x7FFu)),
                                         hn::Zero(d32)))) {
                o += units_to_utf8(in + i, 8, o);
                continue;
            }
            c = hn::ConcatEven(d16, hn::BitCast(d16, high), hn::BitCast(d16, low));
        }
        const auto wide = hn::Ne(hn::Min(c, hn::Set(d16, 0x7F)), c); // U+0080 and up
        ascii = hn::AllFalse(d16, wide);
        if (ascii) {
            hn::StoreU(hn::TruncateTo(d8, c), d8, o);
            o += 8;
            continue;
        }
        if constexpr (sizeof(Unit) == 2) {
            if (!hn::AllTrue(d16, hn::Eq(hn::Min(c, hn::Set(d16, 0x7FF)), c))) {
                o += units_to_utf8(in + i, 8, o);
                continue;
            }
        }
        const auto lead = hn::Or(hn::Set(d16, 0xC0), hn::ShiftRight<6>(c));
        const auto trail = hn::Or(hn::Set(d16, 0x80), hn::And(c, hn::Set(d16, 0x3F)));
        const auto lanes = hn::IfThenElse(wide, hn::Or(lead, hn::ShiftLeft<8>(trail)), c);
        std::uint8_t bits = 0;
        hn::StoreMaskBits(d16, wide, &bits);
        const auto index = hn::LoadU(d8x16, kernel_detail::expand_table.index[bits]);
        hn::StoreU(hn::TableLookupBytes(hn::BitCast(d8x16, lanes), index), d8x16, o);
        o += 8 + static_cast<std::size_t>(hwy::PopCount(bits));
    }
    return static_cast<std::size_t>(o - out) + units_to_utf8(in + i, n - i, o);
}
#endif

#if HWY_TARGET == HWY_SCALAR
template <class Unit>
HWY_INLINE bool Surrogate(const Unit* in, std::size_t n) {
    return has_surrogate(in, n);
}
#else
// Whether units of two or four bytes hold a surrogate (D800..DFFF): four
// vectors a step, the lanes that are one gathered into a vector.
template <class Unit>
HWY_INLINE bool Surrogate(const Unit* in, std::size_t n) {
    const hn::ScalableTag<Unit> d;
    const std::size_t N = hn::Lanes(d);
    const auto top = hn::Set(d, static_cast<Unit>(~Unit{0x7FF}));
    const auto surrogate = hn::Set(d, Unit{0xD800});
    auto any = hn::Zero(d);
    std::size_t i = 0;
    for (; i + 4 * N <= n; i += 4 * N)
        for (std::size_t k = 0; k < 4 * N; k += N)
            any = hn::Or(any, hn::VecFromMask(
                                  d, hn::Eq(hn::And(hn::LoadU(d, in + i + k), top), surrogate)));
    return !hn::AllFalse(d, hn::Ne(any, hn::Zero(d))) || has_surrogate(in + i, n - i);
}
#endif

std::size_t FromUcs1(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    return Encode(in, n, out);
}

std::size_t FromUcs2(const std::uint16_t* in, std::size_t n, std::uint8_t* out) {
    return Encode(in, n, out);
}

std::size_t FromUcs4(const std::uint32_t* in, std::size_t n, std::uint8_t* out) {
    return Encode(in, n, out);
}

bool Surrogate2(const std::uint16_t* in, std::size_t n) { return Surrogate(in, n); }

bool Surrogate4(const std::uint32_t* in, std::size_t n) { return Surrogate(in, n); }

void Ucs2(const std::uint8_t* in, std::size_t n, std::uint16_t* out) { Transcode(in, n, out); }

void Ucs1(const std::uint8_t* in, std::size_t n, std::uint8_t* out) { Transcode(in, n, out); }

void Ucs4(const std::uint8_t* in, std::size_t n, std::uint32_t* out) { TranscodeWide(in, n, out); }

} // namespace HWY_NAMESPACE
} // namespace tarvelin
HWY_AFTER_NAMESPACE();

#endif // per-target include guard
