// The block route's steps: the stack simulated with operands instead of
// values, one kernel call per operation, and pairs of arithmetic steps fused
// into one pass.
#include <algorithm>
#include <optional>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/walker.h"

#include "kernels.h"
#include "plan.h"

namespace tarnex {
namespace {

using detail::Form;

static_assert(detail::KERNEL_COUNT <= 0x10000, "a step keeps its kernel in 16 bits");

Step makeStep(uint32_t kernel, Operand dst, Operand a, Operand b = {}, Operand c = {}) {
    return Step{static_cast<uint16_t>(kernel), ZeroCheck::NONE, dst, a, b, c};
}

// ---- Fusing steps

// The position in FUSABLE of an arithmetic step that checks nothing, or
// FUSABLE_COUNT.
uint32_t fusableStep(const Step& step) {
    if (step.kernel >= detail::FIRST_BUILTIN_KERNEL || step.check != ZeroCheck::NONE) return detail::FUSABLE_COUNT;
    return detail::fusableIndex(detail::opcodeOfKernel(step.kernel));
}

// A step whose result only the next step reads (every value on the stack is
// read once) and the next step itself become one pass, when both are
// arithmetic that checks nothing. Pairs are taken from the first step on.
std::optional<Step> fused(const Step& first, const Step& second) {
    const uint32_t op1 = fusableStep(first), op2 = fusableStep(second);
    if (op1 == detail::FUSABLE_COUNT || op2 == detail::FUSABLE_COUNT || first.dst.kind != Operand::SLOT)
        return std::nullopt;
    const bool left = second.a == first.dst;
    if (!left && !(second.b == first.dst)) return std::nullopt;
    const Operand other = left ? second.b : second.a;
    const bool value = other.kind == Operand::VALUE;
    const detail::SecondForm form = left ? (value ? detail::T_C : detail::T_V) : (value ? detail::C_T : detail::V_T);
    const uint32_t kernel = detail::fusedKernel(op1, detail::formOfKernel(first.kernel), op2, form);
    return makeStep(kernel, second.dst, first.a, first.b, other);
}

// Simulates the stack with operands instead of values: each entry is an
// input, a constant or the slot of its position, and every operation
// becomes one step writing the slot of the position its result takes.
class StepBuilder {
public:
    StepBuilder(const Program& program, Plan& plan, Semantics semantics)
        : program_(program), plan_(plan), semantics_(semantics) {}

    // A machine for walkCode; the walk returns for code the block route can
    // run (compiled code without jumps always can).
    bool visit(const WalkStep& step);
    void skip(size_t) {}

private:
    Operand slot(uint32_t position) const { return {Operand::SLOT, position}; }
    Operand value(double v) {
        plan_.values.push_back(v);
        return {Operand::VALUE, static_cast<uint32_t>(plan_.values.size() - 1)};
    }
    bool isValue(uint32_t position) const { return stack_[position].kind == Operand::VALUE; }

    void add(uint32_t kernel, uint32_t position, Operand a, Operand b = {}, Operand c = {}) {
        hold(makeStep(kernel, slot(position), a, b, c));
        stack_[position] = slot(position);
    }
    // The latest step is held back while operation() and finish() may still
    // amend it, then fused into the list as it joins, so that no second list
    // of all steps is ever made.
    void hold(const Step& step) {
        commitHeld();
        held_ = step;
    }
    void commitHeld();
    // A constant that must be a whole block (a kernel has no form for it).
    void materialise(uint32_t position) {
        if (isValue(position)) add(detail::FILL_KERNEL, position, stack_[position]);
    }
    Form formOf(uint32_t a, uint32_t b) {
        if (isValue(a) && isValue(b)) materialise(a);
        return isValue(b) ? detail::VC : isValue(a) ? detail::CV : detail::VV;
    }
    void binary(uint32_t kernel_vv, uint32_t a, uint32_t b);

    void operation(Opcode opcode);
    void call(uint32_t operand);
    struct CallSteps;
    void finish();

    const Program& program_;
    Plan& plan_;
    Semantics semantics_;
    std::vector<Operand> stack_;
    std::optional<Step> held_;
    bool last_unpaired_ = false;  // whether the list's last step may still be fused
};

void StepBuilder::commitHeld() {
    if (!held_) return;
    const std::optional<Step> pair = last_unpaired_ ? fused(plan_.steps.back(), *held_) : std::nullopt;
    if (pair) {
        plan_.steps.back() = *pair;
    } else {
        plan_.steps.push_back(*held_);
    }
    last_unpaired_ = !pair;
    held_.reset();
}

void StepBuilder::binary(uint32_t kernel_vv, uint32_t a, uint32_t b) {
    Form form = formOf(a, b);
    add(kernel_vv + form, a, stack_[a], stack_[b]);
}

void StepBuilder::operation(Opcode opcode) {
    const uint32_t kernel = detail::operationKernel(opcode, semantics_, detail::VV);
    const uint32_t depth = static_cast<uint32_t>(stack_.size());
    if (opcodeInfo(opcode).kind == OpcodeKind::UNARY) {
        materialise(depth - 1);
        add(kernel, depth - 1, stack_[depth - 1]);
        return;
    }
    if (opcodeInfo(opcode).kind == OpcodeKind::TERNARY) {
        for (uint32_t k = 1; k <= 3; ++k) materialise(depth - k);
        add(kernel, depth - 3, stack_[depth - 3], stack_[depth - 2], stack_[depth - 1]);
        stack_.resize(depth - 2);
        return;
    }
    const Operand divisor = stack_[depth - 1];  // BINARY: execute() sends nothing else here
    binary(kernel, depth - 2, depth - 1);
    if (opcodeInfo(opcode).can_fail) {
        Step& step = *held_;
        if (divisor.kind != Operand::VALUE) {
            step.check = ZeroCheck::SCAN;
        } else if (plan_.values[divisor.index] == 0.0) {
            step.check = ZeroCheck::ALWAYS_FAILS;
        }
        plan_.can_fail = true;
    }
    stack_.resize(depth - 1);
}

// A call's steps on its argument positions (see applyBuiltin).
struct StepBuilder::CallSteps {
    StepBuilder& builder;
    uint32_t kernel, position;
    template <class Op>
    void unary(uint32_t k) {
        builder.materialise(position + k);
        builder.add(kernel, position + k, builder.stack_[position + k]);
    }
    template <class Op>
    void binary(uint32_t k, uint32_t j) {
        builder.binary(kernel, position + k, position + j);
    }
};

// The arguments stay in place: argument k at position + k, the result at
// argument 0's position. min or max of one argument is that argument.
void StepBuilder::call(uint32_t operand) {
    const auto [number, argc] = decodeCall(operand);
    const auto id = static_cast<BuiltinFunc>(number);
    const uint32_t position = static_cast<uint32_t>(stack_.size()) - argc;
    const uint32_t kernel = detail::builtinKernel(id, detail::VV);
    applyBuiltin(id, argc, CallSteps{*this, kernel, position});
    stack_.resize(position + 1);
}

// The walker has checked the instruction; code that jumps is declined.
bool StepBuilder::visit(const WalkStep& step) {
    switch (step.info.kind) {
        case OpcodeKind::PUSH: stack_.push_back(value(program_.constants[step.ins.operand])); break;
        case OpcodeKind::LOAD: stack_.push_back(Operand{Operand::INPUT, step.ins.operand}); break;
        case OpcodeKind::CALL: call(step.ins.operand); break;
        case OpcodeKind::UNARY:
        case OpcodeKind::BINARY:
        case OpcodeKind::TERNARY: operation(step.opcode); break;
        case OpcodeKind::JUMP_IF_FALSE:
        case OpcodeKind::JUMP: return false;
        case OpcodeKind::RETURN:
            finish();
            commitHeld();
            return true;
    }
    plan_.slots = std::max(plan_.slots, static_cast<uint32_t>(stack_.size()));
    return true;
}

// The result goes to `out`: the last step writes it there itself when it
// computed it, which saves a pass; otherwise it is copied or filled in.
void StepBuilder::finish() {
    const Operand out{Operand::OUT, 0};
    if (stack_.empty()) {
        hold(makeStep(detail::FILL_KERNEL, out, value(EMPTY_STACK_RESULT)));
        return;
    }
    const Operand top = stack_.back();
    if (held_ && held_->dst == top && top.kind == Operand::SLOT) {
        held_->dst = out;
        return;
    }
    uint32_t kernel = top.kind == Operand::VALUE ? detail::FILL_KERNEL : detail::COPY_KERNEL;
    hold(makeStep(kernel, out, top));
}

}  // namespace

namespace detail {

const char* zeroDivisorError(const Step& step) {
    return opcodeInfo(opcodeOfKernel(step.kernel)).zero_divisor_error;
}

bool buildSteps(const Program& program, const std::vector<Instruction>& code, Semantics semantics, Plan& plan) {
    StepBuilder builder(program, plan, semantics);
    return walkCode(code, CodeBounds{program.constants.size(), program.var_names.size(), true}, builder) ==
           WalkOutcome::RETURNED;
}

}  // namespace detail
}  // namespace tarnex
