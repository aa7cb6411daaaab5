// One lookup in an exact dict, through the best public call the host offers.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace shell_worker {

// map[key] into `value` (owned).  1: found; 0: missing, no error; -1: error set.
inline int dict_lookup(PyObject* map, PyObject* key, Ref& value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    // A strong reference from the start, so no other thread's change to
    // `map` can free the value before it is taken.
    PyObject* found = nullptr;
    int status = PyDict_GetItemRef(map, key, &found);
    value = Ref::steal(found);
    return status;
#else
    PyObject* found = PyDict_GetItemWithError(map, key);  // borrowed
    value = Ref::borrow(found);
    return found ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace shell_worker
