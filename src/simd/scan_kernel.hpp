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
// At the "scalar" level (see simd/levels.hpp) the kernel settles nothing, and
// the caller should use TokenScanner alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "counting/count_queue.hpp"
#include "scan/batch_sink.hpp"
#include "simd/levels.hpp"

namespace tarvelin {

// One token found by scan_kernel, at p + start.
struct TokenSpan {
    std::uint32_t start; // byte offset from the start of the scanned range
    std::uint16_t bytes;
    std::uint8_t chars;
    std::uint8_t type; // a TokenType value (all of them fit in 8 bits)
    // A value whose str storage class (below U+0080 / U+0100 / U+10000 / above)
    // is that of the token's largest character: the code point of a
    // one-character token, 0 for an ASCII run,
    // RUSSIAN_LETTER_BITS for a Russian run.
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
// (see batch_put) instead of writing spans; stops in front of a token when
// the batch is full. Returns the bytes settled.
std::size_t scan_kernel_into(const std::uint8_t* p, std::size_t n, bool final,
                             BatchSink& sink) noexcept;

// The same walk, counting the tokens through `sink` (see CountSink) instead
// of keeping them; stops in front of a token when count_sink_full. Returns
// the bytes settled; the texts queued in the sink point into [p, p + n) or
// its tail, and must be taken from it before that memory changes.
std::size_t scan_kernel_count(const std::uint8_t* p, std::size_t n, bool final,
                              CountSink& sink) noexcept;

// Whether scan_kernel may settle anything at the current level (false at
// "scalar": a reading loop should then not call it at all).
bool scan_kernel_active() noexcept;

} // namespace tarvelin
