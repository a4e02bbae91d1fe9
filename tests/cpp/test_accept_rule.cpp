#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>

#include "classify/utf8_char.hpp"
#include "text/transcode.hpp"
#include "tokens/accept_rule.hpp"

namespace {

using namespace tarvelin;

struct RuleCase {
    const char* name;
    AcceptRule rule;
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class KeepsEveryToken : public testing::TestWithParam<RuleCase> {};

// The shortcut agrees with the rule applied to every kind and every length a
// token can have.
TEST_P(KeepsEveryToken, AgreesWithTheRuleOnEveryToken) {
    const AcceptRule r = GetParam().rule;
    bool every = true;
    for (unsigned kind = 0; kind < 7; ++kind)
        for (std::uint64_t length = 1; length <= TOKEN_MAX_CHARS; ++length)
            every = every && token_passes(r.filter, r.min_len, r.max_len,
                                          std::uint64_t{1} << kind, length);
    EXPECT_EQ(keeps_every_token(r.filter, r.min_len, r.max_len), every);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, KeepsEveryToken,
    testing::Values(RuleCase{"all_defaults", {~std::uint64_t{0}, 0, 512}},
                    RuleCase{"exact_kinds_and_bounds", {ALL_TOKEN_KINDS, 1, TOKEN_MAX_CHARS}},
                    RuleCase{"no_unknown", {ALL_TOKEN_KINDS & ~std::uint64_t{64}, 0, 512}},
                    RuleCase{"no_spaces", {ALL_TOKEN_KINDS & ~std::uint64_t{1}, 0, 512}},
                    RuleCase{"min_two", {ALL_TOKEN_KINDS, 2, 512}},
                    RuleCase{"max_just_short", {ALL_TOKEN_KINDS, 0, TOKEN_MAX_CHARS - 1}},
                    RuleCase{"nothing", {0, 0, 512}}),
    [](const testing::TestParamInfo<RuleCase>& info) { return info.param.name; });

// Every code point that UTF-8 can carry comes back from its encoded form
// through the one decoding step that all decoders share.
TEST(Utf8CodePoint, RoundTripsEveryScalarValue) {
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::uint8_t b[5] = {};
        const std::size_t n = units_to_utf8(&cp, 1, b);
        ASSERT_EQ(n, utf8_lead_length(b[0])) << std::hex << cp;
        ASSERT_EQ(utf8_code_point(b[0], b[1], b[2], b[3], n), cp) << std::hex << cp;
    }
}

} // namespace
