// The module definition, its create and exec slots, and the only export.
#include <Python.h>

#include <cstdio>
#include <initializer_list>

#include "code_objects.hpp"
#include "constants.hpp"
#include "entry_guard.hpp"
#include "function_object.hpp"
#include "globals.hpp"
#include "records.hpp"
#include "ref.hpp"
#include "traceback_entry.hpp"

namespace shell_worker {

namespace {

constexpr const char module_doc[] =
    "Shell Worker \xe2\x80\x94 executes shell commands in a sandboxed subprocess.\n"
    "\n"
    "Protocol: reads JSON commands from stdin, writes JSON results to stdout.\n"
    "Each command is a single line of JSON, each response is a single line of JSON.\n"
    "\n"
    "Command format:\n"
    "  {\"action\": \"exec\", \"command\": \"ls -la\", \"timeout\": 30, \"cwd\": \"/tmp\"}\n"
    "  {\"action\": \"exec_many\", \"commands\": [\"cmd1\", \"cmd2\"], \"timeout\": 30}\n"
    "  {\"action\": \"quit\"}\n"
    "\n"
    "Response format:\n"
    "  {\"success\": true, \"result\": {\"stdout\": \"...\", \"stderr\": \"...\", \"returncode\": 0}}\n"
    "  {\"success\": false, \"error\": \"...\"}\n";

// --- create slot -------------------------------------------------------------

// Copies spec.<from> to the new module's <to>.  A spec without the attribute
// is skipped; `skip_none` also skips a value of None.
bool copy_spec_attribute(PyObject* spec, PyObject* globals, const char* from, const char* to,
                         bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return PyDict_SetItemString(globals, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec) noexcept {
    // The identity is recorded before anything else can fail, and kept.
    std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;
    }
    if (records.interpreter_id == -1) {
        records.interpreter_id = interpreter;
    } else if (interpreter != records.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (records.module) {
        return Py_NewRef(records.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) {
        return nullptr;
    }
    PyObject* globals = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, globals, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, globals, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, globals, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, globals, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return create_module(spec); });
}

// --- exec slot ---------------------------------------------------------------

// Exec steps; from `make_constants_step` on, a failure adds the init entry.
enum ExecStep {
    check_reinitialisation = 1,
    record_module,
    bind_builtins,
    check_version,
    make_constants_step,
    make_types_and_code,
    import_host_modules,
    bind_execute_command,
    bind_handle_command,
    bind_main,
    run_as_main_program,
    bind_test,
};

// The host's minor version differs from the one built against: worth a
// warning, a failure only when warning filters make it one.
bool check_host_version() noexcept {
    unsigned long major = (Py_Version >> 24) & 0xff;
    unsigned long minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == 12) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, "varnok.workers.shell_worker", "does not match", int(major), int(minor));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// sys.modules gets the module under its full name unless something holds
// that name already; the host modules are taken from sys.modules when there,
// else imported absolutely, and bound as globals of the same name.
bool import_host_modules_into(PyObject* module) noexcept {
    PyObject* registry = PyImport_GetModuleDict();
    int present = PyDict_Contains(registry, k.module_name.str);
    if (present < 0 ||
        (!present && PyDict_SetItem(registry, k.module_name.str, module) < 0)) {
        return false;
    }
    for (const Text* name : {&k.json, &k.os, &k.subprocess, &k.sys, &k.signal}) {
        Ref host_module = Ref::steal(PyImport_GetModule(name->str));
        if (!host_module && PyErr_Occurred()) {
            return false;
        }
        if (!host_module || host_module.get() == Py_None) {
            host_module = Ref::steal(
                PyImport_ImportModuleLevelObject(name->str, records.globals, nullptr, nullptr, 0));
            if (!host_module) {
                return false;
            }
        }
        if (!dict_put(records.globals, *name, host_module.get())) {
            return false;
        }
    }
    return true;
}

bool bind_function(Callable callable, const Text& name, PyObject* defaults,
                   PyObject* annotations) noexcept {
    Ref function = make_function(callable, defaults, annotations);
    return function && dict_put(records.globals, name, function.get());
}

bool bind_callables(int& step) noexcept {
    step = bind_execute_command;
    Ref defaults = Ref::steal(PyTuple_Pack(2, k.default_timeout, Py_None));
    Ref annotations = defaults ? new_map({&k.command, &k.timeout, &k.cwd, &k.return_},
                                         {k.str_type.str, k.float_type.str,
                                          k.optional_str_type.str, k.dict_type.str})
                               : Ref();
    if (!annotations ||
        !bind_function(Callable::execute_command, k.execute_command, defaults.get(),
                       annotations.get())) {
        return false;
    }
    step = bind_handle_command;
    annotations = new_map({&k.cmd, &k.return_}, {k.dict_type.str, k.dict_type.str});
    if (!annotations || !bind_function(Callable::handle_command, k.handle_command, nullptr,
                                       annotations.get())) {
        return false;
    }
    step = bind_main;
    // main's empty annotation map is made when it is first read.
    return bind_function(Callable::main, k.main, nullptr, nullptr);
}

// When the module runs as the host's main program, it runs main().
bool run_if_main_program() noexcept {
    Ref name = lookup_global(k.dunder_name);
    if (!name) {
        return false;
    }
    int is_main = PyObject_RichCompareBool(name.get(), k.dunder_main.str, Py_EQ);
    if (is_main <= 0) {
        return is_main == 0;
    }
    Ref main = lookup_global(k.main);
    return main && Ref::steal(PyObject_CallNoArgs(main.get()));
}

bool initialise(PyObject* module, int& step) noexcept {
    step = record_module;
    records.module = Py_NewRef(module);
    Py_XSETREF(records.globals, Py_NewRef(PyModule_GetDict(module)));

    step = bind_builtins;
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins || PyDict_SetItemString(records.globals, "__builtins__", builtins) < 0) {
        return false;
    }
    Py_XSETREF(records.builtins, Py_NewRef(PyModule_GetDict(builtins)));

    step = check_version;
    if (!check_host_version()) {
        return false;
    }
    step = make_constants_step;
    if (!make_constants()) {
        return false;
    }
    step = make_types_and_code;
    if (!make_function_type() || !make_code_objects()) {
        return false;
    }
    step = import_host_modules;
    if (!import_host_modules_into(module) || !bind_callables(step)) {
        return false;
    }
    step = run_as_main_program;
    if (!run_if_main_program()) {
        return false;
    }
    step = bind_test;
    Ref test = Ref::steal(PyDict_New());
    return test && dict_put(records.globals, k.dunder_test, test.get());
}

int exec_module(PyObject* module) noexcept {
    if (records.module) {
        if (records.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'shell_worker' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    int step = check_reinitialisation;
    if (initialise(module, step)) {
        return 0;
    }
    if (step > make_constants_step) {
        add_traceback_entry(Function::init, step);
    }
    // A later import starts again with a new module.
    Py_CLEAR(records.module);
    return -1;
}

int module_exec(PyObject* module) noexcept {
    return guarded(-1, [&] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "shell_worker",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace shell_worker

PyMODINIT_FUNC PyInit_shell_worker() {
    return PyModuleDef_Init(&shell_worker::module_definition);
}
