// The _qelto extension module: query(expr, **kwargs) checks the keyword
// arrays, fetches the compiled program from the cache and evaluates it over
// every element with the interpreter lock released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cache.h"
#include "result_buffers.h"
#include "tarnex/engine.h"

namespace py = pybind11;

namespace {

// Messages quote the caller's text and names, which may hold NUL bytes and
// invalid UTF-8; this error keeps their full length for the translation below.
class QueryError : public std::runtime_error {
public:
    explicit QueryError(const std::string& message) : std::runtime_error(message), message_(message) {}
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

// RuntimeError with every byte of the message; undecodable bytes appear as
// \xNN escapes instead of turning the error into a UnicodeDecodeError.
void translateQueryError(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const QueryError& e) {
        const std::string& message = e.message();
        auto text = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(message.data(), static_cast<py::ssize_t>(message.size()), "backslashreplace"));
        if (text) PyErr_SetObject(PyExc_RuntimeError, text.ptr());
    }
}

[[noreturn]] void failVariable(const std::string& name, const std::string& problem) {
    throw QueryError("Variable '" + name + "' " + problem);
}

// A float64 view of a foreign buffer may start at any byte, and reading
// misaligned doubles is undefined, so the conversion also asks NumPy for
// aligned data; it copies only such arrays and byte-swapped ones.
constexpr int ALIGNED_NATIVE_FLAGS =
    static_cast<int>(py::array::forcecast) | static_cast<int>(py::detail::npy_api::NPY_ARRAY_ALIGNED_);
using AlignedFloat64Array = py::array_t<double, ALIGNED_NATIVE_FLAGS>;

py::array_t<double> requireFloat64Array(py::handle value, const std::string& name) {
    if (!py::isinstance<py::array>(value)) failVariable(name, "is not a numpy array");
    auto array = py::reinterpret_borrow<py::array>(value);
    const py::dtype dtype = array.dtype();
    if (dtype.kind() != 'f' || dtype.itemsize() != 8)
        failVariable(name, "must be float64 (got " + std::string(py::str(py::object(dtype))) + ")");
    const int flags = array.flags();
    if ((flags & py::array::c_style) == 0) failVariable(name, "must be C-contiguous");
    // The common case needs no conversion call: NumPy would hand back the
    // same object, and we only read the buffer.
    constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
    const bool native = (dtype.byteorder() == '=' || dtype.byteorder() == native_order) &&
                        dtype.num() == py::detail::npy_api::NPY_DOUBLE_;
    if (native && (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0)
        return py::reinterpret_borrow<py::array_t<double>>(value);
    return py::reinterpret_steal<py::array_t<double>>(AlignedFloat64Array(array).release());
}

// The keyword arguments in call order, each checked and converted.
struct Inputs {
    std::vector<std::string> names;
    std::vector<py::array_t<double>> arrays;  // keeps every buffer alive
    std::vector<const double*> data;
};

Inputs collectInputs(const py::kwargs& kwargs) {
    Inputs inputs;
    const size_t count = kwargs.size();
    inputs.names.reserve(count);
    inputs.arrays.reserve(count);
    inputs.data.reserve(count);
    for (auto [key, value] : kwargs) {
        std::string name = key.cast<std::string>();
        py::array_t<double> array = requireFloat64Array(value, name);
        inputs.data.push_back(array.data());
        inputs.arrays.push_back(std::move(array));
        inputs.names.push_back(std::move(name));
    }
    return inputs;
}

// The common element count: the first array's size, or 1 with no arrays.
int64_t requireEqualSizes(const Inputs& inputs) {
    if (inputs.arrays.empty()) return 1;
    const int64_t n = inputs.arrays[0].size();
    for (size_t i = 1; i < inputs.arrays.size(); ++i) {
        const int64_t size = inputs.arrays[i].size();
        if (size != n)
            throw QueryError("Array size mismatch: '" + inputs.names[0] + "' has " + std::to_string(n) +
                             " elements but '" + inputs.names[i] + "' has " + std::to_string(size));
    }
    return n;
}

py::array_t<double> query(std::string expr, py::kwargs kwargs) {
    Inputs inputs = collectInputs(kwargs);
    const int64_t n = requireEqualSizes(inputs);
    const std::vector<std::string_view> views(inputs.names.begin(), inputs.names.end());

    std::shared_ptr<tarnex::Program> program;
    try {
        static tarnex::ProgramCache cache;
        program = cache.getOrCompile(expr, views, inputs.names);
    } catch (const std::exception& e) {
        throw QueryError("Expression failed to compile: " + expr + " \u2014 " + e.what());
    }

    py::array_t<double> result = tarnex::allocateResult(n);
    double* out = result.mutable_data();
    const int64_t block_size = tarnex::BLOCK_SIZE;
    {
        py::gil_scoped_release release;
        tarnex::evaluateParallel(inputs.data.size(), block_size, out, program, n, inputs.data);
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_qelto, m) {
    py::register_local_exception_translator(translateQueryError);
    m.def("query", &query, py::arg("expr"));
}
