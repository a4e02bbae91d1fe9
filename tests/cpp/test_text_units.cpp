// The text source over a str's own storage (units of one, two or four bytes a
// code point): its UTF-8 windows and the batches read from them must be
// exactly those of the text's UTF-8 form.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "simd/scan_kernel.hpp"
#include "tokenize_helpers.hpp"
#include "tokenizers/from_text_tokenizer.hpp"

using namespace tarvelin;
using namespace tarvelin::testing;

namespace {

// Well-formed text of every UTF-8 length; `widest` bounds the code points
// (0xFF, 0xFFFF or 0x10FFFF), so that the text fits units of that width.
std::u32string random_code_points(std::mt19937& rng, std::uint32_t widest, std::size_t count) {
    static const std::u32string pieces[] = {
        U"word", U" ", U"\n", U"-", U"2024", U".", U"\u00e9t\u00e9", U"\u00ab", U"\u00bb",
        U"\u00a0", U"\u041c\u043e\u0441\u043a\u0432\u0430", U"\u0451\u043b\u043a\u0430",
        U"\u2014", U"\u4e2d", U"\U0001F600", U"\U00010348", U"x-y", U"\u044f-\u044f"};
    std::u32string s;
    while (s.size() < count) {
        const std::u32string& p = pieces[rng() % std::size(pieces)];
        bool fits = true;
        for (char32_t c : p) fits &= static_cast<std::uint32_t>(c) <= widest;
        if (fits) s += p;
    }
    return s;
}

std::string utf8_of(const std::u32string& s) {
    std::string out;
    for (char32_t c32 : s) {
        const auto c = static_cast<std::uint32_t>(c32);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

template <class Unit>
std::vector<Unit> units_of(const std::u32string& s) {
    return std::vector<Unit>(s.begin(), s.end());
}

struct Batch {
    std::string text;
    std::vector<std::uint64_t> types;
    std::uint64_t chars;
    bool operator==(const Batch&) const = default;
};

std::vector<Batch> batches(FromTextTokenizer& t, std::uint64_t size, std::uint64_t filter) {
    EXPECT_TRUE(t.set_batch_size(size));
    t.set_filter(filter);
    std::vector<Batch> out;
    for (;;) {
        t.next_batch();
        const BatchBuffer& b = t.batch_buffer();
        if (b.token_count == 0) break;
        out.push_back({std::string(reinterpret_cast<const char*>(b.text_buffer), b.text_bytes),
                       {b.types_buffer, b.types_buffer + b.token_count},
                       b.text_chars});
    }
    return out;
}

struct Width {
    unsigned unit_size;
    std::uint32_t widest;
};

class TextUnits : public ::testing::TestWithParam<std::tuple<Width, std::string>> {
  protected:
    void SetUp() override { ASSERT_TRUE(set_scan_level(std::get<1>(GetParam()))); }
    void TearDown() override { set_scan_level(scan_levels().back()); }
};

TEST_P(TextUnits, BatchesEqualThoseOfTheUtf8Form) {
    const Width w = std::get<0>(GetParam());
    std::mt19937 rng(w.unit_size * 31 + 1);
    for (int round = 0; round < 12; ++round) {
        // Some texts span several windows of the source.
        const std::size_t count = round % 3 == 0 ? 40000 + rng() % 20000 : 1 + rng() % 3000;
        const std::u32string cps = random_code_points(rng, w.widest, count);
        const std::string utf8 = utf8_of(cps);
        const auto u1 = units_of<std::uint8_t>(cps);
        const auto u2 = units_of<std::uint16_t>(cps);
        const auto u4 = units_of<std::uint32_t>(cps);
        const void* data = w.unit_size == 1   ? static_cast<const void*>(u1.data())
                           : w.unit_size == 2 ? static_cast<const void*>(u2.data())
                                              : static_cast<const void*>(u4.data());
        const std::uint64_t sizes[] = {1, 3, 64, 65536};
        const std::uint64_t filters[] = {~0ull, ENWORD | RUWORD | NUMBER, 0};
        const std::uint64_t size = sizes[rng() % 4], filter = filters[rng() % 3];
        auto in_place = std::make_unique<FromTextTokenizer>();
        auto from_bytes = std::make_unique<FromTextTokenizer>();
        ASSERT_TRUE(in_place->open_units(data, w.unit_size, cps.size(), {}));
        ASSERT_TRUE(from_bytes->open(utf8.data(), utf8.size()));
        ASSERT_EQ(batches(*in_place, size, filter), batches(*from_bytes, size, filter))
            << "round " << round << ", " << cps.size() << " code points";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, TextUnits,
    ::testing::Combine(::testing::Values(Width{1, 0xFF}, Width{2, 0xFFFF}, Width{4, 0x10FFFF}),
                       ::testing::ValuesIn(std::vector<std::string>(scan_levels().begin(),
                                                                    scan_levels().end()))),
    [](const auto& info) {
        return "Ucs" + std::to_string(std::get<0>(info.param).unit_size) + "_" +
               std::get<1>(info.param);
    });

// Every code point's UTF-8 form, at every offset of the eight-unit ASCII step.
TEST(UnitsToUtf8, EveryLengthAtEveryAlignment) {
    const std::u32string specials = U"\u007f\u0080\u00ff\u0100\u07ff\u0800\ud7ff\ue000\uffff"
                                    U"\U00010000\U0010FFFF";
    for (std::size_t lead = 0; lead < 9; ++lead) {
        for (char32_t c : specials) {
            std::u32string s(lead, U'a');
            s += c;
            s += U"bcdefghij";
            const auto u4 = units_of<std::uint32_t>(s);
            std::vector<std::uint8_t> out(4 * s.size() + 1);
            const std::size_t n = units_to_utf8(u4.data(), u4.size(), out.data());
            EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)),
                      utf8_of(s))
                << "U+" << std::hex << static_cast<std::uint32_t>(c) << " after " << lead;
        }
    }
}

} // namespace

namespace {

// The batch text's transcoder to four-byte storage against the code points
// the text was made from, ASCII stretches of every length among them, and
// texts longer than the pieces it transcodes at a time, at every level.
class Utf8ToUcs4 : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { ASSERT_TRUE(set_scan_level(GetParam())); }
    void TearDown() override { set_scan_level(scan_levels().back()); }
};

TEST_P(Utf8ToUcs4, GivesTheCodePointsOfWellFormedText) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        const std::size_t count = round % 4 == 0 ? 2000 + rng() % 6000 : 1 + rng() % 300;
        std::u32string cps = random_code_points(rng, 0x10FFFF, count);
        cps.insert(rng() % cps.size(), std::u32string(rng() % 20, U'q'));
        const std::string utf8 = utf8_of(cps);
        std::vector<std::uint32_t> out(cps.size());
        utf8_to_ucs4(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size(), out.data());
        ASSERT_EQ(out, units_of<std::uint32_t>(cps)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, Utf8ToUcs4,
                         ::testing::ValuesIn(std::vector<std::string>(scan_levels().begin(),
                                                                      scan_levels().end())),
                         [](const auto& info) { return info.param; });

} // namespace
