#include "tokens/token_assembler.hpp"

#include "classify/char_class.hpp"

namespace tarvelin {

bool TokenAssembler::add_char(const Utf8Char& c) noexcept {
    const std::uint64_t type = token_type_of(c.code_point);
    ++next_char;
    if (current.empty()) {
        start_run(c, type);
        return false;
    }
    if (is_word_type(current.type) && type == current.type && !current.full()) {
        current.append(c);
        return false;
    }
    const bool completed_token = close_run();
    start_run(c, type);
    return completed_token;
}

bool TokenAssembler::finish() noexcept { return close_run(); }

void TokenAssembler::reset(std::uint64_t next_char_index) noexcept {
    next_char = next_char_index;
    for (std::uint64_t i = 1; i <= piece_count; ++i) slots[i].clear();
    current.clear();
    group_type = type_value(TokenType::NOTTKN);
    piece_count = 0;
    group_chars = 0;
}

void TokenAssembler::start_run(const Utf8Char& c, std::uint64_t type) noexcept {
    current.type = type;
    current.start = next_char - 1; // add_char has counted c
    current.append(c);
}

bool TokenAssembler::close_run() noexcept {
    staging.copy_from(current);
    current.clear();
    return push_piece();
}

// Whether the staging piece may be appended to the open word group: word and
// hyphen pieces alternate, and the group stays within its limits.
bool TokenAssembler::joins_group() const noexcept {
    if (!is_word_type(group_type)) return false;
    const Token& last = slots[piece_count];
    const bool alternates = is_word_type(last.type) ? staging.is_hyphen()
                                                    : is_word_type(staging.type);
    return alternates && piece_count < GROUP_MAX_PIECES &&
           group_chars + staging.length <= TOKEN_MAX_CHARS;
}

bool TokenAssembler::push_piece() noexcept {
    if (group_type == type_value(TokenType::NOTTKN)) {
        // No group open: the piece opens one. An empty piece (from the drain)
        // holds nothing and opens nothing.
        if (!staging.empty()) {
            group_type = staging.type;
            append_piece();
        }
        return false;
    }
    if (joins_group()) {
        append_piece();
        return false;
    }
    flush_group();
    if (!staging.empty()) {
        group_type = staging.type;
        append_piece();
    }
    return true;
}

void TokenAssembler::append_piece() noexcept {
    ++piece_count;
    slots[piece_count].copy_from(staging);
    group_chars += staging.length;
}

void TokenAssembler::flush_group() noexcept {
    Token& out = slots[0];
    out.clear();
    out.type = group_type;
    out.start = slots[1].start;
    for (std::uint64_t i = 1; i <= piece_count; ++i) {
        out.append_all(slots[i]);
        slots[i].clear();
    }
    group_type = type_value(TokenType::NOTTKN);
    piece_count = 0;
    group_chars = 0;
}

} // namespace tarvelin
