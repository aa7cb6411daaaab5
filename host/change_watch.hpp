// A count of the changes that could make the host's machinery other than it
// was when the module last looked: every change to a dict it looked into (a
// module's or a class's names, an instance's attributes, a function's
// keyword defaults), and every change to any function's code, defaults or
// keyword defaults.  Whatever was decided from what was looked at holds while
// the count has not moved: one comparison, however much was looked at.
//
// Where the host has no dict or function watcher to spare, the count moves
// at every read, and every decision is made afresh.
//
// Everything here runs under the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>

namespace shell_worker {

// The current count.  Never fails.
std::uint64_t change_count() noexcept;

// Watches `dict` from now on: a change to it moves the count.  Never fails.
void watch_changes(PyObject* dict) noexcept;

}  // namespace shell_worker
