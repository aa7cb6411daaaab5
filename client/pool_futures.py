"""The Future a ShellWorkerPool hands out: as concurrent.futures' own, but
one that is cancelled while it runs ends its command, and one whose caller
is interrupted while waiting for it ends its command too, rather than leave
it running to its limit for nobody."""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import Future
from typing import Any, TypeVar

T = TypeVar("T")

# concurrent.futures' states, as its Future keeps them.
_RUNNING = "RUNNING"
_CANCELLED_AND_NOTIFIED = "CANCELLED_AND_NOTIFIED"


class PoolFuture(Future[T]):
    """`end` ends the command of the running request whose Future it is
    given, through its worker."""

    def __init__(self, end: Callable[[Future[Any]], None]) -> None:
        super().__init__()
        self._end = end

    def cancel(self) -> bool:
        """Cancels the request, whether it waits or runs: a running one's
        worker is ended, with its command, and the pool starts another in
        its place.  False only once the request has its outcome."""
        with self._condition:
            if self._state != _RUNNING:
                return super().cancel()
            # As set_running_or_notify_cancel() does for a waiting request,
            # so that wait() and as_completed() see it done.
            self._state = _CANCELLED_AND_NOTIFIED
            for waiter in self._waiters:
                waiter.add_cancelled(self)
            self._condition.notify_all()
        self._end(self)
        self._invoke_callbacks()  # type: ignore[attr-defined]
        return True

    def withdraw(self) -> bool:
        """Cancels the request only if it has not started, as
        concurrent.futures' Future.cancel() does."""
        return super().cancel()

    def result(self, timeout: float | None = None) -> T:
        """As Future.result(); interrupted meanwhile (KeyboardInterrupt), it
        cancels the request, ending its command if it runs."""
        try:
            return super().result(timeout)
        except Exception:  # the request's own error, a time-out, a cancellation
            raise
        except BaseException:
            self.cancel()
            raise

