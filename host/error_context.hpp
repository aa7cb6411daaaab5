// Implicit chaining of errors, as an except clause that raises does it.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace shell_worker {

// The pending error gets `earlier` (taken over) as its __context__, unless it
// is `earlier` itself: an error is never made its own context.
inline void chain_to_pending(Ref earlier) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (pending && pending.get() != earlier.get()) {
        PyException_SetContext(pending.get(), earlier.release());
    }
    PyErr_SetRaisedException(pending.release());
}

}  // namespace shell_worker
