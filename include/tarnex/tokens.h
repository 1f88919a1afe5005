// The tokens of the expression language, written once: kind, number and
// spelling. The lexer matches the spellings; the opcode table names the
// token each operator compiles from; the tree keeps a token as its operator.
// Nothing here depends on any stage.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

namespace tarnex {

// Columns: kind, number (fixed: the tree keeps it in a byte), the operator's
// symbol (empty: none) and the word that also spells it (empty: none).
#define TARNEX_TOKENS(X)    \
    X(END, 0, "", "")        \
    X(NUMBER, 1, "", "")     \
    X(IDENT, 2, "", "")      \
    X(PLUS, 3, "+", "")      \
    X(MINUS, 4, "-", "")     \
    X(STAR, 5, "*", "")      \
    X(SLASH, 6, "/", "")     \
    X(PERCENT, 7, "%", "")   \
    X(AMP, 8, "&", "")       \
    X(PIPE, 9, "|", "")      \
    X(CARET, 10, "^", "")    \
    X(TILDE, 11, "~", "")    \
    X(SHL, 12, "<<", "")     \
    X(SHR, 13, ">>", "")     \
    X(EQ, 14, "==", "")      \
    X(NE, 15, "!=", "")      \
    X(LT, 16, "<", "")       \
    X(LE, 17, "<=", "")      \
    X(GT, 18, ">", "")       \
    X(GE, 19, ">=", "")      \
    X(AND, 20, "&&", "and")  \
    X(OR, 21, "||", "or")    \
    X(NOT, 22, "!", "not")   \
    X(QUESTION, 23, "?", "") \
    X(COLON, 24, ":", "")    \
    X(LPAREN, 25, "(", "")   \
    X(RPAREN, 26, ")", "")   \
    X(COMMA, 27, ",", "")

enum TokenKind : int32_t {
#define TARNEX_TOKEN_ENUM(name, number, ...) name = number,
    TARNEX_TOKENS(TARNEX_TOKEN_ENUM)
#undef TARNEX_TOKEN_ENUM
};

struct TokenSpelling {
    int32_t kind;
    std::string_view symbol;
    std::string_view word;
};

inline constexpr TokenSpelling TOKEN_SPELLINGS[] = {
#define TARNEX_TOKEN_SPELLING(name, number, symbol, word) {name, symbol, word},
    TARNEX_TOKENS(TARNEX_TOKEN_SPELLING)
#undef TARNEX_TOKEN_SPELLING
};
constexpr int32_t TOKEN_COUNT = static_cast<int32_t>(std::size(TOKEN_SPELLINGS));

constexpr bool tokensNumberedInOrder() {
    for (int32_t i = 0; i < TOKEN_COUNT; ++i)
        if (TOKEN_SPELLINGS[i].kind != i) return false;
    return true;
}
static_assert(tokensNumberedInOrder());

}  // namespace tarnex
