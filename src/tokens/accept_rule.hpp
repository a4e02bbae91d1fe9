// The accept rule of a batch: which completed tokens it keeps.
#pragma once

#include <cstdint>

#include "tokens/token.hpp"
#include "tokens/token_type.hpp"

namespace tarvelin {

// Every token kind but NOTTKN (each is one of the bits 1..64).
inline constexpr std::uint64_t ALL_TOKEN_KINDS = 0x7F;

// A type mask and inclusive bounds on the length in characters.
struct AcceptRule {
    std::uint64_t filter, min_len, max_len;
};

// The accept rule: the kind passes the type mask and the length in characters
// lies within the inclusive bounds.
constexpr bool token_passes(std::uint64_t filter, std::uint64_t min_len, std::uint64_t max_len,
                            std::uint64_t type, std::uint64_t length) noexcept {
    return (filter & type) != 0 && length >= min_len && length <= max_len;
}

// Whether the rule keeps every token: every kind, and every length (a token
// has 1 to TOKEN_MAX_CHARS characters).
constexpr bool keeps_every_token(std::uint64_t filter, std::uint64_t min_len,
                                 std::uint64_t max_len) noexcept {
    return (filter & ALL_TOKEN_KINDS) == ALL_TOKEN_KINDS && min_len <= 1 &&
           max_len >= TOKEN_MAX_CHARS;
}

} // namespace tarvelin
