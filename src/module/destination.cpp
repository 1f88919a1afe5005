#include "destination.h"

#include <algorithm>
#include <type_traits>
#include <vector>
#include <string>

#include "arrays.h"
#include "errors.h"
#include "result_buffers.h"

namespace py = pybind11;

namespace qelto {
namespace {

// The bytes an input's elements span, and whether it lies like the result.
struct Extent {
    const char* low;
    const char* high;
    bool like_result;
};

Extent extentOf(const Inputs& inputs, size_t value) {
    const char* low = reinterpret_cast<const char*>(inputs.data[value]);
    if (inputs.strides.empty()) return {low, low + inputs.elementCount() * static_cast<int64_t>(sizeof(double)), true};
    const std::span<const int64_t> shape = inputs.shape;
    const auto strides = std::span(inputs.strides).subspan(value * shape.size(), shape.size());
    const char* high = low + sizeof(double);
    int64_t c_stride = sizeof(double);
    bool like_result = true;
    for (size_t k = shape.size(); k-- > 0;) {
        const int64_t reach = strides[k] * (shape[k] - 1);
        (reach < 0 ? low : high) += reach;
        like_result &= shape[k] == 1 || strides[k] == c_stride;
        c_stride *= shape[k];
    }
    return {low, high, like_result};
}

// Where the result's shape comes from: ", from 'a' of shape (2, 1) and 'b'
// of shape (3,)".
std::string shapeSources(std::span<const std::string_view> names, std::span<PyObject* const> values) {
    std::vector<size_t> read;
    for (size_t i = 0; i < values.size(); ++i)
        if (!isSetAside(values[i])) read.push_back(i);
    if (read.empty()) return ": the expression reads no value";
    std::string text = ", from";
    for (size_t k = 0; k < read.size(); ++k) {
        text += k == 0 ? " '" : k + 1 == read.size() ? " and '" : ", '";
        text += std::string(names[read[k]]) + "' of shape " + shapeText(values[read[k]]);
    }
    return text;
}

}  // namespace

double* checkedOut(PyObject* out, std::span<const std::string_view> names, std::span<PyObject* const> values,
                   const Inputs& inputs) {
    if (!isArray(out)) throw py::type_error("out must be a numpy array (got " + std::string(Py_TYPE(out)->tp_name) + ")");
    if (!isNativeDouble(out))
        throw py::type_error("out must be float64 in native byte order (got " + textOf(dtypeOf(out)) + ")");
    if (!isCContiguous(out)) throw py::value_error("out must be C-contiguous");
    if (!isAligned(out)) throw py::value_error("out must be aligned");
    if (!hasFlag(out, npy::npy_api::NPY_ARRAY_WRITEABLE_)) throw py::value_error("out is read-only");
    const int64_t n = inputs.elementCount();
    if (elementCount(out) != n)
        throw py::value_error("out has " + std::to_string(elementCount(out)) + " elements but the result has " +
                              std::to_string(n) + shapeSources(names, values));
    auto* data = dataOf<double>(out);
    const char* start = reinterpret_cast<const char*>(data);
    const char* end = start + n * static_cast<int64_t>(sizeof(double));
    for (size_t i = 0; i < names.size() && n > 0; ++i) {
        const Extent extent = extentOf(inputs, i);
        const bool same = extent.like_result && inputs.data[i] == data;
        if (!same && extent.low < end && start < extent.high)
            throw py::value_error("out overlaps '" + std::string(names[i]) + "' but does not start where it starts");
    }
    return data;
}

Ref newResult(const Inputs& inputs) {
    static_assert(std::is_same_v<Py_intptr_t, int64_t>, "shapes are passed to NumPy as they are");
    return Ref::steal(tarnex::allocateResult(inputs.shape).release().ptr());
}

}  // namespace qelto
