"""ShellWorkerPool: several workers, here or on other hosts, serving one
queue of requests first come, first served, from ordinary (threaded) code."""

from __future__ import annotations

import os
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Future, InvalidStateError
from types import TracebackType
from typing import Any, TypeVar

from . import forks, leftovers
from .commands import Commands
from .errors import WorkerError
from .pool_futures import PoolFuture
from .pool_front import PoolFront
from .pool_slots import (IS_CLOSED, WAS_CLOSED, WAS_KILLED, Place, PoolState,
                         every_place_failing, start_failures)
from .request_lines import Command, Environment, PathName, Request, exec_request
from .results import CommandResult
from .sync_connection import SyncConnection
from .worker_process import end_all

T = TypeVar("T")


class ShellWorkerPool(Commands, PoolFront):
    """`size` workers started from `argv` (by default as many as there are
    CPUs), or one per entry of `argvs`, each served by a thread of its own.
    The constructor starts them all; `exec` and `exec_many` wait for the next
    free worker, `submit` and `map` return at once, in the manner of
    concurrent.futures.  Requests are served first come, first served.

    As an executor's: `shutdown` (and leaving a `with` block) lets every
    request run, then ends the workers.  A Future cancelled while its
    request runs ends that command through its worker, and a new worker
    takes its place; an interrupt (KeyboardInterrupt) in `exec`, `map` or
    `Future.result()` ends the commands that the call started.

    A worker that dies mid-request is replaced in the background, and so is
    one that dies idle, without failing anyone; a request that never reached
    a live worker goes to another.  A worker that cannot start is tried again
    with a growing delay and serves nothing meanwhile; when none can,
    requests raise WorkerError at once.
    """

    def _open(self, argvs: list[list[str]], env: Mapping[str, str] | None,
              cwd: str | os.PathLike[str] | None, start_timeout: float | None,
              allow_preamble: bool) -> None:
        self._pool = _Pool(argvs, env, cwd, start_timeout, allow_preamble)
        self._finalizer = leftovers.watch(self, self._pool.abandoned, "ShellWorkerPool")
        try:
            self._pool.start()
        except BaseException:
            self._finalizer.detach()
            raise

    def submit(self, command: Command, *, timeout: float | None = 30.0,
               cwd: PathName | None = None, check: bool = False,
               env: Environment | None = None) -> PoolFuture[CommandResult]:
        """Queues `command` (as for exec) and returns its Future at once."""
        return self._pool.submit(exec_request(command, timeout, cwd, check, env))

    def map(self, commands: Iterable[Command], *, timeout: float | None = 30.0,
            cwd: PathName | None = None, check: bool = False,
            env: Environment | None = None) -> Iterator[CommandResult]:
        """Queues every command at once and yields their results in order;
        the commands not yet started are cancelled when the iteration stops
        early."""
        futures = [self.submit(command, timeout=timeout, cwd=cwd, check=check, env=env)
                   for command in commands]

        def results() -> Iterator[CommandResult]:
            try:
                for future in futures:
                    yield future.result()
            except (GeneratorExit, Exception):  # stopped early: what runs may finish
                for future in futures:
                    future.withdraw()
                raise
            except BaseException:  # interrupted: none of it is wanted
                for future in futures:
                    future.cancel()
                raise
        return results()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """As Executor.shutdown: takes no more requests, lets those queued
        run (or, with `cancel_futures`, cancels those not yet started), then
        ends the workers once the last is done; with `wait`, returns then.
        Interrupted while it waits, it kills every worker."""
        try:
            self._pool.shutdown(cancel_futures)
            if wait:
                self._pool.join()
                self._pool.close(None)
        except BaseException:
            if wait:  # the shutdown's first step included
                self._pool.kill()
            raise
        self._finalizer.detach()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.shutdown(wait=True)

    def close(self, timeout: float | None = None) -> None:
        """Lets the requests in flight finish, fails those still waiting, then
        ends every worker: quit, SIGTERM, SIGKILL, each in its turn.  What has
        not ended after `timeout` seconds is killed, and so is every worker
        when the close itself is interrupted."""
        try:
            self._pool.close(timeout)
        except BaseException:
            self._pool.kill()
            raise
        self._finalizer.detach()

    def kill(self) -> None:
        """Ends every worker at once, from any thread (as ShellWorker.kill);
        requests in flight or waiting raise WorkerError."""
        self._pool.kill()

    def _serve(self, request: Request[T]) -> T:
        return self._pool.run_here(request)


class _Job:
    __slots__ = ("request", "future", "sent_back")

    def __init__(self, request: Request[Any], end: Callable[[Future[Any]], None]) -> None:
        self.request = request
        self.future: PoolFuture[Any] = PoolFuture(end)
        self.sent_back = False


class _Slot:
    def __init__(self, place: Place) -> None:
        self.place = place
        self.connection: SyncConnection | None = None
        self.job: _Job | None = None
        # Lent to a caller's thread, which runs its request itself.
        self.lent = False


class _Pool(PoolState):
    """The pool's state, held by its threads (never the pool that users
    hold, so that a lost pool can be collected)."""

    def __init__(self, argvs: list[list[str]], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None, start_timeout: float | None,
                 allow_preamble: bool) -> None:
        super().__init__(argvs, env, cwd, start_timeout, allow_preamble)
        self.slots = [_Slot(place) for place in self.places]
        self.lock = threading.Lock()
        self.queue: deque[_Job] = deque()
        self.idle: deque[_Slot] = deque()
        self.closing = False
        # Shut down: no new requests, but those queued are served.
        self.draining = False
        self.stop = threading.Event()
        self.deadline: float | None = None
        self.threads: list[threading.Thread] = []

    def start(self) -> None:
        starts: list[Future[None]] = [Future() for _ in self.slots]
        for slot, started in zip(self.slots, starts):
            thread = threading.Thread(target=self._serve, args=(slot, started), daemon=True,
                                      name=f"shell worker pool, worker {slot.place.index}")
            self.threads.append(thread)
            thread.start()
        try:
            failures = start_failures(self.places, [started.exception() for started in starts])
        except BaseException:
            self.kill()
            raise
        if failures is not None:
            self.close(None)
            raise failures

    def submit(self, request: Request[T]) -> PoolFuture[T]:
        if self.foreign():
            raise WorkerError(forks.foreign_text("pool", None), sent=False)
        job = _Job(request, self._end)
        with self.lock:
            if self.closing or self.draining:
                raise WorkerError(IS_CLOSED, sent=False)
            failing = every_place_failing(self.places)
            if failing is not None:
                raise failing
            self.queue.append(job)
            self._wake_one()
        return job.future

    def run_here(self, request: Request[T]) -> T:
        """Runs `request` on this thread with an idle worker when one is
        free and nothing waits, sparing two threads' hand-offs; otherwise
        queues it, as submit() does, and waits."""
        if self.foreign():
            raise WorkerError(forks.foreign_text("pool", None), sent=False)
        with self.lock:
            slot = self._lend()
        if slot is None or slot.connection is None:
            return self.submit(request).result()
        connection = slot.connection
        try:
            return connection.ask(request)
        except WorkerError as error:
            if error.sent or self.closing:
                raise
        finally:
            self._give_back(slot, connection)
        # It reached no live worker: the queue finds another.
        return self.submit(request).result()

    def _lend(self) -> _Slot | None:
        """Called with the lock held."""
        if self.closing or self.draining or self.queue:
            return None
        for slot in self.idle:
            connection = slot.connection
            if connection is not None and connection.lendable and connection.usable:
                self.idle.remove(slot)
                slot.lent = True
                return slot
        return None

    def _give_back(self, slot: _Slot, connection: SyncConnection) -> None:
        with self.lock:
            slot.lent = False
            usable = connection.usable and not (self.closing or self.draining)
            if usable:
                self.idle.appendleft(slot)
                if self.queue:
                    self._wake_one()
        if not usable:  # its thread replaces it, or ends
            connection.wake()

    def _end(self, future: Future[Any]) -> None:
        """Ends the command of the running request whose Future this is,
        through its worker: the worker ends and is replaced, as one that
        dies mid-request is."""
        for slot in self.slots:
            job, connection = slot.job, slot.connection
            if job is not None and job.future is future and connection is not None:
                connection.kill()

    def _wake_one(self) -> None:
        """Called with the lock held."""
        if self.idle:
            slot = self.idle.popleft()
            if slot.connection is not None:
                slot.connection.wake()

    def _connection(self, slot: _Slot) -> SyncConnection:
        """A new worker for `slot`, started there: reachable by close() and
        kill() while it starts."""
        slot.connection = connection = SyncConnection(
            slot.place.argv, self.env, self.cwd, self.start_timeout, self.allow_preamble)
        connection.start()
        return connection

    def _serve(self, slot: _Slot, started: Future[None]) -> None:
        try:
            self._connection(slot)
        except BaseException as error:
            started.set_exception(error)
            return
        started.set_result(None)
        try:
            while self._turn(slot):
                pass
        finally:
            if slot.connection is not None:
                slot.connection.close(None if self.deadline is None
                                      else max(0.0, self.deadline - time.monotonic()))

    def _turn(self, slot: _Slot) -> bool:
        """Serves one request, or waits for one; False once the pool closes."""
        connection = slot.connection
        if connection is None or not connection.usable:
            return self._replace(slot)
        with self.lock:
            job = self._next_job(slot)
        if job is None:
            if self.closing or self.draining:
                return False
            connection.watch_idle()
            return True
        try:
            result = connection.ask(job.request)
        except WorkerError as error:
            if not error.sent and not self.closing:
                # It reached no live worker: back to the head of the queue,
                # for the next free one.
                with self.lock:
                    slot.job, job.sent_back = None, True
                    self.queue.appendleft(job)
                    self._wake_one()
                return True
            self._settle(slot, job.future.set_exception, error)
        except BaseException as error:  # RequestError, CommandError
            self._settle(slot, job.future.set_exception, error)
        else:
            self._settle(slot, job.future.set_result, result)
        return True

    def _next_job(self, slot: _Slot) -> _Job | None:
        """Called with the lock held."""
        if slot.lent:
            return None
        while self.queue:
            job = self.queue.popleft()
            if job.future.cancelled():  # sent back, then cancelled meanwhile
                continue
            if job.sent_back or job.future.set_running_or_notify_cancel():
                slot.job = job
                if slot in self.idle:
                    self.idle.remove(slot)
                return job
        if slot not in self.idle:
            self.idle.append(slot)
        return None

    def _settle(self, slot: _Slot, settle: Callable[[Any], None], outcome: Any) -> None:
        with self.lock:
            slot.job = None
        _give(settle, outcome)

    def _replace(self, slot: _Slot) -> bool:
        with self.lock:
            if slot in self.idle:
                self.idle.remove(slot)
        old, slot.connection = slot.connection, None
        if old is not None:
            old.discard()
        while not (self.closing or (self.draining and not self.queue)):
            try:
                self._connection(slot)
            except WorkerError as error:
                with self.lock:
                    delay = slot.place.failed(error)
                    failing = every_place_failing(self.places)
                    jobs = self._take_queue() if failing is not None else []
                if failing is not None:
                    _fail(jobs, failing)
                self.stop.wait(delay)
                continue
            with self.lock:
                slot.place.started()
            return True
        return False

    def shutdown(self, cancel_futures: bool) -> None:
        if self.foreign():
            return
        with self.lock:
            self.draining = True
            waiting = [job for job in self.queue if not job.sent_back]
            idle = list(self.idle)
        for job in waiting if cancel_futures else ():
            job.future.withdraw()
        # Idle workers end now; busy ones once nothing is left to serve.
        for slot in idle:
            if slot.connection is not None:
                slot.connection.wake()

    def join(self) -> None:
        """Waits until the threads end: after shutdown(), once every
        request has been served."""
        if self.foreign():
            return
        for thread in self.threads:
            if thread is not threading.current_thread():
                thread.join()

    def close(self, timeout: float | None) -> None:
        if self.foreign():
            return
        self.deadline = None if timeout is None else time.monotonic() + timeout
        self._shut(WAS_CLOSED)
        for thread in self.threads:
            if thread is not threading.current_thread():
                thread.join(None if self.deadline is None
                            else max(0.0, self.deadline - time.monotonic()))
        if any(thread.is_alive() for thread in self.threads):
            self.kill()
            for thread in self.threads:
                thread.join()

    def kill(self) -> None:
        if self.foreign():
            return
        self._shut(WAS_KILLED)
        # Marked first, so that a request in flight says why its worker ended.
        end_all(process for slot in self.slots if slot.connection is not None
                if (process := slot.connection.doomed()) is not None)
        for slot in self.slots:
            if slot.connection is not None:
                slot.connection.kill()

    def _shut(self, why: str) -> None:
        with self.lock:
            self.closing = True
            jobs = self._take_queue()
            idle = list(self.idle)
        self.stop.set()
        _fail(jobs, WorkerError(why, sent=False))
        for slot in idle:
            if slot.connection is not None:
                slot.connection.wake()

    def _take_queue(self) -> list[_Job]:
        """Called with the lock held."""
        jobs = list(self.queue)
        self.queue.clear()
        return jobs

    def abandoned(self) -> list[leftovers.Leftover]:
        if self.foreign():
            return []
        self._shut("the pool was lost; the request was not sent")
        return [(slot.connection.process, None) for slot in self.slots
                if slot.connection is not None and slot.connection.process is not None
                and slot.connection.core.ended is None]


def _fail(jobs: list[_Job], error: WorkerError) -> None:
    """Each job raises a copy of `error` (an exception is raised by one
    caller only: its traceback is its own)."""
    for job in jobs:
        if job.sent_back or job.future.set_running_or_notify_cancel():
            _give(job.future.set_exception, WorkerError(*error.args))


def _give(settle: Callable[[Any], None], outcome: Any) -> None:
    """A running request may be cancelled: its outcome then goes to nobody."""
    try:
        settle(outcome)
    except InvalidStateError:
        pass
