// What the two halves of execute_command share: the numbering of its steps,
// the values of the call it makes and the results it builds.
#pragma once

#include <Python.h>

#include "../host/ref.hpp"
#include "../host/traceback_entry.hpp"

namespace shell_worker {

// The steps of execute_command that can fail, by the line they report.
enum class ExecutorStep {
    look_up_run = 1, convert_timeout, working_directory, copy_environment, look_up_stdin,
    call_run, build_result, report_time_out, report_failure, start_child = 11, collect_output,
    last = collect_output,
};
template <>
inline constexpr Block block_of<ExecutorStep> = {Function::execute_command, 10, 30};
static_assert(steps_fit<ExecutorStep>);

// The values of one command's child process, all borrowed.
struct ChildCall {
    PyObject* command;
    PyObject* timeout;      // float
    PyObject* directory;
    PyObject* environment;  // a plain dict
    PyObject* devnull;      // subprocess.DEVNULL, for the plain run() call
};

// Starts, watches and ends the child itself, as the host's own machinery
// would for Popen(command, shell=True, stdin=DEVNULL, stdout=PIPE,
// stderr=PIPE, text=True, errors="replace", cwd=..., env=..., process_group=0)
// and communicate(timeout=...): the result map, a time-out or output-limit
// result, or empty with the error set and `step` telling which step raised.
// With `captured`, a completed command's output is kept as bytes
// (captured_output.hpp) for the main loop's own writing of the response.
Ref run_native(const ChildCall& call, bool captured, ExecutorStep& step) noexcept;

// {"stdout": "", "stderr": message, "returncode": -1}.
Ref unfinished_result(PyObject* message) noexcept;

// The result of a command whose time ran out: "Command timed out after "
// + repr(timeout) + "s".
Ref time_out_result(double timeout) noexcept;

}  // namespace shell_worker
