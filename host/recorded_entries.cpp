#include "recorded_entries.hpp"

#include "ref.hpp"

namespace shell_worker {

EntryRecord machinery_entries;
EntryRecord output_entries;
EntryRecord environ_entries;

namespace {

// The watcher's number, -1 before it is asked for, -2 when the host had none
// to spare (or would not watch a dict).
int watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    // This watcher watches only recorded dicts, and a check after a change
    // costs a microsecond: every record looks again.
    machinery_entries.raise_flag();
    output_entries.raise_flag();
    environ_entries.raise_flag();
    return 0;
}

// Watches `dict`, asking for the watcher first.  Never fails: without one,
// every check compares.
void watch(PyObject* dict) noexcept {
    if (watcher == -1) {
        watcher = PyDict_AddWatcher(on_dict_event);
        if (watcher < 0) {
            PyErr_Clear();  // all taken, by the host's and other modules' watchers
            watcher = -2;
        }
    }
    if (watcher >= 0 && PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();  // cannot happen for a dict and a watcher of ours; compare always then
        watcher = -2;
    }
}

// Whether the entries of one record are as they were.
bool entry_unchanged(PyObject* entry) noexcept {
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

void EntryRecord::forget() noexcept {
    Py_CLEAR(entries_);
    maybe_changed_ = true;
}

bool EntryRecord::add(PyObject* dict, PyObject* keys, PyObject* size) noexcept {
    Py_ssize_t count = PyTuple_GET_SIZE(keys);
    Ref values = Ref::steal(PyTuple_New(count));
    if (!values) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = PyDict_GetItemWithError(dict, PyTuple_GET_ITEM(keys, i));
        if (!value) {
            if (PyErr_Occurred()) {
                return false;
            }
            // Not there: recorded as None, and a later None there reads as unchanged.
            value = Py_None;
        }
        PyTuple_SET_ITEM(values.get(), i, Py_NewRef(value));
    }
    if (!entries_) {
        entries_ = PyList_New(0);
        if (!entries_) {
            return false;
        }
    }
    Ref entry = Ref::steal(PyTuple_Pack(4, dict, keys, values.get(), size));
    if (!entry || PyList_Append(entries_, entry.get()) < 0) {
        return false;
    }
    watch(dict);
    maybe_changed_ = true;
    return true;
}

bool EntryRecord::record_all(PyObject* dict) noexcept {
    Ref keys = Ref::steal(PyDict_Keys(dict));
    Ref key_tuple = keys ? Ref::steal(PyList_AsTuple(keys.get())) : Ref();
    Ref size = key_tuple ? Ref::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(dict))) : Ref();
    return size && add(dict, key_tuple.get(), size.get());
}

bool EntryRecord::record(PyObject* dict, std::initializer_list<const char*> names) noexcept {
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
    return add(dict, keys.get(), Py_None);
}

bool EntryRecord::unchanged() noexcept {
    if (!entries_) {
        return false;
    }
    if (!maybe_changed_) {
        return true;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries_); ++i) {
        if (!entry_unchanged(PyList_GET_ITEM(entries_, i))) {
            return false;
        }
    }
    // All as they were: until the next change, nothing need be compared.
    maybe_changed_ = watcher < 0;
    return true;
}

}  // namespace shell_worker
