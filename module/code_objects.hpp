// The code objects of the three callables.  They hold no runnable
// instructions: they describe the functions' parameters and locals to
// introspection and give each function its first line.  (The generator
// expression's traceback entries make code objects of their own.)
#pragma once

#include <Python.h>

namespace shell_worker {

struct CodeObjects {
    PyObject* execute_command = nullptr;
    PyObject* handle_command = nullptr;
    PyObject* main = nullptr;
};

extern CodeObjects code_objects;

// Makes the code objects unless an earlier initialisation already did.
// Needs the constants.  Returns false with an error set.
bool make_code_objects() noexcept;

}  // namespace shell_worker
