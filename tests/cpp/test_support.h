// Helpers shared by the C++ test files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarnex/builtins.h"
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

inline Program compileWith(const std::string& text, const std::vector<std::string>& names,
                           DivideMode divide = DivideMode::RAISE) {
    return compile(text, views(names), divide);
}

// The value of a text that folds to one constant; fails the test otherwise.
inline double folded(const std::string& text, const std::vector<std::string>& names = {},
                     DivideMode divide = DivideMode::RAISE) {
    Program p = compileWith(text, names, divide);
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

// The prefix operators: - and +, which the parser folds into other code,
// and every token some one-operand opcode computes.
inline std::vector<std::string> prefixOperators() {
    std::vector<std::string> spellings{"-", "+"};
    for (const OpcodeInfo& info : OPCODE_INFO)
        if (info.kind == OpcodeKind::UNARY) spellings.emplace_back(TOKEN_SPELLINGS[info.token].symbol);
    return spellings;
}

inline bool sameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// Random expressions, for the tests that run many programs: the
// differential test against folding, the masked route against the
// per-element route, and the compiled-code invariants. The operators and
// functions come from the tables; each test picks its mix.
// A literal (or constant sub-expression) the lexer reads back to exactly `v`.
inline std::string literal(double v) {
    if (std::isnan(v)) return "sqrt(-1)";
    if (std::signbit(v)) return "(-(" + literal(-v) + "))";
    if (std::isinf(v)) return "(1e308*10)";
    char buffer[64];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, v).ptr);
}

struct ExpressionNode {
    enum Kind { CONSTANT, VARIABLE, UNARY, BINARY, CONDITIONAL, CALL } kind = CONSTANT;
    std::string op;  // operator spelling or function name
    double value = 0;
    size_t variable = 0;
    std::vector<std::shared_ptr<const ExpressionNode>> children;  // a guarded divisor appears twice
};
using ExpressionTree = std::shared_ptr<const ExpressionNode>;

// `row` null: variables by `names`; otherwise by their values in `row`.
inline std::string render(const ExpressionNode& n, const double* row,
                          const std::vector<std::string>& names = {"a", "b", "c"}) {
    auto child = [&](size_t i) { return render(*n.children[i], row, names); };
    switch (n.kind) {
        case ExpressionNode::CONSTANT: return literal(n.value);
        case ExpressionNode::VARIABLE: return row ? literal(row[n.variable]) : names[n.variable];
        case ExpressionNode::UNARY: return n.op + "(" + child(0) + ")";
        case ExpressionNode::BINARY: return "(" + child(0) + " " + n.op + " " + child(1) + ")";
        case ExpressionNode::CONDITIONAL: return "(" + child(0) + " ? " + child(1) + " : " + child(2) + ")";
        case ExpressionNode::CALL: {
            std::string text = n.op + "(";
            for (size_t i = 0; i < n.children.size(); ++i) text += (i ? ", " : "") + child(i);
            return text + ")";
        }
    }
    return "";
}

// Mostly values at the edges of the operations, sometimes an ordinary one.
inline const double kSpecialValues[] = {kNaN, kInf, -kInf, 1e19, -1e19, -1.0, 1.0, 2.5, -2.5, 3.0, 0.5, 63.0, 64.0,
                                        1e-300, 1e308, 9223372036854775808.0, -9223372036854775808.0, 7.0};

// How often each kind of node is chosen (weights); at the depth limit only
// the first two.
struct ExpressionMix {
    int constant, variable, unary, binary, conditional, call;
    int guarded_division = 0;  // c != 0 ? x / c : y, or %
    int zero_odds = 0;         // one constant in this many is a zero of either sign (0: none)
    bool words = false;        // &&, || and ! sometimes spelled as words
};

class ExpressionGenerator {
public:
    ExpressionGenerator(uint64_t seed, ExpressionMix mix) : rng_(seed), mix_(mix) {}

    // A tree at most `depth` operations deep; `jumps` is set when it has
    // &&, || or ?:, `bitwise` when it has &, | or ^.
    ExpressionTree tree(int depth) {
        auto node = std::make_shared<ExpressionNode>();
        const int weights[] = {mix_.constant, mix_.variable, mix_.unary, mix_.binary, mix_.conditional, mix_.call,
                               mix_.guarded_division};
        const int leaves[] = {mix_.constant, mix_.variable};
        const int choice = depth <= 0 ? weighted(leaves) : weighted(weights);
        switch (choice) {
            case 0: node->value = value(mix_.zero_odds); break;
            case 1:
                node->kind = ExpressionNode::VARIABLE;
                node->variable = static_cast<size_t>(pick(3));
                break;
            case 2: unary(*node, depth); break;
            case 3: binary(*node, depth, kBinary); break;
            case 4: conditional(*node, depth); break;
            case 5: call(*node, depth); break;
            default: guarded(*node, depth); break;
        }
        return node;
    }

    // A tree whose top is an &&, || or ?:.
    ExpressionTree branchy(int depth) {
        auto node = std::make_shared<ExpressionNode>();
        if (pick(2) == 0) {
            conditional(*node, depth);
        } else {
            binary(*node, depth, {"&&", "||"});
        }
        return node;
    }

    // One in `zero_odds` is a zero of either sign (0: none).
    double value(int zero_odds) {
        if (zero_odds > 0 && pick(static_cast<size_t>(zero_odds)) == 0) return pick(2) ? 0.0 : -0.0;
        if (pick(4) == 0) return std::uniform_real_distribution<double>(-100, 100)(rng_);
        return kSpecialValues[pick(std::size(kSpecialValues))];
    }

    int pick(size_t n) { return std::uniform_int_distribution<int>(0, static_cast<int>(n) - 1)(rng_); }

    bool jumps = false;
    bool bitwise = false;

private:
    template <size_t N>
    int weighted(const int (&weights)[N]) {
        int total = 0;
        for (int w : weights) total += w;
        int at = pick(static_cast<size_t>(total));
        int choice = 0;
        while (at >= weights[choice]) at -= weights[choice++];
        return choice;
    }

    std::string spelled(const std::string& op) {
        if (!mix_.words || pick(4) != 0) return op;
        return op == "&&" ? "and" : op == "||" ? "or" : op == "!" ? "not " : op;
    }

    void unary(ExpressionNode& node, int depth) {
        static const std::vector<std::string> prefixes = prefixOperators();
        node.kind = ExpressionNode::UNARY;
        node.op = spelled(prefixes[pick(prefixes.size())]);
        node.children.push_back(tree(depth - 1));
    }

    void binary(ExpressionNode& node, int depth, const std::vector<std::string>& operators) {
        node.kind = ExpressionNode::BINARY;
        const std::string op = operators[pick(operators.size())];
        jumps = jumps || op == "&&" || op == "||";
        bitwise = bitwise || op == "&" || op == "|" || op == "^";
        node.op = spelled(op);
        for (int i = 0; i < 2; ++i) node.children.push_back(tree(depth - 1));
    }

    void conditional(ExpressionNode& node, int depth) {
        node.kind = ExpressionNode::CONDITIONAL;
        jumps = true;
        for (int i = 0; i < 3; ++i) node.children.push_back(tree(depth - 1));
    }

    void call(ExpressionNode& node, int depth) {
        const BuiltinEntry& entry = BUILTIN_TABLE[pick(BUILTIN_COUNT)];
        node.kind = ExpressionNode::CALL;
        node.op = entry.name;
        const int most = std::min<int>(static_cast<int>(entry.max_args), 4);
        const int argc = static_cast<int>(entry.min_args) + pick(static_cast<size_t>(most) - entry.min_args + 1);
        for (int i = 0; i < argc; ++i) node.children.push_back(tree(depth - 1));
    }

    // A division that a condition guards.
    void guarded(ExpressionNode& node, int depth) {
        const ExpressionTree divisor = tree(depth - 1);
        auto test = std::make_shared<ExpressionNode>();
        test->kind = ExpressionNode::BINARY;
        test->op = "!=";
        test->children = {divisor, std::make_shared<ExpressionNode>()};
        auto quotient = std::make_shared<ExpressionNode>();
        quotient->kind = ExpressionNode::BINARY;
        quotient->op = pick(2) ? "/" : "%";
        quotient->children = {tree(depth - 1), divisor};
        node.kind = ExpressionNode::CONDITIONAL;
        node.children = {test, quotient, tree(depth - 1)};
        jumps = true;
    }

    inline static const std::vector<std::string> kBinary = binaryOperators();
    std::mt19937_64 rng_;
    ExpressionMix mix_;
};

}  // namespace tarnex::testing_support
