// The child's environment: a new plain dict filled with every entry of the
// global os.environ at the moment of the call, dict(os.environ) to the
// letter.  While os.environ is the host's own mapping, untouched (its class
// and the classes of the generic copy unpatched, its instance attributes and
// its decoding functions what initialisation found), the copy is made from
// its bytes directly: the same keys and values in the same order, without
// the Python-level calls of the generic copy, which cost more than the rest
// of the executor's own work.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"

namespace shell_worker {

// Records os.environ as initialisation finds it in `os`; never fails (the
// generic copy is made where it cannot be).
void record_environment(PyObject* os) noexcept;

// The copy, or empty with the error set.
Ref environment_copy() noexcept;

}  // namespace shell_worker
