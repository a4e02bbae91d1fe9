// Byte source over a private copy of a text held in memory.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace tarvelin {

struct TextSource {
    std::uint8_t* text_data = nullptr; // exactly text_size bytes, owned
    std::uint64_t text_size = 0;
    std::uint64_t read_pos = 0; // next byte to read; only grows, up to text_size

    TextSource() = default;
    TextSource(const TextSource&) = delete;
    TextSource& operator=(const TextSource&) = delete;
    ~TextSource() { std::free(text_data); }

    // Copies the text; false when the copy cannot be allocated.
    bool assign(const char* data, std::size_t size) noexcept {
        std::free(text_data);
        text_data = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
        text_size = text_data == nullptr ? 0 : size;
        read_pos = 0;
        if (text_data == nullptr) return false;
        if (size != 0) std::memcpy(text_data, data, size);
        return true;
    }

    // The window always reaches the end of the text.
    static constexpr bool windows_are_final = true;

    std::span<const std::uint8_t> window() const noexcept {
        return {text_data + read_pos, static_cast<std::size_t>(text_size - read_pos)};
    }
    void consume(std::size_t n) noexcept { read_pos += n; }
    bool at_end() const noexcept { return read_pos == text_size; }
};

} // namespace tarvelin
