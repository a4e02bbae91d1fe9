// The batch buffer: accept rule, text layout, storage and resizing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tokenize_helpers.hpp"
#include "tokenizers/batch_buffer.hpp"

using namespace tarvelin;
using namespace tarvelin::testing;

// The resize tests ask for absurd amounts of memory on purpose; under
// AddressSanitizer such a request must fail with null, as malloc does, instead
// of aborting the test.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// 128 four-byte characters: the longest token text, 512 bytes.
std::string repeat_emoji() {
    std::string s;
    for (std::uint64_t i = 0; i < TOKEN_MAX_CHARS; ++i) s += "\xF0\x9F\x98\x80";
    return s;
}

std::string text_of(const BatchBuffer& b) {
    return {reinterpret_cast<const char*>(b.text_buffer), static_cast<std::size_t>(b.text_bytes)};
}

std::vector<std::uint64_t> types_of(const BatchBuffer& b) {
    return {b.types_buffer, b.types_buffer + b.token_count};
}

// A buffer with the default storage, its text storage grown for a full batch
// (tokens are offered to accept() directly here), and an empty batch begun.
std::unique_ptr<BatchBuffer> fresh_buffer() {
    auto b = std::make_unique<BatchBuffer>();
    EXPECT_TRUE(b->allocate());
    EXPECT_TRUE(b->reserve_full());
    b->begin_batch();
    return b;
}

TEST(BatchBuffer, DefaultsAndDefaultStorage) {
    BatchBuffer b;
    EXPECT_EQ(b.batch_size, 65536u);
    EXPECT_EQ(b.token_min_len, 0u);
    EXPECT_EQ(b.token_max_len, 512u);
    EXPECT_EQ(b.filter, U64_MAX);
    EXPECT_EQ(TOKEN_SLOT_BYTES, 513u);
    ASSERT_TRUE(b.allocate());
    EXPECT_EQ(b.text_buffer, nullptr); // all storage grows only as batches need it
    EXPECT_EQ(b.types_buffer, nullptr);
    EXPECT_EQ(b.types_capacity, 0u);
    EXPECT_EQ(b.batch_size, 65536u);
    b.begin_batch();
    EXPECT_EQ(b.text_bytes, 0u);
    EXPECT_EQ(b.token_count, 0u);
    EXPECT_FALSE(b.is_full());
}

TEST(BatchBufferAccept, FilterMaskDecides) {
    auto b = fresh_buffer();
    const auto en = make_token("dog", ENWORD), ru = make_token("кот", RUWORD),
               num = make_token("42", NUMBER), sp = make_token(" ", WRDSPC);

    b->filter = ENWORD | RUWORD; // 20
    EXPECT_EQ(b->filter, 20u);
    for (const Token* t : {en.get(), num.get(), ru.get(), sp.get()}) b->accept(*t);
    EXPECT_EQ(types_of(*b), (std::vector<std::uint64_t>{ENWORD, RUWORD}));
    EXPECT_EQ(text_of(*b), std::string("dog\0кот\0", 11));

    b->begin_batch();
    b->filter = 0;
    for (const Token* t : {en.get(), num.get(), ru.get(), sp.get()}) b->accept(*t);
    EXPECT_EQ(b->token_count, 0u);
    EXPECT_EQ(b->text_bytes, 0u);

    b->begin_batch();
    b->filter = NUMBER;
    for (const Token* t : {en.get(), num.get(), ru.get(), sp.get()}) b->accept(*t);
    EXPECT_EQ(types_of(*b), (std::vector<std::uint64_t>{NUMBER}));
}

TEST(BatchBufferAccept, NotATokenIsRejectedByEveryFilter) {
    auto b = fresh_buffer();
    const auto empty = std::make_unique<Token>(); // all zero: NOTTKN, length 0
    const auto typeless = make_token("abc", NOTTKN);
    b->filter = U64_MAX;
    b->accept(*empty);
    b->accept(*typeless);
    EXPECT_EQ(b->token_count, 0u);
    EXPECT_EQ(b->text_bytes, 0u);
}

TEST(BatchBufferAccept, LengthBoundsAreInclusiveAndCountCharacters) {
    auto b = fresh_buffer();
    b->token_min_len = 3;
    b->token_max_len = 5;
    for (const char* w : {"ab", "abc", "abcd", "abcde", "abcdef"}) b->accept(*make_token(w, ENWORD));
    EXPECT_EQ(text_of(*b), std::string("abc\0abcd\0abcde\0", 15));

    // characters, not bytes: 3 Cyrillic letters are 6 bytes, 2 emoji are 8
    b->begin_batch();
    b->token_min_len = 0;
    b->token_max_len = 3;
    const auto zhuk = make_token("Жук", RUWORD);
    EXPECT_EQ(zhuk->length, 3u);
    b->accept(*zhuk);
    b->accept(*make_token("Жучок", RUWORD));
    EXPECT_EQ(text_of(*b), std::string("Жук\0", 7));

    b->begin_batch();
    b->token_min_len = 3;
    b->token_max_len = 512;
    b->accept(*make_token("😀😀", ENWORD)); // 2 characters, 8 bytes: too short
    EXPECT_EQ(b->token_count, 0u);

    // a minimum above the maximum accepts nothing
    b->begin_batch();
    b->token_min_len = 6;
    b->token_max_len = 5;
    for (const char* w : {"a", "abcde", "abcdef", "abcdefg"}) b->accept(*make_token(w, ENWORD));
    EXPECT_EQ(b->token_count, 0u);
}

TEST(BatchBufferAccept, TextHoldsEachTokenFollowedByNul) {
    // Жук (RUWORD) then one space (WRDSPC). The text is Ж у к NUL space NUL:
    // 6 + 1 + 1 + 1 = 9 bytes.
    auto b = fresh_buffer();
    b->accept(*make_token("Жук", RUWORD));
    b->accept(*make_token(" ", WRDSPC));
    EXPECT_EQ(b->text_bytes, 9u);
    EXPECT_EQ(text_of(*b), std::string("\xD0\x96\xD1\x83\xD0\xBA\0 \0", 9));
    EXPECT_EQ(types_of(*b), (std::vector<std::uint64_t>{16, 1}));
}

TEST(BatchBufferAccept, TokenIsNotModified) {
    auto b = fresh_buffer();
    auto t = make_token("Ёж-1😀", RUWORD);
    auto before = std::make_unique<Token>(*t);
    b->accept(*t);
    EXPECT_EQ(std::memcmp(t.get(), before.get(), sizeof(Token)), 0);
}

TEST(BatchBufferAccept, LongestTokenOfFourByteCharactersFillsExactly513Bytes) {
    BatchBuffer b; // storage for exactly one token, allocated from nothing
    ASSERT_TRUE(b.resize(1));
    ASSERT_TRUE(b.reserve_full());
    b.begin_batch();
    const std::string emoji128 = repeat_emoji();
    const auto t = make_token(emoji128, UNKNWN);
    ASSERT_EQ(t->length, 128u);
    ASSERT_EQ(token_text(*t).size(), 512u);
    b.accept(*t);
    EXPECT_EQ(b.text_bytes, 513u);
    EXPECT_EQ(text_of(b), emoji128 + std::string(1, '\0'));
    EXPECT_TRUE(b.is_full());
}

TEST(BatchBufferAccept, FullBatchOfLongestTokensUsesAllItsRoom) {
    BatchBuffer b;
    ASSERT_TRUE(b.resize(3));
    ASSERT_TRUE(b.reserve_full());
    b.begin_batch();
    const auto t = make_token(repeat_emoji(), ENWORD);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(b.is_full());
        b.accept(*t);
    }
    EXPECT_TRUE(b.is_full());
    EXPECT_EQ(b.text_bytes, 3 * TOKEN_SLOT_BYTES);
    EXPECT_EQ(b.token_count, 3u);
}

TEST(BatchBufferAccept, TextBytesIsTheSumOfTokenBytesPlusOne) {
    auto b = fresh_buffer();
    std::uint64_t want = 0;
    const char* words[] = {"a", "bb", "жжж", "😀", "-", "\n", "x-y"};
    for (int round = 0; round < 100; ++round)
        for (const char* w : words) {
            b->accept(*make_token(w, ENWORD));
            want += std::strlen(w) + 1;
            ASSERT_EQ(b->text_bytes, want);
            ASSERT_LE(b->text_bytes, b->token_count * TOKEN_SLOT_BYTES);
        }
}

// Everything resize() must leave as it was when it fails.
struct Snapshot {
    std::uint8_t* text_buffer;
    std::uint64_t* types_buffer;
    std::uint64_t text_bytes, token_count, batch_size, min, max, filter, types_capacity;
    const TypesBlock* types_block;
    explicit Snapshot(const BatchBuffer& b)
        : text_buffer(b.text_buffer), types_buffer(b.types_buffer), text_bytes(b.text_bytes),
          token_count(b.token_count), batch_size(b.batch_size), min(b.token_min_len),
          max(b.token_max_len), filter(b.filter), types_capacity(b.types_capacity),
          types_block(b.types_block) {}
    bool operator==(const Snapshot&) const = default;
};

class ResizeFailure : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ResizeFailure, ReturnsFalseAndChangesNothing) {
    auto b = fresh_buffer();
    b->accept(*make_token("keep", ENWORD));
    b->accept(*make_token("me", ENWORD));
    const Snapshot before(*b);
    EXPECT_FALSE(b->resize(GetParam()));
    EXPECT_TRUE(Snapshot(*b) == before);
    EXPECT_EQ(text_of(*b), std::string("keep\0me\0", 8));
    EXPECT_EQ(types_of(*b), (std::vector<std::uint64_t>{ENWORD, ENWORD}));
    // and the buffer still works
    ASSERT_TRUE(b->resize(2));
    ASSERT_TRUE(b->reserve_full());
    b->begin_batch();
    b->accept(*make_token("ok", ENWORD));
    EXPECT_EQ(text_of(*b), std::string("ok\0", 3));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ResizeFailure,
    ::testing::Values(U64_MAX,                 // n * 513 overflows
                      U64_MAX / 513 + 1,       // the smallest n whose n * 513 overflows
                      U64_MAX / 513,           // n * 513 fits, but no such memory
                      (U64_MAX - 8) / 513,     //
                      std::uint64_t{1} << 40), // 564 TB of text: memory cannot be had
    [](const ::testing::TestParamInfo<std::uint64_t>& info) {
        switch (info.index) {
        case 0: return std::string("Max");
        case 1: return std::string("JustAboveMaxOver513");
        case 2: return std::string("MaxOver513");
        case 3: return std::string("MaxMinusPaddingOver513");
        default: return std::string("TwoToThe40");
        }
    });

TEST(BatchBufferResize, ToZeroThenPositive) {
    auto b = fresh_buffer();
    const std::uint64_t capacity = b->types_capacity;
    ASSERT_TRUE(b->resize(0));
    ASSERT_TRUE(b->reserve_full());
    EXPECT_EQ(b->batch_size, 0u);
    b->begin_batch();
    EXPECT_TRUE(b->is_full());
    EXPECT_EQ(b->types_capacity, capacity);

    ASSERT_TRUE(b->resize(3));

    ASSERT_TRUE(b->reserve_full());
    EXPECT_EQ(b->batch_size, 3u);
    b->begin_batch();
    const auto t = make_token(repeat_emoji(), UNKNWN);
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(b->is_full());
        b->accept(*t);
    }
    EXPECT_TRUE(b->is_full());
    EXPECT_EQ(b->text_bytes, 3 * TOKEN_SLOT_BYTES);
}

TEST(BatchBufferResize, TypesStorageNeverShrinks) {
    auto b = fresh_buffer();
    std::uint64_t* types = b->types_buffer;
    const std::uint64_t capacity = b->types_capacity;
    for (std::uint64_t n : {1ull, 0ull, 100ull, 65536ull, 7ull}) {
        ASSERT_TRUE(b->resize(n));
        ASSERT_TRUE(b->reserve_full());
        EXPECT_EQ(b->batch_size, n);
        EXPECT_EQ(b->types_buffer, types) << n;
        EXPECT_EQ(b->types_capacity, capacity) << n;
    }
}

TEST(BatchBufferResize, GrowingLetsGoOfTheOldTypesBlockThatItsHoldersKeep) {
    auto b = fresh_buffer();
    b->accept(*make_token("a", ENWORD));
    b->accept(*make_token("б", RUWORD));
    b->accept(*make_token(" ", WRDSPC));
    TypesBlock* first_block = b->types_block;
    first_block->hold(); // as an array made over the batch does
    const std::uint64_t* first = b->types_buffer;

    ASSERT_TRUE(b->resize(3 * DEFAULT_BATCH_SIZE));

    ASSERT_TRUE(b->reserve_full());
    EXPECT_EQ(b->batch_size, 3 * DEFAULT_BATCH_SIZE);
    EXPECT_GE(b->types_capacity, b->batch_size);
    EXPECT_NE(b->types_buffer, first);
    // The open batch moved with the types it has.
    EXPECT_EQ(b->types_buffer[1], RUWORD);
    // The holder still views live memory with its values (under
    // AddressSanitizer a freed block would be reported here).
    EXPECT_FALSE(first_block->held_elsewhere()); // the buffer let go of it
    EXPECT_EQ(first[0], ENWORD);
    EXPECT_EQ(first[1], RUWORD);
    EXPECT_EQ(first[2], WRDSPC);

    // the new storage is usable to its full size
    b->begin_batch();
    const auto t = make_token("x", NUMBER);
    while (!b->is_full()) b->accept(*t);
    EXPECT_EQ(b->token_count, 3 * DEFAULT_BATCH_SIZE);
    EXPECT_EQ(b->text_bytes, 2 * 3 * DEFAULT_BATCH_SIZE);
    EXPECT_EQ(b->types_buffer[b->token_count - 1], NUMBER);

    b->release();
    EXPECT_EQ(b->text_buffer, nullptr);
    EXPECT_EQ(b->types_buffer, nullptr);
    EXPECT_EQ(b->types_block, nullptr);
    EXPECT_EQ(first[1], RUWORD);
    TypesBlock::let_go(first_block); // the last holder frees it
}

TEST(BatchBufferTypes, ABatchBegunUnderAHeldBlockGoesToAnotherAndReusesFreedOnes) {
    auto b = fresh_buffer();
    ASSERT_TRUE(b->resize(4));
    const std::uint64_t made = types_block_counts.made.load();
    std::vector<TypesBlock*> seen;
    TypesBlock* held = nullptr; // what the plain loop keeps: the previous batch
    for (int i = 0; i < 6; ++i) {
        b->begin_batch();
        ASSERT_TRUE(b->reserve_full());
        b->accept(*make_token(i % 2 ? "1" : "a", i % 2 ? NUMBER : ENWORD));
        EXPECT_NE(b->types_block, held) << i;
        if (std::find(seen.begin(), seen.end(), b->types_block) == seen.end())
            seen.push_back(b->types_block);
        b->types_block->hold();
        TypesBlock::let_go(held);
        held = b->types_block;
    }
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(types_block_counts.made.load() - made, 1u);
    EXPECT_EQ(held->entries()[0], NUMBER);
    TypesBlock::let_go(held);

    // Every block held: each batch takes a new one, and the old ones stay
    // as their holders left them.
    std::vector<TypesBlock*> kept;
    for (std::uint64_t i = 0; i < 2 * BatchBuffer::SPARE_TYPES_BLOCKS; ++i) {
        b->begin_batch();
        ASSERT_TRUE(b->reserve_full());
        b->accept(*make_token("x", std::uint64_t{1} << i));
        b->types_block->hold();
        kept.push_back(b->types_block);
    }
    for (std::uint64_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(kept[i]->entries()[0], std::uint64_t{1} << i);
        for (std::uint64_t j = 0; j < i; ++j) EXPECT_NE(kept[i], kept[j]);
    }
    const std::uint64_t live = types_block_counts.live.load();
    b->release();
    for (TypesBlock* k : kept) TypesBlock::let_go(k);
    EXPECT_EQ(live - types_block_counts.live.load(), kept.size());
}

TEST(BatchBufferResize, FromNoStorageAtAll) {
    BatchBuffer b;
    ASSERT_TRUE(b.resize(2));
    ASSERT_TRUE(b.reserve_full());
    b.begin_batch();
    b.accept(*make_token("hi", ENWORD));
    b.accept(*make_token("там", RUWORD));
    EXPECT_TRUE(b.is_full());
    EXPECT_EQ(text_of(b), std::string("hi\0там\0", 10));
    // allocate() afterwards starts over with the default size and no storage
    ASSERT_TRUE(b.allocate());
    EXPECT_EQ(b.batch_size, DEFAULT_BATCH_SIZE);
    EXPECT_EQ(b.types_capacity, 0u);
    EXPECT_EQ(b.types_block, nullptr);
    EXPECT_EQ(std::count(std::begin(b.spare_types), std::end(b.spare_types), nullptr),
              BatchBuffer::SPARE_TYPES_BLOCKS);
}

// Storage that grows with what is read: room_for gives the types (and the
// offsets, while kept) room for every token the slice can make and for what
// the vector outputs store past the last, and a growing block keeps the open
// batch's entries.
TEST(BatchBufferGrowth, TypesAndOffsetsGrowWithTheSliceAndKeepTheOpenBatch) {
    BatchBuffer b;
    ASSERT_TRUE(b.allocate());
    ASSERT_TRUE(b.keep_offsets(true));
    b.begin_batch();
    ASSERT_EQ(b.room_for(54), 54u);
    const std::uint64_t small = b.types_capacity;
    EXPECT_GE(small, 54 + TYPES_SLACK);
    EXPECT_LT(small, 4096u); // a short slice reserves a few kilobytes, not a full batch
    EXPECT_GE(b.offsets_capacity, small);
    EXPECT_LT(b.text_capacity, 64u * 1024);
    std::uint64_t pos = 0;
    {
        BatchAppender out(b, pos);
        for (int i = 0; i < 40; ++i) out.take_ascii(i % 2 ? ' ' : '.', i % 2 ? WRDSPC : PNCTTN);
    }
    const std::uint64_t* before = b.types_buffer;
    ASSERT_EQ(b.room_for(1 << 20), 1u << 16); // one step of text at a time
    EXPECT_NE(b.types_buffer, before);
    EXPECT_EQ(b.types_capacity, b.batch_size); // capped by the batch size
    EXPECT_EQ(b.offsets_capacity, b.batch_size);
    for (std::uint64_t i = 0; i < 40; ++i) {
        EXPECT_EQ(b.types_buffer[i], i % 2 ? WRDSPC : PNCTTN) << i;
        EXPECT_EQ(b.offsets[i], i) << i;
    }
    EXPECT_EQ(text_of(b).substr(0, 4), std::string(".\0 \0", 4));
}

TEST(BatchBufferGrowth, CapacityNeverExceedsTheBatchSize) {
    BatchBuffer b;
    ASSERT_TRUE(b.resize(5));
    b.begin_batch();
    EXPECT_EQ(b.room_for(1000), 1000u);
    EXPECT_EQ(b.types_capacity, 5u);
    ASSERT_TRUE(b.resize(0));
    b.begin_batch();
    EXPECT_TRUE(b.is_full());
    EXPECT_GT(b.room_for(10), 0u);
    EXPECT_NE(b.types_buffer, nullptr);
}

// A batch begun while an array views a small block, with spares of
// differing capacities: it never writes into a viewed block, and a spare
// that is too small is grown as the batch needs.
TEST(BatchBufferGrowth, SparesOfDifferingCapacitiesAreGrownNotOverrun) {
    BatchBuffer b;
    ASSERT_TRUE(b.allocate());
    b.begin_batch();
    ASSERT_GT(b.room_for(10), 0u);
    TypesBlock* small = b.types_block; // viewed, as by an array of a short batch
    small->hold();
    b.begin_batch();
    ASSERT_EQ(b.room_for(1 << 20), 1u << 16);
    TypesBlock* large = b.types_block;
    EXPECT_NE(large, small);
    EXPECT_EQ(large->capacity, b.batch_size);
    TypesBlock::let_go(small); // the array goes: the small block is a spare again
    large->hold();             // and the large one is viewed
    b.begin_batch();
    EXPECT_EQ(b.types_block, small);
    ASSERT_EQ(b.room_for(1 << 20), 1u << 16);
    EXPECT_NE(b.types_block, small); // replaced by a larger block
    EXPECT_NE(b.types_block, large);
    EXPECT_EQ(b.types_capacity, b.batch_size);
    std::uint64_t pos = 0;
    {
        BatchAppender out(b, pos);
        while (!out.full()) out.take_ascii('x', ENWORD);
    }
    EXPECT_EQ(b.token_count, b.batch_size);
    TypesBlock::let_go(large);
}

} // namespace
