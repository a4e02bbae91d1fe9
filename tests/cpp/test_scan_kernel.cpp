// The vector kernels at every level this CPU runs: kernel + TokenScanner must
// give exactly the tokens of TokenScanner alone, and the transcoders must agree
// with a strict scalar decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>
#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "scan/token_scanner.hpp"
#include "simd/scan_kernel.hpp"
#include "text/transcode.hpp"
#include "text/utf8_strict.hpp"
#include "tokenize_helpers.hpp"

namespace tarvelin {
namespace {

int storage_class(std::uint32_t bits) {
    return bits < 0x80u ? 0 : bits < 0x100u ? 1 : bits < 0x10000u ? 2 : 3;
}

struct Tok {
    std::size_t start, bytes;
    std::uint64_t chars, type;
    int storage;
    bool operator==(const Tok&) const = default;
    friend void PrintTo(const Tok& t, std::ostream* os) {
        *os << "{at " << t.start << ", " << t.bytes << " bytes, " << t.chars << " chars, type "
            << t.type << ", storage " << t.storage << "}";
    }
};

struct Result {
    std::vector<Tok> tokens;
    std::size_t stopped_at; // where no further token could be settled
    std::size_t kernel_bytes = 0;
};

// One token of TokenScanner at `pos`, or false.
bool scalar_token(const std::string& s, std::size_t pos, std::size_t n, bool final,
                  std::vector<Tok>& out) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    TokenScanner scanner(p + n, final);
    ScannedToken t;
    if (scanner.scan(p + pos, t) != ScanStatus::token) return false;
    out.push_back({pos, t.bytes, t.chars, t.type, storage_class(t.bits)});
    return true;
}

Result scalar_alone(const std::string& s, std::size_t n, bool final) {
    Result r;
    std::size_t pos = 0;
    while (pos < n && scalar_token(s, pos, n, final, r.tokens)) pos += r.tokens.back().bytes;
    r.stopped_at = pos;
    return r;
}

Result kernel_then_scalar(const std::string& s, std::size_t n, bool final, std::size_t max_spans) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    std::vector<TokenSpan> spans(max_spans);
    Result r;
    std::size_t pos = 0;
    while (pos < n) {
        const KernelScan k = scan_kernel(p + pos, n - pos, final, spans.data(), max_spans);
        std::size_t end = 0;
        for (std::size_t i = 0; i < k.spans; ++i) {
            const TokenSpan& t = spans[i];
            EXPECT_EQ(t.start, end) << "spans are not contiguous";
            end = t.start + t.bytes;
            r.tokens.push_back({pos + t.start, t.bytes, t.chars, t.type, storage_class(t.bits)});
        }
        EXPECT_EQ(k.consumed, end);
        EXPECT_LE(k.consumed, n - pos);
        r.kernel_bytes += k.consumed;
        pos += k.consumed;
        if (pos == n || !scalar_token(s, pos, n, final, r.tokens)) break;
        pos += r.tokens.back().bytes;
    }
    r.stopped_at = pos;
    return r;
}

// Text from a weighted alphabet of the characters that matter to the rules,
// with runs and hyphen chains around the limits.
std::string random_text(std::mt19937& rng, std::size_t length) {
    struct Piece {
        const char* text;
        unsigned weight;
    };
    static const Piece alphabet[] = {
        {"a", 30}, {"Q", 6}, {"z", 10}, {"0", 8}, {"7", 6}, {"-", 8}, {" ", 25}, {"\n", 4},
        {".", 5}, {",", 5}, {"\"", 2}, {"\t", 1}, {"\r", 1}, {"\x7F", 1},
        {"\xD0\xB0", 20},                              // а
        {"\xD1\x8F", 8},                               // я
        {"\xD0\x81", 2}, {"\xD1\x91", 2},              // Ё ё
        {"\xD0\x80", 1}, {"\xD1\x90", 1}, {"\xD1\x92", 1}, // Ѐ ѐ ђ: not letters
        {"\xC2\xAB", 2}, {"\xC2\xBB", 2}, {"\xC2\xA0", 2}, {"\xC3\xA9", 2}, // « » nbsp é
        {"\xE2\x80\x94", 2}, {"\xE2\x80\xA6", 2}, {"\xE2\x84\x96", 1}, {"\xE4\xB8\xAD", 1},
        {"\xF0\x9F\x98\x80", 1}, {"\xEF\xBF\xBF", 1},
        {"\x80", 1}, {"\xFF", 1}, {"\xC0\xAF", 1}, {"\xE2\x80", 1}, {"\xED\xA0\x80", 1},
        {"\xF4\x90\x80\x80", 1}, {"\xD0", 1}, {"\xE0\x80\x80", 1},
    };
    unsigned total = 0;
    for (const Piece& piece : alphabet) total += piece.weight;
    std::string s;
    while (s.size() < length) {
        const unsigned r = rng() % 1000;
        if (r < 8) { // a run near TOKEN_MAX_CHARS characters
            static const char* units[] = {"x", "5", "\xD0\x96"};
            const std::string unit = units[rng() % 3];
            for (std::size_t k = 0, count = 40 + rng() % 100; k < count; ++k) s += unit;
        } else if (r < 14) { // a hyphen chain near GROUP_MAX_PIECES pieces
            for (std::size_t k = 0, count = 5 + rng() % 6; k < count; ++k)
                s += (rng() % 2 ? "b" : "\xD0\xB1") + std::string("-");
        } else {
            unsigned w = rng() % total;
            for (const Piece& piece : alphabet) {
                if (w < piece.weight) {
                    s += piece.text;
                    break;
                }
                w -= piece.weight;
            }
        }
    }
    if (rng() % 40 == 0) s += std::string(1, '\0');
    return s;
}

class ScanKernelLevel : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { ASSERT_TRUE(set_scan_level(GetParam())); }
    void TearDown() override { set_scan_level(scan_levels().back()); }
};

TEST_P(ScanKernelLevel, KernelWithScannerMatchesScannerAlone) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 3000; ++round) {
        const std::string s = random_text(rng, rng() % 2001);
        // The whole text as a final range, or a prefix of it that is not.
        const bool final = rng() % 3 != 0;
        const std::size_t n = final ? s.size() : rng() % (s.size() + 1);
        const std::size_t max_spans = rng() % 4 == 0 ? 1 + rng() % 4 : 256;
        const Result want = scalar_alone(s, n, final);
        const Result got = kernel_then_scalar(s, n, final, max_spans);
        ASSERT_EQ(got.stopped_at, want.stopped_at)
            << "round " << round << ", final " << final << ", n " << n << ", from the stop: "
            << tarvelin::testing::escaped(s.substr(std::min(got.stopped_at, want.stopped_at), 48));
        ASSERT_EQ(got.tokens.size(), want.tokens.size()) << "round " << round;
        for (std::size_t i = 0; i < want.tokens.size(); ++i)
            ASSERT_EQ(got.tokens[i], want.tokens[i]) << "round " << round << " token " << i;
    }
}

// The differential test would pass with a kernel that settles nothing, so
// check that the vector levels do take the plain tokens.
TEST_P(ScanKernelLevel, SettlesPlainText) {
    std::string s;
    for (int i = 0; i < 200; ++i) s += "The year 2024, \xD0\xB3\xD0\xBE\xD0\xB4 \xC2\xAB\xD0\x81\xC2\xBB\xE2\x80\xA6\n";
    const Result got = kernel_then_scalar(s, s.size(), true, 100000);
    EXPECT_EQ(got.tokens, scalar_alone(s, s.size(), true).tokens);
    if (GetParam() == "scalar") {
        EXPECT_EQ(got.kernel_bytes, 0u);
        EXPECT_FALSE(scan_kernel_active());
    } else {
        EXPECT_EQ(got.kernel_bytes, s.size());
        EXPECT_TRUE(scan_kernel_active());
    }
}

// Strict decode of well-formed text, the reference for the transcoders.
std::vector<std::uint32_t> decode_all(const std::string& s) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    std::vector<std::uint32_t> cps;
    for (std::size_t i = 0; i < s.size();) {
        DecodedChar c{0, 1};
        EXPECT_EQ(decode_strict(p + i, p + s.size(), c), Utf8Decode::ok);
        cps.push_back(c.code_point);
        i += c.length;
    }
    return cps;
}

// Text for storage of one byte a character (width 1), two (2) or four (4):
// only characters that fit, runs of ASCII now and then, and in four-byte
// storage characters beyond U+FFFF alone or in runs.
std::string random_storage_text(std::mt19937& rng, int width) {
    static const char* narrow_chars[] = {"a", "Z", "9", " ", "-", "\n", "\xC2\xAB", "\xC3\xA9",
                                         "\xC2\xA0", "\xC3\xBF", "\xC2\x80"};
    static const char* wide_chars[] = {"\xD0\xB0", "\xD1\x8F", "\xD0\x81", "\xE2\x80\x94",
                                       "\xE2\x80\xA6", "\xE4\xB8\xAD", "\xEF\xBF\xBF", "\xDF\xBF"};
    static const char* astral_chars[] = {"\xF0\x9F\x98\x80", "\xF0\x90\x80\x80",
                                         "\xF4\x8F\xBF\xBF"};
    std::string s;
    const std::size_t count = rng() % 600;
    const bool ascii_stretches = rng() % 2 == 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (ascii_stretches && rng() % 8 == 0) s += "plain ascii stretch of text ";
        const unsigned r = rng() % 20;
        if (r < 2) s += std::string(1, '\0');
        else if (width == 4 && r < 4)
            for (std::size_t k = 0, run = 1 + rng() % 6 * (rng() % 4 == 0); k < run; ++k)
                s += astral_chars[rng() % std::size(astral_chars)];
        else if (width >= 2 && r < 12) s += wide_chars[rng() % std::size(wide_chars)];
        else s += narrow_chars[rng() % std::size(narrow_chars)];
    }
    return s;
}

// Transcodes s into storage of `Unit`s followed by guard units, which must
// stay as they were; the units must be s's characters.
template <class Unit>
void expect_transcoded(const std::string& s, void (*transcode)(const std::uint8_t*, std::size_t, Unit*),
                       int round) {
    constexpr Unit guard = static_cast<Unit>(0xBEEFBEEFu);
    const std::vector<std::uint32_t> want = decode_all(s);
    std::vector<Unit> out(want.size() + 64, guard);
    transcode(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), out.data());
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(out[i], want[i]) << "round " << round << " char " << i;
    ASSERT_TRUE(std::all_of(out.begin() + want.size(), out.end(),
                            [](Unit u) { return u == guard; }))
        << "round " << round;
}

TEST_P(ScanKernelLevel, TranscodersMatchScalarDecode) {
    std::mt19937 rng(77);
    for (int round = 0; round < 2400; ++round) {
        const int width = 1 << (round % 3);
        const std::string s = random_storage_text(rng, width);
        if (width == 1) expect_transcoded<std::uint8_t>(s, &utf8_to_ucs1, round);
        else if (width == 2) expect_transcoded<std::uint16_t>(s, &utf8_to_ucs2, round);
        else expect_transcoded<std::uint32_t>(s, &utf8_to_ucs4, round);
        if (HasFatalFailure()) return;
    }
}

// The encoders against the scalar one: units of every width class, in
// stretches that keep whole vectors (or runs of them) ASCII, below U+0800, or
// not, in storage of one, two and four bytes.
TEST_P(ScanKernelLevel, EncodersMatchScalarEncoder) {
    std::mt19937 rng(31);
    static const std::uint32_t units[] = {'a',   ' ',   '\0',  0x7F,   0x80,   0xAB,
                                          0xFF,  0x100, 0x410, 0x44F,  0x451,  0x7FF,
                                          0x800, 0x2014, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    constexpr std::uint8_t guard = 0xA5;
    for (int round = 0; round < 3000; ++round) {
        const unsigned width = round % 3 == 0 ? 1 : round % 3 == 1 ? 2 : 4;
        const std::size_t kinds = width == 1 ? 7 : width == 2 ? 15 : std::size(units);
        std::vector<std::uint32_t> u4;
        for (std::size_t i = 0, n = rng() % 300; i < n; ++i) {
            // Long stretches: whole vectors of ASCII units in a row.
            const std::size_t stretch = rng() % 16 == 0  ? 1 + rng() % 150
                                        : rng() % 4 == 0 ? 1 + rng() % 20
                                                         : 1;
            const std::uint32_t u = units[rng() % kinds];
            for (std::size_t k = 0; k < stretch; ++k) u4.push_back(u);
        }
        std::vector<std::uint8_t> want(4 * u4.size() + 1), got(4 * u4.size() + 16, guard);
        std::size_t want_n, got_n;
        if (width == 1) {
            const std::vector<std::uint8_t> u1(u4.begin(), u4.end());
            want_n = units_to_utf8(u1.data(), u1.size(), want.data());
            got_n = ucs1_to_utf8(u1.data(), u1.size(), got.data());
        } else if (width == 2) {
            const std::vector<std::uint16_t> u2(u4.begin(), u4.end());
            want_n = units_to_utf8(u2.data(), u2.size(), want.data());
            got_n = ucs2_to_utf8(u2.data(), u2.size(), got.data());
        } else {
            want_n = units_to_utf8(u4.data(), u4.size(), want.data());
            got_n = ucs4_to_utf8(u4.data(), u4.size(), got.data());
        }
        ASSERT_EQ(got_n, want_n) << "round " << round;
        ASSERT_TRUE(std::equal(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(want_n),
                               got.begin()))
            << "round " << round;
        // Stores may reach past the output, but never past 4 bytes a unit.
        ASSERT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(4 * u4.size() + 1),
                                got.end(), [](std::uint8_t b) { return b == guard; }))
            << "round " << round;
    }
}

// A single surrogate anywhere (vector bodies and tails), or its neighbours
// that are not one, in storage of two and four bytes.
TEST_P(ScanKernelLevel, SurrogatesFoundWherever) {
    for (const std::size_t n : {0u, 1u, 7u, 31u, 64u, 65u, 200u}) {
        for (std::size_t at = 0; at <= n; ++at) {
            for (const std::uint32_t u : {0xD7FFu, 0xD800u, 0xDBFFu, 0xDFFFu, 0xE000u, 0x1D800u}) {
                std::vector<std::uint32_t> u4(n, 0x410);
                if (at < n) u4[at] = u;
                const std::vector<std::uint16_t> u2(u4.begin(), u4.end());
                ASSERT_EQ(ucs4_has_surrogate(u4.data(), n), has_surrogate(u4.data(), n))
                    << n << " " << at << " " << u;
                ASSERT_EQ(ucs2_has_surrogate(u2.data(), n), has_surrogate(u2.data(), n))
                    << n << " " << at << " " << u;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, ScanKernelLevel,
                         ::testing::ValuesIn(std::vector<std::string>(scan_levels().begin(),
                                                                      scan_levels().end())),
                         [](const auto& info) { return info.param; });

TEST(ScanLevels, ScalarFirstBestChosenUnknownRefused) {
    const auto levels = scan_levels();
    ASSERT_GE(levels.size(), 1u);
    EXPECT_STREQ(levels[0], "scalar");
    EXPECT_STREQ(scan_level(), levels.back());
    EXPECT_FALSE(set_scan_level("no-such-level"));
    EXPECT_STREQ(scan_level(), levels.back());
#if defined(__x86_64__)
    const auto has = [&](const char* name) {
        return std::any_of(levels.begin(), levels.end(),
                           [&](const char* l) { return std::string(l) == name; });
    };
    __builtin_cpu_init();
    EXPECT_EQ(has("avx2"), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                               __builtin_cpu_supports("fma"));
    EXPECT_EQ(has("avx512"), __builtin_cpu_supports("avx512bw") &&
                                 __builtin_cpu_supports("avx512vl") &&
                                 __builtin_cpu_supports("avx512dq"));
    // VBMI, VBMI2, VAES, VPCLMULQDQ, VNNI, BITALG, VPOPCNTDQ (CPUID leaf 7, ECX).
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    const bool ice_lake_set = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 &&
                              (ecx & 0x5E42u) == 0x5E42u;
    EXPECT_EQ(has("avx512vbmi2"), has("avx512") && ice_lake_set);
#endif
}

} // namespace
} // namespace tarvelin
