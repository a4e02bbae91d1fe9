// libFuzzer target for the reading loop: decoding, assembly and batching.
//
// The first HEADER_BYTES bytes of an input choose the settings; the rest is the
// text. The text is tokenized twice: once with the chosen settings (batch
// size, filter, length bounds, a batch-size change after a few batches, and
// the byte source), and once as one unlimited batch that keeps every token. The byte sources are the in-memory text, a
// file (in memory, through a descriptor) and a source that offers the text in
// small windows, as a file read block by block does. Checked on every input:
//
// - no batch holds more tokens than its batch size; a batch size of 0 reads
//   nothing;
// - every token has a single-bit kind, 1..128 characters, passes the filter
//   and the bounds, and is laid out in the text as its characters and one NUL,
//   so the text's byte count is exactly accounted for; the batch's count of
//   characters and the str storage class it keeps match its text;
// - a word token holds word characters and single hyphens only, starts with a
//   character of its own kind, and joins at most 16 pieces;
// - the unlimited run gives exactly the tokens of the byte-by-byte assembler
//   path (the reference of the scanner and the vector kernel);
// - the batches, taken together, hold exactly the unlimited run's tokens that
//   pass the settings, and the stream ends with an empty batch;
// - when the text is well-formed UTF-8, the unlimited run's tokens joined give
//   back the text;
// - counting (count_some) gives the counts of the batches' tokens;
// - in documents mode (a header bit), the text cut at each 0x1E byte is read
//   as documents through a small queue refilled on demand (each document as
//   bytes, or as units of 1, 2 or 4 bytes when it is well-formed): the
//   batches hold exactly each document's own reference tokens that pass, one
//   document after the other, each with its document's index, and counting
//   gives their counts.
//
// The vector kernel runs at the level TARVELIN_SCAN_LEVEL names (see
// LLVMFuzzerInitialize).
//
// Build and run: `make fuzz` (FUZZ_SECONDS sets the duration); `make
// fuzz-levels` runs it at every level this machine has.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "classify/char_class.hpp"
#include "classify/utf8_char.hpp"
#include "counting/token_counter.hpp"
#include "simd/scan_kernel.hpp"
#include "tokenizers/batch_buffer.hpp"
#include "tokenizers/docs_source.hpp"
#include "tokenizers/file_source.hpp"
#include "tokenizers/reading_loop.hpp"
#include "tokenizers/text_source.hpp"
#include "tokenizers/tokenizer.hpp"
#include "tokens/token_assembler.hpp"
#include "tokens/token_type.hpp"

using namespace tarvelin;

namespace {

constexpr std::size_t HEADER_BYTES = 7;

[[noreturn]] void fail(const char* what, std::uint64_t a = 0, std::uint64_t b = 0) {
    std::fprintf(stderr, "invariant broken: %s (%llu, %llu)\n", what,
                 static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
    std::abort();
}

#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        if (!(cond)) fail(#cond __VA_OPT__(, ) __VA_ARGS__);                                      \
    } while (0)

// The harness's own checks are not what is being fuzzed: left out of the
// coverage, they neither cost the instrumented compare callbacks nor add
// features that would steer the fuzzer towards them.
#if defined(__clang__)
#define NOT_FUZZED __attribute__((no_sanitize("coverage")))
#else
#define NOT_FUZZED
#endif

struct Settings {
    std::uint64_t batch_size;
    std::uint64_t filter;
    std::uint64_t min_len;
    std::uint64_t max_len;
    std::uint64_t change_after;  // batches before the batch size changes
    std::uint64_t changed_size;  // the batch size from then on (0 for one call)
    unsigned source;             // 0: text in memory, 1: file, 2: small windows
    std::size_t chunk;           // window size of source 2
    DecodeErrors errors;         // how ill-formed bytes are decoded
    std::uint64_t budget;        // bytes a call reads before it pauses (0: no limit)
    bool documents = false;      // the text is cut into documents at each 0x1E byte
    bool units = false;          // well-formed documents are queued as units
    std::size_t per_fill = 1;    // documents queued at most at once
};

Settings settings_from(const std::uint8_t* h) {
    Settings s{};
    // Mostly small batches, where the boundaries fall everywhere; sometimes
    // larger ones. (The default size works like any size above the input's
    // token count; its 33 MB of storage would only slow every run down.)
    static constexpr std::uint64_t large[] = {16, 127, 128, 129, 513, 4096};
    s.batch_size = h[0] < 0xC0 ? 1 + h[0] % 10 : large[h[0] % 6];
    s.filter = (h[1] & 0x80) ? ACCEPT_ALL_TYPES : (h[1] & 0x7F);
    s.min_len = (h[2] & 0x80) ? 0 : h[2] % 140;
    s.max_len = (h[3] & 0x80) ? DEFAULT_TOKEN_MAX_LEN : h[3] % 140;
    s.change_after = h[4] & 0x07;
    // 0..10, or 1000; a size above the current one grows the types storage
    // and retires the old block.
    s.changed_size = (h[4] >> 3) % 12;
    if (s.changed_size == 11) s.changed_size = 1000;
    s.source = (h[5] & 3) == 3 ? 2 : h[5] & 3;
    s.chunk = 1 + (h[5] >> 2) % 24;
    s.errors = (h[6] & 1) ? DecodeErrors::replace : DecodeErrors::strict;
    // Calls that pause after a few bytes and go on filling the same batch,
    // as an interrupted call and the next one do.
    static constexpr std::uint64_t budgets[] = {0, 1, 2, 3, 5, 16, 64, 0};
    s.budget = budgets[(h[6] >> 1) & 7];
    s.documents = (h[6] & 0x10) != 0;
    s.units = (h[6] & 0x20) != 0;
    s.per_fill = 1 + ((h[6] >> 6) & 3) * 2;
    return s;
}

bool keeps_all(const Settings& s) {
    return s.filter == ACCEPT_ALL_TYPES && s.min_len == 0 && s.max_len >= TOKEN_MAX_CHARS;
}

// Strict well-formedness (shortest forms, no surrogates, at most U+10FFFF).
NOT_FUZZED bool is_valid_utf8(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = p[i];
        std::size_t len;
        std::uint32_t lo = 0x80, hi = 0xBF;
        if (b < 0x80) { ++i; continue; }
        if (b >= 0xC2 && b <= 0xDF) len = 2;
        else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else return false;
        if (i + len > n) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

// Tokens as one string of their texts and each one's end and kind, so that
// collecting them costs no allocation per token.
struct TokenList {
    std::string text;
    std::vector<std::pair<std::size_t, std::uint64_t>> tokens; // (end in text, kind)
    std::vector<std::uint64_t> docs; // each token's document, in documents mode

    void push(const std::uint8_t* p, std::size_t n, std::uint64_t type) {
        text.append(reinterpret_cast<const char*>(p), n);
        tokens.emplace_back(text.size(), type);
    }
    std::size_t size() const { return tokens.size(); }
    std::string_view text_of(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : tokens[i - 1].first;
        return std::string_view(text).substr(begin, tokens[i].first - begin);
    }
    std::uint64_t type_of(std::size_t i) const { return tokens[i].second; }
    bool operator==(const TokenList&) const = default;
};

NOT_FUZZED std::uint32_t code_point_of(const std::uint8_t* c, std::uint64_t len) {
    Utf8Char u{};
    bool done = false;
    for (std::uint64_t k = 0; k < len; ++k) done = u.feed(c[k]);
    CHECK(done, len);
    return u.code_point;
}

// Python's storage class for a str whose largest code point is v: 1 byte a
// character for ASCII and for Latin-1, 2 bytes, or 4 bytes.
int str_storage_class(std::uint32_t v) {
    return v < 0x80 ? 0 : v < 0x100 ? 1 : v < 0x10000 ? 2 : 3;
}

// The batch counts the characters of its text (the NUL after each token
// included), flags malformed ones, and keeps bits from which the str's storage
// class is chosen, so that the Python str is built straight from the text:
// the count must match the text, and the class must be that of its largest
// character (a str stored wider than its largest character needs would be
// ill-formed).
NOT_FUZZED void check_char_count(const BatchBuffer& batch) {
    const bool valid = is_valid_utf8(batch.text_buffer, batch.text_bytes);
    CHECK(batch.malformed == !valid, batch.malformed, batch.text_bytes);
    std::uint64_t chars = 0; // every character of a batch begins with a lead byte
    for (std::uint64_t i = 0; i < batch.text_bytes; ++i)
        chars += utf8_lead_length(batch.text_buffer[i]) != 0;
    CHECK(chars == batch.text_chars, chars, batch.text_chars);
    if (!valid) return;
    std::uint64_t pos = 0;
    std::uint32_t largest = 0;
    while (pos < batch.text_bytes) {
        const std::uint64_t len = utf8_lead_length(batch.text_buffer[pos]);
        largest = std::max(largest, code_point_of(batch.text_buffer + pos, len));
        pos += len;
    }
    const std::uint32_t chosen = std::min<std::uint32_t>(batch.char_bits, 0x10FFFF);
    CHECK(str_storage_class(chosen) == str_storage_class(largest), batch.char_bits, largest);
}

// Splits one batch's text into its tokens, checking the layout and each token
// against the settings that were in force.
NOT_FUZZED void check_batch(const BatchBuffer& batch, const Settings& s, std::uint64_t size_in_force,
                 TokenList& out) {
    CHECK(batch.token_count <= size_in_force, batch.token_count, size_in_force);
    CHECK(batch.text_bytes <= batch.token_count * TOKEN_SLOT_BYTES, batch.text_bytes);
    const std::uint8_t* text = batch.text_buffer;
    std::uint64_t pos = 0;
    for (std::uint64_t i = 0; i < batch.token_count; ++i) {
        const std::uint64_t type = batch.types_buffer[i];
        CHECK(type != 0 && type <= 64 && (type & (type - 1)) == 0, type);
        CHECK((type & s.filter) != 0, type, s.filter);
        const std::uint64_t start = pos;
        std::uint64_t chars = 0, pieces = 0, last_piece_type = 0;
        bool last_hyphen = false;
        for (;;) {
            CHECK(pos < batch.text_bytes, pos, batch.text_bytes);
            if (chars > 0 && (!is_word_type(type) || text[pos] == 0)) break;
            const std::uint64_t len = utf8_lead_length(text[pos]);
            CHECK(len != 0, text[pos]);
            CHECK(pos + len <= batch.text_bytes, pos + len, batch.text_bytes);
            const std::uint32_t cp = code_point_of(text + pos, len);
            const std::uint64_t ct = token_type_of(cp);
            if (!is_word_type(type)) {
                CHECK(ct == type, ct, type);
            } else if (ct == type_value(TokenType::PNCTTN)) {
                CHECK(text[pos] == '-' && chars > 0 && !last_hyphen, cp, chars);
                last_hyphen = true;
                ++pieces;
                last_piece_type = 0;
            } else {
                CHECK(is_word_type(ct), ct);
                if (chars == 0) CHECK(ct == type, ct, type);
                // A new piece starts after a hyphen, or where the kind changes
                // (only after a hyphen is that allowed).
                if (last_piece_type != ct) {
                    if (chars > 0) CHECK(last_hyphen, ct, chars);
                    ++pieces;
                    last_piece_type = ct;
                }
                last_hyphen = false;
            }
            pos += len;
            ++chars;
        }
        CHECK(text[pos] == 0, text[pos]);
        CHECK(chars >= 1 && chars <= TOKEN_MAX_CHARS, chars);
        CHECK(chars >= s.min_len && chars <= s.max_len, chars);
        CHECK(pieces <= GROUP_MAX_PIECES, pieces);
        out.push(text + start, pos - start, type);
        ++pos; // the NUL
    }
    CHECK(pos == batch.text_bytes, pos, batch.text_bytes);
    if (s.errors == DecodeErrors::replace) CHECK(!batch.malformed, batch.text_bytes);
    check_char_count(batch);
}

// A tokenizer over any byte source, with the setup that the module's
// constructors do left to the caller. The batch storage is sized for the
// wanted batch size straight away rather than for the default first (the
// default's 67 MB would only slow every run down).
template <class Source>
struct FuzzTokenizer : Tokenizer<Source> {
    using Tokenizer<Source>::source;
    using Tokenizer<Source>::batch;
    using Tokenizer<Source>::mode;

    explicit FuzzTokenizer(const Settings& s) : budget(s.budget) {
        this->set_errors(s.errors);
        CHECK(this->set_batch_size(s.batch_size), s.batch_size);
        this->set_filter(s.filter);
        this->set_token_min_len(s.min_len);
        this->set_token_max_len(s.max_len);
    }

    // One batch, in calls of `budget` bytes when there is one.
    void batch_in_calls() {
        if constexpr (std::is_same_v<Source, DocsSource>) {
            for (;;) {
                const ReadResult r = this->read_some(budget == 0 ? ~std::uint64_t{0} : budget);
                if (r == ReadResult::complete) return;
                if (r == ReadResult::needs_documents) refill();
            }
        }
        if (budget == 0) return this->next_batch();
        while (this->read_some(budget) != ReadResult::complete) {
        }
    }

    // Documents mode: queues the next documents, as the binding does.
    void refill();

    std::uint64_t budget;
    struct Document {
        std::span<const std::uint8_t> bytes;
        std::vector<std::uint32_t> units; // its code points, when it is queued as units
        unsigned unit_size = 0;
        std::vector<std::uint8_t> narrow; // units of 1 or 2 bytes
    };
    std::vector<Document> documents;
    std::size_t next_document = 0, per_fill = 1;
};

// Offers the input in windows of `chunk` bytes that never claim to be final,
// and finds out that the input has ended only when asked for a window past
// it, the way a file read block by block does. Token and character boundaries
// so fall inside and at the end of windows everywhere.
struct ChunkedSource {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t chunk = 1;
    std::size_t pos = 0;
    bool eof = false;

    [[maybe_unused]] static constexpr bool windows_are_final = false;

    std::span<const std::uint8_t> window() noexcept {
        if (pos == size) eof = true;
        const std::size_t end = std::min(size, (pos / chunk + 1) * chunk);
        return {data + pos, end - pos};
    }
    void consume(std::size_t n) noexcept { pos += n; }
    bool at_end() const noexcept { return pos == size && eof; }
};

// The text cut at each 0x1E byte (which belongs to no document).
std::vector<std::span<const std::uint8_t>> cut_documents(const std::uint8_t* p, std::size_t n) {
    std::vector<std::span<const std::uint8_t>> docs;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= n; ++i)
        if (i == n || p[i] == 0x1E) {
            docs.emplace_back(p + start, i - start);
            start = i + 1;
        }
    return docs;
}

template <>
void FuzzTokenizer<DocsSource>::refill() {
    CHECK(source.queue_used_up(), next_document);
    source.recycle();
    for (std::size_t k = 0; k < per_fill && next_document < documents.size(); ++k) {
        DocRecord* r = source.slot();
        if (r == nullptr) break;
        const Document& d = documents[next_document];
        *r = {d.bytes.data(), d.bytes.size(), next_document, nullptr, 0, false};
        if (d.unit_size == 4)
            *r = {d.units.data(), d.units.size(), next_document, nullptr, 4, false};
        else if (d.unit_size != 0)
            *r = {d.narrow.data(), d.units.size(), next_document, nullptr,
                  static_cast<std::uint8_t>(d.unit_size), false};
        source.push();
        ++next_document;
    }
    if (next_document == documents.size()) source.end_input();
}

template <class Source>
void FuzzTokenizer<Source>::refill() {}

// Documents queued for a FuzzTokenizer<DocsSource>; well-formed ones as
// units of the narrowest size that holds their code points when `units`.
void set_documents(FuzzTokenizer<DocsSource>& tok, const std::uint8_t* p, std::size_t n,
                   const Settings& s) {
    CHECK(tok.source.open_queue(8, nullptr), 8);
    tok.batch.docs.active = true;
    tok.per_fill = s.per_fill;
    for (const auto d : cut_documents(p, n)) {
        auto& doc = tok.documents.emplace_back();
        doc.bytes = d;
        if (!s.units || !is_valid_utf8(d.data(), d.size())) continue;
        std::uint32_t largest = 0;
        for (std::size_t i = 0; i < d.size();) {
            const std::uint64_t len = utf8_lead_length(d[i]);
            doc.units.push_back(code_point_of(d.data() + i, len));
            largest = std::max(largest, doc.units.back());
            i += len;
        }
        doc.unit_size = largest < 0x100 ? 1 : largest < 0x10000 ? 2 : 4;
        if (doc.unit_size == 4) continue;
        for (std::uint32_t u : doc.units)
            for (unsigned k = 0; k < doc.unit_size; ++k)
                doc.narrow.push_back(static_cast<std::uint8_t>(u >> (8 * k)));
    }
}

} // namespace

// The library compiles the reading loop for its own sources only; this one is
// the harness's.
template <>
tarvelin::ReadResult tarvelin::Tokenizer<ChunkedSource>::read_some(std::uint64_t budget,
                                                                   TokenCounter* counter) noexcept {
    return read_slice(source, assembler, utf8_char, batch, mode, drain_steps, budget, counter);
}

namespace {

// Every token of the text, in one batch that keeps every token; `reference`:
// through the byte-by-byte assembler path alone.
TokenList all_tokens(const std::uint8_t* data, std::size_t size, DecodeErrors errors,
                     bool reference) {
    // More room than the text has characters, so one batch takes everything.
    const std::uint64_t room = size + 1;
    const Settings keep_all{room, ACCEPT_ALL_TYPES, 0, DEFAULT_TOKEN_MAX_LEN, 0, 0, 0, 0, errors, 0};
    FuzzTokenizer<TextSource> tok(keep_all);
    if (!tok.source.assign(reinterpret_cast<const char*>(data), size)) std::abort();
    tok.mode.use_assembler = tok.mode.assembler_only = reference;
    TokenList tokens;
    tok.next_batch();
    check_batch(tok.batch, keep_all, room, tokens);
    tok.next_batch();
    CHECK(tok.batch.token_count == 0, tok.batch.token_count);
    return tokens;
}

template <class Source>
TokenList batched_tokens(FuzzTokenizer<Source>& tok, const Settings& s, std::size_t size) {
    TokenList tokens;
    std::uint64_t size_in_force = s.batch_size;
    // Each non-empty batch takes at least one character, and the drain needs
    // at most two more calls; a zero-size call is followed by a restore.
    const std::uint64_t max_calls = 2 * (size + 4);
    for (std::uint64_t call = 0;; ++call) {
        CHECK(call < max_calls, call, size);
        if (call == s.change_after) {
            CHECK(tok.set_batch_size(s.changed_size), s.changed_size);
            size_in_force = s.changed_size;
        } else if (size_in_force == 0) {
            CHECK(tok.set_batch_size(s.batch_size), s.batch_size);
            size_in_force = s.batch_size;
        }
        tok.batch_in_calls();
        check_batch(tok.batch, s, size_in_force, tokens);
        if constexpr (std::is_same_v<Source, DocsSource>) {
            const std::size_t at = tokens.docs.size();
            tokens.docs.resize(at + tok.batch.token_count);
            tok.batch.docs.expand(tokens.docs.data() + at, tok.batch.token_count);
        }
        if (size_in_force == 0) {
            CHECK(tok.batch.token_count == 0, tok.batch.token_count);
            continue;
        }
        if (tok.batch.token_count == 0) break;
    }
    // Once ended, the stream stays ended.
    tok.next_batch();
    CHECK(tok.batch.token_count == 0, tok.batch.token_count);
    return tokens;
}

// The counts of count_some over the whole input, in calls of the budget.
template <class Source>
std::map<std::string, std::uint64_t> counted_tokens(FuzzTokenizer<Source>& tok, std::size_t size) {
    TokenCounter counter;
    const std::uint64_t budget = tok.budget == 0 ? ~std::uint64_t{0} : tok.budget;
    for (std::uint64_t call = 0;; ++call) {
        CHECK(call < 4 * (size + 4), call, size);
        const ReadResult r = tok.count_some(counter, budget);
        if (r == ReadResult::needs_documents) {
            tok.refill();
            continue;
        }
        CHECK(r == ReadResult::complete || r == ReadResult::paused, static_cast<unsigned>(r));
        if (r == ReadResult::complete) break;
    }
    std::map<std::string, std::uint64_t> counts;
    counter.for_each([&](const std::uint8_t* p, std::size_t n, std::uint64_t c) {
        CHECK(counts.emplace(std::string(reinterpret_cast<const char*>(p), n), c).second, n);
    });
    return counts;
}

// A file holding `size` bytes, opened for reading at its start; it lives in
// memory but has a descriptor like any file.
std::FILE* memory_file(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("fuzz-input", 0);
    if (fd < 0) std::abort();
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) std::abort();
    std::FILE* file = fdopen(fd, "r");
    if (file == nullptr) std::abort();
    return file;
}

} // namespace

// The dispatch level of the vector kernel comes from TARVELIN_SCAN_LEVEL (the
// best one when it is unset); TARVELIN_SCAN_LEVEL=list prints the levels this
// build can run here, one a line, and exits.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* level = std::getenv("TARVELIN_SCAN_LEVEL");
    if (level == nullptr || *level == 0) level = scan_levels().back();
    if (std::strcmp(level, "list") == 0) {
        for (const char* name : scan_levels()) std::printf("%s\n", name);
        std::exit(0);
    }
    if (!set_scan_level(level)) {
        std::fprintf(stderr, "unknown scan level %s\n", level);
        std::exit(2);
    }
    std::fprintf(stderr, "scan level: %s\n", scan_level());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < HEADER_BYTES) return 0;
    const Settings s = settings_from(data);
    const std::uint8_t* text = data + HEADER_BYTES;
    const std::size_t text_size = size - HEADER_BYTES;

    const TokenList whole = all_tokens(text, text_size, s.errors, false);
    // The scanner and the vector kernel of the level in use give exactly the
    // tokens of the assembler path.
    const TokenList reference = all_tokens(text, text_size, s.errors, true);
    CHECK(whole.size() == reference.size(), whole.size(), reference.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        CHECK(whole.type_of(i) == reference.type_of(i), i, whole.type_of(i));
        CHECK(whole.text_of(i) == reference.text_of(i), i, whole.text_of(i).size());
    }
    if (is_valid_utf8(text, text_size)) {
        CHECK(whole.text.size() == text_size && std::memcmp(whole.text.data(), text, text_size) == 0,
              whole.text.size(), text_size);
    }

    TokenList expected;
    const auto keep_passing = [&](const TokenList& all, std::uint64_t doc) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            const std::string_view t = all.text_of(i);
            // Characters of the token: count lead bytes.
            std::uint64_t chars = 0;
            for (unsigned char c : t) chars += utf8_lead_length(c) != 0;
            if ((all.type_of(i) & s.filter) != 0 && chars >= s.min_len && chars <= s.max_len) {
                expected.push(reinterpret_cast<const std::uint8_t*>(t.data()), t.size(),
                              all.type_of(i));
                if (s.documents) expected.docs.push_back(doc);
            }
        }
    };
    if (s.documents) {
        // Each document alone, by the reference path.
        const auto docs = cut_documents(text, text_size);
        for (std::size_t d = 0; d < docs.size(); ++d)
            keep_passing(all_tokens(docs[d].data(), docs[d].size(), s.errors, true), d);
    } else {
        keep_passing(whole, 0);
        if (keeps_all(s)) CHECK(expected.size() == whole.size(), expected.size(), whole.size());
    }

    TokenList got;
    if (s.documents) {
        FuzzTokenizer<DocsSource> tok(s);
        set_documents(tok, text, text_size, s);
        got = batched_tokens(tok, s, text_size);
        CHECK(got.docs == expected.docs, got.docs.size(), expected.docs.size());
    } else if (s.source == 1) {
        FuzzTokenizer<FileSource> tok(s);
        tok.source.file = memory_file(text, text_size);
        got = batched_tokens(tok, s, text_size);
    } else if (s.source == 2) {
        FuzzTokenizer<ChunkedSource> tok(s);
        tok.source.data = text;
        tok.source.size = text_size;
        tok.source.chunk = s.chunk;
        got = batched_tokens(tok, s, text_size);
    } else {
        FuzzTokenizer<TextSource> tok(s);
        if (!tok.source.assign(reinterpret_cast<const char*>(text), text_size)) std::abort();
        got = batched_tokens(tok, s, text_size);
    }

    CHECK(got.size() == expected.size(), got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        CHECK(got.type_of(i) == expected.type_of(i), i, got.type_of(i));
        CHECK(got.text_of(i) == expected.text_of(i), i, got.text_of(i).size());
    }

    // Counting (the kernel's tokens counted as they are found, the others
    // from the batches) gives the counts of the batches' tokens.
    std::map<std::string, std::uint64_t> want_counts;
    for (std::size_t i = 0; i < expected.size(); ++i) ++want_counts[std::string(expected.text_of(i))];
    std::map<std::string, std::uint64_t> counts;
    if (s.documents) {
        FuzzTokenizer<DocsSource> tok(s);
        set_documents(tok, text, text_size, s);
        counts = counted_tokens(tok, text_size);
    } else if (s.source == 2) {
        FuzzTokenizer<ChunkedSource> tok(s);
        tok.source.data = text;
        tok.source.size = text_size;
        tok.source.chunk = s.chunk;
        counts = counted_tokens(tok, text_size);
    } else {
        FuzzTokenizer<TextSource> tok(s);
        if (!tok.source.assign(reinterpret_cast<const char*>(text), text_size)) std::abort();
        counts = counted_tokens(tok, text_size);
    }
    CHECK(counts == want_counts, counts.size(), want_counts.size());
    return 0;
}
