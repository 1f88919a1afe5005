// NaNs of different signs and payloads on both sides of every binary
// operation: every route, kernel level and team size must give the
// per-element evaluator's bits, NaN sign and payload included.
#include <gtest/gtest.h>
#include <omp.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>
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

// Each element alone through the per-element evaluator.
Column expected(const Program& program, const std::vector<Column>& columns) {
    Column want(columns[0].size());
    std::vector<double> row(columns.size());
    for (size_t i = 0; i < want.size(); ++i) {
        for (size_t v = 0; v < columns.size(); ++v) row[v] = columns[v][i];
        want[i] = evaluateScalar(program, row.data());
    }
    return want;
}

// Each element as a call of its own: a block of one.
Column oneByOne(const PreparedProgram& program, const std::vector<Column>& columns) {
    Column got(columns[0].size());
    std::vector<const double*> in(columns.size());
    for (size_t i = 0; i < got.size(); ++i) {
        for (size_t v = 0; v < columns.size(); ++v) in[v] = columns[v].data() + i;
        evaluateBlock(program, 1, got.data() + i, in.data());
    }
    return got;
}

void expectSameBits(const Column& got, const Column& want, const std::string& what) {
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(want[i]))
            << what << ", element " << i << std::hex << ": got " << std::bit_cast<uint64_t>(got[i]) << ", want "
            << std::bit_cast<uint64_t>(want[i]);
}

struct RoutesToRun {
    bool one_block;    // evaluateBlock over all elements at once
    bool one_by_one;   // a call per element
    std::vector<int> team_sizes;
};

// The per-element route, then at every level this CPU has the masked route
// (where it takes the program), the chosen ones of `routes`, and the driver
// on each team size: each gives every element the bits it has alone.
void expectEveryRouteGivesTheElementsBits(const std::shared_ptr<const PreparedProgram>& program, const std::vector<Column>& columns,
                                          const std::string& what, const RoutesToRun& routes) {
    const size_t n = columns[0].size();
    const std::vector<const double*> in = pointers(columns);
    const Column want = expected(program->program(), columns);
    Column elements(n);
    detail::evaluateElements(*program, n, elements.data(), in.data());
    expectSameBits(elements, want, what + ", element by element");
    for (KernelLevel level : detail::KERNEL_LEVELS) {
        if (!detail::useKernelLevel(level)) continue;
        const std::string at = what + " at " + detail::kernelLevelName();
        Column masked(n), block(n);
        if (detail::evaluateMasked(*program, n, masked.data(), in.data())) expectSameBits(masked, want, at + ", masked");
        if (routes.one_block) {
            evaluateBlock(*program, n, block.data(), in.data());
            expectSameBits(block, want, at + ", one block");
        }
        if (routes.one_by_one) expectSameBits(oneByOne(*program, columns), want, at + ", one element per call");
        for (int threads : routes.team_sizes) {
            omp_set_num_threads(threads);
            Column out(n);
            evaluateParallel(columns.size(), BLOCK_SIZE, out.data(), *program, static_cast<int64_t>(n), in);
            expectSameBits(out, want, at + " on " + std::to_string(threads) + " threads");
        }
    }
}

TEST(NaNBits, EveryRouteLevelAndTeamSizeGivesThePerElementBits) {
    TeamSizeGuard guard;
    const size_t n = 10'000;
    const std::vector<Column> columns = inputs(n);
    for (const std::string& text : texts()) {
        auto program = prepare(compileWith(text, {"a", "b", "c", "w"}));
        expectEveryRouteGivesTheElementsBits(program, columns, text, {false, false, {1, 2, 3}});
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
        for (size_t i = 0; i < n; ++i) {
            if (i != 3000) {
                ASSERT_EQ(std::bit_cast<uint64_t>(out[i]), 0x7ff8000000000000u) << i << ", threads " << threads;
            }
        }
    }
}

// ---- Signalling NaNs in every position

// An IEEE operation quiets a signalling NaN and a copy does not, and pow
// tells the two apart: pow(qNaN, 0) is 1, pow(sNaN, 0) a NaN. So each
// operation on an element must be the per-element evaluator's own, in every
// position of a block (vector bodies and scalar tails alike) and on every
// route, level, length and team size; nothing may stand in a copy for it.
const double kSignalling[] = {bits(0x7ff0000000000001), bits(0xfff0000000000001), bits(0x7ff4000000c0ffee),
                              bits(0xfff7ffffffffffff), bits(0x7ff8000000000000), bits(0xfff8000000000000),
                              bits(0x7ffc0000000abcde), bits(0xfff8000000000007), 1.5, -0.75};
constexpr size_t kSignallingCount = std::size(kSignalling);

// a, b, c cycle through the values at different strides, so every value
// meets every position; w is a condition true at most elements; z is the
// exponent 0 (or 1 at every seventh element).
std::vector<Column> signallingInputs(size_t n) {
    std::vector<Column> columns(5, Column(n));
    for (size_t i = 0; i < n; ++i) {
        columns[0][i] = kSignalling[i % kSignallingCount];
        columns[1][i] = kSignalling[(i / 3 + 1) % kSignallingCount];
        columns[2][i] = kSignalling[(i * 7 + 2) % kSignallingCount];
        columns[3][i] = i % 13 == 5 ? 0.0 : i % 13 == 9 ? bits(0x7ff0000000000002) : 1.0;
        columns[4][i] = i % 7 == 3 ? 1.0 : 0.0;
    }
    return columns;
}

// Where a value may pass through an operation that leaves NaNs alone, or
// through one that a compiler could mistake for a copy (a product with 1, a
// sum with 0, a select whose condition is known), each on its own, as a
// pow's base, and on the paths of a jump.
std::vector<std::string> signallingTexts() {
    const char* bases[] = {"a", "+a", "-a", "a * 1", "1 * a", "a * -1", "a + 0", "0 + a", "a - 0", "a / 1",
                           "a * b", "a + b", "a - b", "a / b", "a % b", "abs(a)", "floor(a)", "ceil(a)",
                           "round(a)", "sqrt(a)", "min(a, b)", "max(a, b, c)", "min(a)", "max(2, a)",
                           "(w && 1) * a", "a * (w || 0)", "!w * a", "(a < b) * c", "(w && 1) + a",
                           "(a == a) * b", "w ? a : b", "w ? c : 1", "(a * 1) * b", "c + a * 1", "pow(a, 1)",
                           "ceil(a) * 1", "floor(a * 1)", "round(-a)", "(w < z) * a", "a * (w > z)",
                           "a - (w && z)", "a - (b < c)", "(w || z) - a", "a + (w < z)", "(a > b) + c",
                           "a / (w || 1)", "a / (z < 2)", "a - (w && 0)", "(w || z) * a - c", "a * !w",
                           "~a", "a | b", "a >> 1"};
    std::vector<std::string> out;
    for (const char* base : bases) {
        const std::string e = base;
        out.push_back(e);
        out.push_back("pow(" + e + ", z)");
        out.push_back("w ? pow(" + e + ", z) : sin(b)");
        out.push_back("pow(w ? " + e + " : c, z)");
    }
    for (const char* text : {"pow((w && 1) * a, z)", "pow(w ? ceil(c) : sin(b), z)", "pow(w ? floor(c) : sin(b), z)",
                             "pow(w ? round(c) : exp(b), z)", "pow(w ? abs(c) : sin(b), z)",
                             "pow(w ? a / w : c, z)", "w ? pow(min(a, c), z) : pow(max(c, a), z)"})
        out.push_back(text);
    return out;
}

TEST(NaNBits, SignallingNaNsGiveTheElementsOwnBitsInEveryPosition) {
    TeamSizeGuard guard;
    const std::vector<std::string> names{"a", "b", "c", "w", "z"};
    for (const std::string& text : signallingTexts()) {
        auto program = prepare(compileWith(text, names));
        for (size_t n : {1, 2, 3, 4095, 4096, 4097, 4099, 8195}) {
            // Below 4095 elements no program here is worth a team.
            const std::vector<int> team_sizes = n < 4095 ? std::vector<int>{1} : std::vector<int>{1, 2, 3};
            expectEveryRouteGivesTheElementsBits(program, signallingInputs(n), text + " over " + std::to_string(n),
                                                 {true, n == 4097, team_sizes});
        }
    }
}

// What the per-element evaluator gives, which the test above holds every
// route to: arithmetic, the rounding functions and the library quiet a
// signalling NaN (sign and payload kept, unary minus being a product with
// -1); abs, min, max, a select and unary plus hand it on as it is. Each
// case stands alone and fills every position of 4097 elements.
struct QuietingCase {
    const char* text;
    uint64_t a;
    double want;
};

constexpr uint64_t kSNaN = 0x7ff0000000000001, kSNaNQuiet = 0x7ff8000000000001;
constexpr uint64_t kNegSNaN = 0xfff4000000000000, kNegSNaNQuiet = 0xfffc000000000000;

const QuietingCase kQuietingCases[] = {
    {"a * 1", kSNaN, bits(kSNaNQuiet)},
    {"1 * a", kNegSNaN, bits(kNegSNaNQuiet)},
    {"-a", kSNaN, bits(kSNaNQuiet)},
    {"-a", kNegSNaNQuiet, bits(kNegSNaNQuiet)},
    {"a - 0", kSNaN, bits(kSNaNQuiet)},
    {"(w && 1) * a", kSNaN, bits(kSNaNQuiet)},
    {"a - (w && 0)", kNegSNaN, bits(kNegSNaNQuiet)},
    {"floor(a)", kSNaN, bits(kSNaNQuiet)},
    {"ceil(a)", kNegSNaN, bits(kNegSNaNQuiet)},
    {"round(a)", kSNaN, bits(kSNaNQuiet)},
    {"sqrt(a)", kSNaN, bits(kSNaNQuiet)},
    {"abs(a)", kNegSNaN, bits(0x7ff4000000000000)},
    {"+a", kSNaN, bits(kSNaN)},
    {"min(a, 1)", kSNaN, bits(kSNaN)},
    {"max(1, a)", kSNaN, 1.0},
    {"w ? a : 1", kNegSNaN, bits(kNegSNaN)},
    {"pow((w && 1) * a, z)", kSNaN, 1.0},
    {"pow(w ? ceil(a) : sin(b), z)", kSNaN, 1.0},
    {"pow(-a, z)", kNegSNaN, 1.0},
};

TEST(NaNBits, ArithmeticQuietsASignallingNaNAndACopyKeepsIt) {
    TeamSizeGuard guard;
    const size_t n = 4097;
    for (const QuietingCase& c : kQuietingCases) {
        auto program = prepare(compileWith(c.text, {"a", "b", "w", "z"}));
        std::vector<Column> columns{Column(n, bits(c.a)), Column(n, 1.5), Column(n, 1.0), Column(n, 0.0)};
        const double row[] = {bits(c.a), 1.5, 1.0, 0.0};
        std::ostringstream what_stream;
        what_stream << c.text << " of " << std::hex << c.a;
        const std::string what = what_stream.str();
        expectSameBits({evaluateScalar(program->program(), row)}, {c.want}, what + " alone");
        for (KernelLevel level : detail::KERNEL_LEVELS) {
            if (!detail::useKernelLevel(level)) continue;
            Column out(n);
            evaluateParallel(4, BLOCK_SIZE, out.data(), *program, static_cast<int64_t>(n), pointers(columns));
            expectSameBits(out, Column(n, c.want), what + " at " + detail::kernelLevelName());
        }
    }
}


// IEEE division: / and % by a zero of either sign, next to ordinary
// divisors, with dividends of every class (a signalling NaN among them).
const double kDividends[] = {1.0, -1.0, 0.0, -0.0, kInf, -kInf, bits(0x7ff8000000000000), bits(0xfff8000000001234),
                             bits(0x7ff0000000000001), 2.5};
constexpr size_t kDividendCount = std::size(kDividends);
const double kDivisors[] = {0.0, -0.0, 3.0, -0.0, 0.0, kInf, 0.0};
constexpr size_t kDivisorCount = std::size(kDivisors);

std::vector<Column> divisionInputs(size_t n) {
    std::vector<Column> columns = inputs(n);
    for (size_t i = 0; i < n; ++i) {
        columns[0][i] = kDividends[i % kDividendCount];
        columns[1][i] = kDivisors[i / kDividendCount % kDivisorCount];
    }
    return columns;
}

std::vector<std::string> divisionTexts() {
    std::vector<std::string> out;
    for (const std::string op : {"/", "%"}) {
        const std::string e = "a " + op + " b";
        for (const std::string& text : {e, "(" + e + ") * c", "c + (" + e + ")", "w ? " + e + " : c",
                                        "w ? " + e + " : sin(c)", "w ? (" + e + ") * c : c " + op + " 0",
                                        "a " + op + " 0", "a " + op + " -0", "w ? a " + op + " (b - b) : c"})
            out.push_back(text);
    }
    return out;
}

// Every route, level and team size gives the per-element bits, and those
// are C's: a / b as the CPU divides, fmod's NaN.
TEST(NaNBits, IeeeDivisionByZeroGivesCsBitsOnEveryRoute) {
    TeamSizeGuard guard;
    const size_t n = 10'000;
    const std::vector<Column> columns = divisionInputs(n);
    for (const std::string& text : divisionTexts()) {
        auto program = prepare(compileWith(text, {"a", "b", "c", "w"}, DivideMode::IGNORE));
        expectEveryRouteGivesTheElementsBits(program, columns, text, {true, text.size() < 6, {1, 2}});
    }
    for (const char* op : {"/", "%"}) {
        auto program = prepare(compileWith(std::string("a ") + op + " b", {"a", "b"}, DivideMode::IGNORE));
        Column want(n), got(n);
        for (size_t i = 0; i < n; ++i) {
            const double a = columns[0][i], b = columns[1][i];
            want[i] = *op == '/' ? a / b : std::fmod(a, b);
            if (b == 0.0 && *op == '%') {
                ASSERT_TRUE(std::isnan(want[i]));
            }
        }
        evaluateBlock(*program, n, got.data(), pointers({columns[0], columns[1]}).data());
        expectSameBits(got, want, std::string("a ") + op + " b against C");
    }
}

// Folding gives what the evaluators give for the same operands.
TEST(NaNBits, IeeeDivisionFoldsToTheEvaluatorsBits) {
    const char* dividends[] = {"1", "-1", "0", "-0", "1/0", "-1/0", "0/0", "-(0/0)"};
    for (const char* op : {"/", "%"}) {
        const Program run = compileWith(std::string("a ") + op + " b", {"a", "b"}, DivideMode::IGNORE);
        for (const char* dividend : dividends)
            for (const char* divisor : {"0", "-0", "(0*-1)", "2"}) {
                const std::string text = std::string("(") + dividend + ") " + op + " " + divisor;
                const double row[] = {folded(dividend, {}, DivideMode::IGNORE), folded(divisor)};
                expectSameBits({folded(text, {}, DivideMode::IGNORE)}, {evaluateScalar(run, row)}, text);
                if (row[1] == 0.0 && std::string(dividend).find('/') == std::string::npos) {
                    EXPECT_EQ(compileError(text), *op == '/' ? "Division by zero" : "Modulo by zero");
                }
            }
    }
}

}  // namespace
