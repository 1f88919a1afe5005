// Lexer: expression text in, tokens out one at a time, ending with END.
//
// The text is read byte by byte as received (nothing is decoded); tokens hold
// views into it, so the text must outlive every use of the tokens.
// `next`, `tokenize` and `countTokens` throw CompileError with one of the
// fixed "Lexer error: ..." messages at the first offending byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tarnex/names.h"
#include "tarnex/tokens.h"

namespace tarnex {

// An error of the front end: its fixed message, which never tells where, and
// the bytes of the text the error is about, for callers that show the text:
// the offending token, a byte the lexer cannot read, or the empty span at
// the end of the text.
class CompileError : public std::runtime_error {
public:
    CompileError(const char* message, size_t offset, size_t length)
        : std::runtime_error(message), offset_(offset), length_(length) {}
    size_t offset() const { return offset_; }
    size_t length() const { return length_; }

private:
    size_t offset_;
    size_t length_;
};

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
