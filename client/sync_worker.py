"""ShellWorker: one worker process, driven from ordinary (threaded) code."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TypeVar

from . import leftovers
from .commands import Commands
from .request_lines import Request
from .sync_connection import SyncConnection
from .worker_argv import checked_argv

T = TypeVar("T")


class ShellWorker(Commands):
    """One worker process.  The constructor starts it and waits for it to
    answer; `exec` and `exec_many` run commands in it, one request at a time
    (calls from several threads wait their turn); `close` ends it, `kill`
    ends it at once from any thread.

    A worker that dies, breaks the protocol, is killed or is interrupted
    mid-request (KeyboardInterrupt) is ended, and every later call raises
    WorkerError.  One that is never closed is ended when it is collected,
    with a ResourceWarning, or at the latest when the interpreter exits.
    """

    def __init__(self, argv: Sequence[str] | None = None, *,
                 env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike[str] | None = None) -> None:
        self._connection = SyncConnection(checked_argv(argv), env, cwd)
        process = self._connection.process
        assert process is not None
        self._finalizer = leftovers.watch(self, self._connection.abandoned,
                                          f"ShellWorker (pid {process.pid})")

    @property
    def ended(self) -> bool:
        """Whether the worker has ended, so that a new one must take its place."""
        return self._connection.core.ended is not None

    def close(self, timeout: float | None = None) -> None:
        """Lets the request in flight finish, fails the calls still waiting,
        then ends the worker: quit, SIGTERM, SIGKILL, each in its turn.  What
        has not ended after `timeout` seconds is killed."""
        try:
            self._connection.close(timeout)
        finally:
            self._finalizer.detach()

    def kill(self) -> None:
        """Ends the worker at once, from any thread: SIGTERM to its process
        group (the worker ends its command's group first), SIGKILL if it is
        still there after AFTER_TERM.  A call in flight raises WorkerError."""
        self._connection.kill()

    def _serve(self, request: Request[T]) -> T:
        return self._connection.ask(request)
