"""ShellWorkerPool: several workers, here or on other hosts, serving one
queue of requests first come, first served."""

from __future__ import annotations

import asyncio
import os
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import TypeVar

from .async_worker import AsyncShellWorker
from .errors import WorkerError
from .fifo_handoff import FifoHandoff
from .request_lines import Request, exec_many_request, exec_request
from .results import CommandResult
from .worker_argv import checked_argv

T = TypeVar("T")


class ShellWorkerPool:
    """`size` workers started from `argv` (by default as many as there are
    CPUs), or one per entry of `argvs`.  All of them start on `async with`
    (or `await start()`); each request runs on the next free worker, and
    requests beyond the pool's size wait in order.

    A worker that dies or is cancelled mid-request is replaced for the next
    request; the others are untouched.
    """

    def __init__(self, size: int | None = None, *, argv: Sequence[str] | None = None,
                 argvs: Sequence[Sequence[str]] | None = None,
                 env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike[str] | None = None) -> None:
        if size is not None:
            if isinstance(size, bool) or not isinstance(size, int):
                raise TypeError(f"size must be an int, not {type(size).__name__}")
            if size < 1:
                raise ValueError(f"size must be at least 1, not {size}")
        if argvs is not None:
            if argv is not None:
                raise ValueError("give argv (one command for every worker) or argvs "
                                 "(one per worker), not both")
            if isinstance(argvs, (str, bytes)):
                raise TypeError("argvs must be a list of argument lists")
            commands = [checked_argv(each) for each in argvs]
            if not commands:
                raise ValueError("argvs is empty: a pool needs at least one worker")
            if size is not None and size != len(commands):
                raise ValueError(f"size is {size} but argvs has {len(commands)} entries")
        else:
            count = (os.cpu_count() or 1) if size is None else size
            commands = [checked_argv(argv)] * count
        self._argvs = commands
        self._env = env
        self._cwd = cwd
        self._workers = [AsyncShellWorker(each, env=env, cwd=cwd) for each in commands]
        self._handoff = FifoHandoff(list(range(len(commands))))
        self._started = False
        self._closing = False
        self._busy = 0
        self._quiet = asyncio.Event()
        self._quiet.set()

    async def start(self) -> None:
        """Starts every worker.  If one cannot start, those that did are
        ended and its WorkerError passes on."""
        if self._started:
            raise RuntimeError("this pool has already been started")
        self._started = True
        try:
            outcomes = await asyncio.gather(*(worker.start() for worker in self._workers),
                                            return_exceptions=True)
        except BaseException:
            await self._give_up()
            raise
        for outcome in outcomes:
            if isinstance(outcome, BaseException):
                await self._give_up()
                raise outcome

    async def exec(self, command: str, *, timeout: float = 30.0,
                   cwd: str | None = None) -> CommandResult:
        """Runs `command` on the next free worker; as AsyncShellWorker.exec."""
        return await self._run(exec_request(command, timeout, cwd))

    async def exec_many(self, commands: list[str] | tuple[str, ...], *, timeout: float = 30.0,
                        cwd: str | None = None) -> list[CommandResult]:
        """Runs the commands in turn on the next free worker; as
        AsyncShellWorker.exec_many."""
        return await self._run(exec_many_request(commands, timeout, cwd))

    async def close(self) -> None:
        """Lets the requests in flight finish, fails those still waiting, then
        ends every worker: quit, SIGTERM, SIGKILL, each in its turn."""
        if not self._closing:
            self._closing = True
            self._handoff.fail_waiting(
                lambda: WorkerError("the pool was closed; the request was not sent"))
        await self._quiet.wait()
        await self._end_workers()

    async def __aenter__(self) -> ShellWorkerPool:
        await self.start()
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    async def _run(self, request: Request[T]) -> T:
        if self._closing:
            raise WorkerError("the pool is closed")
        if not self._started:
            raise WorkerError("the pool has not been started")
        slot = await self._handoff.take()
        if self._closing:
            # Handed a worker just as close() began: it was still waiting.
            self._handoff.give(slot)
            raise WorkerError("the pool was closed; the request was not sent")
        self._busy += 1
        self._quiet.clear()
        try:
            worker = self._workers[slot]
            if worker.ended:
                # Its predecessor died or was cancelled: a new one, in its place.
                worker = self._workers[slot] = AsyncShellWorker(
                    self._argvs[slot], env=self._env, cwd=self._cwd)
                await worker.start()
            return await worker._ask(request)
        finally:
            self._busy -= 1
            if self._busy == 0:
                self._quiet.set()
            self._handoff.give(slot)

    async def _give_up(self) -> None:
        """A failed start: the pool takes no requests, and no worker is left."""
        self._closing = True
        await self._end_workers()

    async def _end_workers(self) -> None:
        await asyncio.gather(*(worker.close() for worker in self._workers))
