#include <algorithm>
#include <atomic>
#include <cstring>

#include "classify/char_class.hpp"

namespace tarvelin {
namespace {

struct ClassRange {
    std::uint32_t first;
    std::uint32_t last; // inclusive
    CharClass cls;
};

// Every code point not listed here is of DEFAULT_CHAR_CLASS (7, UNKNWN).
// Note that of the controls only LF and VT are set: tab and CR stay 7.
constexpr ClassRange class_ranges[] = {
    {0x000A, 0x000A, 2}, // line feed
    {0x000B, 0x000B, 1}, // vertical tab counts as a space
    {0x0020, 0x0020, 1}, // space
    {0x0021, 0x002F, 6}, // ! " # $ % & ' ( ) * + , - . /
    {0x0030, 0x0039, 4}, // digits
    {0x003A, 0x0040, 6}, // : ; < = > ? @
    {0x0041, 0x005A, 3}, // A..Z
    {0x005B, 0x0060, 6}, // [ \ ] ^ _ `
    {0x0061, 0x007A, 3}, // a..z
    {0x007B, 0x007E, 6}, // { | } ~
    {0x00A0, 0x00A0, 1}, // no-break space
    {0x00AB, 0x00AB, 6}, // left guillemet
    {0x00B7, 0x00B7, 6}, // middle dot
    {0x00BB, 0x00BB, 6}, // right guillemet
    {0x0401, 0x0401, 5}, // Ё
    {0x0410, 0x044F, 5}, // А..я
    {0x0451, 0x0451, 5}, // ё
    {0x2010, 0x201F, 6}, // hyphens, dashes, quotation marks
    {0x2024, 0x2027, 6}, // dot leaders, ellipsis, hyphenation point
    {0x2116, 0x2116, 6}, // numero sign
};

std::atomic<std::uint64_t> builds{0};

} // namespace

namespace detail {

CharClassTable process_char_class_table;

bool build_process_char_class_table() noexcept {
    build_char_class_table(process_char_class_table);
    builds.fetch_add(1, std::memory_order_relaxed);
    return true;
}

} // namespace detail

void fill_char_classes(std::uint8_t* classes, std::uint32_t first, std::uint32_t count) noexcept {
    const std::uint64_t end = std::uint64_t{first} + count; // exclusive
    for (const ClassRange& r : class_ranges) {
        const std::uint64_t lo = std::max<std::uint64_t>(r.first, first);
        const std::uint64_t hi = std::min<std::uint64_t>(std::uint64_t{r.last} + 1, end);
        if (lo < hi) std::memset(classes + (lo - first), r.cls, hi - lo);
    }
}

// Walks the runs from U+0000 upwards and stores each distinct 64-byte run of
// classes once, numbering blocks in order of first occurrence. The classes of
// one run at a time are enough, so no flat per-code-point array is needed.
void build_char_class_table(CharClassTable& table) noexcept {
    table.block_count = 0;
    for (std::uint32_t run = 0; run < CLASS_RUN_COUNT; ++run) {
        std::uint8_t classes[CLASS_RUN_SIZE];
        std::memset(classes, DEFAULT_CHAR_CLASS, sizeof classes);
        fill_char_classes(classes, run * CLASS_RUN_SIZE, CLASS_RUN_SIZE);

        std::uint64_t block = 0;
        while (block < table.block_count &&
               std::memcmp(table.blocks + block * CLASS_RUN_SIZE, classes, CLASS_RUN_SIZE) != 0)
            ++block;
        if (block == table.block_count) {
            std::memcpy(table.blocks + block * CLASS_RUN_SIZE, classes, CLASS_RUN_SIZE);
            ++table.block_count;
        }
        table.block_index[run] = static_cast<std::uint16_t>(block);
    }
}

std::uint64_t char_class_table_builds() noexcept { return builds.load(std::memory_order_relaxed); }

} // namespace tarvelin
