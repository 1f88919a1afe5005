// Programs with jumps run a whole block at a time under per-element masks;
// they must behave exactly as the per-element route does: the same bits in
// every element (a NaN for a NaN), the same error, the same elements written
// before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tarnex/engine.h"
#include "test_support.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

// A NaN with a payload no operation produces: marks elements never written.
const double kUnwritten = std::bit_cast<double>(uint64_t{0x7ff8dead0000beefull});
const char* const kNoError = "<no error>";

using Column = std::vector<double>;

std::vector<const double*> pointers(const std::vector<Column>& columns) {
    std::vector<const double*> p;
    for (const Column& c : columns) p.push_back(c.data());
    return p;
}

struct Outcome {
    std::string error;
    Column out;
};

// `evaluate(count, out, inputs)` over the columns, `out` starting unwritten.
template <class Evaluate>
Outcome runWith(Evaluate&& evaluate, const std::vector<Column>& columns) {
    size_t count = columns[0].size();
    Outcome run{"", Column(count, kUnwritten)};
    std::vector<const double*> inputs = pointers(columns);
    run.error = errorOf([&] { evaluate(count, run.out.data(), inputs.data()); });
    return run;
}

// Bit for bit, except that a NaN matches any NaN: when both operands of an
// addition or product are NaN, the one that comes out depends on the order
// in which the compiler put the operands, which differs between loops.
bool sameResults(const Column& a, const Column& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!sameValue(a[i], b[i])) return false;
    return true;
}

// Pieces in order: the operands of + would be generated in an unspecified one.
std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) text += piece;
    return text;
}

// Many branches and divisions that conditions guard.
constexpr ExpressionMix kMix{1, 4, 1, 3, 2, 1, 2, 8};

// Block lengths: short ones, both sides of a vector body's tail, a full
// block, and one the masked route cuts into chunks.
const uint64_t kLengths[] = {1, 3, 4095, 4096, 1, 3, 4095, 4096, 1, 3, 4095, 4096, 9001};

TEST(BranchInterpreter, MatchesThePerElementRouteOnGeneratedPrograms) {
    constexpr int kExpressions = 2500;
    ExpressionGenerator gen(20250117, kMix);
    int skipped = 0, masked = 0, failed = 0, declined = 0;
    for (int e = 0; e < kExpressions; ++e) {
        std::string text = render(*gen.branchy(2 + e % 4), nullptr);
        Program program;
        try {
            program = compileWith(text, {"a", "b", "c"});
        } catch (const std::runtime_error&) {
            ++skipped;  // a constant part divides by zero
            continue;
        }
        if (!hasJumps(program.code)) {
            ++skipped;  // a constant condition folded every branch away
            continue;
        }
        const auto prepared = prepare(program);
        uint64_t length = kLengths[e % std::size(kLengths)];
        static const int kZeroOdds[] = {0, 3000, 40, 6};
        int zero_odds = kZeroOdds[gen.pick(std::size(kZeroOdds))];
        std::vector<Column> columns(3, Column(length));
        for (Column& column : columns)
            for (double& v : column) v = gen.value(zero_odds);
        SCOPED_TRACE(text + " over " + std::to_string(length) + " elements");
        Outcome elements = runWith([&](auto... args) { detail::evaluateElements(*prepared, args...); }, columns);
        Outcome block = runWith([&](auto... args) { evaluateBlock(*prepared, args...); }, columns);
        bool taken = false;
        Outcome direct = runWith([&](auto... args) { taken = detail::evaluateMasked(*prepared, args...); }, columns);
        ASSERT_EQ(block.error, elements.error);
        ASSERT_TRUE(sameResults(block.out, elements.out));
        if (taken) {
            ASSERT_EQ(elements.error, kNoError);
            ASSERT_TRUE(sameResults(direct.out, elements.out));
        }
        masked += taken;
        failed += elements.error != kNoError;
        declined += !taken && elements.error == kNoError;
    }
    EXPECT_LT(skipped, kExpressions / 10);
    EXPECT_GT(masked, kExpressions / 2);
    EXPECT_GT(failed, kExpressions / 20);
    // only the cost rule declines a compiled program that does not fail
    EXPECT_LT(declined, kExpressions / 100);
}

struct Case {
    const char* text;
    std::function<double(double, double, double)> expected;
};

// Hand-picked programs against a C++ oracle, with every combination of
// these values in a, b and c: signed zeros, NaN and both signs.
TEST(BranchInterpreter, TargetedProgramsMatchTheirOracle) {
    const double values[] = {0.0, -0.0, kNaN, 2.0, -3.0, kInf};
    auto truth = [](double x) { return x != 0.0; };
    const Case cases[] = {
        {"a && b", [&](double a, double b, double) { return truth(a) && truth(b) ? 1.0 : 0.0; }},
        {"a || b", [&](double a, double b, double) { return truth(a) || truth(b) ? 1.0 : 0.0; }},
        {"!a || b && c", [&](double a, double b, double c) { return !truth(a) || (truth(b) && truth(c)) ? 1.0 : 0.0; }},
        {"c ? a : b", [&](double a, double b, double c) { return truth(c) ? a : b; }},
        {"c ? a : a", [&](double a, double, double c) { return truth(c) ? a : a; }},
        {"(c ? a : b) - (c ? b : a)", [&](double a, double b, double c) { return (truth(c) ? a : b) - (truth(c) ? b : a); }},
        {"a > 0 ? (b > 0 ? 1 : 2) : (b > 0 ? 3 : c ? 4 : 5)",
         [&](double a, double b, double c) { return a > 0 ? (b > 0 ? 1 : 2) : (b > 0 ? 3 : truth(c) ? 4 : 5); }},
        {"b != 0 ? a / b : -1", [&](double a, double b, double) { return b != 0 ? a / b : -1; }},
        {"b == 0 || a % b > 1", [&](double a, double b, double) { return b == 0 || std::fmod(a, b) > 1 ? 1.0 : 0.0; }},
        {"a > b ? min(a, c, b) : max(c, b, a)",
         [&](double a, double b, double c) {
             auto lower = [](double x, double y) { return y < x ? y : x; };
             auto upper = [](double x, double y) { return y > x ? y : x; };
             return a > b ? lower(lower(a, c), b) : upper(upper(c, b), a);
         }},
        {"c ? pow(a, b) : b * (a && c)", [&](double a, double b, double c) {
             return truth(c) ? std::pow(a, b) : b * (truth(a) && truth(c) ? 1.0 : 0.0);
         }},
    };
    std::vector<Column> columns(3);
    for (double a : values)
        for (double b : values)
            for (double c : values) {
                columns[0].push_back(a);
                columns[1].push_back(b);
                columns[2].push_back(c);
            }
    for (const Case& k : cases) {
        const auto prepared = prepare(compileWith(k.text, {"a", "b", "c"}));
        bool taken = false;
        Outcome run = runWith([&](auto... args) { taken = detail::evaluateMasked(*prepared, args...); }, columns);
        EXPECT_TRUE(taken) << k.text;
        for (size_t i = 0; i < columns[0].size(); ++i) {
            double want = k.expected(columns[0][i], columns[1][i], columns[2][i]);
            EXPECT_TRUE(sameValue(run.out[i], want))
                << k.text << " with " << columns[0][i] << ", " << columns[1][i] << ", " << columns[2][i] << " gave "
                << run.out[i] << ", expected " << want;
        }
    }
}

// The first failing element in element order decides the message, although
// the masked walk meets the division before the remainder; the elements
// before it are written, the others are not.
TEST(BranchInterpreter, ErrorOfTheFirstFailingElement) {
    struct ErrorCase {
        Column c;
        const char* message;
        size_t written;
    } cases[] = {
        {{1, 1, -1, 0, 1, 0}, kNoError, 6},
        {{1, 1, -1, 1, -1, -1}, "Division by zero", 3},
        {{1, 1, -1, -1, 1, 1}, "Modulo by zero", 3},
    };
    const Column a{1, 2, 3, 4, 5, 6}, b{1, 2, 3, 0.0, 5, -0.0};
    const auto prepared = prepare(compileWith("c > 0 ? a / b : c < 0 ? a % b : 0", {"a", "b", "c"}));
    for (const ErrorCase& k : cases) {
        Outcome run = runWith([&](auto... args) { evaluateBlock(*prepared, args...); }, {a, b, k.c});
        EXPECT_EQ(run.error, k.message);
        for (size_t i = 0; i < a.size(); ++i) {
            double want = i >= k.written ? kUnwritten
                          : k.c[i] > 0   ? a[i] / b[i]
                          : k.c[i] < 0   ? std::fmod(a[i], b[i])
                                         : 0.0;
            EXPECT_TRUE(sameValue(run.out[i], want)) << k.message << " @" << i;
        }
    }
}

Instruction ins(Opcode op, uint32_t operand = 0) { return Instruction{static_cast<uint32_t>(op), operand}; }

// Shapes compiled code never has go element by element; the ones the
// per-element route survives must still give its results.
TEST(BranchInterpreter, DeclinesUnusualPrograms) {
    using O = Opcode;
    struct Odd {
        const char* what;
        std::vector<Instruction> code;
        bool safe_per_element;
    } shapes[] = {
        {"empty stack at RETURN", {ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 1), ins(O::RETURN)}, true},
        {"depths differ where paths meet",
         {ins(O::LOAD_VAR), ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 2), ins(O::PUSH_CONST), ins(O::RETURN)}, true},
        {"jump past RETURN", {ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 3), ins(O::LOAD_VAR), ins(O::RETURN),
                              ins(O::PUSH_CONST), ins(O::RETURN)}, true},
        {"no RETURN", {ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 2), ins(O::PUSH_CONST), ins(O::PUSH_CONST)}, true},
        {"stack underflow", {ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 2), ins(O::ADD), ins(O::RETURN)}, false},
        {"jump out of the code", {ins(O::LOAD_VAR), ins(O::JUMP, 9), ins(O::RETURN)}, true},
        {"jump by zero", {ins(O::LOAD_VAR), ins(O::JUMP, 0), ins(O::RETURN)}, false},
        {"constant out of range", {ins(O::LOAD_VAR), ins(O::JUMP, 1), ins(O::PUSH_CONST, 1), ins(O::RETURN)}, false},
        {"pow of one argument", {ins(O::LOAD_VAR), ins(O::JUMP, 1), ins(O::CALL_BUILTIN, 0x70001), ins(O::RETURN)}, false},
    };
    const std::vector<Column> columns{{0.0, 1.0, kNaN, -0.0, 4.0}};
    for (const Odd& s : shapes) {
        Program program;
        program.code = s.code;
        program.constants = {7.0};
        program.var_names = {"a"};
        const auto prepared = prepare(program);
        bool taken = true;
        Outcome direct = runWith([&](auto... args) { taken = detail::evaluateMasked(*prepared, args...); }, columns);
        EXPECT_FALSE(taken) << s.what;
        for (double v : direct.out) EXPECT_EQ(std::bit_cast<uint64_t>(v), std::bit_cast<uint64_t>(kUnwritten)) << s.what;
        if (!s.safe_per_element) continue;
        Outcome block = runWith([&](auto... args) { evaluateBlock(*prepared, args...); }, columns);
        Outcome elements = runWith([&](auto... args) { detail::evaluateElements(*prepared, args...); }, columns);
        EXPECT_TRUE(sameResults(block.out, elements.out)) << s.what;
    }
}

// The masked route takes the program exactly when `masked`; whichever route
// evaluateBlock then picks gives the per-element results.
void expectRoute(const Program& program, const std::vector<Column>& columns, bool masked) {
    const auto prepared = prepare(program);
    bool taken = !masked;
    Outcome direct = runWith([&](auto... args) { taken = detail::evaluateMasked(*prepared, args...); }, columns);
    EXPECT_EQ(taken, masked);
    Outcome block = runWith([&](auto... args) { evaluateBlock(*prepared, args...); }, columns);
    Outcome elements = runWith([&](auto... args) { detail::evaluateElements(*prepared, args...); }, columns);
    EXPECT_TRUE(sameResults(block.out, elements.out));
    if (taken) {
        EXPECT_TRUE(sameResults(direct.out, elements.out));
    }
}

// Every open level of && keeps a path waiting; past a limit the program
// goes element by element rather than hold a mask per level.
TEST(BranchInterpreter, DeeplyNestedLogicGoesElementByElement) {
    std::vector<Column> columns{{1, 0, 2, kNaN, 1, 1}, {1, 1, 1, 1, 0.0, -1}};
    for (int levels : {8, 40, 200}) {
        std::string text = "a";
        for (int k = 0; k < levels; ++k) text = concat({k % 2 ? "b && (" : "a || (", text, ")"});
        SCOPED_TRACE(std::to_string(levels) + " levels");
        expectRoute(compileWith(text, {"a", "b"}), columns, levels < 100);
    }
}

// A balanced tree of conditionals: over spread-out data each element runs a
// few conditions and one leaf, the masked route every leaf. With many
// leaves the per-element route is faster and takes over.
std::string decisionTree(double low, double high, int leaves) {
    if (leaves == 1) return concat({"((a * b + c) * (a - ", literal(low), ") / (b + c * a) - a * a * b + c)"});
    double middle = (low + high) / 2;
    return concat({"(a < ", literal(middle), " ? ", decisionTree(low, middle, leaves / 2), " : ",
                   decisionTree(middle, high, leaves / 2), ")"});
}

TEST(BranchInterpreter, LargeDecisionTreesGoElementByElement) {
    std::vector<Column> columns(3);
    for (int i = 0; i < 300; ++i) {
        columns[0].push_back(i / 300.0);
        columns[1].push_back(1.5 - i / 600.0);
        columns[2].push_back(i % 7 - 3.0);
    }
    for (int leaves : {2, 8, 64, 256}) {
        SCOPED_TRACE(std::to_string(leaves) + " leaves");
        expectRoute(compileWith(decisionTree(0, 1, leaves), {"a", "b", "c"}), columns, leaves <= 8);
    }
}

}  // namespace
