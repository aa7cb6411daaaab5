// Whether an object is the host's standard library's own, unmodified, told
// from the object itself rather than from a copy kept at some earlier time:
// a patch made before the module was imported is a patch all the same.
//
// - A module is the standard library's when it is a plain module object
//   whose file lies in the host's standard library directory
//   (sys._stdlib_dir, outside site-packages and dist-packages), or a
//   built-in module made from a C definition.
// - A function is when its code was compiled from the file of the module
//   whose namespace it runs in, and that module is the standard library's
//   (a frozen module's code names "<frozen NAME>").  A wrapper, a mock or a
//   function whose code was swapped for another's has code from elsewhere.
// - A built-in function is when its module's C definition lists it under
//   its name with that very C function.
// - A class is when it is immutable (built in), or when each class of its
//   method resolution order holds, in its namespace, only what a namespace
//   of the standard library may hold (below).
// - A namespace (a module's or a class's names) may hold such modules,
//   functions, built-in functions and classes; class, static methods and
//   properties over them; the host's C descriptors; and data, which is
//   anything that cannot be called.  Anything else that can be called (a
//   mock, a partial, an object with __call__) is a patch.
//
// Every dict looked into is watched (change_watch.hpp), so that what was
// found holds until one of them, or any function, changes.
//
// None of these leaves an error set: what cannot be looked at is not the
// standard library's.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace shell_worker {

bool is_stdlib_module(PyObject* module, const char* name) noexcept;

// A function of the standard library whose code's qualified name is
// `qualname`, or any such function when `qualname` is null.
bool is_stdlib_function(PyObject* function, const char* qualname = nullptr) noexcept;

// A built-in function that C module `module` defines as `name`.
bool is_builtin_of(PyObject* function, const char* module, const char* name) noexcept;

// A class that the C module `module` defines as `name` ("_json", "Encoder"),
// the module's C definition being named `definition` (that of _io is "io").
bool is_c_class_of(PyObject* type, const char* module, const char* name,
                   const char* definition = nullptr) noexcept;

bool is_stdlib_class(PyObject* type) noexcept;

// Every entry of `names`, a module's or a class's dict.
bool is_stdlib_namespace(PyObject* names) noexcept;

// The entries of `names` under `keys`, each present and as a namespace of
// the standard library may hold it.
bool are_stdlib_entries(PyObject* names, std::initializer_list<const char*> keys) noexcept;

// The text `text`, a string literal, interned once for the life of the
// process (borrowed), or null.
PyObject* interned(const char* text) noexcept;

// The value under `key` in `dict` (borrowed), or null.  Never leaves an error.
PyObject* entry(PyObject* dict, const char* key) noexcept;

// getattr(object, name): a new reference, or null.  Never leaves an error.
PyObject* attribute(PyObject* object, const char* name) noexcept;

// Whether `dict` holds exactly the pairs given, the values compared by
// identity (None, True, False, small ints) or, for texts, by value.  Watches
// it.
struct Pair {
    const char* key;
    PyObject* value;
};
bool holds_exactly(PyObject* dict, std::initializer_list<Pair> pairs) noexcept;

}  // namespace shell_worker
