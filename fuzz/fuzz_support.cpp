#include "fuzz_support.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tarnex/builtins.h"
#include "tarnex/lexer.h"

namespace fuzz {
namespace {

using tarnex::Instruction;
using tarnex::Opcode;

constexpr std::string_view COMPILE_MESSAGES[] = {
    "Lexer error: Unknown character",
    "Lexer error: Invalid number format",
    "Lexer error: Single '=' not supported, use '=='",
    "Parse error",
    "Unknown id/variable",
    "Too many arguments",
    "Unknown func",
    "pow expects 2 arguments",
    "min/max expect at least 1 argument",
    "Function expects 1 argument",
    "Division by zero",
    "Modulo by zero",
    "Expression too deeply nested",
    "Expression too complex",
};

bool is(Instruction ins, Opcode op) { return ins.opcode == static_cast<uint32_t>(op); }

using tarnex::isJump;

void checkCall(uint32_t operand, std::string_view text) {
    if (tarnex::validCall(operand) == nullptr) fail("CALL_BUILTIN of an unknown function or with a wrong count", text);
}

void checkOperands(const tarnex::Program& program, std::string_view text) {
    const auto& code = program.code;
    uint32_t next_constant = 0;
    for (size_t i = 0; i < code.size(); ++i) {
        Instruction ins = code[i];
        if (ins.opcode >= tarnex::OPCODE_COUNT) fail("opcode out of range", text);
        if (is(ins, Opcode::RETURN) && i + 1 != code.size()) fail("RETURN before the end", text);
        // One constant per PUSH_CONST, in emission order.
        if (is(ins, Opcode::PUSH_CONST) && ins.operand != next_constant++) fail("constant index out of order", text);
        if (is(ins, Opcode::LOAD_VAR) && ins.operand >= program.var_names.size())
            fail("variable index out of range", text);
        if (isJump(ins) && (ins.operand < 2 || ins.operand > code.size() - 1 - i))
            fail("jump too short or beyond the code", text);
        if (is(ins, Opcode::CALL_BUILTIN)) checkCall(ins.operand, text);
    }
    if (next_constant != program.constants.size()) fail("constant pool size differs from PUSH_CONST count", text);
}

// Jumps only go forward, so one pass in code order sees every way into an
// instruction before the instruction itself.
void checkStackDepth(const std::vector<Instruction>& code, std::string_view text) {
    constexpr int UNREACHED = -1;
    std::vector<int> depth(code.size(), UNREACHED);
    depth[0] = 0;
    auto reach = [&](size_t target, int d) {
        if (depth[target] != UNREACHED && depth[target] != d) fail("paths meet with different stack depths", text);
        depth[target] = d;
    };
    for (size_t i = 0; i < code.size(); ++i) {
        if (depth[i] == UNREACHED) continue;
        Instruction ins = code[i];
        if (static_cast<uint32_t>(depth[i]) < tarnex::stackReads(ins)) fail("stack underflow", text);
        if (is(ins, Opcode::RETURN)) {
            if (depth[i] != 1) fail("RETURN reached without exactly one value", text);
            continue;
        }
        int after = depth[i] + tarnex::stackEffect(ins);
        if (after > static_cast<int>(tarnex::STACK_CAPACITY)) fail("stack deeper than STACK_CAPACITY", text);
        if (isJump(ins)) reach(i + ins.operand, after);
        if (!is(ins, Opcode::JUMP)) reach(i + 1, after);
    }
    if (depth.back() == UNREACHED) fail("RETURN unreachable", text);
}

void checkVariableTable(const tarnex::Program& program, const std::vector<std::string_view>& names,
                        std::string_view text) {
    if (program.var_names.size() != names.size() || program.var_values.size() != names.size())
        fail("variable table size differs from the names", text);
    for (size_t i = 0; i < names.size(); ++i) {
        if (program.var_names[i] != names[i]) fail("variable name changed", text);
        size_t first = 0;
        while (!tarnex::equalsIgnoringCase(names[first], names[i])) ++first;
        auto found = program.var_index.find(program.var_names[i]);
        if (found == program.var_index.end() || found->second != first)
            fail("variable index map disagrees with the first equal name", text);
        if (program.var_values[i] != 0.0) fail("variable value not 0.0", text);
    }
}

}  // namespace

void fail(std::string_view what, std::string_view text) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %.*s\n  text (%zu bytes): %.*s\n", static_cast<int>(what.size()),
                 what.data(), text.size(), static_cast<int>(std::min<size_t>(text.size(), 2000)), text.data());
    std::abort();
}

bool isCompileMessage(std::string_view message) {
    for (std::string_view known : COMPILE_MESSAGES)
        if (message == known) return true;
    return false;
}

bool tryCompile(std::string_view text, const std::vector<std::string_view>& names, tarnex::Program& program,
                std::string& message) {
    try {
        program = tarnex::compile(text, names);
        return true;
    } catch (const std::runtime_error& e) {
        message = e.what();
    } catch (const std::exception& e) {
        fail(std::string("compile threw a non-runtime_error: ") + e.what(), text);
    } catch (...) {
        fail("compile threw a non-exception", text);
    }
    if (!isCompileMessage(message)) fail("compile failed with an unknown message: " + message, text);
    return false;
}

void checkInvariants(const tarnex::Program& program, const std::vector<std::string_view>& names,
                     std::string_view text) {
    if (program.code.empty() || !is(program.code.back(), Opcode::RETURN)) fail("code does not end with RETURN", text);
    checkOperands(program, text);
    checkStackDepth(program.code, text);
    checkVariableTable(program, names, text);
}

bool sameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

}  // namespace fuzz
