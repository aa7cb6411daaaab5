#include "environment_copy.hpp"

#include <string.h>

#include "../host/constants.hpp"
#include "../host/global_lookup.hpp"
#include "../host/records.hpp"

namespace shell_worker {

namespace {

// Whether os.environ's decoding function `decode` still names UTF-8 (its
// closure's cell is no dict, and no watcher sees it change): decoding then
// runs no Python code, and nothing can change the mapping in the middle of
// the copy.
bool decodes_as_utf8(PyObject* decode) noexcept {
    PyObject* closure = PyFunction_GetClosure(decode);  // borrowed
    PyObject* encoding = closure && PyTuple_Check(closure) && PyTuple_GET_SIZE(closure) == 1
                             ? PyCell_GET(PyTuple_GET_ITEM(closure, 0))
                             : nullptr;
    return encoding && PyUnicode_CheckExact(encoding) &&
           (PyUnicode_CompareWithASCIIString(encoding, "utf-8") == 0 ||
            PyUnicode_CompareWithASCIIString(encoding, "utf8") == 0);
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

Ref environment_copy(const Verdict& verdict) noexcept {
    Ref environ = lookup_global_attr(k.os, k.environ);
    if (!environ) {
        return Ref();
    }
    if (verdict.environ_data && verdict_holds(verdict) &&
        decodes_as_utf8(verdict.environ_decode)) {
        bool done;
        Ref copy = copy_from_bytes(verdict.environ_data, done);
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
