#include "destination.h"

#include <algorithm>
#include <string>

#include "arrays.h"
#include "errors.h"
#include "result_buffers.h"

namespace py = pybind11;

namespace qelto {
namespace {

bool sameShapes(std::span<PyObject* const> values) {
    return std::ranges::all_of(values, [&](PyObject* value) { return std::ranges::equal(shapeOf(value), shapeOf(values[0])); });
}

bool overlaps(const double* a, const double* b, int64_t n) {
    const auto start_a = reinterpret_cast<uintptr_t>(a), start_b = reinterpret_cast<uintptr_t>(b);
    const auto bytes = static_cast<uintptr_t>(n) * sizeof(double);
    return n > 0 && start_a < start_b + bytes && start_b < start_a + bytes;
}

}  // namespace

double* checkedOut(PyObject* out, int64_t n, std::span<const std::string_view> names, const Inputs& inputs) {
    if (!isArray(out)) throw py::type_error("out must be a numpy array (got " + std::string(Py_TYPE(out)->tp_name) + ")");
    if (!isNativeDouble(out))
        throw py::type_error("out must be float64 in native byte order (got " + textOf(dtypeOf(out)) + ")");
    if (!isCContiguous(out)) throw py::value_error("out must be C-contiguous");
    if (!isAligned(out)) throw py::value_error("out must be aligned");
    if (!hasFlag(out, npy::npy_api::NPY_ARRAY_WRITEABLE_)) throw py::value_error("out is read-only");
    if (elementCount(out) != n)
        throw py::value_error("out has " + std::to_string(elementCount(out)) + " elements but the result has " +
                              std::to_string(n));
    auto* data = dataOf<double>(out);
    for (size_t i = 0; i < names.size(); ++i)
        if (inputs.data[i] != data && overlaps(inputs.data[i], data, n))
            throw py::value_error("out overlaps '" + std::string(names[i]) + "' but does not start where it starts");
    return data;
}

Ref newResult(int64_t n, bool input_shape, std::span<PyObject* const> values) {
    if (!input_shape || values.empty() || !sameShapes(values)) {
        const Py_intptr_t flat[] = {static_cast<Py_intptr_t>(n)};
        return Ref::steal(tarnex::allocateResult(flat).release().ptr());
    }
    return Ref::steal(tarnex::allocateResult(shapeOf(values[0])).release().ptr());
}

}  // namespace qelto
