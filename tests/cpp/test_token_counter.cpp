// Native counting: count_some gives, for any input and settings, exactly the
// counts of the tokens that the batches hold.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "tokenizers/from_text_tokenizer.hpp"
#include "tokenizers/token_counter.hpp"

namespace tarvelin {
namespace {

using Counts = std::map<std::string, std::uint64_t>;

struct Probe : FromTextTokenizer {
    using FromTextTokenizer::batch;
};

std::string random_text(std::mt19937& rng) {
    static const char* const pieces[] = {"a", "ab", "word", "Ж", "ёлка", "7", "2023", "-", " ",
                                         "\n", ".", "\xE2\x80\x94", "\xF0\x9F\x98\x80", "\t",
                                         "\xC0\x80", "\x80", "\xE2\x80", "well-known"};
    std::string s;
    for (unsigned i = rng() % 3000; i > 0; --i) {
        if (rng() % 50 == 0) s += '\0';
        else if (rng() % 40 == 0) s += std::string(130 + rng() % 20, 'x');
        else s += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    }
    return s;
}

Counts from_batches(const std::string& text, std::uint64_t size, std::uint64_t filter) {
    Probe t;
    EXPECT_TRUE(t.open(text.data(), text.size()));
    EXPECT_TRUE(t.set_batch_size(size));
    t.set_filter(filter);
    Counts counts;
    for (;;) {
        t.next_batch();
        const BatchBuffer& b = t.batch_buffer();
        if (b.token_count == 0) break;
        TokenCounter one;
        EXPECT_TRUE(one.add_batch(b));
        one.for_each([&](const std::uint8_t* p, std::size_t n, std::uint64_t c) {
            counts[std::string(reinterpret_cast<const char*>(p), n)] += c;
        });
    }
    return counts;
}

TEST(TokenCounter, CountsEqualTheBatchesTokens) {
    std::mt19937 rng(3);
    for (int round = 0; round < 60; ++round) {
        const std::string text = random_text(rng);
        const std::uint64_t size = round % 3 == 0 ? 1 + rng() % 5 : 65536;
        const std::uint64_t filter = round % 4 == 0 ? (4 | 16) : ~0ull;
        // The reference: split every batch's text at its NULs by the types.
        Probe t;
        ASSERT_TRUE(t.open(text.data(), text.size()));
        ASSERT_TRUE(t.set_batch_size(size));
        t.set_filter(filter);
        Counts want;
        std::uint64_t total = 0;
        for (;;) {
            t.next_batch();
            const BatchBuffer& b = t.batch_buffer();
            if (b.token_count == 0) break;
            const char* p = reinterpret_cast<const char*>(b.text_buffer);
            for (std::uint64_t i = 0; i < b.token_count; ++i) {
                const std::size_t n =
                    is_word_type(b.types_buffer[i]) ? std::strlen(p) : utf8_lead_length(*p);
                ++want[std::string(p, n)];
                p += n + 1;
                ++total;
            }
        }
        // count_some over a fresh tokenizer, a few batches read first.
        Probe c;
        ASSERT_TRUE(c.open(text.data(), text.size()));
        ASSERT_TRUE(c.set_batch_size(size));
        c.set_filter(filter);
        Counts got;
        TokenCounter counter;
        c.next_batch();
        ASSERT_TRUE(counter.add_batch(c.batch_buffer()));
        while (c.count_some(counter, 1 + rng() % 5000) != ReadResult::complete) {
        }
        std::uint64_t counted = 0;
        counter.for_each([&](const std::uint8_t* p, std::size_t n, std::uint64_t k) {
            EXPECT_TRUE(got.emplace(std::string(reinterpret_cast<const char*>(p), n), k).second)
                << "a text is listed twice";
            counted += k;
        });
        ASSERT_EQ(got, want) << "round " << round;
        EXPECT_EQ(counted, total);
        EXPECT_EQ(counter.distinct(), want.size());
        EXPECT_EQ(from_batches(text, size, filter), want);
    }
}

TEST(TokenCounter, ZeroBatchSizeCountsNothing) {
    Probe t;
    ASSERT_TRUE(t.open("a b", 3));
    ASSERT_TRUE(t.set_batch_size(0));
    TokenCounter counter;
    EXPECT_EQ(t.count_some(counter, ~0ull), ReadResult::complete);
    EXPECT_EQ(counter.distinct(), 0u);
}

} // namespace
} // namespace tarvelin
