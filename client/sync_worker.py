"""ShellWorker: one worker process, driven from ordinary (threaded) code."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TypeVar

from . import leftovers
from .commands import Commands
from .one_worker import OneWorker
from .request_lines import Request
from .sync_connection import SyncConnection
from .worker_argv import checked_argv, checked_start_timeout

T = TypeVar("T")


class ShellWorker(Commands, OneWorker):
    """One worker process.  The constructor starts it and waits for it to
    answer; `exec` and `exec_many` run commands in it, one request at a time
    (calls from several threads wait their turn); `close` ends it, `kill`
    ends it at once from any thread.

    `start_timeout` (seconds, None: no limit) bounds the start and the
    worker's first answer.  Lines that the transport prints before that
    answer (a login banner) are kept as `preamble`, up to 100 lines or
    64 KiB; `allow_preamble=False` makes any of them fail the start.

    A worker that dies, breaks the protocol, is killed or is interrupted
    mid-request (KeyboardInterrupt) is ended, and every later call raises
    WorkerError.  One that is never closed is ended when it is collected,
    with a ResourceWarning, or at the latest when the interpreter exits.
    After a fork, the worker is the parent's alone: in the child, a call
    raises WorkerError, and close, kill, collection and exit leave it alone.
    """

    _connection: SyncConnection

    def __init__(self, argv: Sequence[str] | None = None, *,
                 env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike[str] | None = None,
                 start_timeout: float | None = None, allow_preamble: bool = True) -> None:
        self._connection = SyncConnection(checked_argv(argv), env, cwd,
                                          checked_start_timeout(start_timeout), allow_preamble)
        self._finalizer = leftovers.watch(self, self._connection.abandoned, "ShellWorker")
        try:
            self._connection.start()
        except BaseException:
            self._finalizer.detach()  # nothing of it is left running
            raise

    def close(self, timeout: float | None = None) -> None:
        """Lets the request in flight finish, fails the calls still waiting,
        then ends the worker: quit, SIGTERM, SIGKILL, each in its turn.  What
        has not ended after `timeout` seconds is killed, and so is the worker
        when the close itself is interrupted.  In a forked child, the
        parent's worker is left alone."""
        self._connection.close(timeout)
        self._finalizer.detach()

    def kill(self) -> None:
        """Ends the worker at once, from any thread: SIGTERM to its process
        group (the worker ends its command's group first), SIGKILL if it is
        still there after AFTER_TERM.  A call in flight raises WorkerError."""
        self._connection.kill()

    def _serve(self, request: Request[T]) -> T:
        return self._connection.ask(request)
