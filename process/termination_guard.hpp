// A SIGTERM or SIGHUP that would end the worker while commands run ends their
// process groups first.
//
// Each contained command holds a TerminationGuard for as long as it runs.
// Every guard, as its command starts, installs the handler for each of the two
// signals whose disposition is the default at that moment, and only for those;
// the last guard to end puts the default back where the handler is still this
// module's.  The host's signal module is never involved and never told: its
// getsignal() answers as before.  Guards are made and dropped under the host's
// interpreter lock, so the bookkeeping needs no lock of its own; the handler
// reads the registered groups with atomic loads and does only
// async-signal-safe work.
#pragma once

#include <sys/types.h>

namespace shell_worker {

class TerminationGuard {
public:
    TerminationGuard() noexcept;
    ~TerminationGuard();

    TerminationGuard(const TerminationGuard&) = delete;
    TerminationGuard& operator=(const TerminationGuard&) = delete;

    // From now on the handler also kills the process group `group` (the
    // command's child leads it).  Until this is called, or the guard ends, a
    // terminating signal is held rather than acted on, since the child may
    // exist already; it takes effect here.
    void watch(pid_t group) noexcept;

private:
    int slot_ = -1;          // the registry slot holding the group, -1 for none
    bool starting_ = true;   // watch() not called yet
};

}  // namespace shell_worker
