// Strict decoding of one well-formed UTF-8 character from a byte range, and the
// matching well-formedness test for a character completed by Utf8Char.
//
// Well-formed means what a strict UTF-8 decoder accepts: the shortest form,
// continuation bytes of the form 10xxxxxx, no surrogates, nothing above
// U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "classify/utf8_char.hpp"

namespace tarvelin {

enum class Utf8Decode : std::uint8_t {
    ok,        // a well-formed character
    truncated, // a well-formed prefix that the range ends inside
    malformed, // anything else
};

struct DecodedChar {
    std::uint32_t code_point;
    std::uint32_t length; // bytes, 1..4
};

namespace detail {
constexpr bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0u) == 0x80u; }
} // namespace detail

// Decodes the character at p (p < end) into `out`.
inline Utf8Decode decode_strict(const std::uint8_t* p, const std::uint8_t* end,
                                DecodedChar& out) noexcept {
    const std::uint32_t b0 = p[0];
    if (b0 < 0x80u) {
        out = {b0, 1};
        return Utf8Decode::ok;
    }
    const std::uint64_t length = utf8_lead_length(static_cast<std::uint8_t>(b0));
    if (length < 2) return Utf8Decode::malformed;
    const std::size_t available = static_cast<std::size_t>(end - p);
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= available) return Utf8Decode::truncated;
        if (!detail::is_continuation(p[i])) return Utf8Decode::malformed;
    }
    std::uint32_t cp;
    switch (length) {
    case 2:
        cp = utf8_code_point(b0, p[1], 0, 0, 2);
        if (cp < 0x80u) return Utf8Decode::malformed;
        break;
    case 3:
        cp = utf8_code_point(b0, p[1], p[2], 0, 3);
        if (cp < 0x800u || (cp >= 0xD800u && cp <= 0xDFFFu)) return Utf8Decode::malformed;
        break;
    default:
        cp = utf8_code_point(b0, p[1], p[2], p[3], 4);
        if (cp < 0x10000u || cp > 0x10FFFFu) return Utf8Decode::malformed;
        break;
    }
    out = {cp, static_cast<std::uint32_t>(length)};
    return Utf8Decode::ok;
}

// Whether a character completed by Utf8Char::feed is well-formed UTF-8 (the
// permissive decoder also completes overlong forms, surrogates, values above
// U+10FFFF and sequences with bad continuation bytes).
inline bool is_well_formed(const Utf8Char& c) noexcept {
    if (c.length == 1) return true;
    DecodedChar d;
    return decode_strict(c.bytes, c.bytes + c.length, d) == Utf8Decode::ok;
}

} // namespace tarvelin
