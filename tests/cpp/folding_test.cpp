#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "tarnex/builtins.h"
#include "tarnex/numeric.h"
#include "test_support.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

struct FoldCase {
    const char* text;
    double expected;
};

class Folding : public testing::TestWithParam<FoldCase> {};

TEST_P(Folding, Value) {
    const FoldCase& c = GetParam();
    double got = folded(c.text);
    EXPECT_TRUE(sameValue(got, c.expected)) << c.text << " gave " << got << ", expected " << c.expected;
}

// Operands are chosen so that a wrong precedence or associativity changes the value.
INSTANTIATE_TEST_SUITE_P(Precedence, Folding, testing::Values(
    FoldCase{"1 - 2 - 3", -4},          FoldCase{"2 * 3 + 4", 10},        FoldCase{"2 + 3 * 4", 14},
    FoldCase{"12 / 3 / 2", 2},          FoldCase{"7 - 5 % 3", 5},         FoldCase{"1 << 2 + 1", 8},
    FoldCase{"1 + 2 << 1", 6},          FoldCase{"16 >> 1 >> 1", 4},      FoldCase{"1 < 2 == 1", 1},
    FoldCase{"3 > 2 > 1", 0},           FoldCase{"2 == 2 & 3", 1},        FoldCase{"6 & 3 ^ 1", 3},
    FoldCase{"1 ^ 3 | 4", 6},           FoldCase{"4 | 1 ^ 3", 6},         FoldCase{"0 | 1 && 0", 0},
    FoldCase{"1 || 0 && 0", 1},         FoldCase{"0 && 0 || 1", 1},       FoldCase{"-2 ^ 2", -4},
    FoldCase{"2 ^ 3", 1},               FoldCase{"-(2 + 3) * 2", -10},    FoldCase{"!0 + 1", 2},
    FoldCase{"~0 * 2", -2},             FoldCase{"- - 3", 3},             FoldCase{"!-1", 0},
    FoldCase{"1 ? 2 : 3 ? 4 : 5", 2},   FoldCase{"0 ? 2 : 0 ? 4 : 5", 5}, FoldCase{"0 ? 1 ? 2 : 3 : 4", 4},
    FoldCase{"1 ? 0 ? 2 : 3 : 4", 3},   FoldCase{"0 || 0 ? 7 : 8", 8},    FoldCase{"1 ? 7 : 0 || 1", 7},
    FoldCase{"2 * (3 + 4)", 14},        FoldCase{"((((5))))", 5}));

INSTANTIATE_TEST_SUITE_P(SpecialValues, Folding, testing::Values(
    FoldCase{"-0", -0.0},                       FoldCase{"-(0)", -0.0},
    FoldCase{"0 * -1", -0.0},                   FoldCase{"abs(-0.0)", 0.0},
    FoldCase{"sqrt(-1)", kNaN},                 FoldCase{"1e308 * 10", kInf},
    FoldCase{"-1e308 * 10", -kInf},             FoldCase{"log(0)", -kInf},
    FoldCase{"pow(0, -1)", kInf},               FoldCase{"1 / -1e-320 < 0", 1},
    FoldCase{"sqrt(-1) == sqrt(-1)", 0},        FoldCase{"sqrt(-1) != sqrt(-1)", 1},
    FoldCase{"sqrt(-1) < 1", 0},                FoldCase{"sqrt(-1) >= 1", 0},
    FoldCase{"-0.0 == 0", 1},                   FoldCase{"!0", 1},
    FoldCase{"!-0.0", 1},                       FoldCase{"!sqrt(-1)", 0},
    FoldCase{"0 || 2", 1},                      FoldCase{"2 && 0", 0},
    FoldCase{"sqrt(-1) && 1", 1},               FoldCase{"0 / 5", 0.0},
    FoldCase{"1 / sqrt(-1)", kNaN},             FoldCase{"7 % -3", 1},
    FoldCase{"-7 % 3", -1},                     FoldCase{"-6 % 3", -0.0},
    FoldCase{"5 % 1e308 * 10", 50}));

INSTANTIATE_TEST_SUITE_P(IntegerOperators, Folding, testing::Values(
    FoldCase{"1 << 64", 1},                      FoldCase{"1 << 63", kMin64},
    FoldCase{"1 << -1", kMin64},                 FoldCase{"3 << 62", -4611686018427387904.0},
    FoldCase{"-8 >> 1", -4},                     FoldCase{"-1 >> 63", -1},
    FoldCase{"~0", -1},                          FoldCase{"~-1", 0},
    FoldCase{"5.9 & 3", 1},                      FoldCase{"5.9 & 3.2", 1},
    FoldCase{"-1.5 & 3", 3},                     FoldCase{"sqrt(-1) | 0", kMin64},
    FoldCase{"1e19 & 1", 0},                     FoldCase{"-1 & 1e19", kMin64},
    FoldCase{"(1e308 * 10) | 0", kMin64},        FoldCase{"9007199254740993 | 0", 9007199254740992.0},
    FoldCase{"~(1e308*10)", 9223372036854775807.0}));

INSTANTIATE_TEST_SUITE_P(Builtins, Folding, testing::Values(
    FoldCase{"max(1,2,3,4,5,6,7,8)", 8},    FoldCase{"min(8,7,6,5,4,3,2,1)", 1},
    FoldCase{"pow(2, 10)", 1024},           FoldCase{"POW(2, 0.5)", std::sqrt(2.0)},
    FoldCase{"min(sqrt(-1), 1)", kNaN},     FoldCase{"min(1, sqrt(-1))", 1},
    FoldCase{"max(sqrt(-1), 1)", kNaN},     FoldCase{"max(1, sqrt(-1))", 1},
    FoldCase{"max(0, -0.0)", 0.0},          FoldCase{"max(-0.0, 0)", -0.0},
    FoldCase{"min(-0.0, 0)", -0.0},         FoldCase{"min(0, -0.0)", 0.0},
    FoldCase{"max(3)", 3},                  FoldCase{"round(2.5)", 3},
    FoldCase{"round(-2.5)", -3},            FoldCase{"floor(-0.5)", -1},
    FoldCase{"ceil(-0.5)", -0.0},           FoldCase{"Sin(0)", 0},
    FoldCase{"LOG10(1000)", 3},             FoldCase{"exp(0)", 1},
    FoldCase{"acos(2)", kNaN},              FoldCase{"atan(1e308*10)", std::atan(kInf)},
    FoldCase{"tan(1)", std::tan(1.0)},      FoldCase{"asin(1)", std::asin(1.0)},
    FoldCase{"cos(1)", std::cos(1.0)}));

TEST(Folding, Errors) {
    const std::pair<std::string, std::string> cases[] = {
        {"max(1,2,3,4,5,6,7,8,9)", "Too many arguments"},
        {"max(1,2,3,4,5,6,7,8,)", "Too many arguments"},
        {"foo(1,2,3,4,5,6,7,8,9)", "Too many arguments"},
        {"foo(1,2,3,4,5,6,7,1/0,9)", "Division by zero"},   // the eighth is parsed, then the limit
        {"max(1,2,3,4,5,6,7,8,1/0)", "Too many arguments"},  // the ninth is never parsed
        {"foo(1)", "Unknown func"},
        {"foo()", "Unknown func"},
        {"foo(1/0)", "Division by zero"},                   // arguments before the name
        {"sin()", "Function expects 1 argument"},
        {"sin(1, 2)", "Function expects 1 argument"},
        {"pow(2)", "pow expects 2 arguments"},
        {"pow(1,2,3)", "pow expects 2 arguments"},
        {"min()", "min/max expect at least 1 argument"},
        {"MAX()", "min/max expect at least 1 argument"},
        {"1/0", "Division by zero"},
        {"1/-0.0", "Division by zero"},
        {"x + 1/0", "Division by zero"},
        {"0/0", "Division by zero"},
        {"5 % 0", "Modulo by zero"},
        {"5 % -0", "Modulo by zero"},
        {"1 ? 2 : 1/0", "Division by zero"},
        {"0 && 1/0", "Division by zero"},
        {"1 || 1 % 0", "Modulo by zero"},
        {"sin(1", "Parse error"},
        {"sin(1;", "Lexer error: Unknown character"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(compileError(text, {"x"}), message) << text;
    EXPECT_EQ(compileError("x / 0", {"x"}), "<no error>");
    EXPECT_EQ(compileError("x % -0.0", {"x"}), "<no error>");
}

TEST(Folding, CallsWithVariablesBecomeCallNodes) {
    Program p = compileWith("pow(2, x)", {"x"});
    EXPECT_EQ(p.code.at(2).operand, 0x70002u);
    p = compileWith("min(x)", {"x"});
    EXPECT_EQ(p.code.at(1).operand, 0xF0001u);
}

struct IntCase {
    double input;
    int64_t expected;
};

TEST(ToInt64, EdgeValues) {
    const int64_t min = std::numeric_limits<int64_t>::min();
    const IntCase cases[] = {
        {0.0, 0},
        {-0.0, 0},
        {0.9999, 0},
        {-0.9999, 0},
        {2.5, 2},
        {-2.5, -2},
        {9223372036854774784.0, 9223372036854774784},  // largest double below 2^63
        {9223372036854775808.0, min},                  // 2^63 is out of range
        {-9223372036854775808.0, min},                 // -2^63 is in range, and exact
        {-9223372036854777856.0, min},                 // next double below -2^63
        {1e19, min},
        {-1e19, min},
        {kInf, min},
        {-kInf, min},
        {kNaN, min},
        {-kNaN, min},
        {4.9406564584124654e-324, 0},
    };
    for (const IntCase& c : cases) EXPECT_EQ(to_int64(c.input), c.expected) << c.input;
}

TEST(Builtins, TableIsInIdOrderAndLookupIgnoresCase) {
    for (int i = 0; i < BUILTIN_COUNT; ++i) EXPECT_EQ(static_cast<int>(BUILTIN_TABLE[i].id), i);
    ASSERT_NE(findBuiltin("LOG10"), nullptr);
    EXPECT_EQ(findBuiltin("LOG10")->id, BuiltinFunc::LOG10);
    EXPECT_EQ(findBuiltin("log1"), nullptr);
    EXPECT_EQ(findBuiltin("maxx"), nullptr);
    EXPECT_EQ(findBuiltin(""), nullptr);
}

}  // namespace
