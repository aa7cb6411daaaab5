"""The last lines of the worker's standard error, kept while it is drained."""

from __future__ import annotations

import threading
from collections import deque

LINES = 20
# A line longer than this keeps only its beginning: whatever arrives on the
# worker's standard error (through ssh, say) must not grow without bound.
LINE_BYTES = 64 * 1024


class StderrTail:
    """Fed chunks as they arrive; gives the last LINES lines, decoded."""

    def __init__(self) -> None:
        self._lines: deque[str] = deque(maxlen=LINES)
        self._partial = bytearray()
        # The synchronous worker feeds this from its draining thread.
        self._lock = threading.Lock()

    def feed(self, chunk: bytes) -> None:
        with self._lock:
            *complete, rest = chunk.split(b"\n")
            if len(complete) > LINES:
                # The older ones would only be pushed out again.
                self._partial.clear()
                complete = complete[-LINES:]
            for piece in complete:
                self._extend(piece)
                self._keep()
            self._extend(rest)

    def finish(self) -> None:
        """The stream has ended: an unterminated last line counts too."""
        with self._lock:
            if self._partial:
                self._keep()

    def lines(self) -> tuple[str, ...]:
        with self._lock:
            return tuple(self._lines)

    def _extend(self, piece: bytes) -> None:
        room = LINE_BYTES - len(self._partial)
        if room > 0:
            self._partial += piece[:room]

    def _keep(self) -> None:
        self._lines.append(self._partial.decode(errors="replace").removesuffix("\r"))
        self._partial.clear()
