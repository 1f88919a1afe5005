// Lexer: expression text in, tokens out one at a time, ending with END.
//
// The text is read byte by byte as received (nothing is decoded); tokens hold
// views into it, so the text must outlive every use of the tokens.
// `next`, `tokenize` and `countTokens` throw std::runtime_error with one of
// the fixed "Lexer error: ..." messages at the first offending byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tarnex/names.h"
#include "tarnex/tokens.h"

namespace tarnex {

struct Token {
    int32_t kind;           // a TokenKind
    std::string_view text;  // the literal, identifier or operator spelling
    double value;           // NUMBER only; 0.0 otherwise
    size_t offset;          // byte index of the first character
};

// Lexes all of `text`, storing nothing, so that its lexer errors come before
// any later stage's; returns the number of tokens before END.
size_t countTokens(std::string_view text);

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) {}

    // The next token; END at the end of the text, and again on every later call.
    Token next();
    // The whole list, END included.
    std::vector<Token> tokenize();

private:
    bool match(std::string_view spelling);
    Token scanNumber();
    Token scanIdentifier();
    Token scanOperator();
    bool at(size_t index, bool (*is_class)(unsigned char)) const;

    std::string_view text_;
    size_t pos = 0;
};

}  // namespace tarnex
