#include "command_child.hpp"

#include <errno.h>

#include "deadline.hpp"

namespace shell_worker {

StartOutcome CommandChild::start(const ChildPlan& plan) noexcept {
    if (!guard_.may_start()) {
        // The process outlived its terminating signal (every thread blocks
        // it): the start is refused rather than leave a child behind.
        StartOutcome refused;
        refused.failure = StartFailure::parent;
        refused.error_number = ECANCELED;
        return refused;
    }
    StartOutcome started = spawn_child(plan);
    if (started.failure == StartFailure::none) {
        process_.pid = started.pid;
        open_pidfd(process_);
        guard_.watch(started.pid, process_.pidfd.get());
    }
    return started;
}

Watch CommandChild::wait_for_exit(double deadline, int watched_fd) noexcept {
    process_.watched_fd = watched_fd;
    Watch watch = shell_worker::wait_for_exit(process_, deadline);
    process_.watched_fd = -1;
    return watch;
}

int CommandChild::finish(int& status) noexcept {
    guard_.release();
    int reap_error = reap(process_.pid, status);
    process_.pid = -1;
    process_.pidfd.reset();
    return reap_error;
}

Orphan CommandChild::end(double grace) noexcept {
    int refused = kill_group(process_.pid, process_.pidfd.get());
    // EPERM: no process of the group could be signalled, so none will die of
    // it; the exit is looked for once, without waiting.  ESRCH: the group is
    // empty, the child a zombie or reaped by someone else.
    double deadline = monotonic_now() + (refused == EPERM ? 0 : grace);
    // Without a pidfd the exit is looked for at growing intervals, which the
    // wait before the kill may have stretched to their longest: a child that
    // dies at once would then be answered up to that much late.
    process_.delay = ChildProcess().delay;
    Watch watch;
    do {
        // A signal only cuts a wait short here: the host's handlers run once
        // the caller has the lock again, whatever comes of this wait.
        watch = shell_worker::wait_for_exit(process_, deadline);
    } while (watch == Watch::interrupted);
    guard_.release();
    Orphan orphan;
    orphan.pid = process_.pid;
    orphan.pidfd.reset(process_.pidfd.release());
    process_.pid = -1;
    if (watch == Watch::done) {
        int status;
        (void)reap(orphan.pid, status);  // the status of a killed command is not reported
        return Orphan();
    }
    return orphan;
}

}  // namespace shell_worker
