// Starting a command's child process: the descriptors it is given and the
// start itself, the way the host's own subprocess machinery makes its children
// for Popen(..., stdin=DEVNULL, stdout=PIPE, stderr=PIPE, close_fds=True,
// restore_signals=True, process_group=0).
//
// Process code only: nothing here includes the host's headers or touches its
// objects, so it is free to run while the interpreter lock is released.
#pragma once

#include <sys/types.h>

#include "file_descriptor.hpp"

namespace shell_worker {

// /dev/null opened for reading and writing, close-on-exec.  False with errno
// set.  Async-signal-safe.
bool open_devnull(FileDescriptor& fd) noexcept;

// A pipe, both ends close-on-exec.  False with errno set.  Async-signal-safe.
bool make_pipe(FileDescriptor& read_end, FileDescriptor& write_end) noexcept;

// Everything the child needs, made before it exists: between the start and
// exec it may neither allocate nor fail in any way it cannot report.
struct ChildPlan {
    const char* executable;
    char* const* argv;       // null-terminated
    char* const* envp;       // null-terminated
    const char* directory;   // null: the worker's own
    int stdin_fd;
    int stdout_fd;
    int stderr_fd;
};

// Where a start failed.  `directory` and `exec` name the file involved;
// `setup` is any other step in the child; `parent` is a failure before there
// was a child (the report pipe, or vfork and fork both refused), or a report
// that could not be read (the child is ended and reaped then).
enum class StartFailure { none, parent, directory, setup, exec };

struct StartOutcome {
    pid_t pid = -1;  // the child, leader of a process group of its own; -1 when none runs
    StartFailure failure = StartFailure::none;
    int error_number = 0;
};

// Starts the child with every signal blocked in the calling thread, so that no
// handler runs in it while it shares the caller's memory.  The child restores
// SIGPIPE and SIGXFSZ to their defaults, resets every other caught signal to
// its default, takes back the caller's signal mask, leads a new process group,
// keeps only the three standard descriptors and execs.  A child that fails
// before exec has been reaped when this returns.  Not for a signal handler
// (it starts a process), though it calls only async-signal-safe functions.
StartOutcome spawn_child(const ChildPlan& plan) noexcept;

}  // namespace shell_worker
