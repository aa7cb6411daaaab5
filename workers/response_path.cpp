#include "response_path.hpp"

#include <string.h>

#include "../host/call_observers.hpp"
#include "../host/constants.hpp"
#include "../host/global_lookup.hpp"
#include "../host/recorded_entries.hpp"
#include "../host/records.hpp"
#include "../host/ref.hpp"

namespace shell_worker {

namespace {

// The encoding last found to write ASCII as ASCII, or not: reconfigure()
// makes a new name object, so one comparison tells whether to look again.
PyObject* checked_encoding = nullptr;  // owned
bool checked_encoding_fits = false;

// Whether `encoding` turns every printable ASCII character (all that a
// response's text holds but its final line feed, which goes through the
// stream itself) into that same byte.
bool writes_ascii_as_ascii(PyObject* encoding) noexcept {
    if (!PyUnicode_Check(encoding)) {
        return false;
    }
    char printable[95];
    for (int i = 0; i < 95; ++i) {
        printable[i] = char(' ' + i);
    }
    Ref probe = Ref::steal(PyUnicode_FromStringAndSize(printable, sizeof printable));
    const char* name = probe ? PyUnicode_AsUTF8(encoding) : nullptr;
    Ref encoded = name ? Ref::steal(PyUnicode_AsEncodedString(probe.get(), name, "strict")) : Ref();
    if (!encoded) {
        PyErr_Clear();  // an encoding that cannot even do that: the plain path shows it
        return false;
    }
    return PyBytes_Check(encoded.get()) && PyBytes_GET_SIZE(encoded.get()) == sizeof printable &&
           memcmp(PyBytes_AS_STRING(encoded.get()), printable, sizeof printable) == 0;
}

bool encoding_fits(PyObject* out) noexcept {
    Ref encoding = Ref::steal(PyObject_GetAttr(out, k.encoding));
    if (!encoding) {
        PyErr_Clear();
        return false;
    }
    if (encoding.get() != checked_encoding) {
        checked_encoding_fits = writes_ascii_as_ascii(encoding.get());
        Py_XSETREF(checked_encoding, encoding.release());
    }
    return checked_encoding_fits;
}

}  // namespace

bool response_path_is_own(PyObject* out) noexcept {
    if (!records.own_stdout || out != records.own_stdout) {
        return false;
    }
    Ref json = lookup_global(k.json);
    if (!json) {
        PyErr_Clear();
        return false;
    }
    return json.get() == records.json && output_entries.unchanged() && encoding_fits(out) &&
           !python_calls_watched();
}

bool response_path_is_own() noexcept {
    if (!records.own_stdout) {
        return false;
    }
    Ref executor = lookup_global(k.execute_command);
    if (!executor || executor.get() != records.execute_command_function) {
        PyErr_Clear();
        return false;
    }
    Ref out = lookup_global_attr(k.sys, k.stdout_);
    if (!out) {
        PyErr_Clear();
        return false;
    }
    return response_path_is_own(out.get());
}

}  // namespace shell_worker
