#include "inputs.h"

#include <algorithm>
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

const double* flatInput(Inputs& inputs, PyObject* value, std::string_view name) {
    if (!isArray(value)) failVariable(name, "is not a numpy array");
    if (!isFloat64(value)) failVariable(name, "must be float64 (got " + textOf(dtypeOf(value)) + ")");
    if (!isCContiguous(value)) failVariable(name, "must be C-contiguous");
    // The common case needs no conversion call: NumPy would hand back the
    // same object, and we only read the buffer.
    if (isNativeDouble(value) && isAligned(value)) return dataOf<const double>(value);
    inputs.copies.push_back(alignedNativeCopy(value));
    return dataOf<const double>(inputs.copies.back().get());
}

// A 0-d float64 zero.
PyObject* standIn() {
    if (stand_in == nullptr) {
        const Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
        if (!zero) throw PythonError();
        stand_in = alignedNativeCopy(zero.get()).release();
    }
    return stand_in;
}

// Each stand-in takes the data and strides of the first value read that lies
// like the result, so that the engine's in-place reading still holds; with
// none, it stays a constant of the call.
void lendLayouts(Inputs& inputs, PyObject* const* values) {
    const size_t axes = inputs.shape.size(), count = inputs.data.size();
    const auto row = [&](size_t i) { return std::span(inputs.strides).subspan(i * axes, axes); };
    size_t lender = 0;
    while (lender < count && (isSetAside(values[lender]) || !tarnex::isCLaidOut(inputs.shape, row(lender)))) ++lender;
    if (lender == count) return;
    for (size_t i = 0; i < count; ++i) {
        if (!isSetAside(values[i])) continue;
        inputs.data[i] = inputs.data[lender];
        std::ranges::copy(row(lender), row(i).begin());
    }
}

// NumPy's rule: shapes align at their last axes, and along each axis the
// extents agree or are 1. The first value to disagree is named with the
// earlier value whose extent it disagrees with.
void broadcastShape(ShortList<int64_t, FEW_AXES>& shape, std::span<const std::string_view> names, PyObject* const* values) {
    size_t axes = 0;
    for (size_t i = 0; i < names.size(); ++i) axes = std::max(axes, shapeOf(values[i]).size());
    shape.assign(axes, 1);
    ShortList<size_t, FEW_AXES> decided_by;
    decided_by.assign(axes, 0);
    for (size_t i = 0; i < names.size(); ++i) {
        if (isSetAside(values[i])) continue;
        const auto own = shapeOf(values[i]);
        for (size_t j = 0; j < own.size(); ++j) {
            const size_t k = axes - own.size() + j;
            if (own[j] == 1 || own[j] == shape[k]) continue;
            if (shape[k] != 1) {
                const size_t other = decided_by[k];
                throw py::value_error("Values '" + std::string(names[other]) + "' of shape " +
                                      shapeText(values[other]) + " and '" + std::string(names[i]) + "' of shape " +
                                      shapeText(values[i]) + " do not broadcast together");
            }
            shape[k] = own[j];
            decided_by[k] = i;
        }
    }
}

// The value's strides over the inputs' shape: 0 along the axes it is
// broadcast over.
void addBroadcast(Inputs& inputs, PyObject* array) {
    const auto own = shapeOf(array);
    const Py_intptr_t* own_strides = npy::array_proxy(array)->strides;
    const size_t first = inputs.strides.size(), lead = inputs.shape.size() - own.size();
    inputs.strides.resize(first + inputs.shape.size(), 0);
    for (size_t j = 0; j < own.size(); ++j)
        if (own[j] != 1) inputs.strides[first + lead + j] = own_strides[j];
    inputs.data.push_back(dataOf<const double>(array));
}

// The common call: every value read C-contiguous and of the shape of
// `first`, the first value read, so each is read in place as it lies, with
// no strides to follow.
bool allLaidOutAlike(size_t count, PyObject* const* values, size_t first, bool any_set_aside) {
    for (size_t i = first; i < count; ++i)
        if (!(any_set_aside && isSetAside(values[i])) &&
            (!isCContiguous(values[i]) || !std::ranges::equal(shapeOf(values[i]), shapeOf(values[first]))))
            return false;
    return true;
}

}  // namespace

Inputs flatInputs(std::span<const std::string_view> names, PyObject* const* values, PyObject* invalid_name) {
    Inputs inputs;
    inputs.data.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) inputs.data.push_back(flatInput(inputs, values[i], names[i]));
    if (invalid_name != nullptr) failKeywordName(invalid_name);
    const int64_t n = names.empty() ? 1 : elementCount(values[0]);
    for (size_t i = 1; i < names.size(); ++i) {
        const int64_t size = elementCount(values[i]);
        if (size != n)
            throw QueryError("Array size mismatch: '" + std::string(names[0]) + "' has " + std::to_string(n) +
                             " elements but '" + std::string(names[i]) + "' has " + std::to_string(size));
    }
    inputs.shape.assign({n});
    return inputs;
}

Inputs broadcastInputs(std::span<const std::string_view> names, PyObject* const* values, size_t set_aside) {
    Inputs inputs;
    size_t first = 0;
    while (set_aside > 0 && first < names.size() && isSetAside(values[first])) ++first;
    if (allLaidOutAlike(names.size(), values, first, set_aside > 0)) {
        // A stand-in is given the data of the first value read.
        if (first == names.size()) inputs.shape.assign({1});
        else inputs.shape.assign(shapeOf(values[first]));
        inputs.data.reserve(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            const bool lent = set_aside > 0 && isSetAside(values[i]) && first < names.size();
            inputs.data.push_back(dataOf<const double>(values[lent ? first : i]));
        }
        return inputs;
    }
    broadcastShape(inputs.shape, names, values);
    inputs.data.reserve(names.size());
    inputs.strides.reserve(names.size() * inputs.shape.size());
    for (size_t i = 0; i < names.size(); ++i) addBroadcast(inputs, values[i]);
    if (set_aside > 0) lendLayouts(inputs, values);
    return inputs;
}

void failKeywordName(PyObject* key) {
    const Ref repr = Ref::steal(PyObject_Repr(key));
    if (!repr) throw PythonError();
    throw QueryError("Keyword argument name is not valid text: " + textOf(repr.get()));
}

std::string shapeText(PyObject* array) {
    const auto shape = shapeOf(array);
    std::string text = "(";
    for (size_t k = 0; k < shape.size(); ++k) text += (k > 0 ? ", " : "") + std::to_string(shape[k]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

size_t setAsideUnread(std::span<PyObject*> values, std::span<const uint32_t> read) {
    if (read.size() == values.size()) return 0;
    size_t next = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (next < read.size() && read[next] == i) {
            ++next;
            continue;
        }
        values[i] = standIn();
    }
    return values.size() - read.size();
}

void convertNumbers(std::span<PyObject*> values, NumberArrays& kept) {
    for (PyObject*& value : values) {
        if (!PyFloat_CheckExact(value) && !PyLong_CheckExact(value)) continue;
        if (PyLong_CheckExact(value)) {
            // Ints beyond the largest float64 are the converter's: they give an infinity.
            const double rounded = PyLong_AsDouble(value);
            if (rounded == -1.0 && PyErr_Occurred() != nullptr) {
                PyErr_Clear();
                continue;
            }
        }
        value = kept.keep(alignedNativeCopy(value));
    }
}

bool needsConversion(std::span<PyObject* const> values) {
    return std::ranges::any_of(
        values, [](PyObject* value) { return !isArray(value) || !isNativeDouble(value) || !isAligned(value); });
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
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = PyTuple_GET_ITEM(converted.get(), static_cast<Py_ssize_t>(i));
        if (!isArray(values[i]) || !isNativeDouble(values[i]) || !isAligned(values[i]))
            throw py::type_error("the converter gave '" + std::string(names[i]) + "' as no aligned float64 array");
    }
    return converted;
}

}  // namespace qelto
