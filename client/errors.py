"""What the controller raises when a command's result cannot be had, or is
not what the caller asked for."""

from __future__ import annotations

import signal
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .results import CommandResult


class WorkerError(Exception):
    """The worker ended, or could not start, without answering.

    `returncode` is the worker process's exit status as subprocess gives it
    (minus the signal number when a signal ended it), or None when it had not
    ended within a second; `stderr_tail` holds its last standard-error lines;
    `argv` is the command that started it.  `sent` tells whether the request
    reached the worker and so may have run: when it is False, nothing ran
    and the request may safely be sent again.
    """

    def __init__(self, message: str, returncode: int | None = None,
                 stderr_tail: tuple[str, ...] = (), argv: Sequence[str] | None = None,
                 sent: bool = True) -> None:
        argv = None if argv is None else tuple(argv)
        # All of them in args, so that the error survives pickling whole.
        super().__init__(message, returncode, stderr_tail, argv, sent)
        self.message = message
        self.returncode = returncode
        self.stderr_tail = stderr_tail
        self.argv: tuple[str, ...] | None = argv
        self.sent = sent

    def __str__(self) -> str:
        return self.message


class RequestError(Exception):
    """The worker refused the request itself ("No command provided") and
    went on serving: no command ran."""

    def __init__(self, error: str) -> None:
        super().__init__(error)
        self.error = error

    def __str__(self) -> str:
        return self.error


class CommandError(Exception):
    """A command asked for with `check=True` exited with a status other than
    0 (as subprocess's CalledProcessError).  `result` is its CommandResult,
    `command` the command it ran."""

    def __init__(self, result: CommandResult) -> None:
        super().__init__(result)
        self.result = result
        self.command = result.command

    @property
    def returncode(self) -> int:
        return self.result.returncode

    def __str__(self) -> str:
        status = self.result.returncode
        if status == -1 and self.result.stderr:
            why = f"failed: {self.result.stderr.strip()}"
        else:
            why = f"returned non-zero exit status {status}"
        return f"command {self.command!r} {why}"


def worker_error(what: str, returncode: int | None, stderr_tail: tuple[str, ...],
                 argv: Sequence[str], sent: bool) -> WorkerError:
    """A WorkerError whose text says what happened, how the worker ended and
    the last thing it said on standard error."""
    if returncode is None:
        status = "the worker had not exited a second later"
    elif returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = "an unknown signal"
        status = f"the worker was ended by signal {-returncode} ({name})"
    else:
        status = f"the worker exited with status {returncode}"
    message = f"{what}; {status}"
    if stderr_tail:
        message += f"; its standard error ended with: {stderr_tail[-1]}"
    return WorkerError(message, returncode, stderr_tail, argv, sent)
