// The interpreter lock around the module's work, and the Python references
// the module's frames own.
//
// At exit CPython ends a daemon thread that asks for the lock back (after
// running without it, or when Python code it called lets other threads
// run) by unwinding its stack, through every frame of ours. That thread
// holds no lock, so nothing on the way may touch a Python object: every
// reference a frame of ours owns is a `Ref`, which lets its object go
// without counting it down when the thread does not hold the lock, and
// every entry runs through `guarded`, which lets the unwind pass.
#pragma once

#include <Python.h>

#include <utility>

namespace qelto {

// Whether this thread holds the interpreter lock. A thread the interpreter
// is ending has no thread state attached.
inline bool holdsLock() { return PyThreadState_GetUnchecked() != nullptr; }

// One owned reference, or none.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (object_ != nullptr && holdsLock()) Py_DECREF(object_);
    }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Runs `work`, which touches no Python object, with the lock released, and
// takes the lock back however it ends. No destructor takes it back: one
// that did could not let the unwind that ends the thread pass.
template <class Work>
void runWithoutLock(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

// Sets the Python exception for the one being handled; always null.
PyObject* raiseAsPython();

// The exit guard of every entry: `body`'s result, or null with the Python
// exception set. The unwind that ends the thread at exit passes on.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        if (!holdsLock()) throw;
        return raiseAsPython();
    }
}

}  // namespace qelto
