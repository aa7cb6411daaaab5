// The worker's operations, over arguments that the binding has already
// checked and converted: the seam between the worker logic and the module
// that publishes it.
//
// Each operation returns a new reference, or an empty Ref with the error set
// and the operation's own traceback entry added.  They reach the host modules
// and each other only through the module's globals, at every use.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"

namespace shell_worker {

// Makes what the operations keep for the life of the process, unless an
// earlier initialisation already did.  Needs the constants.  False with an
// error set.
bool make_worker_objects() noexcept;

// Runs `command` (exactly str) through the system shell with a time limit of
// `timeout` seconds in `cwd` (None or exactly str; None and "" both mean the
// worker's current directory).  Returns the result map {"stdout", "stderr",
// "returncode"}; a time-out or a failure to run is such a map too.
Ref execute_command(PyObject* command, double timeout, PyObject* cwd) noexcept;

// Turns one request (exactly dict) into its response map.  With
// `captured_outputs`, the main loop's own writing of the response follows:
// the commands that the module's own execute_command runs keep their output
// as bytes, which only that writing may see.
Ref handle_command(PyObject* cmd, bool captured_outputs = false) noexcept;

// The worker's loop over standard input; returns None.
Ref main_loop() noexcept;

}  // namespace shell_worker
