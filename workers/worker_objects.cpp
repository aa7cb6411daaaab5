#include "worker_objects.hpp"

#include "../host/constants.hpp"
#include "../host/fill_once.hpp"
#include "../host/maps.hpp"
#include "../host/ref.hpp"
#include "captured_output.hpp"
#include "responses.hpp"
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

Ref make_no_command_response() noexcept { return failure_response(k.no_command); }

struct Entry {
    PyObject* WorkerObjects::*field;
    Ref (*make)() noexcept;
};

constexpr Entry table[] = {
    {&WorkerObjects::run_keywords, make_run_keywords},
    {&WorkerObjects::str_strip, take_str_strip},
    {&WorkerObjects::quit_response, make_quit_response},
    {&WorkerObjects::no_command_response, make_no_command_response},
    {&WorkerObjects::captured_output_type, make_captured_output_type},
};

}  // namespace

bool make_worker_objects() noexcept {
    return fill_once(worker_objects, table, [](const Entry& entry) { return entry.make(); });
}

}  // namespace shell_worker
