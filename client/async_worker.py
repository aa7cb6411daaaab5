"""AsyncShellWorker: one worker process, driven from asyncio."""

from __future__ import annotations

import asyncio
import os
import signal
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import TypeVar

from . import grace_periods
from .async_process import WorkerProcess
from .errors import WorkerError, refusal, worker_error
from .request_lines import PROBE, QUIT_LINE, Request, exec_many_request, exec_request
from .response_lines import ProtocolFault
from .results import CommandResult
from .stderr_tail import StderrTail
from .worker_argv import checked_argv

T = TypeVar("T")


class AsyncShellWorker:
    """One worker process.  It starts on `async with` (or `await start()`)
    and answers before that returns; `exec` and `exec_many` run commands in
    it, one request at a time (tasks wait their turn); `close` ends it.

    Cancelling a call whose request is in flight sends the worker SIGTERM,
    which ends the command's whole process group and then the worker; the
    worker is reaped before the cancellation passes on.  A worker that was
    cancelled, died or broke the protocol is ended, and every later call
    raises WorkerError.
    """

    def __init__(self, argv: Sequence[str] | None = None, *,
                 env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike[str] | None = None) -> None:
        self._argv = checked_argv(argv)
        self._env = env
        self._cwd = cwd
        self._lock = asyncio.Lock()
        self._closing = False
        self._ended: WorkerError | None = None
        self._tail = StderrTail()
        self._process: WorkerProcess | None = None
        self._drain: asyncio.Task[None] | None = None

    @property
    def ended(self) -> bool:
        """Whether the worker has ended, so that a new one must take its place."""
        return self._ended is not None

    async def start(self) -> None:
        """Starts the worker and waits for its first answer."""
        if self._process is not None or self._ended is not None:
            raise RuntimeError("this worker has already been started")
        try:
            self._process = await WorkerProcess.start(self._argv, self._env, self._cwd)
        except BaseException as error:
            # asyncio has ended whatever it had started (when cancelled, say).
            self._ended = WorkerError(f"cannot start the worker {self._argv[0]!r}: {error}")
            if isinstance(error, OSError):
                raise WorkerError(self._ended.message) from error
            raise
        self._drain = asyncio.get_running_loop().create_task(self._drain_stderr(self._process))
        async with self._lock:
            await self._exchange(self._process, PROBE)

    async def exec(self, command: str, *, timeout: float = 30.0,
                   cwd: str | None = None) -> CommandResult:
        """Runs `command` through the worker's shell; `timeout` is the
        worker's limit for it, `cwd` its directory."""
        return await self._ask(exec_request(command, timeout, cwd))

    async def exec_many(self, commands: list[str] | tuple[str, ...], *, timeout: float = 30.0,
                        cwd: str | None = None) -> list[CommandResult]:
        """Runs each command in turn, `timeout` applying to each."""
        return await self._ask(exec_many_request(commands, timeout, cwd))

    async def close(self) -> None:
        """Lets the request in flight finish, fails the calls still waiting,
        then ends the worker: quit, SIGTERM, SIGKILL, each in its turn."""
        self._closing = True
        async with self._lock:
            if self._ended is None:
                process = self._process
                if process is None:
                    self._ended = WorkerError("the worker was closed before it started")
                    return
                await self._stop(process, quit_first=True)
                self._ended = WorkerError("the worker was closed", process.returncode,
                                          self._tail.lines())

    async def __aenter__(self) -> AsyncShellWorker:
        await self.start()
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    async def _ask(self, request: Request[T]) -> T:
        """Sends a request that has been checked already and reads its answer
        (how a pool hands its requests to its workers)."""
        async with self._lock:
            refused = refusal(self._ended, self._closing)
            if refused is not None:
                raise refused
            if self._process is None:
                raise WorkerError("the worker has not been started")
            return await self._exchange(self._process, request)

    async def _exchange(self, process: WorkerProcess, request: Request[T]) -> T:
        """Sends one request and reads its answer; the lock is held."""
        try:
            process.stdin.write(request.line)
            await process.stdin.drain()
            line = await process.stdout.readuntil(b"\n")
        except (ConnectionError, asyncio.IncompleteReadError):
            raise await self._silenced(process) from None
        except BaseException:
            # Cancelled mid-request (or interrupted): its answer could no
            # longer be told from the next one's.  SIGTERM ends the command's
            # process group, then the worker.
            await self._stop(process, quit_first=False)
            self._ended = WorkerError("the worker was ended when a request was cancelled or interrupted",
                                      process.returncode, self._tail.lines())
            raise
        try:
            return request.read_answer(line)
        except ProtocolFault as fault:
            await self._stop(process, quit_first=False)
            self._ended = worker_error(f"the worker broke the lock-step with {fault}",
                                       process.returncode, self._tail.lines())
            raise self._ended from None

    async def _silenced(self, process: WorkerProcess) -> WorkerError:
        """The worker's output ended without an answer: the error, once it
        has exited (or had a second to) and its last words are in."""
        returncode = None
        try:
            loop = asyncio.get_running_loop()
            deadline = loop.time() + grace_periods.AFTER_SILENCE
            returncode = await process.exited_within(grace_periods.AFTER_SILENCE)
            assert self._drain is not None
            await asyncio.wait([self._drain], timeout=max(0.0, deadline - loop.time()))
        finally:
            self._ended = worker_error("the worker ended without answering", returncode,
                                       self._tail.lines())
            await self._stop(process, quit_first=False)
        return self._ended

    async def _stop(self, process: WorkerProcess, *, quit_first: bool) -> None:
        """Ends the worker and reaps it.  Cancelled meanwhile, it kills the
        worker at once and passes the cancellation on."""
        try:
            if quit_first and process.returncode is None:
                try:
                    process.stdin.write(QUIT_LINE)
                    process.stdin.close()
                except (ConnectionError, RuntimeError):
                    pass
                await process.exited_within(grace_periods.AFTER_QUIT)
            if process.returncode is None:
                process.send_signal(signal.SIGTERM)
                if await process.exited_within(grace_periods.AFTER_TERM) is None:
                    process.send_signal(signal.SIGKILL)
                    await process.protocol.exit_seen.wait()
        except BaseException:
            process.send_signal(signal.SIGKILL)
            raise
        finally:
            process.close()
        if self._drain is not None:
            # The pipes are closed on this side now, so it ends at once.
            await asyncio.wait([self._drain])

    async def _drain_stderr(self, process: WorkerProcess) -> None:
        try:
            while chunk := await process.stderr.read(65536):
                self._tail.feed(chunk)
        except ConnectionError:
            pass
        finally:
            self._tail.finish()
