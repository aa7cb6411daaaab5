"""The synchronous shell: waits by blocking, on the caller's thread."""

from __future__ import annotations

import math
import os
import select
import threading
import time
import weakref
from collections.abc import Mapping, Sequence
from typing import TypeVar

from . import forks
from .connection import Connection, Flow, Wait
from .request_lines import Request
from .stderr_tail import StderrTail
from .worker_process import WorkerProcess

T = TypeVar("T")


class SyncConnection(Connection):
    """One worker, serving one caller at a time from any thread once
    start() has returned.  kill() may come from any thread, during the start
    too: a wake-up pipe gets the caller in flight out of its wait."""

    def __init__(self, argv: Sequence[str], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None, start_timeout: float | None = None,
                 allow_preamble: bool = True) -> None:
        super().__init__(argv, env, cwd, start_timeout, allow_preamble)
        self.lock = threading.Lock()
        self._wake_out, self._wake_in = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        # Not closed at exit, where kill() may still wake a waiter.
        weakref.finalize(self, _close_all, self._wake_out, self._wake_in).atexit = False
        self._drain: threading.Thread | None = None
        self._poller = select.poll()
        # The worker's exit and wake(), for a pool's thread to watch an idle
        # worker by without its lock (None: only a look at its output will do).
        self._exit_poller: select.poll | None = None

    def start(self) -> None:
        """Starts the worker and waits for its first answer.  However it
        fails, interrupted included, nothing of it is left running."""
        with self.lock:
            try:
                self._run(self.starting())
            except BaseException:
                process = self.process
                if process is not None and self.core.ended is None:
                    process.end_now()
                    self.release()
                raise

    def watch(self, process: WorkerProcess) -> None:
        for fd in (process.stdout, process.pidfd, self._wake_out):
            if fd is not None:
                self._poller.register(fd, select.POLLIN)
        if process.pidfd is not None:
            self._exit_poller = select.poll()
            self._exit_poller.register(process.pidfd, select.POLLIN)
            self._exit_poller.register(self._wake_out, select.POLLIN)
        # A pipe that nobody reads fills up, and then the worker blocks on it.
        # The thread holds the pipe and the tail, never this connection.
        self._drain = threading.Thread(target=_drain, args=(process, self.tail), daemon=True,
                                       name=f"stderr of shell worker {process.pid}")
        self._drain.start()

    def release(self) -> None:
        process = self.process
        if process is not None:
            for poller, fd in ((self._poller, process.stdout), (self._poller, process.pidfd),
                               (self._exit_poller, process.pidfd)):
                if poller is not None and fd is not None:
                    try:
                        poller.unregister(fd)
                    except KeyError:  # released already
                        pass
            process.close_pipes()

    def ask(self, request: Request[T]) -> T:
        # Before the lock, which a fork may have copied held.
        if self.generation != forks.generation:
            self.refuse_foreign()
        with self.lock:
            return self._run(self.exchange(request))

    def wake(self) -> None:
        """Gets whoever waits on this worker out of the wait (it then looks
        at the worker's state)."""
        try:
            os.write(self._wake_in, b"!")
        except OSError:  # full already, which is as good
            pass

    @property
    def lendable(self) -> bool:
        """Whether watch_idle() leaves the worker free for ask() from
        another thread meanwhile."""
        return self._exit_poller is not None

    def watch_idle(self) -> None:
        """Waits, between requests, until the worker exits or wake() is
        called; without its exit to watch, until it says anything (between
        requests, it can only be trouble).  Watching its exit takes no lock,
        so that another thread may ask() meanwhile, and that thread's
        answers wake nobody here."""
        if self._exit_poller is not None and self.usable:
            self._exit_poller.poll()
            seconds: float | None = 0.0  # whatever happened, it is there to see now
        else:
            seconds = None
        with self.lock:
            if self.usable:
                self._wait(Wait.OUTPUT, seconds)

    def kill(self) -> None:
        """Ends the worker now from any thread: SIGTERM to its group, SIGKILL
        after AFTER_TERM; a request in flight raises WorkerError, and a start
        in progress fails."""
        if self.foreign():
            return
        process = self.doomed()
        self.wake()
        if process is None:
            return
        process.end_now()
        self.wake()
        if self.lock.acquire(blocking=False):
            try:
                self._run(self.discarding())
            finally:
                self.lock.release()

    def close(self, timeout: float | None = None) -> None:
        """Lets the request in flight finish, then ends the worker: quit,
        SIGTERM, SIGKILL, each in its turn; after `timeout` seconds in all,
        kill() instead.  Interrupted meanwhile, it kills the worker before
        the interruption passes on."""
        if self.foreign():
            return
        try:
            self.core.closing = True
            deadline = None if timeout is None else time.monotonic() + timeout
            if not self.lock.acquire(timeout=-1 if timeout is None else max(0.0, timeout)):
                self.kill()
                self.lock.acquire()
            try:
                self._run(self.closed(None if deadline is None else deadline - time.monotonic()))
            finally:
                self.lock.release()
        except BaseException:
            if self.core.ended is None:
                self.kill()
            raise

    def discard(self) -> None:
        with self.lock:
            self._run(self.discarding())

    def _run(self, flow: Flow[T]) -> T:
        thrown: BaseException | None = None
        wait = self._wait
        try:
            while True:
                # advance() without its wrapping: this loop runs every request.
                try:
                    need = flow.send(None) if thrown is None else flow.throw(thrown)
                except StopIteration as done:
                    result: T = done.value
                    return result
                thrown = None
                try:
                    wait(*need)
                except BaseException as error:  # KeyboardInterrupt, say: the flow ends the worker
                    thrown = error
        finally:
            # Left early (an exception raised here rather than in a wait):
            # the flow ends the worker now, not when it is collected.
            flow.close()

    def _wait(self, kind: Wait, seconds: float | None) -> None:
        process = self.process
        assert process is not None
        if kind is Wait.OUTPUT:  # the wait of every request: first
            milliseconds = None if seconds is None else math.ceil(seconds * 1000)
            for fd, _ in self._poller.poll(milliseconds):
                if fd == process.stdout:
                    data = process.read_output()
                    if data is not None:
                        self.core.receive_data(data)
                elif fd == process.pidfd:
                    self.core.exited(process.read_available())
                else:
                    self._take_wake()
        elif kind is Wait.EXIT:
            process.wait_exit(seconds)
        elif kind is Wait.LAST_WORDS:
            assert self._drain is not None
            self._drain.join(seconds)
        else:
            room = select.poll()
            room.register(self._wake_out, select.POLLIN)
            room.register(process.stdin, select.POLLOUT)
            room.poll()
            self._take_wake()

    def _take_wake(self) -> None:
        try:
            os.read(self._wake_out, 64)
        except BlockingIOError:
            pass


def _drain(process: WorkerProcess, tail: StderrTail) -> None:
    try:
        while chunk := os.read(process.stderr, 65536):
            tail.feed(chunk)
    except (OSError, ValueError):
        pass
    finally:
        tail.finish()
        process.close_stderr()


def _close_all(*fds: int) -> None:
    for fd in fds:
        os.close(fd)
