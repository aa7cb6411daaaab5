/* The floor under the worker's round trip: a C loop that starts
 * "/bin/sh -c true" with posix_spawn, both output streams piped, reads them
 * to their end and reaps the child.  Prints the microseconds per command of
 * the timed loop.
 *
 *     spawn_floor COUNT
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "spawn_true.h"

int main(int argc, char **argv) {
    int count = argc > 1 ? atoi(argv[1]) : 1000;
    spawn_true();
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < count; ++i) {
        spawn_true();
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%.3f\n", seconds / count * 1e6);
    return 0;
}
