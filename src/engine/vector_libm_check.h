// The inputs on which the vector exp, log and pow must give the libm's bits
// before they are used, shared by the guard, the tests and the verification
// tool.
#pragma once

#include <cstdint>
#include <vector>

#include "tarnex/engine.h"

namespace tarnex::detail {

// Arguments: a, and for pow b (for the others b repeats a, unused).
struct CheckSet {
    std::vector<double> a;
    std::vector<double> b;
};

// Special values and the main paths' thresholds, every table index,
// inputs on which the libm's variants without FMA differ, and 16 Ki
// pseudo-random inputs. The random ones meet the variants' differences
// about 8, 1 and 11 times (exp, log, pow) beside the listed ones; at first
// use they cost far more than the rest, and the verification tool covers
// the rest of the range.
CheckSet vectorLibmCheckSet(VectorLibmFunction f);

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
