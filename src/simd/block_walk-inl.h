// Block classification and the walk over token starts: the heart of the
// scanning kernel (simd/scan_kernel.hpp). A block of 64 bytes is classified
// into bit masks, token starts are derived from them with shifts, and the
// walk hands each token it settles to an output (batch_out-inl.h,
// count_out-inl.h), which decides where it goes. Written once for every
// instruction set: simd/dispatch.cpp includes it once per target (through
// hwy/foreach_target.h), each pass compiling it into its own namespace
// tarvelin::N_<TARGET> with that target's instructions enabled by attributes.

// Compiled once, for the baseline.
#ifndef TARVELIN_SIMD_BLOCK_WALK_INL_H_ONCE
#define TARVELIN_SIMD_BLOCK_WALK_INL_H_ONCE

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "classify/char_class.hpp"
#include "scan/batch_sink.hpp"
#include "simd/kernel_tables.hpp"
#include "text/utf8_strict.hpp"
#include "tokens/token.hpp"
#include "tokens/token_assembler.hpp"
#include "tokens/token_type.hpp"

#endif // TARVELIN_SIMD_BLOCK_WALK_INL_H_ONCE

// Per-target part: the include guard toggles with each foreach_target pass.
#if defined(TARVELIN_SIMD_BLOCK_WALK_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARVELIN_SIMD_BLOCK_WALK_INL_H_
#undef TARVELIN_SIMD_BLOCK_WALK_INL_H_
#else
#define TARVELIN_SIMD_BLOCK_WALK_INL_H_
#endif

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace tarvelin {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using kernel_detail::BLOCK;
using kernel_detail::KernelTables;
using kernel_detail::WalkToken;

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

// The characters of well-formed text p[0..n): the bytes that are not
// continuations. Per target, for its population count instruction (baseline
// code would call a library function for it).
HWY_INLINE std::uint64_t CountChars(const std::uint8_t* p, std::size_t n) {
    constexpr std::uint64_t HIGH = 0x8080808080808080ull;
    std::uint64_t continuations = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        continuations += hwy::PopCount(w & ~(w << 1) & HIGH);
    }
    for (; i < n; ++i) continuations += (p[i] & 0xC0u) == 0x80u;
    return n - continuations;
}

// The bits below bit i (all 64 for i = 64).
HWY_INLINE std::uint64_t Below(std::size_t i) {
    return i >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << i) - 1;
}

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
    bits = static_cast<std::uint32_t>(run_is_ru(s) * RUSSIAN_LETTER_BITS);
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
        bits |= static_cast<std::uint32_t>(run_is_ru(pos) * RUSSIAN_LETTER_BITS);
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
        // The token at s of `size` bytes, as the outputs take it.
        const auto token_at = [&](std::size_t s, std::size_t size, std::uint64_t chars,
                                  std::uint64_t type, std::uint32_t bits, bool kind_passes) {
            const std::size_t at = base + s;
            return WalkToken{
                {p + at, n - at, size, chars, type, bits}, at, kind_passes, char_at(s)};
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
                    // Two bytes (Latin-1 signs among them): well-formed as they
                    // stand. (Measured: through decode_strict alone, the batch
                    // path with offsets runs 2.4% more instructions.)
                    c = {utf8_code_point(b, blk[s + 1], 0, 0, 2), 2};
                } else if (decode_strict(p + at, p + n, c) != Utf8Decode::ok) {
                    return stop(s);
                }
                const std::uint64_t type = char_class_to_type[t.table->lookup(c.code_point)];
                bool passes = true;
                if constexpr (Out::FILTERS) passes = out.passes_kind(type);
                out.put(token_at(s, c.length, 1, type, c.code_point, passes));
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
                    out.put(token_at(s, 1, 1, t.ascii_type[blk[s]], 0, (pass >> s) & 1u));
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
                    out.put(token_at(s, end - s, chars, type, bits, (pass >> s) & 1u));
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
            out.put(token_at(s, bytes, bytes >> is_ru, type,
                             static_cast<std::uint32_t>(is_ru * RUSSIAN_LETTER_BITS),
                             (pass >> s) & 1u));
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

} // namespace HWY_NAMESPACE
} // namespace tarvelin
HWY_AFTER_NAMESPACE();

#endif // per-target include guard
