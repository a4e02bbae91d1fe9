// Character classes and the process-wide two-stage table that holds the
// class of every code point U+0000..U+10FFFF.
//
// Code points are grouped in runs of 64; `block_index` maps each run to one of
// a few distinct 64-byte blocks. A lookup is two dependent loads and no
// branch. The table is built once, on the first call of `char_class_table`,
// and is read-only afterwards.
#pragma once

#include <cstdint>

#include "tokens/token_type.hpp"

namespace tarvelin {

using CharClass = std::uint8_t;

inline constexpr std::uint32_t CODE_POINT_COUNT = 0x110000;
inline constexpr std::uint32_t MAX_CODE_POINT = CODE_POINT_COUNT - 1;
inline constexpr std::uint32_t CLASS_RUN_BITS = 6;
inline constexpr std::uint32_t CLASS_RUN_SIZE = 1u << CLASS_RUN_BITS;
inline constexpr std::uint32_t CLASS_RUN_COUNT = CODE_POINT_COUNT / CLASS_RUN_SIZE; // 0x4400
inline constexpr std::uint32_t CLASS_BLOCK_CAPACITY = 256;
inline constexpr CharClass DEFAULT_CHAR_CLASS = 7;

// Class c (1..7) stands for the kind 2^(c-1); class 0 is never assigned.
inline constexpr std::uint64_t char_class_to_type[8] = {
    type_value(TokenType::NOTTKN), type_value(TokenType::WRDSPC), type_value(TokenType::NWLINE),
    type_value(TokenType::ENWORD), type_value(TokenType::NUMBER), type_value(TokenType::RUWORD),
    type_value(TokenType::PNCTTN), type_value(TokenType::UNKNWN),
};

struct CharClassTable {
    std::uint16_t block_index[CLASS_RUN_COUNT];
    std::uint8_t blocks[CLASS_BLOCK_CAPACITY * CLASS_RUN_SIZE];
    std::uint64_t block_count;

    // Values above U+10FFFF (malformed four-byte input reaches 0x1FFFFF) are
    // clamped to U+10FFFF, which is of the default class; the clamp compiles
    // to a conditional move, so the lookup stays branch-free and in bounds.
    CharClass lookup(std::uint32_t code_point) const noexcept {
        const std::uint32_t cp = code_point < MAX_CODE_POINT ? code_point : MAX_CODE_POINT;
        const std::uint32_t block = block_index[cp >> CLASS_RUN_BITS];
        return blocks[block * CLASS_RUN_SIZE + (cp & (CLASS_RUN_SIZE - 1))];
    }
};

// Writes the class of each code point first..first+count-1 into classes[0..count),
// which the caller has set to DEFAULT_CHAR_CLASS.
void fill_char_classes(std::uint8_t* classes, std::uint32_t first, std::uint32_t count) noexcept;

// Fills `table` from scratch; used once by `char_class_table`.
void build_char_class_table(CharClassTable& table) noexcept;

namespace detail {
extern CharClassTable process_char_class_table; // zero until built, never freed
bool build_process_char_class_table() noexcept;
} // namespace detail

// The process-wide table, built on the first call. A function-local static is
// initialised exactly once even when several threads arrive together; later
// calls only test its guard, with no lock and no read-modify-write.
inline const CharClassTable& char_class_table() noexcept {
    static const bool built = detail::build_process_char_class_table();
    (void)built;
    return detail::process_char_class_table;
}

// How many times the process-wide table has been built (always 1 after first use).
std::uint64_t char_class_table_builds() noexcept;

inline std::uint64_t token_type_of(std::uint32_t code_point) noexcept {
    return char_class_to_type[char_class_table().lookup(code_point)];
}

} // namespace tarvelin
