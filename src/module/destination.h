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

// `out`'s data, after testing that it is a writable, aligned, C-contiguous
// float64 array of native byte order with as many elements as the result,
// overlapping no input unless that input lies like the result and starts
// where `out` starts (each element is read before it is written). Raises
// TypeError or ValueError; a wrong size names the values read and their
// shapes.
double* checkedOut(PyObject* out, std::span<const std::string_view> names, std::span<PyObject* const> values,
                   const Inputs& inputs);

// A new, uninitialised result of the inputs' shape.
Ref newResult(const Inputs& inputs);

}  // namespace qelto
