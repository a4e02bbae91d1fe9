// The vector text conversion of text/transcode.hpp: UTF-8 into a str's
// storage of one, two or four bytes a character and back, and the test for
// surrogates. Per target, as block_walk-inl.h.

// Compiled once, for the baseline.
#ifndef TARVELIN_SIMD_TRANSCODE_INL_H_ONCE
#define TARVELIN_SIMD_TRANSCODE_INL_H_ONCE

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/kernel_tables.hpp"
#include "text/transcode.hpp"

namespace tarvelin::kernel_detail {

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

} // namespace tarvelin::kernel_detail

#endif // TARVELIN_SIMD_TRANSCODE_INL_H_ONCE

// Per-target part: the include guard toggles with each foreach_target pass.
#if defined(TARVELIN_SIMD_TRANSCODE_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARVELIN_SIMD_TRANSCODE_INL_H_
#undef TARVELIN_SIMD_TRANSCODE_INL_H_
#else
#define TARVELIN_SIMD_TRANSCODE_INL_H_
#endif

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace tarvelin {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

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
