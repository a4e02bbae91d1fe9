// Data and helpers of the vector code that do not depend on the instruction
// set: compiled once, shared by every target's pass over the -inl.h files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "classify/char_class.hpp"
#include "scan/batch_sink.hpp"
#include "tokens/token_type.hpp"

namespace tarvelin::kernel_detail {

// Read-only data the scanning kernel needs, built once.
struct KernelTables {
    const CharClassTable* table;
    // The type of each ASCII character.
    std::uint8_t ascii_type[0x80];
    // For each kind 1 << k (k < 7), the ASCII bytes of that kind as a bitmap:
    // byte b is bit b & 7 of ascii_of_kind[k][b >> 3].
    alignas(16) std::uint8_t ascii_of_kind[7][16];
    // The type of a token of well-formed text by its first byte, where that
    // is ASCII or the lead byte of a Russian letter (D0, D1); 0 otherwise.
    std::uint64_t start_type[256];
};

// A token the walk settled, as it hands it to its output.
struct WalkToken {
    FoundToken found;
    std::size_t offset;       // of its text from the start of the walk's range
    bool kind_passes;         // the filter takes its kind (read by outputs that filter)
    std::uint64_t first_char; // its first character, counted from the walk's start (likewise)
};

// The ASCII bytes whose kind a type filter takes.
struct AsciiPassing {
    std::uint8_t bitmap[16];
    // Without kinds of other ASCII bytes than letters and digits, the walk
    // needs no bitmap: all ones where the filter takes ENWORD (NUMBER).
    bool others;
    std::uint64_t letters, digits;
};

inline AsciiPassing ascii_passing(const KernelTables& t, std::uint64_t filter) {
    AsciiPassing out{};
    for (unsigned kind = 0; kind < 7; ++kind)
        if ((filter >> kind) & 1u)
            for (unsigned i = 0; i < 16; ++i) out.bitmap[i] |= t.ascii_of_kind[kind][i];
    constexpr std::uint64_t words = type_value(TokenType::ENWORD) |
                                    type_value(TokenType::NUMBER) |
                                    type_value(TokenType::RUWORD);
    out.others = (filter & ~words) != 0;
    out.letters = (filter & type_value(TokenType::ENWORD)) != 0 ? ~std::uint64_t{0} : 0;
    out.digits = (filter & type_value(TokenType::NUMBER)) != 0 ? ~std::uint64_t{0} : 0;
    return out;
}

inline constexpr std::size_t BLOCK = 64;

// The bits set in each byte of x, in that byte.
constexpr std::uint64_t byte_counts(std::uint64_t x) noexcept {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    return (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
}
static_assert(byte_counts(0xFF00F00000000301u) == 0x0800040000000201u);

// A byte shuffle for each 8-bit mask, for 128-bit vectors.
struct ShuffleTable {
    alignas(16) std::uint8_t index[256][16];
};

// Builds a ShuffleTable: entry(mask, push) pushes, in order, the indexes of
// the lanes that mask's shuffle begins with; the lanes after them are `fill`.
template <class Entry>
constexpr ShuffleTable make_shuffle_table(Entry entry, std::uint8_t fill) {
    ShuffleTable t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned k = 0;
        entry(mask, [&](unsigned index) { t.index[mask][k++] = static_cast<std::uint8_t>(index); });
        while (k < 16) t.index[mask][k++] = fill;
    }
    return t;
}

constexpr bool mask_has(unsigned mask, unsigned lane) { return ((mask >> lane) & 1u) != 0; }

} // namespace tarvelin::kernel_detail
