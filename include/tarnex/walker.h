// One walk over stack code, with machines plugged into it.
//
// The walker decodes each instruction in code order and checks it: the
// opcode is in the table, its operand in range, the stack neither
// underflows nor outgrows STACK_CAPACITY, a jump goes forward within the
// code and not past the first RETURN, and paths meet at a target with equal
// depths. Jumps only go forward, so when an instruction is reached every
// path into it has been seen, and one pass follows all paths at once. The
// walk ends at the first reachable RETURN, at the first fault, or where the
// machine declines.
//
// A machine answers one question. It has
//   bool visit(const WalkStep&)   // a reachable, checked instruction;
//                                 // false declines and ends the walk
//   void skip(size_t index)       // an instruction no path reaches
// and sees each instruction once, in code order. A machine that follows
// paths keeps what each brings to a jump target in a JoinsAhead, as the
// walker keeps their depths. Compiled code never faults.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/opcodes.h"

namespace tarnex {

enum class WalkOutcome : uint8_t {
    RETURNED,         // reached the first RETURN
    DECLINED,         // the machine declined
    UNKNOWN_OPCODE,   // an opcode outside the table, or plan-only where it may not be
    BAD_OPERAND,      // a constant, variable or call operand out of range
    UNDERFLOW,        // an instruction reads more entries than the stack holds
    TOO_DEEP,         // the stack would outgrow STACK_CAPACITY
    BAD_JUMP,         // not forward, past the code's end, or past the first RETURN
    PATHS_DISAGREE,   // paths meet with different depths
    NO_RETURN,        // the code ends without a reachable RETURN
};

// One reachable instruction as the walker hands it to a machine.
struct WalkStep {
    size_t index;
    Instruction ins;
    Opcode opcode;
    const OpcodeInfo& info;
    uint32_t depth;    // stack entries before it
    uint32_t after;    // stack entries after it (on both ways out of a jump)
    uint32_t waiting;  // jump targets still ahead, its own included
};

// The sizes an instruction's operand is checked against.
struct CodeBounds {
    size_t constants;
    size_t variables;
    bool plan_only;  // whether the whole-block opcodes may appear
};

namespace detail {

inline bool validOperand(const CodeBounds& bounds, Instruction ins, OpcodeKind kind) {
    switch (kind) {
        case OpcodeKind::PUSH: return ins.operand < bounds.constants;
        case OpcodeKind::LOAD: return ins.operand < bounds.variables;
        case OpcodeKind::CALL: return validCall(ins.operand) != nullptr;
        case OpcodeKind::JUMP_IF_FALSE:
        case OpcodeKind::JUMP: return ins.operand > 0;
        case OpcodeKind::BINARY:
        case OpcodeKind::UNARY:
        case OpcodeKind::TERNARY:
        case OpcodeKind::RETURN: return true;
    }
    throw std::logic_error("unknown opcode kind");
}

}  // namespace detail

// The jump targets ahead with what the paths so far bring to each, the
// nearest last; the work space follows the nesting of the code, not its
// length. The walker keeps the depth there; a machine that follows paths
// keeps its own state the same way.
template <class State>
class JoinsAhead {
public:
    bool arrivedAt(size_t index) const { return !ahead_.empty() && ahead_.back().index == index; }
    State take() {
        const State state = ahead_.back().state;
        ahead_.pop_back();
        return state;
    }
    // Adds a path's `state` at `target`; where paths meet, `join(existing,
    // state)` combines them and returns false when they disagree.
    template <class Join>
    bool add(size_t target, const State& state, Join&& join) {
        auto place = std::find_if(ahead_.begin(), ahead_.end(), [&](const Pending& t) { return t.index <= target; });
        if (place != ahead_.end() && place->index == target) return join(place->state, state);
        ahead_.insert(place, Pending{target, state});
        return true;
    }
    size_t size() const { return ahead_.size(); }

private:
    struct Pending {
        size_t index;
        State state;
    };
    std::vector<Pending> ahead_;
};

template <class Machine>
WalkOutcome walkCode(const std::vector<Instruction>& code, const CodeBounds& bounds, Machine& machine) {
    JoinsAhead<uint32_t> targets;
    const auto same = [](uint32_t& there, uint32_t depth) { return there == depth; };
    uint32_t depth = 0;
    bool reachable = true;
    const uint32_t opcode_limit = bounds.plan_only ? ALL_OPCODE_COUNT : OPCODE_COUNT;
    for (size_t index = 0; index < code.size(); ++index) {
        if (targets.arrivedAt(index)) {
            const uint32_t joined = targets.take();
            if (reachable && joined != depth) return WalkOutcome::PATHS_DISAGREE;
            depth = joined;
            reachable = true;
        }
        if (!reachable) {
            machine.skip(index);
            continue;
        }
        const Instruction ins = code[index];
        if (ins.opcode >= opcode_limit) return WalkOutcome::UNKNOWN_OPCODE;
        const auto opcode = static_cast<Opcode>(ins.opcode);
        const OpcodeInfo& info = opcodeInfo(opcode);
        if (!detail::validOperand(bounds, ins, info.kind)) return WalkOutcome::BAD_OPERAND;
        const uint32_t reads = stackReads(ins);
        if (depth < reads) return WalkOutcome::UNDERFLOW;
        const uint64_t after = uint64_t{depth} - reads + info.pushes;
        if (after > STACK_CAPACITY) return WalkOutcome::TOO_DEEP;
        const bool jumps = info.kind == OpcodeKind::JUMP || info.kind == OpcodeKind::JUMP_IF_FALSE;
        if (jumps && (ins.operand >= code.size() - index || !targets.add(index + ins.operand, static_cast<uint32_t>(after), same)))
            return ins.operand >= code.size() - index ? WalkOutcome::BAD_JUMP : WalkOutcome::PATHS_DISAGREE;
        const WalkStep step{index, ins, opcode, info, depth, static_cast<uint32_t>(after),
                            static_cast<uint32_t>(targets.size())};
        if (!machine.visit(step)) return WalkOutcome::DECLINED;
        if (info.kind == OpcodeKind::RETURN) return targets.size() == 0 ? WalkOutcome::RETURNED : WalkOutcome::BAD_JUMP;
        depth = static_cast<uint32_t>(after);
        reachable = info.kind != OpcodeKind::JUMP;
    }
    return WalkOutcome::NO_RETURN;
}

// What a check of compiled code finds: how the walk ended, the deepest
// stack, and where the RETURN is and how deep the stack is there.
struct CodeCheck {
    WalkOutcome outcome = WalkOutcome::NO_RETURN;
    uint32_t max_depth = 0;
    size_t return_index = 0;
    uint32_t return_depth = 0;
    size_t unreachable = 0;  // instructions no path reaches
};

// The depth check: walks `code` of a program with `bounds`, taking every
// instruction.
CodeCheck checkCode(const std::vector<Instruction>& code, const CodeBounds& bounds);

}  // namespace tarnex
