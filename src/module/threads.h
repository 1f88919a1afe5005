// The package's thread-count entries (METH_O / METH_NOARGS functions):
// set_num_threads(None | 1..MAX_THREAD_COUNT), get_num_threads(),
// num_threads_setting() (None for the runtime's default).
#pragma once

#include <Python.h>

namespace qelto {

PyObject* setNumThreads(PyObject* self, PyObject* value);
PyObject* getNumThreads(PyObject* self, PyObject* unused);
PyObject* numThreadsSetting(PyObject* self, PyObject* unused);

}  // namespace qelto
