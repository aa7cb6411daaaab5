#include "child_output.hpp"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>

// pidfd_open(2) came with Linux 5.3 and glibc 2.36: reached through syscall(),
// with a sleeping fallback where the kernel lacks it.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace shell_worker {

namespace {

// A pipe holds this much unless told otherwise: one read takes it all.
constexpr size_t read_size = 64 * 1024;

// Milliseconds for poll(), rounded up; false when they cannot be given.
bool poll_milliseconds(double remaining, int& milliseconds) noexcept {
    if (remaining <= 0) {
        milliseconds = 0;
        return true;
    }
    double rounded = milliseconds_rounded_up(remaining);
    if (!(rounded <= double(INT_MAX))) {  // also NaN
        return false;
    }
    milliseconds = int(rounded);
    return true;
}

// Reads what one ready pipe holds into its stream; `done` when the loop may
// go on (the pipe may have reached its end).
Watch read_ready(ChildOutput& output, int stream) noexcept {
    OutputBuffer& buffer = output.streams[stream];
    if (!buffer.reserve(read_size)) {
        return Watch::out_of_memory;
    }
    ssize_t got = read(output.pipes[stream].get(), buffer.spare(), buffer.spare_size());
    if (got < 0) {
        if (errno == EINTR) {
            return Watch::interrupted;
        }
        if (errno == EAGAIN) {
            return Watch::done;
        }
        output.error_number = errno;
        return Watch::failed;
    }
    if (got == 0) {
        output.pipes[stream].reset();
        return Watch::done;
    }
    buffer.grow(size_t(got));
    if (buffer.size() > output_limit) {
        output.over_limit_stream = stream;
        return Watch::over_limit;
    }
    return Watch::done;
}

}  // namespace

double monotonic_now() noexcept {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t nanoseconds = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    if (nanoseconds % 1000000000 == 0) {
        return double(nanoseconds / 1000000000);
    }
    return double(nanoseconds) / 1e9;
}

double milliseconds_rounded_up(double seconds) noexcept {
    double milliseconds = seconds * 1e3;
    // Beyond 2**52 every double is a whole number; the module needs no libm.
    if (!(milliseconds > -4503599627370496.0 && milliseconds < 4503599627370496.0)) {
        return milliseconds;
    }
    double whole = double(int64_t(milliseconds));
    return whole < milliseconds ? whole + 1 : whole;
}

OutputBuffer::~OutputBuffer() { free(data_); }

bool OutputBuffer::reserve(size_t wanted) noexcept {
    // One byte past the limit is room enough to tell that it was passed.
    constexpr size_t most = output_limit + 1;
    size_t needed = size_ + wanted < most ? size_ + wanted : most;
    if (capacity_ >= needed) {
        return true;
    }
    size_t capacity = capacity_ ? capacity_ * 2 : read_size;
    if (capacity < needed) {
        capacity = needed;
    }
    if (capacity > most) {
        capacity = most;
    }
    // realloc moves large blocks by remapping their pages, without a copy.
    char* grown = static_cast<char*>(realloc(data_, capacity));
    if (!grown) {
        return false;
    }
    data_ = grown;
    capacity_ = capacity;
    return true;
}

void OutputBuffer::clear() noexcept {
    free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void translate_newlines(OutputBuffer& buffer) noexcept {
    char* data = buffer.data();
    size_t size = buffer.size();
    const char* first = size ? static_cast<const char*>(memchr(data, '\r', size)) : nullptr;
    if (!first) {
        return;
    }
    size_t kept = size_t(first - data);
    for (size_t i = kept; i < size; ++i) {
        if (data[i] == '\r') {
            data[kept++] = '\n';
            if (i + 1 < size && data[i + 1] == '\n') {
                ++i;
            }
        } else {
            data[kept++] = data[i];
        }
    }
    buffer.shrink(kept);
}

Watch read_output(ChildOutput& output, double deadline) noexcept {
    for (;;) {
        struct pollfd ready[2];
        int stream_of[2];
        int count = 0;
        for (int stream = 0; stream < 2; ++stream) {
            if (output.pipes[stream]) {
                ready[count] = {output.pipes[stream].get(), POLLIN, 0};
                stream_of[count++] = stream;
            }
        }
        if (count == 0) {
            return Watch::done;
        }
        double remaining = deadline - monotonic_now();
        if (remaining < 0) {
            return Watch::timed_out;
        }
        int milliseconds;
        if (!poll_milliseconds(remaining, milliseconds)) {
            output.remaining = remaining;
            return Watch::bad_deadline;
        }
        if (poll(ready, nfds_t(count), milliseconds) < 0) {
            if (errno == EINTR) {
                return Watch::interrupted;
            }
            output.error_number = errno;
            return Watch::failed;
        }
        // Past the deadline nothing more is read, even what is ready.
        if (monotonic_now() > deadline) {
            return Watch::timed_out;
        }
        for (int i = 0; i < count; ++i) {
            if (ready[i].revents) {
                Watch watch = read_ready(output, stream_of[i]);
                if (watch != Watch::done) {
                    return watch;
                }
            }
        }
    }
}

Watch wait_for_exit(ChildExit& child, double deadline) noexcept {
    for (;;) {
        int status;
        pid_t reaped = waitpid(child.pid, &status, WNOHANG);
        if (reaped == child.pid) {
            child.status = status;
            return Watch::done;
        }
        if (reaped < 0) {
            if (errno == ECHILD) {
                // Reaped by the kernel, where SIGCHLD is ignored, or by another
                // waiter: the status is lost, and the host reports 0 then.
                child.status = 0;
                return Watch::done;
            }
            child.error_number = errno;
            return errno == EINTR ? Watch::interrupted : Watch::failed;
        }
        double remaining = deadline - monotonic_now();
        if (remaining <= 0) {
            return Watch::timed_out;
        }
        if (!child.pidfd_tried) {
            child.pidfd_tried = true;
            child.pidfd.reset(int(syscall(SYS_pidfd_open, child.pid, 0u)));
        }
        int milliseconds;
        if (!poll_milliseconds(remaining, milliseconds)) {
            milliseconds = INT_MAX;  // the pipes' wait has already accepted this deadline
        }
        if (child.pidfd) {
            struct pollfd exit_event = {child.pidfd.get(), POLLIN, 0};
            if (poll(&exit_event, 1, milliseconds) < 0) {
                child.error_number = errno;
                return errno == EINTR ? Watch::interrupted : Watch::failed;
            }
        } else {
            // As the host waits with a time limit: checks at growing intervals.
            double delay = child.delay * 2;
            delay = delay < remaining ? delay : remaining;
            child.delay = delay < 0.05 ? delay : 0.05;
            struct timespec pause;
            pause.tv_sec = time_t(child.delay);
            pause.tv_nsec = long((child.delay - double(pause.tv_sec)) * 1e9);
            if (nanosleep(&pause, nullptr) < 0 && errno == EINTR) {
                return Watch::interrupted;
            }
        }
    }
}

void end_group(pid_t pid) noexcept {
    (void)kill(-pid, SIGKILL);  // the group may be gone already
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
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
