// A SIGTERM or SIGHUP that would end the worker while commands run ends their
// process groups first.
//
// Each contained command holds a TerminationGuard for as long as it runs.
// Every guard, as its command starts, installs the handler for each of the two
// signals whose disposition is the default at that moment, and only for those;
// the last guard to end puts the default back where the handler is still this
// module's.  The host's signal module is never involved and never told: its
// getsignal() answers as before.  Guards are made and dropped where the host
// cannot change a disposition at the same time (under its interpreter lock),
// so that bookkeeping needs no lock of its own; the groups themselves are
// registered and let go through atomic operations, from any thread, and the
// handler does only async-signal-safe work.
//
// Process code only: nothing here includes the host's headers.
#pragma once

#include <sys/types.h>

namespace shell_worker {

class TerminationGuard {
public:
    // Counts a command as starting and installs the handlers where the
    // dispositions are the defaults.  Under the host's lock; not for a signal
    // handler (it keeps a count that only the lock guards).
    TerminationGuard() noexcept;
    // Lets the group go and takes the handlers out when the last guard ends.
    // Under the host's lock; not for a signal handler, for the same reason.
    ~TerminationGuard();

    TerminationGuard(const TerminationGuard&) = delete;
    TerminationGuard& operator=(const TerminationGuard&) = delete;

    // Whether a child may be started now: false once a terminating signal
    // has been handled, in which case the process is about to die and this
    // waits for that (at most about two seconds, for a signal that every
    // thread blocks).  Call it between the guard's making and the child's
    // start.  Not for a signal handler: it sleeps.
    bool may_start() noexcept;

    // From now on the handler also kills the process group that `group` leads
    // (the command's child), through `pidfd` where there is one (-1 for none).
    // Until this is called, or the guard ends, a terminating signal is held
    // rather than acted on, since the child may exist already; it takes effect
    // here.  A terminating signal handled meanwhile kills the group here, at
    // once.  Async-signal-safe, apart from the handler's own work.
    void watch(pid_t group, int pidfd) noexcept;

    // The group is no longer the worker's to end: its leader's exit has been
    // seen, or its end has been tried, and the leader is about to be reaped or
    // let go.  Once this returns, no handler signals the group or reads the
    // pidfd.  Safe from any thread, without the interpreter lock; not for a
    // signal handler, since it waits for one to finish with the slot.
    void release() noexcept;

private:
    int slot_ = -1;          // the registry slot holding the group, -1 for none
    bool starting_ = true;   // watch() not called yet
};

}  // namespace shell_worker
