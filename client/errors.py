"""What the controller raises when a command's result cannot be had."""

from __future__ import annotations

import signal


class WorkerError(Exception):
    """The worker ended, or could not start, without answering.

    `returncode` is the worker process's exit status as subprocess gives it
    (minus the signal number when a signal ended it), or None when it had not
    ended within a second; `stderr_tail` holds its last standard-error lines.
    """

    def __init__(self, message: str, returncode: int | None = None,
                 stderr_tail: tuple[str, ...] = ()) -> None:
        # All three in args, so that the error survives pickling whole.
        super().__init__(message, returncode, stderr_tail)
        self.message = message
        self.returncode = returncode
        self.stderr_tail = stderr_tail

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


def refusal(ended: WorkerError | None, closing: bool) -> WorkerError | None:
    """Why a worker takes no more requests (it has ended, or it is closing),
    or None while it does."""
    if ended is not None:
        return WorkerError(f"the worker has ended ({ended})", ended.returncode,
                           ended.stderr_tail)
    if closing:
        return WorkerError("the worker is closing; the request was not sent")
    return None


def worker_error(what: str, returncode: int | None, stderr_tail: tuple[str, ...]) -> WorkerError:
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
    return WorkerError(message, returncode, stderr_tail)
