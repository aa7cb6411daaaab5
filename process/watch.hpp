// How a wait on a command's child ended.
//
// Process code only: nothing here includes the host's headers.
#pragma once

namespace shell_worker {

enum class Watch {
    done,          // what was waited for happened: the pipes' ends, or the child's exit
    timed_out,     // the deadline passed
    interrupted,   // a signal arrived: run the host's handlers, then call again
    over_limit,    // a stream passed its output limit
    out_of_memory,
    failed,        // a system call failed; its errno is kept beside the wait
    bad_deadline,  // the wait cannot be expressed: the time left tells why
};

}  // namespace shell_worker
