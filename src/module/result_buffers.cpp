#include "result_buffers.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_2_1_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>

#include "buffer_cache.h"

namespace py = pybind11;

namespace tarnex {
namespace {

BufferCache& cacheOf(void* ctx) { return *static_cast<BufferCache*>(ctx); }

void* cacheMalloc(void* ctx, size_t size) { return cacheOf(ctx).allocate(size); }

void* cacheCalloc(void* ctx, size_t count, size_t each) {
    size_t size = 0;
    if (__builtin_mul_overflow(count, each, &size)) return nullptr;
    void* data = cacheOf(ctx).allocate(size);
    if (data != nullptr) std::memset(data, 0, size);  // a reused buffer holds old values
    return data;
}

void* cacheRealloc(void* ctx, void* data, size_t size) { return cacheOf(ctx).reallocate(data, size); }

void cacheFree(void* ctx, void* data, size_t) { cacheOf(ctx).release(data); }

// Every array allocated through the handler holds a reference to this
// capsule; one more, never dropped, keeps it for the life of the process.
PyObject* handlerCapsule() {
    static PyDataMem_Handler handler{
        "qelto_result_buffers", 1, {&BufferCache::process(), cacheMalloc, cacheCalloc, cacheRealloc, cacheFree}};
    static PyObject* capsule = nullptr;
    if (capsule == nullptr) {
        capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
        if (capsule == nullptr) throw py::error_already_set();
    }
    return capsule;
}

// Makes `handler` NumPy's current one in this thread's context for the
// scope, then puts back the one that was current before.
class ScopedMemHandler {
public:
    explicit ScopedMemHandler(PyObject* handler) : previous_(PyDataMem_SetHandler(handler)) {
        if (previous_ == nullptr) throw py::error_already_set();
    }
    ScopedMemHandler(const ScopedMemHandler&) = delete;
    ScopedMemHandler& operator=(const ScopedMemHandler&) = delete;

    // A failed allocation's error survives the restoring call.
    ~ScopedMemHandler() {
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* ours = PyDataMem_SetHandler(previous_);
        if (ours == nullptr) PyErr_WriteUnraisable(nullptr);
        Py_XDECREF(ours);
        Py_DECREF(previous_);
        PyErr_SetRaisedException(pending);
    }

private:
    PyObject* previous_;
};

PyObject* newArray(std::span<const npy_intp> shape) {
    return PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()), NPY_DOUBLE);
}

PyObject* newCachedArray(std::span<const npy_intp> shape) {
    ScopedMemHandler scope(handlerCapsule());
    return newArray(shape);
}

}  // namespace

py::array_t<double> allocateResult(std::span<const Py_intptr_t> shape) {
    if (PyArray_ImportNumPyAPI() < 0) throw py::error_already_set();
    uint64_t n = 1;
    for (npy_intp extent : shape) n *= static_cast<uint64_t>(extent);
    const bool cached = n >= CACHED_RESULT_MIN_BYTES / sizeof(double);
    PyObject* result = cached ? newCachedArray(shape) : newArray(shape);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array_t<double>>(result);
}

}  // namespace tarnex
