"""What the controller raises when a command's result cannot be had, or is
not what the caller asked for."""

from __future__ import annotations

import signal
import subprocess
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


class CommandError(subprocess.CalledProcessError):
    """A command asked for with `check=True` exited with a status other than
    0: a subprocess.CalledProcessError, so `except CalledProcessError` takes
    it, with its `cmd`, `returncode`, `stdout` (`output`), `stderr` and text.
    `result` is its CommandResult, `command` the command it ran.

    A status of -1 is also what the worker reports for a command that could
    not be started, and what a shell reports for one ended by SIGHUP; which
    one it was is told by `stderr`.
    """

    def __init__(self, result: CommandResult) -> None:
        super().__init__(result.returncode, result.command, result.stdout, result.stderr)
        # The only argument, so that the error survives pickling whole.
        self.args = (result,)
        self.result = result
        self.command = result.command


class CommandTimeout(subprocess.TimeoutExpired):
    """A command asked for with `check=True` outlived its time limit: a
    subprocess.TimeoutExpired, with `cmd` and `timeout` (the limit sent, in
    seconds).  The worker keeps nothing a timed-out command wrote, so
    `output` and `stderr` are None.  `result` is its CommandResult."""

    def __init__(self, result: CommandResult, timeout: float) -> None:
        super().__init__(result.command, timeout)
        self.args = (result, timeout)
        self.result = result
        self.command = result.command


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
