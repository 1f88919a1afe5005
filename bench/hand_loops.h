// Hand-written loops for the benchmark's workloads, compiled once per
// instruction-set level like the engine's kernels, so the interpreter is
// measured against plain code of its own level.
#pragma once

#include <cstdint>

namespace bench {

using HandLoop = void (*)(int64_t begin, int64_t end, const double* a, const double* b, const double* c, double* out);

struct HandLoops {
    const char* level;
    HandLoop loops[9];  // in the order of WORKLOADS in engine_bench.cpp
};

const HandLoops& baselineHandLoops();
const HandLoops& x86_64_v3HandLoops();
const HandLoops& x86_64_v4HandLoops();

}  // namespace bench
