// The executor's path through the host's own process machinery: the work of
// subprocess.run done here, so that a child whose time is up, or whose caller
// is interrupted, is ended with everything it started.
#include <Python.h>
#include <signal.h>

#include <initializer_list>
#include <utility>

#include "../host/constants.hpp"
#include "../host/error_context.hpp"
#include "../host/global_lookup.hpp"
#include "../host/maps.hpp"
#include "executor_steps.hpp"
#include "termination_guard.hpp"
#include "worker_objects.hpp"

namespace shell_worker {

namespace {

// Popen(command, shell=True, stdin=DEVNULL, stdout=PIPE, stderr=PIPE,
// text=True, errors="replace", cwd=..., env=..., process_group=0).
// Output that is not valid in the decoding keeps its place as U+FFFD rather
// than costing the whole result.  The child leads a process group of its own,
// which is what the kill needs; a session of its own as well would cost about
// a millisecond per command where the kernel gives each session its own
// scheduling group: the child then tends to finish exiting only after
// communicate() has polled for it once and gone to sleep.
Ref start(const ChildCall& call, PyObject* pipe) noexcept {
    PyObject* arguments[] = {
        call.command,
        Py_True,           // shell
        call.devnull,      // stdin
        pipe,              // stdout
        pipe,              // stderr
        Py_True,           // text
        k.replace,         // errors
        call.directory,    // cwd
        call.environment,  // env
        k.zero,            // process_group
    };
    return Ref::steal(
        PyObject_Vectorcall(call.popen, arguments, 1, worker_objects.popen_keywords));
}

// The child leads its own process group; 0 when its pid cannot be read.
pid_t group_of(PyObject* child) noexcept {
    Ref pid = get_attr(child, k.pid);
    long value = pid ? PyLong_AsLong(pid.get()) : -1;
    if (value <= 0) {
        PyErr_Clear();
        return 0;
    }
    return pid_t(value);
}

// SIGKILL to the whole group (already gone is fine), then the pipes closed
// and the child reaped, as leaving subprocess.run's `with` block does.
bool stop(PyObject* child, pid_t group) noexcept {
    if (group > 0) {
        kill(-group, SIGKILL);
    }
    for (PyObject* stream : {k.stdout_, k.stderr_}) {
        Ref pipe = get_attr(child, stream);
        if (!pipe || (pipe.get() != Py_None && !call_method(pipe.get(), k.close))) {
            return false;
        }
    }
    return bool(call_method(child, k.wait));
}

// {"stdout", "stderr", "returncode"} from communicate()'s pair and the reaped
// child's status.
Ref completed_result(PyObject* child, PyObject* output) noexcept {
    if (!PyTuple_Check(output) || PyTuple_GET_SIZE(output) != 2) {
        PyErr_Format(PyExc_TypeError, "communicate() returned %.200s, not a pair",
                     Py_TYPE(output)->tp_name);
        return Ref();
    }
    Ref status = get_attr(child, k.returncode);
    if (!status) {
        return Ref();
    }
    return new_map({k.stdout_, k.stderr_, k.returncode},
                   {PyTuple_GET_ITEM(output, 0), PyTuple_GET_ITEM(output, 1), status.get()});
}

}  // namespace

Ref run_contained(const ChildCall& call, int& step) noexcept {
    step = look_up_pipe;
    Ref pipe = get_attr(call.subprocess, k.pipe);
    if (!pipe) {
        return Ref();
    }
    // In place before the child exists, so that no moment of its life is
    // outside the guard.
    TerminationGuard guard;
    step = start_child;
    Ref child = start(call, pipe.get());
    if (!child) {
        return Ref();  // nothing was started
    }
    pid_t group = group_of(child.get());
    guard.watch(group);

    step = collect_output;
    PyObject* arguments[] = {child.get(), call.timeout};
    Ref output = Ref::steal(PyObject_VectorcallMethod(k.communicate, arguments, 1,
                                                      worker_objects.communicate_keywords));
    Ref result;
    if (output) {
        step = build_result;
        result = completed_result(child.get(), output.get());
    }
    if (!result) {
        // Whatever left early (the time-out, an interrupt, any other error)
        // may have left the child running: its group goes, then the error
        // takes its course.  An error of the cleanup itself passes on instead.
        Ref error = Ref::steal(PyErr_GetRaisedException());
        int failed_step = step;
        step = stop_child;
        if (!stop(child.get(), group)) {
            chain_to_pending(std::move(error));
            return Ref();
        }
        step = failed_step;
        PyErr_SetRaisedException(error.release());
    }
    return result;
}

}  // namespace shell_worker
