// exp, log and pow eight lanes at a time at the x86-64-v4 level, each the
// same sequence of IEEE operations (the same products fused) as the FMA
// variant of the platform's libm, so that the bits are the libm's. Lanes the
// libm sends down a rare path are computed by the libm itself. A guard
// decides at first use whether the loaded libm is one these kernels were
// proven against; only then does the block route use them.
#pragma once

#include <cstdint>

#include "tarnex/builtins.h"
#include "tarnex/engine.h"

#include "kernels.h"

namespace tarnex::detail {

// The functions with vector kernels: which one, its built-in, its name in
// the libm, its arguments, and what the kernel adds to an element's cost on
// one core in nanoseconds, as the built-in table's cost column does for the
// libm (engine_bench vector-libm: one thread, 10^3 to 10^6 elements, less
// the block route's own cost per element).
#define TARNEX_VECTOR_LIBM(X)      \
    X(EXP, EXP, "exp", 1, 0.9)     \
    X(LOG, LOG, "log", 1, 1.3)     \
    X(POW, POW, "pow", 2, 3.7)

// The raw kernels (vector_libm.cpp, built for x86-64-v4 only): dst = f(a),
// or pow(a, b) with a or b one value in the VC and CV forms. Callers make
// sure the CPU is at that level.
void vectorExp(uint64_t count, double* dst, const double* a);
void vectorLog(uint64_t count, double* dst, const double* a);
void vectorPow(uint64_t count, double* dst, const double* a, const double* b, Form form);

// Sets the block-route kernels of every function above in `set` (the
// x86-64-v4 set) to ones that take the vector kernel when the guard allows
// and the libm element by element otherwise.
void addVectorLibmKernels(KernelSet& set);

// Whether the guard allows f's vector kernel (vector_libm_guard.cpp); the
// first call for each function decides, later ones read the decision.
bool vectorLibmAllowed(VectorLibmFunction f);

// What a call of built-in `id` adds to an element's cost on the block route:
// its vector kernel's cost where the guard allows the kernel, the built-in
// table's otherwise. Only a function with a kernel asks the guard, so only
// programs that call one pay for its decision.
double blockCallNanoseconds(BuiltinFunc id);

}  // namespace tarnex::detail
