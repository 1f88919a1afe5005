#include "errors.h"

#include <pybind11/pybind11.h>

#include "interpreter_lock.h"

namespace py = pybind11;

namespace qelto {

void failVariable(std::string_view name, const std::string& problem) {
    throw QueryError("Variable '" + std::string(name) + "' " + problem);
}

CompileFailure::CompileFailure(std::string_view text, const char* inner, std::optional<Span> span)
    : QueryError("Expression failed to compile: " + std::string(text) + " \u2014 " + inner),
      inner_(inner),
      span_(span) {}

std::string textOf(PyObject* object) {
    const Ref text = Ref::steal(PyObject_Str(object));
    if (!text) throw PythonError();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) throw PythonError();
    return {data, static_cast<size_t>(size)};
}

void translateModuleError(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const QueryError& e) {
        const std::string& message = e.message();
        const Ref text = Ref::steal(
            PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
        if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
    } catch (const PythonError&) {
    }
}

PyObject* raiseAsPython() {
    py::detail::try_translate_exceptions();
    return nullptr;
}

}  // namespace qelto
