// The whole-block loops and buffers shared by the block interpreter and the masked one:
// one template each, the meaning in op::, so every opcode's loop vectorises
// (or not) for the same reasons in both.
#pragma once

#include <cstdint>
#include <memory>

namespace tarnex::detail {

// Grows `buffer` to at least `needed` elements, never shrinks it, and leaves
// new memory uninitialised so only the parts a program writes become resident.
template <class T>
T* reserved(std::unique_ptr<T[]>& buffer, uint64_t& capacity, uint64_t needed) {
    if (capacity < needed) {
        buffer.reset();  // the old buffer goes first, keeping the peak low
        capacity = 0;
        buffer.reset(new T[needed]);
        capacity = needed;
    }
    return buffer.get();
}

template <class Op>
void binaryLoop(uint64_t count, double* dst, const double* a, const double* b) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(a[i], b[i]);
}

template <class Op>
void unaryLoop(uint64_t count, double* dst, const double* x) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = Op::apply(x[i]);
}

inline void fillLoop(uint64_t count, double* dst, double value) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = value;
}

inline void copyLoop(uint64_t count, double* dst, const double* src) {
    for (uint64_t i = 0; i < count; ++i) dst[i] = src[i];
}

// No early exit, and a double select rather than a bool or integer flag:
// GCC vectorises only this form of the scan.
inline bool anyZero(uint64_t count, const double* x) {
    double marker = 1.0;
    for (uint64_t i = 0; i < count; ++i) marker = x[i] == 0.0 ? 0.0 : marker;
    return marker == 0.0;
}

}  // namespace tarnex::detail
