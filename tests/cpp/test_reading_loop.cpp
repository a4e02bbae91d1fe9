// The reading loop read_batch, through the text tokenizer
// (TextSource) and the file tokenizer (FileSource).
#include <gtest/gtest.h>

#include <cerrno>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "tokenize_helpers.hpp"
#include "tokenizers/from_file_tokenizer.hpp"
#include "tokenizers/from_text_tokenizer.hpp"

using namespace tarvelin;
using namespace tarvelin::testing;

namespace {

// The tokenizers with their reading state opened up for inspection.
struct TextTokenizer : FromTextTokenizer {
    using Tokenizer<TextSource>::assembler;
    using Tokenizer<TextSource>::drain_steps;
    using Tokenizer<TextSource>::source;
};

struct FileTokenizer : FromFileTokenizer {
    using Tokenizer<FileSource>::drain_steps;
    using Tokenizer<FileSource>::source;
};

std::unique_ptr<TextTokenizer> text_tokenizer(const std::string& text) {
    auto t = std::make_unique<TextTokenizer>();
    EXPECT_TRUE(t->open(text.data(), text.size()));
    return t;
}

// A file in the test's temporary directory, removed at the end of the test.
class TempFile {
  public:
    explicit TempFile(const std::string& contents) {
        std::string pattern = ::testing::TempDir() + "tarvelin_reading_loop_XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        EXPECT_GE(fd, 0);
        path_ = pattern;
        std::FILE* f = ::fdopen(fd, "wb");
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), f), contents.size());
        std::fclose(f);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::unique_ptr<FileTokenizer> file_tokenizer(const std::string& path) {
    auto t = std::make_unique<FileTokenizer>();
    EXPECT_TRUE(t->open(path.data(), path.size()));
    return t;
}

struct Batch {
    std::string text;
    std::vector<std::uint64_t> types;
    bool operator==(const Batch&) const = default;
};

void PrintTo(const Batch& b, std::ostream* os) {
    *os << "{\"" << escaped(b.text) << "\", " << ::testing::PrintToString(b.types) << "}";
}

// Whether a decoded character is well-formed UTF-8: its bytes are the
// shortest encoding of a scalar value.
bool well_formed(const Utf8Char& c) {
    const std::uint32_t cp = c.code_point;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    const std::uint64_t shortest = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (c.length != shortest) return false;
    for (std::uint64_t i = 1; i < c.length; ++i)
        if ((c.bytes[i] & 0xC0) != 0x80) return false;
    return true;
}

// The smallest str kind that holds code point cp: 0 ASCII, 1 Latin-1, 2 BMP,
// 3 all of Unicode.
int str_kind(std::uint32_t cp) { return cp < 0x80 ? 0 : cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 3; }

// The batch also counts the characters of its text (NUL separators included),
// keeps a value from which the str kind is chosen, and whether a character is
// not well-formed; the batch dictionary builds its str from them. A str must be
// built with its smallest kind, so that value must give the kind of the largest
// code point.
void expect_char_count_and_kind_match_text(const BatchBuffer& b) {
    const std::string text(reinterpret_cast<const char*>(b.text_buffer), b.text_bytes);
    const std::vector<Utf8Char> chars = decode(text);
    std::uint32_t max_cp = 0;
    bool malformed = false;
    for (const Utf8Char& c : chars) {
        max_cp = std::max(max_cp, c.code_point);
        malformed |= !well_formed(c);
    }
    ASSERT_EQ(b.text_chars, chars.size()) << escaped(text);
    EXPECT_EQ(b.malformed, malformed) << escaped(text);
    if (!malformed) {
        EXPECT_EQ(str_kind(b.char_bits), str_kind(max_cp))
            << escaped(text) << ": char_bits " << b.char_bits << ", largest code point " << max_cp;
    }
}

template <class T> Batch next(T& tok) {
    tok.next_batch();
    const BatchBuffer& b = tok.batch_buffer();
    expect_char_count_and_kind_match_text(b);
    return {std::string(reinterpret_cast<const char*>(b.text_buffer), b.text_bytes),
            std::vector<std::uint64_t>(b.types_buffer, b.types_buffer + b.token_count)};
}

// Batch from token texts and types; each text is followed by NUL.
Batch batch(std::initializer_list<std::pair<std::string, std::uint64_t>> tokens) {
    Batch b;
    for (const auto& [text, type] : tokens) {
        b.text += text;
        b.text += '\0';
        b.types.push_back(type);
    }
    return b;
}

// All batches up to the first empty one (which is not included); then checks
// that further calls stay empty.
template <class T> std::vector<Batch> all_batches(T& tok, std::size_t limit = 1000000) {
    std::vector<Batch> out;
    for (std::size_t i = 0; i < limit; ++i) {
        Batch b = next(tok);
        if (b.types.empty()) {
            EXPECT_TRUE(b.text.empty());
            for (int k = 0; k < 3; ++k) EXPECT_TRUE(next(tok).types.empty()) << "after the end";
            return out;
        }
        out.push_back(std::move(b));
    }
    ADD_FAILURE() << "no empty batch after " << limit << " calls";
    return out;
}

Batch concatenated(const std::vector<Batch>& batches) {
    Batch all;
    for (const Batch& b : batches) {
        all.text += b.text;
        all.types.insert(all.types.end(), b.types.begin(), b.types.end());
    }
    return all;
}

// Checks the batches of one batch size against the one unlimited batch.
void expect_same_as_unlimited(const std::vector<Batch>& batches, std::uint64_t n,
                              const Batch& unlimited, const std::string& what) {
    EXPECT_EQ(concatenated(batches), unlimited) << what << ", batch size " << n;
    for (std::size_t i = 0; i < batches.size(); ++i) {
        EXPECT_LE(batches[i].types.size(), n) << what << ", batch " << i;
        // with every token accepted, only the last batch may have room left
        if (i + 1 < batches.size()) {
            EXPECT_EQ(batches[i].types.size(), n) << what << ", batch " << i << " of size " << n;
        }
    }
}

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

const std::vector<std::string>& sample_texts() {
    static const std::vector<std::string> texts = {
        "",
        "a",
        "a b c",
        "ab. cd",
        "hello",
        "well-known",
        "well-",
        "-",
        "word ",
        "covid-19 is well-known; a--b -5 x-y-z 2023-01-01 1-й",
        "Москва-река — столица. Ёлка-ёжик, «ёж» № 5…\nНовая строка\n",
        "😀a😀-b𝄞𝄞 cd-😀 中文 ж😀ж",
        // malformed bytes: a dropped lead byte, stray continuation bytes
        // (more than fit), an incomplete character, an overlong form, a value
        // above U+10FFFF and a trailing incomplete character
        std::string("\xD0" "ab\x80\x80\x80\x80\x80" "c \xE2\x80 \xF7\xBF\xBF\xBF" "d\xC0\x80"
                    "e\xFF\xFE-f \xF0\x9F\x98"),
        repeat("a", 130) + " " + repeat("7", 300) + "-" + repeat("я", 129),
        "1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16-17-18 " + repeat("b", 100) + "-" + repeat("c", 100),
        std::string("nul\0in\0text\0", 12),
    };
    return texts;
}

std::string text_case_name(std::size_t i) { return "text #" + std::to_string(i); }

// ---------------------------------------------------------------------------
// Documented cases

TEST(ReadingLoop, ABCWithBatchSize2DeliversC) {
    auto tok = text_tokenizer("a b c");
    ASSERT_TRUE(tok->set_batch_size(2));
    EXPECT_EQ(next(*tok), batch({{"a", ENWORD}, {" ", WRDSPC}}));
    EXPECT_EQ(next(*tok), batch({{"b", ENWORD}, {" ", WRDSPC}}));
    EXPECT_EQ(next(*tok), batch({{"c", ENWORD}})); // not lost at the end of the input
    for (int i = 0; i < 5; ++i) EXPECT_EQ(next(*tok), Batch{});
    EXPECT_EQ(unsigned{tok->drain_steps}, 2u);
    EXPECT_EQ(tok->source.read_pos, 5u);
}

TEST(ReadingLoop, DrainLeftIncompleteIsResumedByTheNextCall) {
    // At the end of the input the assembler holds two tokens: "c" and the
    // overlong form C0 80 (a character of its own). With batch size 1 the
    // first drain step fills the batch; the second is made by the next call.
    auto tok = text_tokenizer("a b c\xC0\x80");
    ASSERT_TRUE(tok->set_batch_size(1));
    EXPECT_EQ(next(*tok), batch({{"a", ENWORD}}));
    EXPECT_EQ(next(*tok), batch({{" ", WRDSPC}}));
    EXPECT_EQ(next(*tok), batch({{"b", ENWORD}}));
    EXPECT_EQ(next(*tok), batch({{" ", WRDSPC}}));
    EXPECT_EQ(next(*tok), batch({{"c", ENWORD}}));
    EXPECT_EQ(unsigned{tok->drain_steps}, 1u);
    // no drain step while the batch has no room
    ASSERT_TRUE(tok->set_batch_size(0));
    EXPECT_EQ(next(*tok), Batch{});
    EXPECT_EQ(unsigned{tok->drain_steps}, 1u);
    ASSERT_TRUE(tok->set_batch_size(1));
    EXPECT_EQ(next(*tok), batch({{"\xC0\x80", UNKNWN}}));
    EXPECT_EQ(unsigned{tok->drain_steps}, 2u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next(*tok), Batch{});
}

TEST(ReadingLoop, BatchSize2StopsBeforeTheNextByte) {
    // "ab. cd" with batch size 2.
    auto tok = text_tokenizer("ab. cd");
    ASSERT_TRUE(tok->set_batch_size(2));
    EXPECT_EQ(next(*tok), batch({{"ab", ENWORD}, {".", PNCTTN}}));
    // "d" is still unread (a byte-by-byte reader stops after "c"; the scanner
    // stops earlier, which gives the same batches)
    EXPECT_GE(tok->source.read_pos, 3u);
    EXPECT_LE(tok->source.read_pos, 5u);
    EXPECT_EQ(next(*tok), batch({{" ", WRDSPC}, {"cd", ENWORD}}));
    EXPECT_EQ(tok->source.read_pos, 6u);
    EXPECT_EQ(next(*tok), Batch{});
}

TEST(ReadingLoop, LastTokenComesFromTheDrain) {
    auto tok = text_tokenizer("hello");
    EXPECT_EQ(next(*tok), batch({{"hello", ENWORD}}));
    EXPECT_EQ(next(*tok), Batch{});
    auto wk = text_tokenizer("well-known");
    EXPECT_EQ(next(*wk), batch({{"well-known", ENWORD}}));
}

TEST(ReadingLoop, ExampleOfTheOverview) {
    auto tok = text_tokenizer("ab cd");
    EXPECT_EQ(next(*tok), batch({{"ab", ENWORD}, {" ", WRDSPC}, {"cd", ENWORD}}));
    EXPECT_EQ(next(*tok), Batch{});
}

TEST(ReadingLoop, EmptyTextGivesOnlyEmptyBatches) {
    auto tok = text_tokenizer("");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(next(*tok), Batch{});
}

TEST(ReadingLoop, BatchSizeZeroReadsNothingThenAPositiveSizeContinues) {
    for (std::size_t i = 0; i < sample_texts().size(); ++i) {
        const std::string& text = sample_texts()[i];
        auto unlimited = text_tokenizer(text);
        const Batch want = concatenated(all_batches(*unlimited));

        auto tok = text_tokenizer(text);
        ASSERT_TRUE(tok->set_batch_size(0));
        for (int k = 0; k < 3; ++k) EXPECT_EQ(next(*tok), Batch{}) << text_case_name(i);
        EXPECT_EQ(tok->source.read_pos, 0u) << text_case_name(i);
        EXPECT_EQ(unsigned{tok->drain_steps}, 0u) << text_case_name(i);
        ASSERT_TRUE(tok->set_batch_size(3));
        expect_same_as_unlimited(all_batches(*tok), 3, want, text_case_name(i));
    }
}

TEST(ReadingLoop, BatchSizeZeroBetweenBatches) {
    auto tok = text_tokenizer("a b c");
    ASSERT_TRUE(tok->set_batch_size(2));
    next(*tok);
    next(*tok);
    const std::uint64_t pos = tok->source.read_pos;
    const unsigned steps = tok->drain_steps;
    ASSERT_TRUE(tok->set_batch_size(0));
    EXPECT_EQ(next(*tok), Batch{});
    EXPECT_EQ(tok->source.read_pos, pos);
    EXPECT_EQ(unsigned{tok->drain_steps}, steps);
    ASSERT_TRUE(tok->set_batch_size(5));
    EXPECT_EQ(next(*tok), batch({{"c", ENWORD}}));
    EXPECT_EQ(next(*tok), Batch{});
}

TEST(ReadingLoop, FilterThatRejectsAllReadsEverything) {
    const std::string text = "covid-19 is well-known";
    auto tok = text_tokenizer(text);
    tok->set_filter(0);
    EXPECT_EQ(next(*tok), Batch{});
    EXPECT_EQ(tok->source.read_pos, text.size());
    EXPECT_EQ(unsigned{tok->drain_steps}, 2u);
    tok->set_filter(~std::uint64_t{0});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next(*tok), Batch{}); // exhausted
}

TEST(ReadingLoop, SettingsActOnTheNextBatchWithoutLosingPosition) {
    auto tok = text_tokenizer("one two three four five six");
    ASSERT_TRUE(tok->set_batch_size(2));
    EXPECT_EQ(next(*tok), batch({{"one", ENWORD}, {" ", WRDSPC}}));
    tok->set_filter(ENWORD);
    EXPECT_EQ(next(*tok), batch({{"two", ENWORD}, {"three", ENWORD}}));
    tok->set_token_min_len(5);
    tok->set_filter(~std::uint64_t{0});
    ASSERT_TRUE(tok->set_batch_size(10));
    EXPECT_EQ(next(*tok), Batch{}); // "four", " ", "five", " ", "six" are all too short
    EXPECT_EQ(next(*tok), Batch{});
}

TEST(ReadingLoop, LengthBoundsApplyToCompletedTokens) {
    auto tok = text_tokenizer("Жук ел жучка.");
    tok->set_token_min_len(3);
    tok->set_token_max_len(3);
    EXPECT_EQ(next(*tok), batch({{"Жук", RUWORD}}));
}

// ---------------------------------------------------------------------------
// All batches together equal one unlimited batch, for every batch size >= 1.

class TextBatchSizes : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(TextBatchSizes, BatchesJoinToTheUnlimitedBatch) {
    const std::uint64_t n = GetParam();
    for (std::size_t i = 0; i < sample_texts().size(); ++i) {
        const std::string& text = sample_texts()[i];
        auto unlimited = text_tokenizer(text);
        const std::vector<Batch> one = all_batches(*unlimited);
        ASSERT_LE(one.size(), 1u);
        const Batch want = concatenated(one);
        // every token has its NUL
        EXPECT_EQ(static_cast<std::size_t>(std::count(want.text.begin(), want.text.end(), '\0')),
                  want.types.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\0')))
            << text_case_name(i);

        auto tok = text_tokenizer(text);
        ASSERT_TRUE(tok->set_batch_size(n));
        expect_same_as_unlimited(all_batches(*tok), n, want, text_case_name(i));
        EXPECT_EQ(tok->source.read_pos, text.size());
        EXPECT_EQ(unsigned{tok->drain_steps}, 2u);
    }
}

TEST_P(TextBatchSizes, UnlimitedBatchIsTheAssemblersOutput) {
    // The unlimited batch holds exactly the tokens that Utf8Char and the
    // assembler make of the text, with their NULs.
    for (std::size_t i = 0; i < sample_texts().size(); ++i) {
        const std::string& text = sample_texts()[i];
        Batch want;
        for (const Tok& t : assemble(text).tokens) {
            want.text += t.text;
            want.text += '\0';
            want.types.push_back(t.type);
        }
        auto tok = text_tokenizer(text);
        ASSERT_TRUE(tok->set_batch_size(GetParam()));
        EXPECT_EQ(concatenated(all_batches(*tok)), want) << text_case_name(i);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TextBatchSizes, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u),
                         [](const ::testing::TestParamInfo<std::uint64_t>& info) {
                             return "BatchSize" + std::to_string(info.param);
                         });

// ---------------------------------------------------------------------------
// The file tokenizer runs the same loop over a file.

class FileBatchSizes : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(FileBatchSizes, FileGivesTheSameBatchesAsTheText) {
    const std::uint64_t n = GetParam();
    for (std::size_t i = 0; i < sample_texts().size(); ++i) {
        const std::string& text = sample_texts()[i];
        auto unlimited = text_tokenizer(text);
        const Batch want = concatenated(all_batches(*unlimited));

        TempFile file(text);
        auto tok = file_tokenizer(file.path());
        ASSERT_TRUE(tok->is_fopen());
        ASSERT_TRUE(tok->set_batch_size(n));
        const std::vector<Batch> got = all_batches(*tok);
        expect_same_as_unlimited(got, n, want, text_case_name(i) + " from a file");

        // batch for batch the same as the text tokenizer
        auto same = text_tokenizer(text);
        ASSERT_TRUE(same->set_batch_size(n));
        EXPECT_EQ(got, all_batches(*same)) << text_case_name(i);
        EXPECT_TRUE(tok->is_fopen()); // stays open after its end
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileBatchSizes, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u),
                         [](const ::testing::TestParamInfo<std::uint64_t>& info) {
                             return "BatchSize" + std::to_string(info.param);
                         });

TEST(FileReadingLoop, FileLongerThanOneReadAheadBlock) {
    // Multi-byte characters and tokens straddle the 64 KiB read-ahead blocks.
    std::string text = "x";
    while (text.size() < 3 * FILE_READ_AHEAD + 1000)
        text += "жёлтый-квас 😀 well-known\n" + repeat("ё", 131) + "-" + repeat("9", 7) + " ";
    text += "end";
    auto unlimited = text_tokenizer(text);
    const Batch want = concatenated(all_batches(*unlimited));
    ASSERT_EQ(joined(assemble(text).tokens), text);

    TempFile file(text);
    for (std::uint64_t n : {1u, 7u, 4096u, 65536u}) {
        auto tok = file_tokenizer(file.path());
        ASSERT_TRUE(tok->set_batch_size(n));
        expect_same_as_unlimited(all_batches(*tok), n, want, "long file");
    }
}

TEST(FileReadingLoop, FileOfExactlyOneReadAheadBlock) {
    const std::string text = repeat("ab ", FILE_READ_AHEAD / 3) + repeat("c", FILE_READ_AHEAD % 3);
    ASSERT_EQ(text.size(), FILE_READ_AHEAD);
    auto unlimited = text_tokenizer(text);
    const Batch want = concatenated(all_batches(*unlimited));
    TempFile file(text);
    for (std::uint64_t n : {1u, 2u, 3u, 65536u}) {
        auto tok = file_tokenizer(file.path());
        ASSERT_TRUE(tok->set_batch_size(n));
        expect_same_as_unlimited(all_batches(*tok), n, want, "one-block file");
    }
}

TEST(FileReadingLoop, ABCWithBatchSize2DeliversC) {
    TempFile file("a b c");
    auto tok = file_tokenizer(file.path());
    ASSERT_TRUE(tok->set_batch_size(2));
    EXPECT_EQ(next(*tok), batch({{"a", ENWORD}, {" ", WRDSPC}}));
    EXPECT_EQ(next(*tok), batch({{"b", ENWORD}, {" ", WRDSPC}}));
    EXPECT_EQ(next(*tok), batch({{"c", ENWORD}}));
    EXPECT_EQ(next(*tok), Batch{});
}

TEST(FileReadingLoop, BatchSizeZeroThenPositiveAndRejectingFilter) {
    TempFile file("ab. cd");
    auto tok = file_tokenizer(file.path());
    ASSERT_TRUE(tok->set_batch_size(0));
    EXPECT_EQ(next(*tok), Batch{});
    EXPECT_EQ(unsigned{tok->drain_steps}, 0u);
    ASSERT_TRUE(tok->set_batch_size(2));
    EXPECT_EQ(next(*tok), batch({{"ab", ENWORD}, {".", PNCTTN}}));
    tok->set_filter(0);
    EXPECT_EQ(next(*tok), Batch{});
    EXPECT_EQ(unsigned{tok->drain_steps}, 2u);
    tok->set_filter(~std::uint64_t{0});
    EXPECT_EQ(next(*tok), Batch{});
}

TEST(FileReadingLoop, EmptyFile) {
    TempFile file("");
    auto tok = file_tokenizer(file.path());
    EXPECT_TRUE(tok->is_fopen());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next(*tok), Batch{});
}

TEST(FileReadingLoop, MissingFileIsNotOpenAndGivesNothing) {
    const std::string path = ::testing::TempDir() + "tarvelin_no_such_dir/no_such_file.txt";
    auto tok = file_tokenizer(path); // open() succeeds: a missing file is not an error
    EXPECT_FALSE(tok->is_fopen());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next(*tok), Batch{});
}

TEST(FileReadingLoop, DirectoryOpensNothing) {
    auto tok = file_tokenizer(::testing::TempDir());
    EXPECT_FALSE(tok->is_fopen());
    EXPECT_EQ(next(*tok), Batch{});
}

TEST(FileReadingLoop, ReadErrorIsReportedOnceThenTheInputHasEnded) {
    // Reading a process's memory file from its start fails with EIO.
    auto tok = file_tokenizer("/proc/self/mem");
    ASSERT_TRUE(tok->is_fopen());
    EXPECT_EQ(tok->read_some(~0ull), ReadResult::read_error);
    EXPECT_EQ(tok->read_error_code(), EIO);
    EXPECT_TRUE(tok->batch_open());
    EXPECT_EQ(tok->read_some(~0ull), ReadResult::complete);
    EXPECT_EQ(tok->batch_buffer().token_count, 0u);
    EXPECT_EQ(tok->read_some(~0ull), ReadResult::complete);
}

TEST(FileReadingLoop, PathWithNulOpensNothing) {
    TempFile file("abc");
    const std::string path = file.path() + std::string("\0.txt", 5);
    auto tok = std::make_unique<FileTokenizer>();
    EXPECT_TRUE(tok->open(path.data(), path.size()));
    EXPECT_FALSE(tok->is_fopen());
    EXPECT_EQ(next(*tok), Batch{});
    // the same path without the NUL part opens
    auto ok = file_tokenizer(file.path());
    EXPECT_TRUE(ok->is_fopen());
    EXPECT_EQ(next(*ok), batch({{"abc", ENWORD}}));
}

// ---------------------------------------------------------------------------
// Random texts, malformed bytes included: for every batch size the batches of
// both tokenizers join to what Utf8Char and the assembler make of the text.

Batch assembler_batch(const std::string& text) {
    Batch want;
    for (const Tok& t : assemble(text).tokens) {
        want.text += t.text;
        want.text += '\0';
        want.types.push_back(t.type);
    }
    return want;
}

std::string random_text(std::mt19937& rng, int max_pieces) {
    static const std::vector<std::string> pieces = {
        "a", "b", "Q", "1", "0", "ж", "Ё", "-", "-", " ", " ", "\n", ".", "😀", "é", "\u2013",
        "\t", "\u00A0", "№", std::string(1, '\0'),
        // malformed: stray continuation bytes, a lone lead byte, an incomplete
        // sequence, an overlong form, a surrogate, a value above U+10FFFF, bytes
        // that are never lead bytes
        "\x80", "\xBF\xBF\xBF\xBF\xBF", "\xD0", "\xE2\x80", "\xC0\x80", "\xC1\x81",
        "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xFF", "\xE2\x80\xFF",
    };
    std::string text;
    const int n = std::uniform_int_distribution<int>(0, max_pieces)(rng);
    for (int i = 0; i < n; ++i) {
        const std::string& p =
            pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
        const int times = std::uniform_int_distribution<int>(0, 12)(rng) == 0
                              ? std::uniform_int_distribution<int>(1, 150)(rng)
                              : 1;
        text += repeat(p, static_cast<std::size_t>(times));
    }
    return text;
}

TEST(ReadingLoopRandom, TextBatchesJoinToTheAssemblersOutput) {
    std::mt19937 rng(7001);
    for (int round = 0; round < 1500 / RANDOM_ROUNDS_DIVISOR; ++round) {
        const std::string text = random_text(rng, 40);
        const Batch want = assembler_batch(text);
        for (std::uint64_t n : {1u, 2u, 3u, 5u, 8u, 65536u}) {
            auto tok = text_tokenizer(text);
            ASSERT_TRUE(tok->set_batch_size(n));
            const std::vector<Batch> got = all_batches(*tok);
            expect_same_as_unlimited(got, n, want, "round " + std::to_string(round));
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "text: \"" << escaped(text) << "\"";
                return;
            }
        }
    }
}

TEST(ReadingLoopRandom, FileBatchesJoinToTheAssemblersOutput) {
    std::mt19937 rng(7002);
    for (int round = 0; round < 200 / RANDOM_ROUNDS_DIVISOR; ++round) {
        const std::string text = random_text(rng, 40);
        const Batch want = assembler_batch(text);
        TempFile file(text);
        for (std::uint64_t n : {1u, 3u, 65536u}) {
            auto tok = file_tokenizer(file.path());
            ASSERT_TRUE(tok->set_batch_size(n));
            expect_same_as_unlimited(all_batches(*tok), n, want, "round " + std::to_string(round));
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "text: \"" << escaped(text) << "\"";
                return;
            }
        }
    }
}

TEST(FileReadingLoop, TokensAcrossTheReadAheadBoundary) {
    // The file is read in blocks of FILE_READ_AHEAD bytes: put tricky text at
    // every offset around the end of the first block.
    const std::vector<std::string> snippets = {
        "ab-cd жё-1 😀😀 x", "1-2-3-4-5-6-7-8-9 ", "well-\nknown", repeat("я", 130) + "-b",
        "\xE2\x80\xA6\xC0\x80\x80\x80\x80\x80z", "\xF0\x9F\x98\x80-\xD0\x96-",
    };
    for (const std::string& snippet : snippets)
        for (std::size_t k = 0; k <= 9; k += RANDOM_ROUNDS_DIVISOR == 1 ? 1 : 3) {
            std::string text = repeat("pad ", FILE_READ_AHEAD / 4 + 1);
            text.resize(FILE_READ_AHEAD - k);
            text += snippet;
            text += " tail";
            const Batch want = assembler_batch(text);
            TempFile file(text);
            for (std::uint64_t n : {7u, 65536u}) {
                auto tok = file_tokenizer(file.path());
                ASSERT_TRUE(tok->set_batch_size(n));
                expect_same_as_unlimited(all_batches(*tok), n, want,
                                         "snippet \"" + escaped(snippet) + "\" at " +
                                             std::to_string(FILE_READ_AHEAD - k));
            }
            if (::testing::Test::HasFailure()) return;
        }
}


} // namespace
