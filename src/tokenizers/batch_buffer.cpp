#include "tokenizers/batch_buffer.hpp"

#include <cstdlib>

namespace tarvelin {
namespace {

// accept() stores whole four-byte groups; the last one may reach 3 bytes past
// a token's text.
constexpr std::uint64_t TEXT_PADDING = 8;

constexpr std::uint64_t max_u64 = ~std::uint64_t{0};

bool text_storage_bytes(std::uint64_t n, std::uint64_t& bytes) noexcept {
    if (n > (max_u64 - TEXT_PADDING) / TOKEN_SLOT_BYTES) return false;
    bytes = n * TOKEN_SLOT_BYTES + TEXT_PADDING;
    return true;
}

bool code_point_storage_bytes(std::uint64_t n, std::uint64_t& bytes) noexcept {
    constexpr std::uint64_t unit = TOKEN_SLOT_CHARS * sizeof(std::uint32_t);
    constexpr std::uint64_t slack = TOKEN_SCAN_SLACK * sizeof(std::uint32_t);
    if (n > (max_u64 - slack) / unit) return false;
    bytes = n * unit + slack;
    return true;
}

} // namespace

bool BatchBuffer::allocate() noexcept {
    release();
    std::uint64_t text_size = 0, cp_size = 0;
    text_storage_bytes(DEFAULT_BATCH_SIZE, text_size);
    code_point_storage_bytes(DEFAULT_BATCH_SIZE, cp_size);
    text_buffer = static_cast<std::uint8_t*>(std::malloc(text_size));
    code_points = static_cast<std::uint32_t*>(std::malloc(cp_size));
    types_buffer = static_cast<std::uint64_t*>(std::malloc(DEFAULT_BATCH_SIZE * sizeof(std::uint64_t)));
    if (text_buffer == nullptr || code_points == nullptr || types_buffer == nullptr) {
        release();
        return false;
    }
    batch_size = DEFAULT_BATCH_SIZE;
    types_capacity = DEFAULT_BATCH_SIZE;
    return true;
}

bool BatchBuffer::resize(std::uint64_t n) noexcept {
    std::uint64_t text_size = 0, cp_size = 0;
    if (!text_storage_bytes(n, text_size) || !code_point_storage_bytes(n, cp_size)) return false;

    // Types storage only grows (geometrically, so the retired blocks together
    // stay smaller than the live one).
    std::uint64_t* new_types = nullptr;
    std::uint64_t** new_retired = nullptr;
    std::uint64_t new_capacity = types_capacity;
    if (n > types_capacity) {
        new_capacity = n > types_capacity * 2 ? n : types_capacity * 2;
        if (new_capacity > ~std::uint64_t{0} / sizeof(std::uint64_t)) new_capacity = n;
        new_types = static_cast<std::uint64_t*>(std::malloc(new_capacity * sizeof(std::uint64_t)));
        new_retired = static_cast<std::uint64_t**>(
            std::realloc(retired_types, (retired_count + 1) * sizeof(std::uint64_t*)));
        if (new_retired != nullptr) retired_types = new_retired; // the old list moved or grew
        if (new_types == nullptr || new_retired == nullptr) {
            std::free(new_types);
            return false;
        }
    }

    // The text and code point storage is never seen outside, so it may move.
    // realloc leaves the old block intact when it fails. When growing, a
    // block that already grew still serves the old size if the other fails;
    // when shrinking, a block that could not shrink still serves the new size.
    const bool growing = n > batch_size;
    auto* new_text = static_cast<std::uint8_t*>(std::realloc(text_buffer, text_size));
    if (new_text != nullptr) text_buffer = new_text;
    auto* new_cps = static_cast<std::uint32_t*>(std::realloc(code_points, cp_size));
    if (new_cps != nullptr) code_points = new_cps;
    if (growing && (new_text == nullptr || new_cps == nullptr)) {
        std::free(new_types);
        return false;
    }
    if (new_types != nullptr) {
        retired_types[retired_count++] = types_buffer;
        types_buffer = new_types;
        types_capacity = new_capacity;
    }
    batch_size = n;
    return true;
}

void BatchBuffer::release() noexcept {
    std::free(text_buffer);
    std::free(code_points);
    std::free(types_buffer);
    for (std::uint64_t i = 0; i < retired_count; ++i) std::free(retired_types[i]);
    std::free(retired_types);
    text_buffer = nullptr;
    code_points = nullptr;
    types_buffer = nullptr;
    retired_types = nullptr;
    retired_count = 0;
    types_capacity = 0;
}

} // namespace tarvelin
