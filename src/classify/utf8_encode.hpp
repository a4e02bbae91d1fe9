// The scalar UTF-8 encoder of code points stored as units of one, two or
// four bytes, and the scalar test for surrogates among them: the references
// for the vector kernels of scan_kernel.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvelin {

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

} // namespace tarvelin
