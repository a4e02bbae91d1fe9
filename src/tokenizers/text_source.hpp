// Byte source over a text held in memory: either a private copy, or bytes that
// cannot change for as long as an object of the caller's lives (an immutable
// string), which the source then keeps alive instead of copying them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace tarvelin {

// Keeps the owner of borrowed bytes alive; `release` drops it once.
struct TextKeeper {
    void* owner = nullptr;
    void (*release)(void* owner) noexcept = nullptr;
};

struct TextSource {
    const std::uint8_t* text_data = nullptr; // exactly text_size bytes
    std::uint64_t text_size = 0;
    std::uint64_t read_pos = 0; // next byte to read; only grows, up to text_size
    bool owns_text = false;     // text_data is a private copy, freed here
    TextKeeper keeper;          // otherwise what keeps text_data valid

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

    // The window always reaches the end of the text.
    static constexpr bool windows_are_final = true;

    std::span<const std::uint8_t> window() const noexcept {
        return {text_data + read_pos, static_cast<std::size_t>(text_size - read_pos)};
    }
    void consume(std::size_t n) noexcept { read_pos += n; }
    std::uint64_t position() const noexcept { return read_pos; }
    bool at_end() const noexcept { return read_pos == text_size; }

  private:
    void drop() noexcept {
        if (owns_text) std::free(const_cast<std::uint8_t*>(text_data));
        if (keeper.release != nullptr) keeper.release(keeper.owner);
        text_data = nullptr;
        text_size = read_pos = 0;
        owns_text = false;
        keeper = {};
    }
};

} // namespace tarvelin
