// What the two halves of execute_command share: the numbering of its steps
// and the call they make.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"

namespace shell_worker {

// Steps, numbered from the first line of execute_command.
enum ExecutorStep {
    look_up_run = 1,
    convert_timeout,
    working_directory,
    copy_environment,
    look_up_stdin,
    call_run,
    build_result,
    report_time_out,
    report_failure,
    look_up_pipe,
    start_child,
    collect_output,
    stop_child,
};

// The values of one command's child process, all borrowed.
struct ChildCall {
    PyObject* subprocess;   // the module global, the host's own module here
    PyObject* popen;        // its Popen
    PyObject* command;
    PyObject* timeout;      // float
    PyObject* directory;
    PyObject* environment;  // a plain dict
    PyObject* devnull;
};

// Runs the child in a session and process group of its own, through Popen and
// communicate(), and kills the whole group if anything leaves communicate()
// early.  The result map, or empty with the error set and `step` telling
// which step raised.
Ref run_contained(const ChildCall& call, int& step) noexcept;

}  // namespace shell_worker
