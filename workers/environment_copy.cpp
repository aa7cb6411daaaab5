#include "environment_copy.hpp"

#include <string.h>

#include "../host/constants.hpp"
#include "../host/global_lookup.hpp"
#include "../host/recorded_entries.hpp"
#include "../host/records.hpp"

namespace shell_worker {

namespace {

// One of os.environ's functions as initialisation found it: the function
// object and what makes it what it is, its code and the one cell it closes
// over (the encoding's name).  Owned, for the life of the process.
struct RecordedFunction {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* cell_contents = nullptr;
};

struct RecordedEnvironment {
    PyObject* environ = nullptr;  // the mapping itself
    PyObject* data = nullptr;     // its `_data`: the bytes it holds, a plain dict
    RecordedFunction decode;      // decodekey, which is decodevalue too
    RecordedFunction encode;      // encodekey, which is encodevalue too
};

RecordedEnvironment recorded;

// The function's one closed-over value (borrowed), or null.
PyObject* closed_over(PyObject* function) noexcept {
    PyObject* closure = PyFunction_GetClosure(function);  // borrowed
    if (!closure || !PyTuple_Check(closure) || PyTuple_GET_SIZE(closure) != 1) {
        return nullptr;
    }
    return PyCell_GET(PyTuple_GET_ITEM(closure, 0));
}

bool record_function(PyObject* names, const char* key, const char* same_as, PyObject* name,
                     RecordedFunction& function) noexcept {
    PyObject* found = PyDict_GetItemString(names, key);   // borrowed
    PyObject* twin = PyDict_GetItemString(names, same_as);  // borrowed
    if (!found || found != twin || !PyFunction_Check(found)) {
        return false;
    }
    PyObject* code = PyFunction_GetCode(found);  // borrowed
    Ref code_name = Ref::steal(PyObject_GetAttrString(code, "co_name"));
    PyObject* encoding = closed_over(found);
    if (!code_name || !PyUnicode_Check(code_name.get()) ||
        PyUnicode_Compare(code_name.get(), name) != 0 || !encoding ||
        !PyUnicode_CheckExact(encoding)) {
        PyErr_Clear();
        return false;
    }
    function.function = Py_NewRef(found);
    function.code = Py_NewRef(code);
    function.cell_contents = Py_NewRef(encoding);
    return true;
}

bool function_unchanged(const RecordedFunction& function) noexcept {
    return PyFunction_GetCode(function.function) == function.code &&
           closed_over(function.function) == function.cell_contents;
}

// Records the attribute maps of every class that dict(os.environ) goes
// through: the mapping's own and its keys view's, with their bases.
bool record_classes(PyObject* object) noexcept {
    PyObject* mro = Py_TYPE(object)->tp_mro;  // borrowed
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (type == &PyBaseObject_Type) {
            continue;  // built in, and never changed
        }
        Ref names = Ref::steal(PyType_GetDict(type));
        if (!names || !environ_entries.record_all(names.get())) {
            return false;
        }
    }
    return true;
}

bool record(PyObject* os) noexcept {
    Ref environ = Ref::steal(PyObject_GetAttr(os, k.environ));
    if (!environ) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(environ.get());
    Ref names = Ref::steal(PyObject_GenericGetDict(environ.get(), nullptr));
    if (!names || !PyDict_CheckExact(names.get()) || !type->tp_name ||
        strcmp(type->tp_name, "_Environ") != 0) {
        return false;
    }
    PyObject* data = PyDict_GetItemString(names.get(), "_data");  // borrowed
    Ref keys = Ref::steal(PyObject_CallMethod(environ.get(), "keys", nullptr));
    Ref decode_name = Ref::steal(PyUnicode_FromString("decode"));
    Ref encode_name = Ref::steal(PyUnicode_FromString("encode"));
    if (!data || !PyDict_CheckExact(data) || !keys || !decode_name || !encode_name ||
        !record_function(names.get(), "decodekey", "decodevalue", decode_name.get(),
                         recorded.decode) ||
        !record_function(names.get(), "encodekey", "encodevalue", encode_name.get(),
                         recorded.encode) ||
        recorded.decode.cell_contents != recorded.encode.cell_contents ||
        !environ_entries.record_all(names.get()) || !record_classes(environ.get()) ||
        !record_classes(keys.get())) {
        return false;
    }
    recorded.environ = environ.release();
    recorded.data = Py_NewRef(data);
    return true;
}

// Whether the encoding, as os.environ names it, is UTF-8: decoding then runs
// no Python code, and nothing can change the mapping in the middle of the copy.
bool decodes_as_utf8(PyObject* encoding) noexcept {
    return PyUnicode_CompareWithASCIIString(encoding, "utf-8") == 0 ||
           PyUnicode_CompareWithASCIIString(encoding, "utf8") == 0;
}

// The copy from the bytes, which are UTF-8 (decodes_as_utf8); empty without
// an error where an entry is not bytes (the generic copy then says what it
// says of it).
Ref copy_from_bytes(PyObject* data, bool& done) noexcept {
    done = false;
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) {
        done = true;
        return Ref();
    }
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(data, &position, &key, &value)) {
        if (!PyBytes_CheckExact(key) || !PyBytes_CheckExact(value)) {
            return Ref();
        }
        // bytes.decode("utf-8", "surrogateescape") comes to this very call.
        Ref text_key = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key),
                                                       PyBytes_GET_SIZE(key), "surrogateescape"));
        Ref text_value = text_key ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value),
                                                                    PyBytes_GET_SIZE(value),
                                                                    "surrogateescape"))
                                  : Ref();
        if (!text_value || PyDict_SetItem(copy.get(), text_key.get(), text_value.get()) < 0) {
            done = true;
            return Ref();
        }
    }
    done = true;
    return copy;
}

}  // namespace

void record_environment(PyObject* os) noexcept {
    environ_entries.forget();
    if (!record(os)) {
        PyErr_Clear();
        environ_entries.forget();
        Py_CLEAR(recorded.environ);
    }
}

Ref environment_copy() noexcept {
    Ref environ = lookup_global_attr(k.os, k.environ);
    if (!environ) {
        return Ref();
    }
    if (recorded.environ && environ.get() == recorded.environ && environ_entries.unchanged() &&
        function_unchanged(recorded.decode) && function_unchanged(recorded.encode) &&
        decodes_as_utf8(recorded.decode.cell_contents)) {
        bool done;
        Ref copy = copy_from_bytes(recorded.data, done);
        if (done) {
            return copy;
        }
    }
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Merge(copy.get(), environ.get(), 1) < 0) {
        return Ref();
    }
    return copy;
}

}  // namespace shell_worker
