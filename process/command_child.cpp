#include "command_child.hpp"

#include <errno.h>

#include "deadline.hpp"

namespace shell_worker {

StartOutcome CommandChild::start(const ChildPlan& plan) noexcept {
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

pid_t CommandChild::end(double grace) noexcept {
    int refused = kill_group(process_.pid, process_.pidfd.get());
    // EPERM: no process of the group could be signalled, so none will die of
    // it; the exit is looked for once, without waiting.  ESRCH: the group is
    // empty, the child a zombie or reaped by someone else.
    double deadline = monotonic_now() + (refused == EPERM ? 0 : grace);
    Watch watch;
    do {
        // A signal only cuts a wait short here: the host's handlers run once
        // the caller has the lock again, whatever comes of this wait.
        watch = shell_worker::wait_for_exit(process_, deadline);
    } while (watch == Watch::interrupted);
    guard_.release();
    pid_t pid = process_.pid;
    process_.pid = -1;
    process_.pidfd.reset();
    if (watch == Watch::done) {
        int status;
        (void)reap(pid, status);  // the status of a killed command is not reported
        return 0;
    }
    return pid;
}

}  // namespace shell_worker
