#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "tarnex/numeric.h"

#include "block_loops.h"
#include "operations.h"

namespace tarnex {
namespace {

// Uninitialised on purpose: a slot buffer becomes resident only once a
// program writes to it, so a shallow program costs a few pages, not 8 MiB.
thread_local std::unique_ptr<double[]> scratch;
thread_local uint64_t scratch_size = 0;

double* scratchFor(uint64_t count) {
    if (count > std::numeric_limits<uint64_t>::max() / sizeof(double) / STACK_CAPACITY) throw std::bad_alloc();
    return detail::reserved(scratch, scratch_size, uint64_t{STACK_CAPACITY} * count);
}

bool hasJumps(const Program& program) {
    return std::any_of(program.code.begin(), program.code.end(), [](Instruction ins) {
        return ins.opcode == static_cast<uint32_t>(Opcode::JUMP_IF_FALSE) ||
               ins.opcode == static_cast<uint32_t>(Opcode::JUMP);
    });
}

using detail::anyZero;
using detail::binaryLoop;
using detail::copyLoop;
using detail::fillLoop;
using detail::unaryLoop;

template <class Op>
void constantRightLoop(uint64_t count, double* dst, const double* a, double b) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(a[i], b);
}

template <class Op>
void constantLeftLoop(uint64_t count, double* dst, double a, const double* b) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(a, b[i]);
}

// Entry k of the stack points at an input or at slot k's buffer, and every
// result lands in the slot of the position it takes, so an operation reads
// and writes one buffer at most element for element. A constant stays a
// single value (a null entry) until something needs it as a block: most
// meet a block operand that reads the value directly, and never cost a fill.
class BlockMachine {
public:
    BlockMachine(const Program& program, uint64_t count, const double* const* inputs)
        : program_(program), count_(count), inputs_(inputs), slots_(scratchFor(count)) {}

    void run(double* out);

private:
    double* slot(uint32_t position) const { return slots_ + position * count_; }

    void pushConstant(uint32_t index) {
        constants_[depth_] = program_.constants[index];
        stack_[depth_++] = nullptr;
    }

    void pushInput(uint32_t index) { stack_[depth_++] = inputs_[index]; }

    bool isConstant(uint32_t position) const { return stack_[position] == nullptr; }

    const double* materialised(uint32_t position) {
        if (isConstant(position)) {
            fillLoop(count_, slot(position), constants_[position]);
            stack_[position] = slot(position);
        }
        return stack_[position];
    }

    bool divisorHasZero() const {
        uint32_t top = depth_ - 1;
        return isConstant(top) ? constants_[top] == 0.0 : anyZero(count_, stack_[top]);
    }

    template <class Op>
    void binary() {
        uint32_t b = --depth_;
        uint32_t a = depth_ - 1;
        double* dst = slot(a);
        if (isConstant(a) && isConstant(b)) {
            constants_[a] = Op::apply(constants_[a], constants_[b]);
            return;
        }
        if (isConstant(b)) {
            constantRightLoop<Op>(count_, dst, stack_[a], constants_[b]);
        } else if (isConstant(a)) {
            constantLeftLoop<Op>(count_, dst, constants_[a], stack_[b]);
        } else {
            binaryLoop<Op>(count_, dst, stack_[a], stack_[b]);
        }
        stack_[a] = dst;
    }

    template <class Op>
    void unary() {
        uint32_t position = depth_ - 1;
        if (isConstant(position)) {
            constants_[position] = Op::apply(constants_[position]);
            return;
        }
        unaryLoop<Op>(count_, slot(position), stack_[position]);
        stack_[position] = slot(position);
    }

    void callBuiltin(uint32_t operand);
    template <class Step>
    void runningExtreme(uint32_t position, uint32_t argc);
    void finish(double* out) const;
    void execute(Instruction ins);

    const Program& program_;
    uint64_t count_;
    const double* const* inputs_;
    double* slots_;
    const double* stack_[STACK_CAPACITY];
    double constants_[STACK_CAPACITY];  // the value of each null (constant) entry
    uint32_t depth_ = 0;
};

// The arguments stay where they are on the stack: argument k sits at
// position + k, and the result takes argument 0's position.
void BlockMachine::callBuiltin(uint32_t operand) {
    auto id = static_cast<BuiltinFunc>(operand >> 16);
    uint32_t argc = operand & 0xffffu;
    depth_ -= argc;
    uint32_t position = depth_++;
    for (uint32_t k = 0; k < argc; ++k) materialised(position + k);
    if (id == BuiltinFunc::MIN) return runningExtreme<op::MinStep>(position, argc);
    if (id == BuiltinFunc::MAX) return runningExtreme<op::MaxStep>(position, argc);
    double* dst = slot(position);
    if (id == BuiltinFunc::POW) {
        binaryLoop<op::Pow>(count_, dst, stack_[position], stack_[position + 1]);
    } else {
        visitUnaryBuiltin(id, [&](auto fn) { unaryLoop<decltype(fn)>(count_, dst, stack_[position]); });
    }
    stack_[position] = dst;
}

// With one argument the result is that argument, input or slot alike.
template <class Step>
void BlockMachine::runningExtreme(uint32_t position, uint32_t argc) {
    for (uint32_t k = 1; k < argc; ++k) {
        binaryLoop<Step>(count_, slot(position), stack_[position], stack_[position + k]);
        stack_[position] = slot(position);
    }
}

void BlockMachine::finish(double* out) const {
    if (depth_ == 0) {
        fillLoop(count_, out, 0.0);
    } else if (isConstant(depth_ - 1)) {
        fillLoop(count_, out, constants_[depth_ - 1]);
    } else {
        copyLoop(count_, out, stack_[depth_ - 1]);
    }
}

void BlockMachine::execute(Instruction ins) {
    auto opcode = static_cast<Opcode>(ins.opcode);
    switch (opcode) {
        case Opcode::PUSH_CONST: return pushConstant(ins.operand);
        case Opcode::LOAD_VAR: return pushInput(ins.operand);
        case Opcode::CALL_BUILTIN: return callBuiltin(ins.operand);
        default: break;  // jumps never run here; RETURN ends run()
    }
    const char* zero_error = detail::zeroDivisorError(opcode);
    if (zero_error != nullptr && divisorHasZero()) throw std::runtime_error(zero_error);
    if (!detail::visitBinaryOperation(opcode, [&](auto fn) { binary<decltype(fn)>(); }))
        detail::visitUnaryOperation(opcode, [&](auto fn) { unary<decltype(fn)>(); });
}

void BlockMachine::run(double* out) {
    for (Instruction ins : program_.code) {
        if (ins.opcode == static_cast<uint32_t>(Opcode::RETURN)) break;
        execute(ins);
    }
    finish(out);
}

}  // namespace

void evaluateBlock(const Program& program, uint64_t count, double* out, const double* const* inputs) {
    if (count == 0) return;
    if (hasJumps(program)) {
        if (!detail::evaluateMasked(program, count, out, inputs)) detail::evaluateElements(program, count, out, inputs);
        return;
    }
    BlockMachine(program, count, inputs).run(out);
}

}  // namespace tarnex
