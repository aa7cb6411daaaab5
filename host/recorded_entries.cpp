#include "recorded_entries.hpp"

#include <utility>

#include "ref.hpp"

namespace shell_worker {

namespace {

// [(dict, keys, values, size or None), ...]: owned, never released but by
// forget_recorded_entries().  Guarded by the interpreter lock, as are the two
// below.
PyObject* recorded = nullptr;

// Raised by the watcher at any change to a recorded dict, and while there is
// no watcher at all.
bool maybe_changed = true;

// The watcher's number, -1 before it is asked for, -2 when the host had none
// to spare.
int watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    // This watcher watches only the recorded dicts: any event is one of theirs.
    maybe_changed = true;
    return 0;
}

// Watches `dict`, asking for the watcher first.  Never fails: without one,
// every check compares.
void watch(PyObject* dict) noexcept {
    if (watcher == -1) {
        watcher = PyDict_AddWatcher(on_dict_event);
        if (watcher < 0) {
            PyErr_Clear();  // all taken: the host's and other modules' watchers
            watcher = -2;
        }
    }
    if (watcher >= 0 && PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();  // cannot happen for a dict and a watcher of ours; compare always then
        watcher = -2;
    }
}

bool add_record(PyObject* dict, Ref keys, PyObject* size) noexcept {
    Py_ssize_t count = PyTuple_GET_SIZE(keys.get());
    Ref values = Ref::steal(PyTuple_New(count));
    if (!values) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = PyDict_GetItemWithError(dict, PyTuple_GET_ITEM(keys.get(), i));
        if (!value) {
            if (PyErr_Occurred()) {
                return false;
            }
            // Not there: recorded as None, and a later None there reads as unchanged.
            value = Py_None;
        }
        PyTuple_SET_ITEM(values.get(), i, Py_NewRef(value));
    }
    if (!recorded) {
        recorded = PyList_New(0);
        if (!recorded) {
            return false;
        }
    }
    Ref entry = Ref::steal(PyTuple_Pack(4, dict, keys.get(), values.get(), size));
    if (!entry || PyList_Append(recorded, entry.get()) < 0) {
        return false;
    }
    watch(dict);
    maybe_changed = true;
    return true;
}

// Whether the entries of one record are as they were.
bool unchanged(PyObject* entry) noexcept {
    PyObject* dict = PyTuple_GET_ITEM(entry, 0);
    PyObject* keys = PyTuple_GET_ITEM(entry, 1);
    PyObject* values = PyTuple_GET_ITEM(entry, 2);
    PyObject* size = PyTuple_GET_ITEM(entry, 3);
    if (size != Py_None && PyDict_GET_SIZE(dict) != PyLong_AsSsize_t(size)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
        PyObject* value = PyDict_GetItemWithError(dict, PyTuple_GET_ITEM(keys, i));
        if (!value) {
            // A key whose comparison raised (an odd key of the same hash put
            // there since): a change like any other.
            PyErr_Clear();
            value = Py_None;
        }
        if (value != PyTuple_GET_ITEM(values, i)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void forget_recorded_entries() noexcept {
    Py_CLEAR(recorded);
    maybe_changed = true;
}

bool record_all_entries(PyObject* dict) noexcept {
    Ref keys = Ref::steal(PyDict_Keys(dict));
    Ref key_tuple = keys ? Ref::steal(PyList_AsTuple(keys.get())) : Ref();
    Ref size = key_tuple ? Ref::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(dict))) : Ref();
    return size && add_record(dict, std::move(key_tuple), size.get());
}

bool record_entries(PyObject* dict, std::initializer_list<const char*> names) noexcept {
    Ref keys = Ref::steal(PyTuple_New(Py_ssize_t(names.size())));
    if (!keys) {
        return false;
    }
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* key = PyUnicode_InternFromString(name);
        if (!key) {
            return false;
        }
        PyTuple_SET_ITEM(keys.get(), i++, key);
    }
    return add_record(dict, std::move(keys), Py_None);
}

bool recorded_entries_unchanged() noexcept {
    if (!recorded) {
        return false;
    }
    if (!maybe_changed) {
        return true;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recorded); ++i) {
        if (!unchanged(PyList_GET_ITEM(recorded, i))) {
            return false;
        }
    }
    // All as they were: until the next change, nothing need be compared.
    maybe_changed = watcher < 0;
    return true;
}

}  // namespace shell_worker
