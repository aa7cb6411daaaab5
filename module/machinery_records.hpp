// What initialisation records of the host's machinery, for the module to
// stand in for it only while it is the host's own: the process machinery of
// `subprocess` (the executor's own start of a child) and the JSON encoder and
// standard output (the main loop's own writing of a response).
#pragma once

#include <Python.h>

namespace shell_worker {

// Keeps `subprocess` with its `run`, and the entries the executor stands in
// for.  Never fails: what cannot be recorded is kept as nothing, and the
// executor then always makes the plain run() call.
void record_process_machinery(PyObject* subprocess) noexcept;

// Keeps the globals `json` and `json.dumps`, the process's own standard
// output, and the entries the main loop's writing stands in for.  Never
// fails, in the same way: responses then always go the plain way.
void record_output_machinery() noexcept;

}  // namespace shell_worker
