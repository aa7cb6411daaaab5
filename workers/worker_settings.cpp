#include "worker_settings.hpp"

#include "../host/constants.hpp"
#include "../host/ref.hpp"
#include "../process/child_output.hpp"

namespace shell_worker {

namespace {

bool read_output_limit(PyObject* settings, size_t& limit) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(settings, k.output_limit));
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

bool read_exit_with_controller(PyObject* settings, bool& exit) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(settings, k.exit_with_controller));
    if (!value) {
        return false;
    }
    if (value.get() != Py_True && value.get() != Py_False) {
        PyErr_Format(PyExc_ValueError, "%s.exit_with_controller must be True or False, not %R",
                     SHELL_WORKER_FULL_NAME "_settings", value.get());
        return false;
    }
    exit = value.get() == Py_True;
    return true;
}

}  // namespace

bool read_worker_settings(WorkerSettings& settings) noexcept {
    settings.output_limit = default_output_limit;
    settings.exit_with_controller = false;
    // Only where it has been imported: looking it up in sys.modules runs no
    // import, and costs one dict lookup per command.
    Ref module = Ref::steal(PyImport_GetModule(k.settings_module));
    if (!module) {
        return !PyErr_Occurred();
    }
    return read_output_limit(module.get(), settings.output_limit) &&
           read_exit_with_controller(module.get(), settings.exit_with_controller);
}

}  // namespace shell_worker
