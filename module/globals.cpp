#include "globals.hpp"

#include <initializer_list>

#include "records.hpp"

namespace shell_worker {

Records records;

Ref lookup_global(const Text& name) noexcept {
    for (PyObject* map : {records.globals, records.builtins}) {
        if (!map) {
            continue;
        }
        PyObject* value = _PyDict_GetItem_KnownHash(map, name.str, name.hash);
        if (value) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.str);
    return Ref();
}

}  // namespace shell_worker
