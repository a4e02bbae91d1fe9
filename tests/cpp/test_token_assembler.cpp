// Token assembly, fed through Utf8Char and TokenAssembler::add_char,
// then drained by two TokenAssembler::finish calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "classify/char_class.hpp"
#include "tokenize_helpers.hpp"
#include "tokens/token_assembler.hpp"

using namespace tarvelin;
using namespace tarvelin::testing;

namespace {

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

// ---------------------------------------------------------------------------
// The documented assembly cases and the team's decisions on the limits.

struct AssemblyCase {
    std::string name; // test name: letters, digits and underscores only
    std::string input;
    std::vector<Tok> tokens;
};

void PrintTo(const AssemblyCase& c, std::ostream* os) {
    *os << c.name << " (input \"" << escaped(c.input.substr(0, 60))
        << (c.input.size() > 60 ? "..." : "") << "\")";
}

std::vector<AssemblyCase> assembly_cases() {
    const std::string a128 = repeat("a", 128), a100 = repeat("a", 100), b100 = repeat("b", 100);
    return {
        // Documented edge cases
        {"WellKnown", "well-known", {{"well-known", ENWORD, 10}}},
        {"MoskvaReka", "Москва-река", {{"Москва-река", RUWORD, 11}}},
        {"Covid19_TypeOfFirstPiece", "covid-19", {{"covid-19", ENWORD, 8}}},
        {"NumberHyphenCyrillic", "1-й", {{"1-й", NUMBER, 3}}},
        {"Date", "2023-01-01", {{"2023-01-01", NUMBER, 10}}},
        {"XYZ", "x-y-z", {{"x-y-z", ENWORD, 5}}},
        {"LeadingHyphen", "-5", {{"-", PNCTTN, 1}, {"5", NUMBER, 1}}},
        {"DoubledHyphen", "a--b", {{"a-", ENWORD, 2}, {"-", PNCTTN, 1}, {"b", ENWORD, 1}}},
        {"HyphenThenSpace", "well- known",
         {{"well-", ENWORD, 5}, {" ", WRDSPC, 1}, {"known", ENWORD, 5}}},
        {"TrailingHyphenAtEnd", "well-", {{"well-", ENWORD, 5}}},
        {"SpacedHyphen", "one - two",
         {{"one", ENWORD, 3}, {" ", WRDSPC, 1}, {"-", PNCTTN, 1}, {" ", WRDSPC, 1},
          {"two", ENWORD, 3}}},
        {"TwoSpaces", "hello  world",
         {{"hello", ENWORD, 5}, {" ", WRDSPC, 1}, {" ", WRDSPC, 1}, {"world", ENWORD, 5}}},
        {"TwoLineFeeds", "x\n\ny",
         {{"x", ENWORD, 1}, {"\n", NWLINE, 1}, {"\n", NWLINE, 1}, {"y", ENWORD, 1}}},
        {"ThreeFullStops", "...", {{".", PNCTTN, 1}, {".", PNCTTN, 1}, {".", PNCTTN, 1}}},
        {"DecimalNumber", "3.14", {{"3", NUMBER, 1}, {".", PNCTTN, 1}, {"14", NUMBER, 2}}},
        {"LatinThenDigits", "abc123", {{"abc", ENWORD, 3}, {"123", NUMBER, 3}}},
        {"LatinThenCyrillic", "abcабв", {{"abc", ENWORD, 3}, {"абв", RUWORD, 3}}},
        {"EnDashNeverJoins", "x\u2013y", {{"x", ENWORD, 1}, {"\u2013", PNCTTN, 1}, {"y", ENWORD, 1}}},
        {"SingleWord", "hello", {{"hello", ENWORD, 5}}},
        {"SingleHyphen", "-", {{"-", PNCTTN, 1}}},
        {"Empty", "", {}},
        // more compounds, hyphens and type changes
        {"CompoundOfThreeTypes", "abc-123-где", {{"abc-123-где", ENWORD, 11}}},
        {"CyrillicCompoundWithYo", "ёлка-Ёж", {{"ёлка-Ёж", RUWORD, 7}}},
        {"CyrillicHyphenDigit", "Ж-1", {{"Ж-1", RUWORD, 3}}},
        {"TripledHyphen", "a---b",
         {{"a-", ENWORD, 2}, {"-", PNCTTN, 1}, {"-", PNCTTN, 1}, {"b", ENWORD, 1}}},
        {"HyphenBeforeCompound", "-a-b", {{"-", PNCTTN, 1}, {"a-b", ENWORD, 3}}},
        {"CompoundEndingInHyphen", "a-b-", {{"a-b-", ENWORD, 4}}},
        {"HyphenThenLineFeed", "a-\nb", {{"a-", ENWORD, 2}, {"\n", NWLINE, 1}, {"b", ENWORD, 1}}},
        {"HyphenThenPunctuation", "a-.", {{"a-", ENWORD, 2}, {".", PNCTTN, 1}}},
        {"NumberCompoundAfterFullStop", "1.5-2",
         {{"1", NUMBER, 1}, {".", PNCTTN, 1}, {"5-2", NUMBER, 3}}},
        {"UnicodeHyphenNeverJoins", "x\u2010y",
         {{"x", ENWORD, 1}, {"\u2010", PNCTTN, 1}, {"y", ENWORD, 1}}},
        {"LowLine", "a_b", {{"a", ENWORD, 1}, {"_", PNCTTN, 1}, {"b", ENWORD, 1}}},
        {"Apostrophe", "don't", {{"don", ENWORD, 3}, {"'", PNCTTN, 1}, {"t", ENWORD, 1}}},
        {"TabAndCarriageReturnAreUnknown", "a\tb\r\n",
         {{"a", ENWORD, 1}, {"\t", UNKNWN, 1}, {"b", ENWORD, 1}, {"\r", UNKNWN, 1},
          {"\n", NWLINE, 1}}},
        {"NoBreakAndVerticalSpace", "a\u00A0b\vc",
         {{"a", ENWORD, 1}, {"\u00A0", WRDSPC, 1}, {"b", ENWORD, 1}, {"\v", WRDSPC, 1},
          {"c", ENWORD, 1}}},
        {"AccentedLetterIsUnknown", "café", {{"caf", ENWORD, 3}, {"é", UNKNWN, 1}}},
        {"EmojiBetweenLetters", "a😀😀b",
         {{"a", ENWORD, 1}, {"😀", UNKNWN, 1}, {"😀", UNKNWN, 1}, {"b", ENWORD, 1}}},
        {"NumeroSign", "№5", {{"№", PNCTTN, 1}, {"5", NUMBER, 1}}},
        {"Guillemets", "«да»", {{"«", PNCTTN, 1}, {"да", RUWORD, 2}, {"»", PNCTTN, 1}}},
        {"NulCharacter", std::string("a\0b", 3),
         {{"a", ENWORD, 1}, {std::string("\0", 1), UNKNWN, 1}, {"b", ENWORD, 1}}},
        // limits: runs
        {"Word130Letters", repeat("a", 130), {{a128, ENWORD, 128}, {"aa", ENWORD, 2}}},
        {"Word128Letters", a128, {{a128, ENWORD, 128}}},
        {"Word256Letters", repeat("a", 256), {{a128, ENWORD, 128}, {a128, ENWORD, 128}}},
        {"Number300Digits", repeat("7", 300),
         {{repeat("7", 128), NUMBER, 128}, {repeat("7", 128), NUMBER, 128},
          {repeat("7", 44), NUMBER, 44}}},
        {"Cyrillic129Letters", repeat("я", 129),
         {{repeat("я", 128), RUWORD, 128}, {"я", RUWORD, 1}}},
        {"ThreeEmoji", repeat("😀", 3), {{"😀", UNKNWN, 1}, {"😀", UNKNWN, 1}, {"😀", UNKNWN, 1}}},
        {"Word128ThenDigits", a128 + "12", {{a128, ENWORD, 128}, {"12", NUMBER, 2}}},
        {"Word130ThenCompound", repeat("a", 130) + "-x",
         {{a128, ENWORD, 128}, {"aa-x", ENWORD, 4}}},
        {"Word128ThenHyphen", a128 + "-b",
         {{a128, ENWORD, 128}, {"-", PNCTTN, 1}, {"b", ENWORD, 1}}},
        // limits: groups
        {"SeventeenPieces", "1-2-3-4-5-6-7-8-9",
         {{"1-2-3-4-5-6-7-8-", NUMBER, 16}, {"9", NUMBER, 1}}},
        {"FifteenPieces", "1-2-3-4-5-6-7-8", {{"1-2-3-4-5-6-7-8", NUMBER, 15}}},
        {"ThirtyThreePieces", "1-2-3-4-5-6-7-8-9-a-b-c-d-e-f-g-h",
         {{"1-2-3-4-5-6-7-8-", NUMBER, 16}, {"9-a-b-c-d-e-f-g-", NUMBER, 16}, {"h", ENWORD, 1}}},
        {"TwoWordsOf100", a100 + "-" + b100, {{a100 + "-", ENWORD, 101}, {b100, ENWORD, 100}}},
        {"GroupOfExactly128", repeat("a", 126) + "-b", {{repeat("a", 126) + "-b", ENWORD, 128}}},
        {"GroupOf129", repeat("a", 127) + "-b",
         {{repeat("a", 127) + "-", ENWORD, 128}, {"b", ENWORD, 1}}},
    };
}

class Assembly : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(Assembly, CompletesTheExpectedTokens) {
    const Assembled out = assemble(GetParam().input);
    EXPECT_EQ(out.tokens, GetParam().tokens);
    EXPECT_TRUE(out.problems.empty()) << ::testing::PrintToString(out.problems);
    EXPECT_EQ(joined(out.tokens), GetParam().input) << "joined texts differ from the input";
}

INSTANTIATE_TEST_SUITE_P(Documented, Assembly, ::testing::ValuesIn(assembly_cases()),
                         [](const ::testing::TestParamInfo<AssemblyCase>& info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------
// Return values of add_char and finish.

struct Step {
    bool completed;
    std::string text; // slot 0 when completed
};

// For each character, and then for two finish calls, what was reported.
std::vector<Step> steps_of(std::string_view input) {
    auto a = std::make_unique<TokenAssembler>();
    std::vector<Step> steps;
    for (const Utf8Char& c : decode(input)) {
        const bool done = a->add_char(c);
        steps.push_back({done, done ? token_text(a->completed()) : ""});
    }
    for (int i = 0; i < 2; ++i) {
        const bool done = a->finish();
        steps.push_back({done, done ? token_text(a->completed()) : ""});
    }
    return steps;
}

TEST(AssemblerSteps, ASpaceB) {
    const auto s = steps_of("a b");
    ASSERT_EQ(s.size(), 5u);
    EXPECT_FALSE(s[0].completed); // a
    EXPECT_FALSE(s[1].completed); // space
    EXPECT_TRUE(s[2].completed);  // b completes a
    EXPECT_EQ(s[2].text, "a");
    EXPECT_TRUE(s[3].completed); // first finish: the space
    EXPECT_EQ(s[3].text, " ");
    EXPECT_TRUE(s[4].completed); // second finish: b
    EXPECT_EQ(s[4].text, "b");
}

TEST(AssemblerSteps, CovidCompoundIsCompletedOnTheLetterI) {
    const std::string input = "covid-19 is";
    const auto s = steps_of(input);
    ASSERT_EQ(s.size(), input.size() + 2);
    const std::size_t i_pos = input.find('i', 6); // the letter i of "is"
    for (std::size_t k = 0; k < input.size(); ++k) {
        if (k == i_pos) {
            EXPECT_TRUE(s[k].completed);
            EXPECT_EQ(s[k].text, "covid-19");
        } else {
            EXPECT_FALSE(s[k].completed) << "character " << k << " '" << input[k] << "'";
        }
    }
    EXPECT_TRUE(s[input.size()].completed);
    EXPECT_EQ(s[input.size()].text, " ");
    EXPECT_TRUE(s[input.size() + 1].completed);
    EXPECT_EQ(s[input.size() + 1].text, "is");
}

TEST(AssemblerSteps, WordIsCompletedByTheSecondFinish) {
    const auto s = steps_of("hello");
    ASSERT_EQ(s.size(), 7u);
    for (int k = 0; k < 6; ++k) EXPECT_FALSE(s[k].completed) << k;
    EXPECT_TRUE(s[6].completed);
    EXPECT_EQ(s[6].text, "hello");
}

TEST(AssemblerSteps, EmptyInputDrainsToNothing) {
    const auto s = steps_of("");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_FALSE(s[0].completed);
    EXPECT_FALSE(s[1].completed);
}

TEST(AssemblerSteps, RunReaching128IsClosedWithoutCompletingAnything) {
    // The 129th letter closes the full run; its piece opens a group, so
    // nothing is completed until a piece arrives that does not join it.
    const auto s = steps_of(repeat("a", 129) + " ");
    for (std::size_t k = 0; k < 129; ++k) EXPECT_FALSE(s[k].completed) << k;
    EXPECT_TRUE(s[129].completed); // the space completes the 128 letters
    EXPECT_EQ(s[129].text, repeat("a", 128));
}

TEST(AssemblerSteps, FinishCanBeCalledAnyNumberOfTimes) {
    auto a = std::make_unique<TokenAssembler>();
    for (const Utf8Char& c : decode("ab-")) a->add_char(c);
    EXPECT_FALSE(a->finish()); // pushes the hyphen into the open group
    EXPECT_TRUE(a->finish());  // completes "ab-"
    EXPECT_EQ(token_text(a->completed()), "ab-");
    for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(a->finish());
        EXPECT_EQ(a->piece_count, 0u); // the empty piece is not stored
        EXPECT_EQ(a->group_type, NOTTKN);
    }
    // finish on a fresh assembler, many times
    auto fresh = std::make_unique<TokenAssembler>();
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(fresh->finish());
    EXPECT_EQ(fresh->piece_count, 0u);
    EXPECT_EQ(fresh->group_type, NOTTKN);
}

TEST(AssemblerState, PiecesAndSlotsBetweenOperations) {
    auto a = std::make_unique<TokenAssembler>();
    for (const Utf8Char& c : decode("ab-cd-")) a->add_char(c);
    // "ab", "-", "cd" are pieces; "-" is the current run
    EXPECT_EQ(a->group_type, ENWORD);
    EXPECT_EQ(a->piece_count, 3u);
    EXPECT_EQ(token_text(a->slots[1]), "ab");
    EXPECT_EQ(token_text(a->slots[2]), "-");
    EXPECT_EQ(token_text(a->slots[3]), "cd");
    EXPECT_EQ(token_text(a->current), "-");
    for (std::uint64_t i = 4; i <= GROUP_MAX_PIECES; ++i) {
        EXPECT_TRUE(a->slots[i].empty()) << i;
        EXPECT_TRUE(tail_is_zero(a->slots[i])) << i;
    }
    ASSERT_TRUE(a->add_char(decode(" ")[0]) == false);
    ASSERT_TRUE(a->add_char(decode("x")[0])); // the space completes "ab-cd-"
    EXPECT_EQ(token_text(a->completed()), "ab-cd-");
    EXPECT_EQ(a->completed().type, ENWORD);
    EXPECT_EQ(a->completed().length, 6u);
    EXPECT_TRUE(tail_is_zero(a->completed()));
    EXPECT_EQ(a->piece_count, 1u); // the space
    EXPECT_EQ(a->group_type, WRDSPC);
    for (std::uint64_t i = 2; i <= GROUP_MAX_PIECES; ++i) EXPECT_TRUE(tail_is_zero(a->slots[i])) << i;
}

TEST(AssemblerState, CompletedTokenAfterALongOneHasZeroTail) {
    // A long token in slot 0 followed by a short one: the entries of the long
    // one beyond the short one's length must be cleared.
    auto a = std::make_unique<TokenAssembler>();
    std::vector<Tok> got;
    const std::string input = repeat("w", 120) + "-" + repeat("q", 7) + " x " + "ab";
    for (const Utf8Char& c : decode(input))
        if (a->add_char(c)) {
            EXPECT_TRUE(tail_is_zero(a->completed())) << token_text(a->completed());
            EXPECT_TRUE(tail_is_zero(a->staging));
            EXPECT_TRUE(tail_is_zero(a->current));
            got.push_back({token_text(a->completed()), a->completed().type, a->completed().length});
        }
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].length, 128u);
}

// ---------------------------------------------------------------------------
// Joined texts give back the input, on tricky inputs and on random ones, and
// the tokens agree with a straightforward model of the assembly rules and the limits.

std::vector<Tok> model_tokens(std::string_view input) {
    std::vector<Tok> runs;
    for (const Utf8Char& c : decode(input)) {
        const std::uint64_t t = token_type_of(c.code_point);
        const std::string s(reinterpret_cast<const char*>(c.bytes), c.length);
        if (!runs.empty() && is_word_type(t) && runs.back().type == t &&
            runs.back().length < TOKEN_MAX_CHARS) {
            runs.back().text += s;
            ++runs.back().length;
        } else {
            runs.push_back({s, t, 1});
        }
    }
    std::vector<Tok> out;
    std::vector<Tok> group;
    std::uint64_t group_chars = 0;
    auto flush = [&] {
        if (group.empty()) return;
        Tok t{"", group[0].type, 0};
        for (const Tok& p : group) {
            t.text += p.text;
            t.length += p.length;
        }
        out.push_back(t);
        group.clear();
        group_chars = 0;
    };
    for (const Tok& p : runs) {
        bool joins = !group.empty() && is_word_type(group[0].type) &&
                     group.size() < GROUP_MAX_PIECES && group_chars + p.length <= TOKEN_MAX_CHARS;
        if (joins)
            joins = is_word_type(group.back().type) ? (p.type == PNCTTN && p.text == "-")
                                                    : is_word_type(p.type);
        if (!joins) flush();
        group.push_back(p);
        group_chars += p.length;
    }
    flush();
    return out;
}

TEST(AssemblyJoined, TrickyInputsComeBackWhole) {
    const std::vector<std::string> inputs = {
        "", " ", "-", "--", "---", "a-", "-a", "a-b-c-", "а-б-в", "1-2-3-4-5-6-7-8-9-10-11",
        repeat("a-", 40), repeat("ab-", 100), repeat("-", 200), repeat("z", 1000),
        repeat("я", 300) + "-" + repeat("1", 200), repeat("😀", 300),
        repeat("a", 127) + "-" + repeat("b", 127), repeat("1-", 8) + repeat("2", 127),
        "Жук жужжит: «ж-ж-ж»… № 5 — 2023-01-01\n\tcovid-19 is well-known!",
        "x\u00A0y\vz\r\n\u2116\u2026\u00B7\u2013\u2014", std::string("\0\0a\0", 4),
    };
    for (const std::string& input : inputs) {
        const Assembled out = assemble(input);
        EXPECT_EQ(joined(out.tokens), input) << escaped(input.substr(0, 80));
        EXPECT_TRUE(out.problems.empty()) << escaped(input.substr(0, 80)) << ": "
                                          << ::testing::PrintToString(out.problems);
        EXPECT_EQ(out.tokens, model_tokens(input)) << escaped(input.substr(0, 80));
    }
}

TEST(AssemblyJoined, RandomInputsComeBackWholeAndMatchTheModel) {
    const std::vector<std::string> pieces = {
        "a", "b", "Z", "q", "1", "9", "0", "ж", "Ё", "я", "-", "-", "-", " ", "\n",
        ".", ",", "😀", "é", "\u2013", "\t", "\u00A0", "№", "中",
    };
    std::mt19937 rng(20240613);
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        const int n = std::uniform_int_distribution<int>(0, 60)(rng);
        for (int i = 0; i < n; ++i) {
            const std::string& p = pieces[std::uniform_int_distribution<std::size_t>(
                0, pieces.size() - 1)(rng)];
            // now and then a long run, to reach the limits
            const int times = std::uniform_int_distribution<int>(0, 9)(rng) == 0
                                  ? std::uniform_int_distribution<int>(1, 200)(rng)
                                  : 1;
            input += repeat(p, static_cast<std::size_t>(times));
        }
        const Assembled out = assemble(input);
        ASSERT_EQ(joined(out.tokens), input) << "round " << round << ": " << escaped(input);
        ASSERT_TRUE(out.problems.empty())
            << "round " << round << ": " << ::testing::PrintToString(out.problems);
        ASSERT_EQ(out.tokens, model_tokens(input)) << "round " << round << ": " << escaped(input);
    }
}

} // namespace
