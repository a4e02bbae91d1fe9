#include "tokenizers/batch_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace tarvelin {
namespace {

constexpr std::uint64_t max_u64 = ~std::uint64_t{0};

bool text_storage_bytes(std::uint64_t n, std::uint64_t& bytes) noexcept {
    if (n > (max_u64 - TEXT_PADDING) / TOKEN_SLOT_BYTES) return false;
    bytes = n * TOKEN_SLOT_BYTES + TEXT_PADDING;
    return true;
}

// Storage no process can address (the 48-bit virtual address spaces give a
// process at most 2^47 bytes): a batch size whose full batch needs more is
// refused at once rather than when a batch grows to it.
constexpr std::uint64_t ADDRESSABLE_BYTES = std::uint64_t{1} << 47;

// Twice `now`, or `at_least` if that is more, but never beyond `limit`.
std::uint64_t grown_size(std::uint64_t now, std::uint64_t at_least, std::uint64_t limit) noexcept {
    std::uint64_t size = now > limit / 2 ? limit : now * 2;
    if (size < at_least) size = at_least;
    return size < limit ? size : limit;
}

} // namespace

TypesBlock* TypesBlock::make(std::uint64_t capacity) noexcept {
    if (capacity > (max_u64 - sizeof(TypesBlock)) / sizeof(std::uint64_t)) return nullptr;
    void* memory = std::malloc(sizeof(TypesBlock) + capacity * sizeof(std::uint64_t));
    if (memory == nullptr) return nullptr;
    auto* block = new (memory) TypesBlock;
    block->capacity = capacity;
    types_block_counts.made.fetch_add(1, std::memory_order_relaxed);
    types_block_counts.live.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void TypesBlock::let_go(TypesBlock* block) noexcept {
    if (block == nullptr || block->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    block->~TypesBlock();
    std::free(block);
    types_block_counts.live.fetch_sub(1, std::memory_order_relaxed);
}

bool BatchBuffer::allocate() noexcept {
    release();
    batch_size = DEFAULT_BATCH_SIZE;
    return true;
}

void BatchBuffer::take_unviewed_types() noexcept {
    const auto usable = [](const TypesBlock* block) {
        return block != nullptr && !block->held_elsewhere();
    };
    if (types_block == nullptr || usable(types_block)) return;
    TypesBlock** spare = std::find_if(std::begin(spare_types), std::end(spare_types), usable);
    if (spare != std::end(spare_types)) {
        std::swap(*spare, types_block);
    } else {
        // As large as the block in use: the next batch likely needs as much.
        TypesBlock* fresh = TypesBlock::make(types_block->capacity);
        set_aside(types_block);
        types_block = fresh;
    }
    types_buffer = types_block != nullptr ? types_block->entries() : nullptr;
    types_capacity = types_block != nullptr ? types_block->capacity : 0;
}

bool BatchBuffer::grow_entries(std::uint64_t need) noexcept {
    const std::uint64_t limit = batch_size == 0 ? 1 : batch_size;
    if (need == 0) need = 1;
    if (types_buffer == nullptr || types_capacity < need) {
        const std::uint64_t size = grown_size(types_capacity, need, limit);
        TypesBlock* fresh = TypesBlock::make(size);
        if (fresh == nullptr) return false;
        if (token_count != 0)
            std::memcpy(fresh->entries(), types_buffer, token_count * sizeof(std::uint64_t));
        TypesBlock::let_go(types_block); // viewed by no array: freed
        types_block = fresh;
        types_buffer = fresh->entries();
        types_capacity = size;
    }
    if (offsets_in_use() && offsets_capacity < need) {
        const std::uint64_t size = grown_size(offsets_capacity, need, limit);
        auto* grown =
            static_cast<std::uint64_t*>(std::realloc(offsets_storage, size * sizeof(std::uint64_t)));
        if (grown == nullptr) return false;
        if (offsets != nullptr) offsets = grown;
        offsets_storage = grown;
        offsets_capacity = size;
    }
    return true;
}

void BatchBuffer::set_aside(TypesBlock* block) noexcept {
    if (block == nullptr) return;
    TypesBlock** end = std::end(spare_types);
    TypesBlock** empty = std::find(std::begin(spare_types), end, nullptr);
    if (empty == end) { // the oldest goes: its arrays hold it on their own
        TypesBlock::let_go(spare_types[0]);
        empty = std::move(std::begin(spare_types) + 1, end, std::begin(spare_types));
    }
    *empty = block;
}

std::uint64_t BatchBuffer::text_limit() const noexcept {
    std::uint64_t bytes = 0;
    return text_storage_bytes(batch_size, bytes) ? bytes - TEXT_PADDING : max_u64;
}

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
    // The storage grows with the batches (see entries_for); a batch begun
    // with offsets kept needs somewhere for `offsets` to point.
    if (on && offsets_storage == nullptr) {
        offsets_storage = static_cast<std::uint64_t*>(std::malloc(sizeof(std::uint64_t)));
        if (offsets_storage == nullptr) return false;
        offsets_capacity = 1;
    }
    offsets_wanted = on;
    return true;
}

bool BatchBuffer::resize(std::uint64_t n) noexcept {
    std::uint64_t text_size = 0;
    if (!text_storage_bytes(n, text_size)) return false;
    if (n > ADDRESSABLE_BYTES / 16 || text_size + n * sizeof(std::uint64_t) > ADDRESSABLE_BYTES)
        return false;
    // The types and offsets of an open batch (left by an interrupted call)
    // stay where they are: a larger batch grows them as it needs.
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
    std::free(offsets_storage);
    offsets = offsets_storage = nullptr;
    offsets_capacity = 0;
    offsets_wanted = false;
    TypesBlock::let_go(types_block);
    for (TypesBlock*& spare : spare_types) {
        TypesBlock::let_go(spare);
        spare = nullptr;
    }
    text_buffer = nullptr;
    types_buffer = nullptr;
    types_block = nullptr;
    types_capacity = 0;
    text_capacity = 0;
}

} // namespace tarvelin
