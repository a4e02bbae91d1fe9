// The one reading loop behind `get_batch` of every tokenizer.
//
// A byte source offers a window of bytes not yet read (`window`), takes back
// how many of them were used (`consume`), says whether the input is at its
// end (`at_end`) and whether a window always reaches the end of the input
// (`windows_are_final`). The loop stops before the next token once the batch
// is full, so the next call goes on exactly where this one stopped.
//
// Two paths produce the same tokens:
// - the scanner (TokenScanner) takes whole tokens from well-formed text in
//   the window, starting from an idle assembler;
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
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "classify/utf8_char.hpp"
#include "classify/utf8_strict.hpp"
#include "tokenizers/batch_buffer.hpp"
#include "tokens/token_assembler.hpp"
#include "tokens/token_scanner.hpp"

namespace tarvelin {

inline constexpr std::uint8_t DRAIN_STEPS = 2;

template <class Source>
concept ByteSource = requires(Source& s, std::size_t n) {
    { s.window() } -> std::same_as<std::span<const std::uint8_t>>;
    s.consume(n);
    { s.at_end() } -> std::same_as<bool>;
    { Source::windows_are_final } -> std::convertible_to<bool>;
};

// Which path reads next, and what the assembler path needs to know to hand
// back: byte offsets in the current window (negative: not in this window).
struct ReadingMode {
    bool use_assembler = false;
    bool assembler_only = false; // never use the scanner (the reference path)
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

namespace detail {

// Scanner path: takes tokens from window[pos..] while the batch has room.
// Returns where it stopped; switches to the assembler path when it cannot decide.
inline std::size_t scan_tokens(std::span<const std::uint8_t> window, std::size_t pos, bool final,
                               BatchBuffer& batch, ReadingMode& mode) noexcept {
    const std::uint8_t* const base = window.data();
    const std::uint8_t* const end = base + window.size();
    TokenScanner scanner(end, final);
    BatchAppender out(batch);
    const std::uint8_t* p = base + pos;
    while (p < end && !out.full()) {
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
        if (scanner.scan(p, out.next_code_points(), t) != ScanStatus::token) {
            mode.use_assembler = true;
            mode.track_from(p - base);
            break;
        }
        out.take(p, t.bytes, t.chars, t.type, t.bits);
        p += t.bytes;
    }
    return static_cast<std::size_t>(p - base);
}

// Assembler path: feeds window[pos..] byte by byte. Returns where it stopped:
// the window's end, after a token that filled the batch, or the first pending
// character when it hands back to the scanner.
inline std::size_t feed_bytes(std::span<const std::uint8_t> window, std::size_t pos,
                              TokenAssembler& assembler, Utf8Char& utf8_char, BatchBuffer& batch,
                              ReadingMode& mode) noexcept {
    while (pos < window.size()) {
        const std::size_t i = pos++;
        if (!utf8_char.feed(window[i])) continue;
        const std::ptrdiff_t char_start =
            static_cast<std::ptrdiff_t>(pos) - static_cast<std::ptrdiff_t>(utf8_char.length);
        if (!is_well_formed(utf8_char))
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
        if (!mode.assembler_only && pending >= 0 && pending >= mode.clean_from) {
            assembler.reset();
            utf8_char = Utf8Char{};
            mode.use_assembler = false;
            return static_cast<std::size_t>(pending);
        }
        if (batch.is_full()) break;
    }
    return pos;
}

} // namespace detail

template <ByteSource Source>
void read_batch(Source& source, TokenAssembler& assembler, Utf8Char& utf8_char,
                BatchBuffer& batch, ReadingMode& mode, std::uint8_t& drain_steps) noexcept {
    batch.begin_batch();
    while (!batch.is_full()) {
        const std::span<const std::uint8_t> bytes = source.window();
        if (bytes.empty()) break;
        mode.begin_window();
        std::size_t used = 0;
        while (used < bytes.size() && !batch.is_full()) {
            used = mode.use_assembler
                       ? detail::feed_bytes(bytes, used, assembler, utf8_char, batch, mode)
                       : detail::scan_tokens(bytes, used, Source::windows_are_final, batch, mode);
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
