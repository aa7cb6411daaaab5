#include "stdlib_identity.hpp"

#include <string.h>

#include "change_watch.hpp"
#include "ref.hpp"

namespace shell_worker {

namespace {

// A text's UTF-8 form (borrowed from it), or null.
const char* utf8(PyObject* text, Py_ssize_t* size = nullptr) noexcept {
    const char* bytes = text && PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, size) : nullptr;
    if (!bytes) {
        PyErr_Clear();
    }
    return bytes;
}

// Whether `path` names a file in the standard library directory, outside the
// directories where installed packages go.
bool in_standard_library(PyObject* path) noexcept {
    Py_ssize_t directory_size;
    const char* directory = utf8(PySys_GetObject("_stdlib_dir"), &directory_size);
    const char* file = utf8(path);
    if (!directory || !file || directory_size == 0 ||
        strncmp(file, directory, size_t(directory_size)) != 0 || file[directory_size] != '/') {
        return false;
    }
    const char* rest = file + directory_size + 1;
    return strncmp(rest, "site-packages/", 14) != 0 && strncmp(rest, "dist-packages/", 14) != 0;
}

// Whether the text `text` is `expected`.
bool text_is(PyObject* text, const char* expected) noexcept {
    const char* bytes = utf8(text);
    return bytes && strcmp(bytes, expected) == 0;
}

bool is_c_descriptor(PyObject* value) noexcept {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyMethodDescr_Type || type == &PyWrapperDescr_Type ||
           type == &PyGetSetDescr_Type || type == &PyMemberDescr_Type ||
           type == &PyClassMethodDescr_Type;
}

// Built in, or made by a C module as immutable: nothing about it can be
// patched from Python.
bool is_immutable_type(PyTypeObject* type) noexcept {
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
           PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
}

// The entry of C module definition `definition` whose C function is `meth`
// and, if given, whose name is `name`.
bool lists(PyModuleDef* definition, PyCFunction meth, const char* name) noexcept {
    for (PyMethodDef* method = definition->m_methods; method && method->ml_name; ++method) {
        if (method->ml_meth == meth && (!name || strcmp(method->ml_name, name) == 0)) {
            return true;
        }
    }
    return false;
}

bool is_builtin(PyObject* function, const char* module, const char* name) noexcept {
    if (!PyCFunction_Check(function)) {
        return false;
    }
    PyObject* self = PyCFunction_GetSelf(function);  // borrowed
    if (self && PyType_Check(self) && !module) {
        // A method that a class written in C binds to itself (its __new__):
        // C code, which nothing in Python can change.
        return true;
    }
    if (!self || !PyModule_Check(self)) {
        return false;
    }
    PyModuleDef* definition = PyModule_GetDef(self);
    if (!definition) {
        PyErr_Clear();
        return false;
    }
    return (!module || (definition->m_name && strcmp(definition->m_name, module) == 0)) &&
           lists(definition, PyCFunction_GetFunction(function), name);
}

bool is_stdlib_value(PyObject* value, int depth) noexcept;

bool wrapped_is_stdlib(PyObject* wrapper, const char* attribute, int depth) noexcept {
    Ref wrapped = Ref::steal(shell_worker::attribute(wrapper, attribute));
    if (!wrapped) {
        return false;
    }
    return wrapped.get() == Py_None || is_stdlib_value(wrapped.get(), depth + 1);
}

// A class nested in a class's namespace, or met again below: defined in a
// module of the standard library, without a look at its own namespace.
bool is_stdlib_defined(PyObject* type) noexcept {
    Ref names = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
    PyObject* module_name = names ? entry(names.get(), "__module__") : nullptr;
    if (!module_name || !PyUnicode_Check(module_name)) {
        return false;
    }
    // sys.modules itself, without the import system's own look at the module.
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    PyObject* module = modules && PyDict_Check(modules)
                           ? PyDict_GetItemWithError(modules, module_name)
                           : nullptr;
    if (module) {
        return is_stdlib_module(module, nullptr);
    }
    PyErr_Clear();
    // A module that goes by another name than the one it was imported as
    // (_collections_abc calls itself collections.abc): told by the namespace
    // that the class's own functions run in.
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(names.get(), &position, &key, &value)) {
        PyObject* home = PyFunction_Check(value) ? entry(PyFunction_GetGlobals(value), "__name__")
                                                 : nullptr;
        if (home && PyObject_RichCompareBool(home, module_name, Py_EQ) == 1) {
            return is_stdlib_function(value);
        }
        PyErr_Clear();
    }
    return false;
}

bool is_stdlib_value(PyObject* value, int depth) noexcept {
    if (depth > 3) {
        return false;
    }
    if (PyFunction_Check(value)) {
        return is_stdlib_function(value);
    }
    if (PyCFunction_Check(value)) {
        return is_builtin(value, nullptr, nullptr);
    }
    if (PyModule_Check(value)) {
        return is_stdlib_module(value, nullptr);
    }
    if (PyType_Check(value)) {
        if (is_immutable_type(reinterpret_cast<PyTypeObject*>(value))) {
            return true;
        }
        return depth == 0 ? is_stdlib_class(value) : is_stdlib_defined(value);
    }
    if (Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type)) {
        return wrapped_is_stdlib(value, "__func__", depth);
    }
    if (Py_IS_TYPE(value, &PyProperty_Type)) {
        return wrapped_is_stdlib(value, "fget", depth) && wrapped_is_stdlib(value, "fset", depth) &&
               wrapped_is_stdlib(value, "fdel", depth);
    }
    if (is_c_descriptor(value)) {
        return true;
    }
    return !PyCallable_Check(value);  // data
}

bool is_stdlib_namespace_at(PyObject* names, int depth) noexcept {
    if (!PyDict_Check(names)) {
        return false;
    }
    watch_changes(names);
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(names, &position, &key, &value)) {
        if (!is_stdlib_value(value, depth)) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* interned(const char* text) noexcept {
    // Keyed by the literal's address: each name is made once, for the life
    // of the process, rather than at every look.
    struct Slot {
        const char* text;
        PyObject* name;
    };
    static Slot slots[256];
    for (Slot& slot : slots) {
        if (slot.text == text) {
            return slot.name;
        }
        if (!slot.text) {
            PyObject* name = PyUnicode_InternFromString(text);
            if (name) {
                slot = {text, name};
            }
            return name;
        }
    }
    return nullptr;  // more names than slots: a programming error, refused
}

PyObject* entry(PyObject* dict, const char* key) noexcept {
    PyObject* name = dict && PyDict_Check(dict) ? interned(key) : nullptr;
    PyObject* value = name ? PyDict_GetItemWithError(dict, name) : nullptr;  // borrowed
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

PyObject* attribute(PyObject* object, const char* name) noexcept {
    PyObject* key = object ? interned(name) : nullptr;
    PyObject* value = key ? PyObject_GetAttr(object, key) : nullptr;
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

bool is_stdlib_module(PyObject* module, const char* name) noexcept {
    if (!module || !PyModule_CheckExact(module)) {
        return false;
    }
    PyObject* names = PyModule_GetDict(module);  // borrowed
    watch_changes(names);
    if (name && !text_is(entry(names, "__name__"), name)) {
        return false;
    }
    PyObject* file = entry(names, "__file__");
    if (file) {
        return in_standard_library(file);
    }
    // No file: built into the interpreter, made from a C definition, or
    // frozen into it.
    if (PyModule_GetDef(module)) {
        return true;
    }
    PyErr_Clear();
    PyObject* spec = entry(names, "__spec__");
    Ref origin = spec ? Ref::steal(attribute(spec, "origin")) : Ref();
    return origin && text_is(origin.get(), "frozen");
}

namespace {

// Whether `filename` is "<frozen NAME>".
bool names_frozen(PyObject* filename, PyObject* name) noexcept {
    Py_ssize_t file_size;
    Py_ssize_t name_size;
    const char* file = utf8(filename, &file_size);
    const char* module = name ? utf8(name, &name_size) : nullptr;
    return file && module && file_size == name_size + 9 && strncmp(file, "<frozen ", 8) == 0 &&
           strncmp(file + 8, module, size_t(name_size)) == 0 && file[file_size - 1] == '>';
}

}  // namespace

bool is_stdlib_function(PyObject* function, const char* qualname) noexcept {
    if (!function || !Py_IS_TYPE(function, &PyFunction_Type)) {
        return false;
    }
    PyCodeObject* code = reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(function));
    PyObject* globals = PyFunction_GetGlobals(function);  // borrowed
    PyObject* file = entry(globals, "__file__");
    PyObject* module_name = entry(globals, "__name__");
    if (!code || !PyCode_Check(reinterpret_cast<PyObject*>(code)) || !module_name) {
        return false;
    }
    if (qualname && !text_is(code->co_qualname, qualname)) {
        return false;
    }
    if (file && PyUnicode_Check(file) && PyUnicode_Compare(code->co_filename, file) == 0) {
        return in_standard_library(file);
    }
    PyErr_Clear();
    // Frozen into the interpreter: "<frozen os>", by the name the module was
    // imported as (_collections_abc goes by collections.abc).
    PyObject* spec = entry(globals, "__spec__");
    Ref spec_name = spec && spec != Py_None ? Ref::steal(attribute(spec, "name")) : Ref();
    bool is_frozen = names_frozen(code->co_filename, module_name) ||
                     names_frozen(code->co_filename, spec_name.get());
    if (!is_frozen && !file && spec_name) {
        // The import system itself, frozen under another name than its code's
        // (_frozen_importlib runs "<frozen importlib._bootstrap>").
        Ref origin = Ref::steal(attribute(spec, "origin"));
        const char* filename = utf8(code->co_filename);
        is_frozen = origin && text_is(origin.get(), "frozen") && filename &&
                    strncmp(filename, "<frozen ", 8) == 0;
    }
    return is_frozen && (!file || in_standard_library(file));
}

bool is_builtin_of(PyObject* function, const char* module, const char* name) noexcept {
    return function && is_builtin(function, module, name);
}

bool is_c_class_of(PyObject* type, const char* module, const char* name,
                   const char* definition_name) noexcept {
    if (!type || !PyType_Check(type)) {
        return false;
    }
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    size_t module_size = strlen(module);
    if (!t->tp_name || strncmp(t->tp_name, module, module_size) != 0 ||
        t->tp_name[module_size] != '.' || strcmp(t->tp_name + module_size + 1, name) != 0) {
        return false;
    }
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) {
        return true;  // a static type: only C code makes one
    }
    PyObject* owner = PyType_GetModule(t);  // borrowed
    if (!owner) {
        // Made from a spec without its module: the C module's namespace
        // holds it.
        PyErr_Clear();
        Ref module_name = Ref::steal(PyUnicode_FromString(module));
        Ref imported = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
        owner = imported && PyModule_GetDef(imported.get()) ? imported.get() : nullptr;
        bool listed = false;
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (owner && !listed && PyDict_Next(PyModule_GetDict(owner), &position, &key, &value)) {
            listed = value == type;
        }
        PyErr_Clear();
        if (!listed) {
            return false;
        }
    }
    PyModuleDef* definition = PyModule_GetDef(owner);
    if (!definition) {
        PyErr_Clear();
        return false;
    }
    return definition->m_name &&
           strcmp(definition->m_name, definition_name ? definition_name : module) == 0;
}

bool is_stdlib_class(PyObject* type) noexcept {
    if (!type || !PyType_Check(type)) {
        return false;
    }
    PyObject* mro = reinterpret_cast<PyTypeObject*>(type)->tp_mro;  // borrowed
    if (!mro || !PyTuple_Check(mro)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (is_immutable_type(reinterpret_cast<PyTypeObject*>(base))) {
            continue;
        }
        Ref names = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!names || !is_stdlib_defined(base) || !is_stdlib_namespace_at(names.get(), 1)) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

bool is_stdlib_namespace(PyObject* names) noexcept { return is_stdlib_namespace_at(names, 0); }

bool are_stdlib_entries(PyObject* names, std::initializer_list<const char*> keys) noexcept {
    if (!names || !PyDict_Check(names)) {
        return false;
    }
    watch_changes(names);
    for (const char* key : keys) {
        PyObject* value = entry(names, key);
        if (!value || !is_stdlib_value(value, 0)) {
            return false;
        }
    }
    return true;
}

bool holds_exactly(PyObject* dict, std::initializer_list<Pair> pairs) noexcept {
    if (!dict || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != Py_ssize_t(pairs.size())) {
        return false;
    }
    watch_changes(dict);
    for (const Pair& pair : pairs) {
        PyObject* value = entry(dict, pair.key);
        if (!value || Py_TYPE(value) != Py_TYPE(pair.value)) {
            return false;
        }
        if (value != pair.value) {
            int equal = PyObject_RichCompareBool(value, pair.value, Py_EQ);  // exact str or int
            if (equal != 1) {
                PyErr_Clear();
                return false;
            }
        }
    }
    return true;
}

}  // namespace shell_worker
