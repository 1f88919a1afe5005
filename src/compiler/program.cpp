#include "tarnex/program.h"

#include <algorithm>

#include "tarnex/names.h"

namespace tarnex {

size_t NameHash::operator()(const std::string& name) const { return hashIgnoringCase(name); }

namespace {

// A jump not yet reached: the depth it brings to its target. Of several
// jumps to one target the latest counts.
struct PendingJump {
    size_t target;
    size_t order;
    int64_t depth;
};

// Heap order: the nearest target on top, the latest of its jumps first.
bool fartherOrEarlier(const PendingJump& a, const PendingJump& b) {
    return a.target != b.target ? a.target > b.target : a.order < b.order;
}

}  // namespace

// Only the jumps still ahead are kept, so the work space follows the nesting
// of the code, not its length.
uint32_t stackDepth(const std::vector<Instruction>& code) {
    std::vector<PendingJump> ahead;
    int64_t depth = 0, deepest = 0;
    for (size_t i = 0; i < code.size(); ++i) {
        bool joined = false;
        while (!ahead.empty() && ahead.front().target == i) {
            if (!joined) depth = ahead.front().depth;
            joined = true;
            std::pop_heap(ahead.begin(), ahead.end(), fartherOrEarlier);
            ahead.pop_back();
        }
        Instruction ins = code[i];
        depth += stackEffect(ins);
        deepest = std::max(deepest, depth);
        auto opcode = static_cast<Opcode>(ins.opcode);
        const size_t target = i + ins.operand;
        if ((opcode == Opcode::JUMP_IF_FALSE || opcode == Opcode::JUMP) && target > i && target < code.size()) {
            ahead.push_back(PendingJump{target, i, depth});
            std::push_heap(ahead.begin(), ahead.end(), fartherOrEarlier);
        }
    }
    return static_cast<uint32_t>(deepest);
}

bool NameEqual::operator()(const std::string& a, const std::string& b) const {
    return equalsIgnoringCase(a, b);
}

}  // namespace tarnex
