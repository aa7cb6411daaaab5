// One command's child, from its start until it is reaped or let go.  Its
// group is registered with the termination guard from the start until the
// worker lets go of it, and never after: a child that ends is seen to have
// exited, then let go, then reaped; a child that is ended is killed, then let
// go, then reaped.  A child that does not die within a grace period after its
// kill (the kernel refused it, or the child is slow to go) is let go all the
// same and handed back, for the caller to adopt as an orphan: the worker
// answers on time whatever the command became.
//
// Process code only: nothing here includes the host's headers.  Only start()
// and the guard's making need the host's lock (see termination_guard.hpp);
// the rest runs with it released.
#pragma once

#include <sys/types.h>

#include "child_exit.hpp"
#include "child_start.hpp"
#include "orphans.hpp"
#include "termination_guard.hpp"

namespace shell_worker {

// How long an ended child's own exit is waited for after its group has been
// sent SIGKILL.  A killed process exits within milliseconds unless it is
// tearing down a very large memory; one that is not gone by then is left to
// the orphans rather than make the worker answer late.
constexpr double kill_grace = 0.2;

class CommandChild {
public:
    // Async-signal-safe: it stores a reference.
    explicit CommandChild(TerminationGuard& guard) noexcept : guard_(guard) {}
    CommandChild(const CommandChild&) = delete;
    CommandChild& operator=(const CommandChild&) = delete;

    // Starts the child (spawn_child) and registers its group; starts none
    // once a terminating signal has been handled (TerminationGuard::may_start).
    // Under the host's lock; not async-signal-safe (it starts a process).
    StartOutcome start(const ChildPlan& plan) noexcept;

    // Whether there is a child that has been neither reaped nor let go.
    // Async-signal-safe: reads a member.
    bool running() const noexcept { return process_.pid > 0; }

    // Waits for the child's exit without reaping it (child_exit.hpp), and
    // for `watched_fd`'s reader to go where it is not -1.  Not
    // async-signal-safe: it sleeps.
    Watch wait_for_exit(double deadline, int watched_fd = -1) noexcept;
    // Async-signal-safe: reads a member.
    int error_number() const noexcept { return process_.error_number; }

    // After wait_for_exit() said `done`: lets the group go, then reaps the
    // child.  0 with its wait status in `status` (0 when someone else reaped
    // it), or the errno of a reap that failed (child_exit.hpp's reap).  Not
    // async-signal-safe: letting go may wait for a handler to finish.
    int finish(int& status) noexcept;

    // Ends the child's group: SIGKILL, a wait of at most `grace` seconds for
    // the child itself (none when the kill was refused outright), the group
    // let go, the child reaped.  An empty Orphan when it was; otherwise the
    // child, still unreaped and no longer this object's, with its pidfd, for
    // adopt_orphan().  Not async-signal-safe: it sleeps.
    Orphan end(double grace) noexcept;

private:
    TerminationGuard& guard_;
    ChildProcess process_;
};

}  // namespace shell_worker
