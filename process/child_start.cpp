#include "child_start.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "child_exit.hpp"
#include "system_call.hpp"

// close_range(2) came with Linux 5.9 and glibc 2.34; through syscall() the
// module needs neither at build time and falls back where the kernel lacks it.
// New system calls have one number on every architecture.
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace shell_worker {

namespace {

// What a child that cannot exec writes to the report pipe before it exits.
struct Report {
    StartFailure step;
    int error_number;
};

// What the child reads, all of it made by the parent beforehand.
struct ChildContext {
    const ChildPlan* plan;
    int report_fd;
    const sigset_t* mask;   // the calling thread's mask before the start
};

// Linux's directory entry as getdents64 fills it.
struct LinuxDirent64 {
    unsigned long long d_ino;
    long long d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// --- In the child.  Until exec it shares the parent's memory and stack
// frames (vfork), so everything below is async-signal-safe and may touch only
// what the parent made beforehand: no allocation, no lock, no set*id call
// (glibc's would signal the parent's other threads), and nothing written to
// memory the parent reads afterwards, but for the stack it is about to leave
// and errno, which the parent saves before reading.  The calls: write, _exit,
// dup, dup2, ioctl, chdir, sigaction, sigismember, sigprocmask, setpgid,
// open, close, syscall, execve and getrlimit, all bare system calls.

// Async-signal-safe; vfork child: writes only to the report pipe.
[[noreturn]] void report_and_exit(int report_fd, StartFailure step, int error_number) noexcept {
    Report report = {step, error_number};
    // A few bytes go through a pipe in one piece.  The report is all that
    // tells the parent that the command never ran, so a failed write is made
    // again, a few times (EPIPE cannot be: the parent holds the read end).
    // Should every one fail, the parent sees a started command that exits
    // with status 255.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!failed(retried([&] { return write(report_fd, &report, sizeof report); }))) {
            break;
        }
    }
    _exit(255);
}

// Async-signal-safe; vfork child: reads errno, writes to the report pipe.
[[noreturn]] void fail(const ChildContext& context, StartFailure step) noexcept {
    report_and_exit(context.report_fd, step, errno);
}

// `fd` as descriptor `target`, inherited by the command.  Async-signal-safe;
// vfork child: changes only its own descriptor table (vfork does not share it).
bool place(int fd, int target) noexcept {
    if (fd == target) {
        return !failed(ioctl(fd, FIONCLEX));  // dup2 onto itself would keep close-on-exec
    }
    return !failed(retried([&] { return dup2(fd, target); }));
}

// A /proc/self/fd entry's name as a number, -1 for anything else.
// Async-signal-safe: arithmetic only.
int descriptor_number(const char* name) noexcept {
    int number = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        if (number > (INT_MAX - 9) / 10) {
            return -1;
        }
        number = number * 10 + (*name - '0');
    }
    return *name || number < 0 ? -1 : number;
}

// How far descriptors may reach, for closing them one by one where the kernel
// can neither close a range nor list them.  Async-signal-safe; vfork child:
// fills a local.
int descriptor_limit() noexcept {
    struct rlimit limit;
    if (failed(getrlimit(RLIMIT_NOFILE, &limit)) || limit.rlim_cur == RLIM_INFINITY) {
        return 256;
    }
    return limit.rlim_cur > rlim_t(INT_MAX) ? INT_MAX : int(limit.rlim_cur);
}

// Closes every descriptor from `first` up, except `keep`: close_range where
// the kernel has it (5.9), else the ones /proc/self/fd lists, else each
// number up to the limit.  Async-signal-safe; vfork child: its own descriptor
// table and a buffer on its stack.
void close_descriptors(int first, int keep) noexcept {
    bool closed = true;
    if (keep > first) {
        closed = !failed(syscall(SYS_close_range, unsigned(first), unsigned(keep - 1), 0u));
    }
    if (closed && !failed(syscall(SYS_close_range, unsigned(keep + 1), ~0u, 0u))) {
        return;
    }
    int listing = retried([] { return open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (failed(listing)) {
        int limit = descriptor_limit();
        for (int fd = first; fd < limit; ++fd) {
            if (fd != keep) {
                // EBADF for most of them, which are not open; a close that
                // fails otherwise (EIO) has closed the descriptor all the same.
                (void)close(fd);
            }
        }
        return;
    }
    alignas(LinuxDirent64) char buffer[2048];
    long got;
    while ((got = syscall(SYS_getdents64, listing, buffer, sizeof buffer)) > 0) {
        for (long offset = 0; offset < got;) {
            const LinuxDirent64* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
            int fd = descriptor_number(entry->d_name);
            if (fd >= first && fd != keep && fd != listing) {
                (void)close(fd);  // gone whatever it reports, as on every Linux close
            }
            offset += entry->d_reclen;
        }
    }
    (void)close(listing);  // likewise
}

// Everything between the start and exec.  Async-signal-safe; vfork child:
// see above.  Never returns.
[[noreturn]] __attribute__((noinline)) void become_command(const ChildContext& context) noexcept {
    const ChildPlan& plan = *context.plan;

    // A descriptor in the place another one must take is moved out of the way
    // first (a worker may run with a standard stream closed).
    int out = plan.stdout_fd;
    int err = plan.stderr_fd;
    if (out == 0 && failed(out = dup(out))) {
        fail(context, StartFailure::setup);
    }
    while (err == 0 || err == 1) {
        if (failed(err = dup(err))) {
            fail(context, StartFailure::setup);
        }
    }
    if (!place(plan.stdin_fd, 0) || !place(out, 1) || !place(err, 2)) {
        fail(context, StartFailure::setup);
    }
    if (plan.directory && failed(retried([&] { return chdir(plan.directory); }))) {
        fail(context, StartFailure::directory);
    }

    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    // The host ignores these two for itself; the command gets the defaults.
    // sigaction fails only for a number that is no signal's (EINVAL).
    (void)sigaction(SIGPIPE, &default_action, nullptr);
    (void)sigaction(SIGXFSZ, &default_action, nullptr);
    // No handler of the parent's may run here once the mask is back.  A signal
    // that stays blocked needs no reset: exec does that.  A failing sigaction
    // (EINVAL, for the signals the C library keeps for itself) is passed
    // over: no handler of the host's can be installed there.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction current;
        if (signal_number == SIGKILL || signal_number == SIGSTOP ||
            sigismember(context.mask, signal_number) == 1 ||
            failed(sigaction(signal_number, nullptr, &current))) {
            continue;
        }
        void* handler = (current.sa_flags & SA_SIGINFO)
                            ? reinterpret_cast<void*>(current.sa_sigaction)
                            : reinterpret_cast<void*>(current.sa_handler);
        if (handler != reinterpret_cast<void*>(SIG_IGN) &&
            handler != reinterpret_cast<void*>(SIG_DFL)) {
            (void)sigaction(signal_number, &default_action, nullptr);
        }
    }
    if (failed(sigprocmask(SIG_SETMASK, context.mask, nullptr))) {
        fail(context, StartFailure::setup);
    }
    if (failed(setpgid(0, 0))) {
        fail(context, StartFailure::setup);
    }
    close_descriptors(3, context.report_fd);
    execve(plan.executable, plan.argv, plan.envp);
    fail(context, StartFailure::exec);
}

// Kept out of line so that the child, which runs on this thread's stack until
// it execs, never returns into a frame that the parent still uses.  In the
// parent, not async-signal-safe in spirit (it starts a process) but it calls
// nothing that is not.
__attribute__((noinline)) pid_t fork_child(const ChildContext& context) noexcept {
    pid_t pid = vfork();
    if (pid == 0) {
        become_command(context);
    }
    if (failed(pid)) {
        // vfork may be refused where fork is not (some sandboxes); the child
        // does the same work, only with a copy of the memory.
        pid = fork();
        if (pid == 0) {
            become_command(context);
        }
    }
    return pid;
}

// Reads until `size` bytes or the end: the count read, or -1 with errno set
// when a read fails.  Async-signal-safe.
ssize_t read_fully(int fd, void* data, size_t size) noexcept {
    size_t got = 0;
    while (got < size) {
        ssize_t n = retried([&] { return read(fd, static_cast<char*>(data) + got, size - got); });
        if (failed(n)) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += size_t(n);
    }
    return ssize_t(got);
}

// Async-signal-safe: reads errno.
StartOutcome failed_before_start() noexcept {
    StartOutcome outcome;
    outcome.failure = StartFailure::parent;
    outcome.error_number = errno;
    return outcome;
}

}  // namespace

bool open_devnull(FileDescriptor& fd) noexcept {
    int opened = retried([] { return open("/dev/null", O_RDWR | O_CLOEXEC); });
    fd.reset(opened);
    return !failed(opened);
}

bool make_pipe(FileDescriptor& read_end, FileDescriptor& write_end) noexcept {
    int ends[2];
    if (failed(pipe2(ends, O_CLOEXEC))) {
        return false;
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

StartOutcome spawn_child(const ChildPlan& plan) noexcept {
    FileDescriptor report_read, report_write;
    if (!make_pipe(report_read, report_write)) {
        return failed_before_start();
    }
    // The child closes every descriptor above the standard three but this one.
    if (report_write.get() < 3) {
        int moved = fcntl(report_write.get(), F_DUPFD_CLOEXEC, 3);
        if (failed(moved)) {
            return failed_before_start();
        }
        report_write.reset(moved);
    }
    sigset_t all_signals, caller_mask;
    sigfillset(&all_signals);
    if (failed(sigprocmask(SIG_BLOCK, &all_signals, &caller_mask))) {
        return failed_before_start();
    }
    ChildContext context = {&plan, report_write.get(), &caller_mask};
    pid_t pid = fork_child(context);
    int start_error = errno;  // read only when pid < 0: a child may have changed it
    // Cannot fail with a mask that sigprocmask itself returned.
    (void)sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    report_write.reset();

    StartOutcome outcome;
    if (failed(pid)) {
        outcome.failure = StartFailure::parent;
        outcome.error_number = start_error;
        return outcome;
    }
    Report report;
    ssize_t got = read_fully(report_read.get(), &report, sizeof report);
    if (failed(got)) {
        // Whether the child started cannot be told: it may have exec'd, or be
        // about to report a failure that nobody will read.  Either way it is
        // not a command that runs as asked, so it is ended with whatever it
        // started (the group that it leads once it got that far, still its
        // own while it is unreaped) and reaped, and the start fails with the
        // read's error, as the host's Popen raises it.
        int read_error = errno;
        (void)kill(-pid, SIGKILL);
        (void)kill(pid, SIGKILL);
        int status;
        (void)reap(pid, status);
        outcome.failure = StartFailure::parent;
        outcome.error_number = read_error;
        return outcome;
    }
    if (got == 0) {
        outcome.pid = pid;  // closed at exec: the command runs
        return outcome;
    }
    // The child did not exec and is exiting.  It is reaped here; it never
    // was registered with anyone who could signal it.  ECHILD, where the host
    // ignores SIGCHLD, means the kernel has reaped it already; reap() waits
    // again after any other failure.
    int status;
    (void)reap(pid, status);
    if (got == ssize_t(sizeof report)) {
        outcome.failure = report.step;
        outcome.error_number = report.error_number;
    } else {
        // A report shorter than a pipe's atomic write cannot be cut short.
        outcome.failure = StartFailure::setup;
        outcome.error_number = EIO;
    }
    return outcome;
}

}  // namespace shell_worker
