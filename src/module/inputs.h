// The keyword values of a call, tested and read as float64 data.
//
// `_qelto.query` takes only float64 C-contiguous arrays of one element
// count; the package's entry first hands other values to its converter.
// Every test raises QueryError with the exact message of the value's name.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "interpreter_lock.h"

namespace qelto {

// The values in call order: each one's data, and the copies (of byte-swapped
// or misaligned arrays) that must live as long as the call; the caller's own
// arrays are kept alive by the call itself.
struct Inputs {
    std::vector<const double*> data;
    std::vector<Ref> copies;
};

// Tests each value in order (an array, float64, C-contiguous), then raises
// the error of `invalid_name`, the key after the names that could not be
// read, when there is one.
Inputs collectInputs(std::span<const std::string_view> names, PyObject* const* values, PyObject* invalid_name);

// The common element count of tested arrays: the first one's, or 1 with none.
int64_t requireEqualSizes(std::span<const std::string_view> names, PyObject* const* values);

// Whether the package must convert some value first: one that is not a
// float64 C-contiguous array, or a 0-d array beside arrays of other sizes.
bool needsConversion(std::span<PyObject* const> values);

// The converter's arrays, which replace `values` in place; the tuple keeps
// them alive. Raises TypeError without a converter.
Ref convertValues(PyObject* converter, std::span<const std::string_view> names, std::span<PyObject*> values);

}  // namespace qelto
