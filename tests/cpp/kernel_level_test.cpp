// The block route's loops are compiled once per instruction-set level; every
// level this CPU has must give the baseline's bits for every operation, with
// constants on either side, in programs with and without jumps, over lengths
// that end inside and outside a vector and a tile.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"
#include "test_support.h"

using namespace tarnex;
using namespace tarnex::testing_support;

namespace {

using Column = std::vector<double>;
using detail::KernelLevel;

const char* const kOperators[] = {"+", "-", "*", "/", "%", "&", "|", "^", "<<", ">>",
                                  "==", "!=", "<", "<=", ">", ">=", "&&", "||"};

// Every operator between variables and with a constant on either side, every
// built-in, prefix operators, and branches that become whole-block
// operations or keep their jumps.
std::vector<std::string> programs() {
    std::vector<std::string> texts;
    for (const char* op : kOperators) {
        std::string o = op;
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
    for (const std::string& text : programs()) {
        auto program = prepare(compileWith(text, {"a", "b", "c"}));
        for (const std::vector<Instruction>* code : {&program->program().code, &program->program().block_code})
            for (Instruction ins : *code) opcodes_seen.insert(ins.opcode);
        for (size_t n : {1, 7, 1023, 1025, 9000}) {
            std::vector<Column> columns = inputs(n);
            ASSERT_TRUE(detail::useKernelLevel(baseline_level));
            Outcome baseline = run(*program, columns);
            for (KernelLevel level : levels) {
                ASSERT_TRUE(detail::useKernelLevel(level));
                Outcome other = run(*program, columns);
                SCOPED_TRACE(text + " over " + std::to_string(n) + " at " + detail::kernelLevelName());
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

}  // namespace
