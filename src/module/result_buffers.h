// The result arrays of query. Large results take their memory from the
// process's BufferCache through NumPy's memory-handler interface, which is
// made current only around their own allocation: each is an ordinary array
// that owns its data, and NumPy frees it through the cache when its last
// reference goes. Arrays that NumPy makes itself keep NumPy's allocator.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnex {

// Smaller results are allocated by NumPy as usual: the C library serves
// them from its heap without fresh pages, and a mapping of their own would
// cost more than it saves.
inline constexpr size_t CACHED_RESULT_MIN_BYTES = size_t{128} << 10;

// A new float64 array of `shape` (no dimension negative): C-contiguous,
// owning its data and not initialised. Needs the interpreter lock; loads
// NumPy's C interface on first use. Python errors (no memory, NumPy not
// importable) leave as pybind11::error_already_set.
pybind11::array_t<double> allocateResult(std::span<const Py_intptr_t> shape);

}  // namespace tarnex
