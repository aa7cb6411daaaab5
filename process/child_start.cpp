#include "child_start.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

// --- In the child.  It shares the parent's memory until exec, so only
// async-signal-safe calls below: write, _exit, dup, dup2, ioctl, chdir,
// sigaction, sigprocmask, setpgid, open, close, syscall, execve, and getrlimit,
// which is a bare system call too.

[[noreturn]] void report_and_exit(int report_fd, StartFailure step, int error_number) noexcept {
    Report report = {step, error_number};
    // A few bytes go through a pipe in one piece.  Should the write fail, the
    // parent sees a started command that exits with status 255.
    while (write(report_fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
    _exit(255);
}

[[noreturn]] void fail(const ChildContext& context, StartFailure step) noexcept {
    report_and_exit(context.report_fd, step, errno);
}

// `fd` as descriptor `target`, inherited by the command.
bool place(int fd, int target) noexcept {
    if (fd == target) {
        return ioctl(fd, FIONCLEX) == 0;  // dup2 onto itself would keep close-on-exec
    }
    return dup2(fd, target) >= 0;
}

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
// can neither close a range nor list them.
int descriptor_limit() noexcept {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 256;
    }
    return limit.rlim_cur > rlim_t(INT_MAX) ? INT_MAX : int(limit.rlim_cur);
}

// Closes every descriptor from `first` up, except `keep`.
void close_descriptors(int first, int keep) noexcept {
    bool closed = true;
    if (keep > first) {
        closed = syscall(SYS_close_range, unsigned(first), unsigned(keep - 1), 0u) == 0;
    }
    if (closed && syscall(SYS_close_range, unsigned(keep + 1), ~0u, 0u) == 0) {
        return;
    }
    int listing = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        int limit = descriptor_limit();
        for (int fd = first; fd < limit; ++fd) {
            if (fd != keep) {
                (void)close(fd);  // most of them are not open
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
                (void)close(fd);
            }
            offset += entry->d_reclen;
        }
    }
    (void)close(listing);
}

[[noreturn]] __attribute__((noinline)) void become_command(const ChildContext& context) noexcept {
    const ChildPlan& plan = *context.plan;

    // A descriptor in the place another one must take is moved out of the way
    // first (a worker may run with a standard stream closed).
    int out = plan.stdout_fd;
    int err = plan.stderr_fd;
    if (out == 0 && (out = dup(out)) < 0) {
        fail(context, StartFailure::setup);
    }
    while (err == 0 || err == 1) {
        if ((err = dup(err)) < 0) {
            fail(context, StartFailure::setup);
        }
    }
    if (!place(plan.stdin_fd, 0) || !place(out, 1) || !place(err, 2)) {
        fail(context, StartFailure::setup);
    }
    if (plan.directory && chdir(plan.directory) < 0) {
        fail(context, StartFailure::directory);
    }

    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    // The host ignores these two for itself; the command gets the defaults.
    (void)sigaction(SIGPIPE, &default_action, nullptr);
    (void)sigaction(SIGXFSZ, &default_action, nullptr);
    // No handler of the parent's may run here once the mask is back.  A signal
    // that stays blocked needs no reset: exec does that.  Errors are skipped,
    // as for the signals the C library keeps for itself.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction current;
        if (signal_number == SIGKILL || signal_number == SIGSTOP ||
            sigismember(context.mask, signal_number) == 1 ||
            sigaction(signal_number, nullptr, &current) != 0) {
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
    if (sigprocmask(SIG_SETMASK, context.mask, nullptr) != 0) {
        fail(context, StartFailure::setup);
    }
    if (setpgid(0, 0) != 0) {
        fail(context, StartFailure::setup);
    }
    close_descriptors(3, context.report_fd);
    execve(plan.executable, plan.argv, plan.envp);
    fail(context, StartFailure::exec);
}

// Kept out of line so that the child, which runs on this thread's stack until
// it execs, never returns into a frame that the parent still uses.
__attribute__((noinline)) pid_t fork_child(const ChildContext& context) noexcept {
    pid_t pid = vfork();
    if (pid == 0) {
        become_command(context);
    }
    if (pid < 0) {
        // vfork may be refused where fork is not (some sandboxes); the child
        // does the same work, only with a copy of the memory.
        pid = fork();
        if (pid == 0) {
            become_command(context);
        }
    }
    return pid;
}

// Reads until `size` bytes or the end; the count read.
ssize_t read_fully(int fd, void* data, size_t size) noexcept {
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, static_cast<char*>(data) + got, size - got);
        if (n > 0) {
            got += size_t(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return ssize_t(got);
}

StartOutcome failed_before_start() noexcept {
    StartOutcome outcome;
    outcome.failure = StartFailure::parent;
    outcome.error_number = errno;
    return outcome;
}

}  // namespace

bool open_devnull(FileDescriptor& fd) noexcept {
    int opened;
    while ((opened = open("/dev/null", O_RDWR | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
    fd.reset(opened);
    return opened >= 0;
}

bool make_pipe(FileDescriptor& read_end, FileDescriptor& write_end) noexcept {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
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
        if (moved < 0) {
            return failed_before_start();
        }
        report_write.reset(moved);
    }
    sigset_t all_signals, caller_mask;
    sigfillset(&all_signals);
    if (sigprocmask(SIG_BLOCK, &all_signals, &caller_mask) != 0) {
        return failed_before_start();
    }
    ChildContext context = {&plan, report_write.get(), &caller_mask};
    pid_t pid = fork_child(context);
    int start_error = errno;  // read only when pid < 0: a child may have changed it
    // Cannot fail with a mask that sigprocmask itself returned.
    (void)sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    report_write.reset();

    StartOutcome outcome;
    if (pid < 0) {
        outcome.failure = StartFailure::parent;
        outcome.error_number = start_error;
        return outcome;
    }
    Report report;
    ssize_t got = read_fully(report_read.get(), &report, sizeof report);
    if (got == 0) {
        outcome.pid = pid;  // closed at exec: the command runs
        return outcome;
    }
    // The child did not exec.  It is reaped here (where the host ignores
    // SIGCHLD the kernel has done that, and waitpid says so).
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
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
