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

namespace tarnex {

// The numbers are fixed: they double as the operator codes of the tree.
enum TokenKind : int32_t {
    END = 0, NUMBER = 1, IDENT = 2,
    PLUS = 3, MINUS = 4, STAR = 5, SLASH = 6, PERCENT = 7,
    AMP = 8, PIPE = 9, CARET = 10, TILDE = 11, SHL = 12, SHR = 13,
    EQ = 14, NE = 15, LT = 16, LE = 17, GT = 18, GE = 19,
    AND = 20, OR = 21, NOT = 22,
    QUESTION = 23, COLON = 24, LPAREN = 25, RPAREN = 26, COMMA = 27,
};

struct Token {
    int32_t kind;
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

// ASCII lower-casing, the same in every locale; all name matching uses it.
inline unsigned char asciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(static_cast<unsigned char>(a[i])) != asciiLower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// FNV-1a over the lower-cased bytes: names equal ignoring case hash alike.
inline size_t hashIgnoringCase(std::string_view name) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : name) h = (h ^ asciiLower(static_cast<unsigned char>(c))) * 0x100000001b3ull;
    return static_cast<size_t>(h);
}

// Hash and equality for maps of names that ignore ASCII case.
struct CaseInsensitiveHash {
    size_t operator()(std::string_view name) const { return hashIgnoringCase(name); }
};
struct CaseInsensitiveEqual {
    bool operator()(std::string_view a, std::string_view b) const { return equalsIgnoringCase(a, b); }
};

}  // namespace tarnex
