// Turns complete characters into completed tokens, in input order.
//
// Characters of one word type gather into a run; any other character is a run
// by itself. A closed run becomes a piece of the pending group; word pieces
// joined by single hyphen pieces form one compound token. A group is completed
// into slot 0 when a piece arrives that does not join it, so each operation
// completes at most one token. At the end of the input the owner calls
// `finish` twice: the first pushes the last run, the second completes the group
// that then holds it.
//
// Limits: a run that reaches TOKEN_MAX_CHARS characters is closed there and the
// next character starts a new run; a group that cannot take a piece (a 17th
// piece, or more than TOKEN_MAX_CHARS characters in all) is completed first and
// the piece opens the next group. No character is ever dropped or cut.
#pragma once

#include <cstdint>

#include "classify/utf8_char.hpp"
#include "tokens/token.hpp"

namespace tarvelin {

inline constexpr std::uint64_t GROUP_MAX_PIECES = 16;

struct TokenAssembler {
    Token slots[GROUP_MAX_PIECES + 1]; // slot 0: completed token; 1..16: pending pieces
    std::uint64_t group_type;          // NOTTKN while no group is open
    std::uint64_t piece_count;
    Token staging; // the run just closed, on its way into the group
    Token current; // the run being built
    std::uint64_t group_chars; // characters in the pending pieces
    std::uint64_t next_char;   // index in the whole input of the next character fed

    // Feeds one complete character; true when a token was completed into slot 0.
    bool add_char(const Utf8Char& c) noexcept;

    // End of input: closes the run and pushes it; true when a token was completed.
    bool finish() noexcept;

    // Valid after an operation returned true, until the next operation.
    const Token& completed() const noexcept { return slots[0]; }

    // Drops the pending group and the current run (the state before any
    // character); slot 0 keeps the last completed token. The next character
    // fed is the input's character `next_char_index`.
    void reset(std::uint64_t next_char_index) noexcept;

    // Index in the whole input of the first character of the pending group
    // (while one is open).
    std::uint64_t group_start() const noexcept { return slots[1].start; }

  private:
    void start_run(const Utf8Char& c, std::uint64_t type) noexcept;
    bool close_run() noexcept;
    bool push_piece() noexcept;
    bool joins_group() const noexcept;
    void append_piece() noexcept;
    void flush_group() noexcept;
};

} // namespace tarvelin
