// Whether anything watches the Python calls made on this thread: a trace or
// profile function (sys.settrace, sys.setprofile, a debugger, a coverage
// tool) or a sys.monitoring tool.  Where the module does in C what Python
// code of the host would otherwise do (json.dumps writing a response), such
// a watcher would see those calls go missing; the module then lets the
// host's code run.
#pragma once

namespace shell_worker {

// Never leaves an error set: whatever cannot be asked counts as watched.
bool python_calls_watched() noexcept;

}  // namespace shell_worker
