// Planning: everything about a program that holds for all of its elements,
// found once. Programs without jumps, and programs whose every jump the
// compiler could turn into whole-block operations, become a list of block
// steps; others go to the masked route when its shape and cost suit them,
// and element by element otherwise.
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"

#include "kernels.h"
#include "plan.h"

namespace tarnex {
namespace {

using detail::Form;

bool validOpcode(const Program& program, Instruction ins) {
    if (ins.opcode >= ALL_OPCODE_COUNT) return false;
    switch (opcodeInfo(static_cast<Opcode>(ins.opcode)).kind) {
        case OpcodeKind::PUSH: return ins.operand < program.constants.size();
        case OpcodeKind::LOAD: return ins.operand < program.var_names.size();
        case OpcodeKind::CALL: return validCall(ins.operand) != nullptr;
        case OpcodeKind::BINARY:
        case OpcodeKind::UNARY:
        case OpcodeKind::TERNARY:
        case OpcodeKind::JUMP_IF_FALSE:
        case OpcodeKind::JUMP:
        case OpcodeKind::RETURN: return true;
    }
    throw std::logic_error("unknown opcode kind");
}

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

// ---- Block steps

// Simulates the stack with operands instead of values: each entry is an
// input, a constant or the slot of its position, and every operation
// becomes one step writing the slot of the position its result takes.
class StepBuilder {
public:
    StepBuilder(const Program& program, Plan& plan, Semantics semantics)
        : program_(program), plan_(plan), semantics_(semantics) {}

    // False for code the block route cannot run (compiled code always can).
    bool build(const std::vector<Instruction>& code);

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

    bool execute(Instruction ins);
    void operation(Opcode opcode);
    void call(uint32_t operand);
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

// The arguments stay in place: argument k at position + k, the result at
// argument 0's position. min or max of one argument is that argument.
void StepBuilder::call(uint32_t operand) {
    const BuiltinEntry& entry = *validCall(operand);
    const uint32_t argc = decodeCall(operand).argc;
    const uint32_t position = static_cast<uint32_t>(stack_.size()) - argc;
    const uint32_t kernel = detail::builtinKernel(entry.id, detail::VV);
    switch (entry.kind) {
        case BuiltinKind::UNARY:
            materialise(position);
            add(kernel, position, stack_[position]);
            break;
        case BuiltinKind::BINARY: binary(kernel, position, position + 1); break;
        case BuiltinKind::RUNNING:
            for (uint32_t k = 1; k < argc; ++k) binary(kernel, position, position + k);
            break;
    }
    stack_.resize(position + 1);
}

bool StepBuilder::execute(Instruction ins) {
    if (!validOpcode(program_, ins) || stack_.size() < stackReads(ins)) return false;
    auto opcode = static_cast<Opcode>(ins.opcode);
    switch (opcodeInfo(opcode).kind) {
        case OpcodeKind::PUSH: stack_.push_back(value(program_.constants[ins.operand])); break;
        case OpcodeKind::LOAD: stack_.push_back(Operand{Operand::INPUT, ins.operand}); break;
        case OpcodeKind::CALL: call(ins.operand); break;
        case OpcodeKind::UNARY:
        case OpcodeKind::BINARY:
        case OpcodeKind::TERNARY: operation(opcode); break;
        case OpcodeKind::JUMP_IF_FALSE:
        case OpcodeKind::JUMP:
        case OpcodeKind::RETURN: return false;
    }
    plan_.slots = std::max(plan_.slots, static_cast<uint32_t>(stack_.size()));
    return stack_.size() <= STACK_CAPACITY;
}

// The result goes to `out`: the last step writes it there itself when it
// computed it, which saves a pass; otherwise it is copied or filled in.
void StepBuilder::finish() {
    const Operand out{Operand::OUT, 0};
    if (stack_.empty()) {
        hold(makeStep(detail::FILL_KERNEL, out, value(0.0)));
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

bool StepBuilder::build(const std::vector<Instruction>& code) {
    for (Instruction ins : code) {
        if (ins.opcode == static_cast<uint32_t>(Opcode::RETURN)) {
            finish();
            commitHeld();
            return true;
        }
        if (!execute(ins)) return false;
    }
    return false;
}

// ---- The masked route's shape and cost

struct Target {
    size_t index;
    uint32_t depth;
};

// Every path waiting at a jump target keeps a mask of the block (32 KiB at
// 4096 elements). Compiled code has one waiting path per open level of &&,
// || and ?: nesting; a program with more at once goes element by element.
constexpr uint32_t MAX_WAITING_PATHS = 64;

// Walks the code as the masked machine does, with depths only. Declines what
// compiled code never has: an unknown opcode or call, an operand out of
// range, a stack that would underflow or outgrow STACK_CAPACITY, paths that
// meet with different depths, a jump that is not forward within the code or
// lands past the first RETURN, and an empty stack at RETURN.
class ShapeCheck {
public:
    ShapeCheck(const Program& program, const std::vector<Instruction>& code) : program_(program), code_(code) {}

    std::optional<MaskedShape> run();
    size_t reachable() const { return reachable_; }

private:
    bool step(Instruction ins, size_t index);
    bool wait(size_t index, uint32_t distance);

    const Program& program_;
    const std::vector<Instruction>& code_;
    std::vector<Target> targets_;  // the nearest last
    uint32_t depth_ = 0;
    size_t reachable_ = 0;  // instructions some path reaches
    MaskedShape shape_;
};

std::optional<MaskedShape> ShapeCheck::run() {
    bool reachable = true;
    for (size_t index = 0; index < code_.size(); ++index) {
        if (!targets_.empty() && targets_.back().index == index) {
            if (reachable && depth_ != targets_.back().depth) return std::nullopt;
            depth_ = targets_.back().depth;
            targets_.pop_back();
            reachable = true;
        }
        if (!reachable) continue;
        Instruction ins = code_[index];
        ++reachable_;
        if (ins.opcode == static_cast<uint32_t>(Opcode::RETURN)) {
            if (depth_ == 0 || !targets_.empty()) return std::nullopt;
            shape_.end = index;
            return shape_;
        }
        if (!step(ins, index)) return std::nullopt;
        reachable = ins.opcode != static_cast<uint32_t>(Opcode::JUMP);
    }
    return std::nullopt;
}

bool ShapeCheck::step(Instruction ins, size_t index) {
    if (!validOpcode(program_, ins) || depth_ < stackReads(ins)) return false;
    int64_t depth = int64_t{depth_} + stackEffect(ins);
    if (depth > int64_t{STACK_CAPACITY}) return false;
    depth_ = static_cast<uint32_t>(depth);
    shape_.max_depth = std::max(shape_.max_depth, depth_);
    return !isJump(ins) || wait(index, ins.operand);
}

bool ShapeCheck::wait(size_t index, uint32_t distance) {
    size_t target = index + distance;
    if (distance == 0 || target >= code_.size()) return false;
    auto place = std::find_if(targets_.begin(), targets_.end(), [&](const Target& t) { return t.index <= target; });
    if (place != targets_.end() && place->index == target) return place->depth == depth_;
    targets_.insert(place, Target{target, depth_});
    shape_.max_waiting = std::max(shape_.max_waiting, static_cast<uint32_t>(targets_.size()));
    return targets_.size() <= MAX_WAITING_PATHS;
}

// The masked route runs every instruction that some element reaches; the
// per-element route runs only each element's own path, but about ten times
// slower per instruction. When the elements spread over all paths, the
// worst case for the masked route, each runs an average path; beyond this
// ratio of reachable code to average path the per-element route was faster
// (balanced trees of conditionals with 16 to 64 leaves).
constexpr double MAX_CODE_PER_PATH = 12.0;

struct PathsFrom {
    double mean_length;  // instructions up to and including the RETURN
    double log_count;    // paths grow exponentially with conditionals in sequence
};

// The mean length of the paths from the start to the RETURN, every path
// counted alike.
double meanPathLength(const std::vector<Instruction>& code, size_t end) {
    std::vector<PathsFrom> from(end + 1);
    from[end] = {1.0, 0.0};
    for (size_t index = end; index-- > 0;) {
        Instruction ins = code[index];
        size_t target = index + ins.operand;
        const PathsFrom& next = from[index + 1];
        if (!isJump(ins) || target > end) {  // past `end` only in code no path reaches
            from[index] = {1.0 + next.mean_length, next.log_count};
        } else if (ins.opcode == static_cast<uint32_t>(Opcode::JUMP)) {
            from[index] = {1.0 + from[target].mean_length, from[target].log_count};
        } else {
            const PathsFrom& taken = from[target];
            double gap = taken.log_count - next.log_count;
            double share = 1.0 / (1.0 + std::exp(gap));  // of the paths that fall through
            from[index] = {1.0 + share * next.mean_length + (1.0 - share) * taken.mean_length,
                           std::max(taken.log_count, next.log_count) + std::log1p(std::exp(-std::fabs(gap)))};
        }
    }
    return from[0].mean_length;
}

}  // namespace

namespace detail {

const char* zeroDivisorError(const Step& step) {
    return opcodeInfo(opcodeOfKernel(step.kernel)).zero_divisor_error;
}

bool planMaskedRoute(const Program& program, Plan& plan) {
    plan.masked_block_code = !program.block_code.empty() && hasJumps(program.block_code);
    const std::vector<Instruction>& code = plan.masked_block_code ? program.block_code : program.code;
    ShapeCheck check(program, code);
    std::optional<MaskedShape> shape = check.run();
    if (!shape) return false;
    if (static_cast<double>(check.reachable()) > MAX_CODE_PER_PATH * meanPathLength(code, shape->end)) return false;
    plan.shape = *shape;
    return true;
}

}  // namespace detail

namespace {

std::vector<uint32_t> readVariables(const Program& program) {
    std::vector<uint8_t> read(program.var_names.size(), 0);
    for (Instruction ins : program.code)
        if (ins.opcode == static_cast<uint32_t>(Opcode::LOAD_VAR) && ins.operand < read.size()) read[ins.operand] = 1;
    std::vector<uint32_t> variables;
    for (uint32_t v = 0; v < read.size(); ++v)
        if (read[v]) variables.push_back(v);
    return variables;
}

// Only a zero divisor makes an element fail; code outside the table is
// counted as failing, as the malformed route does fail it.
bool mayDivideByZero(const std::vector<Instruction>& code) {
    for (Instruction ins : code)
        if (ins.opcode >= ALL_OPCODE_COUNT || opcodeInfo(static_cast<Opcode>(ins.opcode)).can_fail)
            return true;
    return false;
}

// Whether some instruction calls the math library, which costs tens of
// arithmetic operations per element.
bool callsLibrary(const std::vector<Instruction>& code) {
    for (Instruction ins : code) {
        if (ins.opcode >= ALL_OPCODE_COUNT) continue;
        if (opcodeInfo(static_cast<Opcode>(ins.opcode)).library_call) return true;
        const BuiltinEntry* call = ins.opcode == static_cast<uint32_t>(Opcode::CALL_BUILTIN) ? validCall(ins.operand)
                                                                                            : nullptr;
        if (call != nullptr && call->library_call) return true;
    }
    return false;
}

// Where blocks may be cut evenly, a program that calls the library is worth
// a team from far fewer elements than plain arithmetic.
constexpr int64_t LIBRARY_TEAM_MIN_ELEMENTS = 1024;

int64_t teamMinElements(const Plan& plan, const Program& program) {
    return plan.any_layout && callsLibrary(program.code) ? LIBRARY_TEAM_MIN_ELEMENTS : PARALLEL_MIN_ELEMENTS;
}

// ---- The cost estimate

// What an element costs on one core, measured with one thread over 2*10^5
// elements (x86-64-v4 loops; baseline ones are up to twice as slow):
// a block step 0.10-0.15 ns in short programs and 0.30-0.35 ns in programs
// of tens of thousands of steps, a masked instruction 0.14 ns with every
// element on one path and 0.23-0.29 ns with half on each, a per-element
// instruction 1.8-3.7 ns, plus the route's own cost per element.
constexpr double BLOCK_ELEMENT_NS = 0.35;
constexpr double BLOCK_STEP_NS = 0.3;
constexpr double MASKED_ELEMENT_NS = 0.55;
constexpr double MASKED_INSTRUCTION_NS = 0.3;
constexpr double ELEMENTS_ELEMENT_NS = 2.0;
constexpr double ELEMENTS_INSTRUCTION_NS = 3.5;
// What an instruction adds beyond its route's cost per step or instruction:
// its row's figure, or a call's built-in's.
double extraNanoseconds(Instruction ins) {
    if (ins.opcode >= ALL_OPCODE_COUNT) return 0.0;
    if (ins.opcode == static_cast<uint32_t>(Opcode::CALL_BUILTIN)) {
        const BuiltinEntry* call = validCall(ins.operand);
        return call == nullptr ? 0.0 : call->nanoseconds;
    }
    return opcodeInfo(static_cast<Opcode>(ins.opcode)).nanoseconds;
}

// Every instruction counts, as if every element took every path: jump code
// may cost less than this, never more.
double codeNanoseconds(const std::vector<Instruction>& code, double per_instruction) {
    double total = 0.0;
    for (Instruction ins : code) total += per_instruction + extraNanoseconds(ins);
    return total;
}

ElementCost estimateCost(const Program& program, const Plan& plan) {
    const bool jumps = hasJumps(program.code);
    switch (plan.route) {
        case Route::BLOCK: {
            const double steps = static_cast<double>(plan.steps.size()) * BLOCK_STEP_NS;
            const double extra = codeNanoseconds(jumps ? program.block_code : program.code, 0.0);
            return {BLOCK_ELEMENT_NS + steps + extra, plan.can_fail && !plan.errors_per_element};
        }
        case Route::MASKED: {
            const auto& code = plan.masked_block_code ? program.block_code : program.code;
            return {MASKED_ELEMENT_NS + codeNanoseconds(code, MASKED_INSTRUCTION_NS), false};
        }
        case Route::ELEMENTS:
            return {ELEMENTS_ELEMENT_NS + codeNanoseconds(program.code, ELEMENTS_INSTRUCTION_NS), false};
        case Route::MALFORMED: break;
    }
    return {ELEMENTS_ELEMENT_NS + codeNanoseconds(program.code, ELEMENTS_INSTRUCTION_NS), true};
}

// A team pays for itself long before a call is this much work, however few
// elements that is. Where slices and blocks may be cut anywhere, a costly
// program's short slices still run on every core.
constexpr double TEAM_MIN_WORK_NS = 1e6;

int64_t costlyTeamMinElements(const ElementCost& cost) {
    if (cost.whole_blocks) return PARALLEL_MIN_ELEMENTS;
    return std::max<int64_t>(1, static_cast<int64_t>(std::ceil(TEAM_MIN_WORK_NS / cost.nanoseconds)));
}
// A program keeps its results whichever route runs it: one whose code jumps
// converts the right operand of &, | and ^ as the per-element evaluator
// does, even where its block code runs without jumps.
void planRoute(const Program& program, const std::shared_ptr<Plan>& plan) {
    plan->read_variables = readVariables(program);
    plan->any_layout = !mayDivideByZero(program.code);
    plan->team_min_elements = teamMinElements(*plan, program);
    const bool code_jumps = hasJumps(program.code);
    const bool has_block_code = code_jumps && !program.block_code.empty();
    if (!code_jumps || (has_block_code && !hasJumps(program.block_code))) {
        const Semantics semantics = code_jumps ? Semantics::ELEMENT : Semantics::BLOCK;
        if (StepBuilder(program, *plan, semantics).build(code_jumps ? program.block_code : program.code)) {
            plan->route = Route::BLOCK;
            plan->errors_per_element = code_jumps;
            return;
        }
        if (!code_jumps) {
            plan->any_layout = false;
            plan->team_min_elements = PARALLEL_MIN_ELEMENTS;
            plan->route = Route::MALFORMED;
            return;
        }
        plan->steps.clear();
        plan->values.clear();
    }
    plan->route = detail::planMaskedRoute(program, *plan) ? Route::MASKED : Route::ELEMENTS;
}

}  // namespace

std::shared_ptr<const Plan> planProgram(const Program& program) {
    auto plan = std::make_shared<Plan>();
    planRoute(program, plan);
    plan->cost = estimateCost(program, *plan);
    plan->team_min_elements = std::min(plan->team_min_elements, costlyTeamMinElements(plan->cost));
    return plan;
}

const ElementCost& elementCost(const Program& program) {
    if (!program.plan) throw std::logic_error("the program has no plan");
    return program.plan->cost;
}

size_t planBytes(const Plan& plan) {
    return sizeof(Plan) + plan.steps.capacity() * sizeof(Step) + plan.values.capacity() * sizeof(double) +
           plan.read_variables.capacity() * sizeof(uint32_t);
}

}  // namespace tarnex
