#include "child_output.hpp"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "deadline.hpp"
#include "system_call.hpp"

namespace shell_worker {

namespace {

// A pipe holds this much unless told otherwise: one read takes it all.
constexpr size_t read_size = 64 * 1024;

// Reads what one ready pipe holds into its stream; `done` when the loop may
// go on (the pipe may have reached its end).  Not async-signal-safe: it may
// allocate.
Watch read_ready(ChildOutput& output, int stream) noexcept {
    OutputBuffer& buffer = output.streams[stream];
    if (!buffer.reserve(read_size, output.limit)) {
        return Watch::out_of_memory;
    }
    ssize_t got = read(output.pipes[stream].get(), buffer.spare(), buffer.spare_size());
    if (failed(got)) {
        if (errno == EINTR) {
            return Watch::interrupted;
        }
        if (errno == EAGAIN) {
            return Watch::done;  // another reader of the pipe took what was there
        }
        output.error_number = errno;
        return Watch::failed;
    }
    if (got == 0) {
        output.pipes[stream].reset();
        return Watch::done;
    }
    buffer.grow(size_t(got));
    if (buffer.size() > output.limit) {
        output.over_limit_stream = stream;
        return Watch::over_limit;
    }
    return Watch::done;
}

}  // namespace

OutputBuffer::~OutputBuffer() { free(data_); }

bool OutputBuffer::reserve(size_t wanted, size_t limit) noexcept {
    // One byte past the limit is room enough to tell that it was passed.
    size_t most = limit + 1;
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
        struct pollfd ready[3];
        int stream_of[3];
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
        if (output.watched_fd >= 0) {
            // No event asked for: poll reports an error or a hang-up all the same.
            ready[count] = {output.watched_fd, 0, 0};
            stream_of[count++] = -1;
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
        if (failed(poll(ready, nfds_t(count), milliseconds))) {
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
            if (stream_of[i] < 0) {
                if (reader_gone(ready[i].revents)) {
                    return Watch::controller_gone;
                }
            } else if (ready[i].revents) {
                Watch watch = read_ready(output, stream_of[i]);
                if (watch != Watch::done) {
                    return watch;
                }
            }
        }
    }
}

}  // namespace shell_worker
