"""A worker process on asyncio's subprocess streams, with two changes.

- No line limit: an answer may be hundreds of MiB long, far beyond the
  streams' default limit of 64 KiB.
- The process's own exit is noticed as it happens.  On Python 3.12,
  Process.wait() returns only once every pipe has closed as well, and a
  command's leftover child that still holds one of them would keep it
  waiting.
"""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
from collections.abc import Mapping, Sequence

# Large enough that no line ever reaches it; the streams then also never
# pause reading, which is right for a peer that only writes what was asked.
NO_LINE_LIMIT = sys.maxsize // 4


class ExitNoticingProtocol(asyncio.subprocess.SubprocessStreamProtocol):
    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        super().__init__(limit=NO_LINE_LIMIT, loop=loop)
        self.exit_seen = asyncio.Event()

    def process_exited(self) -> None:
        super().process_exited()
        self.exit_seen.set()


class WorkerProcess:
    """The process, its three streams, and signals that cannot reach another
    process that took its number after it was reaped."""

    def __init__(self, transport: asyncio.SubprocessTransport,
                 protocol: ExitNoticingProtocol) -> None:
        self.transport = transport
        self.protocol = protocol
        assert protocol.stdin and protocol.stdout and protocol.stderr
        self.stdin = protocol.stdin
        self.stdout = protocol.stdout
        self.stderr = protocol.stderr

    @classmethod
    async def start(cls, argv: Sequence[str], env: Mapping[str, str] | None,
                    cwd: str | os.PathLike[str] | None) -> WorkerProcess:
        loop = asyncio.get_running_loop()
        transport, protocol = await loop.subprocess_exec(
            lambda: ExitNoticingProtocol(loop), *argv, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=cwd)
        return cls(transport, protocol)

    @property
    def returncode(self) -> int | None:
        return self.transport.get_returncode()

    def send_signal(self, number: signal.Signals) -> None:
        # Not Popen.send_signal: its poll() could reap the process before
        # asyncio's watcher does, which would then report status 255.
        if self.returncode is None:
            try:
                os.kill(self.transport.get_pid(), number)
            except ProcessLookupError:
                pass

    async def exited_within(self, seconds: float) -> int | None:
        """The exit status once the process has exited, or None if it has not
        within `seconds`."""
        try:
            await asyncio.wait_for(self.protocol.exit_seen.wait(), seconds)
        except TimeoutError:
            return None
        return self.returncode

    def close(self) -> None:
        """Closes this side's pipes; kills the process if it still runs."""
        self.transport.close()
