#include "fuzz_support.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "tarnex/lexer.h"
#include "tarnex/walker.h"

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

// Each returns what is wrong, or "" when nothing is.
std::string operandProblem(const tarnex::Program& program) {
    const auto& code = program.code;
    uint32_t next_constant = 0;
    for (size_t i = 0; i < code.size(); ++i) {
        Instruction ins = code[i];
        if (ins.opcode >= tarnex::OPCODE_COUNT) return "opcode out of range";
        if (is(ins, Opcode::RETURN) && i + 1 != code.size()) return "RETURN before the end";
        // One constant per PUSH_CONST, in emission order.
        if (is(ins, Opcode::PUSH_CONST) && ins.operand != next_constant++) return "constant index out of order";
        if (is(ins, Opcode::LOAD_VAR) && ins.operand >= program.var_names.size()) return "variable index out of range";
        if (isJump(ins) && (ins.operand < 2 || ins.operand > code.size() - 1 - i)) return "jump too short or beyond the code";
        if (is(ins, Opcode::CALL_BUILTIN) && tarnex::validCall(ins.operand) == nullptr)
            return "CALL_BUILTIN of an unknown function or with a wrong count";
    }
    if (next_constant != program.constants.size()) return "constant pool size differs from PUSH_CONST count";
    return "";
}

// The walker follows every path; compiled code reaches its RETURN on all of
// them with exactly one value, and code generation counted the same depth.
std::string depthProblem(const tarnex::Program& program, const std::vector<Instruction>& code, bool plan_only) {
    const tarnex::CodeCheck check =
        tarnex::checkCode(code, tarnex::CodeBounds{program.constants.size(), program.var_names.size(), plan_only});
    switch (check.outcome) {
        case tarnex::WalkOutcome::RETURNED: break;
        case tarnex::WalkOutcome::UNDERFLOW: return "stack underflow";
        case tarnex::WalkOutcome::TOO_DEEP: return "stack deeper than STACK_CAPACITY";
        case tarnex::WalkOutcome::PATHS_DISAGREE: return "paths meet with different stack depths";
        case tarnex::WalkOutcome::NO_RETURN: return "RETURN unreachable";
        case tarnex::WalkOutcome::DECLINED:
        case tarnex::WalkOutcome::UNKNOWN_OPCODE:
        case tarnex::WalkOutcome::BAD_OPERAND:
        case tarnex::WalkOutcome::BAD_JUMP: return "code the walker refuses";
    }
    if (check.return_depth != 1) return "RETURN reached without exactly one value";
    if (check.unreachable != 0 || check.return_index + 1 != code.size()) return "unreachable instructions";
    if (!plan_only && check.max_depth != program.max_depth) return "max_depth differs from the code's depth";
    return "";
}

std::string variableTableProblem(const tarnex::Program& program, const std::vector<std::string_view>& names) {
    if (program.var_names.size() != names.size() || program.var_values.size() != names.size())
        return "variable table size differs from the names";
    for (size_t i = 0; i < names.size(); ++i) {
        if (program.var_names[i] != names[i]) return "variable name changed";
        size_t first = 0;
        while (!tarnex::equalsIgnoringCase(names[first], names[i])) ++first;
        auto found = program.var_index.find(program.var_names[i]);
        if (found == program.var_index.end() || found->second != first)
            return "variable index map disagrees with the first equal name";
        if (program.var_values[i] != 0.0) return "variable value not 0.0";
    }
    return "";
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

std::string programProblem(const tarnex::Program& program, const std::vector<std::string_view>& names) {
    if (program.code.empty() || !is(program.code.back(), Opcode::RETURN)) return "code does not end with RETURN";
    std::string problem = operandProblem(program);
    if (problem.empty()) problem = depthProblem(program, program.code, false);
    if (problem.empty()) {
        const auto prepared = tarnex::prepare(program);
        if (!prepared->blockCode().empty()) problem = depthProblem(program, prepared->blockCode(), true);
    }
    if (problem.empty()) problem = variableTableProblem(program, names);
    return problem;
}

void checkInvariants(const tarnex::Program& program, const std::vector<std::string_view>& names,
                     std::string_view text) {
    const std::string problem = programProblem(program, names);
    if (!problem.empty()) fail(problem, text);
}

bool sameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

}  // namespace fuzz
