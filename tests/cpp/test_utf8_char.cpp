#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "classify/utf8_char.hpp"

using tarvelin::Utf8Char;

namespace {

// Feeds `bytes` into a fresh record; returns the code points completed.
std::vector<std::uint32_t> decode_all(const std::vector<std::uint8_t>& bytes, Utf8Char& c) {
    std::vector<std::uint32_t> out;
    for (std::uint8_t b : bytes)
        if (c.feed(b)) out.push_back(c.code_point);
    return out;
}

struct DecodeCase {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> code_points;
};

class Utf8Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decode, CompletesExactlyTheExpectedCharacters) {
    Utf8Char c{};
    EXPECT_EQ(decode_all(GetParam().bytes, c), GetParam().code_points);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Decode,
    ::testing::Values(DecodeCase{{0x41}, {0x41}}, DecodeCase{{0xD0, 0x96}, {0x416}},
                      DecodeCase{{0xE2, 0x80, 0xA6}, {0x2026}},
                      DecodeCase{{0xF0, 0x9F, 0x98, 0x80}, {0x1F600}},
                      DecodeCase{{0xF4, 0x8F, 0xBF, 0xBF}, {0x10FFFF}},
                      // overlong forms, surrogates and values above U+10FFFF decode as they are
                      DecodeCase{{0xC0, 0x80}, {0x0}}, DecodeCase{{0xC1, 0x81}, {0x41}},
                      DecodeCase{{0xE0, 0x80, 0xAE}, {0x2E}},
                      DecodeCase{{0xED, 0xA0, 0x80}, {0xD800}},
                      DecodeCase{{0xF4, 0x90, 0x80, 0x80}, {0x110000}},
                      DecodeCase{{0xF7, 0xBF, 0xBF, 0xBF}, {0x1FFFFF}},
                      // a lead byte drops the incomplete character before it
                      DecodeCase{{0xD0, 0x41}, {0x41}},
                      DecodeCase{{0xE2, 0x80, 0xD0, 0x96}, {0x416}},
                      // any non-lead byte continues a pending sequence
                      DecodeCase{{0xE2, 0x80, 0xFF}, {0x203F}},
                      // stray bytes before the first lead byte or after a character
                      DecodeCase{{0x80, 0x41}, {0x41}}, DecodeCase{{0xFF, 0xFE, 0x42}, {0x42}},
                      DecodeCase{{0x41, 0x80, 0x80, 0x80, 0x42}, {0x41, 0x42}},
                      // an incomplete character at the end yields nothing
                      DecodeCase{{0xE2, 0x80}, {}}));

TEST(Utf8Char, CompletedRecordHoldsBytesLengthAndCount) {
    Utf8Char c{};
    EXPECT_FALSE(c.feed(0xD0));
    ASSERT_TRUE(c.feed(0x96));
    EXPECT_EQ(c.code_point, 0x416u);
    EXPECT_EQ(c.length, 2u);
    EXPECT_EQ(c.received, 2u);
    EXPECT_EQ((std::vector<std::uint8_t>{c.bytes, c.bytes + 4}),
              (std::vector<std::uint8_t>{0xD0, 0x96, 0, 0}));
}

TEST(Utf8Char, StrayBytesFillFreeSlotsThenAreDropped) {
    Utf8Char c{};
    ASSERT_TRUE(c.feed(0x41));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(c.feed(0x80));
    EXPECT_EQ(c.received, 4u);
    EXPECT_EQ((std::vector<std::uint8_t>{c.bytes, c.bytes + 4}),
              (std::vector<std::uint8_t>{0x41, 0x80, 0x80, 0x80}));
    // A long run of further stray bytes is never stored past the four slots
    // and completes nothing, even when the record holds a 4-byte character.
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(c.feed(0xBF));
    EXPECT_EQ(c.received, 4u);
    ASSERT_TRUE(c.feed(0xF0) == false && !c.feed(0x9F) && !c.feed(0x98) && c.feed(0x80));
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(c.feed(0x80));
    EXPECT_EQ(c.code_point, 0x1F600u);
}

TEST(Utf8Char, StrayBytesBeforeAnyLeadByteUseAtMostFourSlots) {
    Utf8Char c{};
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(c.feed(0xFF));
    EXPECT_EQ(c.received, 4u);
    EXPECT_EQ(c.length, 0u);
    ASSERT_TRUE(c.feed(0x7A));
    EXPECT_EQ(c.code_point, 0x7Au);
}

} // namespace
