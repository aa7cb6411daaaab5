"""One worker's road, written once for both shells: each flow is a
generator that does what needs no waiting itself (non-blocking reads and
writes, signals) and yields what it must wait for; the synchronous shell
waits by blocking, the asyncio shell by awaiting, and both throw an
interruption or a cancellation back into the flow, which ends the worker
before it passes on."""

from __future__ import annotations

import enum
import os
import shlex
import time
from collections.abc import Generator, Mapping, Sequence
from typing import Generic, TypeVar

from . import forks, grace_periods
from .errors import CommandError, CommandTimeout, RequestError, WorkerError
from .leftovers import Leftover
from .protocol import CLOSED, INTERRUPTED, UNSTARTED, Trouble, WorkerProtocol
from .request_lines import PROBE, Request
from .stderr_tail import StderrTail
from .worker_process import WorkerProcess

T = TypeVar("T")


class Wait(enum.Enum):
    OUTPUT = "more of the worker's output, or news of it (its exit, a kill)"
    INPUT = "room in the worker's input"
    EXIT = "the worker's exit, for at most the given seconds"
    LAST_WORDS = "the end of its standard error, for at most the given seconds"


Need = tuple[Wait, "float | None"]
Flow = Generator[Need, None, T]
OUTPUT: Need = (Wait.OUTPUT, None)
INPUT: Need = (Wait.INPUT, None)


class Done(Generic[T]):
    __slots__ = ("value",)

    def __init__(self, value: T) -> None:
        self.value = value


def advance(flow: Flow[T], thrown: BaseException | None) -> Need | Done[T]:
    """Runs `flow` up to its next wait (throwing `thrown` in first), or to
    its end."""
    try:
        return next(flow) if thrown is None else flow.throw(thrown)
    except StopIteration as stop:
        return Done(stop.value)


class Connection:
    """A worker process and its protocol; the shells add the waiting."""

    process: WorkerProcess | None

    def __init__(self, argv: Sequence[str], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None, start_timeout: float | None = None,
                 allow_preamble: bool = True) -> None:
        self.argv = list(argv)
        self.env = env
        self.cwd = cwd
        self.start_timeout = start_timeout
        self.generation = forks.generation
        self.core = WorkerProtocol(argv, allow_preamble)
        self.tail = StderrTail()
        self.process = None

    def foreign(self) -> bool:
        """Whether this worker belongs to the parent of a fork."""
        return self.generation != forks.generation

    def refuse_foreign(self) -> None:
        if self.foreign():
            raise WorkerError(forks.foreign_text(
                "worker", None if self.process is None else self.process.pid),
                argv=self.argv, sent=False)

    @property
    def usable(self) -> bool:
        """Whether a request may go to this worker as far as is known."""
        return self.core.ended is None and self.core.trouble is None and not self.core.closing

    def watch(self, process: WorkerProcess) -> None:
        """Starts reading the new worker's output and standard error."""
        raise NotImplementedError

    def release(self) -> None:
        """Stops reading and closes this side's pipes, once the worker is reaped."""
        raise NotImplementedError

    def starting(self) -> Flow[None]:
        deadline = (None if self.start_timeout is None
                    else time.monotonic() + self.start_timeout)
        self.process = process = WorkerProcess(self.argv, self.env, self.cwd)
        self.watch(process)
        self.core.greeting = True
        try:
            yield from self.exchange(PROBE, deadline)
        except WorkerError as error:
            # No request of anyone's went to it.
            command = shlex.join(map(os.fsdecode, self.argv))
            raise WorkerError(f"{error.message} (started with {command})", error.returncode,
                              error.stderr_tail, error.argv, sent=False) from None

    def exchange(self, request: Request[T], deadline: float | None = None) -> Flow[T]:
        """Sends one request and reads its answer; one caller at a time.
        `deadline` (time.monotonic()) bounds the wait for the answer.  Once
        the request is written, the only ways out are its answer or a worker
        that has been ended."""
        core, process = self.core, self.process
        # Every request passes here: the usual answers cost one comparison each.
        if self.generation != forks.generation:
            self.refuse_foreign()
        if core.ended is not None or core.closing:
            refused = core.refusal()
            assert refused is not None
            raise refused
        if process is None:
            raise WorkerError(UNSTARTED, argv=self.argv, sent=False)
        try:
            if process.output_waiting(0):
                self.take_unread()
            line: bytes | memoryview = core.send(request)
            while line:
                try:
                    written = process.write_some(line)
                except BrokenPipeError:
                    core.input_closed(anything_written=len(line) < len(request.line))
                    break
                if written == len(line):  # as a pipe takes a short line: at once
                    break
                line = memoryview(line)[written:]
                yield INPUT
                core.check()
            while (answer := core.answer_line()) is None:
                if deadline is None:
                    yield OUTPUT
                    continue
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise Trouble(f"the worker did not answer within start_timeout "
                                  f"({self.start_timeout:g} s)")
                yield (Wait.OUTPUT, remaining)
            # Bytes read with the answer have been checked; a line written
            # later is found before the next request is sent.
            result: T = core.read_answer(answer)
            return result
        except Trouble as trouble:
            raise (yield from self.failed(trouble)) from None
        except (RequestError, CommandError, CommandTimeout):
            raise
        except GeneratorExit:  # abandoned halfway: no more waiting is possible
            process.end_now()
            self.release()
            core.end(INTERRUPTED, process.returncode, self.tail.lines())
            raise
        except BaseException:
            # Cancelled or interrupted mid-request: its answer could no longer
            # be told from the next one's.  The worker ends, its command first.
            yield from self.ending()
            core.end(INTERRUPTED, process.returncode, self.tail.lines())
            raise

    def take_unread(self) -> None:
        """Takes whatever the worker has written unasked since its last
        answer (the check before each request) and raises its Trouble."""
        assert self.process is not None
        while (data := self.process.read_unread()) is not None:
            self.core.receive_data(data)
            if not data or self.core.trouble is not None:
                break
        self.core.check()

    def failed(self, trouble: Trouble) -> Flow[WorkerError]:
        """Ends a worker in trouble; the error for the request in hand."""
        core, process = self.core, self.process
        assert process is not None
        if not trouble.silent:
            yield from self.ending()
            return core.end(trouble.what, process.returncode, self.tail.lines())
        # Its output has ended: a second for it to exit and say why.
        deadline = time.monotonic() + grace_periods.AFTER_SILENCE
        yield (Wait.EXIT, grace_periods.AFTER_SILENCE)
        returncode = process.reap()
        yield (Wait.LAST_WORDS, max(0.0, deadline - time.monotonic()))
        error = core.end(trouble.what, returncode, self.tail.lines())
        yield from self.ending()
        return error

    def closed(self, remaining: float | None) -> Flow[None]:
        """Ends the worker politely, if it has not ended: "quit" gets at most
        `remaining` seconds (None: AFTER_QUIT)."""
        if self.core.ended is not None:
            return
        if self.process is None:
            self.core.end(UNSTARTED, None, (), plain=True)
            return
        quit_for = grace_periods.AFTER_QUIT
        if remaining is not None:
            quit_for = min(quit_for, max(0.0, remaining))
        yield from self.ending(quit_for)
        self.core.end(CLOSED, self.process.returncode, self.tail.lines(), plain=True)

    def ending(self, quit_for: float | None = None) -> Flow[None]:
        """Ends the worker step by step and reaps it; cancelled or
        interrupted meanwhile, it ends it without waiting any further."""
        process = self.process
        assert process is not None
        try:
            for seconds in process.ending(quit_for):
                yield (Wait.EXIT, seconds)
        except BaseException:
            process.end_now()
            raise
        finally:
            process.reap()
            self.release()
        # Its pipes are closed on this side now, so the drain ends at once.
        yield (Wait.LAST_WORDS, grace_periods.AFTER_SILENCE)

    def discarding(self) -> Flow[None]:
        """Ends a worker found in trouble while idle (by a pool)."""
        if self.core.ended is None and self.process is not None:
            yield from self.failed(self.core.trouble or Trouble("the worker was discarded"))

    def doomed(self) -> WorkerProcess | None:
        """Marks the worker killed, so that whoever waits on it says so, and
        gives its process to be ended."""
        self.core.kill()
        return self.process

    def abandoned(self) -> list[Leftover]:
        """Gives the worker up to whoever ends lost workers: it takes no
        more requests."""
        if self.process is None or self.core.ended is not None or self.foreign():
            return []
        self.core.closing = True
        self.core.kill()
        return [(self.process, self.release_from_anywhere)]

    def release_from_anywhere(self) -> None:
        self.release()

    @property
    def preamble(self) -> str:
        """What the transport printed before the worker answered."""
        return self.core.preamble.decode(errors="replace")
