#include "inputs.h"

#include <string>

#include "arrays.h"
#include "errors.h"

namespace py = pybind11;

namespace qelto {
namespace {

// A float64 view of a foreign buffer may start at any byte, and reading
// misaligned doubles is undefined, so the conversion also asks NumPy for
// aligned data; it copies only such arrays and byte-swapped ones.
constexpr int ALIGNED_NATIVE_FLAGS =
    static_cast<int>(py::array::forcecast) | static_cast<int>(npy::npy_api::NPY_ARRAY_ALIGNED_);

Ref alignedNativeCopy(PyObject* array) {
    auto& api = npy::npy_api::get();
    Ref copy = Ref::steal(api.PyArray_FromAny_(array, api.PyArray_DescrFromType_(npy::npy_api::NPY_DOUBLE_), 0, 0,
                                              ALIGNED_NATIVE_FLAGS | npy::npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr));
    if (!copy) throw PythonError();
    return copy;
}

void addInput(Inputs& inputs, PyObject* value, std::string_view name) {
    if (!isArray(value)) failVariable(name, "is not a numpy array");
    if (!isFloat64(value)) failVariable(name, "must be float64 (got " + textOf(dtypeOf(value)) + ")");
    if (!isCContiguous(value)) failVariable(name, "must be C-contiguous");
    // The common case needs no conversion call: NumPy would hand back the
    // same object, and we only read the buffer.
    if (isNativeDouble(value) && isAligned(value)) {
        inputs.data.push_back(dataOf<const double>(value));
        return;
    }
    Ref copy = alignedNativeCopy(value);
    inputs.data.push_back(dataOf<const double>(copy.get()));
    inputs.copies.push_back(std::move(copy));
}

[[noreturn]] void failKeywordName(PyObject* key) {
    const Ref repr = Ref::steal(PyObject_Repr(key));
    if (!repr) throw PythonError();
    throw QueryError("Keyword argument name is not valid text: " + textOf(repr.get()));
}

}  // namespace

Inputs collectInputs(std::span<const std::string_view> names, PyObject* const* values, PyObject* invalid_name) {
    Inputs inputs;
    inputs.data.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) addInput(inputs, values[i], names[i]);
    if (invalid_name != nullptr) failKeywordName(invalid_name);
    return inputs;
}

int64_t requireEqualSizes(std::span<const std::string_view> names, PyObject* const* values) {
    if (names.empty()) return 1;
    const int64_t n = elementCount(values[0]);
    for (size_t i = 1; i < names.size(); ++i) {
        const int64_t size = elementCount(values[i]);
        if (size != n)
            throw QueryError("Array size mismatch: '" + std::string(names[0]) + "' has " + std::to_string(n) +
                             " elements but '" + std::string(names[i]) + "' has " + std::to_string(size));
    }
    return n;
}

bool needsConversion(std::span<PyObject* const> values) {
    bool zero_dimensional = false, sizes_differ = false;
    for (PyObject* value : values) {
        if (!isArray(value) || !isCContiguous(value) || !isFloat64(value)) return true;
        zero_dimensional |= shapeOf(value).empty();
        sizes_differ |= elementCount(value) != elementCount(values[0]);
    }
    return zero_dimensional && sizes_differ;
}

Ref convertValues(PyObject* converter, std::span<const std::string_view> names, std::span<PyObject*> values) {
    if (converter == nullptr) throw py::type_error("the qelto package is not imported");
    const auto count = static_cast<Py_ssize_t>(values.size());
    const Ref name_tuple = Ref::steal(PyTuple_New(count)), value_tuple = Ref::steal(PyTuple_New(count));
    if (!name_tuple || !value_tuple) throw PythonError();
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::string_view name = names[static_cast<size_t>(i)];
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) throw PythonError();
        PyTuple_SET_ITEM(name_tuple.get(), i, text);
        PyTuple_SET_ITEM(value_tuple.get(), i, Py_NewRef(values[static_cast<size_t>(i)]));
    }
    const Ref function = Ref::borrow(converter);
    Ref converted = Ref::steal(PyObject_CallFunctionObjArgs(function.get(), name_tuple.get(), value_tuple.get(), nullptr));
    if (!converted) throw PythonError();
    if (!PyTuple_Check(converted.get()) || PyTuple_GET_SIZE(converted.get()) != count)
        throw py::type_error("the converter gave the wrong number of arrays");
    for (Py_ssize_t i = 0; i < count; ++i) values[static_cast<size_t>(i)] = PyTuple_GET_ITEM(converted.get(), i);
    return converted;
}

}  // namespace qelto
