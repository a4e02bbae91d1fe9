// The class of every code point, the class-to-type map and the two-stage
// table. The expectation is written here from the list of classes, by
// listing the characters themselves, and does not reuse the code's range table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "classify/char_class.hpp"
#include "tokenize_helpers.hpp"

using namespace tarvelin;
using namespace tarvelin::testing;

namespace {

// The code points of a UTF-8 literal.
std::vector<std::uint32_t> code_points_of(std::string_view utf8) {
    std::vector<std::uint32_t> out;
    for (const Utf8Char& c : decode(utf8)) out.push_back(c.code_point);
    return out;
}

// Expected class of every code point U+0000..U+10FFFF, one byte each.
class Expectation {
  public:
    Expectation() : classes_(CODE_POINT_COUNT, 7) {
        set("\n", 2);
        set(" \v\u00A0", 1);
        set("0123456789", 4);
        set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 3);
        set("АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ", 5);
        set("абвгдеёжзийклмнопрстуфхцчшщъыьэюя", 5);
        // the 32 ASCII punctuation marks
        set("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~", 6);
        // typographic punctuation: « · »
        set("\u00AB\u00B7\u00BB", 6);
        // ‐ ‑ ‒ – — ― ‖ ‗ ‘ ’ ‚ ‛ “ ” „ ‟
        set("\u2010\u2011\u2012\u2013\u2014\u2015\u2016\u2017"
            "\u2018\u2019\u201A\u201B\u201C\u201D\u201E\u201F",
            6);
        // ․ ‥ … ‧ and №
        set("\u2024\u2025\u2026\u2027\u2116", 6);
    }

    std::uint8_t operator[](std::uint32_t cp) const { return classes_[cp]; }
    std::uint64_t count(std::uint8_t cls) const {
        std::uint64_t n = 0;
        for (std::uint8_t c : classes_) n += c == cls;
        return n;
    }

  private:
    void set(std::string_view utf8, std::uint8_t cls) {
        for (std::uint32_t cp : code_points_of(utf8)) classes_[cp] = cls;
    }
    std::vector<std::uint8_t> classes_;
};

const Expectation& expected() {
    static const Expectation e;
    return e;
}

TEST(CharClassExpectation, ListsTheSpecifiedNumberOfCharacters) {
    // 66 Russian letters, 52 Latin letters, 10 digits, 3 spaces, 1 line feed,
    // 32 ASCII + 3 Latin-1 + 16 + 4 + 1 punctuation marks.
    EXPECT_EQ(expected().count(5), 66u);
    EXPECT_EQ(expected().count(3), 52u);
    EXPECT_EQ(expected().count(4), 10u);
    EXPECT_EQ(expected().count(1), 3u);
    EXPECT_EQ(expected().count(2), 1u);
    EXPECT_EQ(expected().count(6), 56u);
    EXPECT_EQ(expected().count(0), 0u);
}

TEST(CharClassToType, ClassCIsTwoToThePowerCMinusOne) {
    EXPECT_EQ(char_class_to_type[0], NOTTKN);
    for (unsigned c = 1; c < 8; ++c) EXPECT_EQ(char_class_to_type[c], std::uint64_t{1} << (c - 1)) << c;
    EXPECT_EQ(char_class_to_type[1], WRDSPC);
    EXPECT_EQ(char_class_to_type[2], NWLINE);
    EXPECT_EQ(char_class_to_type[3], ENWORD);
    EXPECT_EQ(char_class_to_type[4], NUMBER);
    EXPECT_EQ(char_class_to_type[5], RUWORD);
    EXPECT_EQ(char_class_to_type[6], PNCTTN);
    EXPECT_EQ(char_class_to_type[7], UNKNWN);
}

TEST(CharClassTable, EveryCodePointHasItsSpecifiedClassAndType) {
    const CharClassTable& table = char_class_table();
    std::uint64_t wrong = 0, nottkn = 0;
    std::ostringstream first;
    for (std::uint32_t cp = 0; cp < CODE_POINT_COUNT; ++cp) {
        const std::uint8_t want = expected()[cp];
        const std::uint8_t got = table.lookup(cp);
        const std::uint64_t type = token_type_of(cp);
        nottkn += type == NOTTKN;
        if (got != want || type != char_class_to_type[want]) {
            if (wrong < 10)
                first << std::hex << " U+" << cp << ": class " << int(got) << " type " << std::dec
                      << type << ", want class " << int(want) << ";";
            ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0u) << first.str();
    EXPECT_EQ(nottkn, 0u) << "token_type_of returned NOTTKN";
}

TEST(CharClassTable, ValuesAboveTheLastCodePointAreUnknown) {
    // The decoder reaches 0x1FFFFF from malformed four-byte input.
    const CharClassTable& table = char_class_table();
    std::uint64_t wrong = 0;
    for (std::uint32_t v = CODE_POINT_COUNT; v <= 0x1FFFFF; ++v)
        wrong += token_type_of(v) != UNKNWN || table.lookup(v) != 7;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(token_type_of(0xFFFFFFFFu), UNKNWN);
}

TEST(CharClassTable, LookupAboveTheRangeStaysInsideAnExactlySizedTable) {
    // A heap copy of exactly one table: under AddressSanitizer any read past
    // its end (a lookup that indexes block_index beyond 0x43FF) is reported.
    auto copy = std::make_unique<CharClassTable>(char_class_table());
    std::uint64_t wrong = 0;
    for (std::uint32_t v = CODE_POINT_COUNT; v <= 0x1FFFFF; ++v) wrong += copy->lookup(v) != 7;
    EXPECT_EQ(wrong, 0u);
}

TEST(CharClassTable, SpecEdgeCases) {
    struct Case {
        std::uint32_t cp;
        std::uint64_t type;
    };
    const Case cases[] = {
        {0x0401, RUWORD}, {0x0410, RUWORD}, {0x044F, RUWORD}, {0x0451, RUWORD},
        {0x0400, UNKNWN}, {0x0402, UNKNWN}, {0x0406, UNKNWN}, {0x040F, UNKNWN},
        {0x0450, UNKNWN}, {0x0452, UNKNWN}, {0x0456, UNKNWN},
        {0x0020, WRDSPC}, {0x00A0, WRDSPC}, {0x000B, WRDSPC}, {0x000A, NWLINE},
        {0x0009, UNKNWN}, {0x000C, UNKNWN}, {0x000D, UNKNWN},
        {0x002D, PNCTTN}, {0x005F, PNCTTN}, {0x0060, PNCTTN}, {0x007E, PNCTTN},
        {0x007F, UNKNWN}, {0x0000, UNKNWN},
        {0x0030, NUMBER}, {0x0039, NUMBER}, {0x00B2, UNKNWN}, {0x00E9, UNKNWN},
        {0x2026, PNCTTN}, {0x2014, PNCTTN}, {0x201E, PNCTTN}, {0x00AB, PNCTTN},
        {0x00BB, PNCTTN}, {0x00B7, PNCTTN}, {0x2116, PNCTTN},
        {0x2022, UNKNWN}, {0x2020, UNKNWN}, {0x2023, UNKNWN}, {0x2028, UNKNWN},
        {0x2212, UNKNWN}, {0x2115, UNKNWN}, {0x2117, UNKNWN},
        {0x4E2D, UNKNWN}, {0x1F600, UNKNWN}, {0x10FFFF, UNKNWN}, {0xD800, UNKNWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(token_type_of(c.cp), c.type) << std::hex << "U+" << c.cp;
}

TEST(CharClassTable, HasEightBlocksIndexedAsSpecified) {
    const CharClassTable& table = char_class_table();
    ASSERT_EQ(table.block_count, 8u);
    EXPECT_EQ(table.block_index[0], 0u);
    EXPECT_EQ(table.block_index[1], 1u);
    EXPECT_EQ(table.block_index[2], 2u);
    EXPECT_EQ(table.block_index[3], 3u);
    EXPECT_EQ(table.block_index[0x10], 4u);
    EXPECT_EQ(table.block_index[0x11], 5u);
    EXPECT_EQ(table.block_index[0x80], 6u);
    EXPECT_EQ(table.block_index[0x84], 7u);
    EXPECT_EQ(table.block_index[0x43FF], 3u);
    const std::set<std::uint32_t> special = {0, 1, 2, 3, 0x10, 0x11, 0x80, 0x84};
    std::uint64_t others_not_3 = 0;
    for (std::uint32_t run = 0; run < CLASS_RUN_COUNT; ++run)
        if (special.count(run) == 0) others_not_3 += table.block_index[run] != 3;
    EXPECT_EQ(others_not_3, 0u);
    EXPECT_EQ(CLASS_RUN_COUNT, 0x4400u);
}

TEST(CharClassTable, BlocksArePairwiseDistinctAndNumberedInOrderOfFirstUse) {
    const CharClassTable& table = char_class_table();
    ASSERT_LE(table.block_count, CLASS_BLOCK_CAPACITY);
    for (std::uint64_t i = 0; i < table.block_count; ++i)
        for (std::uint64_t j = i + 1; j < table.block_count; ++j)
            EXPECT_NE(std::memcmp(table.blocks + i * 64, table.blocks + j * 64, 64), 0)
                << "blocks " << i << " and " << j;
    std::uint64_t next_new = 0;
    for (std::uint32_t run = 0; run < CLASS_RUN_COUNT; ++run) {
        const std::uint64_t b = table.block_index[run];
        ASSERT_LT(b, table.block_count) << "run " << run;
        ASSERT_LE(b, next_new) << "run " << run << " uses a block before its first occurrence";
        if (b == next_new) ++next_new;
    }
    EXPECT_EQ(next_new, table.block_count);
    // the default block is all class 7
    for (unsigned m = 0; m < 64; ++m) EXPECT_EQ(table.blocks[3 * 64 + m], 7u);
}

TEST(CharClassTable, BuildsOnceAndAFreshBuildIsIdentical) {
    const CharClassTable& table = char_class_table();
    EXPECT_EQ(&table, &char_class_table());
    EXPECT_EQ(char_class_table_builds(), 1u);

    auto fresh = std::make_unique<CharClassTable>();
    std::memset(fresh.get(), 0xEE, sizeof *fresh); // the build must not rely on zeroed storage
    build_char_class_table(*fresh);
    EXPECT_EQ(fresh->block_count, table.block_count);
    EXPECT_EQ(std::memcmp(fresh->block_index, table.block_index, sizeof table.block_index), 0);
    EXPECT_EQ(std::memcmp(fresh->blocks, table.blocks, table.block_count * 64), 0);
    // building a private table is not a build of the process-wide one
    EXPECT_EQ(char_class_table_builds(), 1u);
}

// fill_char_classes takes a window of code points; its output, whatever the
// window, agrees with the expectation and stays inside the window.
class FillWindow : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FillWindow, WindowsCoverTheWholeRange) {
    const std::uint32_t window = GetParam();
    constexpr std::uint8_t GUARD = 0xEE;
    std::vector<std::uint8_t> buf(window + 2);
    std::uint64_t wrong = 0;
    std::ostringstream first;
    for (std::uint64_t start = 0; start < CODE_POINT_COUNT; start += window) {
        const auto first_cp = static_cast<std::uint32_t>(start);
        const auto count = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(window, CODE_POINT_COUNT - start));
        std::fill(buf.begin(), buf.end(), DEFAULT_CHAR_CLASS);
        buf[0] = GUARD;
        buf[count + 1] = GUARD;
        fill_char_classes(buf.data() + 1, first_cp, count);
        if (buf[0] != GUARD || buf[count + 1] != GUARD) {
            ADD_FAILURE() << "wrote outside the window at " << first_cp;
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i)
            if (buf[i + 1] != expected()[first_cp + i]) {
                if (wrong < 5) first << std::hex << " U+" << first_cp + i << ";";
                ++wrong;
            }
    }
    EXPECT_EQ(wrong, 0u) << first.str();
}

std::string window_name(const ::testing::TestParamInfo<std::uint32_t>& info) {
    return info.param == CODE_POINT_COUNT ? std::string("WholeRange")
                                          : "Window" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(Windows, FillWindow,
                         ::testing::Values(1u, 7u, 64u, 100u, 4096u, 65536u, CODE_POINT_COUNT),
                         window_name);

TEST(FillCharClasses, EmptyWindowAndWindowsBeyondTheRangeWriteNothingWrong) {
    std::vector<std::uint8_t> buf(300, DEFAULT_CHAR_CLASS);
    fill_char_classes(buf.data(), 0x41, 0);
    for (std::uint8_t b : buf) EXPECT_EQ(b, DEFAULT_CHAR_CLASS);
    // a window that runs past U+10FFFF
    fill_char_classes(buf.data(), 0x10FFF0, 300);
    for (std::uint8_t b : buf) EXPECT_EQ(b, DEFAULT_CHAR_CLASS);
    // a window ending inside a range and one starting inside a range
    std::vector<std::uint8_t> w(3, DEFAULT_CHAR_CLASS);
    fill_char_classes(w.data(), 0x3F, 3); // ? @ A
    EXPECT_EQ(w, (std::vector<std::uint8_t>{6, 6, 3}));
    std::fill(w.begin(), w.end(), DEFAULT_CHAR_CLASS);
    fill_char_classes(w.data(), 0x44E, 3); // ю я U+0450
    EXPECT_EQ(w, (std::vector<std::uint8_t>{5, 5, 7}));
    // the window at the very top of the 32-bit range does not wrap around
    std::fill(w.begin(), w.end(), DEFAULT_CHAR_CLASS);
    fill_char_classes(w.data(), 0xFFFFFFFEu, 2);
    EXPECT_EQ(w, (std::vector<std::uint8_t>{7, 7, 7}));
}

} // namespace
