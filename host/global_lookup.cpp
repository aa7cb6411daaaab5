#include "global_lookup.hpp"

#include <initializer_list>

#include "dict_lookup.hpp"
#include "records.hpp"

namespace shell_worker {

Ref lookup_global(PyObject* name) noexcept {
    for (PyObject* map : {records.globals, records.builtins}) {
        Ref value;
        if (map && dict_lookup(map, name, value) != 0) {
            return value;  // found, or empty with the lookup's error set
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace shell_worker
