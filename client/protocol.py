"""The lock-step with one worker, with no I/O of its own (as h11 keeps HTTP
apart from sockets): requests go in and come out as bytes to write; bytes
read from the worker go in and come out as the answer, or as the Trouble
that ends the worker; and it keeps the worker's state and the texts of its
errors.  The synchronous and asyncio shells move the bytes.

Requests carry no identifier, so the n-th line belongs to the n-th request.
A line the worker was not asked for (bytes while no request is in hand, or
after an answer) breaks that pairing for good: nothing read from the worker
afterwards can be trusted, so it ends, and no answer is ever paired with the
wrong request.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, TypeVar

from .errors import WorkerError, worker_error
from .request_lines import Request
from .response_lines import ProtocolFault, excerpt

T = TypeVar("T")

BROKEN = "the worker broke the lock-step with"
INTERRUPTED = "the worker was ended when a request was cancelled or interrupted"
KILLED = "the worker was killed"
CLOSED = "the worker was closed"
UNSTARTED = "the worker has not been started"
ABANDONED = ("the worker still owed the answer to a request whose caller was interrupted, "
             "so its next answer could not be told from that one")
# What a transport (a login shell's banner, an rc file's echo) may print
# before the worker answers its first request.
PREAMBLE_LINES = 100
PREAMBLE_BYTES = 64 * 1024
# Room for the first answer itself beyond the preamble.
FIRST_ANSWER_BYTES = 4096


class Trouble(Exception):
    """Why the worker can no longer be trusted with a request.  `silent`:
    its output has ended, so it may still exit by itself and say why on its
    standard error; otherwise it is ended at once."""

    def __init__(self, what: str, silent: bool = False) -> None:
        super().__init__(what)
        self.what = what
        self.silent = silent


class WorkerProtocol:
    """One worker's side of the lock-step.  Not thread-safe by itself: each
    shell lets one caller at a time exchange through it; only kill() may come
    from anywhere."""

    def __init__(self, argv: Sequence[str], allow_preamble: bool = True) -> None:
        self.argv = tuple(argv)
        self.ended: WorkerError | None = None
        self.closing = False
        self.trouble: Trouble | None = None
        # Until the first answer: lines before it are the transport's preamble.
        self.greeting = False
        self.allow_preamble = allow_preamble
        self.preamble = bytearray()
        self._preamble_lines = 0
        self._greeted = 0
        self._request: Request[Any] | None = None
        self._buffer = bytearray()
        self._line_end = -1

    @property
    def request_sent(self) -> bool:
        """Whether a request has gone out that has not been answered."""
        return self._request is not None

    def refusal(self) -> WorkerError | None:
        """Why no request may be sent (the worker has ended, or is closing),
        or None while requests are taken."""
        ended = self.ended
        if ended is not None:
            return WorkerError(f"the worker has ended ({ended})", ended.returncode,
                               ended.stderr_tail, self.argv, sent=False)
        if self.closing:
            return WorkerError("the worker is closing; the request was not sent",
                               argv=self.argv, sent=False)
        return None

    def check(self) -> None:
        if self.trouble is not None:
            raise self.trouble

    def send(self, request: Request[T]) -> bytes:
        """The line to write for `request`, which is then the one in hand.
        One whose predecessor is still unanswered cannot be paired: the
        worker is in trouble."""
        if self.trouble is not None:  # check(), inline: every request passes here
            raise self.trouble
        if self._request is not None:
            self.trouble = Trouble(ABANDONED)
            raise self.trouble
        self._request = request
        return request.line

    def input_closed(self, anything_written: bool) -> None:
        """The worker's input refused the request line: it has ended, or is
        ending.  A line none of which was written cannot have run."""
        if not anything_written:
            self._request = None
        self.receive_data(b"")

    def receive_data(self, data: bytes) -> bool:
        """Takes bytes read from the worker's output (b"" at its end).  True
        when there is news for the request in hand: its line is complete, or
        the worker is in trouble."""
        if not data:
            if self.trouble is None:
                what = ("the worker ended without answering" if self._request is not None
                        else "the worker had ended before the request was sent")
                self.trouble = Trouble(what, silent=True)
            return True
        # While greeting, a transport may print before the first request is sent.
        if not self.greeting and (self._request is None or self._line_end >= 0):
            if self.trouble is None:
                self.trouble = Trouble(f"{BROKEN} a line it was not asked for: {excerpt(data)}")
            return True
        if self.greeting:
            self._greeted += len(data)
            if self._greeted > PREAMBLE_BYTES + FIRST_ANSWER_BYTES and self.trouble is None:
                self.trouble = Trouble(self._too_long(data))
                return True
        start = len(self._buffer)
        self._buffer += data
        if self._line_end >= 0:  # a line of the preamble waits its turn
            return True
        end = data.find(b"\n")
        if end < 0:
            return False
        self._line_end = start + end
        if self._line_end + 1 < len(self._buffer) and not self.greeting:
            self.trouble = Trouble(f"{BROKEN} a line it was not asked for after its answer: "
                                   f"{excerpt(self._buffer[self._line_end + 1:])}")
        return True

    def exited(self, rest: bytes) -> None:
        """The worker process has exited; `rest` is what was still unread of
        its output.  An answer not complete by now never will be, even if
        another process still holds the worker's output open."""
        if rest:
            self.receive_data(rest)
        if self._line_end < 0 or self.greeting:
            self.receive_data(b"")

    def answer_line(self) -> bytearray | None:
        """The answer's line once it is complete, or None until then; raises
        the Trouble that ends the worker.  The line is the buffer itself,
        which is the caller's from then on: a large answer is never copied.
        While greeting, lines that do not answer the request are kept as the
        preamble, within its bounds."""
        if self.trouble is not None:  # check(), inline: every request passes here
            raise self.trouble
        while self._line_end >= 0:
            if not self.greeting:
                line, self._buffer = self._buffer, bytearray()
                self._line_end = -1
                return line
            end = self._line_end + 1
            line = self._buffer[:end]
            del self._buffer[:end]
            self._line_end = self._buffer.find(b"\n")
            # Every answer is a JSON object, and a JSON object is taken for
            # the worker's, even a broken one: no banner starts like that,
            # and a worker that is out of step must fail.
            if line.lstrip().startswith(b"{"):
                self.greeting = False
                if self._buffer:
                    self.trouble = Trouble(f"{BROKEN} a line it was not asked for after its "
                                           f"answer: {excerpt(self._buffer)}")
                    raise self.trouble
                return line
            self._keep_preamble(line)
        return None

    def _keep_preamble(self, line: bytearray) -> None:
        if not self.allow_preamble:
            self.trouble = Trouble(f"{BROKEN} a line it was not asked for: {excerpt(line)} "
                                   "(printed before the worker answered, as a login banner "
                                   "is; allow_preamble=False forbids them)")
            raise self.trouble
        self.preamble += line
        self._preamble_lines += 1
        if self._preamble_lines > PREAMBLE_LINES or len(self.preamble) > PREAMBLE_BYTES:
            self.trouble = Trouble(self._too_long(line))
            raise self.trouble

    def _too_long(self, data: bytes | bytearray) -> str:
        return (f"{BROKEN} more than {PREAMBLE_LINES} lines or {PREAMBLE_BYTES // 1024} KiB "
                f"printed before the worker answered (a login banner may be that long, the "
                f"worker's answers never are): {excerpt(data)}")

    def read_answer(self, line: bytearray) -> Any:
        """The result that `line` gives the request in hand; raises
        RequestError or CommandError as that request reads them (the worker
        serves on), or the Trouble of a line that does not fit."""
        request, self._request = self._request, None
        assert request is not None
        try:
            return request.read_answer(line)
        except ProtocolFault as fault:
            self._request = request  # it was sent, and may have run
            self.trouble = Trouble(f"{BROKEN} {fault}")
            raise self.trouble from None

    def kill(self) -> None:
        if self.trouble is None:
            self.trouble = Trouble(KILLED)

    def end(self, what: str, returncode: int | None, stderr_tail: tuple[str, ...],
            *, plain: bool = False) -> WorkerError:
        """Records that the worker has ended and why: the error for the
        request in hand, and the cause that every later refusal names."""
        if plain:
            error = WorkerError(what, returncode, stderr_tail, self.argv, sent=False)
        else:
            error = worker_error(what, returncode, stderr_tail, self.argv, self.request_sent)
        if self.ended is None:
            self.ended = error
        self._request = None
        self.trouble = self.trouble or Trouble(what)
        return error


def cannot_start(argv: Sequence[str], error: BaseException) -> WorkerError:
    return WorkerError(f"cannot start the worker {argv[0]!r}: {error}", argv=argv, sent=False)
