// The module's entries: `_qelto.query` (a vector call, with pybind11's
// binding as the reference for its argument errors) and the package's
// functions, hung on `_qelto.query.__self__`. Every entry runs through the
// exit guard.
#pragma once

#include <pybind11/numpy.h>

namespace qelto {

// pybind11's query(expr: str, **kwargs): evaluates, and gives pybind11's
// TypeError for calls the fast entry does not take.
pybind11::array_t<double> boundQuery(const std::string& expr, const pybind11::kwargs& kwargs);

// `_qelto.query` itself: the calls pybind11 would accept, read straight
// from the vector call; the rest go to `bound`, pybind11's function.
PyObject* makeFastQuery(PyObject* bound, PyObject* self, PyObject* module_name);

// The package's entries, as a module object that is in no sys.modules and
// no attribute; its functions name `qelto` as their module.
pybind11::object packageEntries();

}  // namespace qelto
