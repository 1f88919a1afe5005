// Elements per second of the engine next to hand-written loops of the same
// instruction-set level doing the same arithmetic; the floors that bound the
// rest (a fresh result at 10^7 elements, the bare library call); and the
// memory a thread keeps resident after an evaluation.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hand_loops.h"
#include "tarnex/engine.h"
#include "worker_pool.h"

using namespace tarnex;

namespace {

using Inputs = std::vector<std::vector<double>>;

struct Workload {
    const char* text;
    bool library_bound;
};

// In the order of bench::HandLoops::loops.
const Workload WORKLOADS[] = {
    {"a+b", false},
    {"a*b+c", false},
    {"((2*a+3)*a-4)*a+5", false},
    {"a/(b+1)", false},
    {"sqrt(a*a+b*b)", false},
    {"sin(a)*cos(b)+sqrt(c)", true},
    {"a > b ? a - b : b*c", false},
    {"(a > 0 && b < 0.5) || c > 0.9", false},
    {"sin(a)", true},
};

// In the order of the levels.
const bench::HandLoops& (*const HAND_LOOPS[])() = {
#define BENCH_HAND_LOOPS_ROW(name, upper, check) &bench::name##HandLoops,
    TARNEX_KERNEL_LEVELS(BENCH_HAND_LOOPS_ROW)
#undef BENCH_HAND_LOOPS_ROW
};

const bench::HandLoops& handLoopsOfTheEngine() {
    return HAND_LOOPS[static_cast<size_t>(detail::bestKernelLevel())]();
}

Inputs randomInputs(int64_t n) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> dist(0.5, 2.0);
    Inputs in(3, std::vector<double>(static_cast<size_t>(n)));
    for (auto& column : in)
        for (double& v : column) v = dist(rng);
    return in;
}

// Best of seven batches, each long enough to time reliably; elements per second.
template <class Run>
double throughput(int64_t n, Run&& run) {
    using Clock = std::chrono::steady_clock;
    run();  // warm-up: scratch, threads, caches
    int reps = 1;
    for (;;) {
        auto start = Clock::now();
        for (int r = 0; r < reps; ++r) run();
        if (Clock::now() - start > std::chrono::milliseconds(20)) break;
        reps *= 2;
    }
    double best = 1e300;
    for (int batch = 0; batch < 7; ++batch) {
        auto start = Clock::now();
        for (int r = 0; r < reps; ++r) run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count() / reps);
    }
    return static_cast<double>(n) / best;
}

// The hand loop's blocks, as the engine's worker pool runs them.
class HandJob final : public detail::BlockJob {
public:
    HandJob(bench::HandLoop loop, int64_t n, const std::vector<const double*>& in, double* out)
        : loop_(loop), n_(n), in_(in), out_(out) {}
    void run(int64_t block) noexcept override {
        const int64_t start = block * BLOCK_SIZE;
        loop_(start, std::min(n_, start + BLOCK_SIZE), in_[0], in_[1], in_[2], out_);
    }

private:
    bench::HandLoop loop_;
    int64_t n_;
    const std::vector<const double*>& in_;
    double* out_;
};

// The hand loop on the engine's worker pool, with the engine's block size and
// the team the engine would open for `program` over n elements.
void runHand(bench::HandLoop loop, const PreparedProgram& program, int64_t n, const std::vector<const double*>& in,
             double* out) {
    HandJob job(loop, n, in, out);
    const int helpers = detail::opensThreadTeam(program, n) ? threadCount() - 1 : 0;
    detail::runBlocks(job, (n + BLOCK_SIZE - 1) / BLOCK_SIZE, helpers);
}

void printThroughputTable() {
    const bench::HandLoops& hand = handLoopsOfTheEngine();
    std::printf("kernels: %s; hand loops: %s\n", detail::kernelLevelName(), hand.level);
    std::printf("%-32s %10s %7s %13s %13s %9s\n", "expression", "elements", "threads", "engine Mel/s", "hand Mel/s",
                "eng/hand");
    for (int64_t n : {int64_t{10'000}, int64_t{100'000}, int64_t{10'000'000}}) {
        Inputs in = randomInputs(n);
        std::vector<const double*> ptrs{in[0].data(), in[1].data(), in[2].data()};
        std::vector<double> out(static_cast<size_t>(n));
        for (size_t w = 0; w < std::size(WORKLOADS); ++w) {
            auto program = prepare(compile(WORKLOADS[w].text, {"a", "b", "c"}));
            for (int threads : {1, 2}) {
                setThreadCount(threads);
                double engine = throughput(n, [&] { evaluateParallel(3, BLOCK_SIZE, out.data(), *program, n, ptrs); });
                double loop = throughput(n, [&] { runHand(hand.loops[w], *program, n, ptrs, out.data()); });
                std::printf("%-32s %10lld %7d %13.1f %13.1f %9.2f\n", WORKLOADS[w].text, static_cast<long long>(n),
                            threads, engine / 1e6, loop / 1e6, engine / loop);
            }
        }
    }
}

// At 10^7 elements memory bandwidth bounds everything: the floor is the hand
// loop on two threads writing a result allocated afresh for every call, as
// query's result is.
void printFreshResultFloor() {
    const bench::HandLoops& hand = handLoopsOfTheEngine();
    const int64_t n = 10'000'000;
    Inputs in = randomInputs(n);
    std::vector<const double*> ptrs{in[0].data(), in[1].data(), in[2].data()};
    setThreadCount(2);
    std::printf("\n10^7 elements, two threads, a fresh result each call (ms per call)\n");
    std::printf("%-32s %10s %10s %9s\n", "expression", "engine", "floor", "eng/floor");
    for (size_t w = 0; w < std::size(WORKLOADS); ++w) {
        if (WORKLOADS[w].library_bound) continue;
        auto program = prepare(compile(WORKLOADS[w].text, {"a", "b", "c"}));
        auto fresh = [&](auto&& fill) {
            std::unique_ptr<double[]> out(new double[static_cast<size_t>(n)]);
            fill(out.get());
        };
        double engine = throughput(n, [&] {
            fresh([&](double* out) { evaluateParallel(3, BLOCK_SIZE, out, *program, n, ptrs); });
        });
        double floor = throughput(n, [&] { fresh([&](double* out) { runHand(hand.loops[w], *program, n, ptrs, out); }); });
        std::printf("%-32s %10.2f %10.2f %9.2f\n", WORKLOADS[w].text, n / engine * 1e3, n / floor * 1e3,
                    floor / engine);
    }
}

// Library-bound rows: one thread, in cache, against the bare library loop.
void printLibraryFloor() {
    const bench::HandLoops& hand = handLoopsOfTheEngine();
    const int64_t n = 100'000;
    Inputs in = randomInputs(n);
    std::vector<const double*> ptrs{in[0].data(), in[1].data(), in[2].data()};
    std::vector<double> out(static_cast<size_t>(n));
    setThreadCount(1);
    std::printf("\nlibrary-bound rows, one thread, 10^5 elements (ns per element)\n");
    std::printf("%-32s %10s %10s %9s\n", "expression", "engine", "libm loop", "eng/floor");
    for (size_t w = 0; w < std::size(WORKLOADS); ++w) {
        if (!WORKLOADS[w].library_bound) continue;
        auto program = prepare(compile(WORKLOADS[w].text, {"a", "b", "c"}));
        double engine = throughput(n, [&] { evaluateParallel(3, BLOCK_SIZE, out.data(), *program, n, ptrs); });
        double floor = throughput(n, [&] { hand.loops[w](0, n, ptrs[0], ptrs[1], ptrs[2], out.data()); });
        std::printf("%-32s %10.2f %10.2f %9.2f\n", WORKLOADS[w].text, 1e9 / engine, 1e9 / floor, floor / engine);
    }
}

// The block route's exp, log and pow with the vector kernels and with the
// libm per element (the guard told to refuse), one thread (a team on this
// shared machine measures the neighbours), alternating.
void printVectorLibm() {
    const detail::VectorLibmDecision decision = detail::vectorLibmDecision(detail::VectorLibmFunction::EXP);
    std::printf("\nvector exp, log and pow (%s: %s), one thread (ns per element)\n",
                decision.used ? "used" : "not used", decision.reason);
    std::printf("%-32s %10s %10s %10s %9s\n", "expression", "elements", "vector", "libm", "libm/vec");
    setThreadCount(1);
    for (const char* text : {"exp(a)", "log(b)", "pow(a, b)", "pow(a, 2)", "exp(-a*a)+log(abs(b)+1)"}) {
        auto program = prepare(compile(text, {"a", "b", "c"}));
        for (int64_t n : {int64_t{1'000}, int64_t{10'000}, int64_t{100'000}, int64_t{1'000'000}}) {
            Inputs in = randomInputs(n);
            std::vector<const double*> ptrs{in[0].data(), in[1].data(), in[2].data()};
            std::vector<double> out(static_cast<size_t>(n));
            double best[2] = {0.0, 0.0};
            for (int round = 0; round < 4; ++round) {
                const bool vector = round % 2 == 0;
                detail::redecideVectorLibm(vector ? nullptr : "refused");
                best[vector] = std::max(best[vector], throughput(n, [&] {
                    evaluateParallel(3, BLOCK_SIZE, out.data(), *program, n, ptrs);
                }));
            }
            std::printf("%-32s %10lld %10.2f %10.2f %9.2f\n", text, static_cast<long long>(n), 1e9 / best[1],
                        1e9 / best[0], best[1] / best[0]);
        }
    }
    detail::redecideVectorLibm(nullptr);
}

// What the guard's first decision for each function costs (the self-check
// against the libm, mostly): best of 9 fresh decisions.
void printSelfCheck() {
    using Clock = std::chrono::steady_clock;
    std::printf("\nvector libm guard, first decision per function (ms, best of 9)\n");
    for (int index = 0; index < detail::VECTOR_LIBM_FUNCTIONS; ++index) {
        const auto f = static_cast<detail::VectorLibmFunction>(index);
        double best = 1e300;
        for (int round = 0; round < 9; ++round) {
            detail::redecideVectorLibm(nullptr);
            const auto start = Clock::now();
            detail::vectorLibmDecision(f);
            best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::printf("  %-6s %8.3f\n", detail::vectorLibmName(f), best);
    }
}

double residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// Each expression runs first on the calling thread alone, then on a team of
// two, whose new worker thread brings its own scratch.
void printResidentScratch() {
    const int64_t n = 1'000'000;
    Inputs in = randomInputs(n);
    std::vector<const double*> ptrs{in[0].data(), in[1].data(), in[2].data()};
    std::vector<double> out(static_cast<size_t>(n), 0.0);
    std::printf("resident memory added by evaluating over %lld elements\n", static_cast<long long>(n));
    std::string deep = "a";
    for (int k = 0; k < 15; ++k) deep = "a*(b+" + deep + ")";
    for (const std::string& text : {std::string("a*b+c"), deep}) {
        auto program = prepare(compile(text, {"a", "b", "c"}));
        for (int threads : {1, 2}) {
            setThreadCount(threads);
            double before = residentKiB();
            evaluateParallel(3, BLOCK_SIZE, out.data(), *program, n, ptrs);
            std::printf("  %-10.10s%s  %d thread(s): +%.0f KiB\n", text.c_str(), text.size() > 10 ? "..." : "   ",
                        threads, residentKiB() - before);
        }
    }
}

}  // namespace

// `engine_bench vector-libm` prints only the vector libm's figures.
int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "vector-libm") {
        printVectorLibm();
        printSelfCheck();
        return 0;
    }
    printResidentScratch();  // first, while no thread has scratch yet
    std::printf("\n");
    printThroughputTable();
    printLibraryFloor();
    printFreshResultFloor();
    printVectorLibm();
    printSelfCheck();
    return 0;
}
