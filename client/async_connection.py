"""The asyncio shell: waits by awaiting, in the event loop it started in.

The worker's pipes are read by the loop's own readers, and its exit is seen
through a pidfd, so no task needs to run for either; the callbacks hold this
connection and never the object that users hold."""

from __future__ import annotations

import asyncio
import os
import signal
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar

from .connection import Connection, Done, Flow, Wait, advance
from .protocol import KILLED
from .request_lines import Request
from .worker_process import WorkerProcess

T = TypeVar("T")


class AsyncConnection(Connection):
    """One worker of one event loop.  `on_trouble` is called (in the loop)
    when the worker dies or speaks unasked between requests."""

    def __init__(self, argv: Sequence[str], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None, owner: str,
                 on_trouble: Callable[[], None] | None = None,
                 start_timeout: float | None = None, allow_preamble: bool = True) -> None:
        super().__init__(argv, env, cwd, start_timeout, allow_preamble)
        self.owner = owner
        self.on_trouble = on_trouble
        self.loop: asyncio.AbstractEventLoop | None = None
        self._lock = asyncio.Lock()
        self._waiter: asyncio.Future[None] | None = None
        self._exit: asyncio.Future[None] | None = None
        self._stderr_end: asyncio.Future[None] | None = None
        self._ending: asyncio.Task[None] | None = None

    def check_loop(self) -> None:
        self.refuse_foreign()
        check_loop(self.loop, self.owner)

    async def start(self) -> None:
        self.loop = asyncio.get_running_loop()
        async with self._lock:
            await self._run(self.starting())

    def watch(self, process: WorkerProcess) -> None:
        loop = self.loop
        assert loop is not None
        self._exit = loop.create_future()
        self._stderr_end = loop.create_future()
        os.set_blocking(process.stderr, False)
        loop.add_reader(process.stdout, self._on_output)
        loop.add_reader(process.stderr, self._on_stderr)
        if process.pidfd is not None:
            loop.add_reader(process.pidfd, self._on_exit)

    def release(self) -> None:
        process, loop = self.process, self.loop
        if process is None or loop is None:
            return
        if not loop.is_closed():
            for fd in (process.stdout, process.pidfd):
                if fd is not None:
                    loop.remove_reader(fd)
            loop.remove_writer(process.stdin)
        else:
            process.close_stderr()  # its reader will never see the end
        process.close_pipes()

    def release_from_anywhere(self) -> None:
        if not call_in_loop(self.loop, self.release):
            self.release()  # its loop is closed: nothing of it is left to touch

    async def ask(self, request: Request[T]) -> T:
        self.check_loop()
        async with self._lock:
            return await self._run(self.exchange(request))

    async def discard(self) -> None:
        async with self._lock:
            await self._run(self.discarding())

    def kill(self) -> None:
        """Ends the worker now, from any thread or task: SIGTERM to its
        group, SIGKILL after AFTER_TERM.  Called in its own running loop it
        returns at once, and the loop waits for the end, so that a transport
        that ignores SIGTERM never stalls it; called from anywhere else, it
        returns once the worker has ended.  A request in flight raises
        WorkerError."""
        if self.loop is None or not in_loop(self.loop):
            self.end_now()
            return
        if self.foreign():
            return
        process = self.doomed()
        if process is None:
            return
        process.signal(signal.SIGTERM)
        self._killed()

    def end_now(self) -> None:
        """Ends the worker, waiting here until it has ended."""
        if self.foreign():
            return
        process = self.doomed()
        if process is None:
            return
        process.end_now()
        if not call_in_loop(self.loop, self._killed):
            self._end_killed()  # its loop is closed: no one can be waiting in it

    async def close(self, timeout: float | None = None) -> None:
        """Lets the request in flight finish, then ends the worker: quit,
        SIGTERM, SIGKILL, each in its turn; after `timeout` seconds in all,
        kill() instead.  Cancelled meanwhile, it kills the worker before the
        cancellation passes on."""
        if self.foreign():
            return
        self.check_loop()
        self.core.closing = True
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        try:
            try:
                async with asyncio.timeout_at(deadline):
                    await self._lock.acquire()
            except TimeoutError:
                self.kill()
                await self._lock.acquire()
            try:
                await self._run(self.closed(None if deadline is None else deadline - loop.time()))
            finally:
                self._lock.release()
        except BaseException:
            if self.core.ended is None:
                self.end_now()  # before the cancellation passes on
            raise

    def _killed(self) -> None:
        if self._waiter is not None:
            self._news()  # the request in flight ends the worker and raises
        elif not self._lock.locked() and self._ending is None and self.core.ended is None:
            # Ended now for whoever asks; its process is waited for by a task.
            assert self.loop is not None
            self.core.end(KILLED, None, (), plain=True)
            self._ending = self.loop.create_task(self._run(self.ending()))

    def _end_killed(self) -> None:
        if self.core.ended is None and self.process is not None:
            self.core.end(KILLED, self.process.reap(), self.tail.lines())
            self.release()

    async def _run(self, flow: Flow[T]) -> T:
        try:
            step = advance(flow, None)
            while not isinstance(step, Done):
                try:
                    await self._wait(*step)
                except BaseException as error:  # cancelled: the flow ends the worker
                    step = advance(flow, error)
                else:
                    step = advance(flow, None)
            return step.value
        finally:
            # Left early (an exception raised here rather than in a wait):
            # the flow ends the worker now, not when it is collected.
            flow.close()

    async def _wait(self, kind: Wait, seconds: float | None) -> None:
        loop, process = self.loop, self.process
        assert loop is not None and process is not None
        if kind is Wait.OUTPUT:
            self._waiter = waiter = loop.create_future()
            try:
                if seconds is None:
                    await waiter
                else:
                    await asyncio.wait([waiter], timeout=seconds)
            finally:
                self._waiter = None
        elif kind is Wait.INPUT:
            room = loop.create_future()
            loop.add_writer(process.stdin, _settle, room)
            try:
                await room
            finally:
                loop.remove_writer(process.stdin)
        elif kind is Wait.EXIT and process.pidfd is None:
            await _poll_exit(process, seconds)
        else:
            end = self._exit if kind is Wait.EXIT else self._stderr_end
            assert end is not None
            if not end.done():
                await asyncio.wait([end], timeout=seconds)

    def _news(self) -> None:
        waiter = self._waiter
        if waiter is not None:
            if not waiter.done():
                waiter.set_result(None)
        elif self.core.trouble is not None and not self.core.closing and self.on_trouble:
            self.on_trouble()

    def _on_output(self) -> None:
        process = self.process
        assert process is not None and self.loop is not None
        data = process.read_output()
        if data is None:
            return
        if not data:
            self.loop.remove_reader(process.stdout)
        if self.core.receive_data(data):
            self._news()

    def _on_exit(self) -> None:
        process = self.process
        assert process is not None and process.pidfd is not None and self.loop is not None
        self.loop.remove_reader(process.pidfd)
        _settle(self._exit)
        if self.core.ended is None:
            self.core.exited(process.read_available())
            self._news()

    def _on_stderr(self) -> None:
        process = self.process
        assert process is not None and self.loop is not None
        try:
            chunk = os.read(process.stderr, 65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if chunk:
            self.tail.feed(chunk)
            return
        self.loop.remove_reader(process.stderr)
        self.tail.finish()
        process.close_stderr()
        _settle(self._stderr_end)


def check_loop(own: asyncio.AbstractEventLoop | None, owner: str) -> None:
    """Raises RuntimeError unless called from `own`, the loop that `owner`
    started in (or before it started)."""
    loop = asyncio.get_running_loop()
    if own is not None and loop is not own:
        raise RuntimeError(
            f"this {owner} belongs to the event loop it started in ({own!r}), not to "
            f"{loop!r}: an asyncio object can only be used in its own loop (a session-scoped "
            "fixture used from another loop, say); kill() ends it from anywhere")


def in_loop(loop: asyncio.AbstractEventLoop) -> bool:
    """Whether this is called from `loop`, running."""
    try:
        return asyncio.get_running_loop() is loop
    except RuntimeError:
        return False


def call_in_loop(loop: asyncio.AbstractEventLoop | None,
                 callback: Callable[[], None]) -> bool:
    """Calls `callback` in `loop`: now when called from it, else soon, from
    whichever thread.  False when the loop is closed (or there is none)."""
    if loop is None:
        return False
    if in_loop(loop):
        callback()
        return True
    try:
        loop.call_soon_threadsafe(callback)
    except RuntimeError:
        return False
    return True


def _settle(future: asyncio.Future[Any] | None) -> None:
    if future is not None and not future.done():
        future.set_result(None)


async def _poll_exit(process: WorkerProcess, seconds: float | None) -> None:
    """Without a pidfd: looks at the exit at growing intervals."""
    loop = asyncio.get_running_loop()
    deadline = None if seconds is None else loop.time() + seconds
    delay = 0.001
    while not process.has_exited() and (deadline is None or loop.time() < deadline):
        await asyncio.sleep(delay)
        delay = min(delay * 2, 0.05)

