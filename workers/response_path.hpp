// Whether the main loop may write a response itself, straight from a
// command's output bytes to the process's own standard output, in place of
// json.dumps and sys.stdout.write: only while nobody could tell the
// difference.  That is while the global `json` and everything json.dumps
// reaches with its defaults are what initialisation found, and `out` (the
// sys.stdout of this response) is the process's own text stream, unpatched,
// in an encoding that writes ASCII as ASCII (a response is pure ASCII), and
// no tracer, profiler or monitoring tool would miss json.dumps's calls.
#pragma once

#include <Python.h>

namespace shell_worker {

// Never leaves an error set: whatever cannot be looked up takes the plain
// path, which then raises what it raises today.
bool response_path_is_own(PyObject* out) noexcept;

// The same, with sys.stdout looked up here, and the global execute_command
// the module's own: for the main loop, before the commands run, to know
// whether their outputs may stay bytes and the response be written here.
bool response_path_is_own() noexcept;

}  // namespace shell_worker
