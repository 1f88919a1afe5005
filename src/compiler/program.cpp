#include "tarnex/program.h"

#include <algorithm>

#include "tarnex/lexer.h"

namespace tarnex {

size_t NameHash::operator()(const std::string& name) const { return hashIgnoringCase(name); }

uint32_t stackDepth(const std::vector<Instruction>& code) {
    constexpr int64_t UNREACHED = -1;
    std::vector<int64_t> at(code.size() + 1, UNREACHED);
    int64_t depth = 0, deepest = 0;
    for (size_t i = 0; i < code.size(); ++i) {
        if (at[i] != UNREACHED) depth = at[i];
        Instruction ins = code[i];
        depth += stackEffect(ins);
        deepest = std::max(deepest, depth);
        auto opcode = static_cast<Opcode>(ins.opcode);
        if (opcode == Opcode::JUMP_IF_FALSE || opcode == Opcode::JUMP)
            at[std::min<size_t>(i + ins.operand, code.size())] = depth;
    }
    return static_cast<uint32_t>(deepest);
}

bool NameEqual::operator()(const std::string& a, const std::string& b) const {
    return equalsIgnoringCase(a, b);
}

}  // namespace tarnex
