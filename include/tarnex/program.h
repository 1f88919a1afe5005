// The compiled form of one expression for one ordered list of variable names:
// stack-machine code over doubles, a constant pool and the variable table.
//
// `compile` is the only writer. A Program is immutable once returned and may
// be read by any number of threads at once. Every compiled program ends with
// its only RETURN, uses constant and variable indices in range, jumps only
// forward by at least 2, and needs at most STACK_CAPACITY stack entries.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarnex/opcodes.h"

namespace tarnex {

// FNV-1a over ASCII-lower-cased bytes, and the matching equality.
struct NameHash {
    size_t operator()(const std::string& name) const;
};
struct NameEqual {
    bool operator()(const std::string& a, const std::string& b) const;
};

class Program {
public:
    std::vector<Instruction> code;
    std::vector<double> constants;
    std::vector<std::string> var_names;  // position i is variable index i
    std::vector<double> var_values;      // one 0.0 per variable
    // Each name to the index of the first name equal to it ignoring case.
    std::unordered_map<std::string, uint32_t, NameHash, NameEqual> var_index;
    // The most stack entries any path through `code` holds, counted by code
    // generation as it emits (at most STACK_CAPACITY) and trusted afterwards.
    uint32_t max_depth = 0;
};

// Compiles `text` for the variables `names` (in binding order), with / and %
// failing on a zero divisor or giving the IEEE result as `divide` says, in
// folding and in the code. Throws std::runtime_error with the lexer's,
// parser's or folding's fixed message, "Expression too deeply nested" or
// "Expression too complex".
Program compile(std::string_view text, const std::vector<std::string_view>& names,
                DivideMode divide = DivideMode::RAISE);

}  // namespace tarnex
