// execute_command: one shell command in a child process, started and watched
// by the module itself where the request's verdict (request_verdict.hpp) says
// that subprocess is the standard library's own, and through run() otherwise, with every failure of its own
// turned into a result.
#include "shell_worker.hpp"

#include <initializer_list>

#include "../host/constants.hpp"
#include "../host/error_context.hpp"
#include "../host/global_lookup.hpp"
#include "../host/maps.hpp"
#include "../host/records.hpp"
#include "../host/traceback_entry.hpp"
#include "environment_copy.hpp"
#include "request_verdict.hpp"
#include "executor_steps.hpp"
#include "output_form.hpp"
#include "worker_objects.hpp"

namespace shell_worker {

bool captured_output_wanted = false;

namespace {

// The child's working directory: `cwd` unchanged when it is non-empty text,
// otherwise os.getcwd() now.
Ref working_directory(PyObject* cwd) noexcept {
    int given = PyObject_IsTrue(cwd);
    if (given < 0) {
        return Ref();
    }
    if (given) {
        return Ref::borrow(cwd);
    }
    Ref getcwd = lookup_global_attr(k.os, k.getcwd);
    return getcwd ? Ref::steal(PyObject_CallNoArgs(getcwd.get())) : Ref();
}

// run(command, shell=True, capture_output=True, text=True, timeout=...,
// cwd=..., env=..., stdin=DEVNULL), the call made when the process machinery
// has been replaced, and its result read from the returned object.
Ref run_through(PyObject* run, const ChildCall& call, ExecutorStep& step) noexcept {
    step = ExecutorStep::call_run;
    PyObject* arguments[] = {
        call.command,
        Py_True,           // shell
        Py_True,           // capture_output
        Py_True,           // text
        call.timeout,      // timeout
        call.directory,    // cwd
        call.environment,  // env
        call.devnull,      // stdin
    };
    Ref completed = Ref::steal(PyObject_Vectorcall(run, arguments, 1, worker_objects.run_keywords));
    if (!completed) {
        return Ref();
    }
    step = ExecutorStep::build_result;
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return Ref();
    }
    for (PyObject* field : {k.stdout_, k.stderr_, k.returncode}) {
        Ref value = get_attr(completed.get(), field);
        if (!value || !dict_put(result.get(), field, value.get())) {
            return Ref();
        }
    }
    return result;
}

// The guarded region: start the child, wait for it, collect its result.
// On failure `step` tells which step raised.
Ref run_child(PyObject* command, double timeout, PyObject* cwd, bool captured,
              ExecutorStep& step) noexcept {
    step = ExecutorStep::look_up_run;
    Ref subprocess = lookup_global(k.subprocess);
    Ref run = subprocess ? get_attr(subprocess.get(), k.run) : Ref();
    if (!run) {
        return Ref();
    }
    // The request's verdict: while it holds, the global subprocess and its run
    // are the ones it found to be the standard library's.
    Verdict verdict = executor_verdict();
    bool native = verdict.process_own && verdict_holds(verdict);
    step = ExecutorStep::convert_timeout;
    Ref timeout_value = Ref::steal(PyFloat_FromDouble(timeout));
    if (!timeout_value) {
        return Ref();
    }
    step = ExecutorStep::working_directory;
    Ref directory = working_directory(cwd);
    if (!directory) {
        return Ref();
    }
    step = ExecutorStep::copy_environment;
    Ref environment = environment_copy(verdict);
    if (!environment) {
        return Ref();
    }
    // Without this the child would inherit the worker's standard input, the
    // controlling process's request pipe, and could swallow queued requests.
    step = ExecutorStep::look_up_stdin;
    Ref devnull = get_attr(subprocess.get(), k.devnull);
    if (!devnull) {
        return Ref();
    }
    ChildCall call = {command, timeout_value.get(), directory.get(), environment.get(),
                      devnull.get()};
    return native ? run_native(call, captured, step) : run_through(run.get(), call, step);
}

// Whether `error` is subprocess.TimeoutExpired or a subclass.  A failure to
// look the class up means it is not: the error is then classified as an
// ordinary one (it may well be that lookup's own failure).
bool is_time_out(PyObject* error) noexcept {
    Ref timeout_expired = lookup_global_attr(k.subprocess, k.timeout_expired);
    if (!timeout_expired) {
        PyErr_Clear();
        return false;
    }
    return PyErr_GivenExceptionMatches(error, timeout_expired.get());
}

Ref failure_result(PyObject* error) noexcept {
    Ref message = Ref::steal(PyObject_Str(error));
    if (!message) {
        // The error that cannot be shown passes on as the context of the one
        // that stopped it, as it would from an except clause.
        chain_to_pending(Ref::borrow(error));
        return Ref();
    }
    return unfinished_result(message.get());
}

}  // namespace

Ref unfinished_result(PyObject* message) noexcept {
    return new_map({k.stdout_, k.stderr_, k.returncode}, {k.empty, message, k.minus_one});
}

Ref time_out_result(double timeout) noexcept {
    Ref seconds = Ref::steal(PyFloat_FromDouble(timeout));
    Ref seconds_text = seconds ? Ref::steal(PyObject_Repr(seconds.get())) : Ref();
    Ref message = seconds_text ? Ref::steal(PyUnicode_FromFormat(
                                     "%U%U%U", k.timed_out_before, seconds_text.get(),
                                     k.timed_out_after))
                               : Ref();
    return message ? unfinished_result(message.get()) : Ref();
}

Ref execute_command(PyObject* command, double timeout, PyObject* cwd) noexcept {
    bool captured = take_captured_output_wish();
    ExecutorStep step = ExecutorStep::look_up_run;
    Ref result = run_child(command, timeout, cwd, captured, step);
    if (result) {
        return result;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (is_time_out(error.get())) {
        // Whatever the child wrote before its time ran out is dropped.
        step = ExecutorStep::report_time_out;
        result = time_out_result(timeout);
    } else if (PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
        step = ExecutorStep::report_failure;
        result = failure_result(error.get());
    } else {
        // Interrupts and exit requests are not the command's failure.
        PyErr_SetRaisedException(error.release());
    }
    if (!result) {
        add_traceback_entry(step);
    }
    return result;
}

}  // namespace shell_worker
