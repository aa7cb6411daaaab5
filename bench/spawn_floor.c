/* The floor under the worker's round trip: a C loop that starts
 * "/bin/sh -c true" with posix_spawn, both output streams piped, reads them
 * to their end and reaps the child.  Prints the microseconds per command of
 * the timed loop.
 *
 *     spawn_floor COUNT
 */
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static void run_once(void) {
    int out[2], err[2];
    if (pipe(out) || pipe(err)) {
        perror("pipe");
        exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    char *argv[] = {"/bin/sh", "-c", "true", NULL};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", &actions, NULL, argv, environ)) {
        perror("posix_spawn");
        exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_count = 2;
    char buffer[65536];
    while (open_count) {
        poll(fds, 2, -1);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents && read(fds[i].fd, buffer, sizeof buffer) <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status;
    waitpid(pid, &status, 0);
}

int main(int argc, char **argv) {
    int count = argc > 1 ? atoi(argv[1]) : 1000;
    run_once();
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < count; ++i) {
        run_once();
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%.3f\n", seconds / count * 1e6);
    return 0;
}
