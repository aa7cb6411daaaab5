"""One command's outcome as the worker reports it."""

from __future__ import annotations

from dataclasses import dataclass

from .errors import CommandError


@dataclass(frozen=True, slots=True)
class CommandResult:
    """A command's standard output, standard error and exit status, and the
    command as it was sent (an argument list already joined into one line).

    A command that timed out or could not be started has returncode -1 and
    the reason in `stderr`.
    """

    stdout: str
    stderr: str
    returncode: int
    command: str = ""

    @property
    def ok(self) -> bool:
        return self.returncode == 0

    def check_returncode(self) -> None:
        """Raises CommandError unless the command exited with status 0."""
        if self.returncode != 0:
            raise CommandError(self)
