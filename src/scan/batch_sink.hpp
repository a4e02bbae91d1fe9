// Where the scanning paths (the scalar scanner through BatchAppender, and the
// vector kernel) put the tokens they find in well-formed text: the batch's
// append state, held in registers, and the functions that add one token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tokens/accept_rule.hpp"
#include "tokens/token.hpp"

namespace tarvelin {

// A value in the str storage class of every Russian letter (U+0401..U+0451,
// all of two bytes a character): the code point of А.
inline constexpr std::uint32_t RUSSIAN_LETTER_BITS = 0x410;

// A token found in well-formed text, as the scanning paths hand it to a batch.
struct FoundToken {
    const std::uint8_t* bytes; // its text, in the input
    // Bytes that may be read at `bytes`: from SINK_BLOCK_COPY on, the text
    // is copied in whole blocks (the token must then be shorter).
    std::size_t readable;
    std::size_t size;    // bytes of its text
    std::uint64_t chars; // its characters
    std::uint64_t type;  // its kind
    std::uint32_t bits;  // in the str storage class of its largest character
};

// A batch's storage, counters and settings, held by value where the compiler
// can keep them in registers while tokens are appended (see BatchAppender).
struct BatchSink {
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

// Longest token that batch_put copies in whole blocks.
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

// Puts `t` into the batch, kept when its length passes the accept rule and
// `kind_passes` (the filter takes its kind); `start`: the index of its first
// character in the input (char_pos is left as it is). The length test is
// made without a branch: the token is written in any case and kept by
// advancing the counters, or dropped by leaving them. Only while count <
// limit; the text storage must have SINK_BLOCK_COPY bytes of padding. Always
// inlined: the vector kernels call it from code compiled for their own
// instruction sets, where the compiler would otherwise keep it out of line.
[[gnu::always_inline]] inline void batch_put_if(BatchSink& s, const FoundToken& t,
                                                std::uint64_t start, bool kind_passes) noexcept {
    const std::uint64_t keep =
        static_cast<std::uint64_t>(kind_passes) & (t.chars >= s.min_len) & (t.chars <= s.max_len);
    if (s.offsets != nullptr) s.offsets[s.count] = start;
    s.types[s.count] = t.type;
    write_token_text(s.text, t.bytes, t.readable, t.size);
    s.text += keep * (t.size + 1);
    s.chars += keep * (t.chars + 1);
    s.char_bits |= t.bits & static_cast<std::uint32_t>(0 - keep);
    s.count += keep;
}

// The same for the token at char_pos, which it advances, with the whole
// accept rule (token_passes) applied.
[[gnu::always_inline]] inline void batch_put(BatchSink& s, const FoundToken& t) noexcept {
    const std::uint64_t start = s.char_pos;
    s.char_pos += t.chars;
    batch_put_if(s, t, start, (s.filter & t.type) != 0);
}

// Whether every token reaches the batch as it stands: no offsets are kept
// and the accept rule keeps every token.
inline bool batch_keeps_everything(const BatchSink& s) noexcept {
    return s.offsets == nullptr && keeps_every_token(s.filter, s.min_len, s.max_len);
}

// batch_put for a batch that keeps everything, with the same rules for the
// copy. Tokens are taken unconditionally, so no token's place in the text
// waits for its kind to be looked up; the sink's char_pos is left as it is
// and settled by batch_settle_position once the tokens are in.
[[gnu::always_inline]] inline void batch_put_kept(BatchSink& s, const FoundToken& t) noexcept {
    s.types[s.count++] = t.type;
    write_token_text(s.text, t.bytes, t.readable, t.size);
    s.text += t.size + 1;
    s.chars += t.chars + 1;
    s.char_bits |= t.bits;
}

// Advances char_pos over the tokens that batch_put_kept took since `before`
// was a copy of the sink: each added its characters and one NUL to `chars`.
inline void batch_settle_position(BatchSink& s, const BatchSink& before) noexcept {
    s.char_pos += (s.chars - before.chars) - (s.count - before.count);
}

} // namespace tarvelin
