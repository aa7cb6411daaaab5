// A command's child between its start and its reaping.  Its pid names it only
// while it is unreaped: once it is reaped the number may go to another
// process, and once its group is empty, the group's number too; with every
// command of every pooled worker leading a group, a reused number is likely
// to lead another worker's command.  So an exit is looked at without reaping
// (waitid's WNOWAIT, a pidfd's readiness), the group is let go, and only then
// is the child reaped; and the group is signalled through the child's pidfd
// where the kernel can, which names that group and never a later one.
//
// Process code only, meant to run with the interpreter lock released.
#pragma once

#include <sys/types.h>

#include "file_descriptor.hpp"
#include "watch.hpp"

namespace shell_worker {

struct ChildProcess {
    pid_t pid = -1;          // the child, leader of a process group of the same number
    FileDescriptor pidfd;    // -1 where the kernel has none
    double delay = 0.0005;   // between checks of an exit, where there is no pidfd
    int error_number = 0;    // for Watch::failed
    int watched_fd = -1;     // polled too where >= 0: its reader's going ends the wait
};

// Opens the child's pidfd.  Where the kernel has none (before Linux 5.3), or
// the kernel has reaped the child already (SIGCHLD ignored), it stays -1 and
// the calls below do without.  Async-signal-safe: one system call.
void open_pidfd(ChildProcess& child) noexcept;

// Waits until the child has exited, without reaping it.  `done` once it has,
// or once someone else has reaped it (the kernel, where SIGCHLD is ignored;
// another thread's wait for any child); `timed_out` at the deadline;
// `interrupted` when a signal arrives; `failed` with child.error_number;
// `controller_gone` as soon as the watched descriptor's reader has gone.
// Sleeps: not for a signal handler.
Watch wait_for_exit(ChildProcess& child, double deadline) noexcept;

// SIGKILL to every process of the group that `pid` leads.  With a pidfd the
// kernel finds the group by the child's own identity (Linux 6.9 and later),
// which stays right even once the child is reaped; otherwise it is `-pid`,
// right only while the child is unreaped, which callers see to (and which is
// checked first, for a kernel that reaps it unasked).  Any refusal of the
// pidfd call but ESRCH is followed by the kill of -pid.  0, or the errno:
// EPERM when no process of the group could be signalled (a set-uid program,
// another user's process), ESRCH when none is left.
// Async-signal-safe; the termination guard's handler calls it.
int kill_group(pid_t pid, int pidfd) noexcept;

// Reaps a child whose exit has been seen.  0 with its wait status in
// `status` (0 when someone else reaped it: the host reports 0 then too), or
// the errno of a wait that failed otherwise, after which the child is reaped
// by a second wait and its status is not known.  A child that has not exited
// would block it.  Async-signal-safe (waitpid).
int reap(pid_t pid, int& status) noexcept;

// What the host reports as the returncode of a wait status: the exit status,
// or minus the number of the signal that ended the child.  Async-signal-safe.
int returncode_of(int status) noexcept;

}  // namespace shell_worker
