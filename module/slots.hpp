// The create and exec slots of the module definition.
#pragma once

#include <Python.h>

namespace shell_worker {

// Returns the one module object (a new reference), or null with an error set.
PyObject* module_create(PyObject* spec, PyModuleDef* definition) noexcept;

// Fills the module on its first run; 0, or -1 with an error set.
int module_exec(PyObject* module) noexcept;

}  // namespace shell_worker
