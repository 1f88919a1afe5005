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

// Its own mix: zeros among the constants, so that folding and evaluation
// meet zero divisors alike.
constexpr ExpressionMix kMix{1, 1, 1, 4, 1, 2, 0, 13};

struct Outcome {
    std::string error;  // empty: success
    double value = 0;
};

Outcome foldRow(const ExpressionNode& tree, const double* row, DivideMode divide = DivideMode::RAISE) {
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
void compareRow(const ExpressionNode& tree, const std::string& text, bool jumps, bool bitwise, const double* row, double engine,
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
    ExpressionGenerator gen(20240611, kMix);
    Tally tally;
    int skipped = 0;
    for (int e = 0; e < kExpressions; ++e) {
        gen.jumps = gen.bitwise = false;
        const ExpressionTree tree = gen.tree(1 + e % 5);
        const bool jumps = gen.jumps, bitwise = gen.bitwise;
        std::string text = render(*tree, nullptr);
        std::shared_ptr<const PreparedProgram> program;
        try {
            program = prepare(compile(text, {"a", "b", "c"}));
        } catch (const std::runtime_error&) {
            ++skipped;  // a constant part divides by zero
            continue;
        }
        std::vector<double> rows(kRows * kVarCount);
        for (double& v : rows) v = gen.value(kMix.zero_odds);
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
    ExpressionGenerator gen(20261208, kMix);
    int compared = 0;
    for (int e = 0; e < kExpressions; ++e) {
        gen.jumps = gen.bitwise = false;
        const ExpressionTree tree = gen.tree(1 + e % 5);
        const bool jumps = gen.jumps, bitwise = gen.bitwise;
        const std::string text = render(*tree, nullptr);
        std::shared_ptr<const PreparedProgram> program;
        ASSERT_EQ(errorOf([&] { program = prepare(compile(text, {"a", "b", "c"}, DivideMode::IGNORE)); }),
                  "<no error>") << text;
        std::vector<std::vector<double>> columns(kVarCount, std::vector<double>(kRows));
        for (size_t r = 0; r < kRows; ++r)
            for (size_t v = 0; v < kVarCount; ++v) columns[v][r] = gen.value(kMix.zero_odds);
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
