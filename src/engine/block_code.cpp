// Block code: the planner pass that turns the cheap, safe &&, || and ?: of
// jump code into whole-block operations (LOGICAL_AND, LOGICAL_OR, SELECT).
// Such an operator may compute its skipped parts for every element when
// nothing there can fail or costs a library call, which the masked route
// would spare the elements off the path.
//
// The pass reads the shapes code generation gives each operator:
//   a && b:  a; JUMP_IF_FALSE f; b; JUMP_IF_FALSE f; 1; JUMP e; f: 0; e:
//   a || b:  a; JUMP_IF_FALSE r; 1; JUMP e; r: b; JUMP_IF_FALSE f; 1; JUMP e; f: 0; e:
//   c ? x : y:  c; JUMP_IF_FALSE t; x; JUMP e; t: y; e:
// and keeps the constant pool: the constants of the jumps it removes stay
// unused in it.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/program.h"
#include "tarnex/walker.h"

#include "plan.h"

namespace tarnex {
namespace {

// One &&, || or ?: found at its first JUMP_IF_FALSE: the parts it skips for
// some elements, and where it ends. Its own jumps and constants are the
// rest of [start, end).
struct Branch {
    Opcode whole_block;
    size_t start, end;
    size_t parts[2][2];  // [begin, end) of each skipped part
    size_t part_count;
};

class BranchReader {
public:
    BranchReader(const Program& program, const std::vector<Instruction>& code);

    // The operator whose first JUMP_IF_FALSE is at `index`; false when the
    // code there has none of the three shapes.
    bool read(size_t index, Branch& branch) const {
        return readAnd(index, branch) || readOr(index, branch) || readConditional(index, branch);
    }
    // Whether nothing in the skipped parts can fail or calls the math library.
    bool safe(const Branch& branch) const {
        for (size_t p = 0; p < branch.part_count; ++p)
            if (unsafe_before_[branch.parts[p][1]] != unsafe_before_[branch.parts[p][0]]) return false;
        return true;
    }

private:
    // Past the code for a jump no path takes, which is not checked.
    size_t target(size_t index) const { return std::min<size_t>(index + code_[index].operand, code_.size()); }
    bool is(size_t index, Opcode opcode) const { return code_[index].opcode == static_cast<uint32_t>(opcode); }
    bool jumpTo(size_t index, Opcode opcode, size_t to) const { return is(index, opcode) && target(index) == to; }
    // Bit for bit: c ? 1 : -0 is no truth value.
    bool constant(size_t index, double value) const {
        const uint32_t at = code_[index].operand;
        return is(index, Opcode::PUSH_CONST) && at < program_.constants.size() &&
               std::bit_cast<uint64_t>(program_.constants[at]) == std::bit_cast<uint64_t>(value);
    }
    // JUMP_IF_FALSE f; 1; JUMP e; f: 0; e: ending at `end`, reached only by
    // its own jumps and `zero_jumps` jumps to the 0.
    bool truthTail(size_t end, uint32_t zero_jumps) const {
        return jumpTo(end - 4, Opcode::JUMP_IF_FALSE, end - 1) && constant(end - 3, 1.0) &&
               jumpTo(end - 2, Opcode::JUMP, end) && constant(end - 1, 0.0) && jumps_into_[end - 3] == 0 &&
               jumps_into_[end - 2] == 0 && jumps_into_[end - 1] == zero_jumps;
    }
    bool readAnd(size_t index, Branch& branch) const;
    bool readOr(size_t index, Branch& branch) const;
    bool readConditional(size_t index, Branch& branch) const;

    const Program& program_;
    const std::vector<Instruction>& code_;
    std::vector<uint32_t> unsafe_before_;   // unsafe instructions before each index
    std::vector<uint32_t> jumps_into_;      // jumps that target each index
    std::vector<size_t> second_last_from_;  // the second-last jump to each index, or the code's size
};

// Instructions no path reaches are not checked: any of them counts as unsafe.
bool unsafe(Instruction ins) {
    if (ins.opcode >= ALL_OPCODE_COUNT) return true;
    const OpcodeInfo& info = opcodeInfo(static_cast<Opcode>(ins.opcode));
    const BuiltinEntry* call = info.kind == OpcodeKind::CALL ? validCall(ins.operand) : nullptr;
    if (info.kind == OpcodeKind::CALL) return call == nullptr || call->library_call;
    return info.can_fail || info.library_call;
}

BranchReader::BranchReader(const Program& program, const std::vector<Instruction>& code)
    : program_(program), code_(code), unsafe_before_(code.size() + 1, 0), jumps_into_(code.size() + 1, 0),
      second_last_from_(code.size() + 1, code.size()) {
    std::vector<size_t> last_from(code.size() + 1, code.size());
    for (size_t index = 0; index < code.size(); ++index) {
        unsafe_before_[index + 1] = unsafe_before_[index] + unsafe(code[index]);
        if (!isJump(code[index])) continue;
        const size_t to = target(index);
        ++jumps_into_[to];
        second_last_from_[to] = last_from[to];
        last_from[to] = index;
    }
}

// Two JUMP_IF_FALSE reach the 0: only && has that.
bool BranchReader::readAnd(size_t index, Branch& branch) const {
    const size_t end = target(index) + 1;
    if (end < index + 6 || end > code_.size() || !truthTail(end, 2)) return false;
    branch = Branch{Opcode::LOGICAL_AND, index, end, {{index + 1, end - 4}}, 1};
    return true;
}

// c ? 1 : y opens the same way, and ends with the same tail when y does;
// such a y is an && (a second jump reaches its 0) or an || or ?: (a jump
// from inside it reaches the end), unless it is d ? 1 : 0, where c || d
// means the same.
bool BranchReader::readOr(size_t index, Branch& branch) const {
    if (target(index) != index + 3 || !constant(index + 1, 1.0) || !is(index + 2, Opcode::JUMP)) return false;
    const size_t end = target(index + 2);
    if (end < index + 8 || end >= code_.size() || !truthTail(end, 1) || second_last_from_[end] != index + 2) return false;
    if (jumps_into_[index + 1] != 0 || jumps_into_[index + 2] != 0 || jumps_into_[index + 3] != 1) return false;
    branch = Branch{Opcode::LOGICAL_OR, index, end, {{index + 3, end - 4}}, 1};
    return true;
}

bool BranchReader::readConditional(size_t index, Branch& branch) const {
    const size_t otherwise = target(index);
    if (otherwise < index + 3 || otherwise >= code_.size() || !is(otherwise - 1, Opcode::JUMP) || jumps_into_[otherwise] != 1) return false;
    const size_t end = target(otherwise - 1);
    if (end <= otherwise || end >= code_.size()) return false;
    branch = Branch{Opcode::SELECT, index, end, {{index + 1, otherwise - 1}, {otherwise, end}}, 2};
    return true;
}

// Copies code, leaving out what whole-block operators replace and moving
// the jumps it keeps to their targets' new places.
class BlockCodeWriter {
public:
    BlockCodeWriter(const Program& program, const std::vector<Instruction>& code)
        : code_(code), reader_(program, code), role_(code.size(), KEEP) {
        out_.reserve(code.size());
    }

    std::vector<Instruction> write();

private:
    enum Role : uint8_t { KEEP, OWN, DROP };
    struct Closing {
        size_t end;
        Opcode opcode;
    };
    struct Pending {
        size_t out_index, target;
    };

    void arriveAt(size_t index);
    void open(size_t index);
    void mark(const Branch& branch, Role role);
    void copy(size_t index);

    const std::vector<Instruction>& code_;
    BranchReader reader_;
    std::vector<Role> role_;
    std::vector<Closing> closing_;  // the innermost last
    std::vector<Pending> pending_;  // the nearest target last
    std::vector<Instruction> out_;
    bool any_ = false;
};

std::vector<Instruction> BlockCodeWriter::write() {
    for (size_t index = 0; index < code_.size(); ++index) {
        arriveAt(index);
        if (role_[index] == KEEP && code_[index].opcode == static_cast<uint32_t>(Opcode::JUMP_IF_FALSE)) open(index);
        if (role_[index] != DROP) copy(index);
    }
    if (!any_) return {};
    return std::move(out_);
}

// Operators ending here give their whole-block operation, the innermost
// first; then the kept jumps to here learn their distance.
void BlockCodeWriter::arriveAt(size_t index) {
    for (; !closing_.empty() && closing_.back().end == index; closing_.pop_back())
        out_.push_back(Instruction{static_cast<uint32_t>(closing_.back().opcode), 0});
    for (; !pending_.empty() && pending_.back().target == index; pending_.pop_back())
        out_[pending_.back().out_index].operand = static_cast<uint32_t>(out_.size() - pending_.back().out_index);
}

void BlockCodeWriter::open(size_t index) {
    Branch branch;
    if (!reader_.read(index, branch)) return;
    const bool nested = closing_.empty() || branch.end <= closing_.back().end;
    const bool whole = nested && reader_.safe(branch);
    mark(branch, whole ? DROP : OWN);
    if (!whole) return;
    closing_.push_back(Closing{branch.end, branch.whole_block});
    any_ = true;
}

// The operator's own instructions: [start, end) less its skipped parts.
void BlockCodeWriter::mark(const Branch& branch, Role role) {
    size_t from = branch.start;
    for (size_t p = 0; p <= branch.part_count; ++p) {
        const size_t to = p < branch.part_count ? branch.parts[p][0] : branch.end;
        for (size_t index = from; index < to; ++index) role_[index] = role;
        if (p < branch.part_count) from = branch.parts[p][1];
    }
}

void BlockCodeWriter::copy(size_t index) {
    const Instruction ins = code_[index];
    if (isJump(ins)) {
        const Pending jump{out_.size(), index + ins.operand};
        auto place = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.target <= jump.target; });
        pending_.insert(place, jump);
    }
    out_.push_back(ins);
}

}  // namespace

namespace detail {

// Takes every instruction; the pass's result must walk like compiled code.
struct AnyInstruction {
    bool visit(const WalkStep&) { return true; }
    void skip(size_t) {}
};

std::vector<Instruction> makeBlockCode(const Program& program) {
    std::vector<Instruction> block_code = BlockCodeWriter(program, program.code).write();
    AnyInstruction any;
    const CodeBounds bounds{program.constants.size(), program.var_names.size(), true};
    if (!block_code.empty() && walkCode(block_code, bounds, any) != WalkOutcome::RETURNED) return {};
    return block_code;
}

}  // namespace detail
}  // namespace tarnex
