// A started child's two output pipes, read in one poll loop against a
// deadline on the monotonic clock, as the host's communicate() keeps one.
//
// Process code only, meant to run with the interpreter lock released.  Every
// wait that a signal interrupts returns `interrupted`, so that the caller can
// take the lock, run the host's signal handlers and call again.
#pragma once

#include <stddef.h>

#include "file_descriptor.hpp"
#include "watch.hpp"

namespace shell_worker {

// The most each stream keeps unless told otherwise, counted as read from its
// pipe.  A command that writes more is ended: without a bound, one chatty
// command would take all the memory of the machine before its time limit.
constexpr size_t default_output_limit = size_t(1) << 28;  // 256 MiB

// One stream's bytes, grown with realloc and freed when it ends.  reserve(),
// clear() and the destructor are not async-signal-safe: they allocate or
// free.  Every other member is: it only reads or moves the members.
class OutputBuffer {
public:
    OutputBuffer() noexcept = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer();

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    // Room for `wanted` more bytes, or as much as `limit` leaves (and one
    // byte more, to tell that it was passed); false when memory runs out.
    bool reserve(size_t wanted, size_t limit) noexcept;
    char* spare() noexcept { return data_ + size_; }
    size_t spare_size() const noexcept { return capacity_ - size_; }
    void grow(size_t added) noexcept { size_ += added; }
    void shrink(size_t size) noexcept { size_ = size; }
    void clear() noexcept;
    // Hands the bytes to the caller, who frees them with free(); the buffer
    // is empty afterwards.
    char* release() noexcept {
        char* data = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return data;
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// "\r\n" and a lone "\r" become "\n", in place; what an ASCII-compatible
// decoding of the bytes would then see is the host's newline translation.
// Async-signal-safe: it touches only the buffer.
void translate_newlines(OutputBuffer& buffer) noexcept;

// The two read ends and what came through them.  Index 0 is stdout, 1 stderr.
struct ChildOutput {
    FileDescriptor pipes[2];  // closed at their end of file
    OutputBuffer streams[2];
    size_t limit = default_output_limit;  // per stream
    int watched_fd = -1;  // polled too where >= 0: its reader's going ends the wait
    int over_limit_stream = -1;
    int error_number = 0;
    double remaining = 0;  // seconds left at a bad_deadline
};

// Reads both pipes until both are at their end of file.  A poll is given the
// time left in whole milliseconds, rounded up; `bad_deadline` when that is
// not a number, infinite or more than a poll can wait; `controller_gone` as
// soon as the watched descriptor's reader has gone.  Not async-signal-safe:
// the buffers grow with realloc.
Watch read_output(ChildOutput& output, double deadline) noexcept;

}  // namespace shell_worker
