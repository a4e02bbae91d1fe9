// Throughput of the token scanner alone against the vector kernel + scanner at
// each level, of whole batches filled and of native counting at each level,
// and of the UTF-8 to str storage transcoders against the scalar loop. Texts: benchmarks/data/{real_en,real_ru,mixed}.txt when present (their
// first BENCH_MB megabytes), else generated English, Russian and mixed text.
//
// Usage: bench_kernel [data-dir]   (BENCH_MB, default 16; BENCH_REPEAT, default 5)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "counting/token_counter.hpp"
#include "scan/token_scanner.hpp"
#include "simd/scan_kernel.hpp"
#include "text/utf8_strict.hpp"
#include "tokenizers/from_text_tokenizer.hpp"

namespace {

using namespace tarvelin;

std::size_t env_size(const char* name, std::size_t fallback) {
    const char* v = std::getenv(name);
    return v ? static_cast<std::size_t>(std::strtoull(v, nullptr, 10)) : fallback;
}

std::string read_prefix(const std::string& path, std::size_t limit) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::string s(limit, '\0');
    f.read(s.data(), static_cast<std::streamsize>(limit));
    s.resize(static_cast<std::size_t>(f.gcount()));
    // Cut at a character boundary.
    while (!s.empty() && (static_cast<std::uint8_t>(s.back()) & 0xC0u) == 0x80u) s.pop_back();
    if (!s.empty() && static_cast<std::uint8_t>(s.back()) >= 0xC0u) s.pop_back();
    return s;
}

std::string generate(std::size_t bytes, int russian_percent, unsigned seed) {
    static const char* en[] = {"the", "of", "and", "tokenizer", "a", "in", "is", "well-known",
                               "data", "2024", "text", "fast", "x86", "COVID-19", "it's"};
    static const char* ru[] = {"и", "в", "не", "на", "что", "текст", "разбивает", "быстро",
                               "Москва", "ёлка", "по-русски", "слово", "года", "это"};
    static const char* punct[] = {" ", " ", " ", " ", ", ", ". ", "\n", " — ", " «", "» ", "… "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < bytes) {
        const bool r = static_cast<int>(rng() % 100) < russian_percent;
        s += r ? ru[rng() % std::size(ru)] : en[rng() % std::size(en)];
        s += punct[rng() % std::size(punct)];
    }
    return s;
}

template <class F>
double best_mbps(std::size_t bytes, std::size_t repeat, F&& run) {
    double best = 0;
    for (std::size_t r = 0; r < repeat; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::max(best, bytes / 1e6 / s);
    }
    return best;
}

volatile std::uint64_t sink;

// One token by the scanner, added to `acc`; a malformed byte is stepped over.
const std::uint8_t* scan_one(TokenScanner& scanner, const std::uint8_t* p, std::uint64_t& acc) {
    ScannedToken t;
    if (scanner.scan(p, t) != ScanStatus::token) return p + 1;
    acc += t.type + t.chars;
    return p + t.bytes;
}

// The scanner as the reading loop drives it: ASCII one-character tokens by
// table, every other token by a scan. Malformed bytes are stepped over.
std::uint64_t scanner_alone(const std::string& text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* end = p + text.size();
    TokenScanner scanner(end, true);
    std::uint64_t acc = 0;
    while (p < end) {
        if (*p < 0x80u) {
            if (const std::uint64_t type = scanner.ascii_type(*p); !is_word_type(type)) {
                acc += type + 1;
                ++p;
                continue;
            }
        }
        p = scan_one(scanner, p, acc);
    }
    return acc;
}

std::uint64_t kernel_and_scanner(const std::string& text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* end = p + text.size();
    TokenScanner scanner(end, true);
    static TokenSpan spans[512];
    std::uint64_t acc = 0;
    while (p < end) {
        const KernelScan k =
            scan_kernel(p, static_cast<std::size_t>(end - p), true, spans, std::size(spans));
        for (std::size_t i = 0; i < k.spans; ++i) acc += spans[i].type + spans[i].chars;
        p += k.consumed;
        if (p == end) break;
        p = scan_one(scanner, p, acc);
    }
    return acc;
}

// The kinds of word tokens.
constexpr std::uint64_t WORDS =
    type_value(TokenType::ENWORD) | type_value(TokenType::NUMBER) | type_value(TokenType::RUWORD);

// Every batch of the text, filled by the reading loop with default settings
// but for the filter (offsets kept when asked for); returns the tokens.
std::uint64_t fill_batches(const std::string& text, bool offsets, std::uint64_t filter) {
    auto t = std::make_unique<FromTextTokenizer>();
    if (!t->open(text.data(), text.size()) || !t->set_offsets(offsets)) std::abort();
    t->set_filter(filter);
    std::uint64_t tokens = 0;
    do {
        t->next_batch();
        tokens += t->batch_buffer().token_count;
    } while (t->batch_buffer().token_count != 0);
    return tokens;
}

// The text's distinct tokens, counted natively.
std::uint64_t count_all(const std::string& text) {
    auto t = std::make_unique<FromTextTokenizer>();
    if (!t->open(text.data(), text.size())) std::abort();
    TokenCounter counter;
    while (t->count_some(counter, ~std::uint64_t{0}) == ReadResult::paused) {}
    return counter.distinct();
}

// The text with every character above `limit` replaced by '?', and its length
// in characters.
std::string restrict_to(const std::string& text, std::uint32_t limit, std::size_t& chars) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    std::string out;
    chars = 0;
    for (std::size_t i = 0; i < text.size();) {
        DecodedChar c{'?', 1};
        if (decode_strict(p + i, p + text.size(), c) != Utf8Decode::ok) c = {'?', 1};
        if (c.code_point <= limit) out.append(text, i, c.length);
        else out += '?';
        i += c.length;
        ++chars;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "benchmarks/data";
    const std::size_t limit = env_size("BENCH_MB", 16) << 20;
    const std::size_t repeat = env_size("BENCH_REPEAT", 5);
    struct Corpus {
        std::string name, text;
    };
    std::vector<Corpus> corpora = {{"english", read_prefix(dir + "/real_en.txt", limit)},
                                   {"russian", read_prefix(dir + "/real_ru.txt", limit)},
                                   {"mixed", read_prefix(dir + "/mixed.txt", limit)}};
    const int ru_share[] = {0, 100, 50};
    for (std::size_t i = 0; i < corpora.size(); ++i) {
        if (corpora[i].text.empty()) {
            corpora[i].text = generate(limit, ru_share[i], 7 + static_cast<unsigned>(i));
            corpora[i].name += " (generated)";
        }
    }
    const auto levels = scan_levels();
    std::printf("tokens, MB/s (best of %zu)\n%-22s %10s", repeat, "text", "scanner");
    for (const char* level : levels)
        if (std::string(level) != "scalar") std::printf(" %10s", level);
    std::printf("\n");
    for (const Corpus& c : corpora) {
        std::printf("%-22s", c.name.c_str());
        const std::uint64_t want = scanner_alone(c.text);
        std::printf(" %10.0f", best_mbps(c.text.size(), repeat, [&] { sink = scanner_alone(c.text); }));
        for (const char* level : levels) {
            if (std::string(level) == "scalar") continue;
            set_scan_level(level);
            if (kernel_and_scanner(c.text) != want) {
                std::fprintf(stderr, "\n%s: kernel result differs on %s\n", level, c.name.c_str());
                return 1;
            }
            std::printf(" %10.0f",
                        best_mbps(c.text.size(), repeat, [&] { sink = kernel_and_scanner(c.text); }));
        }
        std::printf("\n");
    }

    std::printf("\nbatches filled (with offsets, of words only), tokens counted, MB/s (best of "
                "%zu)\n%-22s",
                repeat, "text");
    for (const char* level : levels)
        for (const char* what : {"batch", "+offs", "words", "count"})
            std::printf(" %10s", (std::string(level).substr(0, 4) + " " + what).c_str());
    std::printf("\n");
    for (const Corpus& c : corpora) {
        std::printf("%-22s", c.name.c_str());
        for (const char* level : levels) {
            set_scan_level(level);
            for (const bool offsets : {false, true})
                std::printf(" %10.0f", best_mbps(c.text.size(), repeat, [&] {
                                sink = fill_batches(c.text, offsets, ~std::uint64_t{0});
                            }));
            std::printf(" %10.0f", best_mbps(c.text.size(), repeat,
                                             [&] { sink = fill_batches(c.text, false, WORDS); }));
            std::printf(" %10.0f",
                        best_mbps(c.text.size(), repeat, [&] { sink = count_all(c.text); }));
        }
        std::printf("\n");
    }

    std::printf("\ntranscoding to str storage, MB/s of UTF-8 input (best of %zu)\n%-22s", repeat,
                "text");
    for (const char* level : levels) std::printf(" %10s", level);
    std::printf("\n");
    for (const Corpus& c : corpora) {
        for (const bool wide : {false, true}) {
            std::size_t chars = 0;
            const std::string text = restrict_to(c.text, wide ? 0xFFFF : 0xFF, chars);
            const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
            std::vector<std::uint16_t> out16(chars);
            std::vector<std::uint8_t> out8(chars);
            std::printf("%-17s %s", c.name.substr(0, 17).c_str(), wide ? "ucs2" : "ucs1");
            for (const char* level : levels) {
                set_scan_level(level);
                std::printf(" %10.0f", best_mbps(text.size(), repeat, [&] {
                                if (wide) utf8_to_ucs2(in, text.size(), out16.data());
                                else utf8_to_ucs1(in, text.size(), out8.data());
                                sink = wide ? out16[chars / 2] : out8[chars / 2];
                            }));
            }
            std::printf("\n");
        }
    }
    return 0;
}
