// Late-bound access to the module's globals and small host-call helpers.
//
// The operations reach the host modules and each other by name at every use,
// so rebinding a global in the module redirects the next use.
#pragma once

#include <Python.h>

#include <cstddef>

#include "constants.hpp"
#include "ref.hpp"

namespace shell_worker {

// The value bound to `name` in the module's globals, else among the
// builtins; NameError "name 'X' is not defined" when neither has it.
Ref lookup_global(const Text& name) noexcept;

// `object.name`.  On a plain module, for a name that its type (which cannot be
// changed) does not define, the host's lookup comes down to the module's
// namespace, so that is searched directly with the stored hash, as the host's
// own bytecode does.  Anything else, and a name that the namespace lacks (which
// leaves the module's __getattr__ and the AttributeError to the host), goes
// through the host's attribute lookup.
inline Ref get_attr(PyObject* object, const Text& name) noexcept {
    if (PyModule_CheckExact(object) && !name.module_type_attribute) {
        PyObject* value =
            _PyDict_GetItem_KnownHash(PyModule_GetDict(object), name.str, name.hash);
        if (value) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    return Ref::steal(PyObject_GetAttr(object, name.str));
}

// `module_global.attribute`, both looked up now.
inline Ref lookup_global_attr(const Text& global, const Text& attribute) noexcept {
    Ref owner = lookup_global(global);
    return owner ? get_attr(owner.get(), attribute) : Ref();
}

inline Ref call_method(PyObject* object, const Text& name) noexcept {
    return Ref::steal(PyObject_CallMethodNoArgs(object, name.str));
}

inline Ref call_method(PyObject* object, const Text& name, PyObject* argument) noexcept {
    return Ref::steal(PyObject_CallMethodOneArg(object, name.str, argument));
}

// `map.get(key, fallback)` for an exact dict: a key present with the value
// None yields None.  The value is owned, since later calls may change `map`.
inline Ref dict_get(PyObject* map, const Text& key, PyObject* fallback) noexcept {
    PyObject* value = _PyDict_GetItem_KnownHash(map, key.str, key.hash);
    if (value) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    return Ref::borrow(fallback);
}

// `map[key]`.  An exact dict is searched with the stored hash; a miss, and any
// other object, goes to the host's subscription, which raises its KeyError or
// runs the object's own __getitem__.
inline Ref get_item(PyObject* map, const Text& key) noexcept {
    if (PyDict_CheckExact(map)) {
        PyObject* value = _PyDict_GetItem_KnownHash(map, key.str, key.hash);
        if (value) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    return Ref::steal(PyObject_GetItem(map, key.str));
}

// Stores `value` under `key` in a map that the module is building.
inline bool dict_put(PyObject* map, const Text& key, PyObject* value) noexcept {
    return _PyDict_SetItem_KnownHash(map, key.str, value, key.hash) == 0;
}

// A new dict of `count` entries, inserted in the order given: the order that
// the wire and introspection show.
template <std::size_t count>
Ref new_map(const Text* const (&keys)[count], PyObject* const (&values)[count]) noexcept {
    Ref map = Ref::steal(PyDict_New());
    if (!map) {
        return Ref();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!dict_put(map.get(), *keys[i], values[i])) {
            return Ref();
        }
    }
    return map;
}

// Equality with one of the module's action names: the identical object or
// the same code points; None never matches; anything else goes through the
// host's equality operator and a truth test.  -1 with an error set.
inline int equals_name(PyObject* value, const Text& name) noexcept {
    if (value == name.str) {
        return 1;
    }
    if (PyUnicode_CheckExact(value)) {
        // The names are interned, and interned texts are unique by content: an
        // interned value that is not the name itself (such as the default
        // action) differs from it.
        return !PyUnicode_CHECK_INTERNED(value) && _PyUnicode_Equal(value, name.str);
    }
    if (value == Py_None) {
        return 0;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(value, name.str, Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

}  // namespace shell_worker
