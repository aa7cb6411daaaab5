"""ShellWorker: one worker process, driven from ordinary (threaded) code."""

from __future__ import annotations

import os
import subprocess
import threading
import time
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import TypeVar

from . import grace_periods
from .errors import WorkerError, refusal, worker_error
from .request_lines import PROBE, QUIT_LINE, Request, exec_many_request, exec_request
from .response_lines import ProtocolFault
from .results import CommandResult
from .stderr_tail import StderrTail
from .worker_argv import checked_argv

T = TypeVar("T")


class ShellWorker:
    """One worker process.  The constructor starts it and waits for it to
    answer; `exec` and `exec_many` run commands in it, one request at a time
    (calls from several threads wait their turn); `close` ends it.

    A worker that dies, breaks the protocol or is interrupted mid-request
    (KeyboardInterrupt) is ended, and every later call raises WorkerError.
    """

    def __init__(self, argv: Sequence[str] | None = None, *,
                 env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike[str] | None = None) -> None:
        arguments = checked_argv(argv)
        self._lock = threading.Lock()
        self._closing = False
        self._ended: WorkerError | None = None
        self._tail = StderrTail()
        try:
            self._process = subprocess.Popen(arguments, stdin=subprocess.PIPE,
                                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                             env=env, cwd=cwd)
        except OSError as error:
            raise WorkerError(f"cannot start the worker {arguments[0]!r}: {error}") from error
        # A pipe that nobody reads fills up, and then the worker blocks on it.
        self._drain = threading.Thread(target=self._drain_stderr, daemon=True,
                                       name=f"stderr of shell worker {self._process.pid}")
        self._drain.start()
        with self._lock:
            self._exchange(PROBE)

    def exec(self, command: str, *, timeout: float = 30.0,
             cwd: str | None = None) -> CommandResult:
        """Runs `command` through the worker's shell; `timeout` is the
        worker's limit for it, `cwd` its directory."""
        return self._ask(exec_request(command, timeout, cwd))

    def exec_many(self, commands: list[str] | tuple[str, ...], *, timeout: float = 30.0,
                  cwd: str | None = None) -> list[CommandResult]:
        """Runs each command in turn, `timeout` applying to each."""
        return self._ask(exec_many_request(commands, timeout, cwd))

    def close(self) -> None:
        """Lets the request in flight finish, fails the calls still waiting,
        then ends the worker: quit, SIGTERM, SIGKILL, each in its turn."""
        self._closing = True
        with self._lock:
            if self._ended is None:
                self._stop(quit_first=True)
                self._ended = WorkerError("the worker was closed", self._process.returncode,
                                          self._tail.lines())

    def __enter__(self) -> ShellWorker:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _ask(self, request: Request[T]) -> T:
        with self._lock:
            refused = refusal(self._ended, self._closing)
            if refused is not None:
                raise refused
            return self._exchange(request)

    def _exchange(self, request: Request[T]) -> T:
        """Sends one request and reads its answer; the lock is held."""
        stdin, stdout = self._process.stdin, self._process.stdout
        assert stdin is not None and stdout is not None
        try:
            stdin.write(request.line)
            stdin.flush()
            line = stdout.readline()
        except BrokenPipeError:
            line = b""
        except BaseException:
            # Interrupted mid-request (KeyboardInterrupt, say): its answer
            # could no longer be told from the next one's.  The worker ends as
            # a cancelled one does, and its command with it.
            self._stop(quit_first=False)
            self._ended = WorkerError("the worker was ended when a request was interrupted",
                                      self._process.returncode, self._tail.lines())
            raise
        if not line.endswith(b"\n"):
            raise self._silenced()
        try:
            return request.read_answer(line)
        except ProtocolFault as fault:
            self._stop(quit_first=False)
            self._ended = worker_error(f"the worker broke the lock-step with {fault}",
                                       self._process.returncode, self._tail.lines())
            raise self._ended from None

    def _silenced(self) -> WorkerError:
        """The worker's output ended without an answer: the error, once it
        has exited (or had a second to) and its last words are in."""
        deadline = time.monotonic() + grace_periods.AFTER_SILENCE
        returncode = _exited_within(self._process, grace_periods.AFTER_SILENCE)
        self._drain.join(max(0.0, deadline - time.monotonic()))
        self._ended = worker_error("the worker ended without answering", returncode,
                                   self._tail.lines())
        self._stop(quit_first=False)
        return self._ended

    def _stop(self, *, quit_first: bool) -> None:
        process = self._process
        assert process.stdin is not None and process.stdout is not None
        try:
            if quit_first and process.poll() is None:
                try:
                    process.stdin.write(QUIT_LINE)
                    process.stdin.close()
                except OSError:
                    pass
                _exited_within(process, grace_periods.AFTER_QUIT)
            if process.poll() is None:
                process.terminate()
                if _exited_within(process, grace_periods.AFTER_TERM) is None:
                    process.kill()
                    process.wait()
        except BaseException:
            process.kill()
            process.wait()
            raise
        finally:
            for stream in (process.stdin, process.stdout):
                try:
                    stream.close()
                except OSError:  # unsent bytes of a request, to a worker now gone
                    pass
        self._drain.join(grace_periods.AFTER_SILENCE)

    def _drain_stderr(self) -> None:
        stream = self._process.stderr
        assert stream is not None
        try:
            while chunk := os.read(stream.fileno(), 65536):
                self._tail.feed(chunk)
        except (OSError, ValueError):
            pass
        finally:
            self._tail.finish()
            stream.close()


def _exited_within(process: subprocess.Popen[bytes], seconds: float) -> int | None:
    """The exit status, once the process itself has exited (whoever still
    holds its pipes), or None if it has not within `seconds`."""
    try:
        return process.wait(seconds)
    except subprocess.TimeoutExpired:
        return None
