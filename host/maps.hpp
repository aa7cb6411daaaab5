// Small dict helpers: reading requests and results, building responses.
#pragma once

#include <Python.h>

#include <cstddef>

#include "dict_lookup.hpp"
#include "ref.hpp"

namespace shell_worker {

// `map.get(key, fallback)` for an exact dict: a key present with the value
// None yields None.  The value is owned, since later calls may change `map`.
inline Ref dict_get(PyObject* map, PyObject* key, PyObject* fallback) noexcept {
    Ref value;
    int found = dict_lookup(map, key, value);
    if (found == 0) {
        value = Ref::borrow(fallback);
    }
    return value;
}

// `map[key]`.  An exact dict is searched once, and a miss raises the
// KeyError that subscription would; any other object goes to the host's
// subscription, which runs its own __getitem__.
inline Ref get_item(PyObject* map, PyObject* key) noexcept {
    if (!PyDict_CheckExact(map)) {
        return Ref::steal(PyObject_GetItem(map, key));
    }
    Ref value;
    if (dict_lookup(map, key, value) == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
}

// Stores `value` under `key` in a map that the module is building.
inline bool dict_put(PyObject* map, PyObject* key, PyObject* value) noexcept {
    return PyDict_SetItem(map, key, value) == 0;
}

// A new dict of `count` entries, inserted in the order given: the order that
// the wire and introspection show.
template <std::size_t count>
Ref new_map(PyObject* const (&keys)[count], PyObject* const (&values)[count]) noexcept {
    Ref map = Ref::steal(PyDict_New());
    if (!map) {
        return Ref();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!dict_put(map.get(), keys[i], values[i])) {
            return Ref();
        }
    }
    return map;
}

}  // namespace shell_worker
