// Compiled once per level: the build defines TARNEX_KERNEL_LEVEL (baseline,
// x86_64_v3 or x86_64_v4) and the matching -march. Every template lives in a
// namespace of its level, so no instantiation compiled for a higher level
// can stand in for the baseline's at link time.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "kernels.h"
#include "vector_libm.h"

#if defined(__AVX__)
#include <immintrin.h>
#else
#include <emmintrin.h>
#endif

#ifndef TARNEX_KERNEL_LEVEL
#error "TARNEX_KERNEL_LEVEL must name the level this file is compiled for"
#endif

#define TARNEX_CONCAT_INNER(a, b) a##b
#define TARNEX_CONCAT(a, b) TARNEX_CONCAT_INNER(a, b)
#define TARNEX_STRING_INNER(a) #a
#define TARNEX_STRING(a) TARNEX_STRING_INNER(a)

namespace tarnex::detail {
namespace TARNEX_KERNEL_LEVEL {
namespace {

template <class Op, Form form>
void binaryKernel(uint64_t count, double* dst, const double* a, const double* b, const double*) {
    if constexpr (form == VV) {
        for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(a[i], b[i]);
    } else if constexpr (form == VC) {
        const double value = *b;
        for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(a[i], value);
    } else {
        const double value = *a;
        for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(value, b[i]);
    }
}

template <class Op>
void unaryKernel(uint64_t count, double* dst, const double* a, const double*, const double*) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(a[i]);
}

template <class Op>
void ternaryKernel(uint64_t count, double* dst, const double* a, const double* b, const double* c) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(a[i], b[i], c[i]);
}

void fillKernel(uint64_t count, double* dst, const double* a, const double*, const double*) {
    const double value = *a;
    for (uint64_t i = 0; i < count; ++i) dst[i] = value;
}

void copyKernel(uint64_t count, double* dst, const double* a, const double*, const double*) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = a[i];
}

// Where a truth value feeds arithmetic in one loop, the compiler knows it is
// 1 or 0 and, wherever it has split the loop by the truth value's condition
// (scalar tails, a single element), turns 1 * x or x - 0 into a copy of x,
// which passes a signalling NaN on unquieted. Quieting the result gives
// every element the operation's own bits.
template <class Op1, class Op2>
constexpr bool kCopyMayStandIn =
    std::is_base_of_v<op::TruthValued, Op1> && !std::is_base_of_v<op::TruthValued, Op2>;

template <class Op1, class Op2, Form first_form, SecondForm second_form>
void fusedKernel(uint64_t count, double* dst, const double* a, const double* b, const double* c) {
    const double a0 = *a, b0 = *b, c0 = *c;  // read only in the forms that take single values
    for (uint64_t i = 0; i < count; ++i) {
        const double x = first_form == CV ? a0 : a[i];
        const double y = first_form == VC ? b0 : b[i];
        const double t = Op1::apply(x, y);
        const double z = second_form == T_C || second_form == C_T ? c0 : c[i];
        // Spelled out twice: with the result first named, some pairs lost
        // their mask-register form at x86-64-v4.
        if constexpr (kCopyMayStandIn<Op1, Op2>) {
            dst[i] = quieted(second_form == T_V || second_form == T_C ? Op2::apply(t, z) : Op2::apply(z, t));
        } else {
            dst[i] = second_form == T_V || second_form == T_C ? Op2::apply(t, z) : Op2::apply(z, t);
        }
    }
}

// No early exit, and a double select rather than a flag: the form that
// vectorises at every level.
bool anyZero(uint64_t count, const double* x) {
    double marker = 1.0;
    for (uint64_t i = 0; i < count; ++i) marker = x[i] == 0.0 ? 0.0 : marker;
    return marker == 0.0;
}

double elementAt(const char* at) {
    double value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Column by column, so that each memory line read gives all its elements of
// these rows at once.
void copyElements(int64_t rows, int64_t columns, const char* from, int64_t row_step, int64_t column_step,
                  double* to, int64_t to_row) {
    for (int64_t j = 0; j < columns; ++j)
        for (int64_t r = 0; r < rows; ++r) to[r * to_row + j] = elementAt(from + r * row_step + j * column_step);
}

// A square of SQUARE rows and columns whose rows lie contiguously in memory,
// transposed in registers: one vector load and store per row instead of one
// scalar load and store per element.
#if defined(__AVX__)
constexpr int64_t SQUARE = 4;
void copySquare(const char* from, int64_t column_step, double* to, int64_t to_row) {
    const auto load = [&](int64_t j) {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(from + j * column_step));
    };
    const __m256d x0 = load(0), x1 = load(1), x2 = load(2), x3 = load(3);
    const __m256d t0 = _mm256_unpacklo_pd(x0, x1), t1 = _mm256_unpackhi_pd(x0, x1);
    const __m256d t2 = _mm256_unpacklo_pd(x2, x3), t3 = _mm256_unpackhi_pd(x2, x3);
    _mm256_storeu_pd(to, _mm256_permute2f128_pd(t0, t2, 0x20));
    _mm256_storeu_pd(to + to_row, _mm256_permute2f128_pd(t1, t3, 0x20));
    _mm256_storeu_pd(to + 2 * to_row, _mm256_permute2f128_pd(t0, t2, 0x31));
    _mm256_storeu_pd(to + 3 * to_row, _mm256_permute2f128_pd(t1, t3, 0x31));
}
#else
constexpr int64_t SQUARE = 2;
void copySquare(const char* from, int64_t column_step, double* to, int64_t to_row) {
    const __m128d x0 = _mm_loadu_pd(reinterpret_cast<const double*>(from));
    const __m128d x1 = _mm_loadu_pd(reinterpret_cast<const double*>(from + column_step));
    _mm_storeu_pd(to, _mm_unpacklo_pd(x0, x1));
    _mm_storeu_pd(to + to_row, _mm_unpackhi_pd(x0, x1));
}
#endif

// Every other element (a slice with step 2): two vectors loaded, their even
// lanes kept. A group's last load reaches one element past its last even
// one, so the final element is always left to the scalar loop.
#if defined(__AVX512F__)
constexpr int64_t PAIRS = 8;
void copyPairs(const char* from, double* to) {
    const __m512i evens = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
    const __m512d low = _mm512_loadu_pd(reinterpret_cast<const double*>(from));
    const __m512d high = _mm512_loadu_pd(reinterpret_cast<const double*>(from + 64));
    _mm512_storeu_pd(to, _mm512_permutex2var_pd(low, evens, high));
}
#elif defined(__AVX2__)
constexpr int64_t PAIRS = 4;
void copyPairs(const char* from, double* to) {
    const __m256d low = _mm256_loadu_pd(reinterpret_cast<const double*>(from));
    const __m256d high = _mm256_loadu_pd(reinterpret_cast<const double*>(from + 32));
    _mm256_storeu_pd(to, _mm256_permute4x64_pd(_mm256_unpacklo_pd(low, high), 0xd8));
}
#else
constexpr int64_t PAIRS = 2;
void copyPairs(const char* from, double* to) {
    const __m128d low = _mm_loadu_pd(reinterpret_cast<const double*>(from));
    const __m128d high = _mm_loadu_pd(reinterpret_cast<const double*>(from + 16));
    _mm_storeu_pd(to, _mm_unpacklo_pd(low, high));
}
#endif

// One row: whole where it lies contiguously, one value where it is
// broadcast, every other element in vectors, else element by element.
void copyRow(int64_t columns, const char* from, int64_t step, double* to) {
    if (step == sizeof(double)) {
        std::memcpy(to, from, static_cast<size_t>(columns) * sizeof(double));
        return;
    }
    if (step == 0) {
        std::fill_n(to, columns, elementAt(from));
        return;
    }
    int64_t j = 0;
    if (step == 2 * sizeof(double))
        for (; j + PAIRS < columns; j += PAIRS) copyPairs(from + j * step, to + j);
    copyElements(1, columns - j, from + j * step, 0, step, to + j, 0);
}

void copyTile(int64_t rows, int64_t columns, const char* from, int64_t row_step, int64_t column_step, double* to,
              int64_t to_row) {
    if (rows == 1) return copyRow(columns, from, column_step, to);
    int64_t r = 0;
    if (row_step == sizeof(double)) {
        for (; r + SQUARE <= rows; r += SQUARE) {
            const char* row = from + r * row_step;
            double* row_to = to + r * to_row;
            int64_t j = 0;
            for (; j + SQUARE <= columns; j += SQUARE)
                copySquare(row + j * column_step, column_step, row_to + j, to_row);
            copyElements(SQUARE, columns - j, row + j * column_step, row_step, column_step, row_to + j, to_row);
        }
    }
    copyElements(rows - r, columns, from + r * row_step, row_step, column_step, to + r * to_row, to_row);
}

// The kernels of one operation at `first`: all three forms of a two-operand
// one, the single form of the others; nothing for op::None.
template <class Op>
void addKernels(KernelSet& set, uint32_t first) {
    if constexpr (op::arity<Op> == 2) {
        set.kernels[first + VV] = binaryKernel<Op, VV>;
        set.kernels[first + VC] = binaryKernel<Op, VC>;
        set.kernels[first + CV] = binaryKernel<Op, CV>;
    } else if constexpr (op::arity<Op> == 1) {
        set.kernels[first] = unaryKernel<Op>;
    } else if constexpr (op::arity<Op> == 3) {
        set.kernels[first] = ternaryKernel<Op>;
    }
}

// The operation a built-in's loops run at this level: its own, except that
// from SSE4.1 on floor and ceil are the rounding instruction, which quiets a
// signalling NaN itself, so op::Floor's and op::Ceil's second step is left
// out there.
template <class Op>
struct LevelOperation {
    using type = Op;
};
#if defined(__SSE4_1__)
struct RoundingFloor {
    static double apply(double x) { return std::floor(x); }
};
struct RoundingCeil {
    static double apply(double x) { return std::ceil(x); }
};
template <>
struct LevelOperation<op::Floor> {
    using type = RoundingFloor;
};
template <>
struct LevelOperation<op::Ceil> {
    using type = RoundingCeil;
};
#endif

// The block-mode operation of each opcode, from the table.
template <Opcode opcode>
struct BlockOperation;
#define TARNEX_BLOCK_OPERATION(name, number, token, effect, kind, block_op, ...) \
    template <>                                                               \
    struct BlockOperation<Opcode::name> {                                     \
        using type = block_op;                                                \
    };
TARNEX_OPCODES(TARNEX_BLOCK_OPERATION)
#undef TARNEX_BLOCK_OPERATION

template <uint32_t index>
struct FusableOp {
    using type = typename BlockOperation<FUSABLE[index]>::type;
};

template <Opcode opcode>
constexpr bool fusesAsItself() {
    if constexpr (fusableIndex(opcode) == FUSABLE_COUNT) {
        return true;
    } else {
        return std::is_same_v<typename BlockOperation<opcode>::type, typename FusableOp<fusableIndex(opcode)>::type>;
    }
}
#define TARNEX_FUSES_AS_ITSELF(name, ...) \
    static_assert(fusesAsItself<Opcode::name>(), #name ": its fused kernels compute another operation");
TARNEX_OPCODES(TARNEX_FUSES_AS_ITSELF)
#undef TARNEX_FUSES_AS_ITSELF

template <uint32_t first, uint32_t second, uint32_t first_form, uint32_t second_form>
void addFused(KernelSet& set) {
    using Op1 = typename FusableOp<first>::type;
    using Op2 = typename FusableOp<second>::type;
    set.kernels[fusedKernel(first, static_cast<Form>(first_form), second, static_cast<SecondForm>(second_form))] =
        fusedKernel<Op1, Op2, static_cast<Form>(first_form), static_cast<SecondForm>(second_form)>;
}

// Two nested folds, one per first operation, keep each fold short enough
// for every compiler's nesting limit.
template <uint32_t first, uint32_t... codes>
void addFusedAfter(KernelSet& set, std::integer_sequence<uint32_t, codes...>) {
    (addFused<first, codes / (FORMS * SECOND_FORMS), codes / SECOND_FORMS % FORMS, codes % SECOND_FORMS>(set), ...);
}

template <uint32_t... firsts>
void addAllFused(KernelSet& set, std::integer_sequence<uint32_t, firsts...>) {
    (addFusedAfter<firsts>(set, std::make_integer_sequence<uint32_t, FUSABLE_COUNT * FORMS * SECOND_FORMS>{}), ...);
}

KernelSet makeKernels() {
    KernelSet set{};
    set.level = TARNEX_STRING(TARNEX_KERNEL_LEVEL);
#define TARNEX_OPCODE_KERNELS(name, number, token, effect, kind, block_op, element_op, ...)               \
    addKernels<block_op>(set, operationKernel(Opcode::name, Semantics::BLOCK, VV));                      \
    addKernels<element_op>(set, operationKernel(Opcode::name, Semantics::ELEMENT, VV));
    TARNEX_OPCODES(TARNEX_OPCODE_KERNELS)
#undef TARNEX_OPCODE_KERNELS
#define TARNEX_BUILTIN_KERNELS(id, number, name, kind, fewest, most, operation, ...) \
    addKernels<typename LevelOperation<operation>::type>(set, builtinKernel(BuiltinFunc::id, VV));
    TARNEX_BUILTINS(TARNEX_BUILTIN_KERNELS)
#undef TARNEX_BUILTIN_KERNELS
    set.kernels[FILL_KERNEL] = fillKernel;
    set.kernels[COPY_KERNEL] = copyKernel;
    set.any_zero = anyZero;
    set.copy_tile = copyTile;
    static_assert(KERNEL_COUNT - FIRST_FUSED_KERNEL == FUSABLE_COUNT * FUSABLE_COUNT * FORMS * SECOND_FORMS);
    addAllFused(set, std::make_integer_sequence<uint32_t, FUSABLE_COUNT>{});
#ifdef TARNEX_VECTOR_LIBM_KERNELS
    addVectorLibmKernels(set);
#endif
    return set;
}

}  // namespace
}  // namespace TARNEX_KERNEL_LEVEL

const KernelSet& TARNEX_CONCAT(TARNEX_KERNEL_LEVEL, Kernels)() {
    static const KernelSet set = TARNEX_KERNEL_LEVEL::makeKernels();
    return set;
}

}  // namespace tarnex::detail
