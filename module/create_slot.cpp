// The create slot: one module object per process, in one interpreter only.
#include <Python.h>

#include <cstdint>

#include "../host/records.hpp"
#include "../host/ref.hpp"
#include "slots.hpp"

namespace shell_worker {

namespace {

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

}  // namespace

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
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

}  // namespace shell_worker
