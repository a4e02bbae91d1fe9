// Byte source over a text held in memory: either a private copy, or bytes that
// cannot change for as long as an object of the caller's lives (an immutable
// string), which the source then keeps alive instead of copying them; or the
// characters of such a string stored as units of one, two or four bytes
// (code points), which it reads in place and offers as UTF-8 windows
// transcoded into a buffer of its own, a window at a time.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "text/transcode.hpp"

namespace tarvelin {

// Keeps the owner of borrowed bytes alive; `release` drops it once.
struct TextKeeper {
    void* owner = nullptr;
    void (*release)(void* owner) noexcept = nullptr;
};

struct TextSource {
    // Units transcoded per window (their UTF-8 takes at most 4 bytes each).
    static constexpr std::size_t WINDOW_UNITS = 16 * 1024;

    const std::uint8_t* text_data = nullptr; // exactly text_size bytes
    std::uint64_t text_size = 0;
    std::uint64_t read_pos = 0; // next byte to read; only grows, up to text_size
    bool owns_text = false;     // text_data is a private copy, freed here
    TextKeeper keeper;          // otherwise what keeps text_data (or units) valid

    // Read in place from units of unit_size bytes (0: the bytes above).
    const void* units = nullptr;
    std::uint64_t unit_count = 0;
    std::uint64_t unit_pos = 0; // units transcoded so far
    unsigned unit_size = 0;
    std::uint8_t* window_bytes = nullptr; // min(unit_count, WINDOW_UNITS) * 4 + 1 bytes, owned
    std::uint64_t window_size = 0;        // bytes of the current window
    std::uint64_t window_pos = 0;         // of them, the next one to read
    std::uint64_t windows_before = 0;     // bytes of the windows before it

    TextSource() = default;
    TextSource(const TextSource&) = delete;
    TextSource& operator=(const TextSource&) = delete;
    ~TextSource() { drop(); }

    // Copies the text; false when the copy cannot be allocated.
    bool assign(const char* data, std::size_t size) noexcept {
        drop();
        auto* copy = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
        if (copy == nullptr) return false;
        if (size != 0) std::memcpy(copy, data, size);
        text_data = copy;
        text_size = size;
        owns_text = true;
        return true;
    }

    // Reads the bytes in place; they must stay unchanged until `keeper` is
    // released, which this source does when it is destroyed.
    void borrow(const char* data, std::size_t size, TextKeeper owner) noexcept {
        drop();
        text_data = reinterpret_cast<const std::uint8_t*>(data);
        text_size = size;
        keeper = owner;
    }

    // Reads `count` code points stored as units of `size` bytes (1, 2 or 4)
    // in place, under the same promise; false (the keeper kept, released with
    // the source) when the window buffer cannot be allocated.
    bool borrow_units(const void* data, unsigned size, std::size_t count,
                      TextKeeper owner) noexcept {
        drop();
        keeper = owner;
        // A short text's window is only as large as the text.
        const std::size_t window_units = count < WINDOW_UNITS ? count : WINDOW_UNITS;
        window_bytes = static_cast<std::uint8_t*>(std::malloc(window_units * 4 + 1));
        if (window_bytes == nullptr) return false;
        units = data;
        unit_size = size;
        unit_count = count;
        return true;
    }

    // Windows of bytes end where the text ends, units' windows only the last.
    static constexpr bool windows_are_final = false;
    bool window_reaches_end() const noexcept { return units == nullptr || unit_pos == unit_count; }

    std::span<const std::uint8_t> window() noexcept {
        if (units == nullptr)
            return {text_data + read_pos, static_cast<std::size_t>(text_size - read_pos)};
        if (window_pos == window_size && unit_pos < unit_count) refill();
        return {window_bytes + window_pos, static_cast<std::size_t>(window_size - window_pos)};
    }
    void consume(std::size_t n) noexcept {
        if (units == nullptr) read_pos += n;
        else window_pos += n;
    }
    bool at_end() const noexcept {
        return units == nullptr ? read_pos == text_size
                                : unit_pos == unit_count && window_pos == window_size;
    }
    // Bytes of the text; over units, of their UTF-8 form (counted when asked).
    std::uint64_t size() const noexcept {
        if (units == nullptr) return text_size;
        if (unit_size == 1) return utf8_length(static_cast<const std::uint8_t*>(units), unit_count);
        if (unit_size == 2) return utf8_length(static_cast<const std::uint16_t*>(units), unit_count);
        return utf8_length(static_cast<const std::uint32_t*>(units), unit_count);
    }

    // About how many bytes are left to read (over units: the units left).
    std::uint64_t bytes_left() const noexcept {
        return units == nullptr ? text_size - read_pos : unit_count - unit_pos;
    }

    // Bytes read so far; over units, bytes of their UTF-8 form.
    std::uint64_t position() const noexcept {
        return units == nullptr ? read_pos : windows_before + window_pos;
    }

  private:
    void refill() noexcept {
        const std::uint64_t left = unit_count - unit_pos;
        const std::size_t n = left < WINDOW_UNITS ? static_cast<std::size_t>(left) : WINDOW_UNITS;
        const std::size_t bytes = units_window_to_utf8(units, unit_size, unit_pos, n, window_bytes);
        unit_pos += n;
        windows_before += window_size;
        window_size = bytes;
        window_pos = 0;
    }

    void drop() noexcept {
        if (owns_text) std::free(const_cast<std::uint8_t*>(text_data));
        if (keeper.release != nullptr) keeper.release(keeper.owner);
        std::free(window_bytes);
        text_data = nullptr;
        text_size = read_pos = 0;
        owns_text = false;
        keeper = {};
        units = nullptr;
        unit_count = unit_pos = 0;
        unit_size = 0;
        window_bytes = nullptr;
        window_size = window_pos = windows_before = 0;
    }
};

} // namespace tarvelin
