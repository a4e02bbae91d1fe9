// The one reading loop behind `get_batch` of every tokenizer.
//
// A byte source offers a window of bytes not yet read (`window`), takes back
// how many of them were used (`consume`), and says whether the input is at its
// end (`at_end`). The loop decodes bytes one at a time, hands each complete
// character to the assembler and each completed token to the batch, and stops
// before the next byte once the batch is full, so a character or token that
// straddles the boundary is completed by the next call.
//
// At the end of the input the assembler is drained by exactly two `finish`
// calls in the tokenizer's life, each made only while the batch has room. A
// drain left incomplete because the batch filled is resumed by the next call,
// so no token is ever lost, whatever the batch size.
#pragma once

#include <cstdint>
#include <span>

#include "classify/utf8_char.hpp"
#include "tokenizers/batch_buffer.hpp"
#include "tokens/token_assembler.hpp"

namespace tarvelin {

inline constexpr std::uint8_t DRAIN_STEPS = 2;

template <class Source>
concept ByteSource = requires(Source& s, std::size_t n) {
    { s.window() } -> std::same_as<std::span<const std::uint8_t>>;
    s.consume(n);
    { s.at_end() } -> std::same_as<bool>;
};

template <ByteSource Source>
void read_batch(Source& source, TokenAssembler& assembler, Utf8Char& utf8_char,
                BatchBuffer& batch, std::uint8_t& drain_steps) noexcept {
    batch.begin_batch();
    while (!batch.is_full()) {
        const std::span<const std::uint8_t> bytes = source.window();
        if (bytes.empty()) break;
        std::size_t used = 0;
        while (used < bytes.size()) {
            if (utf8_char.feed(bytes[used++]) && assembler.add_char(utf8_char)) {
                batch.accept(assembler.completed());
                if (batch.is_full()) break;
            }
        }
        source.consume(used);
    }
    if (!source.at_end()) return;
    while (drain_steps < DRAIN_STEPS && !batch.is_full()) {
        ++drain_steps;
        if (assembler.finish()) batch.accept(assembler.completed());
    }
}

} // namespace tarvelin
