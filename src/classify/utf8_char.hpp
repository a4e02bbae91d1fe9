// One character as read from UTF-8 input, filled one byte at a time.
//
// Decoding is permissive: nothing is ever rejected. A lead byte starts a new
// character (dropping an incomplete one); any other byte is stored as a
// continuation byte of whatever the record holds. Only the four byte slots
// exist: a fifth and later non-lead byte since the last lead byte is dropped
// without being stored or counted.
#pragma once

#include <cstdint>

namespace tarvelin {

// Length announced by a lead byte: 1..4, or 0 when the byte is not a lead byte
// (0x80..0xBF and 0xF8..0xFF).
constexpr std::uint64_t utf8_lead_length(std::uint8_t b) noexcept {
    if ((b & 0x80u) == 0) return 1;
    if ((b & 0xE0u) == 0xC0u) return 2;
    if ((b & 0xF0u) == 0xE0u) return 3;
    if ((b & 0xF8u) == 0xF0u) return 4;
    return 0;
}

// The code point of the UTF-8 sequence of `length` bytes (1..4) b0..b3 by
// the bit layouts of UTF-8, without validation; bytes past the length are
// not read. The one scalar decoding step of this library: every decoder
// (this permissive one, the strict and the replacing ones of src/text, the
// scanner's and the vector kernel's walk) computes code points here. Always
// inlined: the vector kernels call it from code compiled for their own
// instruction sets, where the compiler would otherwise keep it out of line.
[[gnu::always_inline]] constexpr std::uint32_t utf8_code_point(std::uint32_t b0, std::uint32_t b1,
                                                               std::uint32_t b2, std::uint32_t b3,
                                                               std::uint64_t length) noexcept {
    switch (length) {
    case 1: return b0;
    case 2: return ((b0 & 0x1Fu) << 6) | (b1 & 0x3Fu);
    case 3: return ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
    default:
        return ((b0 & 0x07u) << 18) | ((b1 & 0x3Fu) << 12) | ((b2 & 0x3Fu) << 6) | (b3 & 0x3Fu);
    }
}

struct Utf8Char {
    std::uint8_t bytes[4];    // lead byte first; unfilled slots are 0
    std::uint32_t code_point; // set on completion, 0 until then
    std::uint64_t received;   // bytes stored since the last lead byte
    std::uint64_t length;     // length announced by the lead byte, 0 before any

    // Feeds one byte; true when it completes a character.
    bool feed(std::uint8_t b) noexcept {
        if (b < 0x80u) { // the common case: an ASCII character completes at once
            bytes[0] = b;
            bytes[1] = bytes[2] = bytes[3] = 0;
            code_point = b;
            received = length = 1;
            return true;
        }
        if (const std::uint64_t lead = utf8_lead_length(b); lead != 0) {
            bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0;
            code_point = 0;
            received = 0;
            length = lead;
        } else if (received >= 4) {
            return false; // no slot left: dropped, completes nothing
        }
        bytes[received] = b;
        ++received;
        if (received != length) return false;
        code_point = utf8_code_point(bytes[0], bytes[1], bytes[2], bytes[3], length);
        return true;
    }
};

} // namespace tarvelin
