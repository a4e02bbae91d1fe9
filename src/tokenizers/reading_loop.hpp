// The one reading loop behind `get_batch` of every tokenizer.
//
// A byte source offers a window of bytes not yet read (`window`), takes back
// how many of them were used (`consume`), says whether the input is at its
// end (`at_end`) and whether a window always reaches the end of the input
// (`windows_are_final`, or `window_reaches_end()` window by window). The loop
// stops before the next token once the batch is full, so the next call goes
// on exactly where this one stopped.
//
// Counting (count_some) runs the same loop with a token counter: the tokens
// that the vector kernel settles are counted as they are found, without
// being written to the batch, and still fill it (BatchBuffer::counted_apart);
// the other paths' tokens reach the batch as ever, to be counted from there.
//
// Two paths produce the same tokens:
// - the scanner takes whole tokens from well-formed text in the window,
//   starting from an idle assembler: the vector kernel (scan_kernel) settles
//   the plain tokens many at a time, and TokenScanner takes one token where
//   the kernel stops (compounds, long runs, a window's end);
// - the assembler path feeds one byte at a time to the permissive decoder
//   (Utf8Char) and the assembler. It takes over where the scanner cannot
//   decide (malformed bytes, a token cut by the window's end), and hands back
//   to the scanner as soon as a token is completed and the pending characters
//   are well-formed bytes of this window: the assembler is then emptied and
//   the scanner starts again at the first pending character.
//
// At the end of the input the assembler is drained by exactly two `finish`
// calls in the tokenizer's life, each made only while the batch has room; a
// drain left incomplete because the batch filled is resumed by the next call,
// so no token is ever lost, whatever the batch size.
//
// A source of many documents (DocumentSource) ends each document as the end
// of an input: the assembler is drained, then the reading state starts
// afresh for the next document (offsets count from its first character),
// all within the same batch. A document whose tokens all came from the
// scanner leaves nothing to drain and costs no drain at all. The batch
// records which document its tokens come from (BatchBuffer::docs).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "classify/utf8_char.hpp"
#include "counting/token_counter.hpp"
#include "scan/token_scanner.hpp"
#include "simd/scan_kernel.hpp"
#include "text/utf8_replace.hpp"
#include "text/utf8_strict.hpp"
#include "tokenizers/batch_buffer.hpp"
#include "tokenizers/docs_source.hpp"
#include "tokens/token_assembler.hpp"

namespace tarvelin {

inline constexpr std::uint8_t DRAIN_STEPS = 2;

template <class Source>
concept ByteSource = requires(Source& s, std::size_t n) {
    { s.window() } -> std::same_as<std::span<const std::uint8_t>>;
    s.consume(n);
    { s.at_end() } -> std::same_as<bool>;
    { Source::windows_are_final } -> std::convertible_to<bool>;
};

// A source whose input is a sequence of documents, each read as an input of
// its own (see DocsSource).
template <class Source>
concept DocumentSource = requires(Source& s) {
    { s.document_open() } -> std::same_as<bool>;
    { s.document_index() } -> std::same_as<std::uint64_t>;
    { s.next_document() } -> std::same_as<DocStep>;
    s.close_document();
};

// What one call of the reading loop ended with.
enum class ReadResult : std::uint8_t {
    complete,   // the batch is finished: full, or the input ended and was drained (may be empty)
    paused,     // the byte budget is spent, or a wait for input was interrupted; the batch
                // stays open and the next call goes on filling it
    read_error, // the source failed; the batch stays open and the input now counts as ended,
                // so the next call drains the assembler and completes the batch
    no_memory,  // the batch's text storage could not grow; the batch stays open
    needs_documents, // a document source ran out of queued documents before its input
                     // ended; the batch stays open until the queue is filled again
};

// How bytes that are not well-formed UTF-8 are decoded.
enum class DecodeErrors : std::uint8_t {
    strict,  // permissively (Utf8Char): they reach the batch as they are
    replace, // strictly, each ill-formed sequence becoming U+FFFD (Utf8Replacing)
};

// Which path reads next, and what the assembler path needs to know to hand
// back: byte offsets in the current window (negative: not in this window).
struct ReadingMode {
    bool use_assembler = false;
    bool assembler_only = false; // never use the scanner (the reference path)
    bool count_refused = false;  // the counter could not make room for the kernel's tokens
    bool batch_open = false;     // a batch was begun and is not complete yet
    DecodeErrors errors = DecodeErrors::strict;    // the decoding in force
    DecodeErrors requested = DecodeErrors::strict; // takes force between two characters
    Utf8Replacing replacer;                        // the decoder of replace mode
    std::uint64_t char_pos = 0; // characters of the input before the scanner's position
    std::ptrdiff_t run_start = -1;      // first byte of the assembler's current run
    std::ptrdiff_t prev_run_start = -1; // first byte of the run before it
    std::ptrdiff_t clean_from = 0;      // bytes from here on are well-formed characters
    std::ptrdiff_t last_char_end = 0;   // end of the last completed character

    void begin_window() noexcept { track_from(0); }
    void track_from(std::ptrdiff_t pos) noexcept {
        run_start = prev_run_start = -1;
        clean_from = last_char_end = pos;
    }
};

// The assembler, made the first time the assembler path is taken: its token
// records take about 58 KB, which the scanner alone (most short texts) never
// needs. Until then it is idle, as a fresh assembler is, and draining it
// completes nothing.
class LazyAssembler {
  public:
    // The assembler; made idle, with `next_char` the index of the next
    // character fed, if it was not yet. nullptr when memory cannot be had.
    TokenAssembler* get(std::uint64_t next_char) noexcept {
        if (!made_) {
            made_.reset(new (std::nothrow) TokenAssembler{});
            if (made_) made_->reset(next_char);
        }
        return made_.get();
    }
    // The assembler if it was made, else nullptr.
    TokenAssembler* made() const noexcept { return made_.get(); }

  private:
    std::unique_ptr<TokenAssembler> made_;
};

namespace detail {

// Counts the tokens the vector kernel settles at p[0..n) while the batch has
// room, in as many rounds as the counter's queue needs. Returns the bytes
// settled; sets mode.count_refused when the counter could not make room.
inline std::size_t count_with_kernel(const std::uint8_t* p, std::size_t n, bool final,
                                     const BatchBuffer& batch, BatchAppender& out,
                                     TokenCounter& counter, ReadingMode& mode) noexcept {
    std::size_t used = 0;
    for (;;) {
        CountSink sink;
        if (!counter.open_sink(sink, {batch.filter, batch.token_min_len, batch.token_max_len},
                               out.room())) {
            mode.count_refused = true;
            break;
        }
        const std::size_t step = scan_kernel_count(p + used, n - used, final, sink);
        const bool stopped_for_room = count_sink_full(sink);
        counter.take_queued(sink);
        out.counted_apart(sink.kept, sink.chars);
        used += step;
        if (!stopped_for_room || out.full()) break;
    }
    return used;
}

// Windows shorter than this are not counted by the kernel as it goes.
inline constexpr std::size_t KERNEL_COUNT_MIN_BYTES = 1024;

// Scanner path: takes tokens from window[pos..] while the batch has room
// (with a counter: counts the kernel's tokens). Returns where it stopped;
// switches to the assembler path when it cannot decide.
inline std::size_t scan_tokens(std::span<const std::uint8_t> window, std::size_t pos, bool final,
                               BatchBuffer& batch, ReadingMode& mode,
                               TokenCounter* counter) noexcept {
    const std::uint8_t* const base = window.data();
    const std::uint8_t* const end = base + window.size();
    TokenScanner scanner(end, final);
    BatchAppender out(batch, mode.char_pos);
    const bool kernel = scan_kernel_active();
    // Counting as the kernel goes costs a round of the counter's queue per
    // call, which a short window (a short document) does not repay: its
    // tokens go to the batch and are counted from there.
    if (counter != nullptr && window.size() - pos < KERNEL_COUNT_MIN_BYTES) counter = nullptr;
    const std::uint8_t* p = base + pos;
    while (p < end && !out.full()) {
        if (kernel) {
            // The kernel stops in front of a token it cannot settle (or when
            // the batch is full), which the scanner then takes.
            const auto n = static_cast<std::size_t>(end - p);
            p += counter != nullptr ? count_with_kernel(p, n, final, batch, out, *counter, mode)
                                    : scan_kernel_into(p, n, final, out.sink());
            if (p == end || out.full() || mode.count_refused) break;
        }
        // One-character ASCII tokens (spaces, line feeds, punctuation) are
        // about half of all tokens: take them without a scan.
        if (const std::uint8_t b = *p; b < 0x80u) {
            if (const std::uint64_t type = scanner.ascii_type(b); !is_word_type(type)) {
                out.take_ascii(b, type);
                ++p;
                continue;
            }
        }
        ScannedToken t;
        if (scanner.scan(p, t) != ScanStatus::token) {
            mode.use_assembler = true;
            mode.track_from(p - base);
            break;
        }
        out.take(p, t.bytes, t.chars, t.type, t.bits);
        p += t.bytes;
    }
    return static_cast<std::size_t>(p - base);
}

// Whether a character has been begun but not completed by either decoder.
inline bool inside_character(const Utf8Char& utf8_char, const ReadingMode& mode) noexcept {
    return utf8_char.received < utf8_char.length || mode.replacer.pending();
}

// Assembler path: feeds window[pos..] byte by byte. Returns where it stopped:
// the window's end, after a token that filled the batch, or the first pending
// character when it hands back to the scanner.
inline std::size_t feed_bytes(std::span<const std::uint8_t> window, std::size_t pos,
                              TokenAssembler& assembler, Utf8Char& utf8_char, BatchBuffer& batch,
                              ReadingMode& mode) noexcept {
    while (pos < window.size()) {
        if (mode.errors != mode.requested && !inside_character(utf8_char, mode))
            mode.errors = mode.requested;
        const std::size_t i = pos++;
        std::ptrdiff_t char_start;
        bool clean;
        if (mode.errors == DecodeErrors::replace) {
            bool consumed;
            const std::ptrdiff_t held = mode.replacer.have; // bytes of the sequence before this one
            if (!mode.replacer.feed(window[i], utf8_char, consumed)) continue;
            clean = !mode.replacer.replaced;
            if (!consumed) --pos; // the byte broke off a sequence: it starts afresh next
            char_start = static_cast<std::ptrdiff_t>(i) - held;
        } else {
            if (!utf8_char.feed(window[i])) continue;
            clean = is_well_formed(utf8_char);
            char_start =
                static_cast<std::ptrdiff_t>(pos) - static_cast<std::ptrdiff_t>(utf8_char.length);
        }
        if (!clean)
            mode.clean_from = static_cast<std::ptrdiff_t>(pos);
        else if (char_start != mode.last_char_end) // bytes were dropped before it
            mode.clean_from = std::max(mode.clean_from, char_start);
        mode.last_char_end = static_cast<std::ptrdiff_t>(pos);

        const bool completed = assembler.add_char(utf8_char);
        if (assembler.current.length == 1) { // the character started a new run
            mode.prev_run_start = mode.run_start;
            mode.run_start = char_start;
        }
        if (!completed) continue;
        batch.accept(assembler.completed());
        // The pending group is the run before the current one; from its start
        // on, the scanner can take over if those bytes are all well-formed.
        const std::ptrdiff_t pending = mode.prev_run_start;
        if (!mode.assembler_only && pending >= 0 && pending >= mode.clean_from &&
            !inside_character(utf8_char, mode)) {
            mode.char_pos = assembler.group_start();
            assembler.reset(mode.char_pos);
            utf8_char = Utf8Char{};
            mode.use_assembler = false;
            return static_cast<std::size_t>(pending);
        }
        if (batch.is_full()) break;
    }
    return pos;
}

// At the end of the input: an unfinished sequence of replace mode becomes
// U+FFFD, then the assembler is drained by exactly two `finish` calls in the
// tokenizer's life. Each step is made only while the batch has room, so a
// drain that the batch interrupts is resumed by the next call.
inline void drain(LazyAssembler& lazy, BatchBuffer& batch, ReadingMode& mode,
                  std::uint8_t& drain_steps) noexcept {
    TokenAssembler* const made = lazy.made(); // an unfinished sequence was fed to it
    if (made == nullptr) { // never used: an idle assembler completes nothing
        drain_steps = DRAIN_STEPS;
        return;
    }
    TokenAssembler& assembler = *made;
    if (mode.replacer.pending() && !batch.is_full()) {
        Utf8Char c;
        mode.replacer.finish(c);
        if (assembler.add_char(c)) batch.accept(assembler.completed());
    }
    while (drain_steps < DRAIN_STEPS && !batch.is_full() && !mode.replacer.pending()) {
        ++drain_steps;
        if (assembler.finish()) batch.accept(assembler.completed());
    }
}

// What turning from one document to the next gave.
enum class DocTurn : std::uint8_t { next, batch_full, no_memory, needs_documents, ended };

// At the end of the open document (its window is empty): drains what the
// assembler holds exactly as at the end of an input, then starts the reading
// state afresh and opens the next document, marking it in the batch. A drain
// that the batch interrupts is resumed by the next call (the document stays
// open meanwhile).
template <class Source>
DocTurn turn_document(Source& source, LazyAssembler& assembler, Utf8Char& utf8_char,
                      BatchBuffer& batch, ReadingMode& mode, std::uint8_t& drain_steps) noexcept {
    if (source.document_open()) {
        // Tokens the scanner took are complete: the assembler holds nothing
        // unless it read last.
        if (mode.use_assembler || drain_steps != 0) {
            if (batch.room_for(1) == 0) return DocTurn::no_memory;
            drain(assembler, batch, mode, drain_steps);
            if (drain_steps < DRAIN_STEPS || mode.replacer.pending()) return DocTurn::batch_full;
            if (TokenAssembler* const a = assembler.made()) a->reset(0);
            utf8_char = Utf8Char{};
            mode.use_assembler = false;
            drain_steps = 0;
        }
        mode.char_pos = 0;
        mode.errors = mode.requested;
        source.close_document();
    }
    switch (source.next_document()) {
    case DocStep::opened: break;
    case DocStep::needs_documents: return DocTurn::needs_documents;
    case DocStep::ended: return DocTurn::ended;
    }
    if (!batch.docs.mark(source.document_index(), batch.token_count)) return DocTurn::no_memory;
    return DocTurn::next;
}

// Whether the current window reaches the end of the input: always, never, or
// as the source says window by window.
template <class Source>
bool window_reaches_end(const Source& source) noexcept {
    if constexpr (requires { source.window_reaches_end(); })
        return source.window_reaches_end();
    else
        return Source::windows_are_final;
}

template <class Source>
bool take_source_error(Source& source) noexcept {
    if constexpr (requires { source.take_error(); })
        return source.take_error();
    else
        return false;
}

} // namespace detail

// Fills the open batch (beginning a new one when the last call completed its
// batch) from at most about `budget` bytes of input; see ReadResult. With a
// counter, the kernel's tokens are counted into it instead (no_memory when
// it cannot make room for them; the next call goes on from there).
template <ByteSource Source>
ReadResult read_slice(Source& source, LazyAssembler& assembler, Utf8Char& utf8_char,
                      BatchBuffer& batch, ReadingMode& mode, std::uint8_t& drain_steps,
                      std::uint64_t budget, TokenCounter* counter = nullptr) noexcept {
    if (!mode.batch_open) {
        batch.begin_batch();
        mode.batch_open = true;
    }
    if (!mode.use_assembler) mode.errors = mode.requested; // no character is half read here
    if constexpr (DocumentSource<Source>) {
        // A batch begun inside a document (or a mark that could not be made).
        if (source.document_open() && !batch.docs.covers(source.document_index()) &&
            !batch.docs.mark(source.document_index(), batch.token_count))
            return ReadResult::no_memory;
    }
    std::uint64_t spent = 0;
    while (!batch.is_full()) {
        if (spent >= budget) return ReadResult::paused;
        const std::span<const std::uint8_t> window = source.window();
        if (window.empty()) {
            if (detail::take_source_error(source)) return ReadResult::read_error;
            if constexpr (DocumentSource<Source>) {
                const detail::DocTurn turn =
                    detail::turn_document(source, assembler, utf8_char, batch, mode, drain_steps);
                if (turn == detail::DocTurn::next) {
                    ++spent; // even empty documents spend the budget
                    continue;
                }
                if (turn == detail::DocTurn::no_memory) return ReadResult::no_memory;
                if (turn == detail::DocTurn::needs_documents) return ReadResult::needs_documents;
                break; // the batch filled during a drain, or the input ended
            }
            if (!source.at_end()) return ReadResult::paused; // a wait for input was interrupted
            break;
        }
        // A slice no longer than the budget left and than the batch's text
        // storage can surely take; it counts as a window of its own.
        const std::size_t n = static_cast<std::size_t>(
            batch.room_for(std::min<std::uint64_t>(window.size(), budget - spent)));
        if (n == 0) return ReadResult::no_memory;
        const std::span<const std::uint8_t> slice = window.first(n);
        const bool final = detail::window_reaches_end(source) && n == window.size();
        mode.begin_window();
        std::size_t used = 0;
        bool no_assembler = false;
        while (used < n && !batch.is_full()) {
            if (mode.use_assembler) {
                // Made at the scanner's position when the scanner hands over.
                TokenAssembler* const a = assembler.get(mode.char_pos);
                if (a == nullptr) {
                    no_assembler = true;
                    break;
                }
                used = detail::feed_bytes(slice, used, *a, utf8_char, batch, mode);
            } else {
                used = detail::scan_tokens(slice, used, final, batch, mode, counter);
                // The assembler takes over at a character boundary, idle.
                if (TokenAssembler* const a = assembler.made(); a != nullptr && mode.use_assembler)
                    a->reset(mode.char_pos);
                if (mode.count_refused) break;
            }
        }
        source.consume(used);
        spent += used;
        if (no_assembler) return ReadResult::no_memory;
        if (mode.count_refused) {
            mode.count_refused = false;
            return ReadResult::no_memory;
        }
    }
    if constexpr (!DocumentSource<Source>) { // documents are drained one by one
        if (source.at_end() && !batch.is_full()) {
            // The drained tokens are pending characters: make room for them, as
            // no slice of this call may have.
            if (batch.room_for(1) == 0) return ReadResult::no_memory;
            detail::drain(assembler, batch, mode, drain_steps);
        }
    }
    mode.batch_open = false;
    return ReadResult::complete;
}

// One whole batch, whatever it takes: read errors count as the input's end,
// and a batch whose storage cannot grow is completed as it stands.
template <ByteSource Source>
void read_batch(Source& source, LazyAssembler& assembler, Utf8Char& utf8_char,
                BatchBuffer& batch, ReadingMode& mode, std::uint8_t& drain_steps) noexcept {
    for (;;) {
        const ReadResult r = read_slice(source, assembler, utf8_char, batch, mode, drain_steps,
                                        ~std::uint64_t{0});
        if (r == ReadResult::complete || r == ReadResult::needs_documents) return;
        if (r == ReadResult::no_memory) {
            mode.batch_open = false;
            return;
        }
    }
}

} // namespace tarvelin
