// The one owner of strong references in the module.
//
// Convention: a bare PyObject* is borrowed; a Ref is owned.  Functions that
// can fail return an empty Ref with the host's error indicator set.
#pragma once

#include <Python.h>

namespace shell_worker {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference (which may be null after a failed call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }

    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }

    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.release();
            Py_XDECREF(old);  // last: its finaliser may look at this Ref
        }
        return *this;
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }

    // Hands the reference to the caller, who now owns it.
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace shell_worker
