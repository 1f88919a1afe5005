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
// the libm, its arguments.
#define TARNEX_VECTOR_LIBM(X) \
    X(EXP, EXP, "exp", 1)     \
    X(LOG, LOG, "log", 1)     \
    X(POW, POW, "pow", 2)

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

}  // namespace tarnex::detail
