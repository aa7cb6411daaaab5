// Argument binding of the three callables: the vector-call entry points that
// check and convert their arguments, then run the operation.
#pragma once

#include <Python.h>

namespace shell_worker {

PyObject* execute_command_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept;
PyObject* handle_command_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) noexcept;
PyObject* main_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept;

}  // namespace shell_worker
