// The block route's loops are compiled once per instruction-set level; every
// level this CPU has must give the baseline's bits for every operation, with
// constants on either side, in programs with and without jumps, over lengths
// that end inside and outside a vector and a tile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "test_support.h"
#include "vector_libm_check.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

using Column = std::vector<double>;
using detail::KernelLevel;

// Every operator between variables and with a constant on either side, every
// built-in, prefix operators, and branches that become whole-block
// operations or keep their jumps.
std::vector<std::string> programs() {
    std::vector<std::string> texts;
    for (const std::string& o : binaryOperators()) {
        texts.push_back("a " + o + " b");
        texts.push_back("a " + o + " 3.5");
        texts.push_back("-2 " + o + " b");
        texts.push_back("c ? a " + o + " b : b");
    }
    for (const BuiltinEntry& entry : BUILTIN_TABLE) {
        std::string name(entry.name);
        std::string args = entry.max_args == 1 ? "a" : entry.min_args == 2 ? "a, b" : "a, b, 0.5, c";
        texts.push_back(name + "(" + args + ")");
        texts.push_back("b > 0 ? " + name + "(" + args + ") : c");
    }
    for (const char* text : {"!a", "~b", "-a", "+a", "a", "2.5", "min(a)", "max(3, a)", "pow(2, a)",
                             "(a > b && b < c) || c == a", "a > 0 ? sqrt(a) : -a", "c ? a : b * 2",
                             "((2*a+3)*a-4)*a+5", "a > b ? a / b : c", "c ? (a && b ? 1 : 2) : b % 3"})
        texts.push_back(text);
    return texts;
}

// Those with / or % once more with IEEE division, which the zeros among the
// inputs reach.
std::vector<std::pair<std::string, DivideMode>> programsInEachDivideMode() {
    std::vector<std::pair<std::string, DivideMode>> out;
    for (const std::string& text : programs()) {
        out.emplace_back(text, DivideMode::RAISE);
        if (text.find_first_of("/%") != std::string::npos) out.emplace_back(text, DivideMode::IGNORE);
    }
    return out;
}

std::vector<Column> inputs(size_t n) {
    const double specials[] = {0.0, -0.0, kNaN, -kNaN, std::bit_cast<double>(uint64_t{0x7ff00000000beef1}), kInf, -kInf, 1e19, -1e19, -1.0, 1.0, 2.5, -2.5, 3.0, 0.5,
                               63.0, 64.0, 1e-310, 9223372036854775808.0, 18446744073709549568.0, 7.0, 1e308};
    std::vector<Column> columns(3, Column(n));
    for (size_t i = 0; i < n; ++i)
        for (size_t v = 0; v < 3; ++v) columns[v][i] = specials[(i * (v + 3) + v * 7) % std::size(specials)];
    return columns;
}

struct Outcome {
    std::string error;
    Column out;
};

Outcome run(const PreparedProgram& program, const std::vector<Column>& columns) {
    const int64_t n = static_cast<int64_t>(columns[0].size());
    Outcome outcome{"", Column(columns[0].size())};
    std::vector<const double*> in{columns[0].data(), columns[1].data(), columns[2].data()};
    outcome.error = errorOf([&] { evaluateParallel(3, BLOCK_SIZE, outcome.out.data(), program, n, in); });
    return outcome;
}

class LevelGuard {
public:
    ~LevelGuard() { detail::useKernelLevel(detail::bestKernelLevel()); }
};

TEST(KernelLevels, EveryLevelGivesTheBaselinesBits) {
    LevelGuard guard;
    std::set<uint32_t> opcodes_seen;
    std::vector<KernelLevel> levels;
    const KernelLevel baseline_level = detail::KERNEL_LEVELS[0];
    for (KernelLevel level : detail::KERNEL_LEVELS)
        if (level != baseline_level && detail::useKernelLevel(level)) levels.push_back(level);
    ASSERT_TRUE(detail::useKernelLevel(baseline_level));
    for (const auto& [text, divide] : programsInEachDivideMode()) {
        auto program = prepare(compileWith(text, {"a", "b", "c"}, divide));
        for (const std::vector<Instruction>* code : {&program->program().code, &program->blockCode()})
            for (Instruction ins : *code) opcodes_seen.insert(ins.opcode);
        for (size_t n : {1, 7, 1023, 1025, 9000}) {
            std::vector<Column> columns = inputs(n);
            ASSERT_TRUE(detail::useKernelLevel(baseline_level));
            Outcome baseline = run(*program, columns);
            for (KernelLevel level : levels) {
                ASSERT_TRUE(detail::useKernelLevel(level));
                Outcome other = run(*program, columns);
                SCOPED_TRACE(text + (divide == DivideMode::IGNORE ? " (IEEE division)" : "") + " over " + std::to_string(n) + " at " + detail::kernelLevelName());
                ASSERT_EQ(other.error, baseline.error);
                for (size_t i = 0; i < n && baseline.error.empty(); ++i)
                    ASSERT_TRUE(sameBits(other.out[i], baseline.out[i])) << "element " << i;
            }
        }
    }
    for (uint32_t opcode = 0; opcode < ALL_OPCODE_COUNT; ++opcode)
        EXPECT_TRUE(opcodes_seen.count(opcode)) << opcodeName(opcode) << " never ran";
    std::printf("levels compared with the baseline: %zu\n", levels.size());
}

// The vector exp, log and pow against the loaded libm, category by category:
// the kernels alone, and the block route that uses them.
using detail::VectorLibmFunction;

struct LibmCategory {
    const char* name;
    VectorLibmFunction function;
    std::vector<double> a, b;  // b: pow's exponents
};

std::vector<double> neighbours(std::initializer_list<double> points, int ulps) {
    std::vector<double> out;
    for (double point : points)
        for (int step = -ulps; step <= ulps; ++step)
            out.push_back(std::bit_cast<double>(std::bit_cast<uint64_t>(point) + static_cast<uint64_t>(step)));
    return out;
}

std::vector<double> uniform(uint64_t seed, size_t n, double low, double high) {
    detail::Bits64 random{seed};
    std::vector<double> out(n);
    for (double& x : out) x = random.uniform(low, high);
    return out;
}

std::vector<double> bitPatterns(uint64_t seed, size_t n) {
    detail::Bits64 random{seed};
    std::vector<double> out(n);
    for (double& x : out) x = std::bit_cast<double>(random.next());
    return out;
}

// Every table index of a table-driven log, at exponents from tiny to huge.
std::vector<double> logTableInputs(VectorLibmFunction f) {
    std::vector<double> out;
    for (int index = 0; index < 128; ++index)
        for (int exponent : {-1060, -300, -1, 0, 1, 700, 1000})
            out.push_back(std::ldexp(detail::logTableInput(f, index, 0.5), exponent));
    return out;
}

LibmCategory powPairs(const char* name, const std::vector<double>& xs, const std::vector<double>& ys) {
    LibmCategory category{name, VectorLibmFunction::POW, {}, {}};
    for (double x : xs)
        for (double y : ys) category.a.push_back(x), category.b.push_back(y);
    return category;
}

std::vector<LibmCategory> libmCategories() {
    using enum VectorLibmFunction;
    const double big = 0x1.fffffffffffffp1023, tiny = 0x1p-1074;
    std::vector<LibmCategory> table = {
        {"exp specials", EXP, {0.0, -0.0, 1.0, -1.0, kInf, -kInf, kNaN, -kNaN, big, -big, tiny, -tiny, 1e-310}, {}},
        {"exp overflow, underflow and subnormal results", EXP,
         neighbours({0x1.62e42fefa39efp+9, -0x1.74910d52d3051p+9, -0x1.6232bdd7abcd2p+9, -0x1.6p9, 0x1.fep9}, 40), {}},
        {"exp range ends of the main path", EXP, neighbours({0x1p-54, -0x1p-54, 512.0, -512.0, 1024.0}, 40), {}},
        {"exp every table index", EXP, uniform(11, 4096, -4.0, 4.0), {}},
        {"exp uniform bit patterns", EXP, bitPatterns(12, 4096), {}},
        {"log specials", LOG, {0.0, -0.0, 1.0, -1.0, kInf, -kInf, kNaN, -kNaN, big, tiny, 1e-310, -1e-310}, {}},
        {"log near 1 and its edges", LOG, neighbours({1.0, 1.0 - 0x1p-4, 1.0 + 0x1.09p-4}, 60), {}},
        {"log subnormal and huge", LOG, neighbours({0x1p-1022, 0x1p-1060, big}, 30), {}},
        {"log every table index", LOG, logTableInputs(LOG), {}},
        {"log uniform bit patterns", LOG, bitPatterns(13, 4096), {}},
        powPairs("pow specials", {0.0, -0.0, 1.0, -1.0, kInf, -kInf, kNaN, 2.0, -2.0, 0.5, -0.5, 1e-310, -1e-310, big},
                 {0.0, -0.0, 1.0, -1.0, 2.0, -3.0, 0.5, kInf, -kInf, kNaN, 0x1p-70, 0x1p64, 0x1p53 - 1}),
        powPairs("pow negative bases", uniform(14, 64, -8.0, 0.0),
                 {-7.0, -2.0, 2.0, 3.0, 31.0, 1e17, 0.5, -2.5, 0x1p-1074, 0x1p52 + 0.5}),
        powPairs("pow overflow and underflow", {2.0, 0.5, 10.0}, neighbours({1024.0, -1022.0, -1074.0, 308.0}, 20)),
        powPairs("pow exponents at the main path's ends", {1.5, 0.75}, neighbours({0x1p-65, -0x1p-65, 0x1p63}, 20)),
        powPairs("pow every table index", logTableInputs(POW), {2.5, -0.7}),
        powPairs("pow uniform", uniform(15, 96, 0.0, 3.0), uniform(16, 40, -40.0, 40.0)),
    };
    return table;
}

bool onVectorLevel() { return detail::bestKernelLevel() == KernelLevel::X86_64_V4; }

TEST(VectorLibm, KernelsGiveTheLibmsBitsInEveryCategory) {
    if (!onVectorLevel()) GTEST_SKIP() << "CPU below x86-64-v4";
    for (const LibmCategory& category : libmCategories()) {
        const std::vector<double>& b = category.b.empty() ? category.a : category.b;
        Column out(category.a.size());
        ASSERT_TRUE(detail::evaluateVectorLibm(category.function, out.size(), out.data(), category.a.data(), b.data()));
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_TRUE(sameBits(out[i], detail::libmValue(category.function, category.a[i], b[i])))
                << category.name << ": " << detail::vectorLibmName(category.function) << "(" << category.a[i] << ", "
                << b[i] << ") gave " << out[i];
    }
}

// The block route with the kernels: every form of pow, lengths that end inside
// a vector, and a result written over its own input.
TEST(VectorLibm, BlockRouteGivesTheLibmsBits) {
    detail::redecideVectorLibm(nullptr);
    const Column a = uniform(21, 1027, -30.0, 30.0), b = uniform(22, 1027, 0.0, 5.0);
    const std::vector<std::pair<std::string, std::function<double(double, double)>>> cases = {
        {"exp(a)", [](double x, double) { return std::exp(x); }},
        {"log(b)", [](double, double y) { return std::log(y); }},
        {"log(a)", [](double x, double) { return std::log(x); }},
        {"pow(b, a)", [](double x, double y) { return std::pow(y, x); }},
        // Through the libm itself: GCC would turn a pow(x, 2.0) of its own into x * x.
        {"pow(a, 2)", [](double x, double) { return detail::libmValue(VectorLibmFunction::POW, x, 2.0); }},
        {"pow(2.5, a)", [](double x, double) { return detail::libmValue(VectorLibmFunction::POW, 2.5, x); }},
        // Half the bases negative, most exponents no integer: NaNs given apart
        // from the lanes computed.
        {"pow(a, b)", [](double x, double y) { return std::pow(x, y); }},
        {"pow(a, 0.5)", [](double x, double) { return detail::libmValue(VectorLibmFunction::POW, x, 0.5); }},
        {"pow(-2.5, a)", [](double x, double) { return detail::libmValue(VectorLibmFunction::POW, -2.5, x); }},
        {"exp(-a*a)+log(b+1)", [](double x, double y) { return std::exp(-x * x) + std::log(y + 1); }},
    };
    for (const auto& [text, libm] : cases)
        for (size_t n : {1, 8, 13, 1027}) {
            auto program = prepare(compileWith(text, {"a", "b"}));
            Column out(n);
            std::vector<const double*> in{a.data(), b.data()};
            evaluateParallel(2, BLOCK_SIZE, out.data(), *program, static_cast<int64_t>(n), in);
            for (size_t i = 0; i < n; ++i)
                ASSERT_TRUE(sameBits(out[i], libm(a[i], b[i]))) << text << " element " << i << " of " << n;
        }
    for (const auto& [text, libm] : cases) {
        if (text.find('b') != std::string::npos) continue;
        Column in_place(a.begin(), a.end());
        auto program = prepare(compileWith(text, {"a"}));
        std::vector<const double*> in{in_place.data()};
        evaluateParallel(1, BLOCK_SIZE, in_place.data(), *program, static_cast<int64_t>(in_place.size()), in);
        for (size_t i = 0; i < a.size(); ++i)
            ASSERT_TRUE(sameBits(in_place[i], libm(a[i], 0.0))) << text << " in place, element " << i;
    }
}

TEST(VectorLibm, GuardAllowsOnlyAListedBuild) {
    const detail::VectorLibmDecision own = detail::vectorLibmDecision(VectorLibmFunction::EXP);
    std::printf("libm build-id %s: vector kernels %s (%s)\n", detail::loadedLibmBuildId(), own.used ? "used" : "not used",
                own.reason);
    // A listed build that the kernels disagree with is a fault of the kernels or of the check.
    for (VectorLibmFunction f : {VectorLibmFunction::EXP, VectorLibmFunction::LOG, VectorLibmFunction::POW})
        EXPECT_STRNE(detail::vectorLibmDecision(f).reason, "self-check disagrees with libm")
            << detail::vectorLibmName(f);
    detail::redecideVectorLibm("0123456789abcdef0123456789abcdef01234567");
    for (VectorLibmFunction f : {VectorLibmFunction::EXP, VectorLibmFunction::LOG, VectorLibmFunction::POW}) {
        const detail::VectorLibmDecision decision = detail::vectorLibmDecision(f);
        EXPECT_FALSE(decision.used) << detail::vectorLibmName(f);
        EXPECT_STREQ(decision.reason, onVectorLevel() ? "libm build not verified" : "CPU below x86-64-v4");
    }
    auto program = prepare(compileWith("pow(a, b) + exp(a) + log(b)", {"a", "b"}));
    const Column a = uniform(31, 5000, -3.0, 3.0), b = uniform(32, 5000, 0.0, 3.0);
    Column out(a.size());
    std::vector<const double*> in{a.data(), b.data()};
    evaluateParallel(2, BLOCK_SIZE, out.data(), *program, static_cast<int64_t>(a.size()), in);
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_TRUE(sameBits(out[i], std::pow(a[i], b[i]) + std::exp(a[i]) + std::log(b[i]))) << "element " << i;
    detail::redecideVectorLibm(nullptr);
    EXPECT_EQ(detail::vectorLibmDecision(VectorLibmFunction::LOG).used, own.used);
}

// GLIBC_TUNABLES can hide AVX2 and FMA from glibc, which then picks its libm
// variant without FMA while our dispatch still sees x86-64-v4. In such a
// process (the test binary run again) the self-check must refuse every
// kernel, and the results must be that libm's.
TEST(VectorLibm, GuardRefusesTheLibmWithoutFma) {
    if (!onVectorLevel()) GTEST_SKIP() << "CPU below x86-64-v4";
    const std::string command =
        "GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA TARNEX_VECTOR_LIBM_CHILD=1 /proc/" + std::to_string(getpid()) +
        "/exe --gtest_filter=VectorLibm.RefusalInsideAProcessWithoutFma 2>&1";
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[4096];
    while (size_t got = std::fread(buffer, 1, sizeof buffer, child)) output.append(buffer, got);
    EXPECT_EQ(pclose(child), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    size_t refusals = 0;
    for (size_t at = output.find("refused: self-check disagrees with libm"); at != std::string::npos;
         at = output.find("refused: self-check disagrees with libm", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, 3u) << output;
}

TEST(VectorLibm, RefusalInsideAProcessWithoutFma) {
    if (!std::getenv("TARNEX_VECTOR_LIBM_CHILD")) GTEST_SKIP() << "runs inside GuardRefusesTheLibmWithoutFma";
    // This libm differs from the kernels on the check set's variant inputs.
    const detail::CheckSet set = detail::vectorLibmCheckSet(VectorLibmFunction::EXP);
    Column vector(set.a.size());
    ASSERT_TRUE(detail::evaluateVectorLibm(VectorLibmFunction::EXP, vector.size(), vector.data(), set.a.data(), set.b.data()));
    size_t differing = 0;
    for (size_t i = 0; i < vector.size(); ++i) differing += !sameBits(vector[i], std::exp(set.a[i]));
    EXPECT_GT(differing, 0u);
    for (VectorLibmFunction f : {VectorLibmFunction::EXP, VectorLibmFunction::LOG, VectorLibmFunction::POW}) {
        const detail::VectorLibmDecision decision = detail::vectorLibmDecision(f);
        EXPECT_FALSE(decision.used);
        std::printf("%s refused: %s\n", detail::vectorLibmName(f), decision.reason);
    }
    auto program = prepare(compileWith("exp(a) + log(b) + pow(b, a)", {"a", "b"}));
    const Column a = set.a, b = uniform(41, set.a.size(), 0.0, 3.0);
    Column out(a.size());
    std::vector<const double*> in{a.data(), b.data()};
    evaluateParallel(2, BLOCK_SIZE, out.data(), *program, static_cast<int64_t>(a.size()), in);
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_TRUE(sameBits(out[i], std::exp(a[i]) + std::log(b[i]) + std::pow(b[i], a[i]))) << "element " << i;
}

}  // namespace
