"""A lock-step loop with the worker's I/O and none of its JSON, for comparison
only: it reads each request line from sys.stdin, writes a fixed answer to
sys.stdout and flushes, as the worker's main loop does around its JSON work.

It answers every line with the worker's answer to a request without a
command, and the quit request with the worker's goodbye, so the benchmark
sends it only {} and quit; both answers are then the worker's own bytes.
"""

import sys

NO_COMMAND = '{"success": false, "error": "No command provided"}\n'
GOODBYE = '{"success": true, "result": "goodbye"}\n'
QUIT = '{"action": "quit"}'


def main() -> None:
    while line := sys.stdin.readline():
        if line.strip() == QUIT:
            sys.stdout.write(GOODBYE)
            sys.stdout.flush()
            break
        sys.stdout.write(NO_COMMAND)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
