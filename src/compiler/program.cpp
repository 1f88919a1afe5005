#include "tarnex/program.h"

#include "tarnex/lexer.h"

namespace tarnex {

int opcodeStackEffect(Opcode op) {
    switch (op) {
#define TARNEX_OPCODE_EFFECT(name, number, effect, meaning) \
    case Opcode::name: return effect;
        TARNEX_OPCODES(TARNEX_OPCODE_EFFECT)
#undef TARNEX_OPCODE_EFFECT
    }
    return 0;
}

const char* opcodeName(uint32_t opcode) {
    static const char* const names[] = {
#define TARNEX_OPCODE_NAME(name, number, effect, meaning) #name,
        TARNEX_OPCODES(TARNEX_OPCODE_NAME)
#undef TARNEX_OPCODE_NAME
    };
    return opcode < OPCODE_COUNT ? names[opcode] : "?";
}

size_t NameHash::operator()(const std::string& name) const { return hashIgnoringCase(name); }

bool NameEqual::operator()(const std::string& a, const std::string& b) const {
    return equalsIgnoringCase(a, b);
}

}  // namespace tarnex
