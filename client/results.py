"""One command's outcome as the worker reports it."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

from .errors import CommandError, CommandTimeout

# What the worker writes to stderr for a command that outlived its limit,
# around the limit's text (the repr of a float).
TIMED_OUT = "Command timed out after "


def timeout_text(limit: float) -> str | None:
    """The worker's exact stderr for a command that outlived `limit`; None
    for a limit no double holds (the worker cannot take it, and ends).
    Not cached: a cache takes -0.0 for 0.0, and the worker writes each as
    it is."""
    if type(limit) is float:
        return f"{TIMED_OUT}{limit!r}s"
    try:
        return f"{TIMED_OUT}{float(limit)!r}s"
    except OverflowError:
        return None


@dataclass(frozen=True, slots=True)
class CommandResult:
    """A command's standard output, standard error and exit status, and the
    command as it was sent (an argument list already joined into one line;
    without the prefix that sets `env`), as subprocess's CompletedProcess.

    A command that timed out or could not be started has returncode -1 and
    the reason in `stderr`; `timed_out` tells a time-out apart (the client
    knows the limit it sent, so it matches the worker's exact text).
    """

    stdout: str
    stderr: str
    returncode: int
    command: str = ""
    timed_out: bool = False

    @property
    def args(self) -> str:
        """The command, by the name subprocess's CompletedProcess gives it."""
        return self.command

    @property
    def ok(self) -> bool:
        return self.returncode == 0

    def check_returncode(self) -> None:
        """Raises CommandTimeout (a subprocess.TimeoutExpired) if the command
        timed out, CommandError (a subprocess.CalledProcessError) if it
        exited with another status than 0."""
        if self.timed_out:
            raise CommandTimeout(self, float(self.stderr[len(TIMED_OUT):-1]))
        if self.returncode != 0:
            raise CommandError(self)


# The frozen class's __init__ sets each field through object.__setattr__;
# these are the slots' own setters, which that call ends in, at a fraction
# of its cost, for the reader that makes one result per command.
_new = object.__new__
# In field order; a field added to the class fails this at import.
_set_stdout, _set_stderr, _set_returncode, _set_command, _set_timed_out = (
    vars(CommandResult)[field.name].__set__ for field in dataclasses.fields(CommandResult))


def made(stdout: str, stderr: str, returncode: int, command: str,
         timed_out: bool) -> CommandResult:
    """CommandResult(stdout, stderr, returncode, command, timed_out), made
    as its __init__ makes it."""
    result: CommandResult = _new(CommandResult)
    _set_stdout(result, stdout)
    _set_stderr(result, stderr)
    _set_returncode(result, returncode)
    _set_command(result, command)
    _set_timed_out(result, timed_out)
    return result
