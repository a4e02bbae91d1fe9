// What both tokenizers share: the reading state, the batch with its settings,
// and `get_batch`'s reading loop over a byte source.
//
// Members, in order: the assembler, the character being decoded, the input,
// the batch. All reading state persists from one batch to the next.
#pragma once

#include <cstdint>

#include "classify/utf8_char.hpp"
#include "counting/token_counter.hpp"
#include "tokenizers/batch_buffer.hpp"
#include "tokenizers/reading_loop.hpp"
#include "tokens/token_assembler.hpp"

namespace tarvelin {

// The text of a finished batch, for a TokenCounter to count.
inline BatchText finished_batch_text(const BatchBuffer& batch) noexcept {
    return {batch.text_buffer, batch.text_bytes, batch.token_count, batch.malformed};
}

template <ByteSource Source>
class Tokenizer {
  public:
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;

    // False (and nothing changed) when storage for n tokens cannot be had.
    bool set_batch_size(std::uint64_t n) noexcept { return batch.resize(n); }
    // Starts or stops keeping each token's offset in the batch; false when
    // the storage cannot be had.
    bool set_offsets(bool on) noexcept { return batch.keep_offsets(on); }
    void set_filter(std::uint64_t mask) noexcept { batch.filter = mask; }
    void set_token_min_len(std::uint64_t n) noexcept { batch.token_min_len = n; }
    void set_token_max_len(std::uint64_t n) noexcept { batch.token_max_len = n; }

    // Decoding of bytes that are not well-formed UTF-8, from the next
    // character on.
    void set_errors(DecodeErrors errors) noexcept { mode.requested = errors; }
    DecodeErrors errors() const noexcept { return mode.requested; }

    // Goes on filling the batch from at most about `budget` bytes of input
    // (see ReadResult); the batch stays in batch_buffer() until the next
    // call begins another. With a counter, the tokens that the vector kernel
    // settles are counted into it instead of kept (see read_slice). Touches
    // nothing but this tokenizer (and the counter), so it may run without
    // the interpreter's lock. Compiled once for each source, in tokenizer.cpp.
    ReadResult read_some(std::uint64_t budget, TokenCounter* counter = nullptr) noexcept;

    // One whole batch, however much input it takes (read errors count as the
    // end of the input); a document source whose queue runs dry leaves it open.
    void next_batch() noexcept {
        for (;;) {
            const ReadResult r = read_some(~std::uint64_t{0});
            if (r == ReadResult::complete || r == ReadResult::needs_documents) return;
            if (r == ReadResult::no_memory) {
                mode.batch_open = false;
                return;
            }
        }
    }

    // Bytes of input read so far (tokens still pending in the assembler included).
    std::uint64_t position() const noexcept { return source.position(); }

    // Whether a batch was begun by a call that did not complete it.
    bool batch_open() const noexcept { return mode.batch_open; }

    // Reads on, counting the tokens of each batch as the batches would have
    // held them: the kernel's as they are found, the others from the batch
    // storage once the batch is finished. `complete` once the input
    // is at its end (a batch size of 0 reads nothing, as its batches would be
    // empty); `paused` after each batch or budget; read_error / no_memory as
    // for read_some. A finished batch whose counting ran out of memory is
    // counted on from where it stopped by the next call.
    ReadResult count_some(TokenCounter& counter, std::uint64_t budget) noexcept {
        if (batch.batch_size == 0) return ReadResult::complete;
        if constexpr (requires { source.bytes_left(); }) counter.expect_input(source.bytes_left());
        if (!uncounted) {
            const ReadResult r = read_some(budget, &counter);
            if (r != ReadResult::complete) return r;
            uncounted = true;
            counted = {};
        }
        if (!counter.add_batch(finished_batch_text(batch), counted)) return ReadResult::no_memory;
        uncounted = false;
        return batch.is_full() ? ReadResult::paused : ReadResult::complete;
    }

    const BatchBuffer& batch_buffer() const noexcept { return batch; }

  protected:
    Tokenizer() = default;

    TokenAssembler assembler{};
    Utf8Char utf8_char{};
    Source source;
    BatchBuffer batch;
    ReadingMode mode;
    std::uint8_t drain_steps = 0; // finish() calls made so far, at most DRAIN_STEPS
    bool uncounted = false;       // count_some finished a batch it has not counted yet
    CountCursor counted;          // how far count_some has counted that batch
};

} // namespace tarvelin
