#include <cstddef>
#include <stdexcept>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "tarnex/numeric.h"

#include "plan.h"

namespace tarnex {
namespace {

thread_local std::vector<double> element_values;

class ScalarMachine {
public:
    ScalarMachine(const Program& program, const double* values) : program_(program), values_(values) {}

    double run();

private:
    void push(double value) { stack_[depth_++] = value; }

    void callBuiltin(uint32_t operand) {
        const auto [id, argc] = decodeCall(operand);
        depth_ -= argc;
        push(tarnex::callBuiltin(static_cast<BuiltinFunc>(id), stack_ + depth_, argc));
    }

    size_t execute(Instruction ins, size_t position);
    void operate(Opcode opcode);

    const Program& program_;
    const double* values_;
    double stack_[STACK_CAPACITY];
    uint32_t depth_ = 0;
};

// Runs one instruction and returns the position of the next.
size_t ScalarMachine::execute(Instruction ins, size_t position) {
    if (ins.opcode >= ALL_OPCODE_COUNT) throw std::logic_error("unknown opcode");
    auto opcode = static_cast<Opcode>(ins.opcode);
    switch (opcodeInfo(opcode).kind) {
        case OpcodeKind::PUSH: push(program_.constants[ins.operand]); break;
        case OpcodeKind::LOAD: push(values_[ins.operand]); break;
        case OpcodeKind::JUMP_IF_FALSE: return truth(stack_[--depth_]) ? position + 1 : position + ins.operand;
        case OpcodeKind::JUMP: return position + ins.operand;
        case OpcodeKind::CALL: callBuiltin(ins.operand); break;
        case OpcodeKind::RETURN: break;
        case OpcodeKind::UNARY:
        case OpcodeKind::BINARY:
        case OpcodeKind::TERNARY: operate(opcode); break;
    }
    return position + 1;
}

// The operands sit at the top of the stack, the first deepest; the result
// replaces them.
void ScalarMachine::operate(Opcode opcode) {
    const char* zero_error = opcodeInfo(opcode).zero_divisor_error;
    if (zero_error != nullptr && stack_[depth_ - 1] == 0.0) throw std::runtime_error(zero_error);
    visitOperation<Semantics::ELEMENT>(opcode, [&](auto operation) {
        using Op = decltype(operation);
        constexpr uint32_t n = op::arity<Op>;
        double* top = stack_ + depth_ - n;
        if constexpr (n == 1) {
            top[0] = Op::apply(top[0]);
        } else if constexpr (n == 2) {
            top[0] = Op::apply(top[0], top[1]);
        } else if constexpr (n == 3) {
            top[0] = Op::apply(top[0], top[1], top[2]);
        }
        depth_ -= n == 0 ? 0 : n - 1;
    });
}

double ScalarMachine::run() {
    const Instruction* code = program_.code.data();
    const size_t size = program_.code.size();
    for (size_t position = 0; position < size && code[position].opcode != static_cast<uint32_t>(Opcode::RETURN);)
        position = execute(code[position], position);
    return depth_ == 0 ? EMPTY_STACK_RESULT : stack_[depth_ - 1];
}

}  // namespace

double evaluateScalar(const Program& program, const double* values) {
    return ScalarMachine(program, values).run();
}

namespace detail {

// Variables the program never reads are left unset: their values are never
// looked at, and gathering them cost a pass over every unused keyword.
void runElements(const Program& program, const std::vector<uint32_t>& variables, uint64_t count, double* out,
                 const double* const* inputs) {
    std::vector<double>& values = element_values;  // one thread-local lookup, not one per access
    values.resize(program.var_names.size());
    for (uint64_t i = 0; i < count; ++i) {
        for (uint32_t v : variables) values[v] = inputs[v][i];
        out[i] = evaluateScalar(program, values.data());
    }
}

void evaluateElements(const PreparedProgram& prepared, uint64_t count, double* out, const double* const* inputs) {
    runElements(prepared.program(), prepared.plan().read_variables, count, out, inputs);
}

}  // namespace detail
}  // namespace tarnex
