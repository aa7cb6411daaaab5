// Late-bound access to the module's globals and to attributes of what they
// hold.
//
// The operations reach the host modules and each other by name at every use,
// so rebinding a global in the module redirects the next use.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace shell_worker {

// The value bound to `name` in the module's globals, else among the
// builtins; NameError "name 'X' is not defined" when neither has it.
Ref lookup_global(PyObject* name) noexcept;

// `object.name`, through the host's attribute lookup.
inline Ref get_attr(PyObject* object, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(object, name));
}

// `global.attribute`, both looked up now.
inline Ref lookup_global_attr(PyObject* global, PyObject* attribute) noexcept {
    Ref owner = lookup_global(global);
    return owner ? get_attr(owner.get(), attribute) : Ref();
}

inline Ref call_method(PyObject* object, PyObject* name) noexcept {
    return Ref::steal(PyObject_CallMethodNoArgs(object, name));
}

inline Ref call_method(PyObject* object, PyObject* name, PyObject* argument) noexcept {
    return Ref::steal(PyObject_CallMethodOneArg(object, name, argument));
}

}  // namespace shell_worker
