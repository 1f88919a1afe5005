// What the engine decided about this process, for tests and benchmarks
// (METH_NOARGS functions of the package entries).
#pragma once

#include <Python.h>

namespace qelto {

// {function: (used, reason)} for each function with a vector kernel: whether
// the block route runs the kernel, and why not (or "verified libm"). Asking
// makes the guard decide for every such function.
PyObject* vectorLibm(PyObject* self, PyObject* unused);

}  // namespace qelto
