// The interpreter version gate, a pure function.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "module/version_gate.hpp"

namespace {

struct GateCase {
    const char* name; // test name: letters, digits and underscores only
    const char* runtime;
    const char* compiled;
    bool loads;
};

void PrintTo(const GateCase& c, std::ostream* os) {
    *os << c.name << " (\"" << c.runtime << "\" for \"" << c.compiled << "\")";
}

class VersionGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(VersionGate, Decides) {
    const GateCase& c = GetParam();
    EXPECT_EQ(tarvelin::interpreter_version_matches(c.runtime, c.compiled), c.loads)
        << "runtime \"" << c.runtime << "\", compiled \"" << c.compiled << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionGate,
    ::testing::Values(
        GateCase{"Full_3_13_0_String", "3.13.0 (main, Oct  7 2024, 05:02:14) [GCC 12.2.0]", "3.13", true},
        GateCase{"Patch_3_13_12", "3.13.12", "3.13", true},
        GateCase{"Release_Candidate_3_13_0rc1", "3.13.0rc1+ (heads/3.13:abc)", "3.13", true},
        GateCase{"Exactly_3_13", "3.13", "3.13", true},
        GateCase{"Older_Minor_3_12_1", "3.12.1", "3.13", false},
        GateCase{"Newer_Minor_3_14_0", "3.14.0", "3.13", false},
        GateCase{"Digit_After_3_13_Is_3_130", "3.130", "3.13", false},
        GateCase{"Digit_After_3_13_Is_3_139_1", "3.139.1", "3.13", false},
        GateCase{"Shorter_3_1", "3.1", "3.13", false},
        GateCase{"Older_Major_2_13", "2.13.0", "3.13", false},
        GateCase{"Empty", "", "3.13", false},
        GateCase{"Other_Series_3_12_For_3_12", "3.12.4 (main)", "3.12", true}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

} // namespace
