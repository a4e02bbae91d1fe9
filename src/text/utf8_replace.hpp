// Strict UTF-8 decoding with replacement, one byte at a time: every sequence
// that is not well-formed becomes U+FFFD, placed as Python's "replace" error
// handler places it. A lead byte whose sequence breaks off (at a byte that
// cannot follow, or at the end of the input) gives one U+FFFD for the bytes it
// took; any byte that cannot start a sequence gives one U+FFFD of its own.
#pragma once

#include <cstdint>

#include "classify/utf8_char.hpp"

namespace tarvelin {

inline constexpr std::uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

inline Utf8Char replacement_char() noexcept {
    return Utf8Char{{0xEF, 0xBF, 0xBD, 0}, REPLACEMENT_CHARACTER, 3, 3};
}

struct Utf8Replacing {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    std::uint8_t have = 0; // bytes of an unfinished sequence held
    std::uint8_t need = 0; // its full length
    std::uint8_t lo = 0x80, hi = 0xBF; // the range of its second byte
    bool replaced = false;             // the last character completed is a replacement

    bool pending() const noexcept { return have != 0; }

    // Feeds one byte; true when it completes a character into `out`. When
    // `b` breaks off an unfinished sequence, that sequence completes as
    // U+FFFD and `consumed` is false: the caller feeds `b` again, and it then
    // starts afresh. So every call completes at most one character.
    bool feed(std::uint8_t b, Utf8Char& out, bool& consumed) noexcept {
        consumed = true;
        replaced = false;
        if (have != 0) {
            const std::uint8_t l = have == 1 ? lo : 0x80, h = have == 1 ? hi : 0xBF;
            if (b >= l && b <= h) {
                bytes[have++] = b;
                if (have < need) return false;
                out = complete();
                return true;
            }
            have = 0;
            consumed = false;
            replaced = true;
            out = replacement_char();
            return true;
        }
        if (b < 0x80u) {
            out = Utf8Char{{b, 0, 0, 0}, b, 1, 1};
            return true;
        }
        if (!start(b)) {
            replaced = true;
            out = replacement_char();
            return true;
        }
        bytes[0] = b;
        have = 1;
        return false;
    }

    // End of the input: an unfinished sequence is one U+FFFD.
    bool finish(Utf8Char& out) noexcept {
        if (have == 0) return false;
        have = 0;
        replaced = true;
        out = replacement_char();
        return true;
    }

  private:
    bool start(std::uint8_t b) noexcept {
        // The second byte's range excludes overlong forms (E0, F0),
        // surrogates (ED) and values above U+10FFFF (F4).
        lo = 0x80;
        hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false; // 80..C1, F5..FF never start a sequence
        }
        return true;
    }

    Utf8Char complete() noexcept {
        Utf8Char c{{bytes[0], bytes[1], have > 2 ? bytes[2] : std::uint8_t{0},
                    have > 3 ? bytes[3] : std::uint8_t{0}},
                   0, have, have};
        c.code_point = utf8_code_point(c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], have);
        have = 0;
        return c;
    }
};

} // namespace tarvelin
