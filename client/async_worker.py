"""AsyncShellWorker: one worker process, driven from asyncio."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TypeVar

from . import leftovers
from .async_connection import AsyncConnection
from .commands import AsyncCommands
from .one_worker import OneWorker
from .request_lines import Request
from .worker_argv import checked_argv, checked_start_timeout

T = TypeVar("T")


class AsyncShellWorker(AsyncCommands, OneWorker):
    """One worker process.  It starts on `async with` (or `await start()`)
    and answers before that returns; `exec` and `exec_many` run commands in
    it, one request at a time (tasks wait their turn); `close` ends it, and
    `kill` ends it at once from any thread or task.  It belongs to the event
    loop it started in: another loop gets a RuntimeError.

    Cancelling a call whose request is in flight sends the worker's process
    group SIGTERM, which ends the command's whole process group and then the
    worker; the worker is reaped before the cancellation passes on.  A worker
    that was cancelled, died, broke the protocol or was killed is ended, and
    every later call raises WorkerError.  `start_timeout`,
    `allow_preamble`, `preamble` and forks: as for ShellWorker.
    """

    _connection: AsyncConnection

    def __init__(self, argv: Sequence[str] | None = None, *,
                 env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike[str] | None = None,
                 start_timeout: float | None = None, allow_preamble: bool = True) -> None:
        self._connection = AsyncConnection(checked_argv(argv), env, cwd, "AsyncShellWorker",
                                           start_timeout=checked_start_timeout(start_timeout),
                                           allow_preamble=allow_preamble)
        self._finalizer: leftovers.Finalizer | None = None

    async def start(self) -> None:
        """Starts the worker and waits for its first answer."""
        if self._finalizer is not None or self.ended:
            raise RuntimeError("this worker has already been started")
        self._finalizer = leftovers.watch(self, self._connection.abandoned, "AsyncShellWorker")
        await self._connection.start()

    async def close(self, timeout: float | None = None) -> None:
        """Lets the request in flight finish, fails the calls still waiting,
        then ends the worker: quit, SIGTERM, SIGKILL, each in its turn.  What
        has not ended after `timeout` seconds is killed, and so is the worker
        when the close itself is cancelled."""
        try:
            await self._connection.close(timeout)
        finally:
            if self._finalizer is not None and self.ended:
                self._finalizer.detach()

    def kill(self) -> None:
        """Ends the worker from any thread or task: SIGTERM to its process
        group (the worker ends its command's group first), SIGKILL if it is
        still there after AFTER_TERM.  In its own event loop it returns at
        once and the loop waits for the end; from elsewhere it returns once
        the worker has ended.  A call in flight raises WorkerError."""
        self._connection.kill()

    async def _serve(self, request: Request[T]) -> T:
        return await self._connection.ask(request)
