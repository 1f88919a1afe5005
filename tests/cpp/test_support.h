// Helpers shared by the C++ test files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarnex/opcodes.h"
#include "tarnex/program.h"
#include "tarnex/tokens.h"

namespace tarnex::testing_support {

inline const double kNaN = std::numeric_limits<double>::quiet_NaN();
inline const double kInf = std::numeric_limits<double>::infinity();
inline const double kMin64 = -9223372036854775808.0;  // where to_int64 sends anything out of range

inline std::vector<std::string_view> views(const std::vector<std::string>& names) {
    return std::vector<std::string_view>(names.begin(), names.end());
}

inline Program compileWith(const std::string& text, const std::vector<std::string>& names) {
    return compile(text, views(names));
}

// The value of a text that folds to one constant; fails the test otherwise.
inline double folded(const std::string& text, const std::vector<std::string>& names = {}) {
    Program p = compileWith(text, names);
    EXPECT_EQ(p.code.size(), 2u) << text << " did not fold";
    EXPECT_EQ(p.constants.size(), 1u) << text;
    return p.constants.empty() ? std::nan("") : p.constants[0];
}

// The message of the runtime_error `fn` throws, or "<no error>".
template <class Fn>
std::string errorOf(Fn&& fn) {
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no error>";
}

inline std::string compileError(const std::string& text, const std::vector<std::string>& names = {}) {
    return errorOf([&] { compileWith(text, names); });
}

// Same bits, except that every NaN equals every NaN: for comparisons with
// folding or the C++ compiler's own arithmetic, which may pick another NaN.
// Evaluation routes, levels and team sizes must agree on sameBits.
inline bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// The spelling of every operator token that some opcode computes between two
// operands, in table order: the lists of operators tests and tools use.
inline std::vector<std::string> binaryOperators() {
    std::vector<std::string> spellings;
    for (const OpcodeInfo& info : OPCODE_INFO) {
        if (info.kind != OpcodeKind::BINARY) continue;
        std::string symbol(TOKEN_SPELLINGS[info.token].symbol);
        if (std::find(spellings.begin(), spellings.end(), symbol) == spellings.end()) spellings.push_back(symbol);
    }
    return spellings;
}

inline bool sameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

}  // namespace tarnex::testing_support
