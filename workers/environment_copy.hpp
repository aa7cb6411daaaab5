// The child's environment: a new plain dict filled with every entry of the
// global os.environ at the moment of the call, dict(os.environ) to the
// letter.  Where the request's verdict (request_verdict.hpp) says that
// os.environ is the standard library's own over UTF-8 bytes, the copy is
// made from those bytes directly: the same keys and values in the same
// order, without the Python-level calls of the generic copy, which cost more
// than the rest of the executor's own work.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"
#include "request_verdict.hpp"

namespace shell_worker {

// The copy, or empty with the error set.
Ref environment_copy(const Verdict& verdict) noexcept;

}  // namespace shell_worker
