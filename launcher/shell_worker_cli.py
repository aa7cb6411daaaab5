"""The varnok-shell-worker command: the shell worker's main loop, or a word
about it when asked.  The extension module is imported only to run the
worker, so --help and --version work without it."""
import sys

PROGRAM = "varnok-shell-worker"
USAGE = f"""\
usage: {PROGRAM} [--help | --version]

Runs the shell worker: it reads one JSON request per line from standard
input and writes one JSON response per line to standard output, answering
each request before it reads the next.  For example, the request

  {{"action": "exec", "command": "echo hello", "timeout": 30}}

is answered with

  {{"success": true, "result": {{"stdout": "hello\\n", "stderr": "", "returncode": 0}}, "error": null}}

End of input (Ctrl-D at a terminal) or {{"action": "quit"}} ends the worker.
Ctrl-C is ignored.

options:
  -h, --help     show this text and exit
  -V, --version  show the installed version and exit
"""


def run(argv: list[str] | None = None) -> int | None:
    """The console script's entry point; returns the exit status."""
    arguments = sys.argv[1:] if argv is None else argv
    if not arguments:
        # As the script pointed at main itself: its result is the exit status
        # and whatever it raises passes out with its traceback.
        from varnok.workers.shell_worker import main
        return main()
    if arguments in (["--help"], ["-h"]):
        sys.stdout.write(USAGE)
        return 0
    if arguments in (["--version"], ["-V"]):
        from importlib.metadata import version
        print(PROGRAM, version(PROGRAM))
        return 0
    # As argparse refuses: the usage line alone, then the error; --help gives the rest.
    usage_line = USAGE.partition("\n")[0]
    sys.stderr.write(f"{usage_line}\n{PROGRAM}: error: unrecognised arguments: "
                     f"{' '.join(arguments)}\n")
    return 2


if __name__ == "__main__":
    sys.exit(run())
