// Watching a started child: its two output pipes read in one poll loop, its
// exit waited for, and its process group ended, all against a deadline on
// the monotonic clock, as the host's communicate() and wait() keep one.
//
// Process code only, meant to run with the interpreter lock released.  Every
// wait that a signal interrupts returns `interrupted`, so that the caller can
// take the lock, run the host's signal handlers and call again.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "file_descriptor.hpp"

namespace shell_worker {

// The most each stream keeps, counted as read from its pipe.  A command that
// writes more is ended: without a bound, one chatty command would take all
// the memory of the machine before its time limit.
constexpr size_t output_limit = size_t(1) << 28;  // 256 MiB

// Seconds on the monotonic clock, as the host's time.monotonic() gives them.
double monotonic_now() noexcept;

// ceil(seconds * 1000): the milliseconds a poll waits for `seconds`, rounded
// up as the host's selectors round them.  Not a number and the infinities
// come back as they are.
double milliseconds_rounded_up(double seconds) noexcept;

// One stream's bytes, grown with realloc and freed when it ends.
class OutputBuffer {
public:
    OutputBuffer() noexcept = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer();

    char* data() noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    // Room for `wanted` more bytes, or as much as the limit leaves; false when
    // memory runs out.
    bool reserve(size_t wanted) noexcept;
    char* spare() noexcept { return data_ + size_; }
    size_t spare_size() const noexcept { return capacity_ - size_; }
    void grow(size_t added) noexcept { size_ += added; }
    void shrink(size_t size) noexcept { size_ = size; }
    void clear() noexcept;

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// "\r\n" and a lone "\r" become "\n", in place; what an ASCII-compatible
// decoding of the bytes would then see is the host's newline translation.
void translate_newlines(OutputBuffer& buffer) noexcept;

enum class Watch {
    done,          // both pipes at their end, or the child has exited
    timed_out,     // the deadline passed
    interrupted,   // a signal arrived: run the host's handlers, then call again
    over_limit,    // a stream passed output_limit
    out_of_memory,
    failed,        // a system call failed: `error_number`
    bad_deadline,  // the wait cannot be expressed: `remaining` tells why
};

// The two read ends and what came through them.  Index 0 is stdout, 1 stderr.
struct ChildOutput {
    FileDescriptor pipes[2];  // closed at their end of file
    OutputBuffer streams[2];
    int over_limit_stream = -1;
    int error_number = 0;
    double remaining = 0;  // seconds left at a bad_deadline
};

// Reads both pipes until both are at their end of file.  A poll is given the
// time left in whole milliseconds, rounded up; `bad_deadline` when that is
// not a number, infinite or more than a poll can wait.
Watch read_output(ChildOutput& output, double deadline) noexcept;

// A child whose pipes are closed, waited for until it exits.
struct ChildExit {
    pid_t pid = -1;
    FileDescriptor pidfd;      // opened when a wait is needed, where the kernel has them
    bool pidfd_tried = false;
    double delay = 0.0005;     // the sleep between checks where it has not
    int status = 0;            // the wait status; 0 when the kernel reaped the child itself
    int error_number = 0;      // for `failed`
};

Watch wait_for_exit(ChildExit& child, double deadline) noexcept;

// SIGKILL to the group that `pid` leads (a group already gone is fine),
// then `pid` reaped.
void end_group(pid_t pid) noexcept;

// What the host reports as the returncode of a wait status: the exit status,
// or minus the number of the signal that ended the child.
int returncode_of(int status) noexcept;

}  // namespace shell_worker
