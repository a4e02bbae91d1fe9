// Helpers shared by the C++ tests of the tokenizing core.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "classify/utf8_char.hpp"
#include "tokens/token.hpp"
#include "tokens/token_assembler.hpp"
#include "tokens/token_type.hpp"

namespace tarvelin::testing {

// Under AddressSanitizer every tokenizer's default batch storage (tens of MB)
// is poisoned and quarantined, so the randomized tests run fewer rounds.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int RANDOM_ROUNDS_DIVISOR = 10;
#else
inline constexpr int RANDOM_ROUNDS_DIVISOR = 1;
#endif

inline constexpr std::uint64_t NOTTKN = type_value(TokenType::NOTTKN);
inline constexpr std::uint64_t WRDSPC = type_value(TokenType::WRDSPC);
inline constexpr std::uint64_t NWLINE = type_value(TokenType::NWLINE);
inline constexpr std::uint64_t ENWORD = type_value(TokenType::ENWORD);
inline constexpr std::uint64_t NUMBER = type_value(TokenType::NUMBER);
inline constexpr std::uint64_t RUWORD = type_value(TokenType::RUWORD);
inline constexpr std::uint64_t PNCTTN = type_value(TokenType::PNCTTN);
inline constexpr std::uint64_t UNKNWN = type_value(TokenType::UNKNWN);

inline const char* type_name(std::uint64_t t) {
    switch (t) {
    case NOTTKN: return "NOTTKN";
    case WRDSPC: return "WRDSPC";
    case NWLINE: return "NWLINE";
    case ENWORD: return "ENWORD";
    case NUMBER: return "NUMBER";
    case RUWORD: return "RUWORD";
    case PNCTTN: return "PNCTTN";
    case UNKNWN: return "UNKNWN";
    default: return "?";
    }
}

// Text with control and non-ASCII bytes escaped, for failure messages.
inline std::string escaped(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : s) {
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += static_cast<char>(b);
        } else {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

// The complete characters that the decoder makes of `bytes`.
inline std::vector<Utf8Char> decode(std::string_view bytes) {
    std::vector<Utf8Char> out;
    Utf8Char c{};
    for (unsigned char b : bytes)
        if (c.feed(b)) out.push_back(c);
    return out;
}

inline std::string token_text(const Token& t) {
    std::string s;
    for (std::uint64_t i = 0; i < t.length && i < TOKEN_MAX_CHARS; ++i)
        s.append(reinterpret_cast<const char*>(t.chars[i].bytes), t.chars[i].length);
    return s;
}

// A token holding the characters of `utf8` (at most 128), built by appending each character.
inline std::unique_ptr<Token> make_token(std::string_view utf8, std::uint64_t type) {
    auto t = std::make_unique<Token>(); // value-initialised: all zero
    for (const Utf8Char& c : decode(utf8)) t->append(c);
    t->type = type;
    return t;
}

// Entries of `chars` beyond `length` are all zero.
inline bool tail_is_zero(const Token& t) {
    static const Utf8Char zeros[TOKEN_MAX_CHARS] = {};
    if (t.length >= TOKEN_MAX_CHARS) return true;
    return std::memcmp(t.chars + t.length, zeros, (TOKEN_MAX_CHARS - t.length) * sizeof(Utf8Char)) == 0;
}

// A completed token as the tests compare it.
struct Tok {
    std::string text;
    std::uint64_t type;
    std::uint64_t length;
    bool operator==(const Tok&) const = default;
};

inline void PrintTo(const Tok& t, std::ostream* os) {
    *os << "{\"" << escaped(t.text) << "\", " << type_name(t.type) << ", " << t.length << "}";
}

inline std::string joined(const std::vector<Tok>& toks) {
    std::string s;
    for (const Tok& t : toks) s += t.text;
    return s;
}

// Runs `input` through Utf8Char::feed, TokenAssembler::add_char and two
// finish calls. Every completed token is checked against the invariants of
// the token record and of assembly; violations are described in `problems`.
struct Assembled {
    std::vector<Tok> tokens;
    std::vector<std::string> problems;
};

inline void record(const TokenAssembler& a, Assembled& out) {
    const Token& t = a.completed();
    Tok tok{token_text(t), t.type, t.length};
    const std::string where = "token #" + std::to_string(out.tokens.size()) + " \"" +
                              escaped(tok.text) + "\": ";
    if (t.length == 0 || t.length > TOKEN_MAX_CHARS)
        out.problems.push_back(where + "length " + std::to_string(t.length));
    else if (!tail_is_zero(t))
        out.problems.push_back(where + "entries beyond its length are not zero");
    if (t.type == NOTTKN) out.problems.push_back(where + "type NOTTKN");
    for (std::uint64_t i = 0; i < t.length && i < TOKEN_MAX_CHARS; ++i)
        if (t.chars[i].received != t.chars[i].length || t.chars[i].length == 0) {
            out.problems.push_back(where + "incomplete character at " + std::to_string(i));
            break;
        }
    out.tokens.push_back(std::move(tok));
}

inline Assembled assemble(std::string_view input) {
    Assembled out;
    auto a = std::make_unique<TokenAssembler>(); // value-initialised: all zero
    Utf8Char c{};
    for (unsigned char b : input)
        if (c.feed(b) && a->add_char(c)) record(*a, out);
    if (a->finish()) record(*a, out);
    if (a->finish()) record(*a, out);
    return out;
}

} // namespace tarvelin::testing
