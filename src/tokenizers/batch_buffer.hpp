// Storage for one batch of tokens, with the settings that decide which
// completed tokens it takes: a type mask and inclusive bounds on the length in
// characters.
//
// `text_buffer` always has room for batch_size * TOKEN_SLOT_BYTES bytes (plus a
// little padding for word-sized stores), so `accept` writes without bound tests.
//
// Beside the UTF-8 bytes, the batch keeps the code point of every character it
// holds (NULs included) in `code_points`, with their OR and a flag for
// characters that are not well-formed UTF-8. A batch of well-formed text is
// turned into a Python str straight from its code points; only a batch with a
// malformed character needs its bytes decoded (to raise the decoding error).
// `code_points` has TOKEN_SCAN_SLACK spare entries, so that the token scanner
// may decode one token's lookahead in place beyond the last token's room.
//
// `types_buffer` is handed to Python without a copy (see the module's batch
// conversion), so its storage must outlive every array that views it: the
// types storage never shrinks, and when it has to grow the old block is kept
// on a retired list until the buffer is released together with its owner.
// Arrays of earlier batches may then show stale values, but never freed memory.
#pragma once

#include <cstdint>
#include <cstring>

#include "classify/utf8_strict.hpp"
#include "tokens/token.hpp"

namespace tarvelin {

inline constexpr std::uint64_t TOKEN_SLOT_BYTES = TOKEN_MAX_CHARS * 4 + 1; // 513
inline constexpr std::uint64_t TOKEN_SLOT_CHARS = TOKEN_MAX_CHARS + 1;     // with the NUL
inline constexpr std::uint64_t TOKEN_SCAN_SLACK = 2 * TOKEN_MAX_CHARS;
inline constexpr std::uint64_t DEFAULT_BATCH_SIZE = 65536;
inline constexpr std::uint64_t DEFAULT_TOKEN_MIN_LEN = 0;
inline constexpr std::uint64_t DEFAULT_TOKEN_MAX_LEN = 512;
inline constexpr std::uint64_t ACCEPT_ALL_TYPES = ~std::uint64_t{0};

struct BatchBuffer {
    std::uint8_t* text_buffer = nullptr;
    std::uint64_t* types_buffer = nullptr;
    std::uint64_t text_bytes = 0;
    std::uint64_t token_count = 0;
    std::uint64_t batch_size = DEFAULT_BATCH_SIZE;
    std::uint64_t token_min_len = DEFAULT_TOKEN_MIN_LEN;
    std::uint64_t token_max_len = DEFAULT_TOKEN_MAX_LEN;
    std::uint64_t filter = ACCEPT_ALL_TYPES;

    std::uint32_t* code_points = nullptr; // one per character of text_buffer
    std::uint64_t text_chars = 0;         // entries of code_points in use
    std::uint32_t char_bits = 0;          // OR of those code points
    bool malformed = false;               // a character is not well-formed UTF-8

    std::uint64_t types_capacity = 0;          // entries in types_buffer, >= batch_size
    std::uint64_t** retired_types = nullptr;   // earlier types blocks, freed by release()
    std::uint64_t retired_count = 0;

    BatchBuffer() = default;
    BatchBuffer(const BatchBuffer&) = delete;
    BatchBuffer& operator=(const BatchBuffer&) = delete;
    ~BatchBuffer() { release(); }

    // Allocates the storage for the default batch size; false when it cannot.
    bool allocate() noexcept;

    // Sets batch_size to n and sizes the storage for it. False when n * 513
    // overflows or the storage cannot be had; everything is then unchanged.
    bool resize(std::uint64_t n) noexcept;

    // Frees all storage.
    void release() noexcept;

    void begin_batch() noexcept {
        text_bytes = 0;
        token_count = 0;
        text_chars = 0;
        char_bits = 0;
        malformed = false;
    }

    bool passes(std::uint64_t type, std::uint64_t length) const noexcept {
        return (filter & type) != 0 && length >= token_min_len && length <= token_max_len;
    }

    bool is_full() const noexcept { return token_count >= batch_size; }

    // Takes `t` if its type passes the filter and its length lies within the
    // bounds; otherwise leaves the batch unchanged. Only while !is_full().
    void accept(const Token& t) noexcept {
        if (!passes(t.type, t.length)) return;
        std::uint8_t* out = text_buffer + text_bytes;
        std::uint32_t* cps = code_points + text_chars;
        for (std::uint64_t i = 0; i < t.length; ++i) {
            const Utf8Char& c = t.chars[i];
            std::memcpy(out, c.bytes, 4); // one store; only c.length bytes are kept
            out += c.length;
            cps[i] = c.code_point;
            char_bits |= c.code_point;
            malformed |= !is_well_formed(c);
        }
        close_token(out, t.length, t.type);
    }

    // Takes a token found by the token scanner: `bytes` is its well-formed
    // text, and its `length` code points already stand at code_points +
    // text_chars, with `bits` their OR. Same rule as accept().
    void accept_scanned(const std::uint8_t* bytes, std::size_t byte_count, std::uint64_t length,
                        std::uint64_t type, std::uint32_t bits) noexcept {
        if (!passes(type, length)) return;
        std::uint8_t* out = text_buffer + text_bytes;
        std::memcpy(out, bytes, byte_count);
        char_bits |= bits;
        close_token(out + byte_count, length, type);
    }

  private:
    // Ends the token whose text reaches `out` and whose `length` code points
    // are in place: the NUL separator, the counters and the type.
    void close_token(std::uint8_t* out, std::uint64_t length, std::uint64_t type) noexcept {
        *out++ = 0;
        text_bytes = static_cast<std::uint64_t>(out - text_buffer);
        code_points[text_chars + length] = 0;
        text_chars += length + 1;
        types_buffer[token_count++] = type;
    }
};

} // namespace tarvelin
