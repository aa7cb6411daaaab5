// Responses that the worker builds itself, in wire order.
#pragma once

#include <Python.h>

#include "../host/constants.hpp"
#include "../host/maps.hpp"
#include "../host/ref.hpp"

namespace shell_worker {

// {"success": False, "error": error}: a request or a line that failed as a
// whole ("No command provided", an unknown action, invalid JSON).
inline Ref failure_response(PyObject* error) noexcept {
    return new_map({k.success, k.error}, {Py_False, error});
}

}  // namespace shell_worker
