// handle_command: one request in, one response out.
#include "shell_worker.hpp"

#include "../host/constants.hpp"
#include "../host/global_lookup.hpp"
#include "../host/maps.hpp"
#include "../host/name_equality.hpp"
#include "../host/records.hpp"
#include "../host/traceback_entry.hpp"
#include "dispatcher_steps.hpp"
#include "output_form.hpp"
#include "responses.hpp"
#include "worker_objects.hpp"

namespace shell_worker {

namespace {

// A new response equal to one of the fixed responses made at initialisation.
// The copy takes the keys as one block, where filling a new map has the host
// grow and probe its table once per key; for members that vary the copy would
// cost more, since setting them probes the table all the same.
Ref fixed_response(PyObject* response) noexcept { return Ref::steal(PyDict_Copy(response)); }

// execute_command(command, timeout, cwd) through the module global, with
// exactly three positional arguments.  With `captured`, a call of the
// module's own executor keeps the output as bytes (output_form.hpp).
Ref call_execute_command(PyObject* command, PyObject* timeout, PyObject* cwd,
                         bool captured) noexcept {
    Ref executor = lookup_global(k.execute_command);
    if (!executor) {
        return Ref();
    }
    PyObject* arguments[] = {command, timeout, cwd};
    captured_output_wanted = captured && executor.get() == records.execute_command_function;
    Ref result = Ref::steal(PyObject_Vectorcall(executor.get(), arguments, 3, nullptr));
    captured_output_wanted = false;  // a call that failed in its binding never took it
    return result;
}

// result["returncode"] == 0, the comparison's own value.  The two steps are
// those of whichever function makes the test.
template <typename Step>
Ref return_code_is_zero(PyObject* result, Step& step, Step read_step, Step compare_step) noexcept {
    step = read_step;
    Ref code = get_item(result, k.returncode);
    if (!code) {
        return Ref();
    }
    step = compare_step;
    return Ref::steal(PyObject_RichCompare(code.get(), k.zero, Py_EQ));
}

Ref exec(PyObject* cmd, bool captured, DispatchStep& step) noexcept {
    step = DispatchStep::read_exec_members;
    Ref command = dict_get(cmd, k.command, k.empty);
    Ref timeout = command ? dict_get(cmd, k.timeout, k.default_timeout) : Ref();
    Ref cwd = timeout ? dict_get(cmd, k.cwd, Py_None) : Ref();
    if (!cwd) {
        return Ref();
    }
    step = DispatchStep::test_command;
    int has_command = PyObject_IsTrue(command.get());
    if (has_command < 0) {
        return Ref();
    }
    if (!has_command) {
        return fixed_response(worker_objects.no_command_response);
    }
    step = DispatchStep::call_executor;
    Ref result = call_execute_command(command.get(), timeout.get(), cwd.get(), captured);
    if (!result) {
        return Ref();
    }
    Ref success = return_code_is_zero(result.get(), step, DispatchStep::test_return_code,
                                       DispatchStep::test_return_code);
    if (!success) {
        return Ref();
    }
    int succeeded = PyObject_IsTrue(success.get());
    if (succeeded < 0) {
        return Ref();
    }
    Ref error = Ref::borrow(Py_None);
    if (!succeeded) {
        step = DispatchStep::read_stderr;
        error = get_item(result.get(), k.stderr_);
        if (!error) {
            return Ref();
        }
    }
    step = DispatchStep::exec_response;
    return new_map({k.success, k.result, k.error}, {success.get(), result.get(), error.get()});
}

// all(r["returncode"] == 0 for r in results): in order, stopping at the
// first failing element.  Errors inside the generator expression get its
// own entry; the truth test belongs to the caller, as all() would make it.
Ref all_succeeded(PyObject* results) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); ++i) {
        Ref r = Ref::borrow(PyList_GET_ITEM(results, i));
        GenexprStep step = GenexprStep::read_return_code;
        Ref zero = return_code_is_zero(r.get(), step, GenexprStep::read_return_code,
                                       GenexprStep::compare_return_code);
        if (!zero) {
            add_traceback_entry(step);
            return Ref();
        }
        int succeeded = PyObject_IsTrue(zero.get());
        if (succeeded < 0) {
            return Ref();
        }
        if (!succeeded) {
            return Ref::borrow(Py_False);
        }
    }
    return Ref::borrow(Py_True);
}

Ref exec_many(PyObject* cmd, bool captured, DispatchStep& step) noexcept {
    step = DispatchStep::read_exec_many_members;
    // The default list is made only when the member is absent.
    Ref commands;
    int present = dict_lookup(cmd, k.commands, commands);
    if (present == 0) {
        commands = Ref::steal(PyList_New(0));
    }
    Ref timeout = commands ? dict_get(cmd, k.timeout, k.default_timeout) : Ref();
    Ref cwd = timeout ? dict_get(cmd, k.cwd, Py_None) : Ref();
    Ref results = cwd ? Ref::steal(PyList_New(0)) : Ref();
    if (!results) {
        return Ref();
    }
    step = DispatchStep::iterate_commands;
    Ref iterator = Ref::steal(PyObject_GetIter(commands.get()));
    if (!iterator) {
        return Ref();
    }
    while (Ref command = Ref::steal(PyIter_Next(iterator.get()))) {
        step = DispatchStep::call_executor_in_batch;
        Ref result = call_execute_command(command.get(), timeout.get(), cwd.get(), captured);
        if (!result || PyList_Append(results.get(), result.get()) < 0) {
            return Ref();
        }
        step = DispatchStep::iterate_commands;
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    step = DispatchStep::test_all_success;
    Ref all_success = all_succeeded(results.get());
    if (!all_success) {
        return Ref();
    }
    step = DispatchStep::exec_many_response;
    return new_map({k.success, k.result}, {all_success.get(), results.get()});
}

// The action as it appears after "Unknown action: ".
Ref text_of(PyObject* action) noexcept {
    if (PyUnicode_CheckExact(action)) {
        return Ref::borrow(action);
    }
    if (PyLong_CheckExact(action) || PyFloat_CheckExact(action)) {
        return Ref::steal(PyObject_Repr(action));
    }
    return Ref::steal(PyObject_Format(action, k.empty));
}

Ref unknown_action(PyObject* action, DispatchStep& step) noexcept {
    step = DispatchStep::action_text;
    Ref text = text_of(action);
    Ref message = text ? Ref::steal(PyUnicode_Concat(k.unknown_action, text.get())) : Ref();
    if (!message) {
        return Ref();
    }
    step = DispatchStep::unknown_action_response;
    return failure_response(message.get());
}

Ref dispatch(PyObject* cmd, bool captured, DispatchStep& step) noexcept {
    step = DispatchStep::read_action;
    Ref action = dict_get(cmd, k.action, k.exec);
    if (!action) {
        return Ref();
    }
    step = DispatchStep::match_action;
    int matched = equals_name(action.get(), k.quit);
    if (matched > 0) {
        step = DispatchStep::quit_response;
        return fixed_response(worker_objects.quit_response);
    }
    if (matched == 0) {
        matched = equals_name(action.get(), k.exec);
        if (matched > 0) {
            return exec(cmd, captured, step);
        }
    }
    if (matched == 0) {
        matched = equals_name(action.get(), k.exec_many);
        if (matched > 0) {
            return exec_many(cmd, captured, step);
        }
    }
    if (matched < 0) {
        return Ref();
    }
    return unknown_action(action.get(), step);
}

}  // namespace

Ref handle_command(PyObject* cmd, bool captured_outputs) noexcept {
    DispatchStep step = DispatchStep::read_action;
    Ref response = dispatch(cmd, captured_outputs, step);
    if (!response) {
        add_traceback_entry(step);
    }
    return response;
}

}  // namespace shell_worker
