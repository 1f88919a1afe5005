#include "tarnex/lexer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <stdexcept>

#include "decimal_conversion.h"

namespace tarnex {
namespace {

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isIdentStart(unsigned char c) { return isLetter(c) || c == '_'; }
bool isIdentChar(unsigned char c) { return isIdentStart(c) || isDigit(c); }


bool hasNonZeroDigit(std::string_view mantissa) {
    for (char c : mantissa)
        if (c >= '1' && c <= '9') return true;
    return false;
}

// Correctly rounded, longest valid prefix; out of range means an infinite
// result or a zero from a literal that has a non-zero digit, whether the
// conversion reports it or returns it.
double convertNumber(std::string_view span, size_t offset) {
    double value = 0.0;
    auto result = detail::decimalFromChars(span.data(), span.data() + span.size(), value);
    std::string_view used = span.substr(0, static_cast<size_t>(result.ptr - span.data()));
    std::string_view mantissa = used.substr(0, used.find_first_of("eE"));
    if (result.ec != std::errc() || std::isinf(value) || (value == 0.0 && hasNonZeroDigit(mantissa)))
        throw CompileError("Lexer error: Invalid number format", offset, span.size());
    return value;
}

struct Spelling {
    std::string_view text;
    int32_t kind;
};

constexpr size_t symbolCount() {
    size_t count = 0;
    for (const TokenSpelling& token : TOKEN_SPELLINGS) count += !token.symbol.empty();
    return count;
}
constexpr size_t SPELLING_COUNT = symbolCount();

// The tokens' symbols, those sharing a first character adjacent and the
// two-character ones before their one-character prefixes.
constexpr std::array<Spelling, SPELLING_COUNT> orderedSpellings() {
    std::array<Spelling, SPELLING_COUNT> spellings{};
    size_t n = 0;
    for (const TokenSpelling& token : TOKEN_SPELLINGS)
        if (!token.symbol.empty()) spellings[n++] = Spelling{token.symbol, token.kind};
    std::sort(spellings.begin(), spellings.end(), [](const Spelling& a, const Spelling& b) {
        return a.text[0] != b.text[0] ? a.text[0] < b.text[0] : a.text.size() > b.text.size();
    });
    return spellings;
}
constexpr std::array<Spelling, SPELLING_COUNT> SPELLINGS = orderedSpellings();

// For each byte, the first spelling that starts with it (SPELLING_COUNT if
// none), so an operator is found without trying every spelling.
constexpr std::array<uint8_t, 256> firstSpellings() {
    std::array<uint8_t, 256> first{};
    first.fill(SPELLING_COUNT);
    for (size_t i = SPELLING_COUNT; i-- > 0;) first[static_cast<unsigned char>(SPELLINGS[i].text[0])] = i;
    return first;
}
constexpr std::array<uint8_t, 256> FIRST_SPELLING = firstSpellings();

}  // namespace

bool Lexer::at(size_t index, bool (*is_class)(unsigned char)) const {
    return index < text_.size() && is_class(static_cast<unsigned char>(text_[index]));
}

bool Lexer::match(std::string_view spelling) {
    if (text_.size() - pos < spelling.size() || text_.substr(pos, spelling.size()) != spelling) return false;
    pos += spelling.size();
    return true;
}

Token Lexer::next() {
    while (at(pos, isSpace)) ++pos;
    if (pos >= text_.size()) return Token{END, std::string_view(), 0.0, text_.size()};
    unsigned char c = static_cast<unsigned char>(text_[pos]);
    if (isDigit(c) || (c == '.' && at(pos + 1, isDigit))) return scanNumber();
    return isIdentStart(c) ? scanIdentifier() : scanOperator();
}

std::vector<Token> Lexer::tokenize() {
    std::vector<Token> tokens;
    do {
        tokens.push_back(next());
    } while (tokens.back().kind != END);
    return tokens;
}

size_t countTokens(std::string_view text) {
    Lexer lexer(text);
    size_t count = 0;
    while (lexer.next().kind != END) ++count;
    return count;
}

Token Lexer::scanNumber() {
    size_t start = pos;
    if (text_[pos] == '.') ++pos;
    while (at(pos, isDigit)) ++pos;
    if (pos < text_.size() && text_[pos] == '.') {
        ++pos;
        while (at(pos, isDigit)) ++pos;
    }
    if (pos < text_.size() && (text_[pos] == 'e' || text_[pos] == 'E')) {
        ++pos;
        if (pos < text_.size() && (text_[pos] == '+' || text_[pos] == '-')) ++pos;
        while (at(pos, isDigit)) ++pos;
    }
    std::string_view span = text_.substr(start, pos - start);
    return Token{NUMBER, span, convertNumber(span, start), start};
}

Token Lexer::scanIdentifier() {
    size_t start = pos++;
    while (at(pos, isIdentChar)) ++pos;
    std::string_view word = text_.substr(start, pos - start);
    for (const TokenSpelling& token : TOKEN_SPELLINGS)
        if (!token.word.empty() && equalsIgnoringCase(word, token.word)) return Token{token.kind, word, 0.0, start};
    return Token{IDENT, word, 0.0, start};
}

Token Lexer::scanOperator() {
    size_t start = pos;
    const unsigned char first = static_cast<unsigned char>(text_[pos]);
    for (size_t i = FIRST_SPELLING[first]; i < SPELLING_COUNT && SPELLINGS[i].text[0] == text_[pos]; ++i)
        if (match(SPELLINGS[i].text)) return Token{SPELLINGS[i].kind, SPELLINGS[i].text, 0.0, start};
    if (text_[pos] == '=') throw CompileError("Lexer error: Single '=' not supported, use '=='", start, 1);
    throw CompileError("Lexer error: Unknown character", start, 1);
}

}  // namespace tarnex
