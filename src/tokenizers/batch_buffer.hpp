// Storage for one batch of tokens, with the settings that decide which
// completed tokens it takes: a type mask and inclusive bounds on the length in
// characters.
//
// `text_buffer` always has room for batch_size * TOKEN_SLOT_BYTES bytes (plus a
// little padding for word-sized stores), so `accept` writes without bound tests.
//
// `types_buffer` is handed to Python without a copy (see the module's batch
// conversion), so its storage must outlive every array that views it: the
// types storage never shrinks, and when it has to grow the old block is kept
// on a retired list until the buffer is released together with its owner.
// Arrays of earlier batches may then show stale values, but never freed memory.
#pragma once

#include <cstdint>
#include <cstring>

#include "tokens/token.hpp"

namespace tarvelin {

inline constexpr std::uint64_t TOKEN_SLOT_BYTES = TOKEN_MAX_CHARS * 4 + 1; // 513
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
    }

    bool is_full() const noexcept { return token_count >= batch_size; }

    // Takes `t` if its type passes the filter and its length lies within the
    // bounds; otherwise leaves the batch unchanged. Only while !is_full().
    void accept(const Token& t) noexcept {
        if ((filter & t.type) == 0) return;
        if (t.length < token_min_len || t.length > token_max_len) return;
        std::uint8_t* out = text_buffer + text_bytes;
        for (std::uint64_t i = 0; i < t.length; ++i) {
            const Utf8Char& c = t.chars[i];
            std::memcpy(out, c.bytes, 4); // one store; only c.length bytes are kept
            out += c.length;
        }
        *out++ = 0;
        text_bytes = static_cast<std::uint64_t>(out - text_buffer);
        types_buffer[token_count++] = t.type;
    }
};

} // namespace tarvelin
