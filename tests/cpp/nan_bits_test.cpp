// NaNs of different signs and payloads on both sides of every binary
// operation: every route, kernel level and team size must give the
// per-element evaluator's bits, NaN sign and payload included.
#include <gtest/gtest.h>
#include <omp.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarnex/engine.h"
#include "test_support.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

using Column = std::vector<double>;
using detail::KernelLevel;

double bits(uint64_t pattern) { return std::bit_cast<double>(pattern); }

// Quiet and signalling NaNs of both signs with distinct payloads, and a few
// ordinary values so that one-NaN pairs occur too. No zero: / and % would
// fail the block.
const double kValues[] = {bits(0x7ff8000000000000), bits(0xfff8000000000000), bits(0x7ff80000deadbeef),
                          bits(0xfff8000000001234), bits(0x7ff0000000000001), bits(0xfff00000000abcde),
                          1.5, -2.25, kInf};
constexpr size_t kCount = std::size(kValues);

// a and b run through every pair of values; w is true except at every
// eleventh element, so paths split inside blocks; c feeds the other branch.
std::vector<Column> inputs(size_t n) {
    std::vector<Column> columns(4, Column(n));
    for (size_t i = 0; i < n; ++i) {
        columns[0][i] = kValues[i % kCount];
        columns[1][i] = kValues[i / kCount % kCount];
        columns[2][i] = kValues[(i * 5 + 3) % kCount];
        columns[3][i] = i % 11 == 4 ? 0.0 : 1.0;
    }
    return columns;
}

std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const char* op : {"+", "-", "*", "/", "%", "&", "<", ">", "==", "&&", "||"}) {
        const std::string e = std::string("a ") + op + " b";
        out.push_back(e);                               // block steps
        out.push_back("(" + e + ") * c");               // two steps fused into one pass
        out.push_back("c + (" + e + ")");               // fused, the first result on the right
        out.push_back("w ? " + e + " : c");             // a whole-block select where it may be
        out.push_back("w ? " + e + " : sin(c)");        // the masked route, paths split
        out.push_back("w ? (" + e + ") * c : c / 3");   // masked, with a division on a path
    }
    for (const char* call : {"pow(a, b)", "min(a, b, c)", "max(b, a)", "sqrt(a) + b", "-a * b"}) {
        out.push_back(call);
        out.push_back(std::string("w ? ") + call + " : sin(c)");
    }
    return out;
}

class TeamSizeGuard {
public:
    ~TeamSizeGuard() {
        omp_set_num_threads(saved_);
        detail::useKernelLevel(detail::bestKernelLevel());
    }

private:
    int saved_ = omp_get_max_threads();
};

std::vector<const double*> pointers(const std::vector<Column>& columns) {
    std::vector<const double*> in;
    for (const Column& c : columns) in.push_back(c.data());
    return in;
}

Column expected(const Program& program, const std::vector<Column>& columns) {
    Column want(columns[0].size());
    for (size_t i = 0; i < want.size(); ++i) {
        double row[] = {columns[0][i], columns[1][i], columns[2][i], columns[3][i]};
        want[i] = evaluateScalar(program, row);
    }
    return want;
}

void expectSameBits(const Column& got, const Column& want, const std::string& what) {
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(want[i]))
            << what << ", element " << i << std::hex << ": got " << std::bit_cast<uint64_t>(got[i]) << ", want "
            << std::bit_cast<uint64_t>(want[i]);
}

TEST(NaNBits, EveryRouteLevelAndTeamSizeGivesThePerElementBits) {
    TeamSizeGuard guard;
    const size_t n = 10'000;
    const std::vector<Column> columns = inputs(n);
    const std::vector<const double*> in = pointers(columns);
    for (const std::string& text : texts()) {
        auto program = prepare(compileWith(text, {"a", "b", "c", "w"}));
        const Column want = expected(program->program(), columns);
        Column elements(n);
        detail::evaluateElements(*program, n, elements.data(), in.data());
        expectSameBits(elements, want, text + ", element by element");
        for (KernelLevel level : detail::KERNEL_LEVELS) {
            if (!detail::useKernelLevel(level)) continue;
            const std::string at = text + " at " + detail::kernelLevelName();
            Column masked(n);
            if (detail::evaluateMasked(*program, n, masked.data(), in.data())) expectSameBits(masked, want, at + ", masked");
            for (int threads : {1, 2, 3}) {
                omp_set_num_threads(threads);
                Column out(n);
                evaluateParallel(4, BLOCK_SIZE, out.data(), *program, static_cast<int64_t>(n), in);
                expectSameBits(out, want, at + " on " + std::to_string(threads) + " threads");
            }
        }
    }
}

// The case that showed it: whether an element shared its block with a false
// condition decided which NaN of x + y it got.
TEST(NaNBits, SumOfTwoNaNsDoesNotDependOnItsNeighbours) {
    TeamSizeGuard guard;
    const size_t n = 10'000;
    std::vector<Column> columns{Column(n, bits(0x7ff8000000000000)), Column(n, bits(0xfff8000000000000)),
                                Column(n, 1.0), Column(n, 1.0)};
    columns[2][3000] = 0.0;
    auto program = prepare(compileWith("c ? x + y : sin(w)", {"x", "y", "c", "w"}));
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        Column out(n);
        evaluateParallel(4, BLOCK_SIZE, out.data(), *program, static_cast<int64_t>(n), pointers(columns));
        for (size_t i = 0; i < n; ++i)
            if (i != 3000) ASSERT_EQ(std::bit_cast<uint64_t>(out[i]), 0x7ff8000000000000u) << i << ", threads " << threads;
    }
}

}  // namespace
