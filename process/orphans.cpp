#include "orphans.hpp"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "system_call.hpp"

// waitid's idtype for a pidfd: Linux 5.4, after the glibc that the wheels
// promise.
#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace shell_worker {

namespace {

constexpr int orphan_count = 64;

// A table slot's state.  Only adopt_orphan fills a free slot, and only a
// sweep (a handler, or a command's start) claims a held one, reaps or puts
// it back, so that two sweeps never both wait for the same orphan, whose
// number, once the first has reaped it, may be another child's.
enum SlotState : int { slot_free, slot_filling, slot_held, slot_claimed };

struct OrphanSlot {
    int state;  // SlotState
    pid_t pid;
    int pidfd;  // -1 for none
};

OrphanSlot orphans[orphan_count];

// How many slots hold an orphan: a command starts without looking at the
// table when there are none.
int adopted = 0;

// The orphans past the table: a malloc'd array, grown with realloc, changed
// and read only under the host's lock and never by a handler.
struct Overflow {
    pid_t pid;
    int pidfd;
};
Overflow* overflow = nullptr;
size_t overflow_size = 0;
size_t overflow_capacity = 0;

// SIGCHLD's action as adopt_orphan found it when it installed the handler,
// and whether the handler is in and has not been taken out since.  Guarded
// by the interpreter lock, like the adoptions.
struct sigaction found_action;
bool handler_installed = false;

// Cleared by the first kernel that refuses P_PIDFD (5.3 has pidfds without
// it); from then on orphans are waited for by number.  Relaxed: a stale true
// costs one more refused call.
bool wait_by_pidfd = true;

// Raised by every SIGCHLD handler before it sweeps.  A sweep that finds it
// changed when it is done sweeps again: a handler that ran meanwhile may have
// passed over a slot that this sweep held, whose orphan had just ended.
unsigned sweeps_requested = 0;

// Reaps the orphan if it has ended: true when it is gone (reaped here, or by
// someone else), false while it runs.  Its pidfd stays open either way.
// Async-signal-safe: waitid and waitpid only.
bool reaped_if_ended(pid_t pid, int pidfd) noexcept {
    if (pidfd >= 0 && __atomic_load_n(&wait_by_pidfd, __ATOMIC_RELAXED)) {
        siginfo_t info;
        info.si_pid = 0;  // left 0 when nothing has exited: the kernel does, POSIX does not say
        int result = retried([&] { return waitid(idtype_t(P_PIDFD), id_t(pidfd), &info,
                                                 WEXITED | WNOHANG); });
        if (!failed(result)) {
            return info.si_pid != 0;
        }
        if (errno != EINVAL) {
            return true;  // ECHILD: reaped by someone else, and the pidfd names no other
        }
        __atomic_store_n(&wait_by_pidfd, false, __ATOMIC_RELAXED);
    }
    int status;
    pid_t reaped = retried([&] { return waitpid(pid, &status, WNOHANG); });
    // ECHILD, the only other failure: reaped by someone else (the kernel,
    // where SIGCHLD is ignored).
    return reaped == pid || failed(reaped);
}

// Reaps the table's orphans that have ended.  Async-signal-safe: waitid,
// waitpid and close.
void sweep_table() noexcept {
    for (;;) {
        // Sequentially consistent, with the handler's increment: either this
        // load sees it, or the handler's sweep runs after this one's claims
        // were let go.
        unsigned seen = __atomic_load_n(&sweeps_requested, __ATOMIC_SEQ_CST);
        for (OrphanSlot& slot : orphans) {
            int held = slot_held;
            // Acquire: the fields were stored by adopt_orphan before its
            // release store of `held`.
            if (!__atomic_compare_exchange_n(&slot.state, &held, slot_claimed, false,
                                             __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
                continue;
            }
            bool gone = reaped_if_ended(slot.pid, slot.pidfd);
            if (gone) {
                if (slot.pidfd >= 0) {
                    (void)close(slot.pidfd);
                }
                __atomic_sub_fetch(&adopted, 1, __ATOMIC_RELAXED);
            }
            // Release: the next to take the slot sees it whole.
            __atomic_store_n(&slot.state, gone ? slot_free : slot_held, __ATOMIC_RELEASE);
        }
        if (__atomic_load_n(&sweeps_requested, __ATOMIC_SEQ_CST) == seen) {
            return;
        }
    }
}

// Reaps the list's orphans that have ended, and frees the list once it is
// empty.  Not async-signal-safe: it changes and frees the list.
void sweep_overflow() noexcept {
    size_t kept = 0;
    for (size_t i = 0; i < overflow_size; ++i) {
        if (reaped_if_ended(overflow[i].pid, overflow[i].pidfd)) {
            if (overflow[i].pidfd >= 0) {
                (void)close(overflow[i].pidfd);
            }
        } else {
            overflow[kept++] = overflow[i];
        }
    }
    overflow_size = kept;
    if (kept == 0) {
        free(overflow);
        overflow = nullptr;
        overflow_capacity = 0;
    }
}

// Async-signal-safe, being the handler: the table's sweep only.
void on_child_exit(int) {
    int saved_errno = errno;
    __atomic_add_fetch(&sweeps_requested, 1, __ATOMIC_SEQ_CST);
    sweep_table();
    errno = saved_errno;
}

// Async-signal-safe: reads the action only.
bool is_ours(const struct sigaction& action) noexcept {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == on_child_exit;
}

// Whether the host has left SIGCHLD as a process starts with it: the default
// action and none of the flags that a host may set (SA_NOCLDWAIT and
// SA_NOCLDSTOP change what the default does).  Flags the C library adds of
// its own accord are not the host's and are ignored.  Async-signal-safe.
bool is_untouched_default(const struct sigaction& action) noexcept {
    constexpr int host_flags = SA_NOCLDSTOP | SA_NOCLDWAIT | SA_SIGINFO | SA_ONSTACK |
                               SA_RESTART | SA_NODEFER | SA_RESETHAND;
    return !(action.sa_flags & host_flags) && action.sa_handler == SIG_DFL;
}

// Takes a free table slot for the orphan: false when all are held.
// Async-signal-safe, though only adopt_orphan calls it.
bool place_in_table(pid_t pid, int pidfd) noexcept {
    for (OrphanSlot& slot : orphans) {
        int free_slot = slot_free;
        // Relaxed: the fields are published by the release store below.
        if (__atomic_compare_exchange_n(&slot.state, &free_slot, slot_filling, false,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
            slot.pid = pid;
            slot.pidfd = pidfd;
            __atomic_add_fetch(&adopted, 1, __ATOMIC_RELAXED);
            // Release: a sweep that claims the slot (acquire) reads the fields whole.
            __atomic_store_n(&slot.state, slot_held, __ATOMIC_RELEASE);
            return true;
        }
    }
    return false;
}

// Appends the orphan to the list: false when memory runs out.  Not
// async-signal-safe: it allocates.
bool place_in_overflow(pid_t pid, int pidfd) noexcept {
    if (overflow_size == overflow_capacity) {
        size_t capacity = overflow_capacity ? overflow_capacity * 2 : 16;
        void* grown = realloc(overflow, capacity * sizeof(Overflow));
        if (!grown) {
            return false;
        }
        overflow = static_cast<Overflow*>(grown);
        overflow_capacity = capacity;
    }
    overflow[overflow_size++] = {pid, pidfd};
    return true;
}

// Installs the handler where SIGCHLD's action is still the untouched
// default, keeping that action to put back.  Async-signal-safe (sigaction),
// though only adopt_orphan calls it, under the host's lock.
void install_where_untouched() noexcept {
    struct sigaction current;
    if (handler_installed || failed(sigaction(SIGCHLD, nullptr, &current)) ||
        !is_untouched_default(current)) {
        return;
    }
    struct sigaction handler = {};
    handler.sa_handler = on_child_exit;
    handler.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&handler.sa_mask);
    // Cannot fail for SIGCHLD with a valid action.
    (void)sigaction(SIGCHLD, &handler, nullptr);
    found_action = current;
    handler_installed = true;
}

}  // namespace

bool adopt_orphan(Orphan& orphan) noexcept {
    int pidfd = orphan.pidfd.get();
    if (place_in_table(orphan.pid, pidfd)) {
        (void)orphan.pidfd.release();
        install_where_untouched();
        // The orphan may have ended before the handler was there to hear of it.
        sweep_table();
        return true;
    }
    if (!place_in_overflow(orphan.pid, pidfd)) {
        return false;
    }
    (void)orphan.pidfd.release();
    return true;
}

void reap_orphans() noexcept {
    // Relaxed: a count that is a moment old only moves the sweep to the next
    // command; the handler, where installed, reaps meanwhile.
    if (__atomic_load_n(&adopted, __ATOMIC_RELAXED) != 0) {
        sweep_table();
    }
    if (overflow_size != 0) {
        sweep_overflow();
    }
    if (!handler_installed || __atomic_load_n(&adopted, __ATOMIC_RELAXED) != 0) {
        return;
    }
    handler_installed = false;
    struct sigaction current;
    // Only where the handler is still the module's: the host may have set its
    // own since.  The action found goes back whole, flags and mask included.
    if (!failed(sigaction(SIGCHLD, nullptr, &current)) && is_ours(current)) {
        (void)sigaction(SIGCHLD, &found_action, nullptr);  // cannot fail: it was in force before
    }
}

}  // namespace shell_worker
