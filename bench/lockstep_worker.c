/* The floor under the worker's lock-step round trip: a C program that speaks
 * just as much of the worker's protocol as the benchmark sends it.  It reads
 * request lines from standard input and answers each one, written out whole,
 * before it reads the next:
 *
 *     {}                  the worker's answer to a request without a command;
 *     {"action": "quit"}  the worker's goodbye, and it exits;
 *     any other line      starts "/bin/sh -c true" (spawn_true.h) and gives
 *                         the worker's answer to {"command": "true"};
 *     a blank line        no answer, as from the worker.
 *
 * It parses no JSON and starts `true` whatever the request names, so the
 * benchmark sends it nothing but {"command": "true"}, {} and quit.  Its
 * answers are the worker's own bytes for those requests, which lets the
 * benchmark compare the two byte for byte before timing them.
 *
 *     lockstep_worker
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "spawn_true.h"

static const char NO_COMMAND[] = "{\"success\": false, \"error\": \"No command provided\"}\n";
static const char TRUE_DONE[] =
    "{\"success\": true, \"result\": {\"stdout\": \"\", \"stderr\": \"\", \"returncode\": 0}, "
    "\"error\": null}\n";
static const char GOODBYE[] = "{\"success\": true, \"result\": \"goodbye\"}\n";
static const char QUIT[] = "{\"action\": \"quit\"}";

static void answer(const char *text, size_t size) {
    while (size) {
        ssize_t written = write(1, text, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            exit(1); /* the controller has gone */
        }
        text += written;
        size -= (size_t)written;
    }
}

static int is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

/* Answers one line, without its newline; returns 0 once it has said goodbye. */
static int serve(char *line, size_t size) {
    while (size && is_space(line[size - 1])) {
        --size;
    }
    while (size && is_space(*line)) {
        ++line;
        --size;
    }
    if (size == 0) {
        return 1;
    }
    if (size == 2 && memcmp(line, "{}", 2) == 0) {
        answer(NO_COMMAND, sizeof NO_COMMAND - 1);
        return 1;
    }
    if (size == sizeof QUIT - 1 && memcmp(line, QUIT, size) == 0) {
        answer(GOODBYE, sizeof GOODBYE - 1);
        return 0;
    }
    spawn_true();
    answer(TRUE_DONE, sizeof TRUE_DONE - 1);
    return 1;
}

int main(void) {
    static char buffer[1 << 16];
    size_t held = 0;
    for (;;) {
        ssize_t got = read(0, buffer + held, sizeof buffer - held);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0; /* end of input: done, as the worker is */
        }
        held += (size_t)got;
        char *start = buffer, *end = buffer + held, *newline;
        while ((newline = memchr(start, '\n', (size_t)(end - start))) != NULL) {
            if (!serve(start, (size_t)(newline - start))) {
                return 0;
            }
            start = newline + 1;
        }
        held = (size_t)(end - start);
        if (held == sizeof buffer) {
            fputs("lockstep_worker: request line too long\n", stderr);
            return 1;
        }
        memmove(buffer, start, held);
    }
}
