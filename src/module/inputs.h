// The keyword values of a call, tested and read as float64 data.
//
// `_qelto.query` takes only float64 C-contiguous arrays of one element
// count; the package's entry first hands other values to its converter.
// Every test raises QueryError with the exact message of the value's name.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter_lock.h"
#include "short_list.h"
#include "tarnex/input_layout.h"

namespace qelto {

// Calls with up to this many values, and results of up to this many axes,
// keep their lists on the stack.
constexpr size_t FEW_VALUES = 16;
constexpr size_t FEW_AXES = 8;

// The values in call order as the engine reads them, over the result's
// shape, and the copies (of byte-swapped or misaligned arrays) that must
// live as long as the call; the caller's own arrays are kept alive by the
// call itself.
struct Inputs {
    ShortList<int64_t, FEW_AXES> shape;
    ShortList<const double*, FEW_VALUES> data;  // each value's element at (0, ..., 0)
    ShortList<int64_t, FEW_VALUES * 4> strides;  // in bytes over `shape`, value by value; none: all C-contiguous
    std::vector<Ref> copies;

    int64_t elementCount() const {
        int64_t n = 1;
        for (const int64_t extent : shape) n *= extent;
        return n;
    }
    tarnex::InputLayout layout() const {
        return strides.empty() ? tarnex::InputLayout(elementCount(), data) : tarnex::InputLayout(shape, data, strides);
    }
};

// `_qelto.query`'s values: tests each in order (an array, float64,
// C-contiguous), then raises the error of `invalid_name`, the key after the
// names that could not be read, when there is one, then requires one element
// count n. The shape is {n}; with no values, {1}.
Inputs flatInputs(std::span<const std::string_view> names, PyObject* const* values, PyObject* invalid_name);

// The package's values, converted where needed: float64 arrays of any
// layout, read in place and broadcast by NumPy's rules, which a ValueError
// naming two values and their shapes enforces. `set_aside` of them are the
// stand-ins of values not read. The shape is the broadcast shape of the
// values read; with none, {1}.
Inputs broadcastInputs(std::span<const std::string_view> names, PyObject* const* values, size_t set_aside);

// The package's values that the program does not read (those not in
// `read`, ascending) replaced in place by a stand-in: they are neither
// converted nor checked, do not shape the result, and the engine, which
// reads no such value, is given the data of another. Returns how many.
size_t setAsideUnread(std::span<PyObject*> values, std::span<const uint32_t> read);

// The arrays made of a call's Python numbers, alive for the call.
class NumberArrays {
public:
    NumberArrays() = default;
    NumberArrays(const NumberArrays&) = delete;
    NumberArrays& operator=(const NumberArrays&) = delete;
    ~NumberArrays() {
        if (arrays_.empty() || !holdsLock()) return;
        for (PyObject* array : arrays_) Py_DECREF(array);
    }
    // Room is made first, so that an array is never both released and unkept.
    PyObject* keep(Ref array) {
        arrays_.reserve(arrays_.size() + 1);
        arrays_.push_back(array.get());
        return array.release();
    }

private:
    ShortList<PyObject*, FEW_VALUES> arrays_;
};

// Python floats and ints (of the float64 range) become 0-d float64 arrays
// here, kept alive by `kept`, sparing the commonest scalars the call into
// Python; NumPy rounds an int as Python's float() does.
void convertNumbers(std::span<PyObject*> values, NumberArrays& kept);

// Whether the package must convert some value first: one that is not an
// aligned float64 array of native byte order.
bool needsConversion(std::span<PyObject* const> values);

// Raises the error of a keyword whose name is not valid text.
[[noreturn]] void failKeywordName(PyObject* key);

// The stand-in of values set aside, made at the first call that sets one
// aside and never freed, since it may outlive the interpreter.
inline PyObject* stand_in = nullptr;

// Whether `value` (never null) is the stand-in of a value set aside.
inline bool isSetAside(PyObject* value) { return value == stand_in; }

// An array's shape as Python writes a tuple: (), (3,), (3, 4).
std::string shapeText(PyObject* array);

// The converter's arrays, which replace `values` in place; the tuple keeps
// them alive. Raises TypeError without a converter.
Ref convertValues(PyObject* converter, std::span<const std::string_view> names, std::span<PyObject*> values);

}  // namespace qelto
