// The scanner path of the reading loop against the byte-by-byte assembler
// path: both must give the same batches, byte for byte, with the same token
// offsets, for any input, settings, decoding mode, window boundaries and
// budgets (calls that pause and go on filling the same batch).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "simd/scan_kernel.hpp"
#include "tokenizers/reading_loop.hpp"
#include "tokenizers/text_source.hpp"

namespace tarvelin {
namespace {

// Serves the input in windows of random sizes, none known to be the last, as
// a file is served.
struct ChunkedSource {
    static constexpr bool windows_are_final = false;
    std::string data;
    std::size_t pos = 0;
    std::size_t window_end = 0;
    std::mt19937 rng;

    std::span<const std::uint8_t> window() {
        if (pos == window_end && pos < data.size()) {
            window_end = std::min(data.size(), pos + 1 + rng() % 300);
        }
        return {reinterpret_cast<const std::uint8_t*>(data.data()) + pos, window_end - pos};
    }
    void consume(std::size_t n) { pos += n; }
    bool at_end() const { return pos == data.size(); }
};

struct Settings {
    std::uint64_t batch_size, filter, min_len, max_len;
    bool offsets = true; // switched per batch: the positions must survive batches without them
};

struct Batch {
    std::string text;
    std::uint64_t chars;
    int kind; // str storage class of char_bits
    std::vector<std::uint64_t> types;
    std::vector<std::uint64_t> offsets;
    bool malformed;
    bool operator==(const Batch&) const = default;
};

int str_kind(std::uint32_t v) { return v < 0x80 ? 0 : v < 0x100 ? 1 : v < 0x10000 ? 2 : 3; }

template <class Source>
struct Reader {
    Source source;
    LazyAssembler assembler;
    Utf8Char utf8_char{};
    BatchBuffer batch;
    ReadingMode mode;
    std::uint8_t drain_steps = 0;
    std::uint64_t budget_seed = 0; // 0: no budget; else calls of random small budgets

    // Batches until the first empty one (with a bound against endless loops).
    std::vector<Batch> run(const std::vector<Settings>& settings) {
        EXPECT_TRUE(batch.allocate());
        std::mt19937 budgets(static_cast<std::uint32_t>(budget_seed));
        std::vector<Batch> out;
        for (std::size_t i = 0; i < 100000; ++i) {
            const Settings& s = settings[i % settings.size()];
            EXPECT_TRUE(batch.resize(s.batch_size));
            EXPECT_TRUE(batch.keep_offsets(s.offsets));
            batch.filter = s.filter;
            batch.token_min_len = s.min_len;
            batch.token_max_len = s.max_len;
            if (budget_seed == 0) {
                read_batch(source, assembler, utf8_char, batch, mode, drain_steps);
            } else {
                while (read_slice(source, assembler, utf8_char, batch, mode, drain_steps,
                                  1 + budgets() % 40) != ReadResult::complete) {
                }
            }
            if (batch.token_count == 0 && source.at_end()) break;
            out.push_back({std::string(reinterpret_cast<char*>(batch.text_buffer), batch.text_bytes),
                           batch.text_chars,
                           str_kind(batch.malformed ? 0 : batch.char_bits),
                           {batch.types_buffer, batch.types_buffer + batch.token_count},
                           s.offsets ? std::vector<std::uint64_t>(batch.offsets,
                                                                  batch.offsets + batch.token_count)
                                     : std::vector<std::uint64_t>{},
                           batch.malformed});
        }
        return out;
    }
};

// Random text made of the pieces that matter to the rules: words of each
// kind, hyphens, spaces, any ASCII character, other characters, long runs
// and malformed bytes.
std::string random_text(std::mt19937& rng, bool malformed) {
    static const std::vector<std::string> pieces = {
        "a", "Z", "word", "Ж", "ёлка", "Москва", "7", "2023", "-", "-", "--", " ", "  ", "\n",
        ".", ",", "\xE2\x80\x94", "\xE2\x80\xA6", "\xC2\xAB", "\xF0\x9F\x98\x80", "\xE4\xB8\xAD",
        "\t", std::string(1, '\0'), "\xC2\xA0", "\xC3\xA9"};
    static const std::vector<std::string> bad = {
        "\x80", "\xFF", "\xE2\x80", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xD0",
        "\x80\x80\x80\x80\x80\x80", "\xE2\x80\xFF", "\xF7\xBF\xBF\xBF"};
    std::string s;
    const std::size_t count = rng() % 400;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned r = rng() % 100;
        if (malformed && r < 6) {
            s += bad[rng() % bad.size()];
        } else if (r < 9) { // long runs and hyphen chains around the limits
            const std::size_t n = 100 + rng() % 60;
            const std::string unit = (r % 3 == 0) ? "x" : (r % 3 == 1) ? "9-" : "\xD1\x8F";
            for (std::size_t k = 0; k < n; ++k) s += unit;
        } else if (r < 14) { // any ASCII character, controls included
            s += static_cast<char>(1 + rng() % 127);
        } else {
            s += pieces[rng() % pieces.size()];
        }
    }
    return s;
}

Settings random_settings(std::mt19937& rng) {
    static const std::uint64_t filters[] = {~0ull, 0, 4 | 16, 1, 32 | 64, 8};
    const std::uint64_t sizes[] = {1, 2, 3, 5, 8, 64, 65536};
    Settings s{sizes[rng() % 7], filters[rng() % 6], 0, 512, rng() % 2 == 0};
    if (rng() % 4 == 0) {
        s.min_len = rng() % 4;
        s.max_len = s.min_len + rng() % 130;
    }
    return s;
}

// Inputs with or without malformed bytes, decoded strictly or with replacement.
struct Case {
    bool malformed;
    DecodeErrors errors;
};

// Every case at every dispatch level of the vector kernel this machine has
// ("scalar": the token scanner alone).
class ScannerDifferential : public ::testing::TestWithParam<std::tuple<Case, std::string>> {
  protected:
    void SetUp() override { ASSERT_TRUE(set_scan_level(std::get<1>(GetParam()))); }
    void TearDown() override { set_scan_level(scan_levels().back()); }
    const Case& param() const { return std::get<0>(GetParam()); }
};

TEST_P(ScannerDifferential, TextSourceMatchesAssemblerPath) {
    std::mt19937 rng(param().malformed ? 1234 : 99);
    for (int round = 0; round < 400; ++round) {
        const std::string text = random_text(rng, param().malformed);
        std::vector<Settings> settings{random_settings(rng), random_settings(rng)};
        Reader<TextSource> fast, reference;
        ASSERT_TRUE(fast.source.assign(text.data(), text.size()));
        ASSERT_TRUE(reference.source.assign(text.data(), text.size()));
        fast.mode.requested = reference.mode.requested = param().errors;
        fast.budget_seed = round % 2 == 0 ? 0 : round;
        reference.mode.use_assembler = reference.mode.assembler_only = true;
        const auto got = fast.run(settings);
        const auto want = reference.run(settings);
        ASSERT_EQ(got, want) << "round " << round;
    }
}

TEST_P(ScannerDifferential, SmallWindowsMatchAssemblerPath) {
    std::mt19937 rng(param().malformed ? 42 : 7);
    for (int round = 0; round < 400; ++round) {
        const std::string text = random_text(rng, param().malformed);
        std::vector<Settings> settings{random_settings(rng), random_settings(rng)};
        // The two paths see different window boundaries too.
        Reader<ChunkedSource> fast, reference;
        fast.source.data = reference.source.data = text;
        fast.source.rng.seed(round);
        reference.source.rng.seed(round + 1);
        fast.mode.requested = reference.mode.requested = param().errors;
        fast.budget_seed = round % 3 == 0 ? round + 1 : 0;
        reference.mode.use_assembler = reference.mode.assembler_only = true;
        const auto got = fast.run(settings);
        const auto want = reference.run(settings);
        ASSERT_EQ(got, want) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ScannerDifferential,
    ::testing::Combine(::testing::Values(Case{false, DecodeErrors::strict},
                                         Case{true, DecodeErrors::strict},
                                         Case{true, DecodeErrors::replace}),
                       ::testing::ValuesIn(std::vector<std::string>(scan_levels().begin(),
                                                                    scan_levels().end()))),
    [](const auto& info) {
        const Case& c = std::get<0>(info.param);
        return std::string(c.malformed ? "WithMalformedBytes" : "WellFormed") +
               (c.errors == DecodeErrors::replace ? "Replaced" : "") + "_" +
               std::get<1>(info.param);
    });

// Keeping every token of a text, each token's offset is the number of
// characters of the tokens before it, whatever decoding and path.
TEST(TokenOffsets, CountEveryCharacterBeforeTheToken) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        const std::string text = random_text(rng, round % 2 == 1);
        for (bool reference : {false, true}) {
            Reader<TextSource> r;
            ASSERT_TRUE(r.source.assign(text.data(), text.size()));
            r.mode.requested = round % 4 == 1 ? DecodeErrors::replace : DecodeErrors::strict;
            r.mode.use_assembler = r.mode.assembler_only = reference;
            std::uint64_t chars = 0;
            for (const Batch& b : r.run({{7, ~0ull, 0, 512}})) {
                // Every character of a batch begins with a lead byte.
                std::size_t at = 0;
                const auto lead = [&](std::size_t i) {
                    return utf8_lead_length(static_cast<std::uint8_t>(b.text[i])) != 0;
                };
                for (std::size_t i = 0; i < b.types.size(); ++i) {
                    ASSERT_EQ(b.offsets[i], chars) << "round " << round << " token " << i;
                    // A word holds no NUL; any other token is one character.
                    std::size_t stop = at + 1;
                    if (is_word_type(b.types[i]))
                        while (b.text[stop] != 0) ++stop;
                    else
                        while (!lead(stop)) ++stop;
                    for (std::size_t k = at; k < stop; ++k) chars += lead(k);
                    at = stop + 1; // the NUL after the token
                }
            }
        }
    }
}

} // namespace
} // namespace tarvelin
