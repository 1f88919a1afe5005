// The plan's estimate of an element's cost, and where slices may be cut.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "tarnex/engine.h"
#include "test_support.h"

namespace tarnex {
namespace {

using testing_support::compileWith;

ElementCost costOf(const std::string& text) {
    return prepare(compileWith(text, {"x", "y", "c"}))->cost();
}

// `start` and then `part` `times` over.
std::string repeated(std::string start, const std::string& part, int times) {
    std::string text = std::move(start);
    for (int k = 0; k < times; ++k) text += part;
    return text;
}

struct Layout {
    const char* text;
    bool whole_blocks;
};

class CostLayout : public ::testing::TestWithParam<Layout> {};

// Only a program whose zero divisor fails its whole block must be sliced at
// block boundaries.
TEST_P(CostLayout, WholeBlocksExactlyWhereABlockFailsWhole) {
    EXPECT_EQ(costOf(GetParam().text).whole_blocks, GetParam().whole_blocks) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Programs, CostLayout, ::testing::Values(
    Layout{"x/y", true},
    Layout{"x%y + 1", true},
    Layout{"x / 0", true},
    Layout{"x + y", false},
    Layout{"sin(x) * pow(x, y)", false},
    Layout{"c ? x/y : 0", false},
    Layout{"(x/y) * (c ? 1 : 2)", false},
    Layout{"c && x/y", false}));

struct Traffic {
    const char* text;
    double bytes;
};

class CostTraffic : public ::testing::TestWithParam<Traffic> {};

// Each variable the program reads is read once an element, whatever it does
// with it, and the result written once: what slicing counts against memory.
TEST_P(CostTraffic, CountsEachInputReadAndTheResultWritten) {
    EXPECT_EQ(costOf(GetParam().text).bytes, GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Programs, CostTraffic, ::testing::Values(
    Traffic{"2 + 3", 8.0},
    Traffic{"x * x + x", 16.0},
    Traffic{"x * y + x", 24.0},
    Traffic{"c > 0 ? x / y : x", 32.0},
    Traffic{"sin(x) * pow(x, y) + c", 32.0}));

struct Heavier {
    const char* light;
    const char* heavy;
};

class CostOrder : public ::testing::TestWithParam<Heavier> {};

TEST_P(CostOrder, CostlierWorkIsEstimatedCostlier) {
    EXPECT_LT(costOf(GetParam().light).nanoseconds, costOf(GetParam().heavy).nanoseconds)
        << GetParam().light << " against " << GetParam().heavy;
}

INSTANTIATE_TEST_SUITE_P(Programs, CostOrder, ::testing::Values(
    Heavier{"x + y", "sin(x)"},
    Heavier{"x * y", "x % y"},
    Heavier{"exp(x)", "pow(x, y)"},
    Heavier{"x + y", "(x + y) * (x - y) * (x + 1)"},
    // The same arithmetic under a branch goes through the masked route.
    Heavier{"x * y + x", "c > 0.5 ? (x * y + x) / y : 0"}));

struct LibraryCost {
    const char* text;
    detail::VectorLibmFunction function;
    bool block_route;  // false: split paths, where the masked route calls the libm per element
};

class CostOfVectorLibm : public ::testing::TestWithParam<LibraryCost> {};

// The block route's exp, log and pow cost what their vector kernels cost
// where the guard allows those, and the built-in table's libm cost where it
// refuses; elsewhere the estimate is the libm's, an upper bound.
TEST_P(CostOfVectorLibm, FollowsTheGuardsDecision) {
    detail::redecideVectorLibm("0123456789abcdef0123456789abcdef01234567");
    const double refused = costOf(GetParam().text).nanoseconds;
    detail::redecideVectorLibm(nullptr);
    const double own = costOf(GetParam().text).nanoseconds;
    if (GetParam().block_route && detail::vectorLibmDecision(GetParam().function).used)
        EXPECT_LT(own, refused - 2.0) << GetParam().text;
    else
        EXPECT_EQ(own, refused) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Programs, CostOfVectorLibm, ::testing::Values(
    LibraryCost{"exp(x)", detail::VectorLibmFunction::EXP, true},
    LibraryCost{"log(x) * sin(y)", detail::VectorLibmFunction::LOG, true},
    LibraryCost{"pow(x, y)", detail::VectorLibmFunction::POW, true},
    LibraryCost{"pow(x, 2.5) + c", detail::VectorLibmFunction::POW, true},
    LibraryCost{"c > 0 ? exp(x) : log(y)", detail::VectorLibmFunction::EXP, false},
    LibraryCost{"c > 0.5 ? exp(x) / y : 0", detail::VectorLibmFunction::EXP, false}));

// Cost follows length, so a slice of a very long program is very short.
TEST(CostEstimate, GrowsInProportionToTheProgram) {
    const double short_cost = costOf(repeated("x", "*1.0000001+x", 1000)).nanoseconds;
    const double long_cost = costOf(repeated("x", "*1.0000001+x", 10000)).nanoseconds;
    EXPECT_GT(long_cost, 8 * short_cost);
    EXPECT_LT(long_cost, 12 * short_cost);
}

template <class T>
concept HasCost = requires(const T& program) { program.cost(); };

// The compiler's record has no plan and so no cost; only prepare makes one.
TEST(CostEstimate, NeedsAPlannedProgram) {
    static_assert(!HasCost<Program>);
    static_assert(HasCost<PreparedProgram>);
    EXPECT_GT(prepare(compileWith("x + 1", {"x"}))->cost().nanoseconds, 0.0);
}

}  // namespace
}  // namespace tarnex
