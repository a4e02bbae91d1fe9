// Concurrency: threads that make the first call of char_class_table()
// in the process at the same moment all get the same, completely built table,
// and the table is built exactly once.
//
// This file is an executable of its own, and ctest runs each test in a process
// of its own; the parametrized cases race in a forked child process each, so
// that every case, and the in-process test, sees a process whose table is not
// yet built.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "classify/char_class.hpp"

using namespace tarvelin;

namespace {

struct Seen {
    const CharClassTable* table = nullptr;
    bool complete = false;
};

// Starts `threads` threads, releases them together and has each make its first
// call of char_class_table(); then checks what each saw against `reference`.
// Returns a description of the first problem, or an empty string.
std::string race(unsigned threads, const CharClassTable& reference) {
    if (char_class_table_builds() != 0) return "the table was built before the race";
    std::vector<Seen> seen(threads);
    std::barrier start(static_cast<std::ptrdiff_t>(threads));
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < threads; ++i)
        pool.emplace_back([&, i] {
            start.arrive_and_wait();
            const CharClassTable& t = char_class_table();
            // Read the whole table right away, from this thread.
            seen[i].table = &t;
            seen[i].complete =
                t.block_count == reference.block_count &&
                std::memcmp(t.block_index, reference.block_index, sizeof t.block_index) == 0 &&
                std::memcmp(t.blocks, reference.blocks, sizeof t.blocks) == 0 &&
                token_type_of(0x44F) == type_value(TokenType::RUWORD) &&
                token_type_of(0x2116) == type_value(TokenType::PNCTTN);
        });
    for (std::thread& th : pool) th.join();

    for (unsigned i = 0; i < threads; ++i) {
        if (seen[i].table != seen[0].table) return "threads got different tables";
        if (!seen[i].complete) return "a thread saw an incomplete table";
    }
    if (seen[0].table != &char_class_table()) return "a later call returns another table";
    if (char_class_table_builds() != 1)
        return "built " + std::to_string(char_class_table_builds()) + " times";
    return {};
}

// The expected table, built privately (not the process-wide one).
std::unique_ptr<CharClassTable> reference_table() {
    auto t = std::make_unique<CharClassTable>(); // zero, like the process-wide one before its build
    build_char_class_table(*t);
    return t;
}

class RaceInChildProcess : public ::testing::TestWithParam<unsigned> {};

TEST_P(RaceInChildProcess, AllThreadsGetOneCompleteTableBuiltOnce) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const unsigned threads = GetParam();
    EXPECT_EXIT(
        {
            const auto reference = reference_table();
            const std::string problem = race(threads, *reference);
            if (!problem.empty()) {
                std::fprintf(stderr, "race problem: %s\n", problem.c_str());
                std::_Exit(1);
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Threads, RaceInChildProcess, ::testing::Values(2u, 3u, 4u, 5u, 6u, 7u, 8u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                             return std::to_string(info.param) + "Threads";
                         });

TEST(CharClassRace, EightThreadsMakeTheFirstCallInThisProcess) {
    // Nothing in this process may have built the table yet: the forked cases
    // above leave the parent untouched.
    ASSERT_EQ(char_class_table_builds(), 0u);
    const auto reference = reference_table();
    const std::string problem = race(8, *reference);
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_EQ(char_class_table_builds(), 1u);
}

} // namespace
