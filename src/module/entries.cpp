#include "entries.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arrays.h"
#include "compile_notes.h"
#include "destination.h"
#include "engine_decisions.h"
#include "errors.h"
#include "evaluation.h"
#include "inputs.h"
#include "interpreter_lock.h"
#include "tarnex/names.h"
#include "threads.h"

namespace py = pybind11;

namespace qelto {
namespace {

// What a call is given, read once: its text, its keyword names and values
// in call order, `out` (the package's only), and the first keyword whose
// name is not valid text, where the reading stopped.
// Not copied, since `text` may point into `text_copy`.
// A call's lists live on its stack: the heap only sees calls with many
// values.
struct Call {
    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    std::string_view text;
    std::string text_copy;
    ShortList<std::string_view, FEW_VALUES> names;
    ShortList<PyObject*, FEW_VALUES> values;
    PyObject* out = nullptr;
    PyObject* invalid_name = nullptr;
    tarnex::DivideMode divide = tarnex::DivideMode::RAISE;
};

// str, bytes or bytearray; false for anything else, with the Python error
// set for a str that is not valid text. A bytearray's buffer may move while
// a long text compiles without the lock, so its text is copied; str and
// bytes are immutable.
bool readText(PyObject* expr, Call& call) {
    Py_ssize_t length = 0;
    if (PyUnicode_Check(expr)) {
        const char* text = PyUnicode_AsUTF8AndSize(expr, &length);
        if (text == nullptr) return false;
        call.text = {text, static_cast<size_t>(length)};
        return true;
    }
    if (PyBytes_Check(expr)) {
        call.text = {PyBytes_AS_STRING(expr), static_cast<size_t>(PyBytes_GET_SIZE(expr))};
        return true;
    }
    if (!PyByteArray_Check(expr)) return false;
    call.text_copy.assign(PyByteArray_AS_STRING(expr), static_cast<size_t>(PyByteArray_GET_SIZE(expr)));
    call.text = call.text_copy;
    return true;
}

// Adds one keyword; false when its name is not valid text, which ends the
// reading (that error follows the earlier keywords' tests). With `takes_out`
// the keyword `out` is the destination, None meaning a new array.
bool readKeyword(Call& call, PyObject* key, PyObject* value, bool takes_out) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (name == nullptr) {
        PyErr_Clear();
        call.invalid_name = key;
        return false;
    }
    const std::string_view view(name, static_cast<size_t>(size));
    if (takes_out && view == "out") {
        call.out = value == Py_None ? nullptr : value;
        return true;
    }
    call.names.push_back(view);
    call.values.push_back(value);
    return true;
}

// The keywords of a vector call, but the one at `skip`.
void readKeywords(Call& call, PyObject* const* values, PyObject* kwnames, bool takes_out, Py_ssize_t skip = -1) {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    call.names.reserve(static_cast<size_t>(count));
    call.values.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        if (i != skip && !readKeyword(call, PyTuple_GET_ITEM(kwnames, i), values[i], takes_out)) return;
}

// The length test spares nearly every name the comparison.
bool isExprKeyword(PyObject* key) {
    return PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == 4 && PyUnicode_CompareWithASCIIString(key, "expr") == 0;
}

// Testing `out` and evaluating: every entry's call, once its values are
// read and its program compiled.
Ref evaluate(const Call& call, const Inputs& inputs, const tarnex::PreparedProgram& program) {
    const tarnex::InputLayout layout = inputs.layout();
    double* const out = call.out != nullptr ? checkedOut(call.out, call.names, call.values, inputs) : nullptr;
    Ref result = out != nullptr ? Ref::borrow(call.out) : newResult(inputs);
    evaluateInterruptibly(program, layout, out != nullptr ? out : dataOf<double>(result.get()));
    return result;
}

// Every value is tested before the text compiles.
Ref evaluateFlat(Call& call) {
    const Inputs inputs = flatInputs(call.names, call.values.data(), call.invalid_name);
    return evaluate(call, inputs, *compiled(call.text, call.names, call.divide));
}

// The calls pybind11's binding would accept: the text first or as `expr`,
// then the arrays by keyword.
bool readFastCall(Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    Py_ssize_t expr_at = -1;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (isExprKeyword(PyTuple_GET_ITEM(kwnames, i))) {
            if (nargs != 0 || expr_at >= 0) return false;
            expr_at = i;
        }
    if (nargs + (expr_at >= 0 ? 1 : 0) != 1) return false;
    if (!readText(nargs == 1 ? args[0] : args[expr_at], call)) {
        PyErr_Clear();
        return false;
    }
    readKeywords(call, args + nargs, kwnames, false, expr_at);
    return true;
}

// pybind11's function, which gives the TypeError of a call the fast entry
// does not take.
PyObject* bound_query = nullptr;

PyObject* fastQuery(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        Call call;
        if (!readFastCall(call, args, nargs, kwnames))
            return PyObject_Vectorcall(bound_query, args, static_cast<size_t>(nargs), kwnames);
        return evaluateFlat(call).release();
    });
}

// The package's function that turns a call's values into float64
// C-contiguous arrays: converter(names, values) -> arrays, in their order.
PyObject* converter = nullptr;

PyObject* setConverter(PyObject*, PyObject* function) {
    Py_XSETREF(converter, Py_NewRef(function));
    Py_RETURN_NONE;
}

// The package's context variable, True where qelto.errstate(divide="ignore")
// holds: read on each call, for it differs between threads and tasks.
PyObject* divide_ignored = nullptr;

PyObject* setDivideState(PyObject*, PyObject* variable) {
    if (!PyContextVar_CheckExact(variable)) {
        PyErr_SetString(PyExc_TypeError, "set_divide_state() takes a contextvars.ContextVar");
        return nullptr;
    }
    Py_XSETREF(divide_ignored, Py_NewRef(variable));
    Py_RETURN_NONE;
}

tarnex::DivideMode currentDivideMode() {
    if (divide_ignored == nullptr) return tarnex::DivideMode::RAISE;
    PyObject* value = nullptr;
    if (PyContextVar_Get(divide_ignored, nullptr, &value) < 0) throw PythonError();
    const bool ignore = value == Py_True;
    Py_XDECREF(value);
    return ignore ? tarnex::DivideMode::IGNORE : tarnex::DivideMode::RAISE;
}

// A str that has no UTF-8 form is a TypeError, as from `_qelto.query`, with
// the encoding error as its cause.
[[noreturn]] void failText(PyObject* expr) {
    if (PyErr_Occurred() == nullptr)
        throw py::type_error("expr must be str, bytes or bytearray (got " + std::string(Py_TYPE(expr)->tp_name) + ")");
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_TypeError, "expr must be valid text: it has characters without a UTF-8 form");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    throw PythonError();
}

// Names match without regard to ASCII case, so of two values named apart
// only by case the expression could read just one: a ValueError naming both.
// Calls name few values; comparing each pair costs less than hashing them.
void requireNamesApartInCase(std::span<const std::string_view> names) {
    for (size_t i = 1; i < names.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (tarnex::equalsIgnoringCase(names[i], names[j]))
                throw py::value_error("Values '" + std::string(names[j]) + "' and '" + std::string(names[i]) +
                                      "' are named alike: names match without regard to case");
}

// query(expr, /, *, out=None, **arrays): the result in the inputs' shape,
// or in `out`. The text compiles first, so that only the values it reads
// are converted (by the converter, where they need it) and tested.
PyObject* packageQuery(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        if (nargs != 1) throw py::type_error("query() takes expr as its one positional argument");
        Call call;
        if (!readText(args[0], call)) failText(args[0]);
        readKeywords(call, args + 1, kwnames, true);
        if (call.invalid_name != nullptr) failKeywordName(call.invalid_name);
        requireNamesApartInCase(call.names);
        call.divide = currentDivideMode();
        const std::shared_ptr<const tarnex::PreparedProgram> program = compiledWithNote(call.text, call.names, call.divide);
        const size_t set_aside = setAsideUnread(call.values, program->readVariables());
        NumberArrays numbers;  // and these, the arrays of Python numbers
        Ref converted;  // the arrays that replace values, alive for the call
        if (needsConversion(call.values)) {
            convertNumbers(call.values, numbers);
            if (needsConversion(call.values)) converted = convertValues(converter, call.names, call.values);
        }
        const Inputs inputs = broadcastInputs(call.names, call.values.data(), set_aside);
        return evaluate(call, inputs, *program).release();
    });
}

template <class Function>
PyCFunction entry(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr const char* PACKAGE_QUERY_DOC =
    "query(expr, /, *, out=None, **arrays)\n--\n\n"
    "expr evaluated element by element over the arrays, in the language and with the errors of\n"
    "_qelto.query. float64 arrays of any layout are read in place, scalars and 0-d arrays are\n"
    "constants of the call; array-likes and bool, integer and other float arrays are converted to\n"
    "float64 first (integers beyond 2**53 round; Python ints of any size do too); complex, object,\n"
    "string and date values are a TypeError, and values whose names differ only in case a\n"
    "ValueError. Shapes broadcast by NumPy's rules and the result has the broadcast shape\n"
    "(C order); shapes that do not broadcast are a ValueError naming the values. Values the\n"
    "expression does not read are neither converted nor tested; a compile error gains a note that\n"
    "points at the culprit. Under\n"
    "qelto.errstate(divide=\"ignore\"), / and % by zero give inf or NaN instead of an error.\n\n"
    "out, a writable, aligned, C-contiguous float64 array of as many elements, in any shape,\n"
    "receives the result and is returned; it may be the very memory of an input, but overlap\n"
    "no input otherwise. A wrong out is a TypeError (not a float64 array) or a ValueError, raised\n"
    "before anything is written; an evaluation error may leave it partly written.";

PyMethodDef package_entries[] = {
    {"query", entry(packageQuery), METH_FASTCALL | METH_KEYWORDS, PACKAGE_QUERY_DOC},
    {"set_converter", entry(setConverter), METH_O, nullptr},
    {"set_divide_state", entry(setDivideState), METH_O, nullptr},
    {"set_num_threads", entry(setNumThreads), METH_O, nullptr},
    {"get_num_threads", entry(getNumThreads), METH_NOARGS, nullptr},
    {"num_threads_setting", entry(numThreadsSetting), METH_NOARGS, nullptr},
    {"_vector_libm", entry(vectorLibm), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

py::array_t<double> boundQuery(const std::string& expr, const py::kwargs& kwargs) {
    Call call;
    call.text = expr;
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t position = 0; PyDict_Next(kwargs.ptr(), &position, &key, &value);)
        if (!readKeyword(call, key, value, false)) break;
    return py::reinterpret_steal<py::array_t<double>>(evaluateFlat(call).release());
}

PyObject* makeFastQuery(PyObject* bound, PyObject* self, PyObject* module_name) {
    bound_query = bound;
    // The fast entry takes the name, and the docstring with its signature.
    static std::string doc = py::str(py::handle(bound).attr("__doc__"));
    static PyMethodDef fast{"query", entry(fastQuery), METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    return PyCFunction_NewEx(&fast, self, module_name);
}

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

}  // namespace qelto
