// The module definition and the only export.
#include <Python.h>

#include "slots.hpp"

namespace shell_worker {

namespace {

constexpr const char module_doc[] =
    "Shell Worker \xe2\x80\x94 executes shell commands in a subprocess.\n"
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

// No slot declares support for several interpreters: the create slot itself
// refuses every interpreter but the first.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

// Everything the module keeps is process-wide, so there is no per-module
// state and no traverse, clear or free hook.
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
