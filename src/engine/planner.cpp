// Planning: everything about a program that holds for all of its elements,
// found once. Programs without jumps, and programs whose every jump the
// block code pass could turn into whole-block operations, become a list of block
// steps; others go to the masked route when its shape and cost suit them,
// and element by element otherwise.
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "tarnex/walker.h"

#include "plan.h"
#include "vector_libm.h"

namespace tarnex {
namespace {

// What the planner needs to know of one code, gathered in one walk. Code
// the walker faults on counts as failing, as the malformed route does fail
// it.
struct CodeFacts {
    bool jumps = false;  // of the whole list, reachable or not: it decides which routes may run it
    bool walked = false;  // the walker found no fault
    bool can_fail = false;  // only a zero divisor makes an element fail
    size_t instructions = 0;
    double extra_ns = 0.0;        // what the operators add beyond their route's cost each
    std::array<uint32_t, BUILTIN_COUNT> calls{};  // per built-in, how often the code calls it
    std::vector<uint8_t> reads;   // per variable, whether some instruction loads it
};

class FactsMachine {
public:
    FactsMachine(CodeFacts& facts, const std::vector<Instruction>& code) : facts_(facts), code_(code) {}

    bool visit(const WalkStep& step) {
        const OpcodeInfo& info = step.info;
        facts_.jumps = facts_.jumps || isJump(step.ins);
        next_ = step.index + 1;
        const BuiltinEntry* call = info.kind == OpcodeKind::CALL ? validCall(step.ins.operand) : nullptr;
        facts_.can_fail = facts_.can_fail || info.can_fail;
        if (call != nullptr)
            ++facts_.calls[static_cast<size_t>(call->id)];
        else
            facts_.extra_ns += info.nanoseconds;
        ++facts_.instructions;
        if (info.kind == OpcodeKind::LOAD) facts_.reads[step.ins.operand] = 1;
        return true;
    }
    void skip(size_t index) {
        facts_.jumps = facts_.jumps || isJump(code_[index]);
        next_ = index + 1;
    }
    // Only hand-built code goes on past where the walk ends.
    bool jumpsPastTheWalk() const { return std::any_of(code_.begin() + next_, code_.end(), isJump); }

private:
    CodeFacts& facts_;
    const std::vector<Instruction>& code_;
    size_t next_ = 0;  // the first instruction the walk has not seen
};

CodeFacts factsOf(const Program& program, const std::vector<Instruction>& code) {
    CodeFacts facts;
    facts.reads.assign(program.var_names.size(), 0);
    FactsMachine machine(facts, code);
    const CodeBounds bounds{program.constants.size(), program.var_names.size(), true};
    facts.walked = walkCode(code, bounds, machine) == WalkOutcome::RETURNED;
    facts.can_fail = facts.can_fail || !facts.walked;
    facts.jumps = facts.jumps || machine.jumpsPastTheWalk();
    return facts;
}

std::vector<uint32_t> readVariables(const CodeFacts& facts) {
    std::vector<uint32_t> variables;
    for (uint32_t v = 0; v < facts.reads.size(); ++v)
        if (facts.reads[v]) variables.push_back(v);
    return variables;
}

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
// Every instruction counts, as if every element took every path: jump code
// may cost less than this, never more. The block route runs the vector
// kernels of exp, log and pow where the guard allows them; the masked route
// does so only on paths no element leaves, so its bound keeps the libm's.
double codeNanoseconds(const CodeFacts& facts, double per_instruction, Route route) {
    double calls = 0.0;
    for (size_t id = 0; id < facts.calls.size(); ++id) {
        if (facts.calls[id] == 0) continue;
        const auto builtin = static_cast<BuiltinFunc>(id);
        const double each =
            route == Route::BLOCK ? detail::blockCallNanoseconds(builtin) : BUILTIN_TABLE[id].nanoseconds;
        calls += static_cast<double>(facts.calls[id]) * each;
    }
    return static_cast<double>(facts.instructions) * per_instruction + facts.extra_ns + calls;
}

ElementCost estimateCost(const Plan& plan, const CodeFacts& code, const CodeFacts& block_code) {
    switch (plan.route) {
        case Route::BLOCK: {
            const double steps = static_cast<double>(plan.steps.size()) * BLOCK_STEP_NS;
            const double extra = codeNanoseconds(code.jumps ? block_code : code, 0.0, Route::BLOCK);
            return {BLOCK_ELEMENT_NS + steps + extra, plan.can_fail && !plan.errors_per_element};
        }
        case Route::MASKED: {
            const CodeFacts& walked = plan.masked_block_code ? block_code : code;
            return {MASKED_ELEMENT_NS + codeNanoseconds(walked, MASKED_INSTRUCTION_NS, Route::MASKED), false};
        }
        case Route::ELEMENTS:
            return {ELEMENTS_ELEMENT_NS + codeNanoseconds(code, ELEMENTS_INSTRUCTION_NS, Route::ELEMENTS), false};
        case Route::MALFORMED:
            return {ELEMENTS_ELEMENT_NS + codeNanoseconds(code, ELEMENTS_INSTRUCTION_NS, Route::MALFORMED), true};
    }
    throw std::logic_error("unknown route");
}

// A program keeps its results whichever route runs it: one whose code jumps
// converts the right operand of &, | and ^ as the per-element evaluator
// does, even where its block code runs without jumps.
Route planRoute(const Program& program, const CodeFacts& code, const CodeFacts& block_code, Plan& plan) {
    const bool has_block_code = code.jumps && !plan.block_code.empty();
    if (!code.jumps || (has_block_code && !block_code.jumps)) {
        const Semantics semantics = code.jumps ? Semantics::ELEMENT : Semantics::BLOCK;
        if (detail::buildSteps(program, code.jumps ? plan.block_code : program.code, semantics, plan)) {
            plan.errors_per_element = code.jumps;
            return Route::BLOCK;
        }
        if (!code.jumps) return Route::MALFORMED;
        plan.steps.clear();
        plan.values.clear();
    }
    return detail::planMaskedRoute(program, plan) ? Route::MASKED : Route::ELEMENTS;
}

}  // namespace

std::shared_ptr<const PreparedProgram> prepare(Program program) {
    auto plan = std::make_shared<Plan>();
    const CodeFacts code = factsOf(program, program.code);
    if (code.jumps && code.walked) plan->block_code = detail::makeBlockCode(program);
    const CodeFacts block_code = plan->block_code.empty() ? CodeFacts{} : factsOf(program, plan->block_code);
    plan->block_code_jumps = block_code.jumps;
    plan->read_variables = readVariables(code);
    plan->any_layout = !code.can_fail;
    plan->route = planRoute(program, code, block_code, *plan);
    if (plan->route == Route::MALFORMED) plan->any_layout = false;
    plan->cost = estimateCost(*plan, code, block_code);
    // Each element's inputs are read once and its result written once.
    plan->cost.bytes = static_cast<double>(sizeof(double) * (plan->read_variables.size() + 1));
    return std::make_shared<const PreparedProgram>(std::move(program), std::move(plan));
}

const ElementCost& PreparedProgram::cost() const { return plan_->cost; }

std::span<const uint32_t> PreparedProgram::readVariables() const { return plan_->read_variables; }
const std::vector<Instruction>& PreparedProgram::blockCode() const { return plan_->block_code; }

size_t PreparedProgram::planBytes() const {
    const Plan& plan = *plan_;
    return sizeof(Plan) + plan.steps.capacity() * sizeof(Step) + plan.values.capacity() * sizeof(double) +
           plan.read_variables.capacity() * sizeof(uint32_t);
}

}  // namespace tarnex
