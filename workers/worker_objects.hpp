// Objects that the operations build once, from the constants, and keep for
// the life of the process.
#pragma once

#include <Python.h>

namespace shell_worker {

struct WorkerObjects {
    // ("shell", "capture_output", "text", "timeout", "cwd", "env", "stdin"):
    // the keyword names of the subprocess.run call, in the order passed.
    PyObject* run_keywords = nullptr;

    // str.strip, the method descriptor: the str type cannot be changed, so
    // main strips an exact str through it without looking it up each time.
    PyObject* str_strip = nullptr;

    // handle_command's two fixed responses, keys in wire order; it answers
    // with copies, never with these maps themselves.
    PyObject* quit_response = nullptr;        // {"success": True, "result": "goodbye"}
    PyObject* no_command_response = nullptr;  // {"success": False, "error": "No command provided"}

    // The type of a command's output kept as bytes (captured_output.hpp).
    PyObject* captured_output_type = nullptr;
};

// Filled by make_worker_objects(); read-only afterwards.  Owned references.
extern WorkerObjects worker_objects;

}  // namespace shell_worker
