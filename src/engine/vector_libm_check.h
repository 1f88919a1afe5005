// The inputs on which the vector exp, log and pow must give the libm's bits
// before they are used, shared by the guard, the tests and the verification
// tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "tarnex/engine.h"

namespace tarnex::detail {

// Arguments: a, and for pow b (for the others b repeats a, unused).
struct CheckSet {
    std::vector<double> a;
    std::vector<double> b;
};

// Special values and the main paths' thresholds, every table index,
// inputs on which the libm's variants without FMA differ, and 64 Ki
// pseudo-random inputs, which meet the variants' differences about 32, 4
// and 44 times (exp, log, pow) beside the listed ones: a libm built
// otherwise is caught by more than one input. They cost most of the first
// use; the verification tool covers the rest of the range.
CheckSet vectorLibmCheckSet(VectorLibmFunction f);

// The same inputs, in the same order, CHECK_CHUNK at a time from arrays on
// the stack, so that the guard allocates and touches no fresh memory:
// `check(count, a, b)` for each chunk until one returns false. Whether every
// call returned true.
constexpr size_t CHECK_CHUNK = 512;
bool checkInChunks(VectorLibmFunction f, const std::function<bool(size_t, const double*, const double*)>& check);

// The libm's own value of f (b ignored but for pow).
double libmValue(VectorLibmFunction f, double a, double b);

// Deterministic pseudo-random 64-bit words (splitmix64).
struct Bits64 {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    // Uniform in [low, high).
    double uniform(double low, double high) { return low + (high - low) * static_cast<double>(next() >> 11) * 0x1p-53; }
};

// The bit range [OFF, 2 OFF) of each table-driven log, cut into 128 equal
// runs of bits; a value inside run `index`, `fraction` of the way along.
double logTableInput(VectorLibmFunction f, int index, double fraction);

}  // namespace tarnex::detail
