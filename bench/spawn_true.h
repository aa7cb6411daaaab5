/* What both C floors do per command: start "/bin/sh -c true" with
 * posix_spawn, both output streams piped, read them to their end and reap
 * the child.  The least that starting a shell command can cost here. */
#ifndef BENCH_SPAWN_TRUE_H
#define BENCH_SPAWN_TRUE_H

#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

static void spawn_true(void) {
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

#endif
