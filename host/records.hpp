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

    // The host's process machinery as initialisation found it: the module
    // bound as `subprocess` and its `run`.  Owned; null when the module lacked
    // `run` or `Popen`.  Compared by identity at every command, with the
    // entries of recorded_entries.hpp, to tell the host's own machinery from
    // a replacement.
    PyObject* subprocess = nullptr;
    PyObject* subprocess_run = nullptr;

    // What the main loop stands in for when it writes a response itself: the
    // module bound as `json` (its `dumps` among the entries that
    // recorded_entries.hpp watches), and the process's own standard output,
    // the text stream that sys.__stdout__ held at initialisation.  Owned;
    // null when one of them was not as the host makes it, and then responses
    // always go through json.dumps and sys.stdout.write.
    PyObject* json = nullptr;
    PyObject* own_stdout = nullptr;

    // The function objects bound as `execute_command` and `handle_command`:
    // owned, to know the module's own from a replacement at every request.
    PyObject* execute_command_function = nullptr;
    PyObject* handle_command_function = nullptr;
};

extern Records records;

}  // namespace shell_worker
