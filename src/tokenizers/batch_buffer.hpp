// Storage for one batch of tokens, with the settings that decide which
// completed tokens it takes: a type mask and inclusive bounds on the length in
// characters.
//
// The text storage grows with what batches need, up to batch_size *
// TOKEN_SLOT_BYTES bytes (plus a little padding for word-sized stores), the
// most a full batch can hold. The reading loop asks `room_for` before each
// slice of input how much of it the storage surely takes, so `accept` and the
// scanner write without bound tests, and a tokenizer costs only the storage
// that its batches have used.
//
// Beside the UTF-8 bytes, the batch counts the characters it holds (NULs
// included) in `text_chars` and keeps in `char_bits` a value in the same str
// storage class as its largest character (the OR of the code points will do,
// as the classes are bounded by powers of two), with a flag for characters
// that are not well-formed UTF-8. A batch of well-formed text is so turned
// into a Python str of the right width in one pass over its bytes; only a
// batch with a malformed character needs its bytes decoded strictly (to raise
// the decoding error).
//
// `types_buffer` is handed to Python without a copy (see the module's batch
// conversion): it is the entries of a TypesBlock, and each array made over a
// block holds it. A batch is only ever written into a block that nothing but
// the buffer holds: a batch begun while arrays still view the current block
// goes to one of a few spare blocks that no array views any longer, or to a
// new block when there is none. A block is freed by whoever lets go of it last,
// the buffer or an array, so an array stays valid and keeps its values for as
// long as it lives, with or without its tokenizer. A loop that keeps one batch
// while the next is made settles on two blocks and allocates no more.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "scan/batch_sink.hpp"
#include "tokenizers/doc_runs.hpp"
#include "text/utf8_strict.hpp"
#include "tokens/token.hpp"

namespace tarvelin {

inline constexpr std::uint64_t TOKEN_SLOT_BYTES = TOKEN_MAX_CHARS * 4 + 1; // 513
inline constexpr std::uint64_t TOKEN_SLOT_CHARS = TOKEN_MAX_CHARS + 1;     // with the NUL
// Bytes of text storage beyond its capacity that may be written (never
// kept): the appenders store whole words and vectors past a token's text.
inline constexpr std::uint64_t TEXT_PADDING = SINK_BLOCK_COPY;
inline constexpr std::uint64_t DEFAULT_BATCH_SIZE = 65536;
inline constexpr std::uint64_t DEFAULT_TOKEN_MIN_LEN = 0;
inline constexpr std::uint64_t DEFAULT_TOKEN_MAX_LEN = 512;
inline constexpr std::uint64_t ACCEPT_ALL_TYPES = ~std::uint64_t{0};

// A block of types storage and its holders: the batch buffer while the block
// is one of its own, and each array made over it. The count is atomic: arrays
// are dropped under the interpreter lock by any thread, while the buffer asks
// without it whether it may write into the block. Only the buffer adds
// holders, so a block it alone holds stays so until it hands it out again.
struct TypesBlock {
    std::atomic<std::uint64_t> holders{1};
    std::uint64_t capacity = 0; // entries

    // A block of `capacity` entries held by its maker; nullptr when memory
    // cannot be had.
    static TypesBlock* make(std::uint64_t capacity) noexcept;
    // Lets go of the block (nothing for nullptr); the last holder frees it.
    static void let_go(TypesBlock* block) noexcept;

    std::uint64_t* entries() noexcept { return reinterpret_cast<std::uint64_t*>(this + 1); }
    void hold() noexcept { holders.fetch_add(1, std::memory_order_relaxed); }
    bool held_elsewhere() const noexcept { return holders.load(std::memory_order_acquire) != 1; }
};

// Types blocks made so far and not yet freed, in the whole process (for tests
// that check that storage is reused and freed).
struct TypesBlockCounts {
    std::atomic<std::uint64_t> made{0};
    std::atomic<std::uint64_t> live{0};
};
inline TypesBlockCounts types_block_counts;

struct BatchBuffer {
    std::uint8_t* text_buffer = nullptr;
    std::uint64_t* types_buffer = nullptr;
    std::uint64_t text_bytes = 0;
    std::uint64_t token_count = 0;
    std::uint64_t batch_size = DEFAULT_BATCH_SIZE;
    std::uint64_t token_min_len = DEFAULT_TOKEN_MIN_LEN;
    std::uint64_t token_max_len = DEFAULT_TOKEN_MAX_LEN;
    std::uint64_t filter = ACCEPT_ALL_TYPES;

    std::uint64_t text_chars = 0; // characters of text_buffer, NULs included
    std::uint32_t char_bits = 0;  // in the storage class of the largest of them
    bool malformed = false;       // a character is not well-formed UTF-8
    // Tokens of the batch that were counted as they were read (see
    // TokenCounter::open_sink) instead of being kept in it: they fill the
    // batch as if they were there. (A batch that counting began and a
    // reading call finishes, after an interrupted count, holds only the
    // tokens that counting left.)
    std::uint64_t counted_apart = 0;

    std::uint64_t text_capacity = 0;           // bytes of text_buffer (padding not counted)
    std::uint64_t* offsets = nullptr;          // while kept: each token's first character's index
    std::uint64_t* offsets_storage = nullptr;  // where `offsets` points while they are kept
    std::uint64_t offsets_capacity = 0;        // entries in offsets_storage, >= batch_size
    bool offsets_wanted = false;               // keep them from the next batch begun on
    std::uint64_t types_capacity = 0;          // entries of types_block, >= batch_size
    // The block types_buffer points into (types_buffer is nullptr while a
    // batch waits for a block that no array views), and blocks kept for
    // later batches, in the order they were set aside.
    TypesBlock* types_block = nullptr;
    static constexpr int SPARE_TYPES_BLOCKS = 3;
    TypesBlock* spare_types[SPARE_TYPES_BLOCKS] = {};
    DocRuns docs; // the tokens' documents, for a tokenizer over documents

    BatchBuffer() = default;
    BatchBuffer(const BatchBuffer&) = delete;
    BatchBuffer& operator=(const BatchBuffer&) = delete;
    ~BatchBuffer() { release(); }

    // Allocates the types storage for the default batch size (the text storage
    // grows as batches need it); false when it cannot.
    bool allocate() noexcept;

    // How many of the next `wanted` input bytes (at least one) the storage
    // surely takes, whatever tokens they make, after growing it if need be; 0
    // only when it cannot grow.
    std::uint64_t room_for(std::uint64_t wanted) noexcept {
        if (types_buffer == nullptr && !take_unviewed_types()) return 0;
        if (at_limits()) return wanted;
        const std::uint64_t step = wanted < ROOM_STEP ? wanted : ROOM_STEP;
        std::uint64_t fits = bytes_that_fit();
        if (fits < step) {
            grow(step);
            if (at_limits()) return wanted;
            fits = bytes_that_fit();
        }
        return fits < wanted ? fits : wanted;
    }

    // Starts (true) or stops keeping each token's offset, from the next batch
    // begun on (the storage stays until release); false when the storage
    // cannot be had.
    bool keep_offsets(bool on) noexcept;

    // Grows the text storage at once to what a full batch can need, for a
    // caller that offers tokens to `accept` without the reading loop's
    // room_for; false when memory cannot be had.
    bool reserve_full() noexcept {
        if (types_buffer == nullptr && !take_unviewed_types()) return false;
        grow(~std::uint64_t{0} / 8);
        return at_limits();
    }

    // Sets batch_size to n and sizes the storage for it. False when n * 513
    // overflows or the storage cannot be had; everything is then unchanged.
    bool resize(std::uint64_t n) noexcept;

    // Frees all storage.
    void release() noexcept;

    void begin_batch() noexcept {
        if (types_block != nullptr && types_block->held_elsewhere()) take_unviewed_types();
        offsets = offsets_wanted ? offsets_storage : nullptr;
        text_bytes = 0;
        token_count = 0;
        text_chars = 0;
        char_bits = 0;
        malformed = false;
        counted_apart = 0;
        docs.clear();
    }

    bool passes(std::uint64_t type, std::uint64_t length) const noexcept {
        return token_passes(filter, token_min_len, token_max_len, type, length);
    }

    bool is_full() const noexcept { return token_count + counted_apart >= batch_size; }

    // The tokens the batch may still take.
    std::uint64_t room() const noexcept {
        const std::uint64_t in = token_count + counted_apart;
        return in < batch_size ? batch_size - in : 0;
    }

    // Takes `t` if its type passes the filter and its length lies within the
    // bounds; otherwise leaves the batch unchanged. Only while !is_full().
    void accept(const Token& t) noexcept {
        if (!passes(t.type, t.length)) return;
        std::uint8_t* out = text_buffer + text_bytes;
        if (offsets != nullptr) offsets[token_count] = t.start;
        for (std::uint64_t i = 0; i < t.length; ++i) {
            const Utf8Char& c = t.chars[i];
            std::memcpy(out, c.bytes, 4); // one store; only c.length bytes are kept
            out += c.length;
            char_bits |= c.code_point;
            malformed |= !is_well_formed(c);
        }
        close_token(out, t.length, t.type);
    }

  private:
    // Input bytes taken in one step at least, once the storage has grown.
    static constexpr std::uint64_t ROOM_STEP = 64 * 1024;
    // Characters that a slice may complete beyond its own: the pending group
    // and the current run of the assembler, and an unfinished sequence.
    static constexpr std::uint64_t PENDING_CHARS = 2 * TOKEN_MAX_CHARS + 8;

    // Puts a block that no array views in place of the current one: a
    // spare, or a new block. False (types_buffer nullptr) when memory cannot
    // be had; room_for tries again.
    bool take_unviewed_types() noexcept;
    // Keeps `block` among the spares, letting go of the oldest spare when
    // they are all taken.
    void set_aside(TypesBlock* block) noexcept;

    // The storage a full batch needs: beyond it, nothing more is ever asked.
    std::uint64_t text_limit() const noexcept;
    bool at_limits() const noexcept { return text_capacity >= text_limit(); }

    // Input bytes whose tokens surely fit: a byte gives at most one
    // character of at most 3 bytes (U+FFFD for a stray byte in replace mode)
    // and one NUL; the pending characters come on top. Storage that has
    // reached its limit holds a full batch, so it bounds nothing.
    std::uint64_t bytes_that_fit() const noexcept {
        constexpr std::uint64_t unbounded = ~std::uint64_t{0};
        const std::uint64_t text_room = text_capacity - text_bytes;
        if (text_capacity >= text_limit()) return unbounded;
        return text_room > 4 * PENDING_CHARS ? text_room / 4 - PENDING_CHARS : 0;
    }

    // Grows the storage so that at least `bytes` more input bytes fit (at
    // least doubling it, at most to the limits); leaves it as it is when
    // memory cannot be had.
    void grow(std::uint64_t bytes) noexcept;

    // Ends the token of `length` characters whose text reaches `out`: the NUL
    // separator, the counters and the type.
    void close_token(std::uint8_t* out, std::uint64_t length, std::uint64_t type) noexcept {
        *out++ = 0;
        text_bytes = static_cast<std::uint64_t>(out - text_buffer);
        text_chars += length + 1;
        types_buffer[token_count++] = type;
    }
};

// Appends scanned tokens to a batch in a tight loop. The counters and
// settings are held here (a BatchSink), where the compiler can keep them in
// registers (the byte stores of the text would otherwise force them to be
// reloaded from the batch after every store); commit() writes them back.
class BatchAppender {
  public:
    // `char_pos`: the index in the whole input of the next token's first
    // character; it advances over every token, taken or not.
    BatchAppender(BatchBuffer& batch, std::uint64_t& char_pos) noexcept
        : batch_(batch),
          sink_{batch.text_buffer + batch.text_bytes, batch.types_buffer, batch.offsets,
                batch.token_count, batch.token_count + batch.room(), batch.text_chars, char_pos,
                batch.filter,
                batch.token_min_len, batch.token_max_len, batch.char_bits},
          char_pos_out_(char_pos) {}
    BatchAppender(const BatchAppender&) = delete;
    BatchAppender& operator=(const BatchAppender&) = delete;
    ~BatchAppender() { commit(); }

    bool full() const noexcept { return sink_.count >= sink_.limit; }
    // The tokens the batch may still take.
    std::uint64_t room() const noexcept { return full() ? 0 : sink_.limit - sink_.count; }

    // The state itself, for the vector kernel to append to.
    BatchSink& sink() noexcept { return sink_; }

    // Takes a scanned token: `bytes` is its well-formed text of `length`
    // characters, with `bits` the OR of its code points from U+0080 up. Its
    // bytes are copied exactly (nothing past them is read).
    void take(const std::uint8_t* bytes, std::size_t byte_count, std::uint64_t length,
              std::uint64_t type, std::uint32_t bits) noexcept {
        batch_put(sink_, {bytes, 0, byte_count, length, type, bits});
    }

    // Takes a token of the one ASCII character b.
    void take_ascii(std::uint8_t b, std::uint64_t type) noexcept {
        const std::uint64_t start = sink_.char_pos++;
        if (!token_passes(sink_.filter, sink_.min_len, sink_.max_len, type, 1)) return;
        if (sink_.offsets != nullptr) sink_.offsets[sink_.count] = start;
        sink_.text[0] = b;
        sink_.text[1] = 0;
        sink_.text += 2;
        sink_.chars += 2;
        sink_.types[sink_.count++] = type;
    }

    // Tokens of the batch that were counted instead of taken: `tokens` of
    // them, of `chars` characters in all, passing or not.
    void counted_apart(std::uint64_t tokens, std::uint64_t chars) noexcept {
        sink_.limit -= tokens;
        sink_.char_pos += chars;
        batch_.counted_apart += tokens;
    }

    void commit() noexcept {
        batch_.text_bytes = static_cast<std::uint64_t>(sink_.text - batch_.text_buffer);
        batch_.token_count = sink_.count;
        batch_.text_chars = sink_.chars;
        batch_.char_bits = sink_.char_bits;
        char_pos_out_ = sink_.char_pos;
    }

  private:
    BatchBuffer& batch_;
    BatchSink sink_;
    std::uint64_t& char_pos_out_;
};

} // namespace tarvelin
