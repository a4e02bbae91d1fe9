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
    types_block = TypesBlock::make(DEFAULT_BATCH_SIZE);
    if (types_block == nullptr) return false;
    types_buffer = types_block->entries();
    batch_size = DEFAULT_BATCH_SIZE;
    types_capacity = DEFAULT_BATCH_SIZE;
    return true;
}

bool BatchBuffer::take_unviewed_types() noexcept {
    const auto usable = [this](const TypesBlock* block) {
        return block != nullptr && block->capacity >= batch_size && !block->held_elsewhere();
    };
    if (!usable(types_block)) {
        TypesBlock** spare = std::find_if(std::begin(spare_types), std::end(spare_types), usable);
        if (spare != std::end(spare_types)) {
            std::swap(*spare, types_block);
        } else {
            TypesBlock* fresh = TypesBlock::make(batch_size == 0 ? 1 : batch_size);
            if (fresh == nullptr) {
                types_buffer = nullptr;
                return false;
            }
            set_aside(types_block);
            types_block = fresh;
        }
    }
    types_buffer = types_block->entries();
    types_capacity = types_block->capacity;
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

    // A larger batch needs a larger block: a new one, which takes what an
    // open batch (left by an interrupted call) holds. The old blocks go, the
    // arrays that view them holding them on their own.
    if (n > types_capacity || types_block == nullptr) {
        TypesBlock* fresh = TypesBlock::make(n == 0 ? 1 : n);
        if (fresh == nullptr) return false;
        if (token_count != 0 && types_buffer != nullptr)
            std::memcpy(fresh->entries(), types_buffer, token_count * sizeof(std::uint64_t));
        TypesBlock::let_go(types_block);
        for (TypesBlock*& spare : spare_types) {
            if (spare != nullptr && spare->capacity < n) {
                TypesBlock::let_go(spare);
                spare = nullptr;
            }
        }
        types_block = fresh;
        types_buffer = fresh->entries();
        types_capacity = fresh->capacity;
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
