#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "test_support.h"
#include "worker_pool.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

const double kTwo63 = 9223372036854775808.0;
// A NaN with a payload no operation produces: marks elements never written.
const double kUnwritten = std::bit_cast<double>(uint64_t{0x7ff8dead0000beefull});

using Column = std::vector<double>;

Instruction ins(Opcode op, uint32_t operand = 0) { return Instruction{static_cast<uint32_t>(op), operand}; }

Program handBuilt(std::vector<Instruction> code, std::vector<double> constants, size_t var_count) {
    Program p;
    p.code = std::move(code);
    p.constants = std::move(constants);
    p.var_names.assign(var_count, "v");  // only their number matters here
    return p;
}

// `body` followed by RETURN (block mode), and the same behind a taken jump
// over a decoy constant (element by element).
Program straight(std::vector<Instruction> body, size_t var_count) {
    body.push_back(ins(Opcode::RETURN));
    return handBuilt(std::move(body), {}, var_count);
}

Program withJump(std::vector<Instruction> body, size_t var_count) {
    body.insert(body.end(), {ins(Opcode::JUMP, 2), ins(Opcode::PUSH_CONST, 0), ins(Opcode::RETURN)});
    return handBuilt(std::move(body), {12345.0}, var_count);
}

std::vector<const double*> pointers(const std::vector<Column>& columns) {
    std::vector<const double*> p;
    for (const Column& c : columns) p.push_back(c.data());
    return p;
}

Column runBlock(const Program& program, const std::vector<Column>& columns, size_t count) {
    Column out(count, kUnwritten);
    std::vector<const double*> inputs = pointers(columns);
    evaluateBlock(*prepare(program), count, out.data(), inputs.empty() ? nullptr : inputs.data());
    return out;
}

// One element more than asked for, which must stay unwritten.
Column runParallel(const Program& program, const std::vector<Column>& columns, int64_t n) {
    Column out(static_cast<size_t>(n) + 1, kUnwritten);
    evaluateParallel(columns.size(), BLOCK_SIZE, out.data(), *prepare(program), n, pointers(columns));
    EXPECT_TRUE(sameValue(out.back(), kUnwritten)) << "written past the end";
    out.pop_back();
    return out;
}

Column runCompiled(const std::string& text, const std::vector<Column>& columns,
                   DivideMode divide = DivideMode::RAISE) {
    static const std::vector<std::string> names{"a", "b", "c"};
    Program p = compileWith(text, std::vector<std::string>(names.begin(), names.begin() + columns.size()), divide);
    return runParallel(p, columns, columns.empty() ? 1 : static_cast<int64_t>(columns[0].size()));
}

std::string show(const Column& values) {
    std::string s;
    for (double v : values) s += std::to_string(v) + " ";
    return s;
}

// Runs `body` over rows of operands by all three routes: block mode, the
// per-element loop and evaluateScalar. Rows repeat to an odd length so that
// vector bodies and scalar tails both run; inputs must come back untouched.
// `per_element` is what the per-element evaluator gives where it differs.
void expectAllRoutes(const std::vector<Instruction>& body, const std::vector<Column>& rows, const Column& expected,
                     const Column& per_element) {
    constexpr size_t kLength = 67;
    size_t arity = rows[0].size();
    std::vector<Column> columns(arity, Column(kLength));
    for (size_t i = 0; i < kLength; ++i)
        for (size_t v = 0; v < arity; ++v) columns[v][i] = rows[i % rows.size()][v];
    const std::vector<Column> before = columns;
    Column block = runBlock(straight(body, arity), columns, kLength);
    Column elementwise = runBlock(withJump(body, arity), columns, kLength);
    Program scalar_program = straight(body, arity);
    for (size_t i = 0; i < kLength; ++i) {
        const Column& row = rows[i % rows.size()];
        double want = expected[i % rows.size()];
        double want_per_element = per_element[i % rows.size()];
        SCOPED_TRACE("operands " + show(row));
        EXPECT_TRUE(sameValue(block[i], want)) << "block mode gave " << block[i] << ", expected " << want;
        EXPECT_TRUE(sameValue(elementwise[i], want_per_element)) << "per element gave " << elementwise[i];
        EXPECT_TRUE(sameValue(evaluateScalar(scalar_program, row.data()), want_per_element));
    }
    for (size_t v = 0; v < arity; ++v)
        EXPECT_EQ(0, std::memcmp(before[v].data(), columns[v].data(), kLength * sizeof(double))) << "input written";
}

struct OpCase {
    Opcode op;
    Column operands;
    double expected;
    std::optional<double> per_element = std::nullopt;  // where the per-element evaluator differs
};

void PrintTo(const OpCase& c, std::ostream* os) {
    *os << opcodeName(static_cast<uint32_t>(c.op)) << " " << show(c.operands);
}

class EngineOpcode : public testing::TestWithParam<std::vector<OpCase>> {};

// Each parameter is all cases of one opcode, evaluated side by side in a block.
TEST_P(EngineOpcode, EveryRouteGivesTheSameBits) {
    const std::vector<OpCase>& cases = GetParam();
    std::vector<Column> rows;
    Column expected, per_element;
    for (const OpCase& c : cases) {
        rows.push_back(c.operands);
        expected.push_back(c.expected);
        per_element.push_back(c.per_element.value_or(c.expected));
    }
    std::vector<Instruction> body;
    for (uint32_t v = 0; v < rows[0].size(); ++v) body.push_back(ins(Opcode::LOAD_VAR, v));
    body.push_back(ins(cases[0].op));
    expectAllRoutes(body, rows, expected, per_element);
}

using O = Opcode;
INSTANTIATE_TEST_SUITE_P(Arithmetic, EngineOpcode, testing::Values(
    std::vector<OpCase>{{O::ADD, {1, 2}, 3}, {O::ADD, {0.0, -0.0}, 0.0}, {O::ADD, {-0.0, -0.0}, -0.0},
                        {O::ADD, {kInf, -kInf}, kNaN}, {O::ADD, {kNaN, 1}, kNaN}, {O::ADD, {1e308, 1e308}, kInf}},
    std::vector<OpCase>{{O::SUB, {5, 7}, -2}, {O::SUB, {0.0, 0.0}, 0.0}, {O::SUB, {-0.0, 0.0}, -0.0},
                        {O::SUB, {kInf, kInf}, kNaN}},
    std::vector<OpCase>{{O::MUL, {-2, 3}, -6}, {O::MUL, {-0.0, 5}, -0.0}, {O::MUL, {0, kInf}, kNaN},
                        {O::MUL, {1e200, -1e200}, -kInf}},
    std::vector<OpCase>{{O::DIV, {7, 2}, 3.5}, {O::DIV, {1, kInf}, 0.0}, {O::DIV, {-1, kInf}, -0.0},
                        {O::DIV, {1, kNaN}, kNaN}, {O::DIV, {kInf, kInf}, kNaN}, {O::DIV, {1, -8}, -0.125},
                        {O::DIV, {1, 1e-310}, kInf}},
    std::vector<OpCase>{{O::MOD, {-7, 3}, -1}, {O::MOD, {7, -3}, 1}, {O::MOD, {5.5, 2}, 1.5},
                        {O::MOD, {kInf, 2}, kNaN}, {O::MOD, {1, kInf}, 1}, {O::MOD, {-0.0, 3}, -0.0},
                        {O::MOD, {kNaN, 2}, kNaN}}));

INSTANTIATE_TEST_SUITE_P(Integer, EngineOpcode, testing::Values(
    std::vector<OpCase>{{O::BIT_AND, {5.9, 3.2}, 1}, {O::BIT_AND, {-1.5, 3}, 3}, {O::BIT_AND, {1e19, 1}, 0},
                        {O::BIT_AND, {-1, 1e19}, kMin64, -8446744073709551616.0}, {O::BIT_AND, {kNaN, -1}, kMin64},
                        {O::BIT_AND, {-0.0, -1}, 0.0}, {O::BIT_AND, {kTwo63, -1}, kMin64}},
    std::vector<OpCase>{{O::BIT_OR, {1, 2}, 3}, {O::BIT_OR, {kNaN, 0}, kMin64}, {O::BIT_OR, {-kInf, 0}, kMin64},
                        {O::BIT_OR, {kMin64, 0}, kMin64}, {O::BIT_OR, {-1e19, 1}, kMin64},
                        // 2^62 + 1 rounds back to 2^62 on the way to double
                        {O::BIT_OR, {4611686018427387904.0, 1}, 4611686018427387904.0}},
    std::vector<OpCase>{{O::BIT_XOR, {5, 3}, 6}, {O::BIT_XOR, {-1, 0}, -1}, {O::BIT_XOR, {kInf, 0}, kMin64},
                        {O::BIT_XOR, {-1, kMin64}, kTwo63}},
    std::vector<OpCase>{{O::SHIFT_LEFT, {1, 64}, 1}, {O::SHIFT_LEFT, {1, 63}, kMin64}, {O::SHIFT_LEFT, {1, -1}, kMin64},
                        {O::SHIFT_LEFT, {3, 1.9}, 6}, {O::SHIFT_LEFT, {-1, 2}, -4}, {O::SHIFT_LEFT, {1, kNaN}, 1},
                        {O::SHIFT_LEFT, {3, 63}, kMin64}},
    std::vector<OpCase>{{O::SHIFT_RIGHT, {-8, 1}, -4}, {O::SHIFT_RIGHT, {-1, 63}, -1},
                        {O::SHIFT_RIGHT, {kMin64, 63}, -1}, {O::SHIFT_RIGHT, {8, 64}, 8},
                        {O::SHIFT_RIGHT, {7, -1}, 0}, {O::SHIFT_RIGHT, {-7, 1}, -4}},
    std::vector<OpCase>{{O::BIT_NOT, {0}, -1}, {O::BIT_NOT, {-1}, 0}, {O::BIT_NOT, {2.7}, -3},
                        {O::BIT_NOT, {-0.0}, -1}, {O::BIT_NOT, {kNaN}, kTwo63}, {O::BIT_NOT, {1e19}, kTwo63}}));

INSTANTIATE_TEST_SUITE_P(Logic, EngineOpcode, testing::Values(
    std::vector<OpCase>{{O::CMP_EQ, {0.0, -0.0}, 1}, {O::CMP_EQ, {kNaN, kNaN}, 0}, {O::CMP_EQ, {kInf, kInf}, 1},
                        {O::CMP_EQ, {1, 2}, 0}},
    std::vector<OpCase>{{O::CMP_NE, {kNaN, kNaN}, 1}, {O::CMP_NE, {0.0, -0.0}, 0}, {O::CMP_NE, {1, 2}, 1}},
    std::vector<OpCase>{{O::CMP_LT, {1, 2}, 1}, {O::CMP_LT, {2, 1}, 0}, {O::CMP_LT, {kNaN, 1}, 0},
                        {O::CMP_LT, {-0.0, 0.0}, 0}, {O::CMP_LT, {-kInf, 0}, 1}},
    std::vector<OpCase>{{O::CMP_LE, {-0.0, 0.0}, 1}, {O::CMP_LE, {kNaN, kNaN}, 0}, {O::CMP_LE, {2, 1}, 0}},
    std::vector<OpCase>{{O::CMP_GT, {2, 1}, 1}, {O::CMP_GT, {1, kNaN}, 0}, {O::CMP_GT, {kInf, 1e308}, 1},
                        {O::CMP_GT, {1, 1}, 0}},
    std::vector<OpCase>{{O::CMP_GE, {0.0, -0.0}, 1}, {O::CMP_GE, {kNaN, 0}, 0}, {O::CMP_GE, {1, 2}, 0}},
    std::vector<OpCase>{{O::LOGICAL_NOT, {0.0}, 1}, {O::LOGICAL_NOT, {-0.0}, 1}, {O::LOGICAL_NOT, {kNaN}, 0},
                        {O::LOGICAL_NOT, {5}, 0}, {O::LOGICAL_NOT, {-kInf}, 0}}));

struct CallCase {
    BuiltinFunc id;
    Column args;
    double expected;
};

void PrintTo(const CallCase& c, std::ostream* os) {
    *os << BUILTIN_TABLE[static_cast<int>(c.id)].name << "(" << show(c.args) << ")";
}

class EngineCall : public testing::TestWithParam<CallCase> {};

TEST_P(EngineCall, EveryRouteGivesTheSameBits) {
    const CallCase& c = GetParam();
    auto argc = static_cast<uint32_t>(c.args.size());
    std::vector<Instruction> body;
    for (uint32_t v = 0; v < argc; ++v) body.push_back(ins(Opcode::LOAD_VAR, v));
    body.push_back(ins(Opcode::CALL_BUILTIN, encodeCall(static_cast<uint32_t>(c.id), argc)));
    expectAllRoutes(body, {c.args}, {c.expected}, {c.expected});
}

using F = BuiltinFunc;
INSTANTIATE_TEST_SUITE_P(OneArgument, EngineCall, testing::Values(
    CallCase{F::SIN, {-0.0}, -0.0},  CallCase{F::SIN, {kInf}, kNaN},        CallCase{F::COS, {0}, 1},
    CallCase{F::TAN, {-0.0}, -0.0},  CallCase{F::ASIN, {2}, kNaN},          CallCase{F::ACOS, {1}, 0},
    CallCase{F::ATAN, {kInf}, std::numbers::pi / 2},                        CallCase{F::SQRT, {2.25}, 1.5},
    CallCase{F::SQRT, {-1}, kNaN},   CallCase{F::SQRT, {-0.0}, -0.0},       CallCase{F::LOG, {0}, -kInf},
    CallCase{F::LOG, {-1}, kNaN},    CallCase{F::LOG10, {1000}, 3},         CallCase{F::EXP, {-kInf}, 0},
    CallCase{F::EXP, {1000}, kInf},  CallCase{F::ABS, {-0.0}, 0.0},         CallCase{F::ABS, {-kInf}, kInf},
    CallCase{F::FLOOR, {-0.5}, -1},  CallCase{F::FLOOR, {-0.0}, -0.0},      CallCase{F::CEIL, {-0.5}, -0.0},
    CallCase{F::ROUND, {2.5}, 3},    CallCase{F::ROUND, {-2.5}, -3},        CallCase{F::ROUND, {-0.4}, -0.0},
    CallCase{F::ROUND, {0.5}, 1}));

INSTANTIATE_TEST_SUITE_P(Several, EngineCall, testing::Values(
    CallCase{F::POW, {2, 10}, 1024},    CallCase{F::POW, {kNaN, 0}, 1},        CallCase{F::POW, {-8, 1.0 / 3}, kNaN},
    CallCase{F::POW, {0, -1}, kInf},    CallCase{F::POW, {-0.0, -1}, -kInf},
    // the first argument wins ties and NaN; a later NaN is passed over
    CallCase{F::MIN, {kNaN, 1}, kNaN},  CallCase{F::MIN, {1, kNaN}, 1},       CallCase{F::MAX, {0.0, -0.0}, 0.0},
    CallCase{F::MAX, {-0.0, 0.0}, -0.0}, CallCase{F::MIN, {-0.0, 0.0}, -0.0}, CallCase{F::MIN, {0.0, -0.0}, 0.0},
    CallCase{F::MIN, {3, 1, 2}, 1},     CallCase{F::MAX, {1, kNaN, 5, 2}, 5},  CallCase{F::MIN, {7}, 7},
    CallCase{F::MAX, {-0.0}, -0.0},     CallCase{F::MAX, {kNaN}, kNaN},
    CallCase{F::MIN, {8, 7, 6, 5, 4, 3, 2, 1}, 1}, CallCase{F::MAX, {1, 2, 3, 4, 5, 6, 7, 8}, 8}));

TEST(EngineBlock, CountZeroWritesAndRaisesNothing) {
    std::vector<Instruction> divide_by_zero{ins(O::PUSH_CONST, 0), ins(O::PUSH_CONST, 0), ins(O::DIV)};
    for (Program p : {straight(divide_by_zero, 0), withJump(divide_by_zero, 0)}) {
        p.constants = {0.0};
        double out = kUnwritten;
        EXPECT_NO_THROW(evaluateBlock(*prepare(p), 0, &out, nullptr));
        EXPECT_TRUE(sameValue(out, kUnwritten));
        EXPECT_EQ(runParallel(p, {}, 0).size(), 0u);
    }
}

TEST(EngineBlock, EmptyStackGivesPositiveZeros) {
    Program block = handBuilt({ins(O::RETURN)}, {}, 0);
    // the jump pops the only value and skips the push that would replace it
    Program elementwise = handBuilt(
        {ins(O::PUSH_CONST, 0), ins(O::JUMP_IF_FALSE, 2), ins(O::PUSH_CONST, 1), ins(O::RETURN)}, {-0.0, 7.0}, 0);
    for (const Program* p : {&block, &elementwise}) {
        for (double v : runBlock(*p, {}, 5)) EXPECT_EQ(std::bit_cast<uint64_t>(v), 0u);
        EXPECT_EQ(std::bit_cast<uint64_t>(evaluateScalar(*p, nullptr)), 0u);
    }
}

TEST(EngineBlock, NestedSlotsAndInputsKeepTheirValues) {
    // every entry below the top stays live while the upper ones are rewritten
    Column a{1, 2, 3, -0.0, kNaN}, b{4, -5, 6, 0.5, 1}, c{7, 8, -9, 2, 3};
    struct Case {
        const char* text;
        Column expected;
    } cases[] = {
        {"a", a},
        {"(a + b) * (a - b) - (c * (b + 1))", {-50, 11, 36, -3.25, kNaN}},
        {"min(a * 1, c, b + 0, max(a, b, c))", {1, -5, -9, -0.0, kNaN}},
        {"pow(a, 2) + abs(c)", {8, 12, 18, 2, kNaN}},
        {"2", {2, 2, 2, 2, 2}},
    };
    for (const Case& k : cases) {
        Column got = runCompiled(k.text, {a, b, c});
        for (size_t i = 0; i < a.size(); ++i)
            EXPECT_TRUE(sameValue(got[i], k.expected[i])) << k.text << " @" << i << ": " << got[i];
    }
}

// The right operand of &, | and ^ keeps its unsigned value from 2^63 up to
// 2^64 in a program whose code jumps, whichever route runs it; folding and
// programs without jumps send it to -2^63. The left operand never changes.
struct ConversionCase {
    double value;
    double without_jumps;
    double with_jumps;
};

TEST(EngineBitwise, RightOperandFollowsWhetherTheProgramJumps) {
    const double kBelow64 = 18446744073709549568.0;  // the largest double below 2^64
    const ConversionCase cases[] = {
        {kTwo63, kMin64, kMin64},
        {kBelow64, kMin64, -2048},
        {1e19, kMin64, -8446744073709551616.0},
        {18446744073709551616.0, kMin64, kMin64},  // 2^64
        {kInf, kMin64, kMin64},
        {kNaN, kMin64, kMin64},
        {-2.5, -2, -2},
        {9223372036854774784.0, 9223372036854774784.0, 9223372036854774784.0},  // below 2^63
    };
    // Each operator with the operand that leaves the other one's bits as they are.
    const std::pair<const char*, double> operators[] = {{"&", -1.0}, {"|", 0.0}, {"^", 0.0}};
    Column one{1.0};
    for (auto [op, neutral] : operators) {
        for (const ConversionCase& k : cases) {
            SCOPED_TRACE(std::string(op) + " with " + std::to_string(k.value));
            Column x{neutral}, v{k.value};
            const std::string right = std::string("a ") + op + " b", left = std::string("b ") + op + " a";
            // block mode, a jump turned into a whole-block select, the masked route
            for (const std::string& text : {right, "c ? " + right + " : 0", "c ? " + right + " : a / c"}) {
                double want = text == right ? k.without_jumps : k.with_jumps;
                EXPECT_TRUE(sameValue(runCompiled(text, {x, v, one})[0], want)) << text;
            }
            EXPECT_TRUE(sameValue(runCompiled("c ? " + left + " : a / c", {x, v, one})[0], k.without_jumps));
            auto jumping = prepare(compileWith("c ? " + right + " : a / c", {"a", "b", "c"}));
            std::vector<const double*> in{x.data(), v.data(), one.data()};
            double masked = kUnwritten, elements = kUnwritten;
            EXPECT_TRUE(detail::evaluateMasked(*jumping, 1, &masked, in.data()));
            detail::evaluateElements(*jumping, 1, &elements, in.data());
            EXPECT_TRUE(sameValue(masked, k.with_jumps));
            EXPECT_TRUE(sameValue(elements, k.with_jumps));
            const double row[] = {neutral, k.value};
            EXPECT_TRUE(sameValue(evaluateScalar(compileWith(right, {"a", "b"}), row), k.with_jumps));
        }
    }
    EXPECT_EQ(folded("-1 & 1e19"), kMin64);
}

struct ZeroCase {
    const char* text;
    Column a, b;
    const char* message;  // nullptr: no error
};

void PrintTo(const ZeroCase& c, std::ostream* os) { *os << c.text << " over " << show(c.b); }

class EngineZeroCheck : public testing::TestWithParam<ZeroCase> {};

// Block mode fails the whole block for one zero anywhere; with jumps only an
// executed division can fail.
TEST_P(EngineZeroCheck, FailsExactlyWhenExpected) {
    const ZeroCase& c = GetParam();
    std::string error = errorOf([&] { runCompiled(c.text, {c.a, c.b}); });
    EXPECT_EQ(error, c.message ? c.message : "<no error>") << c.text;
}

// With IEEE division nothing is checked, so nothing fails, and the result
// is the operation's own wherever the divisor is zero.
TEST_P(EngineZeroCheck, IeeeDivisionNeverFails) {
    const ZeroCase& c = GetParam();
    Column got;
    EXPECT_EQ(errorOf([&] { got = runCompiled(c.text, {c.a, c.b}, DivideMode::IGNORE); }), "<no error>") << c.text;
    if (c.message == nullptr) {
        EXPECT_EQ(show(got), show(runCompiled(c.text, {c.a, c.b}))) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EngineZeroCheck, testing::Values(
    ZeroCase{"a / b", {1, 2, 3, 4, 5}, {1, 1, 1, 1, -0.0}, "Division by zero"},
    ZeroCase{"a % b", {1, 2, 3}, {0.0, 1, 1}, "Modulo by zero"},
    ZeroCase{"a / b", {1, 0, 3}, {1, 0, 1}, "Division by zero"},
    ZeroCase{"a / b", {1, 2, 3}, {kNaN, kInf, -kInf}, nullptr},
    ZeroCase{"a % (b * 0)", {1}, {kInf}, nullptr},  // inf * 0 is NaN, not zero
    ZeroCase{"(b != 0) * (a / b)", {1, 2}, {0, 1}, "Division by zero"},
    ZeroCase{"b != 0 ? a / b : 0", {1, 2, 3}, {0, -0.0, 4}, nullptr},
    ZeroCase{"b == 0 || a % b > 0", {1, 2}, {0, 3}, nullptr},
    ZeroCase{"b == 0 ? a / b : 0", {1, 2}, {1, 0}, "Division by zero"},
    ZeroCase{"b ? 1 : a % b", {1, 2}, {kNaN, 0}, "Modulo by zero"},
    ZeroCase{"b ? a : a / 0", {1}, {kNaN}, nullptr},  // NaN is true
    // Constant operands are read as values in block mode, never filled in.
    ZeroCase{"a / 0", {1, 2}, {0, 0}, "Division by zero"},
    ZeroCase{"a % -0.0", {1}, {1}, "Modulo by zero"},
    ZeroCase{"a / -(b - b)", {1}, {2}, "Division by zero"},
    ZeroCase{"0 / a + 0 % b", {1, -1}, {2, 3}, nullptr}));

TEST(EngineBlock, ConstantOperandsOnEitherSide) {
    Column got = runCompiled("(2 - a) * 3 + min(a, 1) - 1 / a", {{-2, 0.5, 4}, {0, 0, 0}});
    EXPECT_EQ(got, (Column{(2 - -2.0) * 3 + -2 - 1 / -2.0, (2 - 0.5) * 3 + 0.5 - 1 / 0.5, (2 - 4.0) * 3 + 1 - 1 / 4.0}));
}

TEST(EngineZeroCheck, ConditionalGivesZeroWhereItSkipsTheDivision) {
    Column got = runCompiled("b != 0 ? a / b : 0", {{1, 2, 3}, {0, -0.0, 4}});
    EXPECT_EQ(got, (Column{0, 0, 0.75}));
}

TEST(EngineZeroCheck, ElementwiseFailureLeavesEarlierElementsWritten) {
    struct Case {
        const char* text;
        const char* message;
        Column written;
    } cases[] = {{"c ? a / b : 0", "Division by zero", {1, 0.5, 0.375}},
                 {"c ? a % b : 0", "Modulo by zero", {0, 2, 3}}};
    std::vector<Column> columns{{1, 2, 3, 4, 5}, {1, 4, 8, -0.0, 1}, {1, 1, 1, 1, 1}};
    std::vector<const double*> inputs = pointers(columns);
    for (const Case& c : cases) {
        Program p = compileWith(c.text, {"a", "b", "c"});
        Column out(5, kUnwritten);
        EXPECT_EQ(errorOf([&] { evaluateBlock(*prepare(p), 5, out.data(), inputs.data()); }), c.message);
        for (size_t i = 0; i < c.written.size(); ++i)
            EXPECT_TRUE(sameValue(out[i], c.written[i])) << c.text << " @" << i;
    }
}

// Restores the team size a test changes.
class ThreadCountGuard {
public:
    ThreadCountGuard() : saved_(omp_get_max_threads()) {}
    ~ThreadCountGuard() {
        omp_set_num_threads(saved_);
        setThreadCount(0);
    }
    ThreadCountGuard(const ThreadCountGuard&) = delete;
    ThreadCountGuard& operator=(const ThreadCountGuard&) = delete;

private:
    int saved_;
};

std::vector<Column> patternedInputs(size_t n) {
    std::vector<Column> columns(3, Column(n));
    for (size_t i = 0; i < n; ++i) {
        columns[0][i] = static_cast<double>(i) * 0.5 - 1000.0;
        columns[1][i] = static_cast<double>(i % 7) - 3.0;
        columns[2][i] = static_cast<double>(i);
    }
    return columns;
}

class EngineBlockBoundary : public testing::TestWithParam<int64_t> {};

// Planned as the cache plans them, so a team may cut these programs (none
// can fail) into shorter, even blocks, and take the library-calling one from
// fewer elements; every element must still be written once, with nothing
// past the end.
TEST_P(EngineBlockBoundary, EveryElementWrittenOnceInPlace) {
    const int64_t n = GetParam();
    ThreadCountGuard guard;
    std::vector<Column> in = patternedInputs(static_cast<size_t>(n));
    auto planned = [](const std::string& text, const std::vector<std::string>& names) {
        return compileWith(text, names);  // runParallel prepares it as the module does
    };
    const std::vector<std::string> abc = {"a", "b", "c"};
    Program block_mode = planned("a * b + c", abc);
    Program jumps = planned("a > b ? a - b : c", abc);
    Program masked = planned("a > b ? sqrt(a) : c", abc);
    Program library = planned("sin(a) * b + c", abc);
    Program constant = planned("2.5", {});
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        Column out_block = runParallel(block_mode, in, n);
        Column out_jumps = runParallel(jumps, in, n);
        Column out_masked = runParallel(masked, in, n);
        Column out_library = runParallel(library, in, n);
        Column out_constant = runParallel(constant, {}, n);
        for (int64_t i = 0; i < n; ++i) {
            double a = in[0][i], b = in[1][i], c = in[2][i];
            ASSERT_TRUE(sameValue(out_block[i], a * b + c)) << "element " << i << ", threads " << threads;
            ASSERT_TRUE(sameValue(out_jumps[i], a > b ? a - b : c)) << "element " << i << ", threads " << threads;
            ASSERT_TRUE(sameValue(out_masked[i], a > b ? std::sqrt(a) : c)) << "element " << i << ", threads " << threads;
            ASSERT_TRUE(sameValue(out_library[i], std::sin(a) * b + c)) << "element " << i << ", threads " << threads;
            ASSERT_EQ(out_constant[i], 2.5) << "element " << i << ", threads " << threads;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, EngineBlockBoundary,
                         testing::Values(0, 1, 1023, 1024, 1500, 4095, 4096, 4097, 8191, 8192, 8193, 10000, 12289, 3 * 4096 * 2 + 255,
                                         100'003));

TEST(EngineParallel, ResultDoesNotDependOnTheTeamSize) {
    ThreadCountGuard guard;
    const int64_t n = 50'000;
    std::vector<Column> in = patternedInputs(n);
    for (const char* text : {"sin(a) * cos(b) + sqrt(c) - (a << 3) % 5", "a > b && c ? pow(a, 0.5) : min(b, c, a)"}) {
        Program p = compileWith(text, {"a", "b", "c"});
        omp_set_num_threads(1);
        Column alone = runParallel(p, in, n);
        for (int threads : {2, 3}) {
            omp_set_num_threads(threads);
            Column team = runParallel(p, in, n);
            EXPECT_EQ(0, std::memcmp(alone.data(), team.data(), n * sizeof(double))) << text << ", " << threads;
        }
    }
}

// The process-wide count wins over the calling thread's runtime default,
// and 0 gives that default back.
TEST(EngineParallel, ThreadCountSettingDecidesTheTeamSize) {
    ThreadCountGuard guard;
    omp_set_num_threads(2);
    EXPECT_EQ(threadCount(), 2);
    setThreadCount(3);
    EXPECT_EQ(threadCountSetting(), 3);
    EXPECT_EQ(threadCount(), 3);
    for (int bad : {-1, MAX_THREAD_COUNT + 1}) {
        EXPECT_THROW(setThreadCount(bad), std::invalid_argument) << bad;
        EXPECT_EQ(threadCount(), 3) << bad;
    }
    setThreadCount(MAX_THREAD_COUNT);
    EXPECT_EQ(threadCount(), MAX_THREAD_COUNT);
    setThreadCount(0);
    EXPECT_EQ(threadCount(), 2);
    const int64_t n = 30'000;
    std::vector<Column> in = patternedInputs(n);
    Program p = compileWith("sin(a) * b + c", {"a", "b", "c"});
    setThreadCount(1);
    Column alone = runParallel(p, in, n);
    for (int threads : {2, 3}) {
        setThreadCount(threads);
        Column team = runParallel(p, in, n);
        EXPECT_EQ(0, std::memcmp(alone.data(), team.data(), n * sizeof(double))) << threads;
    }
}

// Writing over an input's own memory gives the bits, or the error, that a
// separate output gets, on every route and team size: no route writes an
// element before reading its inputs, nor writes a block it runs again.
TEST(EngineParallel, OutputMayBeTheMemoryOfAnInput) {
    ThreadCountGuard guard;
    std::string chain = "a";  // too many paths open for the masked route
    for (int k = 0; k < 200; ++k) chain = std::string(k % 2 ? "b / (c + 1) && (" : "a / (c + 1) || (") + chain + ")";
    const std::string none = "<no error>", zero = "Division by zero";
    const std::pair<std::string, std::string> cases[] = {
        {"a * b + c", none},                   // block steps, one fused pass
        {"a / (b - 0.5) + c", none},           // block steps staged, as they can fail
        {"a / b", zero},                       // staged, failing
        {"(a > b ? a : c) / (b + 3)", zero},   // block steps from jumps, failing per element
        {"a > b ? a - b : c", none},           // whole-block select
        {"b != 0 ? c / b : sqrt(a)", none},    // masked, zero divisors on skipped paths
        {"sin(a) * b + c", none},              // even blocks, from fewer elements
        {chain, none},                         // per element
    };
    const int64_t n = 3 * BLOCK_SIZE * 2 + 255;
    const std::vector<Column> in = patternedInputs(static_cast<size_t>(n));
    for (const auto& [text, error] : cases) {
        Program p = compileWith(text, {"a", "b", "c"});
        auto shared = prepare(p);
        for (int threads : {1, 2, 3}) {
            setThreadCount(threads);
            Column apart;
            ASSERT_EQ(errorOf([&] { apart = runParallel(p, in, n); }), error) << text;
            for (size_t v = 0; v < in.size(); ++v) {
                std::vector<Column> columns = in;
                double* out = columns[v].data();
                EXPECT_EQ(errorOf([&] { evaluateParallel(3, BLOCK_SIZE, out, *shared, n, pointers(columns)); }), error)
                    << text << ", over input " << v << ", threads " << threads;
                if (error == none) {
                    EXPECT_EQ(0, std::memcmp(apart.data(), out, n * sizeof(double)))
                        << text << ", over input " << v << ", threads " << threads;
                }
            }
        }
    }
}

TEST(EngineParallel, ErrorInAnyBlockReachesTheCaller) {
    ThreadCountGuard guard;
    omp_set_num_threads(2);
    const size_t n = 20 * BLOCK_SIZE + 5;
    Column a(n, 1.0), ones(n, 1.0), last_zero(n, 1.0), all_zero(n, 0.0);
    last_zero.back() = 0.0;
    EXPECT_EQ(errorOf([&] { runCompiled("a / b", {a, last_zero}); }), "Division by zero");
    EXPECT_EQ(errorOf([&] { runCompiled("a > 0 ? a / b : 0", {a, last_zero}); }), "Division by zero");
    EXPECT_EQ(errorOf([&] { runCompiled("a % b", {a, all_zero}); }), "Modulo by zero");
    // the team is still usable afterwards
    Column fine = runCompiled("a / b", {a, ones});
    EXPECT_EQ(fine, Column(n, 1.0));
}

// A block runs in tiles, but a zero divisor still fails it as a check of the
// whole block does: the division's zero near the end wins over the
// remainder's at the start, and nothing of the block is written.
TEST(EngineZeroCheck, WholeBlockDecidesAcrossTiles) {
    const size_t n = BLOCK_SIZE;
    Column a(n, 3.0), b(n, 2.0), c(n, 5.0);
    b[n - 7] = 0.0;
    c[5] = -0.0;
    auto p = prepare(compileWith("a / b + a % c", {"a", "b", "c"}));
    std::vector<const double*> in{a.data(), b.data(), c.data()};
    Column out(n, kUnwritten);
    EXPECT_EQ(errorOf([&] { evaluateBlock(*p, n, out.data(), in.data()); }), "Division by zero");
    for (double v : out) ASSERT_TRUE(sameValue(v, kUnwritten));
    b[n - 7] = 2.0;
    EXPECT_EQ(errorOf([&] { evaluateBlock(*p, n, out.data(), in.data()); }), "Modulo by zero");
    c[5] = 5.0;
    evaluateBlock(*p, n, out.data(), in.data());
    for (double v : out) ASSERT_EQ(v, 1.5 + 3.0);
}

// Two blocks fail with different messages; the lower one's error is
// raised whatever the team size and whichever thread fails first.
TEST(EngineParallel, LowestFailingBlockDecidesTheMessage) {
    ThreadCountGuard guard;
    const size_t n = 10 * BLOCK_SIZE;
    Column x(n, 1.0), a(n, 1.0), y(n, 1.0), b(n, 1.0), c(n, 1.0);
    b[4 * BLOCK_SIZE] = 0.0;  // under %
    a[9 * BLOCK_SIZE] = 0.0;  // under /
    std::vector<const double*> in{x.data(), a.data(), y.data(), b.data(), c.data()};
    Column out(n);
    for (const char* text : {"x/a + y%b", "c ? x/a + y%b : 0"}) {
        auto program = prepare(compileWith(text, {"x", "a", "y", "b", "c"}));
        for (int threads : {1, 2, 3, 7}) {
            omp_set_num_threads(threads);
            for (int run = 0; run < 200; ++run) {
                std::string error = errorOf([&] { evaluateParallel(5, BLOCK_SIZE, out.data(), *program, n, in); });
                ASSERT_EQ(error, "Modulo by zero") << text << " on " << threads << " threads, run " << run;
            }
        }
    }
}

// Counts how often each block runs, whichever thread runs it.
class CountingJob final : public detail::BlockJob {
public:
    explicit CountingJob(int64_t blocks) : runs_(static_cast<size_t>(blocks)) {}
    void run(int64_t block) noexcept override { runs_[static_cast<size_t>(block)].fetch_add(1); }
    // The first block that did not run exactly once, or -1.
    int64_t firstMiscounted() const {
        for (size_t b = 0; b < runs_.size(); ++b)
            if (runs_[b].load() != 1) return static_cast<int64_t>(b);
        return -1;
    }

private:
    std::vector<std::atomic<int>> runs_;
};

// Whoever claims a block runs it, and nobody else: for any number of blocks
// and helpers (more helpers than a job has runs of blocks included), and for
// callers that find the helpers busy with another caller's blocks and run
// theirs alone.
TEST(EngineSchedule, EveryBlockRunsExactlyOnce) {
    for (int helpers : {0, 1, 2, 3, 7, 70}) {
        for (int64_t blocks : {0, 1, 2, 3, 17, 1000}) {
            for (int run = 0; run < 30; ++run) {
                CountingJob job(blocks);
                detail::runBlocks(job, blocks, helpers);
                ASSERT_EQ(job.firstMiscounted(), -1) << blocks << " blocks, " << helpers << " helpers, run " << run;
            }
        }
    }
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int caller = 0; caller < 4; ++caller) {
        callers.emplace_back([&wrong] {
            for (int run = 0; run < 300; ++run) {
                CountingJob job(64);
                detail::runBlocks(job, 64, 2);
                wrong.fetch_add(job.firstMiscounted() != -1);
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The caller waits for a block a helper has claimed, however long it runs.
TEST(EngineSchedule, CallerWaitsForEveryClaimedBlock) {
    class SlowOnHelpers final : public detail::BlockJob {
    public:
        explicit SlowOnHelpers(std::thread::id caller) : caller_(caller) {}
        void run(int64_t) noexcept override {
            const bool helper = std::this_thread::get_id() != caller_;
            std::this_thread::sleep_for(std::chrono::milliseconds(helper ? 20 : 1));
            finished.fetch_add(1);
        }
        std::atomic<int> finished{0};

    private:
        std::thread::id caller_;
    };
    for (int run = 0; run < 5; ++run) {
        SlowOnHelpers job(std::this_thread::get_id());
        detail::runBlocks(job, 40, 3);
        EXPECT_EQ(job.finished.load(), 40);
    }
}

// Work that pays for a team only while the helpers are awake opens none for
// a call on its own once they sleep, and opens one for the next such call
// soon after, which makes a loop of calls that keeps them awake. Retried,
// since a busy machine may hold this thread back between the two calls.
TEST(EngineSchedule, ALoopOfCallsOfMiddlingWorkWakesTheHelpers) {
    ThreadCountGuard guard;
    setThreadCount(2);
    auto program = prepare(compileWith("a*b+c", {"a", "b", "c"}));
    const double per_element = program->cost().nanoseconds;
    const auto n = static_cast<int64_t>((TEAM_MIN_WORK_AWAKE_NANOSECONDS + TEAM_MIN_WORK_NANOSECONDS) / 2 / per_element);
    ASSERT_GE(n, 2 * BLOCK_SIZE);
    bool alone_then_team = false;
    for (int attempt = 0; attempt < 20 && !alone_then_team; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 20 * attempt));
        if (detail::helpersAwake()) continue;
        const bool first = detail::opensThreadTeam(*program, n);
        const bool second = detail::opensThreadTeam(*program, n);
        alone_then_team = !first && second;
    }
    EXPECT_TRUE(alone_then_team);
}

// Sliced or not, the same bits and the same first error; the caller is asked
// between slices, and a stop leaves the later slices unwritten.
TEST(EngineSlices, SlicesGiveTheResultsAndErrorsOfOneCall) {
    ThreadCountGuard guard;
    std::string tail;
    for (int k = 0; k < 2000; ++k) tail += "*1.0000001+x";
    const int64_t n = 30 * BLOCK_SIZE;
    std::vector<Column> in = patternedInputs(static_cast<size_t>(n));
    for (Column& column : in)
        for (double& v : column) v = std::fabs(v) + 1.0;
    for (const std::string& text : {"a" + tail, "a / b" + tail, "c > 2 ? a % b" + tail + " : 0"}) {
        auto program = prepare(compileWith(text, {"a", "b", "c", "x"}));
        std::vector<const double*> data{in[0].data(), in[1].data(), in[2].data(), in[0].data()};
        const InputLayout layout(n, data);
        for (int threads : {1, 3}) {
            setThreadCount(threads);
            Column whole(n), sliced(n);
            evaluateParallel(4, BLOCK_SIZE, whole.data(), *program, n, data);
            int asked = 0;
            EXPECT_TRUE(evaluateInSlices(layout, sliced.data(), *program, [&] { return ++asked < 0; }));
            EXPECT_GT(asked, 0) << text;
            EXPECT_EQ(0, std::memcmp(whole.data(), sliced.data(), n * sizeof(double))) << text << ", " << threads;
            Column stopped(n, kUnwritten);
            EXPECT_FALSE(evaluateInSlices(layout, stopped.data(), *program, [] { return true; }));
            EXPECT_TRUE(sameValue(stopped.back(), kUnwritten)) << text;
            EXPECT_FALSE(sameValue(stopped.front(), kUnwritten)) << text;
        }
    }
    in[1][n - 5] = 0.0;                 // under /, last block
    in[1][n / 2] = 0.0, in[2][n / 2] = 3.0;  // under %, on the branch, earlier
    const std::pair<std::string, std::string> failing[] = {{"a / b" + tail, "Division by zero"},
                                                           {"c > 2 ? a % b" + tail + " : a / b", "Modulo by zero"}};
    for (const auto& [text, error] : failing) {
        auto program = prepare(compileWith(text, {"a", "b", "c", "x"}));
        std::vector<const double*> data{in[0].data(), in[1].data(), in[2].data(), in[0].data()};
        const InputLayout layout(n, data);
        Column out(n);
        for (int threads : {1, 3}) {
            setThreadCount(threads);
            EXPECT_EQ(errorOf([&] { evaluateInSlices(layout, out.data(), *program, [] { return false; }); }), error)
                << text << ", " << threads;
        }
    }
}

// A costly program that may be cut anywhere is evaluated by callers in short
// slices of short blocks, on a team opened from few elements: the bits and
// the first failing element's message stay those of one thread in whole
// blocks.
TEST(EngineParallel, CostlyProgramsKeepTheirResultsInShortBlocks) {
    ThreadCountGuard guard;
    std::string tail;
    for (int k = 0; k < 3000; ++k) tail += "+x*1.0000001";
    const int64_t n = 1000;
    Column x(n), a(n, 1.0), y(n, 1.0), b(n, 1.0), c(n);
    for (int64_t i = 0; i < n; ++i) {
        x[i] = 1.0 + static_cast<double>(i) / n;
        c[i] = static_cast<double>(i % 3 != 0);
    }
    std::vector<const double*> in{x.data(), a.data(), y.data(), b.data(), c.data()};
    for (const std::string& text : {"x" + tail, "c ? x/a + y%b" + tail + " : 0", "(x/a + y%b" + tail + ") * (c ? 1 : 2)"}) {
        auto program = prepare(compileWith(text, {"x", "a", "y", "b", "c"}));
        ASSERT_FALSE(program->cost().whole_blocks) << text;
        omp_set_num_threads(1);
        Column alone(n);
        evaluateParallel(5, BLOCK_SIZE, alone.data(), *program, n, in);
        for (int threads : {2, 3}) {
            omp_set_num_threads(threads);
            for (int64_t block : {1, 7, 256, 333}) {
                Column team(n);
                evaluateParallel(5, block, team.data(), *program, n, in);
                EXPECT_EQ(0, std::memcmp(alone.data(), team.data(), n * sizeof(double))) << threads << " " << block;
            }
        }
    }
    b[301] = 0.0;  // under %, on an element that takes the branch
    a[700] = 0.0;  // under /, later
    for (const std::string& text : {"c ? x/a + y%b" + tail + " : 0", "(x/a + y%b" + tail + ") * (c ? 1 : 2)"}) {
        auto program = prepare(compileWith(text, {"x", "a", "y", "b", "c"}));
        Column out(n);
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            for (int64_t block : {int64_t{7}, int64_t{256}, int64_t{333}, BLOCK_SIZE}) {
                EXPECT_EQ(errorOf([&] { evaluateParallel(5, block, out.data(), *program, n, in); }), "Modulo by zero")
                    << threads << " " << block;
            }
        }
    }
}

}  // namespace
