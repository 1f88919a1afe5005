#include "cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <thread>

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
    };
    for (const HashCase& c : cases) {
        SCOPED_TRACE(c.key.names.size());
        EXPECT_EQ(ProgramKeyHash{}(c.key), c.expected);
    }
}

std::vector<std::string_view> viewsOf(const std::vector<std::string>& names) {
    return {names.begin(), names.end()};
}

// Calls getOrCompile with views made from `names`, as the module does.
std::shared_ptr<Program> lookUp(ProgramCache& cache, const std::string& expr, const std::vector<std::string>& names) {
    return cache.getOrCompile(expr, viewsOf(names), names);
}

TEST(ProgramCache, HitReturnsTheStoredProgramWithoutCompiling) {
    int compiles = 0;
    ProgramCache cache([&](std::string_view text, const std::vector<std::string_view>& names) {
        ++compiles;
        return compile(text, names);
    });
    auto first = lookUp(cache, "a*2 + sin(b)", {"a", "b"});
    auto second = lookUp(cache, "a*2 + sin(b)", {"a", "b"});
    EXPECT_EQ(first, second);
    EXPECT_EQ(compiles, 1);
    EXPECT_EQ(first->var_names, (std::vector<std::string>{"a", "b"}));
}

struct KeyPair {
    const char* what;
    std::string expr_a;
    std::vector<std::string> names_a;
    std::string expr_b;
    std::vector<std::string> names_b;
};

TEST(ProgramCache, KeysDifferingInAnyByteAreSeparateEntries) {
    const KeyPair pairs[] = {
        {"name order", "a-b", {"a", "b"}, "a-b", {"b", "a"}},
        {"name case", "a", {"a"}, "a", {"A"}},
        {"text case", "sin(1)", {}, "SIN(1)", {}},
        {"spaces", "1+2", {}, "1 + 2", {}},
        {"unused extra name", "1", {}, "1", {"x"}},
    };
    for (const KeyPair& p : pairs) {
        SCOPED_TRACE(p.what);
        ProgramCache cache;
        auto a = lookUp(cache, p.expr_a, p.names_a);
        auto b = lookUp(cache, p.expr_b, p.names_b);
        EXPECT_NE(a, b);
        EXPECT_EQ(cache.size(), 2u);
        EXPECT_EQ(lookUp(cache, p.expr_a, p.names_a), a);
        EXPECT_EQ(lookUp(cache, p.expr_b, p.names_b), b);
    }
}

TEST(ProgramCache, ReorderedNamesGetTheirOwnVariableIndices) {
    ProgramCache cache;
    auto ab = lookUp(cache, "a-b", {"a", "b"});
    auto ba = lookUp(cache, "a-b", {"b", "a"});
    EXPECT_EQ(ab->var_index.at("a"), 0u);
    EXPECT_EQ(ba->var_index.at("a"), 1u);
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
    ProgramCache cache([&](std::string_view text, const std::vector<std::string_view>& names) {
        if (++compiles == 1) throw std::runtime_error("transient");
        return compile(text, names);
    });
    EXPECT_THROW(lookUp(cache, "a+1", {"a"}), std::runtime_error);
    EXPECT_EQ(cache.size(), 0u);
    auto stored = lookUp(cache, "a+1", {"a"});
    EXPECT_EQ(lookUp(cache, "a+1", {"a"}), stored);
    EXPECT_EQ(compiles, 2);
    EXPECT_EQ(cache.size(), 1u);
}

// A second caller misses while the first is still compiling, stores its own
// program first, and the slower first caller must return that stored one.
TEST(ProgramCache, FirstInsertionWins) {
    std::atomic<int> compiles = 0;
    std::latch slow_is_compiling(1);
    std::latch release_slow(1);
    ProgramCache cache([&](std::string_view, const std::vector<std::string_view>&) {
        const int call = ++compiles;
        if (call == 1) {
            slow_is_compiling.count_down();
            release_slow.wait();
        }
        Program program;
        program.constants = {static_cast<double>(call)};
        return program;
    });

    std::shared_ptr<Program> from_slow;
    std::thread slow([&] { from_slow = lookUp(cache, "k", {}); });
    slow_is_compiling.wait();
    auto from_fast = lookUp(cache, "k", {});
    release_slow.count_down();
    slow.join();

    EXPECT_EQ(compiles.load(), 2);
    EXPECT_EQ(from_fast->constants, std::vector<double>{2.0});
    EXPECT_EQ(from_slow, from_fast);
    EXPECT_EQ(cache.size(), 1u);
}

TEST(ProgramCache, ConcurrentCallersAgreeOnEveryKey) {
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 200;
    const std::vector<std::string> exprs = {"a+b", "a*b+1", "sin(a)-b", "a>b ? a : b"};
    const std::vector<std::string> names = {"a", "b"};
    ProgramCache cache;
    std::vector<std::vector<Program*>> seen(THREADS, std::vector<Program*>(exprs.size()));
    std::latch start(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < ROUNDS; ++round) {
                const size_t e = static_cast<size_t>(round + t) % exprs.size();
                Program* program = lookUp(cache, exprs[e], names).get();
                if (seen[t][e] == nullptr) seen[t][e] = program;
                EXPECT_EQ(seen[t][e], program);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 1; t < THREADS; ++t) EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(cache.size(), exprs.size());
}

}  // namespace
}  // namespace tarnex
