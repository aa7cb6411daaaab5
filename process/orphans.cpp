#include "orphans.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "system_call.hpp"

namespace shell_worker {

namespace {

constexpr int orphan_count = 64;

// Each slot: 0 when free, the orphan's pid, or -1 while one sweep reaps it,
// so that two sweeps (a handler and the next command's start) never both
// wait for the number, which after the first reaping may be another child's.
pid_t orphans[orphan_count];

// How many slots hold an orphan: a command starts without looking at the
// table when there are none.
int adopted = 0;

// Whether adopt_orphan installed the SIGCHLD handler and it has not been
// taken out since.  Guarded by the interpreter lock, like the adoptions.
bool handler_installed = false;

// Raised by every SIGCHLD handler before it sweeps.  A sweep that finds it
// changed when it is done sweeps again: a handler that ran meanwhile may have
// passed over a slot that this sweep held, whose orphan had just ended.
unsigned sweeps_requested = 0;

// Reaps the orphans that have ended.  Async-signal-safe: waitpid only.
void sweep() noexcept {
    for (;;) {
        // Sequentially consistent, with the handler's increment: either this
        // load sees it, or the handler's sweep runs after this one's claims
        // were let go.
        unsigned seen = __atomic_load_n(&sweeps_requested, __ATOMIC_SEQ_CST);
        for (pid_t& slot : orphans) {
            pid_t pid = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
            // Acquire: the pid was stored by adopt_orphan with release.
            if (pid <= 0 || !__atomic_compare_exchange_n(&slot, &pid, -1, false,
                                                         __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
                continue;
            }
            int status;
            pid_t reaped = retried([&] { return waitpid(pid, &status, WNOHANG); });
            // ECHILD, the only other failure: reaped by someone else (the
            // kernel, where SIGCHLD is ignored).
            bool gone = reaped == pid || failed(reaped);
            if (gone) {
                __atomic_sub_fetch(&adopted, 1, __ATOMIC_RELAXED);
            }
            // Release: the next sweep to claim the slot sees it whole.
            __atomic_store_n(&slot, gone ? 0 : pid, __ATOMIC_RELEASE);
        }
        if (__atomic_load_n(&sweeps_requested, __ATOMIC_SEQ_CST) == seen) {
            return;
        }
    }
}

void on_child_exit(int) {
    int saved_errno = errno;
    __atomic_add_fetch(&sweeps_requested, 1, __ATOMIC_SEQ_CST);
    sweep();
    errno = saved_errno;
}

bool is_ours(const struct sigaction& action) noexcept {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == on_child_exit;
}

}  // namespace

bool adopt_orphan(pid_t pid) noexcept {
    bool taken = false;
    for (pid_t& slot : orphans) {
        pid_t free_slot = 0;
        // Release: a sweep that claims the slot (acquire) sees the pid.
        if (__atomic_compare_exchange_n(&slot, &free_slot, pid, false, __ATOMIC_RELEASE,
                                        __ATOMIC_RELAXED)) {
            __atomic_add_fetch(&adopted, 1, __ATOMIC_RELAXED);
            taken = true;
            break;
        }
    }
    if (!taken) {
        return false;
    }
    struct sigaction current;
    if (sigaction(SIGCHLD, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_DFL) {
        struct sigaction handler = {};
        handler.sa_handler = on_child_exit;
        handler.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigemptyset(&handler.sa_mask);
        // Cannot fail for SIGCHLD with a valid action.
        (void)sigaction(SIGCHLD, &handler, nullptr);
        handler_installed = true;
    }
    // The orphan may have ended before the handler was there to hear of it.
    sweep();
    return true;
}

void reap_orphans() noexcept {
    // Relaxed: a count that is a moment old only moves the sweep to the next
    // command; the handler, where installed, reaps meanwhile.
    if (__atomic_load_n(&adopted, __ATOMIC_RELAXED) != 0) {
        sweep();
    }
    if (!handler_installed || __atomic_load_n(&adopted, __ATOMIC_RELAXED) != 0) {
        return;
    }
    handler_installed = false;
    struct sigaction current;
    // Only where the handler is still the module's: the host may have set its own since.
    if (sigaction(SIGCHLD, nullptr, &current) == 0 && is_ours(current)) {
        struct sigaction default_action = {};
        default_action.sa_handler = SIG_DFL;
        sigemptyset(&default_action.sa_mask);
        (void)sigaction(SIGCHLD, &default_action, nullptr);  // cannot fail for SIGCHLD
    }
}

}  // namespace shell_worker
