#include "child_exit.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>

#include "deadline.hpp"
#include "system_call.hpp"

// pidfd_open(2) came with Linux 5.3 and pidfd_send_signal(2) with 5.1, neither
// with a wrapper in glibc 2.17: both go through syscall(), and the module does
// without them where the kernel lacks them.  New system calls have one number
// on every architecture.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
// pidfd_send_signal's flag for the process group of the pidfd's process:
// Linux 6.9 and later.
#ifndef PIDFD_SIGNAL_PROCESS_GROUP
#define PIDFD_SIGNAL_PROCESS_GROUP (1u << 2)
#endif

namespace shell_worker {

namespace {

// Set at the first ENOSYS from pidfd_open, so that a kernel without pidfds
// (or an emulator that knows none) is not asked again at every command.
// Relaxed, for the same reason as the flag below.
bool pidfds_unknown = false;

// Cleared by the first kernel that refuses the flag, so that later kills go
// to -pid at once.  Relaxed: it only saves calls; a thread that still reads
// true makes one more call that is refused the same way.
bool group_signals_by_pidfd = true;

// waitid(P_PID, pid, WEXITED | WNOHANG | WNOWAIT): 1 when the child has
// exited and waits to be reaped, 0 while it runs, -1 with errno set (ECHILD:
// reaped by someone else).  Async-signal-safe.
int peek_exit(pid_t pid) noexcept {
    siginfo_t info;
    info.si_pid = 0;  // left 0 when nothing has exited: the kernel does, POSIX does not say
    if (failed(waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT))) {
        return -1;
    }
    return info.si_pid == pid ? 1 : 0;
}

// The wait before the next check of an exit where there is no pidfd: as the
// host waits with a time limit, intervals that double up to 50 ms, never
// past the time left.  Async-signal-safe: arithmetic only.
double next_check_delay(ChildProcess& child, double remaining) noexcept {
    double delay = child.delay * 2;
    delay = delay < remaining ? delay : remaining;
    child.delay = delay < 0.05 ? delay : 0.05;
    return child.delay;
}

// Sleeps before the next check of an exit where there is no pidfd.  False
// when a signal cut the sleep short.  Async-signal-safe (nanosleep), though
// only the waits call it.
bool pause_before_next_check(ChildProcess& child, double remaining) noexcept {
    double delay = next_check_delay(child, remaining);
    struct timespec pause;
    pause.tv_sec = time_t(delay);
    pause.tv_nsec = long((delay - double(pause.tv_sec)) * 1e9);
    // nanosleep fails only with EINTR here: the interval is valid and short.
    return !failed(nanosleep(&pause, nullptr));
}

}  // namespace

bool descriptor_open(int fd) noexcept {
    return fcntl(fd, F_GETFD) >= 0 || errno != EBADF;
}

void open_pidfd(ChildProcess& child) noexcept {
    if (__atomic_load_n(&pidfds_unknown, __ATOMIC_RELAXED)) {
        return;
    }
    long fd = syscall(SYS_pidfd_open, child.pid, 0u);
    // Every failure leaves the child without one, which the calls below
    // allow for: ENOSYS (a kernel before 5.3), ESRCH (the kernel reaped the
    // child already, where SIGCHLD is ignored), EMFILE and ENFILE.
    if (failed(fd) && errno == ENOSYS) {
        __atomic_store_n(&pidfds_unknown, true, __ATOMIC_RELAXED);
    }
    child.pidfd.reset(failed(fd) ? -1 : int(fd));
}

Watch wait_for_exit(ChildProcess& child, double deadline) noexcept {
    for (;;) {
        int exited = peek_exit(child.pid);
        if (failed(exited)) {
            if (errno == ECHILD) {
                return Watch::done;  // reaped by someone else: nothing left to wait for
            }
            child.error_number = errno;
            return errno == EINTR ? Watch::interrupted : Watch::failed;
        }
        if (exited) {
            return Watch::done;
        }
        double remaining = deadline - monotonic_now();
        if (remaining <= 0) {
            return Watch::timed_out;
        }
        if (!child.pidfd && child.watched_fd < 0) {
            if (!pause_before_next_check(child, remaining)) {
                return Watch::interrupted;
            }
            continue;
        }
        int milliseconds;
        if (!poll_milliseconds(remaining, milliseconds)) {
            milliseconds = INT_MAX;  // the pipes' wait has already accepted this deadline
        }
        struct pollfd events[2];
        nfds_t count = 0;
        if (child.pidfd) {
            events[count++] = {child.pidfd.get(), POLLIN, 0};
        } else {
            // Without a pidfd the exit is checked at the host's growing intervals.
            int interval = int(milliseconds_rounded_up(next_check_delay(child, remaining)));
            milliseconds = interval < milliseconds ? interval : milliseconds;
        }
        if (child.watched_fd >= 0) {
            events[count++] = {child.watched_fd, 0, 0};  // an error or hang-up comes unasked
        }
        if (failed(poll(events, count, milliseconds))) {
            child.error_number = errno;
            return errno == EINTR ? Watch::interrupted : Watch::failed;
        }
        if (child.watched_fd >= 0 && reader_gone(events[count - 1].revents)) {
            return Watch::controller_gone;
        }
    }
}

int kill_group(pid_t pid, int pidfd) noexcept {
    if (pidfd >= 0 && __atomic_load_n(&group_signals_by_pidfd, __ATOMIC_RELAXED)) {
        if (!failed(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr,
                            PIDFD_SIGNAL_PROCESS_GROUP))) {
            return 0;
        }
        if (errno == ESRCH) {
            return ESRCH;  // no process of the group is left
        }
        // Any other refusal is the pidfd call's, not the group's answer:
        // EINVAL from a kernel before 6.9, which knows no such flag; ENOSYS
        // from a sandbox or emulator without the call; EPERM, which may be
        // the call's policy rather than the processes' (and which -pid then
        // gives again where they are a set-uid program's).  Every one of them
        // is followed by the kill of -pid, or the group would outlive its
        // command.  The first two will not change: later kills go to -pid at once.
        if (errno == EINVAL || errno == ENOSYS) {
            __atomic_store_n(&group_signals_by_pidfd, false, __ATOMIC_RELAXED);
        }
    }
    // -pid names the group only while its leader is unreaped.  The worker
    // reaps only after letting go, but where SIGCHLD is ignored the kernel
    // reaps the leader itself as it exits, and then the number may lead
    // another group by now.  Only on kernels without pidfd group signals can
    // such a reaping fall between this check and the kill.
    if (failed(peek_exit(pid)) && errno == ECHILD) {
        return ESRCH;
    }
    return failed(kill(-pid, SIGKILL)) ? errno : 0;
}

int reap(pid_t pid, int& status) noexcept {
    status = 0;
    if (!failed(retried([&] { return waitpid(pid, &status, 0); }))) {
        return 0;
    }
    if (errno == ECHILD) {
        // Someone else reaped the child, and its status went with them.
        status = 0;
        return 0;
    }
    // Any other failure says nothing of the child, which is still there to
    // be reaped: the host raises the error, then reaps the child as its
    // Popen closes.  So the status is not reported, and the child is not
    // left a zombie for the worker's lifetime.
    int error_number = errno;
    int ignored;
    (void)retried([&] { return waitpid(pid, &ignored, 0); });
    status = 0;
    return error_number;
}

int returncode_of(int status) noexcept {
    if (WIFSIGNALED(status)) {
        return -WTERMSIG(status);
    }
    if (WIFSTOPPED(status)) {
        return -WSTOPSIG(status);
    }
    return WEXITSTATUS(status);
}

}  // namespace shell_worker
