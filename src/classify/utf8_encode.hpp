// The scalar UTF-8 encoder of code points stored as units of one, two or
// four bytes: the reference for the vector encoders of scan_kernel.hpp, and
// the path for four-byte storage.
#pragma once

#include <cstddef>
#include <cstdint>

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

} // namespace tarvelin
