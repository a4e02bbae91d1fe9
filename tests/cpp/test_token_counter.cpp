// Native counting: count_some gives, for any input and settings, exactly the
// counts of the tokens that the batches hold.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "counting/token_counter.hpp"
#include "simd/scan_kernel.hpp"
#include "tokenizers/from_text_tokenizer.hpp"

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

void open_probe(Probe& t, const std::string& text, std::uint64_t size, std::uint64_t filter) {
    ASSERT_TRUE(t.open(text.data(), text.size()));
    ASSERT_TRUE(t.set_batch_size(size));
    t.set_filter(filter);
}

// Calls f(batch) for every batch of the text read with these settings.
template <class F>
void for_each_batch(const std::string& text, std::uint64_t size, std::uint64_t filter, F f) {
    Probe t;
    open_probe(t, text, size, filter);
    for (;;) {
        t.next_batch();
        if (t.batch_buffer().token_count == 0) return;
        f(t.batch_buffer());
    }
}

// Each batch counted by a counter of its own, the counts summed.
Counts from_batches(const std::string& text, std::uint64_t size, std::uint64_t filter) {
    Counts counts;
    for_each_batch(text, size, filter, [&](const BatchBuffer& b) {
        TokenCounter one;
        EXPECT_TRUE(one.add_batch(finished_batch_text(b)));
        one.for_each([&](const std::uint8_t* p, std::size_t n, std::uint64_t c) {
            counts[std::string(reinterpret_cast<const char*>(p), n)] += c;
        });
    });
    return counts;
}

// The reference: every batch's text split at its NULs by the types.
Counts reference_counts(const std::string& text, std::uint64_t size, std::uint64_t filter,
                        std::uint64_t* total = nullptr) {
    Counts want;
    for_each_batch(text, size, filter, [&](const BatchBuffer& b) {
        const char* p = reinterpret_cast<const char*>(b.text_buffer);
        for (std::uint64_t i = 0; i < b.token_count; ++i) {
            const std::size_t n =
                is_word_type(b.types_buffer[i]) ? std::strlen(p) : utf8_lead_length(*p);
            ++want[std::string(p, n)];
            p += n + 1;
            if (total != nullptr) ++*total;
        }
    });
    return want;
}

Counts listed(const TokenCounter& counter, std::uint64_t* total = nullptr) {
    Counts got;
    counter.for_each([&](const std::uint8_t* p, std::size_t n, std::uint64_t k) {
        EXPECT_TRUE(got.emplace(std::string(reinterpret_cast<const char*>(p), n), k).second)
            << "a text is listed twice";
        if (total != nullptr) *total += k;
    });
    return got;
}

TEST(TokenCounter, CountsEqualTheBatchesTokens) {
    std::mt19937 rng(3);
    for (int round = 0; round < 60; ++round) {
        const std::string text = random_text(rng);
        const std::uint64_t size = round % 3 == 0 ? 1 + rng() % 5 : 65536;
        const std::uint64_t filter = round % 4 == 0 ? (4 | 16) : ~0ull;
        std::uint64_t total = 0;
        const Counts want = reference_counts(text, size, filter, &total);
        // count_some over a fresh tokenizer, a few batches read first.
        Probe c;
        open_probe(c, text, size, filter);
        TokenCounter counter;
        c.next_batch();
        ASSERT_TRUE(counter.add_batch(finished_batch_text(c.batch_buffer())));
        while (c.count_some(counter, 1 + rng() % 5000) != ReadResult::complete) {
        }
        std::uint64_t counted = 0;
        ASSERT_EQ(listed(counter, &counted), want) << "round " << round;
        EXPECT_EQ(counted, total);
        EXPECT_EQ(counter.distinct(), want.size());
        EXPECT_EQ(from_batches(text, size, filter), want);
    }
}

// A large vocabulary (the table grows many times), texts that share their
// first 16 bytes or differ only in their last, texts of every length up to
// several windows of 64 bytes, and U+0000 tokens anywhere among them.
std::string varied_text(std::mt19937& rng, std::size_t words) {
    static const char* const letters[] = {"a", "b", "z", "Q", "\xD0\x96", "\xD1\x91", "\xD0\xB0"};
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 3000; ++i) {
        std::string w;
        for (unsigned n = 1 + rng() % (i % 10 == 0 ? 70 : 20); n > 0; --n) w += letters[rng() % 7];
        vocabulary.push_back(w);
        vocabulary.push_back(std::string(16, 'k') + w); // the same first 16 bytes
    }
    std::string s;
    for (std::size_t i = 0; i < words; ++i) {
        switch (rng() % 8) {
        case 0: s += '\0'; break;
        case 1: s += std::to_string(rng()); break; // thousands of distinct numbers
        case 2: s += ", "; break;
        case 3: s += vocabulary[rng() % vocabulary.size()] + "-" + vocabulary[rng() % 50]; break;
        default: s += vocabulary[rng() % vocabulary.size()]; break;
        }
        s += rng() % 4 == 0 ? "\n" : " ";
    }
    return s;
}

TEST(TokenCounter, LargeVocabulariesAndLongTexts) {
    std::mt19937 rng(11);
    for (const std::uint64_t size : {65536ull, 777ull}) {
        const std::string text = varied_text(rng, 60000);
        const Counts want = reference_counts(text, size, ~0ull);
        Probe c;
        open_probe(c, text, size, ~0ull);
        TokenCounter counter;
        // Once from a table of 256 slots, once from the largest first guess.
        if (size == 777) counter.expect_input(~0ull);
        while (c.count_some(counter, ~0ull) != ReadResult::complete) {
        }
        ASSERT_GT(want.size(), 10000u); // the first table grew several times
        EXPECT_EQ(listed(counter), want);
    }
}

// Room refused part way through a batch: the tokens before the refusal are
// counted once, and the next call goes on from there.
TEST(TokenCounter, RefusedRoomResumesWhereItStopped) {
    std::mt19937 rng(5);
    const std::string text = varied_text(rng, 20000);
    const Counts want = reference_counts(text, 65536, ~0ull);
    Probe c;
    open_probe(c, text, 65536, ~0ull);
    TokenCounter counter;
    std::uint64_t limit = 150, refusals = 0;
    counter.set_text_limit(limit);
    for (;;) {
        const ReadResult r = c.count_some(counter, ~0ull);
        if (r == ReadResult::complete) break;
        if (r == ReadResult::no_memory) {
            ++refusals;
            counter.set_text_limit(limit *= 2);
        }
    }
    EXPECT_GE(refusals, 5u);
    EXPECT_EQ(listed(counter), want);
}

// Counting with the vector kernel at every level against the batches of the
// scalar path: random settings, a few batches taken first, then one batch
// counted, and after it every kind let through: one batch taken (with its
// offsets: the counting must stop exactly where its batch ends) and the rest
// counted, in slices of random budgets.
struct Settings {
    std::uint64_t size, filter, min_len, max_len;
};

struct Batch {
    std::string text;
    std::vector<std::uint64_t> types, offsets;
    bool operator==(const Batch&) const = default;
};

void open_with(Probe& t, const std::string& text, const Settings& s) {
    open_probe(t, text, s.size, s.filter);
    t.set_token_min_len(s.min_len);
    t.set_token_max_len(s.max_len);
    ASSERT_TRUE(t.set_offsets(true));
}

Batch next_of(Probe& t) {
    t.next_batch();
    const BatchBuffer& b = t.batch_buffer();
    return {std::string(reinterpret_cast<const char*>(b.text_buffer), b.text_bytes),
            {b.types_buffer, b.types_buffer + b.token_count},
            {b.offsets, b.offsets + b.token_count}};
}

void add_tokens(const Batch& b, Counts& counts) {
    const char* p = b.text.data();
    for (const std::uint64_t type : b.types) {
        const std::size_t n = is_word_type(type) ? std::strlen(p) : utf8_lead_length(*p);
        ++counts[std::string(p, n)];
        p += n + 1;
    }
}

class CountAtLevel : public ::testing::TestWithParam<std::string> {
  protected:
    void TearDown() override { set_scan_level(scan_levels().back()); }
};

TEST_P(CountAtLevel, EqualsTheScalarBatches) {
    std::mt19937 rng(17);
    constexpr std::uint64_t filters[] = {~0ull, 4 | 16, 1, 2, 8 | 32 | 64, 0x55};
    constexpr std::uint64_t min_lens[] = {0, 1, 2, 4};
    constexpr std::uint64_t max_lens[] = {512, 128, 64, 6, 1};
    for (int round = 0; round < 80; ++round) {
        const std::string text = round % 2 == 0 ? random_text(rng) : varied_text(rng, 2000);
        const Settings s{round % 3 == 0 ? 1 + rng() % 7 : round % 3 == 1 ? 50 + rng() % 500 : 65536,
                         filters[rng() % std::size(filters)],
                         round % 2 == 0 ? 0 : min_lens[rng() % std::size(min_lens)],
                         round % 2 == 0 ? 512 : max_lens[rng() % std::size(max_lens)]};
        const std::size_t skip = rng() % 3;
        std::vector<Batch> want;
        ASSERT_TRUE(set_scan_level("scalar"));
        {
            Probe r;
            open_with(r, text, s);
            for (Batch b = next_of(r); !b.types.empty(); b = next_of(r)) {
                want.push_back(b);
                if (want.size() == skip + 1) r.set_filter(~0ull);
            }
        }
        ASSERT_TRUE(set_scan_level(GetParam()));
        Probe c;
        open_with(c, text, s);
        for (std::size_t i = 0; i < skip; ++i) next_of(c);
        TokenCounter counter;
        Counts expected;
        for (std::size_t i = skip; i < want.size(); ++i)
            if (i != skip + 1) add_tokens(want[i], expected);
        // One batch counted: to its end, whatever the budgets.
        ReadResult r;
        do {
            r = c.count_some(counter, 1 + rng() % 3000);
        } while (r != ReadResult::complete && c.batch_open());
        c.set_filter(~0ull);
        if (skip + 1 < want.size()) {
            EXPECT_EQ(next_of(c), want[skip + 1]) << "round " << round;
        }
        while (c.count_some(counter, 1 + rng() % 3000) != ReadResult::complete) {
        }
        ASSERT_EQ(listed(counter), expected) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, CountAtLevel,
                         ::testing::ValuesIn(std::vector<std::string>(scan_levels().begin(),
                                                                      scan_levels().end())));

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
