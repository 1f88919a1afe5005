// The compiled form of one expression for one ordered list of variable names:
// stack-machine code over doubles, a constant pool and the variable table.
//
// `compile` is the only writer. A Program is immutable once returned and may
// be read by any number of threads at once. Every compiled program ends with
// its only RETURN, uses constant and variable indices in range, jumps only
// forward by at least 2, and needs at most STACK_CAPACITY stack entries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnex {

// Stack entries of both evaluators. The compiler refuses deeper programs, so
// the evaluators need no run-time check; 256 slot buffers of 4096 doubles
// keep a thread's scratch at 8 MiB.
constexpr uint32_t STACK_CAPACITY = 256;

// The instruction set, written once: name, number, stack effect, meaning.
// CALL_BUILTIN's effect is 1 - argc; it is listed as 0 and special-cased.
#define TARNEX_OPCODES(X)                                                        \
    X(PUSH_CONST, 0, +1, "push constants[operand]")                              \
    X(LOAD_VAR, 1, +1, "push the current element of input `operand`")           \
    X(ADD, 2, -1, "a + b")                                                       \
    X(SUB, 3, -1, "a - b")                                                       \
    X(MUL, 4, -1, "a * b")                                                       \
    X(DIV, 5, -1, "a / b; a zero divisor fails")                                 \
    X(MOD, 6, -1, "fmod(a, b); a zero divisor fails")                            \
    X(BIT_AND, 7, -1, "bitwise and of a and b as 64-bit integers")               \
    X(BIT_OR, 8, -1, "bitwise or")                                               \
    X(BIT_XOR, 9, -1, "bitwise exclusive or")                                    \
    X(SHIFT_LEFT, 10, -1, "a shifted left by (b & 63)")                          \
    X(SHIFT_RIGHT, 11, -1, "a shifted right arithmetically by (b & 63)")         \
    X(CMP_EQ, 12, -1, "1.0 if a == b else 0.0")                                  \
    X(CMP_NE, 13, -1, "1.0 if a != b else 0.0")                                  \
    X(CMP_LT, 14, -1, "1.0 if a < b else 0.0")                                   \
    X(CMP_LE, 15, -1, "1.0 if a <= b else 0.0")                                  \
    X(CMP_GT, 16, -1, "1.0 if a > b else 0.0")                                   \
    X(CMP_GE, 17, -1, "1.0 if a >= b else 0.0")                                  \
    X(LOGICAL_NOT, 18, 0, "1.0 if a is false else 0.0")                          \
    X(BIT_NOT, 19, 0, "bitwise complement of a as a 64-bit integer")             \
    X(JUMP_IF_FALSE, 20, -1, "pop c; if c is false go forward by operand")       \
    X(JUMP, 21, 0, "go forward by operand")                                      \
    X(CALL_BUILTIN, 22, 0, "apply builtin (operand >> 16) to (operand & 0xffff) values") \
    X(RETURN, 23, 0, "the top value is the result; 0.0 when the stack is empty")

enum class Opcode : uint32_t {
#define TARNEX_OPCODE_ENUM(name, number, effect, meaning) name = number,
    TARNEX_OPCODES(TARNEX_OPCODE_ENUM)
#undef TARNEX_OPCODE_ENUM
};

constexpr uint32_t OPCODE_COUNT = 24;

struct Instruction {
    uint32_t opcode;
    uint32_t operand;
};

// The fixed part of an opcode's stack effect (see TARNEX_OPCODES).
int opcodeStackEffect(Opcode op);
// The opcode's name, or "?" for a number outside the table.
const char* opcodeName(uint32_t opcode);

// The stack effect of one instruction, CALL_BUILTIN's argument count included.
inline int stackEffect(Instruction ins) {
    if (ins.opcode == static_cast<uint32_t>(Opcode::CALL_BUILTIN))
        return 1 - static_cast<int>(ins.operand & 0xffffu);
    return opcodeStackEffect(static_cast<Opcode>(ins.opcode));
}

// FNV-1a over ASCII-lower-cased bytes, and the matching equality.
struct NameHash {
    size_t operator()(const std::string& name) const;
};
struct NameEqual {
    bool operator()(const std::string& a, const std::string& b) const;
};

class Program {
public:
    std::vector<Instruction> code;
    std::vector<double> constants;
    std::vector<std::string> var_names;  // position i is variable index i
    std::vector<double> var_values;      // one 0.0 per variable
    // Each name to the index of the first name equal to it ignoring case.
    std::unordered_map<std::string, uint32_t, NameHash, NameEqual> var_index;
};

// Compiles `text` for the variables `names` (in binding order). Throws
// std::runtime_error with the lexer's, parser's or folding's fixed message,
// "Expression too deeply nested" or "Expression too complex".
Program compile(std::string_view text, const std::vector<std::string_view>& names);

}  // namespace tarnex
