#include "cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <latch>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "tarnex/engine.h"

// Counts the calling thread's allocations while a test asks for it. The
// replacement pairs malloc with free, which GCC cannot see through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local bool counting_allocations = false;
thread_local int allocations = 0;
}  // namespace

void* operator new(size_t size) {
    if (counting_allocations) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace tarnex {
namespace {

struct HashCase {
    ProgramKey key;
    uint64_t expected;
};

TEST(ProgramKeyHash, WorkedValues) {
    const HashCase cases[] = {
        {{"abc", {}}, 0xe71fa2190541574bull},  // plain FNV-1a of the text
        {{"abc", {"x"}}, 0xa8547fd493b3ece5ull},
        {{"abc", {"x", "y"}}, 0x2484fcf484872907ull},
        {{"abc", {"y", "x"}}, 0x24843d348486d478ull},  // order matters
        {{"abc", {}, DivideMode::IGNORE}, 0x7928dba07a0b2b5eull},  // the text's, xor the golden ratio
    };
    for (const HashCase& c : cases) {
        SCOPED_TRACE(c.key.names.size());
        EXPECT_EQ(ProgramKeyHash{}(c.key), c.expected);
        const std::vector<std::string_view> views(c.key.names.begin(), c.key.names.end());
        EXPECT_EQ(ProgramKeyHash{}(ProgramKeyView{c.key.expr, views, c.key.divide}), c.expected);  // what a hit looks up
    }
}

std::vector<std::string_view> viewsOf(const std::vector<std::string>& names) {
    return {names.begin(), names.end()};
}

using Compiler = std::function<Program(std::string_view, const std::vector<std::string_view>&)>;

// What the module does with views made from `names`: a hit, or compiling
// (with `compiler` if given), preparing and inserting the program.
std::shared_ptr<const PreparedProgram> lookUp(ProgramCache& cache, const std::string& expr, const std::vector<std::string>& names,
                                const Compiler& compiler = {}, DivideMode divide = DivideMode::RAISE) {
    const std::vector<std::string_view> views = viewsOf(names);
    if (auto found = cache.find(expr, views, divide)) return found;
    Program program = compiler ? compiler(expr, views) : compile(expr, views, divide);
    return cache.insert(expr, views, prepare(std::move(program)), divide);
}

// A compiler that counts its compilations in `compiles`.
Compiler countingCompiler(int& compiles) {
    return [&compiles](std::string_view text, const std::vector<std::string_view>& names) {
        ++compiles;
        return compile(text, names);
    };
}

TEST(ProgramCache, HitReturnsTheStoredProgramWithoutCompiling) {
    int compiles = 0;
    const Compiler counted = countingCompiler(compiles);
    ProgramCache cache;
    auto first = lookUp(cache, "a*2 + sin(b)", {"a", "b"}, counted);
    auto second = lookUp(cache, "a*2 + sin(b)", {"a", "b"}, counted);
    EXPECT_EQ(first, second);
    EXPECT_EQ(compiles, 1);
    EXPECT_EQ(first->program().var_names, (std::vector<std::string>{"a", "b"}));
}

struct KeyPair {
    const char* what;
    std::string expr_a;
    std::vector<std::string> names_a;
    std::string expr_b;
    std::vector<std::string> names_b;
    DivideMode divide_a = DivideMode::RAISE;
    DivideMode divide_b = DivideMode::RAISE;
};

std::vector<uint32_t> opcodesOf(const PreparedProgram& prepared) {
    std::vector<uint32_t> opcodes;
    for (Instruction ins : prepared.program().code) opcodes.push_back(ins.opcode);
    return opcodes;
}

TEST(ProgramCache, KeysDifferingInAnyByteAreSeparateEntries) {
    const KeyPair pairs[] = {
        {"name order", "a-b", {"a", "b"}, "a-b", {"b", "a"}},
        {"name case", "a", {"a"}, "a", {"A"}},
        {"text case", "sin(1)", {}, "SIN(1)", {}},
        {"spaces", "1+2", {}, "1 + 2", {}},
        {"unused extra name", "1", {}, "1", {"x"}},
        {"divide mode", "a / 0", {"a"}, "a / 0", {"a"}, DivideMode::RAISE, DivideMode::IGNORE},
        {"divide mode, the other first", "a % b", {"a", "b"}, "a % b", {"a", "b"}, DivideMode::IGNORE},
    };
    for (const KeyPair& p : pairs) {
        SCOPED_TRACE(p.what);
        ProgramCache cache;
        auto a = lookUp(cache, p.expr_a, p.names_a, {}, p.divide_a);
        auto b = lookUp(cache, p.expr_b, p.names_b, {}, p.divide_b);
        EXPECT_NE(a, b);
        EXPECT_EQ(cache.size(), 2u);
        EXPECT_EQ(lookUp(cache, p.expr_a, p.names_a, {}, p.divide_a), a);
        EXPECT_EQ(lookUp(cache, p.expr_b, p.names_b, {}, p.divide_b), b);
        EXPECT_EQ(opcodesOf(*a) == opcodesOf(*b), p.divide_a == p.divide_b);
    }
}

TEST(ProgramCache, ReorderedNamesGetTheirOwnVariableIndices) {
    ProgramCache cache;
    auto ab = lookUp(cache, "a-b", {"a", "b"});
    auto ba = lookUp(cache, "a-b", {"b", "a"});
    EXPECT_EQ(ab->program().var_index.at("a"), 0u);
    EXPECT_EQ(ba->program().var_index.at("a"), 1u);
}

struct FailureCase {
    std::string expr;
    std::vector<std::string> names;
    const char* message;
};

TEST(ProgramCache, CompileErrorsPassThroughAndAreNeverStored) {
    const FailureCase cases[] = {
        {"1+", {}, "Parse error"},
        {"x", {}, "Unknown id/variable"},
        {"a $ b", {"a", "b"}, "Lexer error: Unknown character"},
        {"1/0", {}, "Division by zero"},
        {"nope(a)", {"a"}, "Unknown func"},
    };
    ProgramCache cache;
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.expr);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                lookUp(cache, c.expr, c.names);
                ADD_FAILURE() << "no exception";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), c.message);
            }
        }
    }
    EXPECT_EQ(cache.size(), 0u);
}

TEST(ProgramCache, FailedKeyCompilesAgainOnTheNextCall) {
    int compiles = 0;
    const Compiler transient = [&](std::string_view text, const std::vector<std::string_view>& names) {
        if (++compiles == 1) throw std::runtime_error("transient");
        return compile(text, names);
    };
    ProgramCache cache;
    EXPECT_THROW(lookUp(cache, "a+1", {"a"}, transient), std::runtime_error);
    EXPECT_EQ(cache.size(), 0u);
    auto stored = lookUp(cache, "a+1", {"a"}, transient);
    EXPECT_EQ(lookUp(cache, "a+1", {"a"}, transient), stored);
    EXPECT_EQ(compiles, 2);
    EXPECT_EQ(cache.size(), 1u);
}

// A second caller misses while the first is still compiling, stores its own
// program first, and the slower first caller must return that stored one.
TEST(ProgramCache, FirstInsertionWins) {
    std::atomic<int> compiles = 0;
    std::latch slow_is_compiling(1);
    std::latch release_slow(1);
    const Compiler paced = [&](std::string_view, const std::vector<std::string_view>&) {
        const int call = ++compiles;
        if (call == 1) {
            slow_is_compiling.count_down();
            release_slow.wait();
        }
        Program program;
        program.constants = {static_cast<double>(call)};
        return program;
    };
    ProgramCache cache;

    std::shared_ptr<const PreparedProgram> from_slow;
    std::thread slow([&] { from_slow = lookUp(cache, "k", {}, paced); });
    slow_is_compiling.wait();
    auto from_fast = lookUp(cache, "k", {}, paced);
    release_slow.count_down();
    slow.join();

    EXPECT_EQ(compiles.load(), 2);
    EXPECT_EQ(from_fast->program().constants, std::vector<double>{2.0});
    EXPECT_EQ(from_slow, from_fast);
    EXPECT_EQ(cache.size(), 1u);
}

// Runs work(t) for t in [0, threads) on as many threads, started together.
void onThreads(int threads, const std::function<void(int)>& work) {
    std::latch start(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            start.arrive_and_wait();
            work(t);
        });
    }
    for (std::thread& thread : running) thread.join();
}

TEST(ProgramCache, ConcurrentCallersAgreeOnEveryKey) {
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 200;
    const std::vector<std::string> exprs = {"a+b", "a*b+1", "sin(a)-b", "a>b ? a : b"};
    const std::vector<std::string> names = {"a", "b"};
    ProgramCache cache;
    std::vector<std::vector<const PreparedProgram*>> seen(THREADS, std::vector<const PreparedProgram*>(exprs.size()));
    onThreads(THREADS, [&](int t) {
        for (int round = 0; round < ROUNDS; ++round) {
            const size_t e = static_cast<size_t>(round + t) % exprs.size();
            const PreparedProgram* program = lookUp(cache, exprs[e], names).get();
            if (seen[t][e] == nullptr) seen[t][e] = program;
            EXPECT_EQ(seen[t][e], program);
        }
    });
    for (int t = 1; t < THREADS; ++t) EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(cache.size(), exprs.size());
}

TEST(ProgramCache, HitAllocatesNothing) {
    const std::string expr = "long_variable_name_one * 2 + long_variable_name_two / 3 - 1";
    const std::vector<std::string> names = {"long_variable_name_one", "long_variable_name_two"};
    const std::vector<std::string_view> views = viewsOf(names);
    ProgramCache cache;
    auto stored = lookUp(cache, expr, names);
    counting_allocations = true;
    auto hit = cache.find(expr, views);
    counting_allocations = false;
    EXPECT_EQ(hit, stored);
    EXPECT_EQ(allocations, 0);
}

// Budgets below are in units of one entry of this shape, so eviction
// tests do not depend on the exact byte accounting.
size_t entryBytes(const std::string& expr) {
    ProgramCache probe;
    lookUp(probe, expr, {"a"});
    return probe.bytes();
}

std::string keyText(int k) { return "a + " + std::to_string(100 + k); }

TEST(ProgramCache, LeastRecentlyUsedEntriesGoFirst) {
    std::vector<std::string> compiled;
    const Compiler noted = [&](std::string_view text, const std::vector<std::string_view>& names) {
        compiled.emplace_back(text);
        return compile(text, names);
    };
    ProgramCache cache(3 * entryBytes(keyText(0)));
    for (int k : {0, 1, 2, 0, 3}) lookUp(cache, keyText(k), {"a"}, noted);  // 0 is touched before 3 comes
    EXPECT_EQ(cache.size(), 3u);
    compiled.clear();
    for (int k : {0, 2, 3}) lookUp(cache, keyText(k), {"a"}, noted);
    EXPECT_TRUE(compiled.empty()) << compiled.front();
    lookUp(cache, keyText(1), {"a"}, noted);  // evicted, so compiled again
    EXPECT_EQ(compiled, std::vector<std::string>{keyText(1)});
}

TEST(ProgramCache, RecentlyUsedProgramSurvivesAFlood) {
    int compiles = 0;
    const Compiler counted = countingCompiler(compiles);
    ProgramCache cache(10 * entryBytes(keyText(0)));
    auto hot = lookUp(cache, "a * 2", {"a"}, counted);
    for (int k = 0; k < 1000; ++k) {
        lookUp(cache, keyText(k), {"a"}, counted);
        if (k % 5 == 0) {
            EXPECT_EQ(lookUp(cache, "a * 2", {"a"}, counted), hot) << k;
        }
    }
    EXPECT_EQ(compiles, 1001);
    EXPECT_LE(cache.bytes(), 10 * entryBytes(keyText(0)));
}

TEST(ProgramCache, BytesCountTextNamesAndProgram) {
    const std::string long_name(1000, 'n');
    std::string sum = long_name;
    for (int i = 0; i < 9999; ++i) sum += " + " + long_name;  // 10 MB of text, 20,000 instructions
    ProgramCache cache;
    lookUp(cache, sum, {long_name});
    const size_t held = sum.size() + 2 * long_name.size() + 20000 * sizeof(Instruction);
    EXPECT_GE(cache.bytes(), held);
    // the code may hold twice its length, and its plan about a step of 64 bytes per addition
    EXPECT_LT(cache.bytes(), held + 20000 * sizeof(Instruction) + 10000 * 64 + 4096);
}

TEST(ProgramCache, ProgramLargerThanTheBudgetIsReturnedButNotStored) {
    int compiles = 0;
    const Compiler counted = countingCompiler(compiles);
    ProgramCache cache(entryBytes(keyText(0)));
    auto small = lookUp(cache, keyText(0), {"a"}, counted);
    const std::string big = "a * 2 + 1 + a * 3";
    auto first = lookUp(cache, big, {"a"}, counted);
    auto second = lookUp(cache, big, {"a"}, counted);
    EXPECT_EQ(first->program().var_names, std::vector<std::string>{"a"});
    EXPECT_NE(first, second);
    EXPECT_EQ(compiles, 3);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(lookUp(cache, keyText(0), {"a"}), small);
}

// Every thread checks each program it gets against its text while the
// others hit, miss and evict on a budget of a few entries.
TEST(ProgramCache, ConcurrentHitsMissesAndEvictionsGetTheRightPrograms) {
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 2000;
    const size_t budget = 16 * entryBytes(keyText(0));
    ProgramCache cache(budget);
    onThreads(THREADS, [&](int t) {
        for (int round = 0; round < ROUNDS; ++round) {
            const int k = (round * 7 + t) % 64;
            auto program = lookUp(cache, keyText(k), {"a"});
            ASSERT_EQ(program->program().constants, std::vector<double>{100.0 + k}) << keyText(k);
        }
    });
    EXPECT_LE(cache.bytes(), budget);
    EXPECT_LE(cache.size(), 16u);
}

}  // namespace
}  // namespace tarnex
