"""AsyncShellWorkerPool: several workers, here or on other hosts, serving
one queue of requests first come, first served, from asyncio."""

from __future__ import annotations

import asyncio
import os
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from typing import TypeVar

from . import forks, leftovers
from .async_connection import AsyncConnection, call_in_loop, check_loop, in_loop
from .commands import AsyncCommands
from .errors import WorkerError
from .pool_front import PoolFront
from .pool_slots import (IS_CLOSED, WAS_CLOSED, WAS_KILLED, Place, PoolState,
                         every_place_failing, start_failures)
from .request_lines import Request
from .worker_process import end_all

T = TypeVar("T")


class AsyncShellWorkerPool(AsyncCommands, PoolFront):
    """`size` workers started from `argv` (by default as many as there are
    CPUs), or one per entry of `argvs`.  All of them start on `async with`
    (or `await start()`); each request runs on the next free worker, and
    requests beyond the pool's size wait in order.  It belongs to the event
    loop it started in.

    A worker that dies or is cancelled mid-request is replaced in the
    background, and so is one that dies idle, without failing anyone; a
    request that never reached a live worker goes to another.  A worker that
    cannot start is tried again with a growing delay and serves nothing
    meanwhile; when none can, requests raise WorkerError at once.
    """

    def _open(self, argvs: list[list[str]], env: Mapping[str, str] | None,
              cwd: str | os.PathLike[str] | None, start_timeout: float | None,
              allow_preamble: bool) -> None:
        self._pool = _Pool(argvs, env, cwd, start_timeout, allow_preamble)
        self._finalizer: leftovers.Finalizer | None = None

    async def start(self) -> None:
        """Starts every worker.  If any cannot start, those that did are
        ended and an ExceptionGroup holds the WorkerError of each that did not."""
        if self._finalizer is not None:
            raise RuntimeError("this pool has already been started")
        self._finalizer = leftovers.watch(self, self._pool.abandoned, "AsyncShellWorkerPool")
        await self._pool.start()

    async def close(self, timeout: float | None = None) -> None:
        """Lets the requests in flight finish, fails those still waiting, then
        ends every worker: quit, SIGTERM, SIGKILL, each in its turn.  What has
        not ended after `timeout` seconds is killed, and so is every worker
        when the close itself is cancelled."""
        try:
            await self._pool.close(timeout)
        finally:
            if self._finalizer is not None:
                self._finalizer.detach()

    def kill(self) -> None:
        """Ends every worker, from any thread or task (as
        AsyncShellWorker.kill); requests in flight or waiting raise WorkerError."""
        self._pool.kill()

    async def _serve(self, request: Request[T]) -> T:
        return await self._pool.run(request)


class _Slot:
    def __init__(self, place: Place, connection: AsyncConnection) -> None:
        self.place = place
        self.connection = connection


class _Pool(PoolState):
    """The pool's state, held by its tasks and callbacks (never the pool
    that users hold, so that a lost pool can be collected)."""

    def __init__(self, argvs: list[list[str]], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None, start_timeout: float | None,
                 allow_preamble: bool) -> None:
        super().__init__(argvs, env, cwd, start_timeout, allow_preamble)
        self.slots = [_Slot(place, self._connection(place)) for place in self.places]
        self.free: deque[_Slot] = deque()
        self.waiters: deque[asyncio.Future[_Slot]] = deque()
        self.restarts: set[asyncio.Task[None]] = set()
        self.loop: asyncio.AbstractEventLoop | None = None
        self.closing = False
        self.busy = 0
        self.quiet = asyncio.Event()
        self.quiet.set()

    def _connection(self, place: Place) -> AsyncConnection:
        connection = AsyncConnection(place.argv, self.env, self.cwd, "AsyncShellWorkerPool",
                                     start_timeout=self.start_timeout,
                                     allow_preamble=self.allow_preamble)
        # Bound to the state, not to the connection: a connection never
        # holds what holds it.
        connection.on_trouble = lambda: self.idle_trouble(place.index)
        return connection

    def check_loop(self) -> None:
        if self.foreign():
            raise WorkerError(forks.foreign_text("pool", None), sent=False)
        check_loop(self.loop, "AsyncShellWorkerPool")

    async def start(self) -> None:
        self.loop = asyncio.get_running_loop()
        try:
            outcomes = await asyncio.gather(*(slot.connection.start() for slot in self.slots),
                                            return_exceptions=True)
        except BaseException:
            self.kill(wait=True)
            raise
        failures = [outcome for outcome in outcomes if isinstance(outcome, BaseException)]
        if failures:
            self.closing = True
            await asyncio.gather(*(slot.connection.close() for slot in self.slots))
            for failure in failures:
                if not isinstance(failure, Exception):
                    raise failure
            group = start_failures(self.places, [outcome if isinstance(outcome, BaseException)
                                                 else None for outcome in outcomes])
            assert group is not None
            raise group
        self.free.extend(self.slots)

    async def run(self, request: Request[T]) -> T:
        self.check_loop()
        if self.closing:
            raise WorkerError(IS_CLOSED, sent=False)
        if self.loop is None:
            raise WorkerError("the pool has not been started", sent=False)
        first = False
        while True:
            slot = self.take_free(first) or await self.take(first)
            self.busy += 1
            self.quiet.clear()
            try:
                return await slot.connection.ask(request)
            except WorkerError as error:
                if error.sent or self.closing:
                    raise
                first = True  # it reached no live worker: the next one takes it, first
            finally:
                self.busy -= 1
                if not self.busy:
                    self.quiet.set()
                self.give(slot)

    def take_free(self, first: bool) -> _Slot | None:
        """A free worker when one may be taken now (without a coroutine's
        cost, on every request); None when take() must wait for one."""
        failing = every_place_failing(self.places)
        if failing is not None:
            raise failing
        if self.free and (first or not self.waiters):
            return self.free.popleft()
        return None

    async def take(self, first: bool) -> _Slot:
        slot = self.take_free(first)
        if slot is not None:
            return slot
        assert self.loop is not None
        waiter: asyncio.Future[_Slot] = self.loop.create_future()
        if first:
            self.waiters.appendleft(waiter)
        else:
            self.waiters.append(waiter)
        try:
            return await waiter
        except BaseException:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                # Handed a worker just as this request was cancelled: the next takes it.
                self.give(waiter.result())
            elif waiter in self.waiters:
                self.waiters.remove(waiter)
            raise

    def give(self, slot: _Slot) -> None:
        if self.closing:
            return
        if not slot.connection.usable:
            self.restart(slot)
            return
        while self.waiters:
            waiter = self.waiters.popleft()
            if not waiter.done():
                waiter.set_result(slot)
                return
        self.free.append(slot)

    def idle_trouble(self, index: int) -> None:
        slot = self.slots[index]
        if slot in self.free:
            self.free.remove(slot)
            self.restart(slot)

    def restart(self, slot: _Slot) -> None:
        assert self.loop is not None
        task = self.loop.create_task(self._restart(slot))
        self.restarts.add(task)
        task.add_done_callback(self.restarts.discard)

    async def _restart(self, slot: _Slot) -> None:
        await slot.connection.discard()
        while not self.closing:
            slot.connection = self._connection(slot.place)
            try:
                await slot.connection.start()
            except WorkerError as error:
                delay = slot.place.failed(error)
                self.fail_waiters(lambda: every_place_failing(self.places))
                await asyncio.sleep(delay)
                continue
            slot.place.started()
            self.give(slot)
            return

    def fail_waiters(self, error: Callable[[], WorkerError | None]) -> None:
        """Every request still waiting raises a fresh `error()`, if it gives one."""
        while self.waiters and (exception := error()) is not None:
            waiter = self.waiters.popleft()
            if not waiter.done():
                waiter.set_exception(exception)

    async def close(self, timeout: float | None) -> None:
        if self.foreign():
            return
        self.check_loop()
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        self.closing = True
        self.fail_waiters(lambda: WorkerError(WAS_CLOSED, sent=False))
        try:
            for task in list(self.restarts):
                task.cancel()
            await asyncio.gather(*self.restarts, return_exceptions=True)
            try:
                async with asyncio.timeout_at(deadline):
                    await self.quiet.wait()
            except TimeoutError:
                self.kill()
            remaining = None if deadline is None else max(0.0, deadline - loop.time())
            await asyncio.gather(*(slot.connection.close(remaining) for slot in self.slots))
        except BaseException:
            self.kill(wait=True)  # before the cancellation passes on
            raise

    def kill(self, wait: bool = False) -> None:
        """As AsyncConnection.kill for every worker; with `wait`, returns
        once they have ended wherever it is called from."""
        if self.foreign():
            return
        self.closing = True
        if wait or self.loop is None or not in_loop(self.loop):
            # Marked first, so that a request in flight says why its worker ended.
            end_all(process for slot in self.slots
                    if (process := slot.connection.doomed()) is not None)
        # Otherwise each is ended by its own flow or task in the loop.
        for slot in self.slots:
            slot.connection.kill()
        call_in_loop(self.loop, self._after_kill)

    def _after_kill(self) -> None:
        self.fail_waiters(lambda: WorkerError(WAS_KILLED, sent=False))
        for task in self.restarts:
            task.cancel()

    def abandoned(self) -> list[leftovers.Leftover]:
        if self.foreign():
            return []
        self.closing = True
        return [leftover for slot in self.slots for leftover in slot.connection.abandoned()]
