#include <cstddef>
#include <stdexcept>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "tarnex/numeric.h"

#include "operations.h"

namespace tarnex {
namespace {

thread_local std::vector<double> element_values;

class ScalarMachine {
public:
    ScalarMachine(const Program& program, const double* values) : program_(program), values_(values) {}

    double run();

private:
    void push(double value) { stack_[depth_++] = value; }
    double pop() { return stack_[--depth_]; }

    template <class Op>
    void binary() {
        double b = pop();
        stack_[depth_ - 1] = Op::apply(stack_[depth_ - 1], b);
    }

    template <class Op>
    void unary() {
        stack_[depth_ - 1] = Op::apply(stack_[depth_ - 1]);
    }

    void callBuiltin(uint32_t operand) {
        uint32_t argc = operand & 0xffffu;
        depth_ -= argc;
        push(tarnex::callBuiltin(static_cast<BuiltinFunc>(operand >> 16), stack_ + depth_, argc));
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
    auto opcode = static_cast<Opcode>(ins.opcode);
    switch (opcode) {
        case Opcode::PUSH_CONST: push(program_.constants[ins.operand]); break;
        case Opcode::LOAD_VAR: push(values_[ins.operand]); break;
        case Opcode::JUMP_IF_FALSE: return truth(pop()) ? position + 1 : position + ins.operand;
        case Opcode::JUMP: return position + ins.operand;
        case Opcode::CALL_BUILTIN: callBuiltin(ins.operand); break;
        case Opcode::RETURN: break;
        default: operate(opcode); break;
    }
    return position + 1;
}

void ScalarMachine::operate(Opcode opcode) {
    const char* zero_error = detail::zeroDivisorError(opcode);
    if (zero_error != nullptr && stack_[depth_ - 1] == 0.0) throw std::runtime_error(zero_error);
    if (!detail::visitBinaryOperation(opcode, [&](auto fn) { binary<decltype(fn)>(); }))
        detail::visitUnaryOperation(opcode, [&](auto fn) { unary<decltype(fn)>(); });
}

double ScalarMachine::run() {
    const Instruction* code = program_.code.data();
    const size_t size = program_.code.size();
    for (size_t position = 0; position < size && code[position].opcode != static_cast<uint32_t>(Opcode::RETURN);)
        position = execute(code[position], position);
    return depth_ == 0 ? 0.0 : stack_[depth_ - 1];
}

}  // namespace

double evaluateScalar(const Program& program, const double* values) {
    return ScalarMachine(program, values).run();
}

namespace detail {

// Every variable is gathered, read or not, so the values line up with the
// program's variable indices.
void evaluateElements(const Program& program, uint64_t count, double* out, const double* const* inputs) {
    size_t var_count = program.var_names.size();
    std::vector<double>& values = element_values;  // one thread-local lookup, not one per access
    values.resize(var_count);
    for (uint64_t i = 0; i < count; ++i) {
        for (size_t v = 0; v < var_count; ++v) values[v] = inputs[v][i];
        out[i] = evaluateScalar(program, values.data());
    }
}

}  // namespace detail
}  // namespace tarnex
