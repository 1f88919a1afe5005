// The compiled form of one expression for one ordered list of variable names:
// stack-machine code over doubles, a constant pool and the variable table.
//
// `compile` is the only writer. A Program is immutable once returned and may
// be read by any number of threads at once. Every compiled program ends with
// its only RETURN, uses constant and variable indices in range, jumps only
// forward by at least 2, and needs at most STACK_CAPACITY stack entries.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnex/lexer.h"
#include "tarnex/numeric.h"

namespace tarnex {

// Stack entries of both evaluators. The compiler refuses deeper programs, so
// the evaluators need no run-time check; 256 slot buffers of 4096 doubles
// keep a thread's scratch at 8 MiB.
constexpr uint32_t STACK_CAPACITY = 256;

// The instruction set, written once. Columns: name, number, the operator
// token it compiles from (END: none), stack effect,
// kind (how an evaluator applies it), the operation in block mode, the
// operation in the per-element evaluator, the zero divisor's message (null:
// no check), whether the operation calls the math library, and the meaning.
// CALL_BUILTIN's effect is 1 - argc; it is listed as 0 and special-cased.
// The last three never appear in compiled code: they are the whole-block
// forms of &&, || and ?: that an execution plan may use instead of jumps.
#define TARNEX_OPCODES(X)                                                                                              \
    X(PUSH_CONST, 0, END, +1, PUSH, op::None, op::None, nullptr, false, "push constants[operand]")                     \
    X(LOAD_VAR, 1, END, +1, LOAD, op::None, op::None, nullptr, false, "push the current element of input `operand`")   \
    X(ADD, 2, PLUS, -1, BINARY, op::Add, op::Add, nullptr, false, "a + b")                                             \
    X(SUB, 3, MINUS, -1, BINARY, op::Sub, op::Sub, nullptr, false, "a - b")                                            \
    X(MUL, 4, STAR, -1, BINARY, op::Mul, op::Mul, nullptr, false, "a * b")                                             \
    X(DIV, 5, SLASH, -1, BINARY, op::Div, op::Div, "Division by zero", false, "a / b; a zero divisor fails")           \
    X(MOD, 6, PERCENT, -1, BINARY, op::Mod, op::Mod, "Modulo by zero", true, "fmod(a, b); a zero divisor fails")       \
    X(BIT_AND, 7, AMP, -1, BINARY, op::BitAnd, op::BitAndUnsigned, nullptr, false, "bitwise and as 64-bit integers")   \
    X(BIT_OR, 8, PIPE, -1, BINARY, op::BitOr, op::BitOrUnsigned, nullptr, false, "bitwise or")                         \
    X(BIT_XOR, 9, CARET, -1, BINARY, op::BitXor, op::BitXorUnsigned, nullptr, false, "bitwise exclusive or")           \
    X(SHIFT_LEFT, 10, SHL, -1, BINARY, op::ShiftLeft, op::ShiftLeft, nullptr, false, "a shifted left by (b & 63)")     \
    X(SHIFT_RIGHT, 11, SHR, -1, BINARY, op::ShiftRight, op::ShiftRight, nullptr, false, "a >> (b & 63), arithmetic")   \
    X(CMP_EQ, 12, EQ, -1, BINARY, op::CmpEq, op::CmpEq, nullptr, false, "1.0 if a == b else 0.0")                      \
    X(CMP_NE, 13, NE, -1, BINARY, op::CmpNe, op::CmpNe, nullptr, false, "1.0 if a != b else 0.0")                      \
    X(CMP_LT, 14, LT, -1, BINARY, op::CmpLt, op::CmpLt, nullptr, false, "1.0 if a < b else 0.0")                       \
    X(CMP_LE, 15, LE, -1, BINARY, op::CmpLe, op::CmpLe, nullptr, false, "1.0 if a <= b else 0.0")                      \
    X(CMP_GT, 16, GT, -1, BINARY, op::CmpGt, op::CmpGt, nullptr, false, "1.0 if a > b else 0.0")                       \
    X(CMP_GE, 17, GE, -1, BINARY, op::CmpGe, op::CmpGe, nullptr, false, "1.0 if a >= b else 0.0")                      \
    X(LOGICAL_NOT, 18, NOT, 0, UNARY, op::LogicalNot, op::LogicalNot, nullptr, false, "1.0 if a is false else 0.0")    \
    X(BIT_NOT, 19, TILDE, 0, UNARY, op::BitNot, op::BitNot, nullptr, false, "complement of a as a 64-bit integer")     \
    X(JUMP_IF_FALSE, 20, END, -1, JUMP_IF_FALSE, op::None, op::None, nullptr, false, "pop c; if c is false go forward") \
    X(JUMP, 21, END, 0, JUMP, op::None, op::None, nullptr, false, "go forward by operand")                             \
    X(CALL_BUILTIN, 22, END, 0, CALL, op::None, op::None, nullptr, false, "builtin (operand >> 16) of (operand & 0xffff)") \
    X(RETURN, 23, END, 0, RETURN, op::None, op::None, nullptr, false, "the top value is the result; 0.0 if none")      \
    X(LOGICAL_AND, 24, AND, -1, BINARY, op::LogicalAnd, op::LogicalAnd, nullptr, false, "1.0 if a and b are true")     \
    X(LOGICAL_OR, 25, OR, -1, BINARY, op::LogicalOr, op::LogicalOr, nullptr, false, "1.0 if a or b is true")           \
    X(SELECT, 26, END, -2, TERNARY, op::Select, op::Select, nullptr, false, "c x y -> x if c is true, else y")

enum class Opcode : uint32_t {
#define TARNEX_OPCODE_ENUM(name, number, ...) name = number,
    TARNEX_OPCODES(TARNEX_OPCODE_ENUM)
#undef TARNEX_OPCODE_ENUM
};

// How an evaluator applies an opcode; every switch over it is exhaustive.
enum class OpcodeKind : uint8_t { PUSH, LOAD, BINARY, UNARY, TERNARY, JUMP_IF_FALSE, JUMP, CALL, RETURN };

// The opcodes compiled code may hold; the plan-only ones follow them.
constexpr uint32_t OPCODE_COUNT = 24;
constexpr uint32_t ALL_OPCODE_COUNT = 0
#define TARNEX_OPCODE_COUNT(...) +1
    TARNEX_OPCODES(TARNEX_OPCODE_COUNT)
#undef TARNEX_OPCODE_COUNT
    ;

struct OpcodeInfo {
    const char* name;
    int32_t token;
    int stack_effect;
    OpcodeKind kind;
    const char* zero_divisor_error;
    bool library_call;
};

inline constexpr OpcodeInfo OPCODE_INFO[ALL_OPCODE_COUNT] = {
#define TARNEX_OPCODE_INFO(name, number, token, effect, kind, block_op, element_op, zero_error, library, meaning) \
    {#name, token, effect, OpcodeKind::kind, zero_error, library},
    TARNEX_OPCODES(TARNEX_OPCODE_INFO)
#undef TARNEX_OPCODE_INFO
};

// The numbers are the table's positions, so OPCODE_INFO[n] describes opcode n.
constexpr bool opcodesNumberedInOrder() {
    constexpr uint32_t numbers[] = {
#define TARNEX_OPCODE_NUMBER(name, number, ...) number,
        TARNEX_OPCODES(TARNEX_OPCODE_NUMBER)
#undef TARNEX_OPCODE_NUMBER
    };
    for (uint32_t i = 0; i < ALL_OPCODE_COUNT; ++i)
        if (numbers[i] != i) return false;
    return true;
}
static_assert(opcodesNumberedInOrder());

inline constexpr const OpcodeInfo& opcodeInfo(Opcode op) { return OPCODE_INFO[static_cast<uint32_t>(op)]; }

// The compiled-code opcode of a binary or prefix operator token; the
// whole-block LOGICAL_AND and LOGICAL_OR are found only when `plan_only`.
constexpr Opcode opcodeForToken(int32_t token, OpcodeKind kind, bool plan_only = false) {
    uint32_t limit = plan_only ? ALL_OPCODE_COUNT : OPCODE_COUNT;
    for (uint32_t i = 0; i < limit; ++i)
        if (OPCODE_INFO[i].token == token && OPCODE_INFO[i].kind == kind) return static_cast<Opcode>(i);
    throw std::logic_error("no opcode for this operator");
}

// Which operation an opcode means: folding and block mode convert the right
// operand of &, | and ^ with to_int64, the per-element evaluators (and every
// route of a program whose code jumps) with to_uint64.
enum class Semantics : uint8_t { BLOCK, ELEMENT };

// Calls `visit` with the op:: functor of `opcode` under `semantics` (op::None
// for the opcodes that compute nothing) and returns its result. Generated
// from the table: a new opcode is a new case, and none falls through to
// another's operation.
template <Semantics semantics, class Visitor>
decltype(auto) visitOperation(Opcode opcode, Visitor&& visit) {
    switch (opcode) {
#define TARNEX_OPCODE_CASE(name, number, token, effect, kind, block_op, element_op, ...) \
    case Opcode::name:                                                                   \
        if constexpr (semantics == Semantics::BLOCK) {                                   \
            return visit(block_op{});                                                    \
        } else {                                                                         \
            return visit(element_op{});                                                  \
        }
        TARNEX_OPCODES(TARNEX_OPCODE_CASE)
#undef TARNEX_OPCODE_CASE
    }
    throw std::logic_error("unknown opcode");
}

struct Instruction {
    uint32_t opcode;
    uint32_t operand;
};

// The fixed part of an opcode's stack effect (see TARNEX_OPCODES).
inline int opcodeStackEffect(Opcode op) { return opcodeInfo(op).stack_effect; }
// The opcode's name, or "?" for a number outside the table.
inline const char* opcodeName(uint32_t opcode) {
    return opcode < ALL_OPCODE_COUNT ? OPCODE_INFO[opcode].name : "?";
}

// The stack effect of one instruction, CALL_BUILTIN's argument count included.
inline int stackEffect(Instruction ins) {
    if (ins.opcode == static_cast<uint32_t>(Opcode::CALL_BUILTIN))
        return 1 - static_cast<int>(ins.operand & 0xffffu);
    return opcodeStackEffect(static_cast<Opcode>(ins.opcode));
}

// The stack entries one instruction reads (RETURN reads the result).
inline uint32_t stackReads(Instruction ins) {
    switch (opcodeInfo(static_cast<Opcode>(ins.opcode)).kind) {
        case OpcodeKind::PUSH:
        case OpcodeKind::LOAD:
        case OpcodeKind::JUMP: return 0;
        case OpcodeKind::UNARY:
        case OpcodeKind::JUMP_IF_FALSE:
        case OpcodeKind::RETURN: return 1;
        case OpcodeKind::BINARY: return 2;
        case OpcodeKind::TERNARY: return 3;
        case OpcodeKind::CALL: return ins.operand & 0xffffu;
    }
    return 0;
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

// FNV-1a over ASCII-lower-cased bytes, and the matching equality.
struct NameHash {
    size_t operator()(const std::string& name) const;
};
struct NameEqual {
    bool operator()(const std::string& a, const std::string& b) const;
};

struct Plan;

class Program {
public:
    std::vector<Instruction> code;
    std::vector<double> constants;
    std::vector<std::string> var_names;  // position i is variable index i
    std::vector<double> var_values;      // one 0.0 per variable
    // Each name to the index of the first name equal to it ignoring case.
    std::unordered_map<std::string, uint32_t, NameHash, NameEqual> var_index;
    // Beyond the five above, for speed only. The same program with its
    // cheap, safe &&, || and ?: as whole-block operations (LOGICAL_AND,
    // LOGICAL_OR, SELECT), sharing `constants`; empty when `code` has no
    // jumps or none qualifies. Written by compile.
    std::vector<Instruction> block_code;
    // How the engine runs this program (tarnex/plan.h), made once by
    // planProgram before the program is shared; null for a program built
    // by hand, which is then planned on every evaluation.
    std::shared_ptr<const Plan> plan;
};

// The most stack entries any path through `code` holds, for code whose paths
// meet with equal depths (all compiled code); the effects come from the table.
uint32_t stackDepth(const std::vector<Instruction>& code);

// Compiles `text` for the variables `names` (in binding order). Throws
// std::runtime_error with the lexer's, parser's or folding's fixed message,
// "Expression too deeply nested" or "Expression too complex".
Program compile(std::string_view text, const std::vector<std::string_view>& names);

}  // namespace tarnex
