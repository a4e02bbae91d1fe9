#include "tokenizers/batch_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tarvelin {
namespace {

constexpr std::uint64_t max_u64 = ~std::uint64_t{0};

bool text_storage_bytes(std::uint64_t n, std::uint64_t& bytes) noexcept {
    if (n > (max_u64 - TEXT_PADDING) / TOKEN_SLOT_BYTES) return false;
    bytes = n * TOKEN_SLOT_BYTES + TEXT_PADDING;
    return true;
}

} // namespace

bool BatchBuffer::allocate() noexcept {
    release();
    types_buffer = static_cast<std::uint64_t*>(std::malloc(DEFAULT_BATCH_SIZE * sizeof(std::uint64_t)));
    if (types_buffer == nullptr) return false;
    batch_size = DEFAULT_BATCH_SIZE;
    types_capacity = DEFAULT_BATCH_SIZE;
    return true;
}

std::uint64_t BatchBuffer::text_limit() const noexcept {
    std::uint64_t bytes = 0;
    return text_storage_bytes(batch_size, bytes) ? bytes - TEXT_PADDING : max_u64;
}

namespace {

// Twice `now`, or `at_least` if that is more, but never beyond `limit`.
std::uint64_t grown_size(std::uint64_t now, std::uint64_t at_least, std::uint64_t limit) noexcept {
    std::uint64_t size = now > limit / 2 ? limit : now * 2;
    if (size < at_least) size = at_least;
    return size < limit ? size : limit;
}

} // namespace

void BatchBuffer::grow(std::uint64_t bytes) noexcept {
    const std::uint64_t pending = bytes + PENDING_CHARS;
    const std::uint64_t text_need = text_bytes + 4 * pending;
    if (text_capacity < text_need && text_capacity < text_limit()) {
        const std::uint64_t size = grown_size(text_capacity, text_need, text_limit());
        auto* grown = static_cast<std::uint8_t*>(std::realloc(text_buffer, size + TEXT_PADDING));
        if (grown == nullptr) return;
        text_buffer = grown;
        text_capacity = size;
    }
}

bool BatchBuffer::keep_offsets(bool on) noexcept {
    if (on && offsets_storage == nullptr) {
        const std::uint64_t n = batch_size == 0 ? 1 : batch_size;
        if (n > max_u64 / sizeof(std::uint64_t)) return false;
        offsets_storage = static_cast<std::uint64_t*>(std::malloc(n * sizeof(std::uint64_t)));
        if (offsets_storage == nullptr) return false;
        offsets_capacity = n;
    }
    offsets_wanted = on;
    return true;
}

bool BatchBuffer::resize(std::uint64_t n) noexcept {
    std::uint64_t text_size = 0;
    if (!text_storage_bytes(n, text_size)) return false;
    if (offsets_storage != nullptr && n > offsets_capacity) { // never seen outside: may move
        if (n > max_u64 / sizeof(std::uint64_t)) return false;
        auto* grown =
            static_cast<std::uint64_t*>(std::realloc(offsets_storage, n * sizeof(std::uint64_t)));
        if (grown == nullptr) return false;
        if (offsets == offsets_storage) offsets = grown;
        offsets_storage = grown;
        offsets_capacity = n;
    }

    // Types storage only grows (geometrically, so the retired blocks together
    // stay smaller than the live one).
    if (n > types_capacity) {
        std::uint64_t new_capacity = n > types_capacity * 2 ? n : types_capacity * 2;
        if (new_capacity > ~std::uint64_t{0} / sizeof(std::uint64_t)) new_capacity = n;
        auto* new_types =
            static_cast<std::uint64_t*>(std::malloc(new_capacity * sizeof(std::uint64_t)));
        auto* new_retired = static_cast<std::uint64_t**>(
            std::realloc(retired_types, (retired_count + 1) * sizeof(std::uint64_t*)));
        if (new_retired != nullptr) retired_types = new_retired; // the old list moved or grew
        if (new_types == nullptr || new_retired == nullptr) {
            std::free(new_types);
            return false;
        }
        // A batch left open by an interrupted call keeps the types it has.
        if (token_count != 0)
            std::memcpy(new_types, types_buffer, token_count * sizeof(std::uint64_t));
        retired_types[retired_count++] = types_buffer;
        types_buffer = new_types;
        types_capacity = new_capacity;
    }
    batch_size = n;

    // The text storage is never seen outside and grows as
    // batches need it; storage beyond what the new size can use is given back,
    // but never what an open batch holds (realloc leaves a block that cannot
    // shrink as it was, still large enough).
    const std::uint64_t text_keep = std::max(text_limit(), text_bytes);
    if (text_capacity > text_keep) {
        if (auto* shrunk =
                static_cast<std::uint8_t*>(std::realloc(text_buffer, text_keep + TEXT_PADDING)))
            text_buffer = shrunk;
        text_capacity = text_keep;
    }
    return true;
}

void BatchBuffer::release() noexcept {
    std::free(text_buffer);
    std::free(types_buffer);
    std::free(offsets_storage);
    offsets = offsets_storage = nullptr;
    offsets_capacity = 0;
    offsets_wanted = false;
    for (std::uint64_t i = 0; i < retired_count; ++i) std::free(retired_types[i]);
    std::free(retired_types);
    text_buffer = nullptr;
    types_buffer = nullptr;
    retired_types = nullptr;
    retired_count = 0;
    types_capacity = 0;
    text_capacity = 0;
}

} // namespace tarvelin
