#include "threads.h"

#include <pybind11/pybind11.h>

#include <string>

#include "errors.h"
#include "interpreter_lock.h"
#include "tarnex/engine.h"

namespace py = pybind11;

namespace qelto {
namespace {

// None for the OpenMP runtime's default, or 1 to MAX_THREAD_COUNT.
int requestedThreadCount(PyObject* value) {
    if (value == Py_None) return 0;
    if (PyBool_Check(value) || !PyIndex_Check(value))
        throw py::type_error("thread count must be an int or None (got " + std::string(Py_TYPE(value)->tp_name) + ")");
    const Ref count = Ref::steal(PyNumber_Index(value));
    if (!count) throw PythonError();
    int overflow = 0;
    const long k = PyLong_AsLongAndOverflow(count.get(), &overflow);
    if (overflow != 0 || k < 1 || k > tarnex::MAX_THREAD_COUNT)
        throw py::value_error("thread count must be from 1 to " + std::to_string(tarnex::MAX_THREAD_COUNT) + " (got " +
                              textOf(count.get()) + ")");
    return static_cast<int>(k);
}

}  // namespace

PyObject* setNumThreads(PyObject*, PyObject* value) {
    return guarded([&] {
        tarnex::setThreadCount(requestedThreadCount(value));
        return Py_NewRef(Py_None);
    });
}

PyObject* getNumThreads(PyObject*, PyObject*) { return PyLong_FromLong(tarnex::threadCount()); }

PyObject* numThreadsSetting(PyObject*, PyObject*) {
    const int setting = tarnex::threadCountSetting();
    if (setting == 0) Py_RETURN_NONE;
    return PyLong_FromLong(setting);
}

}  // namespace qelto
