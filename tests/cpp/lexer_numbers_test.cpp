// Number literals at the edges of double's range, where the conversion
// libraries differ in how they report a result out of range. The same
// table runs against fast_float and against std::from_chars.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "tarnex/lexer.h"

using namespace tarnex;

namespace {

struct NumberCase {
    std::string literal;
    std::optional<double> value;  // none: "Lexer error: Invalid number format"
};

class LexerNumberEdges : public testing::TestWithParam<NumberCase> {};

TEST_P(LexerNumberEdges, ValueBitsOrRangeError) {
    const NumberCase& c = GetParam();
    if (!c.value) {
        try {
            Lexer(c.literal).tokenize();
            ADD_FAILURE() << "no error for " << c.literal;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Lexer error: Invalid number format");
        }
        return;
    }
    std::vector<Token> tokens = Lexer(c.literal).tokenize();
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].kind, NUMBER);
    EXPECT_EQ(tokens[0].text, c.literal);
    EXPECT_EQ(std::bit_cast<uint64_t>(tokens[0].value), std::bit_cast<uint64_t>(*c.value));
}

constexpr double MAX = std::numeric_limits<double>::max();
constexpr double MIN_NORMAL = std::numeric_limits<double>::min();
constexpr double MIN_SUBNORMAL = std::numeric_limits<double>::denorm_min();
const std::string TWENTY_NINES(20, '9');

INSTANTIATE_TEST_SUITE_P(Range, LexerNumberEdges, testing::Values(
    NumberCase{"1.7976931348623157e308", MAX},
    NumberCase{"1.7976931348623158e308", MAX},      // rounds down to the largest double
    NumberCase{"1.7976931348623159e308", {}},       // rounds up to infinity
    NumberCase{"1e" + TWENTY_NINES, {}},            // exponent beyond any integer type
    NumberCase{"2.2250738585072012e-308", MIN_NORMAL},
    NumberCase{"2.2250738585072011e-308", MIN_NORMAL - MIN_SUBNORMAL},
    NumberCase{"1e-310", 1e-310},
    NumberCase{"4.9e-324", MIN_SUBNORMAL},
    NumberCase{"2.4703282292062328e-324", MIN_SUBNORMAL},  // just above half the smallest
    NumberCase{"2.4703282292062327e-324", {}},             // just below: rounds to zero
    NumberCase{"1e-" + TWENTY_NINES, {}},
    NumberCase{"0.0000000000000000000000000000000000001e-300", {}},
    NumberCase{"1000000000000000000000000000000e-330", 1e-300},
    NumberCase{"0e999", 0.0},
    NumberCase{"000.000e" + TWENTY_NINES, 0.0},
    NumberCase{"0e-" + TWENTY_NINES, 0.0}));

INSTANTIATE_TEST_SUITE_P(Rounding, LexerNumberEdges, testing::Values(
    NumberCase{"9007199254740993", 9007199254740992.0},  // tie to even
    NumberCase{"9007199254740993.00000000000000000000001", 9007199254740994.0},
    NumberCase{"0.3000000000000000166533453693773481063544750213623046874", 0.3},  // below a tie
    NumberCase{"0.3000000000000000166533453693773481063544750213623046875", 0.30000000000000004},
    NumberCase{"1e23", 1e23},
    NumberCase{"8.988465674311579e307", 0x1.fffffffffffffp+1022},
    NumberCase{"1e+", 1.0}));

}  // namespace
