// The _qelto extension module: query(expr, **kwargs) checks the keyword
// arrays, fetches the compiled program from the cache and evaluates it over
// every element with the interpreter lock released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <optional>
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

[[noreturn]] void failVariable(std::string_view name, const std::string& problem) {
    throw QueryError("Variable '" + std::string(name) + "' " + problem);
}

// A float64 view of a foreign buffer may start at any byte, and reading
// misaligned doubles is undefined, so the conversion also asks NumPy for
// aligned data; it copies only such arrays and byte-swapped ones.
constexpr int ALIGNED_NATIVE_FLAGS =
    static_cast<int>(py::array::forcecast) | static_cast<int>(py::detail::npy_api::NPY_ARRAY_ALIGNED_);
using AlignedFloat64Array = py::array_t<double, ALIGNED_NATIVE_FLAGS>;

// The keyword arrays in call order: each one's data, and the converted
// copies that must live as long as the call (the caller's own arrays are
// kept alive by the call itself).
struct Inputs {
    std::vector<const double*> data;
    std::vector<py::object> copies;
};

bool isFloat64(const py::dtype& dtype) { return dtype.kind() == 'f' && dtype.itemsize() == 8; }

bool isNativeDouble(const py::dtype& dtype) {
    constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
    return (dtype.byteorder() == '=' || dtype.byteorder() == native_order) &&
           dtype.num() == py::detail::npy_api::NPY_DOUBLE_;
}

bool hasFlag(PyObject* array, int flag) { return (py::detail::array_proxy(array)->flags & flag) != 0; }

bool isCContiguous(PyObject* array) { return hasFlag(array, py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_); }

// At exit CPython ends a thread that asks for the interpreter lock back by
// unwinding its stack, which must pass through every frame of ours: a
// handler re-throws it. That thread does not hold the lock, so the Python
// references its frames own are let go without counting them down.
thread_local bool retaking_lock = false;

// Still true when the interpreter ended the thread instead of returning.
bool threadIsEnding() { return retaking_lock; }

void retakeLock(PyThreadState* state) {
    retaking_lock = true;
    PyEval_RestoreThread(state);
    retaking_lock = false;
}

void abandon(py::object& object) { static_cast<void>(object.release()); }

void abandon(std::vector<py::object>& objects) {
    for (py::object& object : objects) abandon(object);
}

// A keyword's name as UTF-8, or nothing for a name with lone surrogates.
std::optional<std::string_view> keywordName(PyObject* key) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (name == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(name, static_cast<size_t>(size));
}

[[noreturn]] void failKeywordName(PyObject* key) {
    throw QueryError("Keyword argument name is not valid text: " + std::string(py::repr(py::handle(key))));
}

int64_t elementCount(PyObject* array) {
    auto* proxy = py::detail::array_proxy(array);
    int64_t size = 1;
    for (int d = 0; d < proxy->nd; ++d) size *= proxy->dimensions[d];
    return size;
}

// The three tests of one keyword value, in order, then its data. The
// array's dtype, flags and data are read from the object itself.
void addInput(Inputs& inputs, PyObject* value, std::string_view name) {
    const auto& api = py::detail::npy_api::get();
    if (!api.PyArray_Check_(value)) failVariable(name, "is not a numpy array");
    auto* array = py::detail::array_proxy(value);
    const py::dtype dtype = py::reinterpret_borrow<py::dtype>(array->descr);
    if (!isFloat64(dtype)) failVariable(name, "must be float64 (got " + std::string(py::str(py::object(dtype))) + ")");
    if (!isCContiguous(value)) failVariable(name, "must be C-contiguous");
    // The common case needs no conversion call: NumPy would hand back the
    // same object, and we only read the buffer.
    if (isNativeDouble(dtype) && hasFlag(value, py::detail::npy_api::NPY_ARRAY_ALIGNED_)) {
        inputs.data.push_back(reinterpret_cast<const double*>(array->data));
        return;
    }
    AlignedFloat64Array copy(py::reinterpret_borrow<py::array>(value));
    inputs.data.push_back(copy.data());
    inputs.copies.push_back(std::move(copy));
}

// `invalid_name`, when not null, is the key of the keyword after `names`,
// whose name could not be read: its error follows the earlier keywords' tests.
Inputs collectInputs(const std::vector<std::string_view>& names, PyObject* const* values, PyObject* invalid_name) {
    Inputs inputs;
    inputs.data.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) addInput(inputs, values[i], names[i]);
    if (invalid_name != nullptr) failKeywordName(invalid_name);
    return inputs;
}

// The common element count of the checked arrays: the first one's size, or
// 1 with no arrays.
int64_t requireEqualSizes(const std::vector<std::string_view>& names, PyObject* const* values) {
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

// Runs `work` with the interpreter lock released and takes the lock back
// however `work` ends. No destructor takes it back: one that did could not
// let the unwind that ends the thread at exit pass.
template <class Work>
void runWithoutLock(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        retakeLock(state);
        throw;
    }
    retakeLock(state);
}

// Between two slices the call takes the interpreter lock back just long
// enough to let Python run its signal handlers, so Ctrl-C stops a long
// evaluation. A slice is about this much work for each thread of the team,
// by the plan's estimate of an element's cost.
constexpr double SLICE_NANOSECONDS = 20e6;

struct Slicing {
    int64_t elements;
    int64_t block_size;
};

// Programs that fail whole blocks are cut into whole blocks, at least one
// per thread (a slice lasts a block's time anyway); the others anywhere, in
// one block per thread, so that a costly program's short slice keeps the
// team busy.
Slicing slicingFor(const tarnex::ElementCost& cost, int64_t n) {
    const int64_t threads = tarnex::threadCount();
    const double elements = std::min(SLICE_NANOSECONDS * static_cast<double>(threads) / cost.nanoseconds,
                                     static_cast<double>(n));
    if (cost.whole_blocks) {
        const int64_t blocks = std::max(threads, static_cast<int64_t>(elements) / tarnex::BLOCK_SIZE);
        return {blocks * tarnex::BLOCK_SIZE, tarnex::BLOCK_SIZE};
    }
    const int64_t slice = std::max<int64_t>(1, static_cast<int64_t>(elements));
    return {slice, std::min(tarnex::BLOCK_SIZE, (slice + threads - 1) / threads)};
}

void evaluateSlice(const std::shared_ptr<tarnex::Program>& program, int64_t n, const int64_t& block_size,
                   double* out, const std::vector<const double*>& data) {
    runWithoutLock([&] { tarnex::evaluateParallel(data.size(), block_size, out, program, n, data); });
}

void evaluateInterruptibly(const std::shared_ptr<tarnex::Program>& program, int64_t n, double* out,
                           const std::vector<const double*>& data) {
    const tarnex::ElementCost& cost = tarnex::elementCost(*program);
    if (static_cast<double>(n) * cost.nanoseconds <= SLICE_NANOSECONDS)
        return evaluateSlice(program, n, tarnex::BLOCK_SIZE, out, data);
    const Slicing slicing = slicingFor(cost, n);
    if (slicing.elements >= n) return evaluateSlice(program, n, tarnex::BLOCK_SIZE, out, data);
    std::vector<const double*> slice(data.size());
    for (int64_t start = 0; start < n; start += slicing.elements) {
        if (start > 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
        for (size_t v = 0; v < data.size(); ++v) slice[v] = data[v] + start;
        evaluateSlice(program, std::min(slicing.elements, n - start), slicing.block_size, out + start, slice);
    }
}

// Compiling touches no Python object, so a long text is compiled with the
// interpreter lock released. From this length on a compilation takes half a
// millisecond or more (about 30 ns a byte, `make bench`), a tenth of the
// interpreter's switch interval; shorter texts keep the lock, since taking
// it back from busy threads can cost more than compiling them.
constexpr size_t RELEASE_LOCK_MIN_TEXT = 16 * 1024;

tarnex::Program compileLettingThreadsRun(std::string_view text, const std::vector<std::string_view>& names) {
    if (text.size() < RELEASE_LOCK_MIN_TEXT) return tarnex::compile(text, names);
    std::optional<tarnex::Program> program;
    runWithoutLock([&] { program.emplace(tarnex::compile(text, names)); });
    return std::move(*program);
}

std::shared_ptr<tarnex::Program> compiled(std::string_view expr, const std::vector<std::string_view>& names) {
    try {
        static tarnex::ProgramCache cache(&compileLettingThreadsRun);
        return cache.getOrCompile(expr, names);
    } catch (const std::exception& e) {
        throw QueryError("Expression failed to compile: " + std::string(expr) + " \u2014 " + e.what());
    }
}

// Where a call's result goes: the caller's `out`, or a new array that is
// one-dimensional or, with `input_shape`, of the inputs' shape when they
// all have one.
struct Destination {
    PyObject* out = nullptr;
    bool input_shape = false;
};

bool sameShapes(size_t count, PyObject* const* values) {
    const auto* first = py::detail::array_proxy(values[0]);
    const std::span<const Py_intptr_t> shape(first->dimensions, static_cast<size_t>(first->nd));
    for (size_t i = 1; i < count; ++i) {
        const auto* array = py::detail::array_proxy(values[i]);
        if (!std::ranges::equal(shape, std::span<const Py_intptr_t>(array->dimensions, static_cast<size_t>(array->nd))))
            return false;
    }
    return true;
}

py::array_t<double> newResult(int64_t n, bool input_shape, size_t count, PyObject* const* values) {
    if (!input_shape || count == 0 || !sameShapes(count, values)) {
        const Py_intptr_t flat[] = {static_cast<Py_intptr_t>(n)};
        return tarnex::allocateResult(flat);
    }
    const auto* first = py::detail::array_proxy(values[0]);
    return tarnex::allocateResult(std::span<const Py_intptr_t>(first->dimensions, static_cast<size_t>(first->nd)));
}

bool overlaps(const double* a, const double* b, int64_t n) {
    const auto start_a = reinterpret_cast<uintptr_t>(a), start_b = reinterpret_cast<uintptr_t>(b);
    const auto bytes = static_cast<uintptr_t>(n) * sizeof(double);
    return n > 0 && start_a < start_b + bytes && start_b < start_a + bytes;
}

// Every test of `out` comes before anything is written to it. An input in
// the very same memory is safe: each element is read before it is written.
double* checkedOut(PyObject* out, int64_t n, const std::vector<std::string_view>& names, const Inputs& inputs) {
    if (!py::detail::npy_api::get().PyArray_Check_(out))
        throw py::type_error("out must be a numpy array (got " + std::string(Py_TYPE(out)->tp_name) + ")");
    const py::dtype dtype = py::reinterpret_borrow<py::dtype>(py::detail::array_proxy(out)->descr);
    if (!isNativeDouble(dtype))
        throw py::type_error("out must be float64 in native byte order (got " + std::string(py::str(py::object(dtype))) + ")");
    if (!isCContiguous(out)) throw py::value_error("out must be C-contiguous");
    if (!hasFlag(out, py::detail::npy_api::NPY_ARRAY_ALIGNED_)) throw py::value_error("out must be aligned");
    if (!hasFlag(out, py::detail::npy_api::NPY_ARRAY_WRITEABLE_)) throw py::value_error("out is read-only");
    if (elementCount(out) != n)
        throw py::value_error("out has " + std::to_string(elementCount(out)) + " elements but the result has " +
                              std::to_string(n));
    auto* data = reinterpret_cast<double*>(py::detail::array_proxy(out)->data);
    for (size_t i = 0; i < names.size(); ++i)
        if (inputs.data[i] != data && overlaps(inputs.data[i], data, n))
            throw py::value_error("out overlaps '" + std::string(names[i]) + "' but does not start where it starts");
    return data;
}

// Steps 2 to 10 of a call, shared by every entry: `values` holds one object
// per name, in keyword order (see collectInputs for `invalid_name`).
py::array_t<double> evaluate(std::string_view expr, const std::vector<std::string_view>& names,
                             PyObject* const* values, const Destination& destination = {},
                             PyObject* invalid_name = nullptr) {
    Inputs inputs = collectInputs(names, values, invalid_name);
    const int64_t n = requireEqualSizes(names, values);
    double* const out = destination.out != nullptr ? checkedOut(destination.out, n, names, inputs) : nullptr;

    std::shared_ptr<tarnex::Program> program;
    try {
        program = compiled(expr, names);
    } catch (...) {
        if (threadIsEnding()) abandon(inputs.copies);
        throw;
    }

    py::array_t<double> result = out != nullptr ? py::reinterpret_borrow<py::array_t<double>>(destination.out)
                                                : newResult(n, destination.input_shape, names.size(), values);
    try {
        evaluateInterruptibly(program, n, out != nullptr ? out : result.mutable_data(), inputs.data);
    } catch (...) {
        if (threadIsEnding()) {
            abandon(inputs.copies);
            abandon(result);
        }
        throw;
    }
    return result;
}

// The entry pybind11 binds: it converts `expr` (str, bytes or bytearray) and
// raises its standard TypeError for anything else.
py::array_t<double> query(std::string expr, py::kwargs kwargs) {
    std::vector<std::string_view> names;
    std::vector<PyObject*> values;
    PyObject* invalid_name = nullptr;
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t position = 0; PyDict_Next(kwargs.ptr(), &position, &key, &value);) {
        const std::optional<std::string_view> name = keywordName(key);
        if (!name) {
            invalid_name = key;
            break;
        }
        names.push_back(*name);
        values.push_back(value);
    }
    try {
        return evaluate(expr, names, values.data(), {}, invalid_name);
    } catch (...) {
        if (threadIsEnding()) abandon(kwargs);
        throw;
    }
}

// pybind11's function, kept out of the module's namespace for the calls
// the fast entry hands on.
PyObject* bound_query = nullptr;

// The common call, `query("text", name=array, ...)` with a str text, read
// straight from the vector call without building a keyword dictionary.
// Every other form goes to pybind11's function, whose conversions and
// errors stay the reference.
PyObject* queryFast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const char* text = nullptr;
    Py_ssize_t length = 0;
    if (nargs == 1 && PyUnicode_CheckExact(args[0])) text = PyUnicode_AsUTF8AndSize(args[0], &length);
    std::vector<std::string_view> names;
    names.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; text != nullptr && i < count; ++i) {
        const std::optional<std::string_view> name = keywordName(PyTuple_GET_ITEM(kwnames, i));
        if (!name || *name == "expr") text = nullptr;
        names.push_back(name.value_or(std::string_view()));
    }
    if (text == nullptr) {
        PyErr_Clear();
        return PyObject_Vectorcall(bound_query, args, static_cast<size_t>(nargs), kwnames);
    }
    try {
        return evaluate(std::string_view(text, static_cast<size_t>(length)), names, args + 1).release().ptr();
    } catch (...) {
        if (threadIsEnding()) throw;
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

// ---- The package's entries
// The typed package reaches these through `query.__self__`, so that the
// module keeps `query` as its one attribute. They run with the interpreter
// lock held and raise Python exceptions.

// Whether the package must convert some value first: one that is not a
// float64, C-contiguous array, or a 0-d array beside arrays of other sizes.
bool needsConversion(size_t count, PyObject* const* values) {
    const auto& api = py::detail::npy_api::get();
    bool zero_dimensional = false, sizes_differ = false;
    for (size_t i = 0; i < count; ++i) {
        if (!api.PyArray_Check_(values[i]) || !isCContiguous(values[i]) ||
            !isFloat64(py::reinterpret_borrow<py::dtype>(py::detail::array_proxy(values[i])->descr)))
            return true;
        zero_dimensional |= py::detail::array_proxy(values[i])->nd == 0;
        sizes_differ |= elementCount(values[i]) != elementCount(values[0]);
    }
    return zero_dimensional && sizes_differ;
}

// A bytearray's buffer may move while a long text compiles without the
// interpreter lock, so its text is copied; str and bytes are immutable.
std::string_view textOf(PyObject* expr, std::string& copy) {
    Py_ssize_t length = 0;
    if (PyUnicode_Check(expr)) {
        const char* text = PyUnicode_AsUTF8AndSize(expr, &length);
        if (text == nullptr) throw py::error_already_set();
        return {text, static_cast<size_t>(length)};
    }
    if (PyBytes_Check(expr)) return {PyBytes_AS_STRING(expr), static_cast<size_t>(PyBytes_GET_SIZE(expr))};
    if (PyByteArray_Check(expr)) {
        copy.assign(PyByteArray_AS_STRING(expr), static_cast<size_t>(PyByteArray_GET_SIZE(expr)));
        return copy;
    }
    throw py::type_error("expr must be str, bytes or bytearray (got " + std::string(Py_TYPE(expr)->tp_name) + ")");
}

// A call's keyword arguments other than `out`, in keyword order.
struct Keywords {
    std::vector<std::string_view> names;
    std::vector<PyObject*> values;
    PyObject* out = nullptr;
    PyObject* invalid_name = nullptr;  // the first name that is not valid text; none after it is read
};

Keywords keywordsOf(PyObject* const* values, PyObject* kwnames) {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    Keywords keywords;
    keywords.names.reserve(static_cast<size_t>(count));
    keywords.values.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::optional<std::string_view> name = keywordName(PyTuple_GET_ITEM(kwnames, i));
        if (!name) {
            keywords.invalid_name = PyTuple_GET_ITEM(kwnames, i);
            break;
        }
        const std::string_view view = *name;
        if (view == "out") {
            keywords.out = values[i] == Py_None ? nullptr : values[i];
            continue;
        }
        keywords.names.push_back(view);
        keywords.values.push_back(values[i]);
    }
    return keywords;
}

// The package's function that turns a call's values into float64
// C-contiguous arrays: converter(names, values) -> arrays, in their order.
PyObject* converter = nullptr;

// The converted arrays replace the values and live as long as the call.
py::tuple convertedValues(Keywords& keywords) {
    if (converter == nullptr) throw py::type_error("the qelto package is not imported");
    py::tuple names(keywords.names.size()), values(keywords.values.size());
    for (size_t i = 0; i < keywords.names.size(); ++i) {
        names[i] = py::str(keywords.names[i].data(), keywords.names[i].size());
        values[i] = py::reinterpret_borrow<py::object>(keywords.values[i]);
    }
    auto converted = py::reinterpret_borrow<py::object>(converter)(names, values).cast<py::tuple>();
    if (converted.size() != values.size()) throw py::type_error("the converter gave the wrong number of arrays");
    for (size_t i = 0; i < converted.size(); ++i) keywords.values[i] = converted[i].ptr();
    return converted;
}

// query(expr, *, out=None, **arrays): the result in the inputs' shape, or in
// `out`. Values that need converting go through the converter first.
PyObject* packageQuery(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::object converted;  // the arrays that replace values, alive for the call
    try {
        if (nargs != 1) throw py::type_error("query() takes expr as its one positional argument");
        std::string copy;
        const std::string_view text = textOf(args[0], copy);
        Keywords keywords = keywordsOf(args + 1, kwnames);
        if (needsConversion(keywords.values.size(), keywords.values.data())) converted = convertedValues(keywords);
        const Destination destination{keywords.out, true};
        return evaluate(text, keywords.names, keywords.values.data(), destination, keywords.invalid_name)
            .release()
            .ptr();
    } catch (...) {
        if (threadIsEnding()) {
            abandon(converted);
            throw;
        }
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

PyObject* setConverter(PyObject*, PyObject* function) {
    Py_XSETREF(converter, Py_NewRef(function));
    Py_RETURN_NONE;
}

// None for the OpenMP runtime's default, or 1 to MAX_THREAD_COUNT.
int requestedThreadCount(PyObject* value) {
    if (value == Py_None) return 0;
    if (PyBool_Check(value) || !PyIndex_Check(value))
        throw py::type_error("thread count must be an int or None (got " + std::string(Py_TYPE(value)->tp_name) + ")");
    auto count = py::reinterpret_steal<py::object>(PyNumber_Index(value));
    if (!count) throw py::error_already_set();
    int overflow = 0;
    const long k = PyLong_AsLongAndOverflow(count.ptr(), &overflow);
    if (overflow != 0 || k < 1 || k > tarnex::MAX_THREAD_COUNT)
        throw py::value_error("thread count must be from 1 to " + std::to_string(tarnex::MAX_THREAD_COUNT) + " (got " +
                              std::string(py::str(count)) + ")");
    return static_cast<int>(k);
}

PyObject* setNumThreads(PyObject*, PyObject* value) {
    try {
        tarnex::setThreadCount(requestedThreadCount(value));
        Py_RETURN_NONE;
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

PyObject* getNumThreads(PyObject*, PyObject*) { return PyLong_FromLong(tarnex::threadCount()); }

PyObject* numThreadsSetting(PyObject*, PyObject*) {
    const int setting = tarnex::threadCountSetting();
    if (setting == 0) Py_RETURN_NONE;
    return PyLong_FromLong(setting);
}

template <class Function>
PyCFunction entry(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr const char* PACKAGE_QUERY_DOC =
    "query(expr, /, *, out=None, **arrays)\n--\n\n"
    "expr evaluated element by element over the arrays, in the language and with the errors of\n"
    "_qelto.query. Scalars, 0-d arrays (broadcast to the others' size), array-likes, and bool,\n"
    "integer and float arrays of any layout are converted to float64 first (integers beyond 2**53\n"
    "round); complex, object, string and date values are a TypeError. The result has the arrays'\n"
    "shape when they share one (all 0-d: 0-d), else one dimension.\n\n"
    "out, a writable, aligned, C-contiguous float64 array of as many elements, in any shape,\n"
    "receives the result and is returned; it may be the very memory of an input, but overlap\n"
    "no input otherwise. A wrong out is a TypeError (not a float64 array) or a ValueError, raised\n"
    "before anything is written; an evaluation error may leave it partly written.";

PyMethodDef package_entries[] = {
    {"query", entry(packageQuery), METH_FASTCALL | METH_KEYWORDS, PACKAGE_QUERY_DOC},
    {"set_converter", entry(setConverter), METH_O, nullptr},
    {"set_num_threads", entry(setNumThreads), METH_O, nullptr},
    {"get_num_threads", entry(getNumThreads), METH_NOARGS, nullptr},
    {"num_threads_setting", entry(numThreadsSetting), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A module object that is in no sys.modules and no attribute, so pickling
// `query` stays by name, as for any function whose `__self__` is a module.
// Its functions name `qelto` as their module: the package's `query` is this
// one, and pickles by name too.
py::object packageEntries() {
    auto entries = py::reinterpret_steal<py::object>(PyModule_New("_qelto.package_entries"));
    if (!entries) throw py::error_already_set();
    const py::str package("qelto");
    for (PyMethodDef* def = package_entries; def->ml_name != nullptr; ++def) {
        auto function = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, entries.ptr(), package.ptr()));
        if (!function) throw py::error_already_set();
        entries.attr(def->ml_name) = function;
    }
    return entries;
}

}  // namespace

PYBIND11_MODULE(_qelto, m) {
    py::register_local_exception_translator(translateQueryError);
    m.def("query", &query, py::arg("expr"));
    // The fast entry takes the name, and the docstring with its signature.
    bound_query = py::object(m.attr("query")).release().ptr();
    static std::string doc = py::str(py::handle(bound_query).attr("__doc__"));
    static PyMethodDef fast{"query", entry(queryFast), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    const py::object entries = packageEntries();
    m.attr("query") =
        py::reinterpret_steal<py::object>(PyCFunction_NewEx(&fast, entries.ptr(), m.attr("__name__").ptr()));
}
