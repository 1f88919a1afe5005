// The instruction set of compiled programs, written once: every column the
// compiler, folding, the planner and the evaluators read about an opcode.
// Depends only on the tokens and the per-element operations.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "tarnex/numeric.h"
#include "tarnex/tokens.h"

namespace tarnex {

// Stack entries of both evaluators. The compiler refuses deeper programs, so
// the evaluators need no run-time check; 256 slot buffers of 4096 doubles
// keep a thread's scratch at 8 MiB.
constexpr uint32_t STACK_CAPACITY = 256;

// The operand of CALL_BUILTIN: the built-in's number and the argument count.
struct CallOperand {
    uint32_t id;
    uint32_t argc;
};
constexpr uint32_t encodeCall(uint32_t id, uint32_t argc) { return id << 16 | argc; }
constexpr CallOperand decodeCall(uint32_t operand) { return CallOperand{operand >> 16, operand & 0xffffu}; }

// The instruction set, written once. Columns:
// - name and number;
// - the operator token it compiles from (END: none);
// - its stack use (pops, pushes), where `argc` is the argument count of a
//   call's operand; an instruction reads the entries it pops;
// - kind, how an evaluator applies it (its operations take as many operands
//   as the kind says, checked below);
// - the operation in block mode and in the per-element evaluator (op::None
//   for the opcodes that compute nothing);
// - the zero divisor's message (null: it cannot fail);
// - whether it calls the math library;
// - what it adds to an element's cost on one core beyond any instruction's,
//   in nanoseconds (a division's zero scan; fmod); a call adds its built-in's;
// - whether it is plan-only: the last three never appear in compiled code,
//   they are the whole-block forms of &&, || and ?: that block code uses
//   instead of jumps;
// - the meaning.
// An operator with a failing row has a row after it that cannot fail, its
// IEEE form, which `DivideMode::IGNORE` compiles to (opcodeForToken).
#define TARNEX_OPCODES(X)                                                                                              \
    X(PUSH_CONST, 0, END, (0, 1), PUSH, op::None, op::None, nullptr, false, 0.0, false, "push constants[operand]")     \
    X(LOAD_VAR, 1, END, (0, 1), LOAD, op::None, op::None, nullptr, false, 0.0, false,                                  \
      "push the current element of input `operand`")                                                                   \
    X(ADD, 2, PLUS, (2, 1), BINARY, op::Add, op::Add, nullptr, false, 0.0, false, "a + b")                             \
    X(SUB, 3, MINUS, (2, 1), BINARY, op::Sub, op::Sub, nullptr, false, 0.0, false, "a - b")                            \
    X(MUL, 4, STAR, (2, 1), BINARY, op::Mul, op::Mul, nullptr, false, 0.0, false, "a * b")                             \
    X(DIV, 5, SLASH, (2, 1), BINARY, op::Div, op::Div, "Division by zero", false, 0.3, false,                          \
      "a / b; a zero divisor fails")                                                                                   \
    X(MOD, 6, PERCENT, (2, 1), BINARY, op::Mod, op::Mod, "Modulo by zero", true, 2.8, false,                           \
      "fmod(a, b); a zero divisor fails")                                                                              \
    X(BIT_AND, 7, AMP, (2, 1), BINARY, op::BitAnd, op::BitAndUnsigned, nullptr, false, 0.0, false,                     \
      "bitwise and as 64-bit integers")                                                                                \
    X(BIT_OR, 8, PIPE, (2, 1), BINARY, op::BitOr, op::BitOrUnsigned, nullptr, false, 0.0, false, "bitwise or")         \
    X(BIT_XOR, 9, CARET, (2, 1), BINARY, op::BitXor, op::BitXorUnsigned, nullptr, false, 0.0, false,                   \
      "bitwise exclusive or")                                                                                          \
    X(SHIFT_LEFT, 10, SHL, (2, 1), BINARY, op::ShiftLeft, op::ShiftLeft, nullptr, false, 0.0, false,                   \
      "a shifted left by (b & 63)")                                                                                    \
    X(SHIFT_RIGHT, 11, SHR, (2, 1), BINARY, op::ShiftRight, op::ShiftRight, nullptr, false, 0.0, false,                \
      "a >> (b & 63), arithmetic")                                                                                     \
    X(CMP_EQ, 12, EQ, (2, 1), BINARY, op::CmpEq, op::CmpEq, nullptr, false, 0.0, false, "1.0 if a == b else 0.0")      \
    X(CMP_NE, 13, NE, (2, 1), BINARY, op::CmpNe, op::CmpNe, nullptr, false, 0.0, false, "1.0 if a != b else 0.0")      \
    X(CMP_LT, 14, LT, (2, 1), BINARY, op::CmpLt, op::CmpLt, nullptr, false, 0.0, false, "1.0 if a < b else 0.0")       \
    X(CMP_LE, 15, LE, (2, 1), BINARY, op::CmpLe, op::CmpLe, nullptr, false, 0.0, false, "1.0 if a <= b else 0.0")      \
    X(CMP_GT, 16, GT, (2, 1), BINARY, op::CmpGt, op::CmpGt, nullptr, false, 0.0, false, "1.0 if a > b else 0.0")       \
    X(CMP_GE, 17, GE, (2, 1), BINARY, op::CmpGe, op::CmpGe, nullptr, false, 0.0, false, "1.0 if a >= b else 0.0")      \
    X(LOGICAL_NOT, 18, NOT, (1, 1), UNARY, op::LogicalNot, op::LogicalNot, nullptr, false, 0.0, false,                 \
      "1.0 if a is false else 0.0")                                                                                    \
    X(BIT_NOT, 19, TILDE, (1, 1), UNARY, op::BitNot, op::BitNot, nullptr, false, 0.0, false,                           \
      "complement of a as a 64-bit integer")                                                                           \
    X(JUMP_IF_FALSE, 20, END, (1, 0), JUMP_IF_FALSE, op::None, op::None, nullptr, false, 0.0, false,                   \
      "pop c; if c is false go forward by operand")                                                                    \
    X(JUMP, 21, END, (0, 0), JUMP, op::None, op::None, nullptr, false, 0.0, false, "go forward by operand")            \
    X(CALL_BUILTIN, 22, END, (argc, 1), CALL, op::None, op::None, nullptr, false, 0.0, false,                          \
      "the built-in decodeCall(operand).id of its argc arguments")                                                     \
    X(RETURN, 23, END, (0, 0), RETURN, op::None, op::None, nullptr, false, 0.0, false,                                 \
      "the top value is the result; 0.0 if none")                                                                      \
    X(DIV_IEEE, 24, SLASH, (2, 1), BINARY, op::Div, op::Div, nullptr, false, 0.0, false,                              \
      "a / b; a zero divisor gives the IEEE result")                                                                   \
    X(MOD_IEEE, 25, PERCENT, (2, 1), BINARY, op::Mod, op::Mod, nullptr, true, 2.5, false,                             \
      "fmod(a, b); a zero divisor gives NaN")                                                                          \
    X(LOGICAL_AND, 26, AND, (2, 1), BINARY, op::LogicalAnd, op::LogicalAnd, nullptr, false, 0.0, true,                 \
      "1.0 if a and b are true")                                                                                       \
    X(LOGICAL_OR, 27, OR, (2, 1), BINARY, op::LogicalOr, op::LogicalOr, nullptr, false, 0.0, true,                     \
      "1.0 if a or b is true")                                                                                         \
    X(SELECT, 28, END, (3, 1), TERNARY, op::Select, op::Select, nullptr, false, 0.0, true,                             \
      "c x y -> x if c is true, else y")

#define TARNEX_STACK_POPS(pops, pushes) pops
#define TARNEX_STACK_PUSHES(pops, pushes) pushes

enum class Opcode : uint32_t {
#define TARNEX_OPCODE_ENUM(name, number, ...) name = number,
    TARNEX_OPCODES(TARNEX_OPCODE_ENUM)
#undef TARNEX_OPCODE_ENUM
};

// How an evaluator applies an opcode; every switch over it is exhaustive.
enum class OpcodeKind : uint8_t { PUSH, LOAD, BINARY, UNARY, TERNARY, JUMP_IF_FALSE, JUMP, CALL, RETURN };

// How many operands the operations of a kind take (0: it computes nothing).
constexpr int kindArity(OpcodeKind kind) {
    switch (kind) {
        case OpcodeKind::UNARY: return 1;
        case OpcodeKind::BINARY: return 2;
        case OpcodeKind::TERNARY: return 3;
        case OpcodeKind::PUSH:
        case OpcodeKind::LOAD:
        case OpcodeKind::JUMP_IF_FALSE:
        case OpcodeKind::JUMP:
        case OpcodeKind::CALL:
        case OpcodeKind::RETURN: return 0;
    }
    throw std::logic_error("unknown opcode kind");
}

struct OpcodeInfo {
    const char* name;
    int32_t token;
    uint32_t pushes;
    OpcodeKind kind;
    const char* zero_divisor_error;
    bool can_fail;
    bool library_call;
    double nanoseconds;
    bool plan_only;
};

constexpr uint32_t ALL_OPCODE_COUNT = 0
#define TARNEX_OPCODE_COUNT(...) +1
    TARNEX_OPCODES(TARNEX_OPCODE_COUNT)
#undef TARNEX_OPCODE_COUNT
    ;

inline constexpr OpcodeInfo OPCODE_INFO[ALL_OPCODE_COUNT] = {
#define TARNEX_OPCODE_INFO(name, number, token, stack, kind, block_op, element_op, zero_error, library, cost, plan_only, \
                           meaning)                                                                                  \
    {#name, token, TARNEX_STACK_PUSHES stack, OpcodeKind::kind, zero_error, zero_error != nullptr, library, cost, plan_only},
    TARNEX_OPCODES(TARNEX_OPCODE_INFO)
#undef TARNEX_OPCODE_INFO
};

// The numbers are the table's positions, so OPCODE_INFO[n] describes opcode
// n, and the plan-only opcodes come last.
constexpr bool opcodesNumberedInOrder() {
    constexpr uint32_t numbers[] = {
#define TARNEX_OPCODE_NUMBER(name, number, ...) number,
        TARNEX_OPCODES(TARNEX_OPCODE_NUMBER)
#undef TARNEX_OPCODE_NUMBER
    };
    for (uint32_t i = 0; i < ALL_OPCODE_COUNT; ++i)
        if (numbers[i] != i || (i > 0 && OPCODE_INFO[i - 1].plan_only && !OPCODE_INFO[i].plan_only)) return false;
    return true;
}
static_assert(opcodesNumberedInOrder());

// The opcodes compiled code may hold; the plan-only ones follow them.
constexpr uint32_t OPCODE_COUNT = [] {
    uint32_t count = 0;
    for (const OpcodeInfo& info : OPCODE_INFO) count += !info.plan_only;
    return count;
}();

inline constexpr const OpcodeInfo& opcodeInfo(Opcode op) { return OPCODE_INFO[static_cast<uint32_t>(op)]; }

// The stack entries an opcode pops (and reads); `argc` counts only for a call.
constexpr uint32_t opcodePops(Opcode opcode, uint32_t argc) {
    switch (opcode) {
#define TARNEX_OPCODE_POPS(name, number, token, stack, ...) \
    case Opcode::name: return TARNEX_STACK_POPS stack;
        TARNEX_OPCODES(TARNEX_OPCODE_POPS)
#undef TARNEX_OPCODE_POPS
    }
    throw std::logic_error("unknown opcode");
}

// Each row's kind, operations and stack use agree.
#define TARNEX_OPCODE_ARITY(name, number, token, stack, kind, block_op, element_op, ...)                 \
    static_assert(op::arity<block_op> == kindArity(OpcodeKind::kind) &&                                 \
                      op::arity<element_op> == kindArity(OpcodeKind::kind) &&                           \
                      (kindArity(OpcodeKind::kind) == 0 ||                                              \
                       opcodePops(Opcode::name, 0) == static_cast<uint32_t>(kindArity(OpcodeKind::kind))), \
                  #name ": its kind, its operations and its stack use disagree");
TARNEX_OPCODES(TARNEX_OPCODE_ARITY)
#undef TARNEX_OPCODE_ARITY

// What a zero divisor of / and % does: RAISE fails with the opcode's
// message; IGNORE gives the IEEE result of the operation (inf or NaN for /,
// NaN for fmod), with no zero check at all.
enum class DivideMode : uint8_t { RAISE, IGNORE };

// The compiled-code opcode of a binary or prefix operator token: the first
// row for it, or under IGNORE the first that cannot fail; the whole-block
// LOGICAL_AND and LOGICAL_OR are found only when `plan_only`.
constexpr Opcode opcodeForToken(int32_t token, OpcodeKind kind, bool plan_only = false,
                                DivideMode divide = DivideMode::RAISE) {
    uint32_t limit = plan_only ? ALL_OPCODE_COUNT : OPCODE_COUNT;
    for (uint32_t i = 0; i < limit; ++i)
        if (OPCODE_INFO[i].token == token && OPCODE_INFO[i].kind == kind &&
            !(divide == DivideMode::IGNORE && OPCODE_INFO[i].can_fail))
            return static_cast<Opcode>(i);
    throw std::logic_error("no opcode for this operator");
}

constexpr bool everyFailingOperatorHasAnIeeeForm() {
    for (uint32_t i = 0; i < OPCODE_COUNT; ++i)
        if (OPCODE_INFO[i].can_fail &&
            opcodeInfo(opcodeForToken(OPCODE_INFO[i].token, OPCODE_INFO[i].kind, false, DivideMode::IGNORE)).can_fail)
            return false;
    return true;
}
static_assert(everyFailingOperatorHasAnIeeeForm());

// Which operation an opcode means: folding and block mode convert the right
// operand of &, | and ^ with to_int64, the per-element evaluators (and every
// route of a program whose code jumps) with to_uint64.
enum class Semantics : uint8_t { BLOCK, ELEMENT };

// Calls `visit` with the op:: functor of `opcode` under `semantics` and
// returns its result. Generated from the table: a new opcode is a new case,
// none falls through to another's operation, and an opcode that computes
// nothing throws rather than visiting a placeholder.
template <Semantics semantics, class Visitor>
decltype(auto) visitOperation(Opcode opcode, Visitor&& visit) {
    switch (opcode) {
#define TARNEX_OPCODE_CASE(name, number, token, stack, kind, block_op, element_op, ...) \
    case Opcode::name:                                                                   \
        if constexpr (std::is_same_v<block_op, op::None>) {                              \
            break;                                                                       \
        } else if constexpr (semantics == Semantics::BLOCK) {                            \
            return visit(block_op{});                                                    \
        } else {                                                                         \
            return visit(element_op{});                                                  \
        }
        TARNEX_OPCODES(TARNEX_OPCODE_CASE)
#undef TARNEX_OPCODE_CASE
    }
    throw std::logic_error("the opcode computes nothing");
}

// What RETURN gives when the stack is empty, on every route (only code
// built by hand has such a RETURN).
constexpr double EMPTY_STACK_RESULT = 0.0;

struct Instruction {
    uint32_t opcode;
    uint32_t operand;

    bool operator==(const Instruction&) const = default;
};

// The opcode's name, or "?" for a number outside the table.
inline const char* opcodeName(uint32_t opcode) {
    return opcode < ALL_OPCODE_COUNT ? OPCODE_INFO[opcode].name : "?";
}

// The stack entries one instruction reads, a call's arguments included
// (RETURN takes the top entry if there is one, so it needs none); the
// opcode must be in the table.
inline uint32_t stackReads(Instruction ins) {
    return opcodePops(static_cast<Opcode>(ins.opcode), decodeCall(ins.operand).argc);
}

// The stack effect of one instruction, a call's arguments included.
inline int stackEffect(Instruction ins) {
    return static_cast<int>(opcodeInfo(static_cast<Opcode>(ins.opcode)).pushes) - static_cast<int>(stackReads(ins));
}

// False for a number outside the table, so hand-built code can be asked too.
inline bool isJump(Instruction ins) {
    if (ins.opcode >= ALL_OPCODE_COUNT) return false;
    OpcodeKind kind = opcodeInfo(static_cast<Opcode>(ins.opcode)).kind;
    return kind == OpcodeKind::JUMP || kind == OpcodeKind::JUMP_IF_FALSE;
}

// Whether the code holds a JUMP or JUMP_IF_FALSE: such a program keeps the
// per-element meaning of every operation, whichever route runs it.
inline bool hasJumps(const std::vector<Instruction>& code) {
    for (Instruction ins : code)
        if (isJump(ins)) return true;
    return false;
}

}  // namespace tarnex
