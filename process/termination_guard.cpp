#include "termination_guard.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace shell_worker {

namespace {

// More commands than this running at once, each on a thread of its own, is
// beyond any use of the worker; a command beyond it still runs contained, but
// a terminating signal does not reach its group.
constexpr int slot_count = 1024;

struct Slot {
    pid_t group;  // 0: free
    pid_t owner;  // the process that registered it: a forked copy of the table is not ours
};

Slot slots[slot_count];

constexpr int watched_signals[] = {SIGTERM, SIGHUP};

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

void restore_default(int signal_number) {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
}

// Async-signal-safe: kill, sigaction, raise.
void terminate(int signal_number) {
    pid_t self = getpid();
    for (Slot& slot : slots) {
        pid_t group = __atomic_load_n(&slot.group, __ATOMIC_ACQUIRE);
        if (group > 0 && __atomic_load_n(&slot.owner, __ATOMIC_ACQUIRE) == self) {
            kill(-group, SIGKILL);
        }
    }
    // In the handler the signal is blocked, so the raised one waits until the
    // handler returns and then ends the process as it would have.
    restore_default(signal_number);
    raise(signal_number);
}

void on_termination(int signal_number) {
    int saved_errno = errno;
    if (getpid() != __atomic_load_n(&guarded_process, __ATOMIC_ACQUIRE)) {
        restore_default(signal_number);
        raise(signal_number);
    } else if (__atomic_load_n(&starting_commands, __ATOMIC_ACQUIRE) == 0) {
        terminate(signal_number);
    } else {
        // A child may exist whose group is not known yet: hold the signal
        // until the starter has registered it, unless that has just happened.
        __atomic_store_n(&held_signal, signal_number, __ATOMIC_RELEASE);
        if (__atomic_load_n(&starting_commands, __ATOMIC_ACQUIRE) == 0) {
            int held = __atomic_exchange_n(&held_signal, 0, __ATOMIC_ACQ_REL);
            if (held) {
                terminate(held);
            }
        }
    }
    errno = saved_errno;
}

// The command's group is registered (or no child was started): a signal held
// meanwhile takes effect now.
void finish_starting() noexcept {
    if (__atomic_sub_fetch(&starting_commands, 1, __ATOMIC_ACQ_REL) == 0) {
        int held = __atomic_exchange_n(&held_signal, 0, __ATOMIC_ACQ_REL);
        if (held) {
            terminate(held);
        }
    }
}

bool is_ours(const struct sigaction& action) noexcept {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == on_termination;
}

bool is_default(const struct sigaction& action) noexcept {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

void install_where_default() noexcept {
    struct sigaction handler = {};
    handler.sa_handler = on_termination;
    handler.sa_flags = SA_RESTART;
    sigemptyset(&handler.sa_mask);
    for (int signal_number : watched_signals) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) == 0 && is_default(current)) {
            sigaction(signal_number, &handler, nullptr);
        }
    }
}

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
    __atomic_store_n(&guarded_process, getpid(), __ATOMIC_RELEASE);
    __atomic_add_fetch(&starting_commands, 1, __ATOMIC_ACQ_REL);
    // At the start of each command: a disposition that was the default when
    // the first command began may have been given to the host since, and one
    // that was not may have become the default.
    install_where_default();
}

TerminationGuard::~TerminationGuard() {
    if (starting_) {
        finish_starting();
    }
    if (slot_ >= 0) {
        __atomic_store_n(&slots[slot_].group, 0, __ATOMIC_RELEASE);
    }
    if (--running_commands == 0) {
        restore_where_ours();
    }
}

void TerminationGuard::watch(pid_t group) noexcept {
    for (int i = 0; i < slot_count && slot_ < 0 && group > 0; ++i) {
        if (__atomic_load_n(&slots[i].group, __ATOMIC_RELAXED) == 0) {
            __atomic_store_n(&slots[i].owner, getpid(), __ATOMIC_RELEASE);
            __atomic_store_n(&slots[i].group, group, __ATOMIC_RELEASE);
            slot_ = i;
        }
    }
    if (starting_) {
        starting_ = false;
        finish_starting();
    }
}

}  // namespace shell_worker
