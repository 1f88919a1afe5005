#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/lexer.h"
#include "test_support.h"

using namespace tarnex;

namespace {

struct Expected {
    int32_t kind;
    std::string text;
    double value;
};

struct LexCase {
    std::string input;
    std::vector<Expected> tokens;  // END excluded
};

std::vector<Token> lex(const std::string& text) { return Lexer(text).tokenize(); }

class LexerTokens : public testing::TestWithParam<LexCase> {};

TEST_P(LexerTokens, KindsTextsAndValues) {
    const LexCase& c = GetParam();
    std::vector<Token> tokens = lex(c.input);
    ASSERT_EQ(tokens.size(), c.tokens.size() + 1) << c.input;
    for (size_t i = 0; i < c.tokens.size(); ++i) {
        EXPECT_EQ(tokens[i].kind, c.tokens[i].kind) << c.input << " token " << i;
        EXPECT_EQ(std::string(tokens[i].text), c.tokens[i].text) << c.input << " token " << i;
        EXPECT_EQ(tokens[i].value, c.tokens[i].value) << c.input << " token " << i;
    }
    EXPECT_EQ(tokens.back().kind, END);
    EXPECT_EQ(tokens.back().offset, c.input.size());
    EXPECT_TRUE(tokens.back().text.empty());
    EXPECT_EQ(countTokens(c.input), c.tokens.size()) << c.input;
}

// The parser pulls tokens one by one and may look past the end.
TEST_P(LexerTokens, NextGivesTheListOneByOneThenEndForever) {
    const LexCase& c = GetParam();
    const std::vector<Token> tokens = lex(c.input);
    Lexer lexer(c.input);
    for (size_t i = 0; i < tokens.size() + 2; ++i) {
        const Token& expected = tokens[std::min(i, tokens.size() - 1)];
        const Token token = lexer.next();
        EXPECT_EQ(token.kind, expected.kind) << c.input << " token " << i;
        EXPECT_EQ(token.text, expected.text) << c.input << " token " << i;
        EXPECT_EQ(token.offset, expected.offset) << c.input << " token " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Spellings, LexerTokens, testing::Values(
    LexCase{"", {}},
    LexCase{" \t\n\v\f\r", {}},
    LexCase{".5", {{NUMBER, ".5", 0.5}}},
    LexCase{"5.", {{NUMBER, "5.", 5.0}}},
    LexCase{"1E+2", {{NUMBER, "1E+2", 100.0}}},
    LexCase{"007", {{NUMBER, "007", 7.0}}},
    LexCase{"1e", {{NUMBER, "1e", 1.0}}},
    LexCase{"2ex", {{NUMBER, "2e", 2.0}, {IDENT, "x", 0.0}}},
    LexCase{"1.2.3", {{NUMBER, "1.2", 1.2}, {NUMBER, ".3", 0.3}}},
    LexCase{".5.3", {{NUMBER, ".5.3", 0.5}}},
    LexCase{"1e-310", {{NUMBER, "1e-310", 1e-310}}},   // subnormal is fine
    LexCase{"0e999", {{NUMBER, "0e999", 0.0}}},        // all-zero literal, any exponent
    LexCase{"0.000e-999", {{NUMBER, "0.000e-999", 0.0}}},
    LexCase{"1x", {{NUMBER, "1", 1.0}, {IDENT, "x", 0.0}}},
    LexCase{"x_1 _t inf nan", {{IDENT, "x_1", 0}, {IDENT, "_t", 0}, {IDENT, "inf", 0}, {IDENT, "nan", 0}}},
    LexCase{"AND Or NoT", {{AND, "AND", 0}, {OR, "Or", 0}, {NOT, "NoT", 0}}},
    LexCase{"android order note", {{IDENT, "android", 0}, {IDENT, "order", 0}, {IDENT, "note", 0}}},
    LexCase{"2**3", {{NUMBER, "2", 2}, {STAR, "*", 0}, {STAR, "*", 0}, {NUMBER, "3", 3}}},
    LexCase{"&&& != == ||", {{AND, "&&", 0}, {AMP, "&", 0}, {NE, "!=", 0}, {EQ, "==", 0}, {OR, "||", 0}}},
    LexCase{"+-*/%&|^~<<>>", {{PLUS, "+", 0}, {MINUS, "-", 0}, {STAR, "*", 0}, {SLASH, "/", 0},
                              {PERCENT, "%", 0}, {AMP, "&", 0}, {PIPE, "|", 0}, {CARET, "^", 0},
                              {TILDE, "~", 0}, {SHL, "<<", 0}, {SHR, ">>", 0}}},
    LexCase{"== != < <= > >= ! ? : ( ) ,",
            {{EQ, "==", 0}, {NE, "!=", 0}, {LT, "<", 0}, {LE, "<=", 0}, {GT, ">", 0}, {GE, ">=", 0},
             {NOT, "!", 0}, {QUESTION, "?", 0}, {COLON, ":", 0}, {LPAREN, "(", 0}, {RPAREN, ")", 0},
             {COMMA, ",", 0}}},
    LexCase{"a\tb\nc", {{IDENT, "a", 0}, {IDENT, "b", 0}, {IDENT, "c", 0}}}));

TEST(Lexer, OffsetsPointAtTokenStarts) {
    std::vector<Token> tokens = lex("  ab <= 12.5e1");
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0].offset, 2u);
    EXPECT_EQ(tokens[1].offset, 5u);
    EXPECT_EQ(tokens[2].offset, 8u);
    EXPECT_EQ(tokens[2].value, 125.0);
    EXPECT_EQ(tokens[3].offset, 14u);
}

TEST(Lexer, NumbersAreCorrectlyRounded) {
    EXPECT_EQ(lex("0.1")[0].value, 0.1);
    EXPECT_EQ(lex("1.7976931348623157e308")[0].value, 1.7976931348623157e308);
    EXPECT_EQ(lex("4.9406564584124654e-324")[0].value, 4.9406564584124654e-324);
    EXPECT_EQ(lex("9007199254740993")[0].value, 9007199254740992.0);  // tie to even
}

struct LexError {
    std::string input;
    std::string message;
    size_t offset;  // of the offending byte or number literal
    size_t length;
};

// The error of `lex_` over `input`, which must throw, as "message @offset+length".
template <class Lex>
std::string errorAt(const std::string& input, Lex lex_) {
    try {
        lex_(input);
    } catch (const CompileError& e) {
        return std::string(e.what()) + " @" + std::to_string(e.offset()) + "+" + std::to_string(e.length());
    }
    return "<no error>";
}

TEST(Lexer, Errors) {
    const std::string unknown = "Lexer error: Unknown character";
    const std::string number = "Lexer error: Invalid number format";
    const std::string single = "Lexer error: Single '=' not supported, use '=='";
    const LexError cases[] = {
        {".", unknown, 0, 1},        {".x", unknown, 0, 1},         {"x.y", unknown, 1, 1},
        {"a[1]", unknown, 1, 1},     {"{", unknown, 0, 1},          {";", unknown, 0, 1},
        {"#", unknown, 0, 1},        {"$", unknown, 0, 1},          {"@", unknown, 0, 1},
        {"'a'", unknown, 0, 1},      {"\"", unknown, 0, 1},         {"\\", unknown, 0, 1},
        {"`", unknown, 0, 1},        {"\x01", unknown, 0, 1},       {std::string("a\0b", 3), unknown, 1, 1},
        {"\xc3\xa9", unknown, 0, 1}, {"x + \xff", unknown, 4, 1},   {"1e400", number, 0, 5},
        {"1e-400", number, 0, 6},    {"2 * 2.5e-330", number, 4, 8}, {"1" + std::string(400, '0'), number, 0, 401},
        {"a=b", single, 1, 1},       {"<<=", single, 2, 1},          {"=", single, 0, 1},
        {"x !==y", single, 4, 1},
    };
    for (const LexError& c : cases) {
        for (size_t shift : {size_t{0}, size_t{5}}) {
            const std::string input = shift == 0 ? c.input : "a + (" + c.input + ")";
            const std::string expected =
                c.message + " @" + std::to_string(c.offset + shift) + "+" + std::to_string(c.length);
            EXPECT_EQ(errorAt(input, lex), expected) << input;
            EXPECT_EQ(errorAt(input, countTokens), expected) << "counting " << input;
        }
    }
}

TEST(Lexer, ErrorAtFirstOffendingByteWins) {
    EXPECT_EQ(errorAt("1e400 $", lex), "Lexer error: Invalid number format @0+5");
    EXPECT_EQ(errorAt("x $ 1e400", lex), "Lexer error: Unknown character @2+1");
}

TEST(Lexer, AsciiCaseFolding) {
    EXPECT_TRUE(equalsIgnoringCase("LOG10", "log10"));
    EXPECT_FALSE(equalsIgnoringCase("log1", "log10"));
    EXPECT_FALSE(equalsIgnoringCase("\xc3\x89", "\xc3\xa9"));  // non-ASCII bytes are not folded
    EXPECT_FALSE(equalsIgnoringCase("[", "{"));
}

// A file of the source tree, found from this one's place in it.
std::string sourceFile(const std::string& path) {
    const std::string here = __FILE__;
    std::ifstream in(here.substr(0, here.rfind("tests/cpp/")) + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The quoted strings of `text` after `from` up to the next `to` (empty: the end).
std::set<std::string> quoted(const std::string& text, const std::string& from = "", const std::string& to = "") {
    std::set<std::string> found;
    const size_t begin = text.find(from);
    const size_t end = to.empty() ? std::string::npos : text.find(to, begin);
    for (size_t at = text.find('"', begin); at < end;) {
        const size_t close = text.find('"', at + 1);
        if (close == std::string::npos) break;
        found.insert(text.substr(at + 1, close - at - 1));
        at = text.find('"', close + 1);
    }
    return found;
}

// The lists kept outside the tables, the fuzzer's dictionary and the
// emulated-CPU check's operators, follow them.
TEST(Lexer, ListsOutsideTheTablesFollowThem) {
    const std::set<std::string> dict = quoted(sourceFile("fuzz/expression.dict"));
    ASSERT_FALSE(dict.empty());
    for (const TokenSpelling& token : TOKEN_SPELLINGS) {
        if (!token.symbol.empty()) {
            EXPECT_TRUE(dict.count(std::string(token.symbol))) << token.symbol;
        }
        if (!token.word.empty()) {
            const std::string spaced = std::string(1, ' ').append(token.word).append(1, ' ');
            EXPECT_TRUE(dict.count(spaced)) << token.word;
        }
    }
    for (const BuiltinEntry& entry : BUILTIN_TABLE) EXPECT_TRUE(dict.count(std::string(entry.name) + "(")) << entry.name;
    const std::vector<std::string> operators = testing_support::binaryOperators();
    EXPECT_EQ(quoted(sourceFile("tools/isa_check.py"), "OPERATORS = [", "]"),
              std::set<std::string>(operators.begin(), operators.end()));
}

}  // namespace
