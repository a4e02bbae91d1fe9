// Vector kernels beside the scalar TokenScanner, chosen at run time for the CPU.
//
// scan_kernel finds whole tokens in well-formed UTF-8 a block of up to 64 bytes
// at a time: it classifies the bytes of a block into bit masks, derives the
// token starts from them with shifts, and walks the starts lowest bit first.
// It settles only tokens it can settle alone and stops in front of the first
// one it cannot; the caller then lets TokenScanner take one token there and
// calls the kernel again. Used that way, the two give exactly the tokens of
// TokenScanner alone.
//
// The kernel takes:
// - runs of ASCII letters, of ASCII digits and of Russian letters (D0 81,
//   D0 90..BF, D1 80..8F, D1 91), and compounds of such runs joined by single
//   hyphens (a trailing hyphen included) under the limits of pieces and
//   characters, that end inside the block (so at most 63 bytes);
// - every one-character token: ASCII spaces, line feeds, punctuation and
//   controls, and every well-formed multi-byte character that is not a
//   Russian letter (its kind comes from the class table).
// It stops in front of:
// - a word run or compound that does not end inside its block of 64 bytes;
// - a word run or compound that reaches the end of a range that is not final;
// - bytes that are not well-formed UTF-8, or a character cut by the range's end
//   (after a word run or compound too: the whole token is then left).
//
// Levels: "scalar" (no vector kernel: scan_kernel settles nothing, and the
// caller should use TokenScanner alone; the transcoders and encoders run
// scalar loops) and,
// where the build and the CPU have them, "sse4", "avx2", "avx512",
// "avx512vbmi2" (x86-64: AVX-512 with the byte compression of Ice Lake and
// Zen 4 on) or "neon" (arm64). The best available level is chosen on first use; tests and
// benchmarks may force another one with set_scan_level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tokens/count_sink.hpp"
#include "tokens/token_sink.hpp"

namespace tarvelin {

// One token found by scan_kernel, at p + start.
struct TokenSpan {
    std::uint32_t start; // byte offset from the start of the scanned range
    std::uint16_t bytes;
    std::uint8_t chars;
    std::uint8_t type; // a TokenType value (all of them fit in 8 bits)
    // A value whose str storage class (below U+0080 / U+0100 / U+10000 / above)
    // is that of the token's largest character: the code point of a
    // one-character token, 0 for an ASCII run, 0x410 for a Russian run.
    std::uint32_t bits;
};

struct KernelScan {
    std::size_t consumed; // bytes settled: the end of the last span, 0 when none
    std::size_t spans;    // spans written to `out`
};

// The tokens at the start of [p, p + n), at most max_spans of them, written to
// out[0..spans). The spans are contiguous: out[0].start == 0 and each one
// starts where the one before ends, so `consumed` is the end of the last one.
// p + consumed is always the start of a token of TokenScanner (for the same
// `final`). `final`: the range ends the input. The kernel must be called at a
// token start: at the start of the input, or where TokenScanner or an earlier
// call stopped, with the assembler idle.
KernelScan scan_kernel(const std::uint8_t* p, std::size_t n, bool final, TokenSpan* out,
                       std::size_t max_spans) noexcept;

// The same walk, appending the tokens straight to a batch through `sink`
// (see sink_take) instead of writing spans; stops in front of a token when
// the batch is full. Returns the bytes settled.
std::size_t scan_kernel_into(const std::uint8_t* p, std::size_t n, bool final,
                             TokenSink& sink) noexcept;

// The same walk, counting the tokens through `sink` (see CountSink) instead
// of keeping them; stops in front of a token when count_sink_full. Returns
// the bytes settled; the texts queued in the sink point into [p, p + n) or
// its tail, and must be taken from it before that memory changes.
std::size_t scan_kernel_count(const std::uint8_t* p, std::size_t n, bool final,
                              CountSink& sink) noexcept;

// Whether scan_kernel may settle anything at the current level (false at
// "scalar": a reading loop should then not call it at all).
bool scan_kernel_active() noexcept;

// Transcode well-formed UTF-8 (tokens and NULs, say) into a str's storage.
// utf8_to_ucs1: every character below U+0100; writes one byte per character.
// utf8_to_ucs2: every character below U+10000; writes one unit per character.
// `out` must have room for the number of characters, which the caller knows.
// Input outside these promises gives unspecified output, but reads stay in
// [in, in + n) and writes within the number of lead and ASCII bytes.
void utf8_to_ucs1(const std::uint8_t* in, std::size_t n, std::uint8_t* out) noexcept;
void utf8_to_ucs2(const std::uint8_t* in, std::size_t n, std::uint16_t* out) noexcept;
// utf8_to_ucs4: any characters.
void utf8_to_ucs4(const std::uint8_t* in, std::size_t n, std::uint32_t* out) noexcept;

// The UTF-8 form of code points stored in a str's storage of one byte
// (Latin-1), two (below U+10000) or four, no surrogates, as units_to_utf8
// writes it; `out` must have room for 4 bytes a unit. Returns the bytes written.
std::size_t ucs1_to_utf8(const std::uint8_t* in, std::size_t n, std::uint8_t* out) noexcept;
std::size_t ucs2_to_utf8(const std::uint16_t* in, std::size_t n, std::uint8_t* out) noexcept;
std::size_t ucs4_to_utf8(const std::uint32_t* in, std::size_t n, std::uint8_t* out) noexcept;

// Whether a str's storage of two or four bytes a character holds a surrogate
// (D800..DFFF), as has_surrogate tells.
bool ucs2_has_surrogate(const std::uint16_t* in, std::size_t n) noexcept;
bool ucs4_has_surrogate(const std::uint32_t* in, std::size_t n) noexcept;

// The levels this build can run on this CPU, "scalar" first, best last.
std::span<const char* const> scan_levels() noexcept;
// Makes `name` the level in use; false (and no change) when it is not available.
bool set_scan_level(std::string_view name) noexcept;
// The level in use.
const char* scan_level() noexcept;

} // namespace tarvelin
