// The token record: up to TOKEN_MAX_CHARS complete characters, a kind and a
// length in characters. Entries of `chars` beyond `length` are always zero.
//
// A record is about 3 KB, while most tokens hold a few characters, so every
// operation here touches only the entries in use: clearing zeroes the used
// entries, copying copies the source's entries and zeroes any left over.
#pragma once

#include <cstdint>
#include <cstring>

#include "classify/utf8_char.hpp"
#include "tokens/token_type.hpp"

namespace tarvelin {

inline constexpr std::uint64_t TOKEN_MAX_CHARS = 128;

struct Token {
    Utf8Char chars[TOKEN_MAX_CHARS];
    std::uint64_t type;   // a TokenType value
    std::uint64_t length; // characters held, 0..TOKEN_MAX_CHARS
    std::uint64_t start;  // index of its first character in the whole input

    bool empty() const noexcept { return length == 0; }
    bool full() const noexcept { return length == TOKEN_MAX_CHARS; }

    // A hyphen piece is the single hyphen-minus (other dashes never join).
    bool is_hyphen() const noexcept {
        return type == type_value(TokenType::PNCTTN) && chars[0].bytes[0] == '-';
    }

    void clear() noexcept {
        std::memset(chars, 0, length * sizeof(Utf8Char));
        type = type_value(TokenType::NOTTKN);
        length = 0;
        start = 0;
    }

    // Only allowed while !full().
    void append(const Utf8Char& c) noexcept { chars[length++] = c; }

    // Appends all characters of `other`; the caller keeps the sum within TOKEN_MAX_CHARS.
    void append_all(const Token& other) noexcept {
        std::memcpy(chars + length, other.chars, other.length * sizeof(Utf8Char));
        length += other.length;
    }

    // Becomes an exact copy of `other`, touching only entries in use by either.
    void copy_from(const Token& other) noexcept {
        std::memcpy(chars, other.chars, other.length * sizeof(Utf8Char));
        if (length > other.length)
            std::memset(chars + other.length, 0, (length - other.length) * sizeof(Utf8Char));
        type = other.type;
        length = other.length;
        start = other.start;
    }
};

} // namespace tarvelin
