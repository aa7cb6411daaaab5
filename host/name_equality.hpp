// Equality of a value with one of the module's interned names, as the host's
// `value == name` would decide it.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace shell_worker {

// The identical object or the same code points; None never matches; anything
// else goes through the host's equality operator and a truth test.  1 or 0,
// or -1 with an error set.
inline int equals_name(PyObject* value, PyObject* name) noexcept {
    if (value == name) {
        return 1;
    }
    if (PyUnicode_CheckExact(value)) {
        // Interned texts are unique by content, so an interned value that is
        // not the name itself (such as the default action) differs from it.
        // Comparing two exact str cannot fail.
        return !PyUnicode_CHECK_INTERNED(value) &&
               PyUnicode_GET_LENGTH(value) == PyUnicode_GET_LENGTH(name) &&
               PyUnicode_Compare(value, name) == 0;
    }
    if (value == Py_None) {
        return 0;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(value, name, Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

}  // namespace shell_worker
