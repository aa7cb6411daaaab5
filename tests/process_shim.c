/* Preloaded into a host by the tests, to widen the windows that a signal or a
 * kill could otherwise fall into only by chance, and to take pidfds away.
 * Each behaviour is off unless its variable is set:
 *
 *   SHIM_NOTIFY_FD      a descriptor that gets one byte as each delay begins
 *   SHIM_RAISE_DELAY_MS raise() waits this long before raising
 *   SHIM_KILL_DELAY_MS  a SIGKILL to a process group (kill(-pgid) or
 *                       pidfd_send_signal) waits this long before it is sent
 *   SHIM_NO_PIDFD       pidfd_open fails with ENOSYS, as before Linux 5.3
 *   SHIM_HIDE_EXIT      the first exit check (waitid with WNOWAIT) after each
 *                       such SIGKILL finds nothing, as if the child were slow
 *                       to die
 *   SHIM_LOG_FD         a descriptor that gets "kill" for each such SIGKILL
 *                       and "sleep <nanoseconds>" for each nanosleep
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

static int notify_fd = -1, log_fd = -1, raise_delay_ms, kill_delay_ms, no_pidfd, hide_exit;
static int exit_hidden_next;
static long (*real_syscall)(long, ...);
static int (*real_kill)(pid_t, int);
static int (*real_raise)(int);
static int (*real_waitid)(idtype_t, id_t, siginfo_t*, int);
static int (*real_nanosleep)(const struct timespec*, struct timespec*);

static int setting(const char* name, int fallback) {
    const char* value = getenv(name);
    return value ? atoi(value) : fallback;
}

/* Called by every wrapper, not only as a constructor: the interpreter's own
 * constructors (its allocator's) may make system calls before this library's
 * constructor has run.  Idempotent, so a race between threads is harmless. */
__attribute__((constructor)) static void load(void) {
    if (real_nanosleep) {
        return;
    }
    real_syscall = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    real_kill = (int (*)(pid_t, int))dlsym(RTLD_NEXT, "kill");
    real_raise = (int (*)(int))dlsym(RTLD_NEXT, "raise");
    real_waitid = (int (*)(idtype_t, id_t, siginfo_t*, int))dlsym(RTLD_NEXT, "waitid");
    notify_fd = setting("SHIM_NOTIFY_FD", -1);
    log_fd = setting("SHIM_LOG_FD", -1);
    raise_delay_ms = setting("SHIM_RAISE_DELAY_MS", 0);
    kill_delay_ms = setting("SHIM_KILL_DELAY_MS", 0);
    no_pidfd = setting("SHIM_NO_PIDFD", 0);
    hide_exit = setting("SHIM_HIDE_EXIT", 0);
    real_nanosleep = (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
}

static void say(int fd, const char* text) {
    if (fd >= 0) {
        int saved = errno;
        (void)!write(fd, text, strlen(text));
        errno = saved;
    }
}

static void delay(int milliseconds) {
    if (milliseconds > 0) {
        int saved = errno;
        say(notify_fd, "!");
        struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
        while (real_nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        errno = saved;
    }
}

static void before_group_kill(void) {
    say(log_fd, "kill\n");
    if (hide_exit) {
        __atomic_store_n(&exit_hidden_next, 1, __ATOMIC_SEQ_CST);
    }
    delay(kill_delay_ms);
}

long syscall(long number, ...) {
    load();
    va_list list;
    long a[6];
    va_start(list, number);
    for (int i = 0; i < 6; ++i) {
        a[i] = va_arg(list, long);
    }
    va_end(list);
    if (number == SYS_pidfd_open && no_pidfd) {
        errno = ENOSYS;
        return -1;
    }
    if (number == SYS_pidfd_send_signal && a[1] == SIGKILL) {
        before_group_kill();
    }
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int kill(pid_t pid, int signal_number) {
    load();
    if (pid < -1 && signal_number == SIGKILL) {
        before_group_kill();
    }
    return real_kill(pid, signal_number);
}

int raise(int signal_number) {
    load();
    delay(raise_delay_ms);
    return real_raise(signal_number);
}

int waitid(idtype_t type, id_t id, siginfo_t* info, int options) {
    load();
    if (type == P_PID && (options & WNOWAIT) &&
        __atomic_exchange_n(&exit_hidden_next, 0, __ATOMIC_SEQ_CST)) {
        info->si_pid = 0;
        return 0;
    }
    return real_waitid(type, id, info, options);
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
    load();
    if (log_fd >= 0) {
        char line[48];
        snprintf(line, sizeof line, "sleep %lld\n",
                 (long long)request->tv_sec * 1000000000LL + request->tv_nsec);
        say(log_fd, line);
    }
    return real_nanosleep(request, remaining);
}
