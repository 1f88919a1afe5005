#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tarnex/engine.h"
#include "tarnex/walker.h"
#include "test_support.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

using Code = std::vector<std::pair<Opcode, uint32_t>>;

struct CodegenCase {
    std::string text;
    Code code;  // RETURN excluded
    std::vector<double> constants;
    DivideMode divide = DivideMode::RAISE;
};

std::string listing(const Program& p) {
    std::string s;
    for (const Instruction& ins : p.code)
        s += std::string(opcodeName(ins.opcode)) + " " + std::to_string(ins.operand) + "; ";
    return s;
}

class Codegen : public testing::TestWithParam<CodegenCase> {};

TEST_P(Codegen, ExactCodeAndConstants) {
    const CodegenCase& c = GetParam();
    Program p = compileWith(c.text, {"a", "b", "c"}, c.divide);
    Code expected = c.code;
    expected.push_back({Opcode::RETURN, 0});
    ASSERT_EQ(p.code.size(), expected.size()) << c.text << ": " << listing(p);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(p.code[i].opcode, static_cast<uint32_t>(expected[i].first)) << c.text << " @" << i;
        EXPECT_EQ(p.code[i].operand, expected[i].second) << c.text << " @" << i;
    }
    ASSERT_EQ(p.constants.size(), c.constants.size()) << c.text;
    for (size_t i = 0; i < c.constants.size(); ++i) EXPECT_TRUE(sameValue(p.constants[i], c.constants[i]));
}

using O = Opcode;
INSTANTIATE_TEST_SUITE_P(Examples, Codegen, testing::Values(
    CodegenCase{"a", {{O::LOAD_VAR, 0}}, {}},
    CodegenCase{"-a", {{O::LOAD_VAR, 0}, {O::PUSH_CONST, 0}, {O::MUL, 0}}, {-1.0}},
    CodegenCase{"+a", {{O::LOAD_VAR, 0}}, {}},
    CodegenCase{"!a", {{O::LOAD_VAR, 0}, {O::LOGICAL_NOT, 0}}, {}},
    CodegenCase{"~a", {{O::LOAD_VAR, 0}, {O::BIT_NOT, 0}}, {}},
    CodegenCase{"a - b * c", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2}, {O::MUL, 0}, {O::SUB, 0}}, {}},
    CodegenCase{"2*a + 2", {{O::PUSH_CONST, 0}, {O::LOAD_VAR, 0}, {O::MUL, 0}, {O::PUSH_CONST, 1}, {O::ADD, 0}},
                {2.0, 2.0}},
    CodegenCase{"a && b",
                {{O::LOAD_VAR, 0}, {O::JUMP_IF_FALSE, 5}, {O::LOAD_VAR, 1}, {O::JUMP_IF_FALSE, 3},
                 {O::PUSH_CONST, 0}, {O::JUMP, 2}, {O::PUSH_CONST, 1}},
                {1.0, 0.0}},
    CodegenCase{"a || b",
                {{O::LOAD_VAR, 0}, {O::JUMP_IF_FALSE, 3}, {O::PUSH_CONST, 0}, {O::JUMP, 6}, {O::LOAD_VAR, 1},
                 {O::JUMP_IF_FALSE, 3}, {O::PUSH_CONST, 1}, {O::JUMP, 2}, {O::PUSH_CONST, 2}},
                {1.0, 1.0, 0.0}},
    CodegenCase{"c ? a : b",
                {{O::LOAD_VAR, 2}, {O::JUMP_IF_FALSE, 3}, {O::LOAD_VAR, 0}, {O::JUMP, 2}, {O::LOAD_VAR, 1}}, {}},
    CodegenCase{"max(a, 2, b)",
                {{O::LOAD_VAR, 0}, {O::PUSH_CONST, 0}, {O::LOAD_VAR, 1}, {O::CALL_BUILTIN, 0x100003}}, {2.0}},
    CodegenCase{"pow(a, 2)", {{O::LOAD_VAR, 0}, {O::PUSH_CONST, 0}, {O::CALL_BUILTIN, 0x70002}}, {2.0}},
    CodegenCase{"1 + 2", {{O::PUSH_CONST, 0}}, {3.0}},
    CodegenCase{"(a > 0) ? sqrt(a) : -a",
                {{O::LOAD_VAR, 0}, {O::PUSH_CONST, 0}, {O::CMP_GT, 0}, {O::JUMP_IF_FALSE, 4}, {O::LOAD_VAR, 0},
                 {O::CALL_BUILTIN, 0x60001}, {O::JUMP, 4}, {O::LOAD_VAR, 0}, {O::PUSH_CONST, 1}, {O::MUL, 0}},
                {0.0, -1.0}},
    // Nested short-circuits: the inner sequence is complete before the outer jump is patched.
    CodegenCase{"(a && b) || c",
                {{O::LOAD_VAR, 0}, {O::JUMP_IF_FALSE, 5}, {O::LOAD_VAR, 1}, {O::JUMP_IF_FALSE, 3},
                 {O::PUSH_CONST, 0}, {O::JUMP, 2}, {O::PUSH_CONST, 1}, {O::JUMP_IF_FALSE, 3}, {O::PUSH_CONST, 2},
                 {O::JUMP, 6}, {O::LOAD_VAR, 2}, {O::JUMP_IF_FALSE, 3}, {O::PUSH_CONST, 3}, {O::JUMP, 2},
                 {O::PUSH_CONST, 4}},
                {1.0, 0.0, 1.0, 1.0, 0.0}},
    CodegenCase{"a ? b : c ? a : b",
                {{O::LOAD_VAR, 0}, {O::JUMP_IF_FALSE, 3}, {O::LOAD_VAR, 1}, {O::JUMP, 6}, {O::LOAD_VAR, 2},
                 {O::JUMP_IF_FALSE, 3}, {O::LOAD_VAR, 0}, {O::JUMP, 2}, {O::LOAD_VAR, 1}},
                {}},
    CodegenCase{"a % b << c >> a ^ b | c & a != b",
                {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::MOD, 0}, {O::LOAD_VAR, 2}, {O::SHIFT_LEFT, 0},
                 {O::LOAD_VAR, 0}, {O::SHIFT_RIGHT, 0}, {O::LOAD_VAR, 1}, {O::BIT_XOR, 0}, {O::LOAD_VAR, 2},
                 {O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::CMP_NE, 0}, {O::BIT_AND, 0}, {O::BIT_OR, 0}},
                {}},
    CodegenCase{"a / b == c < a <= b > c >= a",
                {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::DIV, 0}, {O::LOAD_VAR, 2}, {O::LOAD_VAR, 0},
                 {O::CMP_LT, 0}, {O::LOAD_VAR, 1}, {O::CMP_LE, 0}, {O::LOAD_VAR, 2}, {O::CMP_GT, 0},
                 {O::LOAD_VAR, 0}, {O::CMP_GE, 0}, {O::CMP_EQ, 0}},
                {}},
    // IEEE division: the forms that cannot fail, and folding to inf and NaN
    CodegenCase{"a / b % c", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::DIV_IEEE, 0}, {O::LOAD_VAR, 2}, {O::MOD_IEEE, 0}},
                {}, DivideMode::IGNORE},
    CodegenCase{"1 / 0 + a % 0", {{O::PUSH_CONST, 0}, {O::LOAD_VAR, 0}, {O::PUSH_CONST, 1}, {O::MOD_IEEE, 0}, {O::ADD, 0}},
                {kInf, 0.0}, DivideMode::IGNORE},
    CodegenCase{"-1 / -0", {{O::PUSH_CONST, 0}}, {kInf}, DivideMode::IGNORE},
    CodegenCase{"(0 % 0) * a", {{O::PUSH_CONST, 0}, {O::LOAD_VAR, 0}, {O::MUL, 0}}, {kNaN}, DivideMode::IGNORE}));

TEST(Codegen, TrailingTokensAreAParseError) {
    EXPECT_EQ(compileError("a b", {"a", "b"}), "Parse error");
    EXPECT_EQ(compileError("(a))", {"a"}), "Parse error");
}

TEST(Program, VariableTable) {
    Program p = compileWith("a + b", {"a", "A", "b"});
    EXPECT_EQ(p.var_names, (std::vector<std::string>{"a", "A", "b"}));
    EXPECT_EQ(p.var_values, (std::vector<double>{0.0, 0.0, 0.0}));
    ASSERT_EQ(p.var_index.size(), 2u);
    EXPECT_EQ(p.var_index.at("a"), 0u);
    EXPECT_EQ(p.var_index.at("A"), 0u);
    EXPECT_EQ(p.var_index.at("B"), 2u);
    EXPECT_EQ(p.code[0].operand, 0u);
    EXPECT_EQ(p.code[1].operand, 2u);

    p = compileWith("1 + 2", {"x", "y"});
    EXPECT_EQ(p.var_names.size(), 2u);
    EXPECT_EQ(p.code.size(), 2u);

    p = compileWith("1", {});
    EXPECT_TRUE(p.var_names.empty());
    EXPECT_TRUE(p.var_values.empty());
    EXPECT_TRUE(p.var_index.empty());
}

TEST(Program, NameHashIsCaseInsensitiveFnv1a) {
    NameHash hash;
    EXPECT_EQ(hash(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(hash("abc"), 0xe71fa2190541574bull);
    EXPECT_EQ(hash("ABC"), hash("abc"));
    EXPECT_NE(hash("abd"), hash("abc"));
    NameEqual equal;
    EXPECT_TRUE(equal("Name_1", "nAME_1"));
    EXPECT_FALSE(equal("name", "names"));
}

std::string rightNested(int operands) {
    std::string s = "a";
    for (int i = 1; i < operands; ++i) s = "a + (" + s + ")";
    return s;
}

TEST(Codegen, StackDepthLimitOnBothSides) {
    EXPECT_EQ(compileError(rightNested(STACK_CAPACITY), {"a"}), "<no error>");
    EXPECT_EQ(compileError(rightNested(STACK_CAPACITY + 1), {"a"}), "Expression too complex");
    EXPECT_EQ(compileError(rightNested(300), {"a"}), "Expression too complex");
    // Calls stack their arguments; negation needs a second entry.
    EXPECT_EQ(compileError("max(a, a, a, a, a, a, a, " + rightNested(STACK_CAPACITY - 7) + ")", {"a"}), "<no error>");
    EXPECT_EQ(compileError("max(a, a, a, a, a, a, a, " + rightNested(STACK_CAPACITY - 6) + ")", {"a"}),
              "Expression too complex");
    // Short-circuits and conditionals add nothing to the depth of their operands.
    EXPECT_EQ(compileError(rightNested(STACK_CAPACITY) + " && " + rightNested(STACK_CAPACITY), {"a"}), "<no error>");
}

// Every operator, call and the conditional, words for &&, || and ! among
// them, and a variable named in another case.
constexpr ExpressionMix kMix{1, 1, 1, 2, 1, 2, 0, 20, true};

TEST(Codegen, EveryCompiledProgramSatisfiesTheInvariants) {
    ExpressionGenerator gen(12345, kMix);
    int compiled = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = render(*gen.tree(1 + i % 7), nullptr, {"a", "B", "c"});
        Program p;
        try {
            p = compileWith(text, {"a", "b", "c"});
        } catch (const std::runtime_error& e) {
            std::string m = e.what();
            EXPECT_TRUE(m == "Division by zero" || m == "Modulo by zero") << text << ": " << m;
            continue;
        }
        ++compiled;
        EXPECT_EQ(fuzz::programProblem(p, {"a", "b", "c"}), "") << text << "\n" << listing(p);
        const CodeCheck check = checkCode(p.code, CodeBounds{p.constants.size(), p.var_names.size(), false});
        EXPECT_EQ(check.outcome, WalkOutcome::RETURNED) << text;
        EXPECT_EQ(check.max_depth, p.max_depth) << text;
    }
    EXPECT_GT(compiled, 2000);
}

}  // namespace

namespace {

// The block code beside the compiled code: each &&, || and ?: whose skipped
// part can neither fail nor call the math library becomes one whole-block
// operation; the others keep their jumps. Both share the constant pool.
struct BlockCodeCase {
    std::string text;
    Code block_code;  // RETURN excluded; empty: none
    DivideMode divide = DivideMode::RAISE;
};

class BlockCode : public testing::TestWithParam<BlockCodeCase> {};

TEST_P(BlockCode, SafeBranchesBecomeWholeBlockOperations) {
    const BlockCodeCase& c = GetParam();
    const auto prepared = prepare(compileWith(c.text, {"a", "b", "c"}, c.divide));
    const std::vector<Instruction>& block_code = prepared->blockCode();
    Code expected = c.block_code;
    if (!expected.empty()) expected.push_back({Opcode::RETURN, 0});
    ASSERT_EQ(block_code.size(), expected.size()) << c.text;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(block_code[i].opcode, static_cast<uint32_t>(expected[i].first)) << c.text << " @" << i;
        EXPECT_EQ(block_code[i].operand, expected[i].second) << c.text << " @" << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, BlockCode, testing::Values(
    BlockCodeCase{"a * b", {}},  // no jumps to begin with
    BlockCodeCase{"a && b", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::LOGICAL_AND, 0}}},
    BlockCodeCase{"a || -b", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::PUSH_CONST, 1}, {O::MUL, 0}, {O::LOGICAL_OR, 0}}},
    BlockCodeCase{"a ? sqrt(b) : 2",
                  {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::CALL_BUILTIN, 0x60001}, {O::PUSH_CONST, 0}, {O::SELECT, 0}}},
    // the condition is evaluated in both forms, so it may divide
    BlockCodeCase{"a / b ? c : 1", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::DIV, 0}, {O::LOAD_VAR, 2},
                                    {O::PUSH_CONST, 0}, {O::SELECT, 0}}},
    BlockCodeCase{"a ? b / c : 1", {}},   // a skipped division could fail
    BlockCodeCase{"a ? b % c : 1", {}},
    // an IEEE division cannot fail; fmod still calls the library
    BlockCodeCase{"a ? b / c : 1", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2}, {O::DIV_IEEE, 0},
                                    {O::PUSH_CONST, 0}, {O::SELECT, 0}}, DivideMode::IGNORE},
    BlockCodeCase{"a ? b % c : 1", {}, DivideMode::IGNORE},
    BlockCodeCase{"a && sin(b)", {}},     // a skipped library call costs more than the jump
    BlockCodeCase{"a ? pow(b, 2) : 1", {}},
    // the inner || qualifies, the outer ?: keeps its jumps and reuses the pool
    BlockCodeCase{"a ? b / c : (b || c)",
                  {{O::LOAD_VAR, 0}, {O::JUMP_IF_FALSE, 5}, {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2}, {O::DIV, 0},
                   {O::JUMP, 4}, {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2}, {O::LOGICAL_OR, 0}}},
    // the pool keeps the constants of the jumps a whole-block operation replaces
    BlockCodeCase{"(a && b) + 2 * c", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::LOGICAL_AND, 0}, {O::PUSH_CONST, 2},
                                       {O::LOAD_VAR, 2}, {O::MUL, 0}, {O::ADD, 0}}},
    BlockCodeCase{"(a || b) * 3 - (c && 4)",
                  {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::LOGICAL_OR, 0}, {O::PUSH_CONST, 3}, {O::MUL, 0},
                   {O::LOAD_VAR, 2}, {O::PUSH_CONST, 4}, {O::LOGICAL_AND, 0}, {O::SUB, 0}}},
    BlockCodeCase{"a ? (b || 2) : 5", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::PUSH_CONST, 1}, {O::LOGICAL_OR, 0},
                                       {O::PUSH_CONST, 4}, {O::SELECT, 0}}},
    // c ? 1 : y opens as || does, and ends as it does when y is an && or ||
    BlockCodeCase{"a ? 1 : (b && c)", {{O::LOAD_VAR, 0}, {O::PUSH_CONST, 0}, {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2},
                                       {O::LOGICAL_AND, 0}, {O::SELECT, 0}}},
    BlockCodeCase{"a ? 1 : (b || c)", {{O::LOAD_VAR, 0}, {O::PUSH_CONST, 0}, {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2},
                                       {O::LOGICAL_OR, 0}, {O::SELECT, 0}}},
    BlockCodeCase{"a ? 1 : (b && sin(c))", {}},
    BlockCodeCase{"a ? 1 : (b || sin(c))", {}},
    BlockCodeCase{"a ? sin(b) : (b || c)",
                  {{O::LOAD_VAR, 0}, {O::JUMP_IF_FALSE, 4}, {O::LOAD_VAR, 1}, {O::CALL_BUILTIN, 0x1}, {O::JUMP, 4},
                   {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2}, {O::LOGICAL_OR, 0}}},
    // its code is that of a || b, which means the same
    BlockCodeCase{"a ? 1 : (b ? 1 : 0)", {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::LOGICAL_OR, 0}}},
    // but not when its 0 is -0, whose sign a truth value would lose
    BlockCodeCase{"a ? 1 : (b ? 1 : -0)", {{O::LOAD_VAR, 0}, {O::PUSH_CONST, 0}, {O::LOAD_VAR, 1}, {O::PUSH_CONST, 1},
                                           {O::PUSH_CONST, 2}, {O::SELECT, 0}, {O::SELECT, 0}}},
    // nested ?: ending together close innermost first
    BlockCodeCase{"a ? b : (c ? 2 : (b && c))",
                  {{O::LOAD_VAR, 0}, {O::LOAD_VAR, 1}, {O::LOAD_VAR, 2}, {O::PUSH_CONST, 0}, {O::LOAD_VAR, 1},
                   {O::LOAD_VAR, 2}, {O::LOGICAL_AND, 0}, {O::SELECT, 0}, {O::SELECT, 0}}}));

}  // namespace
