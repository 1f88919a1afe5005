// Where a call's result goes: the caller's `out`, tested before anything is
// written to it, or a new array.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "inputs.h"
#include "interpreter_lock.h"

namespace qelto {

struct Destination {
    PyObject* out = nullptr;
    // A new result takes the inputs' shape when they all have one (all 0-d:
    // 0-d); otherwise, and for `_qelto.query`, it has one dimension.
    bool input_shape = false;
};

// `out`'s data, after testing that it is a writable, aligned, C-contiguous
// float64 array of native byte order and `n` elements that overlaps no input
// unless it starts where that input starts (each element is read before it
// is written). Raises TypeError or ValueError.
double* checkedOut(PyObject* out, int64_t n, std::span<const std::string_view> names, const Inputs& inputs);

// A new, uninitialised result of `n` elements for `values`.
Ref newResult(int64_t n, bool input_shape, std::span<PyObject* const> values);

}  // namespace qelto
