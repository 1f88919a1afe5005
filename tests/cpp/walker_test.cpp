// The walker over stack code: every way code can be refused, on both sides
// of each limit, and what its depth check finds in code that passes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnex/walker.h"
#include "test_support.h"

using namespace tarnex;

namespace {

Instruction ins(Opcode op, uint32_t operand = 0) { return Instruction{static_cast<uint32_t>(op), operand}; }

std::vector<Instruction> pushes(uint32_t n) { return std::vector<Instruction>(n, ins(Opcode::LOAD_VAR)); }

std::vector<Instruction> operator+(std::vector<Instruction> a, const std::vector<Instruction>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct WalkCase {
    const char* what;
    std::vector<Instruction> code;
    bool plan_only;
    WalkOutcome outcome;
    uint32_t max_depth = 0;     // RETURNED only
    uint32_t return_depth = 0;  // RETURNED only
    size_t unreachable = 0;     // RETURNED only
};

using O = Opcode;
using W = WalkOutcome;
const uint32_t kSin1 = encodeCall(static_cast<uint32_t>(BuiltinFunc::SIN), 1);
const uint32_t kMax8 = encodeCall(static_cast<uint32_t>(BuiltinFunc::MAX), 8);

const WalkCase kCases[] = {
    {"a value", {ins(O::LOAD_VAR), ins(O::RETURN)}, false, W::RETURNED, 1, 1, 0},
    {"an empty stack at RETURN", {ins(O::RETURN)}, false, W::RETURNED, 0, 0, 0},
    {"a binary operation", {ins(O::PUSH_CONST), ins(O::LOAD_VAR), ins(O::ADD), ins(O::RETURN)}, false, W::RETURNED, 2, 1, 0},
    {"a call pops its argc", pushes(8) + std::vector{ins(O::CALL_BUILTIN, kMax8), ins(O::RETURN)}, false, W::RETURNED, 8, 1, 0},
    {"c ? x : y", {ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 3), ins(O::PUSH_CONST), ins(O::JUMP, 2), ins(O::LOAD_VAR),
                   ins(O::RETURN)}, false, W::RETURNED, 1, 1, 0},
    {"code no path reaches", {ins(O::LOAD_VAR), ins(O::JUMP, 3), ins(O::ADD), ins(O::ADD), ins(O::RETURN)}, false,
     W::RETURNED, 1, 1, 2},
    {"the walk ends at the first RETURN", {ins(O::LOAD_VAR), ins(O::RETURN), ins(O::ADD)}, false, W::RETURNED, 1, 1, 0},
    {"STACK_CAPACITY entries", pushes(STACK_CAPACITY) + std::vector{ins(O::RETURN)}, false, W::RETURNED, STACK_CAPACITY,
     STACK_CAPACITY, 0},
    {"plan-only opcodes where allowed", {ins(O::LOAD_VAR), ins(O::LOAD_VAR), ins(O::LOGICAL_AND), ins(O::RETURN)}, true,
     W::RETURNED, 2, 1, 0},

    {"one entry past STACK_CAPACITY", pushes(STACK_CAPACITY + 1) + std::vector{ins(O::RETURN)}, false, W::TOO_DEEP},
    {"plan-only opcodes in compiled code", {ins(O::LOAD_VAR), ins(O::LOAD_VAR), ins(O::LOGICAL_AND), ins(O::RETURN)},
     false, W::UNKNOWN_OPCODE},
    {"an opcode outside the table", {Instruction{ALL_OPCODE_COUNT, 0}, ins(O::RETURN)}, true, W::UNKNOWN_OPCODE},
    {"a constant out of range", {ins(O::PUSH_CONST, 1), ins(O::RETURN)}, false, W::BAD_OPERAND},
    {"a variable out of range", {ins(O::LOAD_VAR, 1), ins(O::RETURN)}, false, W::BAD_OPERAND},
    {"sin of two arguments", pushes(2) + std::vector{ins(O::CALL_BUILTIN, kSin1 + 1), ins(O::RETURN)}, false,
     W::BAD_OPERAND},
    {"a jump by zero", {ins(O::LOAD_VAR), ins(O::JUMP, 0), ins(O::RETURN)}, false, W::BAD_OPERAND},
    {"a binary operation on one entry", {ins(O::LOAD_VAR), ins(O::ADD), ins(O::RETURN)}, false, W::UNDERFLOW},
    {"a call short of its arguments", pushes(7) + std::vector{ins(O::CALL_BUILTIN, kMax8), ins(O::RETURN)}, false,
     W::UNDERFLOW},
    {"a jump out of the code", {ins(O::LOAD_VAR), ins(O::JUMP, 2), ins(O::RETURN)}, false, W::BAD_JUMP},
    {"a jump past the first RETURN", {ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 3), ins(O::LOAD_VAR), ins(O::RETURN),
                                      ins(O::PUSH_CONST), ins(O::RETURN)}, false, W::BAD_JUMP},
    {"paths meeting with different depths", {ins(O::LOAD_VAR), ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 2),
                                             ins(O::PUSH_CONST), ins(O::RETURN)}, false, W::PATHS_DISAGREE},
    {"two jumps bringing different depths", {ins(O::LOAD_VAR), ins(O::JUMP_IF_FALSE, 4), ins(O::LOAD_VAR),
                                             ins(O::JUMP_IF_FALSE, 2), ins(O::LOAD_VAR), ins(O::RETURN)}, false,
     W::PATHS_DISAGREE},
    {"no RETURN", {ins(O::LOAD_VAR), ins(O::LOAD_VAR)}, false, W::NO_RETURN},
    {"no code", {}, false, W::NO_RETURN},
};

class Walker : public testing::TestWithParam<WalkCase> {};

TEST_P(Walker, RefusesWhatCompiledCodeNeverHasAndMeasuresTheRest) {
    const WalkCase& c = GetParam();
    const CodeCheck check = checkCode(c.code, CodeBounds{1, 1, c.plan_only});
    EXPECT_EQ(check.outcome, c.outcome) << c.what;
    if (c.outcome != W::RETURNED) return;
    EXPECT_EQ(check.max_depth, c.max_depth) << c.what;
    EXPECT_EQ(check.return_depth, c.return_depth) << c.what;
    EXPECT_EQ(check.unreachable, c.unreachable) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Code, Walker, testing::ValuesIn(kCases));

// A machine that declines ends the walk where it declines.
TEST(Walker, AMachineThatDeclinesEndsTheWalk) {
    struct DeclineAtAdd {
        size_t seen = 0;
        bool visit(const WalkStep& step) {
            ++seen;
            return step.opcode != Opcode::ADD;
        }
        void skip(size_t) {}
    } machine;
    const std::vector<Instruction> code{ins(O::LOAD_VAR), ins(O::LOAD_VAR), ins(O::ADD), ins(O::LOAD_VAR), ins(O::RETURN)};
    EXPECT_EQ(walkCode(code, CodeBounds{1, 1, false}, machine), W::DECLINED);
    EXPECT_EQ(machine.seen, 3u);
}

// Compiled code of every shape walks to its RETURN with the depth code
// generation counted.
TEST(Walker, CompiledCodeWalksToItsReturnAtTheCountedDepth) {
    for (const char* text : {"a", "2.5", "a + b * c", "a && b || !c", "a ? b : c ? a : b", "max(a, b, c, 1, 2) - -a",
                             "(a > 0 && sin(b) < 0.5) || c % 2 > 0.9"}) {
        const Program p = testing_support::compileWith(text, {"a", "b", "c"});
        const CodeCheck check = checkCode(p.code, CodeBounds{p.constants.size(), p.var_names.size(), false});
        EXPECT_EQ(check.outcome, W::RETURNED) << text;
        EXPECT_EQ(check.max_depth, p.max_depth) << text;
        EXPECT_EQ(check.return_index + 1, p.code.size()) << text;
        EXPECT_EQ(check.unreachable, 0u) << text;
    }
}

}  // namespace
