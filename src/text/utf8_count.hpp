// Counting in words of text: the set bits of a word, and the characters of a
// range of well-formed UTF-8.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvelin {

// The set bits of x. Without a population count instruction in the build's
// baseline the library call would cost more than these few steps.
inline std::uint64_t count_bits(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || defined(__aarch64__)
    return static_cast<std::uint64_t>(std::popcount(x));
#else
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (x * 0x0101010101010101ull) >> 56;
#endif
}

// The characters of well-formed text p[0..n): the bytes that are not continuations.
inline std::uint64_t count_chars(const std::uint8_t* p, std::size_t n) noexcept {
    constexpr std::uint64_t HIGH = 0x8080808080808080ull;
    std::uint64_t continuations = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        continuations += count_bits(w & ~(w << 1) & HIGH);
    }
    for (; i < n; ++i) continuations += (p[i] & 0xC0u) == 0x80u;
    return n - continuations;
}

} // namespace tarvelin
