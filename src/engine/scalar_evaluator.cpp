#include <cstddef>
#include <stdexcept>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "tarnex/numeric.h"

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
    void checkedBinary(const char* zero_message) {
        if (stack_[depth_ - 1] == 0.0) throw std::runtime_error(zero_message);
        binary<Op>();
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

    const Program& program_;
    const double* values_;
    double stack_[STACK_CAPACITY];
    uint32_t depth_ = 0;
};

// Runs one instruction and returns the position of the next.
size_t ScalarMachine::execute(Instruction ins, size_t position) {
    switch (static_cast<Opcode>(ins.opcode)) {
        case Opcode::PUSH_CONST: push(program_.constants[ins.operand]); break;
        case Opcode::LOAD_VAR: push(values_[ins.operand]); break;
        case Opcode::ADD: binary<op::Add>(); break;
        case Opcode::SUB: binary<op::Sub>(); break;
        case Opcode::MUL: binary<op::Mul>(); break;
        case Opcode::DIV: checkedBinary<op::Div>("Division by zero"); break;
        case Opcode::MOD: checkedBinary<op::Mod>("Modulo by zero"); break;
        case Opcode::BIT_AND: binary<op::BitAnd>(); break;
        case Opcode::BIT_OR: binary<op::BitOr>(); break;
        case Opcode::BIT_XOR: binary<op::BitXor>(); break;
        case Opcode::SHIFT_LEFT: binary<op::ShiftLeft>(); break;
        case Opcode::SHIFT_RIGHT: binary<op::ShiftRight>(); break;
        case Opcode::CMP_EQ: binary<op::CmpEq>(); break;
        case Opcode::CMP_NE: binary<op::CmpNe>(); break;
        case Opcode::CMP_LT: binary<op::CmpLt>(); break;
        case Opcode::CMP_LE: binary<op::CmpLe>(); break;
        case Opcode::CMP_GT: binary<op::CmpGt>(); break;
        case Opcode::CMP_GE: binary<op::CmpGe>(); break;
        case Opcode::LOGICAL_NOT: unary<op::LogicalNot>(); break;
        case Opcode::BIT_NOT: unary<op::BitNot>(); break;
        case Opcode::JUMP_IF_FALSE: return truth(pop()) ? position + 1 : position + ins.operand;
        case Opcode::JUMP: return position + ins.operand;
        case Opcode::CALL_BUILTIN: callBuiltin(ins.operand); break;
        case Opcode::RETURN: break;
    }
    return position + 1;
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
