// Hand-written loops for the benchmark's workloads, compiled once per
// instruction-set level like the engine's kernels, so the interpreter is
// measured against plain code of its own level.
#pragma once

#include <cstdint>

#include "tarnex/kernel_levels.h"

namespace bench {

using HandLoop = void (*)(int64_t begin, int64_t end, const double* a, const double* b, const double* c, double* out);

struct HandLoops {
    const char* level;
    HandLoop loops[9];  // in the order of WORKLOADS in engine_bench.cpp
};

#define BENCH_HAND_LOOPS_OF(name, upper, check) const HandLoops& name##HandLoops();
TARNEX_KERNEL_LEVELS(BENCH_HAND_LOOPS_OF)
#undef BENCH_HAND_LOOPS_OF

}  // namespace bench
