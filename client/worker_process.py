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
process is unreaped, and both happen under one lock.
"""

from __future__ import annotations

import errno
import os
import select
import signal
import subprocess
import threading
import time
import weakref
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Union

from . import grace_periods
from .protocol import cannot_start
from .request_lines import QUIT_LINE

CHUNK = 256 * 1024
QUIT = "quit"
Step = Union[str, signal.Signals]


class WorkerProcess:
    """The process and the three pipes to it: input and output non-blocking,
    for the shells' own waiting; standard error for whoever drains it."""

    def __init__(self, argv: Sequence[str], env: Mapping[str, str] | None,
                 cwd: str | os.PathLike[str] | None) -> None:
        try:
            self._popen = subprocess.Popen(
                list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, env=env, cwd=cwd, bufsize=0, start_new_session=True)
        except (OSError, ValueError) as error:
            raise cannot_start(argv, error) from error
        LIVE.add(self)
        popen = self._popen
        assert popen.stdin is not None and popen.stdout is not None and popen.stderr is not None
        self.pid = popen.pid
        self.stdin = popen.stdin.fileno()
        self.stdout = popen.stdout.fileno()
        self.stderr = popen.stderr.fileno()
        os.set_blocking(self.stdin, False)
        os.set_blocking(self.stdout, False)
        self._lock = threading.Lock()
        self._output = select.poll()
        self._output.register(self.stdout, select.POLLIN)
        self.pidfd: int | None = None
        try:
            self.pidfd = os.pidfd_open(self.pid)
        except (AttributeError, OSError):  # an old kernel, or one that forbids it
            pass
        else:
            # Open for as long as this object lives: any thread may be waiting
            # on it, and a number closed under a waiter may be reused.  Not
            # closed at exit either, where the workers are still being ended.
            weakref.finalize(self, os.close, self.pidfd).atexit = False

    @property
    def returncode(self) -> int | None:
        """The exit status once reaped (see reap), else None."""
        return self._popen.returncode

    def signal(self, number: signal.Signals) -> None:
        """Sends `number` to the worker's whole group, unless it is reaped."""
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
            return bool(select.select([self.pidfd], [], [], 0)[0])
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
                select.select([self.pidfd], [], [], remaining)
            else:
                time.sleep(delay if remaining is None else min(delay, remaining))
                delay = min(delay * 2, 0.05)
        return True

    def reap(self) -> int | None:
        """The exit status, reaping the worker if it has exited; None while
        it runs."""
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
        return self.read_output() if self._output.poll(0) else None

    def read_output(self) -> bytes | None:
        """One read of the worker's output: bytes, b"" at its end, None when
        nothing is there yet."""
        try:
            return os.read(self.stdout, CHUNK)
        except BlockingIOError:
            return None
        except OSError as error:
            if error.errno == errno.EBADF:
                return b""
            raise

    def write_some(self, data: memoryview) -> int:
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
        for stream in (self._popen.stdin, self._popen.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass

    def close_stderr(self) -> None:
        if self._popen.stderr is not None:
            self._popen.stderr.close()

    def _say_quit(self) -> None:
        try:
            os.write(self.stdin, QUIT_LINE)
        except OSError:  # its input is full or gone: the signals follow
            pass
        if self._popen.stdin is not None:
            try:
                self._popen.stdin.close()
            except OSError:
                pass


# Every worker process not yet collected, for the exit to end those still
# running, whoever owns them (one still being started on another thread too).
LIVE: weakref.WeakSet[WorkerProcess] = weakref.WeakSet()


def end_all(processes: Iterable[WorkerProcess]) -> None:
    """Ends workers together, waiting here: SIGTERM to every group (each
    worker ends its command's group first), SIGKILL to those still running
    AFTER_TERM later; then reaps them all."""
    processes = list(processes)
    for process in processes:
        process.signal(signal.SIGTERM)
    deadline = time.monotonic() + grace_periods.AFTER_TERM
    for process in processes:
        if not process.wait_exit(max(0.0, deadline - time.monotonic())):
            process.signal(signal.SIGKILL)
            process.wait_exit(None)
        process.reap()
