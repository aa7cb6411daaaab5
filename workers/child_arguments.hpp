// The child's argv, environment and working directory turned into the bytes
// that exec and chdir take, the way the host's subprocess turns them, errors
// and their order included.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"

namespace shell_worker {

// Not copyable, as its Refs are not.
class ChildArguments {
public:
    ~ChildArguments();

    // `arguments`: the argv list as audited; `environment`: a plain dict;
    // `directory`: any object, None for the worker's own.  False with the
    // host's error set: the environment first (a name or value that does not
    // encode, or a name holding "="), then the arguments, then a NUL in an
    // environment entry, then the directory.
    bool convert(PyObject* arguments, PyObject* environment, PyObject* directory) noexcept;

    // Null-terminated arrays into bytes this object holds.
    char* const* argv() const noexcept { return argv_; }
    char* const* envp() const noexcept { return envp_; }
    const char* directory() const noexcept {
        return directory_ ? PyBytes_AS_STRING(directory_.get()) : nullptr;
    }

private:
    Ref argument_bytes_;     // list of bytes
    Ref environment_bytes_;  // list of bytes, "name=value"
    Ref directory_;          // bytes, or empty for none
    char** argv_ = nullptr;  // PyMem_Malloc'd
    char** envp_ = nullptr;
};

}  // namespace shell_worker
