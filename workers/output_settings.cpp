#include "output_settings.hpp"

#include "../host/constants.hpp"
#include "../host/ref.hpp"
#include "../process/child_output.hpp"

namespace shell_worker {

bool output_limit_in_force(size_t& limit) noexcept {
    limit = default_output_limit;
    // Only where it has been imported: looking it up in sys.modules runs no
    // import, and costs one dict lookup per command.
    Ref settings = Ref::steal(PyImport_GetModule(k.settings_module));
    if (!settings) {
        return !PyErr_Occurred();
    }
    Ref value = Ref::steal(PyObject_GetAttr(settings.get(), k.output_limit));
    if (!value) {
        return false;
    }
    long long bytes = PyLong_CheckExact(value.get()) ? PyLong_AsLongLong(value.get()) : -1;
    if (bytes == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // too large: the message below says what is wanted
    }
    if (bytes < 0 || bytes > most_output_limit) {
        PyErr_Format(PyExc_ValueError,
                     "%s.output_limit must be an int from 0 to %lld, not %R",
                     SHELL_WORKER_FULL_NAME "_settings", most_output_limit, value.get());
        return false;
    }
    limit = size_t(bytes);
    return true;
}

}  // namespace shell_worker
