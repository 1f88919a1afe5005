// Elements per second of the engine next to hand-written loops doing the same
// arithmetic, and the memory a thread keeps resident after an evaluation.
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tarnex/engine.h"

using namespace tarnex;

namespace {

using Inputs = std::vector<std::vector<double>>;
using HandLoop = void (*)(int64_t n, const double* a, const double* b, const double* c, double* out);

// The hand loops share the engine's rule for when a team is worth opening.
void handMulAdd(int64_t n, const double* a, const double* b, const double* c, double* out) {
#pragma omp parallel for schedule(static) if (n >= PARALLEL_MIN_ELEMENTS)
    for (int64_t i = 0; i < n; ++i) out[i] = a[i] * b[i] + c[i];
}

void handTranscendental(int64_t n, const double* a, const double* b, const double* c, double* out) {
#pragma omp parallel for schedule(static) if (n >= PARALLEL_MIN_ELEMENTS)
    for (int64_t i = 0; i < n; ++i) out[i] = std::sin(a[i]) * std::cos(b[i]) + std::sqrt(c[i]);
}

void handConditional(int64_t n, const double* a, const double* b, const double*, double* out) {
#pragma omp parallel for schedule(static) if (n >= PARALLEL_MIN_ELEMENTS)
    for (int64_t i = 0; i < n; ++i) out[i] = a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
}

void handUnevenBranches(int64_t n, const double* a, const double* b, const double* c, double* out) {
#pragma omp parallel for schedule(static) if (n >= PARALLEL_MIN_ELEMENTS)
    for (int64_t i = 0; i < n; ++i) out[i] = a[i] > b[i] ? a[i] - b[i] : b[i] * c[i];
}

void handLogicalCondition(int64_t n, const double* a, const double* b, const double* c, double* out) {
#pragma omp parallel for schedule(static) if (n >= PARALLEL_MIN_ELEMENTS)
    for (int64_t i = 0; i < n; ++i) out[i] = (a[i] > 0 && b[i] > 0) || c[i] < 0 ? std::sqrt(a[i]) : -a[i];
}

struct Workload {
    const char* text;
    HandLoop hand;
};

const Workload WORKLOADS[] = {
    {"a*b+c", handMulAdd},
    {"sin(a)*cos(b)+sqrt(c)", handTranscendental},
    {"a > b ? a - b : b - a", handConditional},
    {"a > b ? a - b : b * c", handUnevenBranches},
    {"(a > 0 && b > 0) || c < 0 ? sqrt(a) : -a", handLogicalCondition},
};

Inputs randomInputs(int64_t n) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> dist(0.5, 2.0);
    Inputs in(3, std::vector<double>(static_cast<size_t>(n)));
    for (auto& column : in)
        for (double& v : column) v = dist(rng);
    return in;
}

std::vector<const double*> pointers(const Inputs& in) {
    return {in[0].data(), in[1].data(), in[2].data()};
}

std::shared_ptr<Program> compileForInputs(const char* text) {
    return std::make_shared<Program>(compile(text, {"a", "b", "c"}));
}

// Best of five batches, each long enough to time reliably; elements per second.
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
    for (int batch = 0; batch < 5; ++batch) {
        auto start = Clock::now();
        for (int r = 0; r < reps; ++r) run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count() / reps);
    }
    return static_cast<double>(n) / best;
}

void printThroughputTable() {
    std::printf("%-42s %10s %7s %14s %14s %8s\n", "expression", "elements", "threads", "engine Mel/s", "hand Mel/s",
                "hand/eng");
    for (int64_t n : {int64_t{1'000}, int64_t{100'000}, int64_t{10'000'000}}) {
        Inputs in = randomInputs(n);
        std::vector<const double*> ptrs = pointers(in);
        std::vector<double> out(static_cast<size_t>(n));
        for (const Workload& w : WORKLOADS) {
            auto program = compileForInputs(w.text);
            for (int threads : {1, 2}) {
                omp_set_num_threads(threads);
                double engine = throughput(n, [&] { evaluateParallel(3, BLOCK_SIZE, out.data(), program, n, ptrs); });
                double hand = throughput(n, [&] { w.hand(n, ptrs[0], ptrs[1], ptrs[2], out.data()); });
                std::printf("%-42s %10lld %7d %14.1f %14.1f %8.2f\n", w.text, static_cast<long long>(n), threads,
                            engine / 1e6, hand / 1e6, hand / engine);
            }
        }
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
    std::vector<const double*> ptrs = pointers(in);
    std::vector<double> out(static_cast<size_t>(n), 0.0);
    std::printf("\nresident memory added by evaluating over %lld elements (scratch reserved: %.0f KiB a thread)\n",
                static_cast<long long>(n), STACK_CAPACITY * BLOCK_SIZE * sizeof(double) / 1024.0);
    std::string deep = "a";
    for (int k = 0; k < 15; ++k) deep = "a*(b+" + deep + ")";
    for (const std::string& text : {std::string("a*b+c"), deep}) {
        auto program = compileForInputs(text.c_str());
        for (int threads : {1, 2}) {
            omp_set_num_threads(threads);
            double before = residentKiB();
            evaluateParallel(3, BLOCK_SIZE, out.data(), program, n, ptrs);
            std::printf("  %-10.10s%s  %d thread(s): +%.0f KiB\n", text.c_str(), text.size() > 10 ? "..." : "   ",
                        threads, residentKiB() - before);
        }
    }
}

}  // namespace

int main() {
    printResidentScratch();  // first, while no thread has scratch yet
    std::printf("\n");
    printThroughputTable();
    return 0;
}
