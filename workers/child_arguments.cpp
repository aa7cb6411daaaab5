#include "child_arguments.hpp"

#include <string.h>

namespace shell_worker {

namespace {

// os.fsencode(value): the path protocol, then the file system encoding.
Ref fs_encoded(PyObject* value) noexcept {
    Ref path = Ref::steal(PyOS_FSPath(value));
    if (path && PyUnicode_Check(path.get())) {
        return Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    }
    return path;  // bytes
}

// name + b"=" + value for every entry, in the dict's order.
Ref encoded_environment(PyObject* environment) noexcept {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) {
        return Ref();
    }
    Py_ssize_t position = 0;
    PyObject* borrowed_name;
    PyObject* borrowed_value;
    while (PyDict_Next(environment, &position, &borrowed_name, &borrowed_value)) {
        // A value's __fspath__ is Python code: hold both while it may run.
        Ref name_object = Ref::borrow(borrowed_name);
        Ref value_object = Ref::borrow(borrowed_value);
        Ref name = fs_encoded(name_object.get());
        if (!name) {
            return Ref();
        }
        Py_ssize_t name_size = PyBytes_GET_SIZE(name.get());
        if (memchr(PyBytes_AS_STRING(name.get()), '=', size_t(name_size))) {
            PyErr_SetString(PyExc_ValueError, "illegal environment variable name");
            return Ref();
        }
        Ref value = fs_encoded(value_object.get());
        if (!value) {
            return Ref();
        }
        Py_ssize_t value_size = PyBytes_GET_SIZE(value.get());
        Ref entry = Ref::steal(PyBytes_FromStringAndSize(nullptr, name_size + 1 + value_size));
        if (!entry) {
            return Ref();
        }
        char* text = PyBytes_AS_STRING(entry.get());
        memcpy(text, PyBytes_AS_STRING(name.get()), size_t(name_size));
        text[name_size] = '=';
        memcpy(text + name_size + 1, PyBytes_AS_STRING(value.get()), size_t(value_size));
        if (PyList_Append(entries.get(), entry.get()) < 0) {
            return Ref();
        }
    }
    return entries;
}

// Every element through PyUnicode_FSConverter, which refuses a NUL as well.
Ref encoded_arguments(PyObject* arguments) noexcept {
    Py_ssize_t count = PyList_GET_SIZE(arguments);
    Ref converted = Ref::steal(PyList_New(count));
    for (Py_ssize_t i = 0; converted && i < count; ++i) {
        PyObject* bytes;
        if (!PyUnicode_FSConverter(PyList_GET_ITEM(arguments, i), &bytes)) {
            return Ref();
        }
        PyList_SET_ITEM(converted.get(), i, bytes);
    }
    return converted;
}

// A null-terminated array of the bytes' texts; a text with a NUL in it is
// refused with the host's "embedded null byte".
char** pointer_array(PyObject* list) noexcept {
    Py_ssize_t count = PyList_GET_SIZE(list);
    char** array = static_cast<char**>(PyMem_Malloc(sizeof(char*) * size_t(count + 1)));
    if (!array) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyBytes_AsStringAndSize(PyList_GET_ITEM(list, i), &array[i], nullptr) < 0) {
            PyMem_Free(array);
            return nullptr;
        }
    }
    array[count] = nullptr;
    return array;
}

}  // namespace

ChildArguments::~ChildArguments() {
    PyMem_Free(argv_);
    PyMem_Free(envp_);
}

bool ChildArguments::convert(PyObject* arguments, PyObject* environment,
                             PyObject* directory) noexcept {
    environment_bytes_ = encoded_environment(environment);
    argument_bytes_ = environment_bytes_ ? encoded_arguments(arguments) : Ref();
    if (!argument_bytes_ || !(argv_ = pointer_array(argument_bytes_.get())) ||
        !(envp_ = pointer_array(environment_bytes_.get()))) {
        return false;
    }
    if (directory != Py_None) {
        PyObject* bytes;
        if (!PyUnicode_FSConverter(directory, &bytes)) {
            return false;
        }
        directory_ = Ref::steal(bytes);
    }
    return true;
}

}  // namespace shell_worker
