// Compares the vector exp, log and pow with the loaded libm, bit for bit, on
// inputs of several categories, and reports the mismatches of each. A libm
// build joins the guard's list only after a clean long run (README).
//
//   vector_libm_verify [--inputs N] [--differences K] [exp] [log] [pow]
//
// N inputs per function (default 10^9), spread over the categories; with
// --differences, the first K mismatching inputs of each function are printed
// as bit patterns (run under another libm variant to find where it differs).
#include <omp.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tarnex/engine.h"
#include "vector_libm_check.h"

using namespace tarnex::detail;

namespace {

constexpr uint64_t CHUNK = 1 << 16;
constexpr int THRESHOLD_ULPS = 64;

double fromBits(uint64_t bits) { return std::bit_cast<double>(bits); }

// One input pair from chunk-local random words.
using Generator = std::function<void(Bits64&, double&, double&)>;

struct Category {
    const char* name;
    double share;  // of the function's inputs
    Generator generate;
};

// Within `ulps` bit patterns of one of `points`, either sign.
Generator near(std::vector<double> points, double other = 0.0) {
    return [points, other](Bits64& random, double& a, double& b) {
        const double point = points[random.next() % points.size()];
        const int64_t step = static_cast<int64_t>(random.next() % (2 * THRESHOLD_ULPS + 1)) - THRESHOLD_ULPS;
        a = std::bit_cast<double>(std::bit_cast<uint64_t>(point) + static_cast<uint64_t>(step));  // wraps at -0
        b = other;
    };
}

std::vector<Category> expCategories() {
    return {
        {"thresholds +-64 ulps", 0.05,
         near({0x1p-54, -0x1p-54, 512.0, -512.0, 1024.0, -1024.0, 0x1.62e42fefa39efp+9, -0x1.74910d52d3051p+9,
               -0x1.6232bdd7abcd2p+9, 0.0, -0.0})},
        {"every table index", 0.25,
         [](Bits64& random, double& a, double&) {
             const int64_t k = static_cast<int64_t>(random.next() % (2 * 1024 * 128)) - 1024 * 128;
             a = (static_cast<double>(k) + random.uniform(-0.5, 0.5)) * 0x1.62e42fefa39efp-1 / 128;
         }},
        {"uniform in the finite range", 0.2, [](Bits64& random, double& a, double&) { a = random.uniform(-746, 710); }},
        {"uniform in [-1, 1]", 0.2, [](Bits64& random, double& a, double&) { a = random.uniform(-1, 1); }},
        {"uniform bit patterns", 0.3, [](Bits64& random, double& a, double&) { a = fromBits(random.next()); }},
    };
}

std::vector<Category> logCategories() {
    return {
        {"thresholds +-64 ulps", 0.05,
         near({fromBits(0x3fee000000000000), fromBits(0x3ff1090000000000), 0x1p-1022, 1.0, 0x1.fffffffffffffp1023,
               0x1p-1074 * 64, 2.0, 0.5})},
        {"every table index", 0.25,
         [](Bits64& random, double& a, double&) {
             const int index = static_cast<int>(random.next() % 128);
             const int exponent = static_cast<int>(random.next() % 2000) - 1000;
             a = std::ldexp(logTableInput(VectorLibmFunction::LOG, index, random.uniform(0, 1)), exponent);
         }},
        {"near 1", 0.2, [](Bits64& random, double& a, double&) { a = random.uniform(0.9, 1.1); }},
        {"uniform in [0, 100]", 0.2, [](Bits64& random, double& a, double&) { a = random.uniform(0, 100); }},
        {"uniform bit patterns", 0.3, [](Bits64& random, double& a, double&) { a = fromBits(random.next()); }},
    };
}

std::vector<Category> powCategories() {
    return {
        {"thresholds of y +-64 ulps", 0.02,
         [](Bits64& random, double& a, double& b) {
             near({0x1p-65, -0x1p-65, 0x1p63, -0x1p63, 1024.0, -1022.0, -1074.0, -1075.0})(random, b, a);
             a = random.uniform(0.5, 2.5);
         }},
        {"thresholds of x +-64 ulps", 0.02,
         [](Bits64& random, double& a, double& b) {
             near({1.0, -1.0, 0x1p-1022, 0x1.fffffffffffffp1023, 2.0, 0.5})(random, a, b);
             b = random.uniform(-20, 20);
         }},
        {"every table index", 0.2,
         [](Bits64& random, double& a, double& b) {
             const int index = static_cast<int>(random.next() % 128);
             const int exponent = static_cast<int>(random.next() % 60) - 30;
             a = std::ldexp(logTableInput(VectorLibmFunction::POW, index, random.uniform(0, 1)), exponent);
             b = random.uniform(-30, 30);
         }},
        {"results near the range's ends", 0.1,
         [](Bits64& random, double& a, double& b) {
             a = random.uniform(0.5, 4);
             b = (random.next() & 1 ? 709.7 : -745.1) / std::log(a) * random.uniform(0.98, 1.001);
         }},
        {"negative x, integer y", 0.1,
         [](Bits64& random, double& a, double& b) {
             a = random.uniform(-10, 0);
             b = static_cast<double>(static_cast<int64_t>(random.next() % 121) - 60);
         }},
        {"negative x, y in [-3, 3]", 0.05,
         [](Bits64& random, double& a, double& b) { a = random.uniform(-10, 0), b = random.uniform(-3, 3); }},
        {"uniform x in (0, 4), y in [-30, 30]", 0.21,
         [](Bits64& random, double& a, double& b) { a = random.uniform(0, 4), b = random.uniform(-30, 30); }},
        {"uniform bit patterns of x, y in [-2, 2]", 0.15,
         [](Bits64& random, double& a, double& b) { a = fromBits(random.next()), b = random.uniform(-2, 2); }},
        {"uniform bit patterns", 0.15,
         [](Bits64& random, double& a, double& b) { a = fromBits(random.next()), b = fromBits(random.next()); }},
    };
}

struct Tally {
    uint64_t inputs = 0;
    uint64_t mismatches = 0;
};

// Runs `count` inputs of one category; prints up to `show` mismatches.
Tally runCategory(VectorLibmFunction f, const Category& category, uint64_t count, uint64_t seed, int show) {
    uint64_t inputs = 0, mismatches = 0;
    const uint64_t chunks = (count + CHUNK - 1) / CHUNK;
#pragma omp parallel for schedule(dynamic) reduction(+ : inputs)
    for (uint64_t chunk = 0; chunk < chunks; ++chunk) {
        const uint64_t n = std::min(CHUNK, count - chunk * CHUNK);
        std::vector<double> a(n), b(n), out(n);
        Bits64 random{seed * 0x100000000ull + chunk};
        for (uint64_t i = 0; i < n; ++i) category.generate(random, a[i], b[i]);
        evaluateVectorLibm(f, n, out.data(), a.data(), b.data());
        for (uint64_t i = 0; i < n; ++i) {
            const double expected = libmValue(f, a[i], b[i]);
            if (std::bit_cast<uint64_t>(out[i]) == std::bit_cast<uint64_t>(expected)) continue;
            uint64_t seen;
#pragma omp atomic capture
            seen = mismatches++;
            if (seen < static_cast<uint64_t>(show))
#pragma omp critical
                std::printf("  mismatch %s(0x%016" PRIx64 ", 0x%016" PRIx64 "): 0x%016" PRIx64 " not 0x%016" PRIx64 "\n",
                            vectorLibmName(f), std::bit_cast<uint64_t>(a[i]), std::bit_cast<uint64_t>(b[i]),
                            std::bit_cast<uint64_t>(out[i]), std::bit_cast<uint64_t>(expected));
        }
        inputs += n;
    }
    return {inputs, mismatches};
}

uint64_t verify(VectorLibmFunction f, uint64_t inputs, int show) {
    std::vector<Category> categories = f == VectorLibmFunction::EXP   ? expCategories()
                                       : f == VectorLibmFunction::LOG ? logCategories()
                                                                      : powCategories();
    // The guard's own check set first: specials, table indexes, known variant differences.
    categories.insert(categories.begin(), {"guard's check set", 0.0, nullptr});
    uint64_t mismatches = 0;
    uint64_t seed = static_cast<uint64_t>(f) * 100;
    for (const Category& category : categories) {
        Tally tally;
        if (!category.generate) {
            const CheckSet set = vectorLibmCheckSet(f);
            std::vector<double> out(set.a.size());
            evaluateVectorLibm(f, out.size(), out.data(), set.a.data(), set.b.data());
            for (size_t i = 0; i < out.size(); ++i)
                tally.mismatches += std::bit_cast<uint64_t>(out[i]) !=
                                    std::bit_cast<uint64_t>(libmValue(f, set.a[i], set.b[i]));
            tally.inputs = out.size();
        } else {
            tally = runCategory(f, category, static_cast<uint64_t>(category.share * static_cast<double>(inputs)),
                                ++seed, show);
        }
        std::printf("%-4s %-40s %12" PRIu64 " inputs %8" PRIu64 " mismatches\n", vectorLibmName(f), category.name,
                    tally.inputs, tally.mismatches);
        mismatches += tally.mismatches;
    }
    return mismatches;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t inputs = 1000000000;
    int show = 0;
    std::vector<VectorLibmFunction> functions;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--inputs" && i + 1 < argc) inputs = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--differences" && i + 1 < argc) show = std::atoi(argv[++i]);
        else if (arg == "exp") functions.push_back(VectorLibmFunction::EXP);
        else if (arg == "log") functions.push_back(VectorLibmFunction::LOG);
        else if (arg == "pow") functions.push_back(VectorLibmFunction::POW);
        else return std::fprintf(stderr, "usage: %s [--inputs N] [--differences K] [exp] [log] [pow]\n", argv[0]), 2;
    }
    if (functions.empty()) functions = {VectorLibmFunction::EXP, VectorLibmFunction::LOG, VectorLibmFunction::POW};
    std::printf("libm build-id %s, CPU level %s\n", loadedLibmBuildId(), kernelLevelName());
    if (bestKernelLevel() != KernelLevel::X86_64_V4) {
        std::printf("CPU below x86-64-v4: the vector kernels never run here, nothing to verify\n");
        return 0;
    }
    uint64_t mismatches = 0;
    for (VectorLibmFunction f : functions) mismatches += verify(f, inputs, show);
    std::printf("%" PRIu64 " mismatches in all\n", mismatches);
    return mismatches == 0 ? 0 : 1;
}
