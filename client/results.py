"""One command's outcome as the worker reports it."""

from __future__ import annotations

import functools
from dataclasses import dataclass

from .errors import CommandError, CommandTimeout

# What the worker writes to stderr for a command that outlived its limit,
# around the limit's text (the repr of a float).
TIMED_OUT = "Command timed out after "


@functools.lru_cache(maxsize=64)  # made for every request, from a few limits
def timeout_text(limit: float) -> str | None:
    """The worker's exact stderr for a command that outlived `limit`; None
    for a limit no double holds (the worker cannot take it, and ends)."""
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
