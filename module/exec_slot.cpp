// The exec slot: fills the one module object on its first run.
#include <Python.h>

#include <cstdio>
#include <initializer_list>

#include "../host/constants.hpp"
#include "../host/dict_lookup.hpp"
#include "../host/global_lookup.hpp"
#include "../host/maps.hpp"
#include "../host/module_name.hpp"
#include "../host/records.hpp"
#include "../host/ref.hpp"
#include "../host/traceback_entry.hpp"
#include "../workers/shell_worker.hpp"
#include "code_objects.hpp"
#include "function_object.hpp"
#include "init_steps.hpp"
#include "slots.hpp"

namespace shell_worker {

namespace {

// The module is written for Python 3.12, whatever host it was built for.  Any
// other minor version is worth a warning, and a failure only when warning
// filters make it one.
bool check_host_version() noexcept {
    unsigned long major = (Py_Version >> 24) & 0xff;
    unsigned long minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == 12) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, SHELL_WORKER_FULL_NAME, "does not match", int(major), int(minor));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// sys.modules gets the module under its full name unless something holds
// that name already (`registered` tells whether it did); the host modules are
// taken from sys.modules when there, else imported absolutely, and bound as
// globals of the same name.
bool import_host_modules_into(PyObject* module, bool& registered) noexcept {
    PyObject* registry = PyImport_GetModuleDict();
    int present = PyDict_Contains(registry, k.module_name);
    if (present < 0 || (!present && PyDict_SetItem(registry, k.module_name, module) < 0)) {
        return false;
    }
    registered = !present;
    for (PyObject* name : {k.json, k.os, k.subprocess, k.sys, k.signal}) {
        Ref host_module = Ref::steal(PyImport_GetModule(name));
        if (!host_module && PyErr_Occurred()) {
            return false;
        }
        if (!host_module || host_module.get() == Py_None) {
            host_module = Ref::steal(
                PyImport_ImportModuleLevelObject(name, records.globals, nullptr, nullptr, 0));
            if (!host_module) {
                return false;
            }
        }
        if (!dict_put(records.globals, name, host_module.get())) {
            return false;
        }
    }
    return true;
}

bool bind_function(Function function, PyObject* name, PyObject* defaults,
                   PyObject* annotations, PyObject** record = nullptr) noexcept {
    Ref object = make_function(function, defaults, annotations);
    if (!object || !dict_put(records.globals, name, object.get())) {
        return false;
    }
    if (record) {
        Py_XSETREF(*record, object.release());
    }
    return true;
}

bool bind_callables(InitStep& step) noexcept {
    step = InitStep::bind_execute_command;
    Ref defaults = Ref::steal(PyTuple_Pack(2, k.default_timeout, Py_None));
    Ref annotations = defaults ? new_map({k.command, k.timeout, k.cwd, k.return_},
                                         {k.str_type, k.float_type, k.optional_str_type,
                                          k.dict_type})
                               : Ref();
    if (!annotations || !bind_function(Function::execute_command, k.execute_command,
                                       defaults.get(), annotations.get(),
                                       &records.execute_command_function)) {
        return false;
    }
    step = InitStep::bind_handle_command;
    annotations = new_map({k.cmd, k.return_}, {k.dict_type, k.dict_type});
    if (!annotations ||
        !bind_function(Function::handle_command, k.handle_command, nullptr, annotations.get(),
                       &records.handle_command_function)) {
        return false;
    }
    step = InitStep::bind_main;
    // main's empty annotation map is made when it is first read.
    return bind_function(Function::main, k.main, nullptr, nullptr);
}

// When the module runs as the host's main program, it runs main().
bool run_if_main_program() noexcept {
    Ref name = lookup_global(k.dunder_name);
    if (!name) {
        return false;
    }
    int is_main = PyObject_RichCompareBool(name.get(), k.dunder_main, Py_EQ);
    if (is_main <= 0) {
        return is_main == 0;
    }
    Ref main = lookup_global(k.main);
    return main && Ref::steal(PyObject_CallNoArgs(main.get()));
}

bool initialise(PyObject* module, InitStep& step, bool& registered) noexcept {
    step = InitStep::record_module;
    records.module = Py_NewRef(module);
    Py_XSETREF(records.globals, Py_NewRef(PyModule_GetDict(module)));

    step = InitStep::bind_builtins;
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins || PyDict_SetItemString(records.globals, "__builtins__", builtins) < 0) {
        return false;
    }
    Py_XSETREF(records.builtins, Py_NewRef(PyModule_GetDict(builtins)));

    step = InitStep::check_version;
    if (!check_host_version()) {
        return false;
    }
    step = InitStep::make_constants;
    if (!make_constants() || !make_worker_objects()) {
        return false;
    }
    step = InitStep::make_types_and_code;
    if (!make_function_type() || !make_code_objects()) {
        return false;
    }
    step = InitStep::import_host_modules;
    if (!import_host_modules_into(module, registered) || !bind_callables(step)) {
        return false;
    }
    step = InitStep::run_as_main_program;
    if (!run_if_main_program()) {
        return false;
    }
    step = InitStep::bind_test;
    Ref test = Ref::steal(PyDict_New());
    return test && dict_put(records.globals, k.dunder_test, test.get());
}

// Takes the sys.modules entry that initialisation made out again, if it still
// holds `module`: a loader that imported the module under another name must
// not leave a half-made module behind for the next import.  The pending
// error stays as it is.
void unregister(PyObject* module) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    PyObject* registry = PyImport_GetModuleDict();
    Ref entry;
    if (dict_lookup(registry, k.module_name, entry) > 0 && entry.get() == module) {
        (void)PyDict_DelItem(registry, k.module_name);
    }
    PyErr_Clear();  // an entry that cannot be taken out stays; the first error is what matters
    PyErr_SetRaisedException(pending.release());
}

}  // namespace

int module_exec(PyObject* module) noexcept {
    if (records.module) {
        if (records.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'shell_worker' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    InitStep step = InitStep::check_reinitialisation;
    bool registered = false;
    if (initialise(module, step, registered)) {
        return 0;
    }
    if (step > InitStep::make_constants) {
        add_traceback_entry(step);
    }
    if (registered) {
        unregister(module);
    }
    // A later import starts again with a new module.
    Py_CLEAR(records.module);
    return -1;
}

}  // namespace shell_worker
