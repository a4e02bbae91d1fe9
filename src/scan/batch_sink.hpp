// The accept rule of a batch, and the append state that the scanning paths
// write tokens through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tokens/token.hpp"

namespace tarvelin {

// The accept rule: the kind passes the type mask and the length in characters
// lies within the inclusive bounds.
constexpr bool token_passes(std::uint64_t filter, std::uint64_t min_len, std::uint64_t max_len,
                            std::uint64_t type, std::uint64_t length) noexcept {
    return (filter & type) != 0 && length >= min_len && length <= max_len;
}

// A batch's storage, counters and settings, held by value where the compiler
// can keep them in registers while tokens are appended (see BatchAppender).
struct TokenSink {
    std::uint8_t* text;      // where the next token's text goes
    std::uint64_t* types;    // the batch's types
    std::uint64_t* offsets;  // its token offsets, null when they are not kept
    std::uint64_t count;     // tokens in the batch
    std::uint64_t limit;     // the batch size
    std::uint64_t chars;     // characters of the text, NULs included
    std::uint64_t char_pos;  // index in the input of the next token's first character
    std::uint64_t filter, min_len, max_len;
    std::uint32_t char_bits; // in the str storage class of the largest kept character
};

// Longest token that sink_take copies in whole blocks.
inline constexpr std::size_t SINK_BLOCK_COPY = 64;

// Copies a short token with at most two overlapping fixed-size moves instead
// of a library call.
inline void copy_token_bytes(std::uint8_t* out, const std::uint8_t* in, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::memcpy(out, in, 8);
        std::memcpy(out + n - 8, in + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(out, in, 4);
        std::memcpy(out + n - 4, in + n - 4, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
    } else {
        std::memcpy(out, in, n);
    }
}

// Writes a token's byte_count bytes and its NUL at `out`: in whole blocks
// where `readable` (the bytes that may be read at `bytes`) is at least
// SINK_BLOCK_COPY, which the token must then be shorter than.
[[gnu::always_inline]] inline void write_token_text(std::uint8_t* out, const std::uint8_t* bytes,
                                                    std::size_t readable,
                                                    std::size_t byte_count) noexcept {
    if (readable >= SINK_BLOCK_COPY) {
        std::memcpy(out, bytes, 32);
        if (byte_count > 32) std::memcpy(out + 32, bytes + 32, 32);
    } else {
        copy_token_bytes(out, bytes, byte_count);
    }
    out[byte_count] = 0;
}

// Takes a token of byte_count bytes of well-formed text at `bytes`, of
// `length` characters, from which at least `readable` bytes may be read (when
// that is SINK_BLOCK_COPY or more, the token must be shorter, and is copied in
// whole blocks); `bits` is in the str storage class of its largest character;
// `kind_passes`: the filter takes its kind; `start`: the index of its first
// character in the input (char_pos is left as it is). The rest of the accept rule is
// applied without a branch: the token is written in any case and kept by
// advancing the counters, or dropped by leaving them. Only while count <
// limit; the text storage must have SINK_BLOCK_COPY bytes of padding. Always
// inlined: the vector kernels call it from code compiled for their own
// instruction sets, where the compiler would otherwise keep it out of line.
[[gnu::always_inline]] inline void sink_take_if(TokenSink& s, std::uint64_t start,
                                                const std::uint8_t* bytes, std::size_t readable,
                                                std::size_t byte_count, std::uint64_t length,
                                                std::uint64_t type, std::uint32_t bits,
                                                bool kind_passes) noexcept {
    const std::uint64_t keep =
        static_cast<std::uint64_t>(kind_passes) & (length >= s.min_len) & (length <= s.max_len);
    if (s.offsets != nullptr) s.offsets[s.count] = start;
    s.types[s.count] = type;
    write_token_text(s.text, bytes, readable, byte_count);
    s.text += keep * (byte_count + 1);
    s.chars += keep * (length + 1);
    s.char_bits |= bits & static_cast<std::uint32_t>(0 - keep);
    s.count += keep;
}

// The same for the token at char_pos, which it advances, with the whole
// accept rule (token_passes) applied.
[[gnu::always_inline]] inline void sink_take(TokenSink& s, const std::uint8_t* bytes,
                                             std::size_t readable, std::size_t byte_count,
                                             std::uint64_t length, std::uint64_t type,
                                             std::uint32_t bits) noexcept {
    const std::uint64_t start = s.char_pos;
    s.char_pos += length;
    sink_take_if(s, start, bytes, readable, byte_count, length, type, bits,
                 (s.filter & type) != 0);
}

// Whether every token reaches the batch as it stands: no offsets are kept
// and the accept rule takes every kind (each is one of the bits 1..64) and
// every length (a token has 1 to TOKEN_MAX_CHARS characters).
inline bool sink_keeps_everything(const TokenSink& s) noexcept {
    constexpr std::uint64_t every_kind = 0x7F;
    return s.offsets == nullptr && (s.filter & every_kind) == every_kind && s.min_len <= 1 &&
           s.max_len >= TOKEN_MAX_CHARS;
}

// sink_take for a sink that keeps everything, with the same rules for the
// copy. Tokens are taken unconditionally, so no token's place in the text
// waits for its kind to be looked up; the sink's char_pos is left as it is
// and settled by sink_settle_position once the tokens are in.
[[gnu::always_inline]] inline void sink_take_kept(TokenSink& s, const std::uint8_t* bytes,
                                                  std::size_t readable, std::size_t byte_count,
                                                  std::uint64_t length, std::uint64_t type,
                                                  std::uint32_t bits) noexcept {
    s.types[s.count++] = type;
    write_token_text(s.text, bytes, readable, byte_count);
    s.text += byte_count + 1;
    s.chars += length + 1;
    s.char_bits |= bits;
}

// Advances char_pos over the tokens that sink_take_kept took since `before`
// was a copy of the sink: each added its characters and one NUL to `chars`.
inline void sink_settle_position(TokenSink& s, const TokenSink& before) noexcept {
    s.char_pos += (s.chars - before.chars) - (s.count - before.count);
}

} // namespace tarvelin
