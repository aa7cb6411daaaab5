// How a wait on a command's child ended.
//
// Process code only: nothing here includes the host's headers.
#pragma once

#include <poll.h>

namespace shell_worker {

enum class Watch {
    done,          // what was waited for happened: the pipes' ends, or the child's exit
    timed_out,     // the deadline passed
    interrupted,   // a signal arrived: run the host's handlers, then call again
    over_limit,    // a stream passed its output limit
    out_of_memory,
    failed,        // a system call failed; its errno is kept beside the wait
    bad_deadline,  // the wait cannot be expressed: the time left tells why
    controller_gone,  // the watched descriptor says nobody can read it any more
};

// Whether poll()'s `revents` for a watched descriptor say that its reader has
// gone: POLLERR on the write end of a pipe whose read end is closed, POLLHUP
// on a socket or terminal whose peer has gone, POLLNVAL once the descriptor
// itself has been closed (nothing can be written to it, and poll would
// report it at once, for ever).  Async-signal-safe.
inline bool reader_gone(short revents) noexcept {
    return (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Whether `fd` is open now.  A closed descriptor's number goes to the next
// one opened (the command's own pipes, say), so it is checked before any is.
// Async-signal-safe: fcntl.  Defined in child_exit.cpp, not here: a file
// that includes the host's headers gets _FILE_OFFSET_BITS=64 from them, under
// which glibc names fcntl64, a symbol newer than the wheels may need.
bool descriptor_open(int fd) noexcept;

}  // namespace shell_worker
