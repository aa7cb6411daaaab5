// The executor's own process work, taken while the host's subprocess machinery
// is what initialisation found: the child that Popen(command, shell=True,
// stdin=DEVNULL, stdout=PIPE, stderr=PIPE, text=True, errors="replace",
// cwd=..., env=..., process_group=0) would make, with the same audit events
// and errors, watched with the interpreter lock released.  Its time limit
// holds under any output, memory stays bounded, and whatever ends the wait
// early ends the child's whole process group first.
#include <Python.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "../host/constants.hpp"
#include "../host/global_lookup.hpp"
#include "../host/maps.hpp"
#include "../process/child_output.hpp"
#include "../process/command_child.hpp"
#include "../process/deadline.hpp"
#include "../process/orphans.hpp"
#include "../process/termination_guard.hpp"
#include "captured_output.hpp"
#include "child_arguments.hpp"
#include "executor_steps.hpp"
#include "output_text.hpp"
#include "worker_settings.hpp"

namespace shell_worker {

namespace {

// The three standard descriptors the child is given; the parent's copies go
// once it has started.
struct ChildEnds {
    FileDescriptor stdin_devnull;
    FileDescriptor stdout_write;
    FileDescriptor stderr_write;

    void close_all() noexcept {
        stdin_devnull.reset();
        stdout_write.reset();
        stderr_write.reset();
    }
};

// A started child that has been neither reaped nor let go.  Every way out of
// the executor before its exit has been seen ends it here, with the
// interpreter lock released; one that outlives its kill is adopted as an
// orphan, with the lock held, since that may install a signal handler.
class RunningChild {
public:
    explicit RunningChild(TerminationGuard& guard) noexcept : child_(guard) {}
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;
    ~RunningChild() { end(); }

    CommandChild* operator->() noexcept { return &child_; }

    void end() noexcept {
        if (!child_.running()) {
            return;
        }
        Orphan orphan;
        Py_BEGIN_ALLOW_THREADS
        orphan = child_.end(kill_grace);
        Py_END_ALLOW_THREADS
        if (orphan.pid > 0) {
            // Out of memory for the list, it stays unreaped until the worker ends.
            (void)adopt_orphan(orphan);
        }
    }

private:
    CommandChild child_;
};

// The descriptors subprocess makes before its child, with the audit events
// that it raises for them, in its order.
bool make_child_ends(ChildEnds& ends, ChildOutput& output, const TextEncoding& encoding) noexcept {
    if (PySys_Audit("open", "OOi", k.dev_null, Py_None, O_RDWR | O_CLOEXEC) < 0) {
        return false;
    }
    if (!open_devnull(ends.stdin_devnull)) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, k.dev_null);
        return false;
    }
    if (!make_pipe(output.pipes[0], ends.stdout_write) ||
        !make_pipe(output.pipes[1], ends.stderr_write)) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    // Each read end is audited as it is wrapped in a text stream, whose
    // making looks its encoding up.
    return PySys_Audit("open", "isi", output.pipes[0].get(), "r", O_RDONLY | O_CLOEXEC) == 0 &&
           check_text_encoding(encoding) &&
           PySys_Audit("open", "isi", output.pipes[1].get(), "r", O_RDONLY | O_CLOEXEC) == 0;
}

// ["/bin/sh", "-c", command]: the list that the audit event shows and that the
// child's argv is then made from.
Ref shell_arguments(PyObject* command) noexcept {
    Ref arguments = Ref::steal(PyList_New(3));
    if (arguments) {
        PyObject* items[] = {k.bin_sh, k.dash_c, command};
        for (Py_ssize_t i = 0; i < 3; ++i) {
            Py_INCREF(items[i]);
            PyList_SET_ITEM(arguments.get(), i, items[i]);
        }
    }
    return arguments;
}

// What subprocess raises for a child that could not start.  A failure in the
// child is OSError(errno, strerror(errno)[, filename]), which the constructor
// turns into the subclass for that errno.
void raise_start_error(const StartOutcome& outcome, PyObject* directory) noexcept {
    int error_number = outcome.error_number;
    if (outcome.failure == StartFailure::parent) {
        errno = error_number;
        PyErr_SetFromErrno(PyExc_OSError);
        return;
    }
    Ref message = Ref::steal(PyUnicode_DecodeLocale(strerror(error_number), "surrogateescape"));
    if (!message) {
        return;
    }
    PyObject* filename = outcome.failure == StartFailure::directory ? directory
                         : outcome.failure == StartFailure::exec    ? k.bin_sh
                                                                     : nullptr;
    Ref error = Ref::steal(
        filename ? PyObject_CallFunction(PyExc_OSError, "iOO", error_number, message.get(), filename)
                 : PyObject_CallFunction(PyExc_OSError, "iO", error_number, message.get()));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
}

// The error the host's poll gives for a wait it cannot make: its own, from
// math.ceil for a wait that is not a number or infinite, from select.poll for
// one too long.
void raise_bad_deadline(double remaining) noexcept {
    Ref milliseconds = Ref::steal(PyLong_FromDouble(milliseconds_rounded_up(remaining)));
    Ref select = milliseconds ? Ref::steal(PyImport_Import(k.select)) : Ref();
    Ref poller = select ? call_method(select.get(), k.poll) : Ref();
    if (poller && call_method(poller.get(), k.poll, milliseconds.get())) {
        // Not reached: a wait past INT_MAX milliseconds is refused before polling.
        PyErr_SetString(PyExc_OverflowError, "timeout is too large");
    }
}

// Runs `wait` with the interpreter lock released until it ends for a reason
// other than a signal.  After each signal the host's handlers run; when one
// raises, `interrupted` comes back with its error set.
template <typename Wait>
Watch released(Wait wait) noexcept {
    for (;;) {
        Watch watch;
        Py_BEGIN_ALLOW_THREADS
        watch = wait();
        Py_END_ALLOW_THREADS
        if (watch != Watch::interrupted || PyErr_CheckSignals() < 0) {
            return watch;
        }
    }
}

Ref output_limit_result(const ChildOutput& output) noexcept {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Command output exceeded %zu bytes on %U", output.limit,
        output.over_limit_stream == 0 ? k.stdout_ : k.stderr_));
    return message ? unfinished_result(message.get()) : Ref();
}

// A watch that ended early: its result, or its error set.
Ref ended_early(Watch watch, const ChildOutput& output, int error_number, double timeout,
                ExecutorStep& step) noexcept {
    switch (watch) {
        case Watch::timed_out:
            step = ExecutorStep::report_time_out;
            return time_out_result(timeout);
        case Watch::over_limit:
            step = ExecutorStep::build_result;
            return output_limit_result(output);
        case Watch::out_of_memory:
            PyErr_NoMemory();
            break;
        case Watch::failed:
            errno = error_number;
            PyErr_SetFromErrno(PyExc_OSError);
            break;
        case Watch::bad_deadline:
            raise_bad_deadline(output.remaining);
            break;
        case Watch::controller_gone:
            // Not an Exception: it passes out of execute_command and main, and
            // the host prints it on one line and exits with status 1.
            PyErr_SetString(PyExc_SystemExit,
                            "shell worker: nobody can read its answers any more (its standard "
                            "output was closed); the command's process group was ended");
            break;
        case Watch::interrupted:  // the handler's error is set
        case Watch::done:
            break;
    }
    return Ref();
}

// {"stdout", "stderr", "returncode"} of a child that has exited; with
// `captured`, the outputs kept as bytes.
Ref completed_result(ChildOutput& output, const TextEncoding& encoding, int status,
                     bool captured) noexcept {
    auto output_of = captured ? capture_output : decoded_output;
    Ref out = output_of(output.streams[0], encoding);
    Ref err = out ? output_of(output.streams[1], encoding) : Ref();
    Ref returncode = err ? Ref::steal(PyLong_FromLong(returncode_of(status))) : Ref();
    return returncode ? new_map({k.stdout_, k.stderr_, k.returncode},
                                {out.get(), err.get(), returncode.get()})
                      : Ref();
}

}  // namespace

Ref run_native(const ChildCall& call, bool captured, ExecutorStep& step) noexcept {
    step = ExecutorStep::start_child;
    reap_orphans();
    WorkerSettings settings;
    TextEncoding encoding;
    ChildEnds ends;
    ChildOutput output;
    if (!read_worker_settings(settings) || !choose_text_encoding(encoding)) {
        return Ref();
    }
    if (settings.exit_with_controller && !descriptor_open(STDOUT_FILENO)) {
        // Nobody can read an answer; and from here on the number could name
        // the command's own pipe, which would be watched in its place.
        PyErr_SetString(PyExc_SystemExit,
                        "shell worker: nobody can read its answers any more (its standard "
                        "output was closed); the command was not started");
        return Ref();
    }
    if (!make_child_ends(ends, output, encoding)) {
        return Ref();
    }
    Ref arguments = shell_arguments(call.command);
    if (!arguments || PySys_Audit("subprocess.Popen", "OOOO", k.bin_sh, arguments.get(),
                                  call.directory, call.environment) < 0) {
        return Ref();
    }
    ChildArguments converted;
    if (!converted.convert(arguments.get(), call.environment, call.directory)) {
        return Ref();
    }
    // In place before the child exists, so that no moment of its life is
    // outside the guard; it ends after the child has been reaped or let go.
    TerminationGuard guard;
    RunningChild child(guard);
    ChildPlan plan = {system_shell, converted.argv(), converted.envp(), converted.directory(),
                      ends.stdin_devnull.get(), ends.stdout_write.get(), ends.stderr_write.get()};
    StartOutcome started = child->start(plan);
    ends.close_all();
    if (started.failure != StartFailure::none) {
        raise_start_error(started, call.directory);
        return Ref();
    }

    step = ExecutorStep::collect_output;
    output.limit = settings.output_limit;
    // The worker's own standard output, whose reader is the controller.
    int controller = settings.exit_with_controller ? STDOUT_FILENO : -1;
    output.watched_fd = controller;
    double timeout = PyFloat_AS_DOUBLE(call.timeout);
    double deadline = monotonic_now() + timeout;
    Watch watch = released([&] { return read_output(output, deadline); });
    int error_number = output.error_number;
    if (watch == Watch::done) {
        watch = released([&] { return child->wait_for_exit(deadline, controller); });
        error_number = child->error_number();
    }
    if (watch != Watch::done) {
        // Nothing read is kept: the group goes, then the outcome is told.
        child.end();
        return ended_early(watch, output, error_number, timeout, step);
    }
    // Let go of before the result is made: a terminating signal from now on
    // must not reach what the command left running on purpose.
    int status;
    int reap_error = child->finish(status);
    if (reap_error) {
        // The host's wait raises it: a failure result, not an exit status of 0.
        errno = reap_error;
        PyErr_SetFromErrno(PyExc_OSError);
        return Ref();
    }
    step = ExecutorStep::build_result;
    return completed_result(output, encoding, status, captured);
}

}  // namespace shell_worker
