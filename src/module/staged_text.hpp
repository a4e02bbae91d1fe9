// A batch's text transcoded into the storage of the str it becomes, ahead of
// making that str.
//
// Transcoding is the one part of turning a batch into its dictionary that
// grows with the batch, and it needs nothing of Python: so it is done here,
// into native storage, while the interpreter lock is released for reading,
// and the str is only filled from it (a copy) with the lock held. Another
// thread so spends that time running Python instead of waiting for the lock.
// ASCII batches need no transcoding: their str is copied from the batch.
//
// Owned by the tokenizer's Python binding beside the batch, and used under
// the same one-call-at-a-time lock; the storage is kept for the next batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tokenizers/batch_buffer.hpp"
#include "tokens/scan_kernel.hpp"

namespace tarvelin {

struct StagedText {
    StagedText() = default;
    StagedText(const StagedText&) = delete;
    StagedText& operator=(const StagedText&) = delete;
    ~StagedText() { std::free(data); }

    void* data = nullptr;
    std::size_t capacity = 0; // bytes of data
    // The batch whose text `data` holds (its text storage and size), so that
    // a staging never stands for another batch; null when nothing is staged.
    const std::uint8_t* for_text = nullptr;
    std::uint64_t for_bytes = 0;

    // Whether `data` holds the text of `batch` as it stands now.
    bool holds(const BatchBuffer& batch) const noexcept {
        return for_text != nullptr && for_text == batch.text_buffer && for_bytes == batch.text_bytes;
    }

    // Transcodes a finished, well-formed batch of characters beyond ASCII;
    // does nothing for other batches, or when the storage cannot be had
    // (the str is then transcoded as it is made). No Python object is used.
    void stage(const BatchBuffer& batch) noexcept {
        for_text = nullptr;
        if (batch.malformed || batch.token_count == 0 || batch.char_bits < 0x80u) return;
        const std::size_t width = batch.char_bits < 0x100u ? 1 : batch.char_bits < 0x10000u ? 2 : 4;
        const std::size_t bytes = static_cast<std::size_t>(batch.text_chars) * width;
        if (bytes > capacity) {
            void* grown = std::realloc(data, bytes);
            if (grown == nullptr) return;
            data = grown;
            capacity = bytes;
        }
        const std::uint8_t* text = batch.text_buffer;
        if (width == 1) utf8_to_ucs1(text, batch.text_bytes, static_cast<std::uint8_t*>(data));
        else if (width == 2) utf8_to_ucs2(text, batch.text_bytes, static_cast<std::uint16_t*>(data));
        else utf8_to_ucs4(text, batch.text_bytes, static_cast<std::uint32_t*>(data));
        for_text = batch.text_buffer;
        for_bytes = batch.text_bytes;
    }
};

} // namespace tarvelin
