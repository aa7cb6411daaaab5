// Binding of the callables' arguments.  The messages are the module's own
// and fixed: callers match on them.
#include "argument_binding.hpp"

#include "../host/constants.hpp"
#include "../host/ref.hpp"
#include "../host/traceback_entry.hpp"
#include "../workers/dispatcher_steps.hpp"
#include "../workers/executor_steps.hpp"
#include "../workers/shell_worker.hpp"

namespace shell_worker {

namespace {

constexpr Py_ssize_t most_parameters = 3;

struct Parameters {
    const char* function_name;
    Block block;                              // of the callable's traceback entries
    PyObject* const* names[most_parameters];  // in parameter order; filled at initialisation
    Py_ssize_t count;
    Py_ssize_t required;                     // the leading `required` ones
};

const Parameters execute_command_parameters = {
    "execute_command", block_of<ExecutorStep>, {&k.command, &k.timeout, &k.cwd}, 3, 1};
const Parameters handle_command_parameters = {
    "handle_command", block_of<DispatchStep>, {&k.cmd, nullptr, nullptr}, 1, 1};

// Count, keyword and conversion errors carry an entry at the callable's first line.
void binding_failed(const Parameters& parameters) noexcept {
    add_traceback_entry_at(parameters.block.function, parameters.block.first_line);
}

void count_error(const Parameters& parameters, Py_ssize_t given) noexcept {
    const char* range;
    Py_ssize_t number;
    if (parameters.required == parameters.count) {
        range = "exactly";
        number = parameters.count;
    } else if (given < parameters.required) {
        range = "at least";
        number = parameters.required;
    } else {
        range = "at most";
        number = parameters.count;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 parameters.function_name, range, number, number == 1 ? "" : "s", given);
    binding_failed(parameters);
}

bool same_name(PyObject* keyword, PyObject* parameter) noexcept {
    return keyword == parameter || PyUnicode_Compare(keyword, parameter) == 0;
}

// Counts, positions and keywords: fills one owned slot per parameter from the positional
// arguments and the keywords.  False with the error set.
bool bind(const Parameters& parameters, PyObject* const* args, size_t nargsf, PyObject* kwnames,
          Ref (&slots)[most_parameters]) noexcept {
    Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (given > parameters.count || (keywords == 0 && given < parameters.required)) {
        count_error(parameters, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[i] = Ref::borrow(args[i]);
    }
    for (Py_ssize_t j = 0; j < keywords; ++j) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         parameters.function_name);
            binding_failed(parameters);
            return false;
        }
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < parameters.count && slot < 0; ++i) {
            if (same_name(keyword, *parameters.names[i])) {
                slot = i;
            }
        }
        // A name that matches a slot already filled, by position or by an
        // earlier keyword of the same name, is given twice.
        if (slot >= 0 && slots[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         parameters.function_name, keyword);
            binding_failed(parameters);
            return false;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         parameters.function_name, keyword);
            binding_failed(parameters);
            return false;
        }
        slots[slot] = Ref::borrow(args[given + j]);
    }
    for (Py_ssize_t i = 0; i < parameters.required; ++i) {
        if (!slots[i]) {
            count_error(parameters, given);
            return false;
        }
    }
    return true;
}

// The exact-type refusal, with a note when the value's type derives
// from the expected one.
std::nullptr_t type_error(const char* parameter, PyTypeObject* expected, PyObject* value) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter, expected->tp_name, Py_TYPE(value)->tp_name);
    if (!PyType_IsSubtype(Py_TYPE(value), expected)) {
        return nullptr;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "the argument check rejects subclasses of built-in types: '%.200s' must be exactly "
        "%.200s, not %.200s",
        parameter, expected->tp_name, Py_TYPE(value)->tp_name));
    if (!note || !Ref::steal(PyObject_CallMethodOneArg(error.get(), k.add_note, note.get()))) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

}  // namespace

PyObject* execute_command_vectorcall(PyObject*, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    const Parameters& parameters = execute_command_parameters;
    Ref slots[most_parameters];
    if (!bind(parameters, args, nargsf, kwnames, slots)) {
        return nullptr;
    }
    Ref& command = slots[0];
    Ref& timeout = slots[1];
    Ref& cwd = slots[2];
    if (!cwd) {
        cwd = Ref::borrow(Py_None);
    }
    double seconds = default_timeout_seconds;
    if (timeout) {
        if (PyFloat_CheckExact(timeout.get())) {
            seconds = PyFloat_AS_DOUBLE(timeout.get());
        } else {
            seconds = PyFloat_AsDouble(timeout.get());
            if (seconds == -1.0 && PyErr_Occurred()) {
                binding_failed(parameters);
                return nullptr;
            }
        }
    }
    if (!PyUnicode_CheckExact(command.get())) {
        return type_error("command", &PyUnicode_Type, command.get());
    }
    if (cwd.get() != Py_None && !PyUnicode_CheckExact(cwd.get())) {
        return type_error("cwd", &PyUnicode_Type, cwd.get());
    }
    return execute_command(command.get(), seconds, cwd.get()).release();
}

PyObject* handle_command_vectorcall(PyObject*, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) noexcept {
    Ref slots[most_parameters];
    if (!bind(handle_command_parameters, args, nargsf, kwnames, slots)) {
        return nullptr;
    }
    if (!PyDict_CheckExact(slots[0].get())) {
        return type_error("cmd", &PyDict_Type, slots[0].get());
    }
    return handle_command(slots[0].get()).release();
}

PyObject* main_vectorcall(PyObject*, PyObject* const*, size_t nargsf, PyObject* kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", "main", "takes no keyword arguments");
        return nullptr;
    }
    Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", "main", "takes no arguments",
                     given);
        return nullptr;
    }
    return main_loop().release();
}

}  // namespace shell_worker
