#include "hand_loops.h"

#include <cmath>

#define BENCH_CONCAT_INNER(a, b) a##b
#define BENCH_CONCAT(a, b) BENCH_CONCAT_INNER(a, b)
#define BENCH_STRING_INNER(a) #a
#define BENCH_STRING(a) BENCH_STRING_INNER(a)

namespace bench {
namespace BENCH_LEVEL {
namespace {

#define HAND_LOOP(name, formula)                                                                          \
    void name(int64_t begin, int64_t end, const double* a, const double* b, const double* c, double* out) { \
        (void)a, (void)b, (void)c;                                                                        \
        for (int64_t i = begin; i < end; ++i) out[i] = (formula);                                         \
    }

HAND_LOOP(addition, a[i] + b[i])
HAND_LOOP(mulAdd, a[i] * b[i] + c[i])
HAND_LOOP(polynomial, ((2 * a[i] + 3) * a[i] - 4) * a[i] + 5)
HAND_LOOP(quotient, a[i] / (b[i] + 1))
HAND_LOOP(hypotenuse, std::sqrt(a[i] * a[i] + b[i] * b[i]))
HAND_LOOP(transcendental, std::sin(a[i]) * std::cos(b[i]) + std::sqrt(c[i]))
HAND_LOOP(conditional, a[i] > b[i] ? a[i] - b[i] : b[i] * c[i])
HAND_LOOP(logic, ((a[i] > 0) & (b[i] < 0.5)) | (c[i] > 0.9) ? 1.0 : 0.0)
HAND_LOOP(sine, std::sin(a[i]))

}  // namespace
}  // namespace BENCH_LEVEL

const HandLoops& BENCH_CONCAT(BENCH_LEVEL, HandLoops)() {
    using namespace BENCH_LEVEL;
    static const HandLoops loops{BENCH_STRING(BENCH_LEVEL),
                                 {addition, mulAdd, polynomial, quotient, hypotenuse, transcendental, conditional,
                                  logic, sine}};
    return loops;
}

}  // namespace bench
