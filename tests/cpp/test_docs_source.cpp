// The tokenizer over many documents: each document gives exactly the tokens
// (and offsets) that the byte-by-byte reference gives for it alone, with its
// index beside each token, whatever the batch size (batches that fill in the
// middle of a document's drain included), from a queue refilled on demand or
// from an Arrow column; and every queued owner is released exactly once.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "simd/levels.hpp"
#include "tokenize_helpers.hpp"
#include "tokenizers/from_docs_tokenizer.hpp"
#include "tokenizers/from_text_tokenizer.hpp"

using namespace tarvelin;
using tarvelin::testing::escaped;

namespace {

struct Tok {
  std::string text;
  std::uint64_t type, offset, doc;
  bool operator==(const Tok &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Tok &t) {
  return os << "{" << escaped(t.text) << " " << t.type << " @" << t.offset
            << " doc " << t.doc << "}";
}

// The tokens of a finished batch; `docs` marks them with their documents.
void collect(const BatchBuffer &b, std::vector<Tok> &out, std::uint64_t doc,
             bool docs) {
  std::vector<std::uint64_t> index(b.token_count, doc);
  if (docs)
    b.docs.expand(index.data(), b.token_count);
  const char *p = reinterpret_cast<const char *>(b.text_buffer);
  for (std::uint64_t i = 0; i < b.token_count; ++i) {
    // Tokens are never empty: a NUL first is the NUL character's token.
    const std::string text = *p == 0 ? std::string(1, '\0') : std::string(p);
    p += text.size() + 1;
    out.push_back(
        {text, b.types_buffer[i], b.offsets ? b.offsets[i] : 0, index[i]});
  }
}

struct Reference : FromTextTokenizer {
  using FromTextTokenizer::mode;
};

// What the byte-by-byte reference gives for each document alone.
std::vector<Tok> reference(const std::vector<std::string> &docs,
                           DecodeErrors errors) {
  std::vector<Tok> out;
  for (std::uint64_t d = 0; d < docs.size(); ++d) {
    Reference t;
    EXPECT_TRUE(t.open(docs[d].data(), docs[d].size()));
    t.mode.use_assembler = t.mode.assembler_only = true;
    t.set_errors(errors);
    t.set_offsets(true);
    do {
      t.next_batch();
      collect(t.batch_buffer(), out, d, false);
    } while (t.batch_buffer().token_count != 0);
  }
  return out;
}

int released = 0;
void count_release(void *owner) noexcept { released += owner != nullptr; }

// Feeds `docs` through the queue, at most `per_fill` at a time, as ASCII
// bytes in place or as units of `unit_size` when they are Latin-1 text.
class QueueFeeder {
public:
  QueueFeeder(FromDocsTokenizer &t, const std::vector<std::string> &docs,
              std::size_t per_fill)
      : t_(t), docs_(docs), per_fill_(per_fill) {}

  // Reads on until the batch is complete, filling the queue when asked.
  void next_batch() {
    for (;;) {
      const ReadResult r = t_.read_some(~std::uint64_t{0});
      if (r == ReadResult::complete)
        return;
      ASSERT_EQ(r, ReadResult::needs_documents);
      fill();
    }
  }

  void fill() {
    DocsSource &q = t_.documents();
    ASSERT_TRUE(q.queue_used_up());
    q.recycle();
    for (std::size_t k = 0; k < per_fill_ && next_ < docs_.size();
         ++k, ++next_) {
      DocRecord *r = q.slot();
      if (r == nullptr)
        break;
      *r = {docs_[next_].data(),
            docs_[next_].size(),
            next_,
            const_cast<std::string *>(&docs_[next_]),
            0,
            false};
      q.push();
    }
    if (next_ == docs_.size())
      q.end_input();
  }

private:
  FromDocsTokenizer &t_;
  const std::vector<std::string> &docs_;
  std::size_t per_fill_;
  std::size_t next_ = 0;
};

std::vector<Tok> read_queue(const std::vector<std::string> &docs,
                            std::uint64_t batch_size, std::size_t per_fill,
                            DecodeErrors errors) {
  FromDocsTokenizer t;
  EXPECT_TRUE(t.open_queue(8, count_release));
  EXPECT_TRUE(t.set_batch_size(batch_size));
  t.set_errors(errors);
  t.set_offsets(true);
  QueueFeeder feed(t, docs, per_fill);
  std::vector<Tok> out;
  do {
    feed.next_batch();
    collect(t.batch_buffer(), out, 0, true);
    EXPECT_LE(t.batch_buffer().token_count, batch_size);
  } while (t.batch_buffer().token_count != 0);
  return out;
}

const char *const PIECES[] = {
    "word", "Слово", "-",    "--",       " ",  "\n",       "12",
    "x",    "\xD0",  "\xFF", "\xE2\x82", "é",  "中",       "😀",
    "\0",   ".,",    "к-во", "-так",     "a-", "\xF0\x9F",
};

std::vector<std::string> random_docs(std::mt19937 &rng, std::size_t n) {
  std::vector<std::string> docs(n);
  for (auto &d : docs) {
    const int pieces = static_cast<int>(rng() % 8);
    for (int i = 0; i < pieces; ++i) {
      if (rng() % 40 == 0)
        d += std::string(300 + rng() % 400, 'a'); // a run over 512 bytes
      const char *p = PIECES[rng() % std::size(PIECES)];
      d.append(p, *p == 0 ? 1 : std::strlen(p));
    }
  }
  return docs;
}

class DocsSourceTest
    : public ::testing::TestWithParam<
          std::tuple<std::uint64_t, const char *, DecodeErrors>> {
protected:
  void SetUp() override {
    ASSERT_TRUE(set_scan_level(std::get<1>(GetParam())));
  }
  void TearDown() override { set_scan_level(scan_levels().back()); }
};

TEST_P(DocsSourceTest, EachDocumentAsAlone) {
  const auto [batch_size, level, errors] = GetParam();
  std::mt19937 rng(
      static_cast<unsigned>(batch_size * 7 + static_cast<unsigned>(errors)));
  for (int round = 0; round < 40 / tarvelin::testing::RANDOM_ROUNDS_DIVISOR;
       ++round) {
    const auto docs = random_docs(rng, 1 + rng() % 30);
    const auto expected = reference(docs, errors);
    released = 0;
    EXPECT_EQ(read_queue(docs, batch_size, 1 + rng() % 9, errors), expected)
        << round;
    EXPECT_EQ(released, static_cast<int>(docs.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, DocsSourceTest,
    ::testing::Combine(::testing::Values(1, 2, 3, 5, 64, 65536),
                       ::testing::Values("scalar", scan_levels().back()),
                       ::testing::Values(DecodeErrors::strict,
                                         DecodeErrors::replace)));

TEST(DocsSource, CompoundsNeverJoinAcrossDocuments) {
  const std::vector<std::string> docs = {"из-", "за",   "",  "к",
                                         "-во", "a-b-", "-c"};
  const auto got = read_queue(docs, 65536, 3, DecodeErrors::strict);
  EXPECT_EQ(got, reference(docs, DecodeErrors::strict));
  std::vector<std::string> texts;
  for (const Tok &t : got)
    texts.push_back(t.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"из-", "за", "к", "-", "во",
                                             "a-b-", "-", "c"}));
}

TEST(DocsSource, PendingReplacementEndsWithItsDocument) {
  // A cut sequence at a document's end is U+FFFD there; the next document
  // starts afresh, its continuation byte a replacement of its own.
  const std::vector<std::string> docs = {"ab\xD0", "\x96x"};
  const auto got = read_queue(docs, 1, 1, DecodeErrors::replace);
  EXPECT_EQ(got, reference(docs, DecodeErrors::replace));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1], (Tok{"\xEF\xBF\xBD", type_value(TokenType::UNKNWN), 2, 0}));
  EXPECT_EQ(got[2].doc, 1u);
}

TEST(DocsSource, EmptyInputAndEmptyDocuments) {
  EXPECT_TRUE(read_queue({}, 3, 4, DecodeErrors::strict).empty());
  EXPECT_TRUE(read_queue({"", "", ""}, 3, 2, DecodeErrors::strict).empty());
  const auto got =
      read_queue({"", "a", "", "", "b"}, 1, 2, DecodeErrors::strict);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].doc, 1u);
  EXPECT_EQ(got[1].doc, 4u);
  EXPECT_EQ(got[1].offset, 0u);
}

TEST(DocsSource, UnitsDocumentsReadLikeTheirUtf8) {
  // "é€😀 x" in units of 1, 2 and 4 bytes, and a document longer than one
  // window.
  const std::vector<std::uint8_t> ucs1 = {0xE9, ' ', 'x'};
  const std::vector<std::uint16_t> ucs2 = {0x20AC, ' ', 'x'};
  std::vector<std::uint32_t> ucs4 = {0x1F600, ' ', 'x'};
  std::vector<std::uint16_t> long_doc(3 * DocsSource::WINDOW_UNITS + 5,
                                      0x0436); // ж
  for (std::size_t i = 0; i < long_doc.size(); i += 100)
    long_doc[i] = ' ';
  std::string long_utf8;
  for (std::uint16_t u : long_doc)
    long_utf8 += u == ' ' ? " " : "\xD0\xB6";

  FromDocsTokenizer t;
  ASSERT_TRUE(t.open_queue(4, count_release));
  ASSERT_TRUE(t.set_batch_size(7));
  t.set_offsets(true);
  DocsSource &q = t.documents();
  *q.slot() = {ucs1.data(), ucs1.size(), 0, nullptr, 1, false};
  q.push();
  *q.slot() = {ucs2.data(), ucs2.size(), 1, nullptr, 2, false};
  q.push();
  *q.slot() = {ucs4.data(), ucs4.size(), 2, nullptr, 4, false};
  q.push();
  *q.slot() = {long_doc.data(), long_doc.size(), 3, nullptr, 2, false};
  q.push();
  q.end_input();
  std::vector<Tok> got;
  do {
    t.next_batch();
    collect(t.batch_buffer(), got, 0, true);
  } while (t.batch_buffer().token_count != 0);
  const auto expected = reference(
      {"\xC3\xA9 x", "\xE2\x82\xAC x", "\xF0\x9F\x98\x80 x", long_utf8},
      DecodeErrors::strict);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(t.position(), 4u + 5u + 6u + long_utf8.size());
  EXPECT_EQ(t.documents_read(), 4u);
}

TEST(DocsSource, CountsAsTheBatchesWouldHold) {
  std::mt19937 rng(5);
  const auto docs = random_docs(rng, 200);
  std::uint64_t expected = 0;
  for (const Tok &t : reference(docs, DecodeErrors::strict))
    ++expected, (void)t;

  FromDocsTokenizer t;
  ASSERT_TRUE(t.open_queue(16, count_release));
  QueueFeeder feed(t, docs, 16);
  TokenCounter counter;
  for (;;) {
    const ReadResult r = t.count_some(counter, 1000);
    if (r == ReadResult::complete)
      break;
    if (r == ReadResult::needs_documents)
      feed.fill();
    else
      ASSERT_EQ(r, ReadResult::paused);
  }
  std::uint64_t total = 0;
  counter.for_each(
      [&](const std::uint8_t *, std::size_t, std::uint64_t n) { total += n; });
  EXPECT_EQ(total, expected);
}

// A column of one "u" array over `docs`.
struct Column {
  std::vector<std::int32_t> offsets{0};
  std::string data;
  std::vector<const void *> buffers;
  ArrowArray array{};
  ArrowSchema schema{};

  explicit Column(const std::vector<std::string> &docs) {
    for (const auto &d : docs) {
      data += d;
      offsets.push_back(static_cast<std::int32_t>(data.size()));
    }
    buffers = {nullptr, offsets.data(), data.data()};
    array.length = static_cast<std::int64_t>(docs.size());
    array.n_buffers = 3;
    array.buffers = buffers.data();
    array.release = [](ArrowArray *a) { a->release = nullptr; };
    schema.format = "u";
    schema.release = [](ArrowSchema *s) { s->release = nullptr; };
  }
};

TEST(DocsSource, ColumnModeReadsEveryDocumentWithoutACaller) {
  std::mt19937 rng(11);
  const auto docs = random_docs(rng, 300);
  Column c(docs);
  auto column = std::make_unique<StringColumn>();
  ASSERT_EQ(column->add_array(&c.schema, &c.array), ColumnStatus::ok);
  FromDocsTokenizer t;
  ASSERT_TRUE(t.open_column(std::move(column)));
  ASSERT_TRUE(t.set_batch_size(13));
  t.set_offsets(true);
  std::vector<Tok> got;
  do {
    ASSERT_EQ(t.read_some(~std::uint64_t{0}), ReadResult::complete);
    collect(t.batch_buffer(), got, 0, true);
  } while (t.batch_buffer().token_count != 0);
  const auto expected = reference(docs, DecodeErrors::strict);
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(got[i], expected[i]) << i;
  EXPECT_EQ(t.documents_read(), docs.size());
  EXPECT_FALSE(FromDocsTokenizer{}.open_column(nullptr));
}

} // namespace
