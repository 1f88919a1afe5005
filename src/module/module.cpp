// The _qelto extension module: query(expr, **kwargs) tests the keyword
// arrays, fetches the compiled program from the cache and evaluates it over
// every element with the interpreter lock released. The entries, the tests
// of their values and the lock handling live in files of their own.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "entries.h"
#include "errors.h"

namespace py = pybind11;

PYBIND11_MODULE(_qelto, m) {
    // NumPy's C interface is loaded now, not by whichever thread first needs it.
    py::detail::npy_api::get();
    py::register_local_exception_translator(qelto::translateModuleError);
    m.def("query", &qelto::boundQuery, py::arg("expr"));
    PyObject* bound = py::object(m.attr("query")).release().ptr();
    const py::object entries = qelto::packageEntries();
    m.attr("query") = py::reinterpret_steal<py::object>(qelto::makeFastQuery(bound, entries.ptr(), m.attr("__name__").ptr()));
}
