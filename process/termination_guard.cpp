#include "termination_guard.hpp"

#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "child_exit.hpp"
#include "deadline.hpp"

namespace shell_worker {

namespace {

// More commands than this running at once, each on a thread of its own, is
// beyond any use of the worker; a command beyond it still runs contained, but
// a terminating signal does not reach its group.
constexpr int slot_count = 1024;

// A slot's state.  Only its owner moves it from `active` to `free`, and only
// a terminating handler from `active` to `claimed` and back, so that a group
// is never signalled once its owner has let it go, nor let go (and its leader
// reaped) while a handler signals it.
enum SlotState : int { slot_free, slot_filling, slot_active, slot_claimed };

struct Slot {
    int state;    // SlotState
    pid_t owner;  // the process that registered it: a forked copy of the table is not ours
    pid_t group;
    int pidfd;
};

Slot slots[slot_count];

constexpr int watched_signals[] = {SIGTERM, SIGHUP};
constexpr unsigned watched_count = sizeof watched_signals / sizeof watched_signals[0];

// The action each watched signal had when the guard's handler took its place:
// a default, but with whatever flags and mask the host gave it (Python's own
// signal.signal() sets SA_ONSTACK), which a plain default would lose.  Written
// only while that signal's handler is not the guard's, under the host's lock.
struct sigaction replaced_actions[watched_count];

int running_commands = 0;  // guarded by the interpreter lock

// Commands between the making of their guard and their watch(): their child
// may exist already, but its group is not registered yet.
int starting_commands = 0;
// A terminating signal that arrived while a command was starting; whoever
// takes it out of here (the handler or the last starter) ends the process.
int held_signal = 0;
// The process whose commands the guards watch: a child between fork and exec
// runs this handler too, and must simply die as it would have.
pid_t guarded_process = 0;
// The process that a terminating handler has begun to end, set before the
// handler looks for anything to kill and never cleared: that process is about
// to die (a copy forked meanwhile is not).  A command that begins to start
// after it starts no child; one whose child exists already kills its own
// group once it has registered it (see may_start and watch).
pid_t terminating = 0;

// How long a handler waits for a slot that another handler holds, and a
// starter for the death of a process that is terminating.  Either normally
// takes microseconds; the bound only keeps a process whose every thread
// blocks the signal from hanging for ever.
constexpr double handover_limit = 2.0;

// Puts back the action that the guard's handler replaced: a default, with
// the host's flags and mask.  Async-signal-safe: sigaction.
void restore_default(int signal_number) noexcept {
    for (unsigned i = 0; i < watched_count; ++i) {
        if (watched_signals[i] == signal_number) {
            // Fails only for a number that is not a signal's.
            (void)sigaction(signal_number, &replaced_actions[i], nullptr);
        }
    }
}

// Claims `slot` for this handler: true once it holds it, false when the slot
// holds no group (free, or being filled: its starter kills its own group once
// it sees `terminating`).  A slot that another handler holds, on another
// thread, is waited for rather than passed over: that handler may not have
// made its kill yet, and the process must not die before it has.  Handlers
// block each other's signals on one thread, so the holder always runs; the
// wait is bounded all the same.  Async-signal-safe: clock_gettime,
// sched_yield.
bool claim_for_kill(Slot& slot) noexcept {
    double give_up = 0;
    for (;;) {
        int state = slot_active;
        // Acquire: the owner published the fields with a release store of
        // `active` (and a handler that held the slot made its kill before
        // storing `active` back with release), so they are whole here.
        if (__atomic_compare_exchange_n(&slot.state, &state, slot_claimed, false,
                                        __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE)) {
            return true;
        }
        if (state != slot_claimed) {
            return false;
        }
        double now = monotonic_now();
        if (give_up == 0) {
            give_up = now + handover_limit;
        } else if (now > give_up) {
            return false;
        }
        (void)sched_yield();  // cannot fail on Linux
    }
}

// Kills the group of every registered slot of this process.  Async-signal-safe.
void kill_registered_groups() noexcept {
    pid_t self = getpid();
    for (Slot& slot : slots) {
        if (!claim_for_kill(slot)) {
            continue;
        }
        if (slot.owner == self) {
            // Refused (EPERM) or already empty (ESRCH): the process ends all
            // the same, and a process that may not be signalled cannot be.
            (void)kill_group(slot.group, slot.pidfd);
        }
        // Release: the owner, spinning in release(), may reap once it sees
        // this, and the kill above has been made by then.
        __atomic_store_n(&slot.state, slot_active, __ATOMIC_RELEASE);
    }
}

// Ends the process by `signal_number` once every registered group has been
// killed.  Async-signal-safe: kill, sigaction, raise, getpid.
void terminate(int signal_number, bool in_handler) noexcept {
    __atomic_store_n(&terminating, getpid(), __ATOMIC_SEQ_CST);
    kill_registered_groups();
    restore_default(signal_number);
    if (in_handler) {
        // The signal is blocked while its handler runs, so the raised one
        // waits until the handler returns and then ends the process.
        raise(signal_number);
    } else {
        // Outside a handler the signal goes to the process, not to this
        // thread, which the host may have told to block it.
        kill(getpid(), signal_number);
    }
}

// Sequentially consistent throughout: the handler stores `held_signal` and
// then reads `starting_commands`, while the last starter decrements
// `starting_commands` and then exchanges `held_signal`.  That is the
// store-buffering pattern, in which weaker orders (acquire and release
// included) let each side miss the other's write, and the signal would be
// lost.  In the one total order of seq_cst operations, either the starter's
// exchange comes after the handler's store and takes the signal, or the
// handler's second load comes after the decrement and sees no starter; both
// may, and the exchange lets only one act.
//
// `terminating` pairs with `starting_commands` the same way: the handler
// stores it and then reads the count, a starter increments the count and
// then reads it (may_start).  So a starter that the handler does not see
// counted sees the flag, and starts no child.
//
// Async-signal-safe, being the handler: getpid, sigaction, raise, kill and
// the group kills.
void on_termination(int signal_number) {
    int saved_errno = errno;
    pid_t self = getpid();
    if (self != __atomic_load_n(&guarded_process, __ATOMIC_SEQ_CST)) {
        restore_default(signal_number);
        raise(signal_number);  // a forked child before exec has one thread: this one
        errno = saved_errno;
        return;
    }
    __atomic_store_n(&terminating, self, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&starting_commands, __ATOMIC_SEQ_CST) == 0) {
        terminate(signal_number, true);
    } else {
        // A child may exist whose group is not known yet: hold the signal
        // until the starter has registered it, unless that has just happened.
        __atomic_store_n(&held_signal, signal_number, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&starting_commands, __ATOMIC_SEQ_CST) == 0) {
            int held = __atomic_exchange_n(&held_signal, 0, __ATOMIC_SEQ_CST);
            if (held) {
                terminate(held, true);
            }
        }
    }
    errno = saved_errno;
}

// The command's group is registered (or no child was started): a signal held
// meanwhile takes effect now.  Sequentially consistent, as on_termination
// says.  Async-signal-safe, like terminate().
void finish_starting() noexcept {
    if (__atomic_sub_fetch(&starting_commands, 1, __ATOMIC_SEQ_CST) == 0) {
        int held = __atomic_exchange_n(&held_signal, 0, __ATOMIC_SEQ_CST);
        if (held) {
            terminate(held, false);
        }
    }
}

// Async-signal-safe: reads the action only.
bool is_ours(const struct sigaction& action) noexcept {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == on_termination;
}

// Async-signal-safe: reads the action only.
bool is_default(const struct sigaction& action) noexcept {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

// Async-signal-safe (sigaction, sigemptyset, sigaddset), though only the
// guards call it, under the host's lock.
void install_where_default() noexcept {
    struct sigaction handler = {};
    handler.sa_handler = on_termination;
    handler.sa_flags = SA_RESTART;
    // Each handler blocks both signals while it runs: a second terminating
    // signal on the same thread would otherwise interrupt the first handler
    // between its claim of a slot and its kill, pass over that slot and end
    // the process before the kill is made.
    sigemptyset(&handler.sa_mask);
    for (int signal_number : watched_signals) {
        sigaddset(&handler.sa_mask, signal_number);
    }
    for (unsigned i = 0; i < watched_count; ++i) {
        struct sigaction current;
        // Neither call fails for these two signals.
        if (sigaction(watched_signals[i], nullptr, &current) == 0 && is_default(current)) {
            replaced_actions[i] = current;
            (void)sigaction(watched_signals[i], &handler, nullptr);
        }
    }
}

// Async-signal-safe: sigaction only.
void restore_where_ours() noexcept {
    for (int signal_number : watched_signals) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) == 0 && is_ours(current)) {
            restore_default(signal_number);
        }
    }
}

}  // namespace

TerminationGuard::TerminationGuard() noexcept {
    ++running_commands;
    // Sequentially consistent, as on_termination says; the process id is
    // stored before the count that makes the handler look at it.
    __atomic_store_n(&guarded_process, getpid(), __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&starting_commands, 1, __ATOMIC_SEQ_CST);
    // At the start of each command: a disposition that was the default when
    // the first command began may have been given to the host since, and one
    // that was not may have become the default.
    install_where_default();
}

TerminationGuard::~TerminationGuard() {
    if (starting_) {
        finish_starting();
    }
    release();
    if (--running_commands == 0) {
        restore_where_ours();
    }
}

bool TerminationGuard::may_start() noexcept {
    // Sequentially consistent, as on_termination says: the count was raised
    // (in the constructor) before this load.
    pid_t ending = __atomic_load_n(&terminating, __ATOMIC_SEQ_CST);
    if (ending == 0 || ending != getpid()) {
        return true;
    }
    // A handler has begun, and may not have counted this start: it need not
    // wait for it, so no child may come of it.  What remains is to let the
    // process die; a signal held for other starters is taken on by the last
    // of them, as always.
    starting_ = false;
    finish_starting();
    double give_up = monotonic_now() + handover_limit;
    struct timespec pause = {0, 1000000};
    while (monotonic_now() < give_up) {
        (void)nanosleep(&pause, nullptr);  // EINTR only brings the next check forward
    }
    return false;
}

void TerminationGuard::watch(pid_t group, int pidfd) noexcept {
    pid_t self = getpid();
    for (int i = 0; i < slot_count && slot_ < 0 && group > 0; ++i) {
        int free_state = slot_free;
        // Relaxed is enough to take a free slot: the fields are published by
        // the store below, and nothing is read from the slot here.
        if (__atomic_compare_exchange_n(&slots[i].state, &free_state, slot_filling, false,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
            slots[i].owner = self;
            slots[i].group = group;
            slots[i].pidfd = pidfd;
            // Release, and sequentially consistent with the load of
            // `terminating` below: a handler either claims the slot (acquire)
            // and reads these fields whole, or has set the flag, which the
            // load then sees.
            __atomic_store_n(&slots[i].state, slot_active, __ATOMIC_SEQ_CST);
            slot_ = i;
        }
    }
    if (group > 0 && __atomic_load_n(&terminating, __ATOMIC_SEQ_CST) == self) {
        // A handler may have scanned past this slot before it was filled; the
        // process dies once this start is over, so the group goes now.
        // Refused or already empty: as in the handler, nothing more to do.
        (void)kill_group(group, pidfd);
    }
    if (starting_) {
        starting_ = false;
        finish_starting();
    }
}

void TerminationGuard::release() noexcept {
    if (slot_ < 0) {
        return;
    }
    for (;;) {
        int active = slot_active;
        // Acquire on success: a handler that had claimed the slot stored
        // `active` back (release) after its kill, so the kill is over.
        if (__atomic_compare_exchange_n(&slots[slot_].state, &active, slot_free, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            break;
        }
        // A handler on another thread has claimed the slot and is killing the
        // group; the process ends as soon as it is done.  Until then the
        // leader is not reaped, so that its number still names the group.
        (void)sched_yield();  // cannot fail on Linux
    }
    slot_ = -1;
}

}  // namespace shell_worker
