// Children that outlived the kill that should have ended them: the kernel
// refused it (a set-uid program, another user's process), or the child was
// still dying when the worker had to answer.  The worker answers without
// them and reaps each one once it ends, so that none is left a zombie and
// none holds up a later command.
//
// An orphan is held by its pidfd where the kernel gives one, and reaped
// through it (waitid's P_PIDFD, Linux 5.4): should the host reap it first
// (a wait for any child, SIGCHLD ignored), its number may go to one of the
// host's own children, which a wait by number would then reap and rob the
// host of its status.  Without a pidfd the number is all there is.
//
// The first 64 orphans sit in a fixed table.  While it holds any and
// SIGCHLD's action is the default as the process started with it (no
// handler, no flag), a handler of the module's own reaps them as they end;
// it is installed with sigaction, like the termination guard's, and the
// host's signal module never sees it.  The action found is kept whole and
// put back, mask included, once none is left.  Orphans past the table go to
// a list that no handler touches, and are reaped at the start of the next
// command, as are all of them where the host has set a SIGCHLD handler or
// flag of its own; where it ignores SIGCHLD, or sets SA_NOCLDWAIT, the
// kernel reaps them.
//
// Process code only: nothing here includes the host's headers.
#pragma once

#include <sys/types.h>

#include "file_descriptor.hpp"

namespace shell_worker {

// A child let go unreaped: its pid, and its pidfd where there is one.
struct Orphan {
    pid_t pid = 0;  // 0 for none
    FileDescriptor pidfd;
};

// Takes `orphan`, an unreaped child of this process, to be reaped once it
// ends; its pidfd becomes the table's.  False only when memory for the list
// runs out: the child is then left to be reaped when the worker ends.  Call
// it where the host cannot change a signal disposition at the same time
// (under its interpreter lock).  Not async-signal-safe: it may allocate.
bool adopt_orphan(Orphan& orphan) noexcept;

// Reaps every orphan that has ended, and puts SIGCHLD's action back where
// none is left in the table and the handler is still the module's.  Called
// at the start of each command, under the same lock as adopt_orphan.  Not
// async-signal-safe: it changes the list.
void reap_orphans() noexcept;

}  // namespace shell_worker
