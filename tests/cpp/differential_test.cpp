// Random expressions evaluated by the engine must match the constant the
// compiler folds when every variable is replaced by its value.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "test_support.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

constexpr size_t kVarCount = 3;
constexpr size_t kRows = 48;
constexpr int kExpressions = 1500;

const double kSpecial[] = {0.0, -0.0, kNaN, kInf, -kInf, 1e19, -1e19, -1.0, 1.0, 2.5, -2.5, 3.0, 0.5,
                           63.0,  64.0, 1e-300, 9223372036854775808.0, -9223372036854775808.0, 7.0, 1e308};

// A literal (or constant sub-expression) the lexer reads back to exactly `v`.
std::string literal(double v) {
    if (std::isnan(v)) return "sqrt(-1)";
    if (std::signbit(v)) return "(-(" + literal(-v) + "))";
    if (std::isinf(v)) return "(1e308*10)";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, result.ptr);
}

struct Node {
    enum Kind { CONSTANT, VARIABLE, UNARY, BINARY, CONDITIONAL, CALL } kind;
    std::string op;  // operator spelling or function name
    double value = 0;
    size_t variable = 0;
    std::vector<std::unique_ptr<Node>> children;
};

// `row` null: variables by name; otherwise by their values in `row`.
std::string render(const Node& n, const double* row) {
    static const char* const names[kVarCount] = {"a", "b", "c"};
    auto child = [&](size_t i) { return render(*n.children[i], row); };
    switch (n.kind) {
        case Node::CONSTANT: return literal(n.value);
        case Node::VARIABLE: return row ? literal(row[n.variable]) : names[n.variable];
        case Node::UNARY: return n.op + "(" + child(0) + ")";
        case Node::BINARY: return "(" + child(0) + " " + n.op + " " + child(1) + ")";
        case Node::CONDITIONAL: return "(" + child(0) + " ? " + child(1) + " : " + child(2) + ")";
        case Node::CALL: {
            std::string text = n.op + "(";
            for (size_t i = 0; i < n.children.size(); ++i) text += (i ? ", " : "") + child(i);
            return text + ")";
        }
    }
    return "";
}

class ExpressionGenerator {
public:
    explicit ExpressionGenerator(uint64_t seed) : rng_(seed) {}

    // `jumps` is set when the text has &&, || or ?:, whose folding
    // evaluates branches that evaluation may skip.
    std::unique_ptr<Node> expression(int depth, bool& jumps) {
        auto node = std::make_unique<Node>();
        int choice = depth <= 0 ? pick(2) : pick(10);
        if (choice == 0) {
            node->kind = Node::CONSTANT;
            node->value = special();
        } else if (choice == 1) {
            node->kind = Node::VARIABLE;
            node->variable = static_cast<size_t>(pick(kVarCount));
        } else if (choice == 2) {
            static const char* const ops[] = {"-", "+", "!", "~"};
            node->kind = Node::UNARY;
            node->op = ops[pick(4)];
            node->children.push_back(expression(depth - 1, jumps));
        } else if (choice <= 6) {
            static const char* const ops[] = {"+", "-", "*",  "/",  "%", "&", "|",  "^",  "<<", ">>",
                                              "==", "!=", "<", "<=", ">", ">=", "&&", "||"};
            node->kind = Node::BINARY;
            node->op = ops[pick(std::size(ops))];
            jumps |= node->op == "&&" || node->op == "||";
            bitwise_ |= node->op == "&" || node->op == "|" || node->op == "^";
            for (int i = 0; i < 2; ++i) node->children.push_back(expression(depth - 1, jumps));
        } else if (choice == 7) {
            node->kind = Node::CONDITIONAL;
            jumps = true;
            for (int i = 0; i < 3; ++i) node->children.push_back(expression(depth - 1, jumps));
        } else {
            call(*node, depth, jumps);
        }
        return node;
    }

    // Whether any expression so far had &, | or ^.
    bool takeBitwise() { return std::exchange(bitwise_, false); }

    // Mostly special values, sometimes an ordinary one.
    double special() {
        if (pick(4) == 0) return std::uniform_real_distribution<double>(-100, 100)(rng_);
        return kSpecial[pick(std::size(kSpecial))];
    }

private:
    void call(Node& node, int depth, bool& jumps) {
        const BuiltinEntry& entry = BUILTIN_TABLE[pick(BUILTIN_COUNT)];
        node.kind = Node::CALL;
        node.op = entry.name;
        const int most = std::min<int>(static_cast<int>(entry.max_args), 4);
        const int argc = static_cast<int>(entry.min_args) + pick(static_cast<size_t>(most) - entry.min_args + 1);
        for (int i = 0; i < argc; ++i) node.children.push_back(expression(depth - 1, jumps));
    }

    int pick(size_t n) { return std::uniform_int_distribution<int>(0, static_cast<int>(n) - 1)(rng_); }

    std::mt19937_64 rng_;
    bool bitwise_ = false;
};

struct Outcome {
    std::string error;  // empty: success
    double value = 0;
};

Outcome foldRow(const Node& tree, const double* row, DivideMode divide = DivideMode::RAISE) {
    std::string text = render(tree, row);
    try {
        Program p = compile(text, {}, divide);
        EXPECT_EQ(p.code.size(), 2u) << text << " did not fold";
        return {"", p.constants.at(0)};
    } catch (const std::runtime_error& e) {
        return {e.what(), 0};
    }
}

Outcome evaluateRow(const PreparedProgram& program, const double* row) {
    // a block of one element, so the whole-block zero check sees this row only
    const double* columns[kVarCount] = {row, row + 1, row + 2};
    double out = 0;
    try {
        evaluateBlock(program, 1, &out, columns);
        return {"", out};
    } catch (const std::runtime_error& e) {
        return {e.what(), 0};
    }
}

struct Tally {
    int compared = 0;
    int errors_agreed = 0;
};

// Folding converts the right operand of &, | and ^ as a program without
// jumps does; in one with jumps the values of such a program may differ.
void compareRow(const Node& tree, const std::string& text, bool jumps, bool bitwise, const double* row, double engine,
                const std::string& engine_error, Tally& tally) {
    Outcome folded = foldRow(tree, row);
    SCOPED_TRACE(text + " with " + render(tree, row));
    if (!jumps) {
        EXPECT_EQ(engine_error, folded.error);
        tally.errors_agreed += !folded.error.empty();
    } else if (!engine_error.empty()) {
        // folding runs every branch, so it fails wherever evaluation does,
        // though perhaps first in a branch evaluation skipped
        EXPECT_NE(folded.error, "");
    }
    if (!engine_error.empty() || !folded.error.empty() || (jumps && bitwise)) return;
    EXPECT_TRUE(sameValue(engine, folded.value)) << "engine " << engine << ", folded " << folded.value;
    ++tally.compared;
}

TEST(Differential, EngineMatchesFolding) {
    ExpressionGenerator gen(20240611);
    Tally tally;
    int skipped = 0;
    for (int e = 0; e < kExpressions; ++e) {
        bool jumps = false;
        std::unique_ptr<Node> tree = gen.expression(1 + e % 5, jumps);
        const bool bitwise = gen.takeBitwise();
        std::string text = render(*tree, nullptr);
        std::shared_ptr<const PreparedProgram> program;
        try {
            program = prepare(compile(text, {"a", "b", "c"}));
        } catch (const std::runtime_error&) {
            ++skipped;  // a constant part divides by zero
            continue;
        }
        std::vector<double> rows(kRows * kVarCount);
        for (double& v : rows) v = gen.special();
        std::vector<std::vector<double>> columns(kVarCount, std::vector<double>(kRows));
        for (size_t r = 0; r < kRows; ++r)
            for (size_t v = 0; v < kVarCount; ++v) columns[v][r] = rows[r * kVarCount + v];
        std::vector<const double*> pointers{columns[0].data(), columns[1].data(), columns[2].data()};
        std::vector<double> out(kRows);
        bool batch_ok = errorOf([&] {
            evaluateParallel(kVarCount, BLOCK_SIZE, out.data(), *program, kRows, pointers);
        }) == "<no error>";
        for (size_t r = 0; r < kRows; ++r) {
            const double* row = &rows[r * kVarCount];
            Outcome engine = batch_ok ? Outcome{"", out[r]} : evaluateRow(*program, row);
            compareRow(*tree, text, jumps, bitwise, row, engine.value, engine.error, tally);
        }
        if (HasFailure()) break;
    }
    EXPECT_LT(skipped, kExpressions / 10);
    EXPECT_GT(tally.compared, kExpressions * static_cast<int>(kRows) / 2);
    EXPECT_GT(tally.errors_agreed, 100);
}

// Under IEEE division nothing fails, neither folding nor evaluation, and
// every row folds to what the engine gives it.
TEST(Differential, IeeeDivisionNeverFailsAndMatchesFolding) {
    ExpressionGenerator gen(20261208);
    int compared = 0;
    for (int e = 0; e < kExpressions; ++e) {
        bool jumps = false;
        std::unique_ptr<Node> tree = gen.expression(1 + e % 5, jumps);
        const bool bitwise = gen.takeBitwise();
        const std::string text = render(*tree, nullptr);
        std::shared_ptr<const PreparedProgram> program;
        ASSERT_EQ(errorOf([&] { program = prepare(compile(text, {"a", "b", "c"}, DivideMode::IGNORE)); }),
                  "<no error>") << text;
        std::vector<std::vector<double>> columns(kVarCount, std::vector<double>(kRows));
        for (size_t r = 0; r < kRows; ++r)
            for (size_t v = 0; v < kVarCount; ++v) columns[v][r] = gen.special();
        std::vector<const double*> pointers{columns[0].data(), columns[1].data(), columns[2].data()};
        std::vector<double> out(kRows);
        ASSERT_EQ(errorOf([&] { evaluateParallel(kVarCount, BLOCK_SIZE, out.data(), *program, kRows, pointers); }),
                  "<no error>") << text;
        for (size_t r = 0; r < kRows; ++r) {
            const double row[kVarCount] = {columns[0][r], columns[1][r], columns[2][r]};
            Outcome folded = foldRow(*tree, row, DivideMode::IGNORE);
            SCOPED_TRACE(text + " with " + render(*tree, row));
            ASSERT_EQ(folded.error, "");
            if (jumps && bitwise) continue;
            EXPECT_TRUE(sameValue(out[r], folded.value)) << "engine " << out[r] << ", folded " << folded.value;
            ++compared;
        }
        if (HasFailure()) break;
    }
    EXPECT_GT(compared, kExpressions * static_cast<int>(kRows) / 2);
}

}  // namespace
