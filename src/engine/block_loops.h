// The per-thread buffers of the block interpreter and the masked one. Their
// whole-block loops are the kernels of kernels.h, shared by both.
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

}  // namespace tarnex::detail
