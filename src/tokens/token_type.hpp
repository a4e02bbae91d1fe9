// Token kinds: one bit each, so a set of kinds is the OR of their values.
#pragma once

#include <cstdint>

namespace tarvelin {

enum class TokenType : std::uint64_t {
    NOTTKN = 0,  // no token: an empty record, or no open group
    WRDSPC = 1,  // one space character
    NWLINE = 2,  // one line feed
    ENWORD = 4,  // run of Latin letters, or a compound starting with one
    NUMBER = 8,  // run of ASCII digits, or a compound starting with one
    RUWORD = 16, // run of Russian letters, or a compound starting with one
    PNCTTN = 32, // one punctuation character
    UNKNWN = 64, // one character of any other kind
};

constexpr std::uint64_t type_value(TokenType t) noexcept { return static_cast<std::uint64_t>(t); }

// Word types form runs and join across hyphens; every other kind is a
// token of one character. True for exactly ENWORD, NUMBER and RUWORD.
constexpr bool is_word_type(std::uint64_t t) noexcept {
    constexpr std::uint64_t word_bits = (1ull << 4) | (1ull << 8) | (1ull << 16);
    return t < 64 && ((word_bits >> t) & 1u) != 0;
}

constexpr bool is_word_type(TokenType t) noexcept { return is_word_type(type_value(t)); }

} // namespace tarvelin
