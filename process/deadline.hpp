// Deadlines on the monotonic clock, and the waits that poll() can make
// towards them, rounded as the host's own waits round them.
//
// Process code only: nothing here includes the host's headers.
#pragma once

namespace shell_worker {

// Seconds on the monotonic clock, as the host's time.monotonic() gives them.
// Async-signal-safe (clock_gettime).
double monotonic_now() noexcept;

// ceil(seconds * 1000): the milliseconds a poll waits for `seconds`, rounded
// up as the host's selectors round them.  Not a number and the infinities
// come back as they are.  Async-signal-safe: arithmetic only.
double milliseconds_rounded_up(double seconds) noexcept;

// `remaining` seconds as a poll() time limit in `milliseconds` (0 for a time
// already past); false when they cannot be given (not a number, infinite, or
// more than an int holds).  Async-signal-safe: arithmetic only.
bool poll_milliseconds(double remaining, int& milliseconds) noexcept;

}  // namespace shell_worker
