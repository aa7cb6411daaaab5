// What the module keeps for the life of the process.
//
// One interpreter per process may hold the module, so these records are
// process-wide rather than per-module state.  They are made by the create and
// exec slots and never released, except that the module record is emptied
// when initialisation fails so that a later import starts again.
#pragma once

#include <Python.h>

#include <cstdint>

namespace shell_worker {

struct Records {
    std::int64_t interpreter_id = -1;  // -1: no interpreter has created the module yet
    PyObject* module = nullptr;        // owned: the one live module object
    PyObject* globals = nullptr;       // owned: that module's attribute map
    PyObject* builtins = nullptr;      // owned: the attribute map of the host's builtins

    // The function objects bound as `execute_command` and `handle_command`:
    // owned, to know the module's own from a replacement at every request.
    PyObject* execute_command_function = nullptr;
    PyObject* handle_command_function = nullptr;
};

extern Records records;

}  // namespace shell_worker
