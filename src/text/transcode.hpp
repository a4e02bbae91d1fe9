// Text conversion between UTF-8 and a str's storage of one, two or four bytes
// a character (Latin-1, below U+10000, any): the entry points, which run the
// vector code of the dispatch level in use (src/simd), and beside them the
// scalar loops that are their references and the "scalar" level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "classify/utf8_char.hpp"

namespace tarvelin {

// Decodes the characters of well-formed UTF-8 whose lead bytes lie in
// in[from..to) (continuation bytes there are skipped), reading their other
// bytes up to in[end), and stores them as `Unit`s; returns the units written.
template <class Unit>
std::size_t utf8_to_units(const std::uint8_t* in, std::size_t from, std::size_t to,
                          std::size_t end, Unit* out) noexcept {
    std::size_t o = 0;
    for (std::size_t i = from; i < to; ++i) {
        const std::uint32_t b = in[i];
        if ((b & 0xC0u) == 0x80u) continue;
        // The bits of utf8_code_point, gathered a byte at a time within
        // `end`: a loop of its own, as going through utf8_code_point (with
        // the reads bounded) made the scalar transcoding run 2-3% more
        // instructions.
        std::uint32_t cp = b;
        if (b >= 0xC0u) {
            const std::size_t len = b >= 0xF0u ? 4 : b >= 0xE0u ? 3 : 2;
            cp = b & (0x7Fu >> len);
            for (std::size_t k = 1; k < len && i + k < end; ++k)
                cp = (cp << 6) | (in[i + k] & 0x3Fu);
        }
        out[o++] = static_cast<Unit>(cp);
    }
    return o;
}

// The same for the characters led in in[from..n), read within it.
template <class Unit>
std::size_t utf8_to_units(const std::uint8_t* in, std::size_t from, std::size_t n,
                          Unit* out) noexcept {
    return utf8_to_units(in, from, n, n, out);
}

// The same for short well-formed UTF-8 of characters below U+10000 (a word
// or so), a character at a time: for a key of a few characters, a third
// fewer instructions than utf8_to_units, which visits every byte.
template <class Unit>
void short_utf8_to_units(const std::uint8_t* in, std::size_t n, Unit* out) noexcept {
    for (std::size_t i = 0; i < n;) {
        const std::uint32_t b = in[i];
        if (b < 0x80u) {
            *out++ = static_cast<Unit>(b);
            i += 1;
        } else if (b < 0xE0u) {
            *out++ = static_cast<Unit>(utf8_code_point(b, in[i + 1], 0, 0, 2));
            i += 2;
        } else {
            *out++ = static_cast<Unit>(utf8_code_point(b, in[i + 1], in[i + 2], 0, 3));
            i += 3;
        }
    }
}

// Bytes of the UTF-8 form of units[0..n).
template <class Unit>
std::uint64_t utf8_length(const Unit* units, std::size_t n) noexcept {
    std::uint64_t bytes = n;
    for (std::size_t i = 0; i < n; ++i)
        bytes += (units[i] >= 0x80u) + (units[i] >= 0x800u) + (units[i] >= 0x10000u);
    return bytes;
}

// Writes the UTF-8 form of units[0..n) (code points below U+110000 that are
// not surrogates) to out, at most 4 bytes a unit and one byte of slack after
// the last (stores of two bytes); returns the bytes written.
template <class Unit>
std::size_t units_to_utf8(const Unit* units, std::size_t n, std::uint8_t* out) noexcept {
    std::uint8_t* o = out;
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII characters at a time where an ASCII one comes (in
        // Latin-1 storage, at every step).
        if (i + 8 <= n && (sizeof(Unit) == 1 || units[i] < 0x80)) {
            Unit any = 0;
            for (std::size_t k = 0; k < 8; ++k) any |= units[i + k];
            if (any < 0x80) {
                for (std::size_t k = 0; k < 8; ++k) o[k] = static_cast<std::uint8_t>(units[i + k]);
                o += 8;
                i += 8;
                continue;
            }
        }
        const std::uint32_t c = units[i++];
        if (c < 0x800u) {
            // One or two bytes without a branch (Russian text mixes both
            // closely): both forms made, two bytes stored, the right count kept.
            // (A bit select, which compilers do not turn back into a branch.)
            const std::uint32_t two = (0xC0u | (c >> 6)) | ((0x80u | (c & 0x3Fu)) << 8);
            const std::uint32_t wide = c >= 0x80u ? 1u : 0u;
            const std::uint32_t v = c ^ ((c ^ two) & (0u - wide));
            o[0] = static_cast<std::uint8_t>(v);
            o[1] = static_cast<std::uint8_t>(v >> 8);
            o += 1 + wide;
        } else if (c < 0x10000u) {
            o[0] = static_cast<std::uint8_t>(0xE0u | (c >> 12));
            o[1] = static_cast<std::uint8_t>(0x80u | ((c >> 6) & 0x3Fu));
            o[2] = static_cast<std::uint8_t>(0x80u | (c & 0x3Fu));
            o += 3;
        } else {
            o[0] = static_cast<std::uint8_t>(0xF0u | (c >> 18));
            o[1] = static_cast<std::uint8_t>(0x80u | ((c >> 12) & 0x3Fu));
            o[2] = static_cast<std::uint8_t>(0x80u | ((c >> 6) & 0x3Fu));
            o[3] = static_cast<std::uint8_t>(0x80u | (c & 0x3Fu));
            o += 4;
        }
    }
    return static_cast<std::size_t>(o - out);
}

// Whether code points stored in `Unit`s include a surrogate (D800..DFFF).
template <class Unit>
bool has_surrogate(const Unit* units, std::size_t n) noexcept {
    std::size_t i = 0;
    if constexpr (sizeof(Unit) == 2) {
        // Four units a word: a lane is a surrogate when its top five bits
        // are 11011, found as a zero lane after masking and flipping them.
        constexpr std::uint64_t ones = 0x0001000100010001u, highs = 0x8000800080008000u;
        std::uint64_t any = 0;
        for (; i + 4 <= n; i += 4) {
            std::uint64_t w;
            std::memcpy(&w, units + i, 8);
            const std::uint64_t x = (w & 0xF800F800F800F800u) ^ 0xD800D800D800D800u;
            any |= (x - ones) & ~x & highs;
        }
        if (any != 0) return true;
    }
    bool found = false;
    for (; i < n; ++i) found |= (units[i] - 0xD800u) < 0x800u;
    return found;
}

// The vector versions, at the dispatch level in use (see simd/levels.hpp).
//
// Transcode well-formed UTF-8 (tokens and NULs, say) into a str's storage.
// utf8_to_ucs1: every character below U+0100; writes one byte per character.
// utf8_to_ucs2: every character below U+10000; writes one unit per character.
// `out` must have room for the number of characters, which the caller knows.
// Input outside these promises gives unspecified output, but reads stay in
// [in, in + n) and writes within the number of lead and ASCII bytes.
void utf8_to_ucs1(const std::uint8_t* in, std::size_t n, std::uint8_t* out) noexcept;
void utf8_to_ucs2(const std::uint8_t* in, std::size_t n, std::uint16_t* out) noexcept;
// utf8_to_ucs4: any characters.
void utf8_to_ucs4(const std::uint8_t* in, std::size_t n, std::uint32_t* out) noexcept;

// The UTF-8 form of code points stored in a str's storage of one byte
// (Latin-1), two (below U+10000) or four, no surrogates, as units_to_utf8
// writes it; `out` must have room for 4 bytes a unit. Returns the bytes written.
std::size_t ucs1_to_utf8(const std::uint8_t* in, std::size_t n, std::uint8_t* out) noexcept;
std::size_t ucs2_to_utf8(const std::uint16_t* in, std::size_t n, std::uint8_t* out) noexcept;
std::size_t ucs4_to_utf8(const std::uint32_t* in, std::size_t n, std::uint8_t* out) noexcept;

// The same for the units from `first` on of a storage of `unit_size` bytes
// a unit (1, 2 or 4).
inline std::size_t units_window_to_utf8(const void* units, unsigned unit_size, std::uint64_t first,
                                        std::size_t n, std::uint8_t* out) noexcept {
    if (unit_size == 1) return ucs1_to_utf8(static_cast<const std::uint8_t*>(units) + first, n, out);
    if (unit_size == 2) return ucs2_to_utf8(static_cast<const std::uint16_t*>(units) + first, n, out);
    return ucs4_to_utf8(static_cast<const std::uint32_t*>(units) + first, n, out);
}

// Whether a str's storage of two or four bytes a character holds a surrogate
// (D800..DFFF), as has_surrogate tells.
bool ucs2_has_surrogate(const std::uint16_t* in, std::size_t n) noexcept;
bool ucs4_has_surrogate(const std::uint32_t* in, std::size_t n) noexcept;

} // namespace tarvelin
