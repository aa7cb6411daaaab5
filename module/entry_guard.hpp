// Keeps C++ exceptions out of the host.
//
// Every function the host calls (vector calls, getters, setters, slots) runs
// its body through guarded(): a failed allocation becomes MemoryError, and
// anything else that escapes becomes SystemError, with the failure value the
// host expects from that entry point.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

namespace shell_worker {

template <typename Result, typename Body>
Result guarded(Result on_failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in varnok.workers.shell_worker");
    }
    return on_failure;
}

}  // namespace shell_worker
