"""A worker process: started at the head of a session, and so of a process
group, of its own, watched without being reaped, and ended by signals to
that group.

The group holds whatever stands in front of the worker (ssh, `sh -c`, a
wrapper script) as well as the worker; a signal to the group reaches both.
The worker's commands run in groups of their own, which the worker ends
when SIGTERM reaches it.  Without a controlling terminal, a transport that
would prompt at the terminal (ssh asking for a password) fails at once,
saying why, where a background group reading it would be stopped (SIGTTIN)
and its start would never end.  A pid, and so a group, is ours only until the
process is reaped, since its number may then be given to another: exits are
seen through a pidfd (or waitid with WNOWAIT), signals go out only while the
process is unreaped, and both happen under one lock.  In a forked child the
process is the parent's: nothing here signals, writes to or waits for it.

Every wait is a poll, never select(), which refuses descriptors numbered
1024 and above (a busy server has many).  The pipes are plain descriptors
of this object, not file objects, so that one left open at exit or after
its event loop has closed is not reported as an unclosed file.
"""

from __future__ import annotations

import errno
import math
import os
import select
import signal
import subprocess
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Union

from . import forks, grace_periods
from .protocol import cannot_start
from .request_lines import QUIT_LINE

CHUNK = 256 * 1024
# The first read for an answer.  A read of CHUNK allocates CHUNK first, which
# the allocator maps and unmaps by system calls each time, for an answer that
# is mostly a hundred bytes; one that fills this much is read by CHUNKs.
FIRST_READ = 16 * 1024
QUIT = "quit"
Step = Union[str, signal.Signals]


class WorkerProcess:
    """The process and the three pipes to it: input and output non-blocking,
    for the shells' own waiting; standard error for whoever drains it."""

    def __init__(self, argv: Sequence[str], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None) -> None:
        self.generation = forks.generation
        # This side's ends are close-on-exec, so that no other child keeps
        # the worker's input open (its end would never come).
        pipes = [os.pipe2(os.O_CLOEXEC) for _ in range(3)]
        theirs = (pipes[0][0], pipes[1][1], pipes[2][1])
        ours = (pipes[0][1], pipes[1][0], pipes[2][0])
        try:
            self._popen = subprocess.Popen(
                list(argv), stdin=theirs[0], stdout=theirs[1], stderr=theirs[2], env=env,
                cwd=cwd, start_new_session=True)
        except BaseException as error:
            for fd in theirs + ours:
                os.close(fd)
            if isinstance(error, (OSError, ValueError)):
                raise cannot_start(argv, error) from error
            raise
        LIVE.add(self)
        self.pid = self._popen.pid
        self.stdin, self.stdout, self.stderr = ours
        self._read_size = FIRST_READ
        self._open = set(ours)
        self._lock = threading.Lock()
        self.pidfd: int | None = None
        try:
            for fd in theirs:
                os.close(fd)
            os.set_blocking(self.stdin, False)
            os.set_blocking(self.stdout, False)
            self._output = select.poll()
            self._output.register(self.stdout, select.POLLIN)
            # Whether anything waits to be read, given the milliseconds to
            # wait: the poll object's own method, so that the look before
            # every request costs no Python call.
            self.output_waiting: Callable[[int], list[tuple[int, int]]] = self._output.poll
            try:
                self.pidfd = os.pidfd_open(self.pid)
            except (AttributeError, OSError):  # an old kernel, or one that forbids it
                pass
            else:
                # Open for as long as this object lives: any thread may be
                # waiting on it, and a number closed under a waiter may be
                # reused.  Not closed at exit either, where the workers are
                # still being ended.
                weakref.finalize(self, os.close, self.pidfd).atexit = False
        except BaseException:
            # Interrupted (KeyboardInterrupt) with the process already
            # running: no one else knows of it yet.
            self.end_now()
            self.close_pipes()
            self.close_stderr()
            raise

    def foreign(self) -> bool:
        """Whether this process belongs to the parent of a fork."""
        return self.generation != forks.generation

    @property
    def returncode(self) -> int | None:
        """The exit status once reaped (see reap), else None."""
        return self._popen.returncode

    def signal(self, number: signal.Signals) -> None:
        """Sends `number` to the worker's whole group, unless it is reaped."""
        if self.foreign():
            return
        with self._lock:
            if self._popen.returncode is None:
                try:
                    os.killpg(self.pid, number)
                except (ProcessLookupError, PermissionError):
                    pass

    def has_exited(self) -> bool:
        """Whether the worker has exited, reaped or not; reaps nothing."""
        if self._popen.returncode is not None:
            return True
        if self.pidfd is not None:
            return readable(self.pidfd, 0)
        try:
            return os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
        except ChildProcessError:
            return True

    def wait_exit(self, seconds: float | None) -> bool:
        """Blocks until the worker has exited or `seconds` have passed
        (None: no limit); True if it has exited."""
        deadline = None if seconds is None else time.monotonic() + seconds
        delay = 0.001
        while not self.has_exited():
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                return False
            if self.pidfd is not None:
                readable(self.pidfd, remaining)
            else:
                time.sleep(delay if remaining is None else min(delay, remaining))
                delay = min(delay * 2, 0.05)
        return True

    def reap(self) -> int | None:
        """The exit status, reaping the worker if it has exited; None while
        it runs (and always in a forked child: the parent reaps it)."""
        if self.foreign():
            return self._popen.returncode
        with self._lock:
            return self._popen.poll()

    def read_available(self) -> bytes:
        """What the worker's output holds right now, without waiting (once it
        has exited, a pipe's worth at most; anything after that can only come
        from another process that holds its output)."""
        pieces = []
        for _ in range(16):
            try:
                piece = os.read(self.stdout, CHUNK)
            except OSError:  # nothing there yet, or closed: nothing more will come
                break
            if not piece:
                break
            pieces.append(piece)
        return b"".join(pieces)

    def read_unread(self) -> bytes | None:
        """As read_output, for output that is not expected: a look first,
        cheaper than a read that finds nothing."""
        return self.read_output() if self.output_waiting(0) else None

    def read_output(self) -> bytes | None:
        """One read of the worker's output: bytes, b"" at its end, None when
        nothing is there yet."""
        try:
            data = os.read(self.stdout, self._read_size)
            self._read_size = CHUNK if len(data) == self._read_size else FIRST_READ
            return data
        except BlockingIOError:
            return None
        except OSError as error:
            if error.errno == errno.EBADF:
                return b""
            raise

    def write_some(self, data: bytes | memoryview) -> int:
        """Writes what the worker's input takes without waiting: the count of
        bytes, 0 when it is full; raises BrokenPipeError once the worker can
        no longer read."""
        try:
            return os.write(self.stdin, data)
        except BlockingIOError:
            return 0

    def ending(self, quit_for: float | None = None) -> Iterator[float | None]:
        """The steps that end the worker, each taken only while it has not
        exited: "quit" and the end of its input (when `quit_for`, the seconds
        to wait after it, is given), SIGTERM to its group (which
        ends a running command's group first), SIGKILL.  Yields how long to
        wait for its exit after each step (None: as long as it takes)."""
        steps: list[tuple[Step, float | None]] = [
            (signal.SIGTERM, grace_periods.AFTER_TERM), (signal.SIGKILL, None)]
        if quit_for is not None:
            steps.insert(0, (QUIT, quit_for))
        for step, seconds in steps:
            if self.has_exited():
                return
            if isinstance(step, signal.Signals):
                self.signal(step)
            else:
                self._say_quit()
            yield seconds

    def end_now(self) -> int | None:
        """Ends the worker without the quit step, waiting here (SIGTERM, then
        SIGKILL after AFTER_TERM), and reaps it.  For when there is no time
        to wait any other way: a second cancellation, a kill."""
        end_all([self])
        return self.reap()

    def close_pipes(self) -> None:
        """Closes this side's input and output (standard error is its
        drain's); only once nothing waits on them any more."""
        self._close(self.stdin)
        self._close(self.stdout)

    def close_stderr(self) -> None:
        self._close(self.stderr)

    def _close(self, fd: int) -> None:
        # Once only: a number closed twice may by then be someone else's.
        with self._lock:
            if fd not in self._open:
                return
            self._open.discard(fd)
        os.close(fd)

    def _say_quit(self) -> None:
        if self.foreign():
            return
        try:
            os.write(self.stdin, QUIT_LINE)
        except OSError:  # its input is full or gone: the signals follow
            pass
        self._close(self.stdin)


# Every worker process not yet collected, for the exit to end those still
# running, whoever owns them (one still being started on another thread too).
LIVE: weakref.WeakSet[WorkerProcess] = weakref.WeakSet()
# A forked child has none of them.
os.register_at_fork(after_in_child=LIVE.clear)


def readable(fd: int, seconds: float | None) -> bool:
    """Waits until `fd` is readable (or hung up), for at most `seconds`
    (None: no limit).  A poll object of its own: any thread may call this."""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    return bool(poller.poll(None if seconds is None else math.ceil(max(0.0, seconds) * 1000)))


def end_all(processes: Iterable[WorkerProcess]) -> None:
    """Ends workers together, waiting here: SIGTERM to every group (each
    worker ends its command's group first), SIGKILL to those still running
    AFTER_TERM later; then reaps them all."""
    processes = [process for process in processes if not process.foreign()]
    for process in processes:
        process.signal(signal.SIGTERM)
    deadline = time.monotonic() + grace_periods.AFTER_TERM
    for process in processes:
        if not process.wait_exit(max(0.0, deadline - time.monotonic())):
            process.signal(signal.SIGKILL)
            process.wait_exit(None)
        process.reap()
