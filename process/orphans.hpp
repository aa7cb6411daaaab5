// Children that outlived the kill that should have ended them: the kernel
// refused it (a set-uid program, another user's process), or the child was
// still dying when the worker had to answer.  The worker answers without
// them and reaps each one as soon as it ends, so that none waits as a zombie
// and none holds up a later command.
//
// While orphans exist and SIGCHLD's disposition is the default, a handler of
// the module's own reaps them as they end; it is installed with sigaction,
// like the termination guard's, and the host's signal module never sees it.
// Where the host has a SIGCHLD handler of its own they are reaped at the
// start of the next command instead, and where it ignores SIGCHLD the kernel
// reaps them.
//
// Process code only: nothing here includes the host's headers.
#pragma once

#include <sys/types.h>

namespace shell_worker {

// Takes `pid`, an unreaped child of this process, to be reaped when it ends.
// False when the table is full (64 orphans at once): the child is then left
// to be reaped when the worker ends.  Call it where the host cannot change a
// signal disposition at the same time (under its interpreter lock).
bool adopt_orphan(pid_t pid) noexcept;

// Reaps every orphan that has ended, and puts SIGCHLD's default back where
// none is left and the handler is still the module's.  Called at the start
// of each command, under the same lock as adopt_orphan.
void reap_orphans() noexcept;

}  // namespace shell_worker
