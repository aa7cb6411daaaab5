#include "machinery_records.hpp"

#include "../host/constants.hpp"
#include "../host/recorded_entries.hpp"
#include "../host/records.hpp"
#include "../host/ref.hpp"
#include "../workers/environment_copy.hpp"

namespace shell_worker {

namespace {

// Every name of `subprocess` and of its `Popen` class, and the `os` functions
// that Popen calls on its way to a child and back.  A test double or a
// sandbox that patches any of them (Popen._execute_child, say) must get the
// call it patched.
bool record_machinery_entries(PyObject* subprocess, PyObject* popen) noexcept {
    if (!PyModule_Check(subprocess) || !PyType_Check(popen)) {
        return false;  // not the host's own: nothing to stand in for
    }
    PyObject* names = PyModule_GetDict(subprocess);  // borrowed
    Ref popen_names = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(popen)));
    if (!popen_names || !machinery_entries.record_all(names) ||
        !machinery_entries.record_all(popen_names.get())) {
        return false;
    }
    PyObject* os = PyDict_GetItemWithError(names, k.os);  // borrowed: subprocess's own
    if (!os || !PyModule_Check(os)) {
        return false;
    }
    return machinery_entries.record(
        PyModule_GetDict(os), {"close", "dup", "fsdecode", "fsencode", "get_exec_path", "kill",
                               "open", "pipe", "read", "strerror", "waitpid",
                               "waitstatus_to_exitcode", "write"});
}

// A module's or an object's own attribute map (borrowed), or null.
PyObject* attribute_map(PyObject* object) noexcept {
    if (PyModule_Check(object)) {
        return PyModule_GetDict(object);
    }
    Ref map = Ref::steal(PyObject_GenericGetDict(object, nullptr));
    // Kept alive by its object, which the record keeps.
    return map && PyDict_CheckExact(map.get()) ? map.get() : nullptr;
}

// json and everything json.dumps(response) reaches with its defaults: the
// names of the package that it uses (not all of them: importing a submodule,
// json.tool say, adds one), every name of json.encoder (the C accelerator's
// functions among them), the JSONEncoder class and the default encoder's
// settings.
bool record_json(PyObject* json) noexcept {
    PyObject* names = attribute_map(json);
    if (!names ||
        !output_entries.record(names, {"dumps", "_default_encoder", "JSONEncoder", "encoder"})) {
        return false;
    }
    PyObject* encoder_module = PyDict_GetItemWithError(names, k.encoder);       // borrowed
    PyObject* encoder_class = PyDict_GetItemWithError(names, k.json_encoder);   // borrowed
    PyObject* default_encoder = PyDict_GetItemWithError(names, k.default_encoder);
    if (!encoder_module || !encoder_class || !default_encoder || !PyType_Check(encoder_class)) {
        return false;
    }
    Ref class_names = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(encoder_class)));
    PyObject* encoder_names = attribute_map(encoder_module);
    PyObject* settings = attribute_map(default_encoder);
    return class_names && encoder_names && settings &&
           output_entries.record_all(class_names.get()) &&
           output_entries.record_all(encoder_names) && output_entries.record_all(settings);
}

// sys.__stdout__ when it is an io.TextIOWrapper of the host's own: new
// reference, or empty.
Ref own_standard_output(PyObject* sys) noexcept {
    Ref out = Ref::steal(PyObject_GetAttr(sys, k.dunder_stdout));
    Ref io = out ? Ref::steal(PyImport_ImportModule("io")) : Ref();
    Ref wrapper = io ? Ref::steal(PyObject_GetAttrString(io.get(), "TextIOWrapper")) : Ref();
    if (!wrapper || reinterpret_cast<PyObject*>(Py_TYPE(out.get())) != wrapper.get()) {
        return Ref();
    }
    return out;
}

}  // namespace

void record_process_machinery(PyObject* subprocess) noexcept {
    machinery_entries.forget();
    Ref run = Ref::steal(PyObject_GetAttr(subprocess, k.run));
    Ref popen = run ? Ref::steal(PyObject_GetAttr(subprocess, k.popen)) : Ref();
    bool recorded = popen && record_machinery_entries(subprocess, popen.get());
    if (!recorded) {
        PyErr_Clear();
        machinery_entries.forget();
    }
    Py_XSETREF(records.subprocess, recorded ? Py_NewRef(subprocess) : nullptr);
    Py_XSETREF(records.subprocess_run, recorded ? run.release() : nullptr);
    // The os that the executor reaches, the module's global one.
    PyObject* os = PyDict_GetItemWithError(records.globals, k.os);  // borrowed
    if (os) {
        record_environment(os);
    }
    PyErr_Clear();
}

void record_output_machinery() noexcept {
    output_entries.forget();
    PyObject* json = PyDict_GetItemWithError(records.globals, k.json);  // borrowed
    PyObject* sys = json ? PyDict_GetItemWithError(records.globals, k.sys) : nullptr;
    Ref dumps = sys ? Ref::steal(PyObject_GetAttr(json, k.dumps)) : Ref();
    Ref out = dumps ? own_standard_output(sys) : Ref();
    PyObject* out_names = out ? attribute_map(out.get()) : nullptr;
    bool recorded = out_names && record_json(json) && output_entries.record_all(out_names);
    if (!recorded) {
        PyErr_Clear();
        output_entries.forget();
    }
    Py_XSETREF(records.json, recorded ? Py_NewRef(json) : nullptr);
    Py_XSETREF(records.own_stdout, recorded ? out.release() : nullptr);
}

}  // namespace shell_worker
