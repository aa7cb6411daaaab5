"""One command's outcome as the worker reports it."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class CommandResult:
    """A command's standard output, standard error and exit status.

    A command that timed out or could not be started has returncode -1 and
    the reason in `stderr`.
    """

    stdout: str
    stderr: str
    returncode: int

    @property
    def ok(self) -> bool:
        return self.returncode == 0
