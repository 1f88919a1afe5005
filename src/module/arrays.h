// What the module reads of a NumPy array: its dtype, flags, shape and data,
// straight from the object, with no Python code run. NumPy's C interface is
// loaded with the module.
#pragma once

#include <pybind11/numpy.h>

#include <bit>
#include <cstdint>
#include <span>

namespace qelto {

namespace npy = pybind11::detail;

inline bool isArray(PyObject* object) { return npy::npy_api::get().PyArray_Check_(object); }

inline PyObject* dtypeOf(PyObject* array) { return npy::array_proxy(array)->descr; }

// The dtype's own fields; the handle lives no longer than the expression.
inline pybind11::dtype dtypeView(PyObject* array) { return pybind11::reinterpret_borrow<pybind11::dtype>(dtypeOf(array)); }

// The fields every NumPy's dtype has at one place, read without a handle:
// this runs for every value of every call.
inline const npy::PyArrayDescr_Proxy* descriptorOf(PyObject* array) {
    return npy::array_descriptor_proxy(dtypeOf(array));
}

inline bool isNativeDouble(PyObject* array) {
    constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
    const npy::PyArrayDescr_Proxy* descriptor = descriptorOf(array);
    return descriptor->type_num == npy::npy_api::NPY_DOUBLE_ &&
           (descriptor->byteorder == '=' || descriptor->byteorder == native_order);
}

inline bool isFloat64(PyObject* array) {
    if (descriptorOf(array)->type_num == npy::npy_api::NPY_DOUBLE_) return true;
    const pybind11::dtype dtype = dtypeView(array);
    return dtype.kind() == 'f' && dtype.itemsize() == 8;
}

inline bool hasFlag(PyObject* array, int flag) { return (npy::array_proxy(array)->flags & flag) != 0; }

inline bool isCContiguous(PyObject* array) { return hasFlag(array, npy::npy_api::NPY_ARRAY_C_CONTIGUOUS_); }

inline bool isAligned(PyObject* array) { return hasFlag(array, npy::npy_api::NPY_ARRAY_ALIGNED_); }

inline std::span<const Py_intptr_t> shapeOf(PyObject* array) {
    const auto* proxy = npy::array_proxy(array);
    return {proxy->dimensions, static_cast<size_t>(proxy->nd)};
}

inline int64_t elementCount(PyObject* array) {
    int64_t size = 1;
    for (const Py_intptr_t extent : shapeOf(array)) size *= extent;
    return size;
}

template <class T>
T* dataOf(PyObject* array) {
    return reinterpret_cast<T*>(npy::array_proxy(array)->data);
}

}  // namespace qelto
