// The module's errors and their Python exceptions.
//
// `QueryError` is a RuntimeError whose message keeps every byte of the
// caller's text and names (invalid UTF-8 shows as \xNN escapes).
// `PythonError` says that the Python exception is already set. pybind11's
// own exceptions (type_error, value_error, error_already_set) and
// std::bad_alloc keep pybind11's translation.
#pragma once

#include <Python.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qelto {

class QueryError : public std::runtime_error {
public:
    explicit QueryError(const std::string& message) : std::runtime_error(message), message_(message) {}
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

// A compile error: "Expression failed to compile: " + text + " — " + the
// front end's message, which `inner` keeps, with the bytes of the text it is
// about (none for errors of the whole text, such as too deep a nesting).
class CompileFailure : public QueryError {
public:
    struct Span {
        size_t offset;
        size_t length;
    };
    CompileFailure(std::string_view text, const char* inner, std::optional<Span> span);
    const std::string& inner() const { return inner_; }
    const std::optional<Span>& span() const { return span_; }

private:
    std::string inner_;
    std::optional<Span> span_;
};

struct PythonError {};

[[noreturn]] void failVariable(std::string_view name, const std::string& problem);

// str(object) as UTF-8; throws PythonError when str() fails.
std::string textOf(PyObject* object);

// For pybind11's translator list: sets the exception for the QueryError or
// PythonError in `error` and lets any other pass.
void translateModuleError(std::exception_ptr error);

}  // namespace qelto
