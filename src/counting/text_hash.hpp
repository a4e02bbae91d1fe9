// The hash of a token's text, defined once for the vector kernel's counting
// output and the token counter's table.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarvelin {

namespace text_hash {

static_assert(std::endian::native == std::endian::little,
              "the word loads below put a text's first byte in the lowest bits");

__extension__ typedef unsigned __int128 Wide;

inline constexpr std::uint64_t K0 = 0x9E3779B97F4A7C15ull, K1 = 0xC2B2AE3D27D4EB4Full,
                               K2 = 0x165667B19E3779F9ull, K3 = 0xD6E8FEB86659FD93ull;

// The two halves of the full product, folded: every bit of either factor
// reaches the low bits, which pick the slot.
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const Wide r = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load_word(const std::uint8_t* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// MASKS[n]: the first n (0..16) bytes of two words, the rest zero.
inline constexpr std::uint64_t MASKS[17][2] = {
    {0, 0}, {0xFFull, 0}, {0xFFFFull, 0}, {0xFFFFFFull, 0}, {0xFFFFFFFFull, 0},
    {0xFFFFFFFFFFull, 0}, {0xFFFFFFFFFFFFull, 0}, {0xFFFFFFFFFFFFFFull, 0},
    {~0ull, 0}, {~0ull, 0xFFull}, {~0ull, 0xFFFFull}, {~0ull, 0xFFFFFFull},
    {~0ull, 0xFFFFFFFFull}, {~0ull, 0xFFFFFFFFFFull}, {~0ull, 0xFFFFFFFFFFFFull},
    {~0ull, 0xFFFFFFFFFFFFFFull}, {~0ull, ~0ull}};

// The hash of a text from its first 16 bytes (zero-padded), its size and,
// for longer texts, the bytes after the first 16 at `rest`, which may be read
// up to 16 bytes past the text's end.
inline std::uint64_t hash(std::uint64_t head0, std::uint64_t head1, std::uint64_t size,
                          const std::uint8_t* rest) noexcept {
    std::uint64_t h = mix(head0 ^ K0, head1 ^ K1 ^ (size << 48));
    for (std::uint64_t n = size > 16 ? size - 16 : 0; n > 0; rest += 16) {
        const std::uint64_t take = n < 16 ? n : 16;
        h = mix(h ^ (load_word(rest) & MASKS[take][0]) ^ K2,
                (load_word(rest + 8) & MASKS[take][1]) ^ K3);
        n -= take;
    }
    return h;
}

} // namespace text_hash

} // namespace tarvelin
