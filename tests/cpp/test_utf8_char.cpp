#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
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
    const char* name; // test name: letters, digits and underscores only
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> code_points;
};

// Failure messages and test listings show the case by its name.
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<DecodeCase>& info) { return info.param.name; }

class Utf8Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8Decode, CompletesExactlyTheExpectedCharacters) {
    Utf8Char c{};
    EXPECT_EQ(decode_all(GetParam().bytes, c), GetParam().code_points);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Decode,
    ::testing::Values(
        DecodeCase{"Ascii_41", {0x41}, {0x41}},
        DecodeCase{"TwoBytes_Zhe_D0_96", {0xD0, 0x96}, {0x416}},
        DecodeCase{"ThreeBytes_Ellipsis_E2_80_A6", {0xE2, 0x80, 0xA6}, {0x2026}},
        DecodeCase{"FourBytes_Emoji_F0_9F_98_80", {0xF0, 0x9F, 0x98, 0x80}, {0x1F600}},
        DecodeCase{"FourBytes_Max_F4_8F_BF_BF", {0xF4, 0x8F, 0xBF, 0xBF}, {0x10FFFF}},
        // overlong forms, surrogates and values above U+10FFFF decode as they are
        DecodeCase{"Overlong_C0_80_IsZero", {0xC0, 0x80}, {0x0}},
        DecodeCase{"Overlong_C1_81_IsA", {0xC1, 0x81}, {0x41}},
        DecodeCase{"Overlong_E0_80_AE_IsFullStop", {0xE0, 0x80, 0xAE}, {0x2E}},
        DecodeCase{"Surrogate_ED_A0_80", {0xED, 0xA0, 0x80}, {0xD800}},
        DecodeCase{"AboveMax_F4_90_80_80", {0xF4, 0x90, 0x80, 0x80}, {0x110000}},
        DecodeCase{"AboveMax_F7_BF_BF_BF", {0xF7, 0xBF, 0xBF, 0xBF}, {0x1FFFFF}},
        // a lead byte drops the incomplete character before it
        DecodeCase{"LeadDropsIncomplete_D0_41", {0xD0, 0x41}, {0x41}},
        DecodeCase{"LeadDropsIncomplete_E2_80_D0_96", {0xE2, 0x80, 0xD0, 0x96}, {0x416}},
        // any non-lead byte continues a pending sequence
        DecodeCase{"NonLeadContinues_E2_80_FF", {0xE2, 0x80, 0xFF}, {0x203F}},
        // stray bytes before the first lead byte or after a character
        DecodeCase{"StrayBeforeFirstLead_80_41", {0x80, 0x41}, {0x41}},
        DecodeCase{"StrayBeforeFirstLead_FF_FE_42", {0xFF, 0xFE, 0x42}, {0x42}},
        DecodeCase{"StrayAfterCharacter_41_80_80_80_42", {0x41, 0x80, 0x80, 0x80, 0x42}, {0x41, 0x42}},
        // an incomplete character at the end yields nothing
        DecodeCase{"IncompleteAtEnd_E2_80", {0xE2, 0x80}, {}}),
    case_name);

TEST(Utf8Char, AsciiCompletesAtOnce) {
    Utf8Char c{};
    ASSERT_TRUE(c.feed(0x41));
    EXPECT_EQ(c.code_point, 0x41u);
    EXPECT_EQ(c.length, 1u);
    EXPECT_EQ(c.received, 1u);
    EXPECT_EQ((std::vector<std::uint8_t>{c.bytes, c.bytes + 4}),
              (std::vector<std::uint8_t>{0x41, 0, 0, 0}));
}

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
