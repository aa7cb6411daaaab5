#include "function_object.hpp"

#include <cstddef>

#include "../host/constants.hpp"
#include "../host/module_name.hpp"
#include "../host/records.hpp"
#include "argument_binding.hpp"
#include "code_objects.hpp"

namespace shell_worker {

namespace {

PyTypeObject* function_type = nullptr;  // owned, never released

WorkerFunction* as_function(PyObject* self) noexcept {
    return reinterpret_cast<WorkerFunction*>(self);
}

Ref or_none(PyObject* value) noexcept { return Ref::borrow(value ? value : Py_None); }

// --- attributes ------------------------------------------------------------

// Names are text and cannot be deleted.
int set_name_field(PyObject* self, PyObject* value, PyObject* WorkerFunction::*field,
                   const char* attribute) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(as_function(self)->*field, Py_NewRef(value));
    return 0;
}

PyObject* function_get_name(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->name);
}

int function_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_name_field(self, value, &WorkerFunction::name, "__name__");
}

PyObject* function_get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int function_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_name_field(self, value, &WorkerFunction::qualname, "__qualname__");
}

PyObject* function_get_doc(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->doc).release();
}

int function_set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

// The binding keeps its own defaults, so an assignment changes only what
// introspection reports, and the caller is told so.  None clears the value.
int set_unused_defaults(PyObject* self, PyObject* value, PyObject* WorkerFunction::*field,
                        bool (*accepts)(PyObject*), const char* attribute,
                        const char* type_name) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !accepts(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, type_name);
        return -1;
    }
    WorkerFunction* function = as_function(self);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "assigning %s of %U() does not affect the values used in calls",
                         attribute, function->name) < 0) {
        return -1;
    }
    Py_XSETREF(function->*field, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_defaults(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->defaults).release();
}

int function_set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_unused_defaults(
        self, value, &WorkerFunction::defaults, [](PyObject* v) -> bool { return PyTuple_Check(v); },
        "__defaults__", "tuple");
}

PyObject* function_get_kwdefaults(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->kwdefaults).release();
}

int function_set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_unused_defaults(
        self, value, &WorkerFunction::kwdefaults, [](PyObject* v) -> bool { return PyDict_Check(v); },
        "__kwdefaults__", "dict");
}

PyObject* function_get_annotations(PyObject* self, void*) noexcept {
    WorkerFunction* function = as_function(self);
    if (!function->annotations && !(function->annotations = PyDict_New())) {
        return nullptr;
    }
    return Py_NewRef(function->annotations);
}

int function_set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_module(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->module).release();
}

PyObject* function_get_code(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->code).release();
}

PyObject* function_get_globals(PyObject* self, void*) noexcept {
    return or_none(as_function(self)->globals).release();
}

PyObject* function_get_closure(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"__module__", function_get_module, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(WorkerFunction, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(WorkerFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(WorkerFunction, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// --- methods and slots -----------------------------------------------------

// Pickled by reference, like any module-level function.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Like a built-in function, it stays unbound when read from a class.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) noexcept {
    return Py_NewRef(self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    WorkerFunction* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->code);
    Py_VISIT(function->globals);
    Py_VISIT(function->dict);
    return 0;
}

// The getters read name, qualname, module, code and globals without a null
// test, so clearing leaves those in place.  Two of them can lead back to the
// function: the globals, which hold it, and a name or qualified name that is
// an instance of a str subclass whose attributes refer to it.  Such a cycle is
// broken from its other side, where the dict or the subclass instance clears
// its own references.
int function_clear(PyObject* self) noexcept {
    WorkerFunction* function = as_function(self);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    WorkerFunction* function = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->code);
    Py_CLEAR(function->globals);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    SHELL_WORKER_FULL_NAME ".worker_function",
    sizeof(WorkerFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

struct CallableTraits {
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* doc;
    PyObject* code;
};

// Only the three callables are function objects; the rest of `Function`
// (the generator expression, initialisation) never reaches here.
CallableTraits traits_of(Function function) noexcept {
    switch (function) {
        case Function::execute_command:
            return {execute_command_vectorcall, k.execute_command, k.execute_command_doc,
                    code_objects.execute_command};
        case Function::handle_command:
            return {handle_command_vectorcall, k.handle_command, k.handle_command_doc,
                    code_objects.handle_command};
        default:
            break;
    }
    return {main_vectorcall, k.main, k.main_doc, code_objects.main};
}

}  // namespace

bool make_function_type() noexcept {
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    }
    return function_type != nullptr;
}

Ref make_function(Function callable, PyObject* defaults, PyObject* annotations) noexcept {
    WorkerFunction* function = PyObject_GC_New(WorkerFunction, function_type);
    if (!function) {
        return Ref();
    }
    CallableTraits traits = traits_of(callable);
    function->vectorcall = traits.vectorcall;
    function->name = Py_NewRef(traits.name);
    function->qualname = Py_NewRef(traits.name);
    function->module = Py_NewRef(k.module_name);
    function->doc = Py_NewRef(traits.doc);
    function->defaults = Py_XNewRef(defaults);
    function->kwdefaults = nullptr;
    function->annotations = Py_XNewRef(annotations);
    function->code = Py_NewRef(traits.code);
    function->globals = Py_NewRef(records.globals);
    function->dict = nullptr;
    function->weakrefs = nullptr;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace shell_worker
