// How process code tests a system call's result and repeats an interrupted
// one: the same way everywhere, so that no caller reads errno after a call
// that did not fail, or forgets EINTR.
//
// Process code only: nothing here includes the host's headers.
#pragma once

#include <errno.h>

namespace shell_worker {

// Whether a system call's result reports a failure: a negative value (the C
// library's -1), with errno set.  Async-signal-safe; fit for a vfork child.
template <typename Result>
constexpr bool failed(Result result) noexcept {
    return result < 0;
}

// Makes `call` again for as long as it fails with EINTR, and returns its last
// result.  Only for calls whose interruption means nothing to the caller:
// where the host's signal handlers must get their turn, the caller returns
// instead.  Async-signal-safe, and fit for a vfork child, when `call` is.
template <typename Call>
auto retried(Call call) noexcept {
    for (;;) {
        auto result = call();
        if (!failed(result) || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace shell_worker
