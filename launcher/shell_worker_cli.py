"""The varnok-shell-worker command: the shell worker's main loop, or a word
about it when asked.  The extension module is imported only to run the
worker, so --help and --version work without it."""
import re
import sys

PROGRAM = "varnok-shell-worker"
USAGE = f"""\
usage: {PROGRAM} [--help | --version] [--output-limit SIZE] [--exit-with-controller]

Runs the shell worker: it reads one JSON request per line from standard
input and writes one JSON response per line to standard output, answering
each request before it reads the next.  For example, the request

  {{"action": "exec", "command": "echo hello", "timeout": 30}}

is answered with

  {{"success": true, "result": {{"stdout": "hello\\n", "stderr": "", "returncode": 0}}, "error": null}}

End of input (Ctrl-D at a terminal) or {{"action": "quit"}} ends the worker.
Ctrl-C is ignored.

options:
  -h, --help           show this text and exit
  -V, --version        show the installed version and exit
  --output-limit SIZE  the most that each stream of a command may write before
                       the command is ended (its result then says so): a byte
                       count, or one with a K, M or G suffix (1024, 1024**2,
                       1024**3); 256M unless given.  The worker holds up to
                       this much per stream while a command runs.
  --exit-with-controller
                       while a command runs, watch standard output too: when
                       nobody can read the answer any more (the controller,
                       or the ssh or kubectl session in between, has gone),
                       end the command's process group and exit with status 1
                       and a one-line message on standard error.  Without it
                       a command runs to its end whatever becomes of the
                       reader.
"""

SUFFIXES = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
MOST_OUTPUT_LIMIT = 1 << 48  # what the module accepts: beyond any memory


class UsageError(Exception):
    """A command line that the program refuses, with argparse's wording."""


def parse_size(text: str) -> int:
    """`text` as a byte count: digits, then K, M or G (binary) or nothing."""
    match = re.fullmatch(r"([0-9]+)([KMG]?)", text)
    if not match:
        raise UsageError(f"argument --output-limit: invalid size: {text!r} "
                         "(a byte count, or one with a K, M or G suffix, such as 64M)")
    # Judged by its digits before int() sees them: the host refuses to turn
    # more than a few thousand digits into an int, and no count of more than
    # fifteen significant digits is within the limit anyway.
    digits = match[1].lstrip("0")
    if len(digits) > 15 or int(digits or "0") * SUFFIXES[match[2]] > MOST_OUTPUT_LIMIT:
        raise UsageError(f"argument --output-limit: {text!r} is more than "
                         f"{MOST_OUTPUT_LIMIT >> 30}G")
    return int(digits or "0") * SUFFIXES[match[2]]


def parse(arguments: list[str]) -> dict[str, int | bool]:
    """The worker's settings from its options; UsageError for anything else."""
    settings: dict[str, int | bool] = {}
    unknown: list[str] = []
    rest = iter(arguments)
    for argument in rest:
        name, equals, value = argument.partition("=")
        if name == "--output-limit":
            if not equals:
                value = next(rest, None)
                if value is None:
                    raise UsageError("argument --output-limit: expected one argument")
            settings["output_limit"] = parse_size(value)
        elif argument == "--exit-with-controller":
            settings["exit_with_controller"] = True
        else:
            unknown.append(argument)
    if unknown:
        raise UsageError(f"unrecognised arguments: {' '.join(unknown)}")
    return settings


def asked_about(arguments: list[str]) -> str | None:
    """"help" or "version" when one of them is asked for anywhere on the line,
    the first of them if both: as with argparse, they win over every other
    option, a refused one included.  The word after a bare --output-limit is
    its value, not an option."""
    rest = iter(arguments)
    for argument in rest:
        if argument == "--output-limit":
            next(rest, None)
        elif argument in ("--help", "-h"):
            return "help"
        elif argument in ("--version", "-V"):
            return "version"
    return None


def run(argv: list[str] | None = None) -> int | None:
    """The console script's entry point; returns the exit status."""
    arguments = sys.argv[1:] if argv is None else argv
    asked = asked_about(arguments)
    if asked == "help":
        sys.stdout.write(USAGE)
        return 0
    if asked == "version":
        from importlib.metadata import version
        print(PROGRAM, version(PROGRAM))
        return 0
    try:
        settings = parse(arguments)
    except UsageError as error:
        # As argparse refuses: the usage line alone, then the error; --help gives the rest.
        usage_line = USAGE.partition("\n")[0]
        sys.stderr.write(f"{usage_line}\n{PROGRAM}: error: {error}\n")
        return 2
    if settings:
        from varnok.workers import shell_worker_settings
        for name, value in settings.items():
            setattr(shell_worker_settings, name, value)
    # As the script pointed at main itself: its result is the exit status and
    # whatever it raises passes out with its traceback.
    from varnok.workers.shell_worker import main
    return main()


if __name__ == "__main__":
    sys.exit(run())
