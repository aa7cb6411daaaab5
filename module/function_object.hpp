// The function-object type behind execute_command, handle_command and main.
//
// It behaves for introspection like a host function (name, qualified name,
// module, documentation, defaults, annotations, code, globals) while every
// call, by vector call or by the ordinary protocol, goes through the
// module's own argument binding.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"
#include "../host/traceback_entry.hpp"

namespace shell_worker {

struct WorkerFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // str
    PyObject* doc;          // null reads as None
    PyObject* defaults;     // tuple; null reads as None.  Calls never use it.
    PyObject* kwdefaults;   // dict; null reads as None.  Calls never use it.
    PyObject* annotations;  // dict; null until first read, which makes an empty one
    PyObject* code;
    PyObject* globals;
    PyObject* dict;         // attributes set by users, made on demand
    PyObject* weakrefs;
};

// Makes the type unless an earlier initialisation already did.  Returns
// false with an error set.
bool make_function_type() noexcept;

// A new function object for `function` (one of the three callables), with the
// module's namespace as its globals.  `defaults` and `annotations` may be
// null.  Needs the type, the constants and the code objects.
Ref make_function(Function function, PyObject* defaults, PyObject* annotations) noexcept;

}  // namespace shell_worker
