#include "deadline.hpp"

#include <limits.h>
#include <stdint.h>
#include <time.h>

namespace shell_worker {

double monotonic_now() noexcept {
    struct timespec now;
    // Cannot fail: the clock exists on every kernel the module runs on, and
    // `now` is valid memory.
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
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

}  // namespace shell_worker
