#include "worker_objects.hpp"

#include "../host/constants.hpp"
#include "../host/maps.hpp"
#include "../host/ref.hpp"
#include "shell_worker.hpp"

namespace shell_worker {

WorkerObjects worker_objects;

namespace {

Ref make_run_keywords() noexcept {
    return Ref::steal(PyTuple_Pack(7, k.shell, k.capture_output, k.text, k.timeout, k.cwd, k.env,
                                   k.stdin_));
}

Ref take_str_strip() noexcept {
    return Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), k.strip));
}

Ref make_quit_response() noexcept {
    return new_map({k.success, k.result}, {Py_True, k.goodbye});
}

Ref make_no_command_response() noexcept {
    return new_map({k.success, k.error}, {Py_False, k.no_command});
}

struct Entry {
    PyObject* WorkerObjects::*field;
    Ref (*make)() noexcept;
};

constexpr Entry table[] = {
    {&WorkerObjects::run_keywords, make_run_keywords},
    {&WorkerObjects::str_strip, take_str_strip},
    {&WorkerObjects::quit_response, make_quit_response},
    {&WorkerObjects::no_command_response, make_no_command_response},
};

}  // namespace

bool make_worker_objects() noexcept {
    for (const Entry& entry : table) {
        PyObject*& object = worker_objects.*entry.field;
        if (!object && !(object = entry.make().release())) {
            return false;
        }
    }
    return true;
}

}  // namespace shell_worker
