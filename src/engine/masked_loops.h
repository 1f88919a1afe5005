// The masked route's loops over part of a block: each operation for the
// elements on a path, and the splits and joins of paths' masks. Included by
// the masked route alone.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#include "tarnex/builtins.h"
#include "tarnex/opcodes.h"

namespace tarnex::detail::masked {

using Mask = uint64_t;  // per element: all ones on the path, zero off it

// A library call costs more than the branch that skips it for elements off
// the path; everything else is cheaper computed for every element and
// blended, which vectorises. The tables say which operations call the library.
template <class Op>
constexpr bool kLibraryCall = [] {
    bool library = false;
#define TARNEX_OPCODE_LIBRARY(name, number, token, effect, kind, block_op, element_op, zero_error, call, ...) \
    library = library || ((std::is_same_v<Op, block_op> || std::is_same_v<Op, element_op>) && call);
    TARNEX_OPCODES(TARNEX_OPCODE_LIBRARY)
#undef TARNEX_OPCODE_LIBRARY
#define TARNEX_BUILTIN_LIBRARY(id, number, name, kind, fewest, most, operation, call, ...) \
    library = library || (std::is_same_v<Op, operation> && call);
    TARNEX_BUILTINS(TARNEX_BUILTIN_LIBRARY)
#undef TARNEX_BUILTIN_LIBRARY
    return library;
}();

// The loops below are plain bit operations on the masks: a select on a
// 64-bit integer compare does not vectorise on x86-64 without SSE4.1.
constexpr double ALL_ONES = std::bit_cast<double>(~Mask{0});

inline double select(Mask on, double value, double other) {
    return std::bit_cast<double>((std::bit_cast<Mask>(value) & on) | (std::bit_cast<Mask>(other) & ~on));
}

inline Mask isZero(double x) { return std::bit_cast<Mask>(x == 0.0 ? ALL_ONES : 0.0); }

template <class Op>
inline void maskedBinaryLoop(uint64_t count, const Mask* on, double* dst, const double* a, const double* b) {
    if constexpr (kLibraryCall<Op>) {
        for (uint64_t i = 0; i < count; ++i)
            if (on[i]) dst[i] = Op::apply(a[i], b[i]);
    } else {
        for (uint64_t i = 0; i < count; ++i) dst[i] = select(on[i], Op::apply(a[i], b[i]), dst[i]);
    }
}

template <class Op>
inline void maskedUnaryLoop(uint64_t count, const Mask* on, double* dst, const double* x) {
    if constexpr (kLibraryCall<Op>) {
        for (uint64_t i = 0; i < count; ++i)
            if (on[i]) dst[i] = Op::apply(x[i]);
    } else {
        for (uint64_t i = 0; i < count; ++i) dst[i] = select(on[i], Op::apply(x[i]), dst[i]);
    }
}

inline void maskedFillLoop(uint64_t count, const Mask* on, double* dst, double value) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = select(on[i], value, dst[i]);
}

// An element off the path reads as all ones, a NaN, which is never zero;
// the scan then has the one form of anyZero that vectorises.
inline bool anyZeroOnPath(uint64_t count, const Mask* on, const double* x) {
    double marker = 1.0;
    for (uint64_t i = 0; i < count; ++i) {
        double seen = std::bit_cast<double>(std::bit_cast<Mask>(x[i]) | ~on[i]);
        marker = seen == 0.0 ? 0.0 : marker;
    }
    return marker == 0.0;
}

// Moves the elements whose condition is false (either zero) from `on` to
// `off` and returns how many moved.
inline uint64_t splitLoop(uint64_t count, Mask* on, Mask* off, const double* condition) {
    uint64_t moved = 0;
    for (uint64_t i = 0; i < count; ++i) {
        Mask leaving = on[i] & isZero(condition[i]);
        off[i] = leaving;
        on[i] ^= leaving;
        moved += leaving & 1u;
    }
    return moved;
}

// Each element from the path that holds it (the two are disjoint); elements
// on neither keep what other paths have stored there.
inline void joinLoop(uint64_t count, double* dst, const Mask* from_on, const double* from, const Mask* into_on,
              const double* into) {
    for (uint64_t i = 0; i < count; ++i)
        dst[i] = select(from_on[i], from[i], select(into_on[i], into[i], dst[i]));
}

inline void unionLoop(uint64_t count, Mask* into, const Mask* from) {
    for (uint64_t i = 0; i < count; ++i) into[i] |= from[i];
}

}  // namespace tarnex::detail::masked
