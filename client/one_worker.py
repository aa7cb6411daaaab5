"""What ShellWorker and AsyncShellWorker both tell of their one worker."""

from __future__ import annotations

from .connection import Connection


class OneWorker:
    """The worker's state, as its connection knows it."""

    _connection: Connection

    @property
    def ended(self) -> bool:
        """Whether the worker has ended, so that a new one must take its place."""
        return self._connection.core.ended is not None

    @property
    def preamble(self) -> str:
        """What the transport printed before the worker answered (a login
        banner, say), as text; "" when nothing was."""
        return self._connection.preamble
